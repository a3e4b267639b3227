"""The argument-binding rules of the analyser's methods, as an oracle.

``expected_binding`` says, for a call with a number of positional arguments and keyword
arguments in a given order, which parameter receives which argument, or which TypeError the
call must raise.  It is written from the binding rules alone and never calls the module:

1. positional arguments fill the parameters from the left;
2. without keywords, the count must be exact (``test_all``: 1 to 4, defaults filling the rest);
3. with keywords, more positional arguments than parameters is the count error with their
   number; otherwise every parameter not filled positionally is taken, in order, from the
   keyword of its name, and the first required one found nowhere is the count error with its
   own position; only then is a keyword left over checked, in the order the keywords come: not
   a string, a second value for a parameter filled positionally, or no such parameter.
"""

from support.source import METHODS

#: name: (parameters, defaults)
SIGNATURES = {name: (method.parameters, method.defaults or ())
              for name, method in METHODS.items()}

COUNT_MESSAGE = "%s() takes %s %d positional argument%s (%d given)"


class Default(object):
    """Marks a parameter that takes its default value."""

    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        return isinstance(other, Default) and other.value == self.value

    def __repr__(self):
        return "Default(%r)" % (self.value,)


def _count_error(method, given):
    parameters, defaults = SIGNATURES[method]
    if not defaults:
        expected, words = len(parameters), "exactly"
    elif given < len(parameters) - len(defaults):
        expected, words = len(parameters) - len(defaults), "at least"
    else:
        expected, words = len(parameters), "at most"
    return COUNT_MESSAGE % (method, words, expected, "" if expected == 1 else "s", given)


def expected_binding(method, positional, keywords):
    """Outcome of calling ``method``'s function object.

    ``positional`` is the number of positional arguments (``self`` included); ``keywords`` the
    keyword names in the order the function receives them.  Returns ``("bound", binding)``,
    where ``binding`` maps each parameter to ``("positional", index)``, ``("keyword", name)``
    or ``Default(value)``; or ``("TypeError", message)``.
    """
    parameters, defaults = SIGNATURES[method]
    required = len(parameters) - len(defaults)
    binding = {}
    if not keywords:
        if defaults:
            if positional < required or positional > len(parameters):
                return "TypeError", _count_error(method, positional)
        elif positional != len(parameters):
            return "TypeError", _count_error(method, positional)
    elif positional > len(parameters):
        return "TypeError", _count_error(method, positional)

    for index in range(min(positional, len(parameters))):
        binding[parameters[index]] = ("positional", index)
    string_keys = set(key for key in keywords if isinstance(key, str))
    leftover = len(keywords)
    for index in range(positional, len(parameters)):
        name = parameters[index]
        if name in string_keys:
            binding[name] = ("keyword", name)
            leftover -= 1
        elif index < required:
            return "TypeError", _count_error(method, index)
        else:
            binding[name] = Default(defaults[index - required])
    if leftover:
        for key in keywords:
            if not isinstance(key, str):
                return "TypeError", "%s() keywords must be strings" % method
            if key in parameters[positional:]:
                continue
            if key in parameters[:positional]:
                return (
                    "TypeError",
                    "%s() got multiple values for keyword argument '%s'" % (method, key),
                )
            return "TypeError", "%s() got an unexpected keyword argument '%s'" % (method, key)
    return "bound", binding
