"""The class, its function objects, and argument binding under random mixes of positional and
keyword arguments.

Every method (the two decorated ones through the function objects handed to ``accepts``) is
called with random positional counts and keywords: parameter names, names of other methods'
parameters, unknown names, names repeating a positional argument, and keys that are not strings
passed through ``**`` with a plain dict or a dict subclass.  The outcome must be what the
binding rules (``binding_rules``) say: the same binding, or a TypeError with exactly the same
message and one traceback entry at the method's definition line, no call on any collaborator,
the caller's keyword dict unchanged; never another exception.
"""
import builtins
import ctypes
import inspect
import sys
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from binding_rules import SIGNATURES, Default, expected_binding
from support import standins
from support.source import METHODS, MODULE, TRACE_FILE, entries, line
from support.standins import Token

COUNT = "%s() takes %s %d positional argument%s (%d given)"
from Tarnwick.bi.stats import factorpair


def function(method):
    return standins.function(factorpair, method)

STRING_KEYS = sorted(set(name for parameters, _ in SIGNATURES.values() for name in parameters)
                     | {"bogus", "Measure", "self_", "dimension3", ""})


class Name(str):
    """A str subclass as a keyword name: still a string to the binding rules."""


OTHER_KEYS = [1, b"measure", ("self",), None, frozenset(), Name("measure"), Name("dimensions"),
              Name("nope")]


class KeywordDict(dict):
    """A dict subclass, as a caller's ``**`` mapping."""


def new_self(label):
    return standins.analyser(factorpair, label=label, measures=("m",), dimensions=("a",))


_PyObject_Call = ctypes.pythonapi.PyObject_Call
_PyObject_Call.restype = ctypes.py_object
_PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def _probe(**keywords):
    return keywords


def _syntax_checks_key_types():
    try:
        _probe(**{1: 1})
    except TypeError as error:
        return not str(error).startswith("_probe()")
    return False


SYNTAX_CHECKS_KEY_TYPES = _syntax_checks_key_types()
INTERPRETER_MESSAGE = "keywords must be strings"


def interpreter_checks_key_types(target, style):
    """True where the interpreter itself rejects keys that are not strings before the callee
    sees them: for ``f(**mapping)`` on interpreters whose call machinery checks (CPython 3.12
    does, with a message that names no function), and for ``PyObject_Call`` on a callable that
    takes the vectorcall protocol (3.8 on), which unpacks the dict first."""
    if style == "syntax":
        return SYNTAX_CHECKS_KEY_TYPES
    return sys.version_info >= (3, 8) and bool(type(target).__flags__ & (1 << 11))


def observe(method, instances, result, log):
    """Which argument reached each parameter, by label, as far as the body shows it."""
    seen = {}
    if method == "__init__":
        for instance in instances:
            if getattr(instance, "_data_frame", None) is not getattr(instance, "_original_frame"):
                seen["self"] = instance.label
                seen["data_frame"] = instance._data_frame.label
                seen["df_helper"] = instance._dataframe_helper.label
        return seen
    frames = [event[1] for event in log if event[0] in ("select", "groupby")]
    seen["self"] = frames[0].split(".")[0] if frames else None
    if method == "test_all":
        names = [name for name, _ in result.added]
        seen["measure_columns"] = "default" if names == ["m"] else names[0]
        asked = [event[1] for event in log if event[0] == "get_num_unique_values"]
        seen["dimension_columns"] = "default" if asked == ["a"] else asked[0]
        compared = [event[1] for event in log if event[0] == "compared"]
        seen["max_num_levels"] = compared[0] if compared else "default"
        return seen
    measures = [event[1] for event in log if event[0] == "col"]
    seen["measure"] = measures[0].label if isinstance(measures[0], Token) else measures[0]
    grouped = [event[2] for event in log if event[0] == "groupby"]
    if method == "test_anova":
        seen["dimension"] = grouped[0][0].label
    elif method == "test_against":
        seen["dimensions"] = grouped[0][0]  # the token's one item is its label
    else:
        seen["dimension1"] = grouped[0][0].label
        seen["dimension2"] = grouped[0][1].label
    return seen


def label_of(value):
    return value.label


@st.composite
def calls(draw):
    """A method, how it is reached, and the arguments of one call.

    Half the calls are near a valid one (each parameter once, by position or by name, then
    perhaps a name missing, repeated or added); the rest are free mixes of the key pool.
    """
    method = draw(st.sampled_from(sorted(SIGNATURES)))
    parameters = SIGNATURES[method][0]
    bound = draw(st.booleans())
    style = "syntax" if bound else draw(st.sampled_from(["syntax", "PyObject_Call"]))
    mapping = draw(st.sampled_from([dict, KeywordDict]))
    if draw(st.booleans()):
        given = draw(st.integers(min_value=1 if bound else 0, max_value=len(parameters) + 1))
        named = list(parameters[given:])
        if not draw(st.booleans()):
            named = draw(st.lists(st.sampled_from(parameters), unique=True))
        extra = draw(st.lists(st.sampled_from(STRING_KEYS + OTHER_KEYS), max_size=2))
        keys = draw(st.permutations(list(dict.fromkeys(named + extra))))
        positional = given - (1 if bound else 0)
    else:
        positional = draw(st.integers(min_value=0, max_value=6))
        keys = draw(st.lists(st.sampled_from(STRING_KEYS + OTHER_KEYS), max_size=6))
    return method, bound, positional, list(dict.fromkeys(keys)), mapping, style


def make_call(method, bound, positional, keys, mapping_type):
    instances = []

    def value_for(slot, label):
        if slot == "self":
            instance = new_self(label)
            instance.label = label
            instance._original_frame = instance._data_frame
            instances.append(instance)
            return instance
        token = Token(label)
        return token

    if bound:
        owner = value_for("self", "bound")
        target = getattr(owner, method)
    else:
        target = function(method)
    arguments = [value_for("self" if i == 0 and not bound else "other", "p%d" % i)
                 for i in range(positional)]
    keywords = mapping_type()
    for key in keys:
        label = "k:%s" % (key,)
        keywords[key] = value_for("self" if key == "self" else "other", label)
    return target, arguments, keywords, instances, (1 if bound else 0) + positional


def check(method, bound, positional, keys, mapping_type, style="syntax"):
    target, arguments, keywords, instances, given = make_call(
        method, bound, positional, keys, mapping_type)
    before = list(keywords.items())
    outcome, detail = expected_binding(method, given, keys)
    interpreter_first = interpreter_checks_key_types(target, style) and any(
        not isinstance(key, str) for key in keys)
    if interpreter_first:
        outcome, detail = "TypeError", INTERPRETER_MESSAGE
    parameters = SIGNATURES[method][0]
    with standins.recording() as log:
        try:
            if style == "syntax":
                result = target(*arguments, **keywords)
            else:
                result = _PyObject_Call(target, tuple(arguments), keywords)
        except TypeError as error:
            result, raised = None, error
        else:
            raised = None
    assert list(keywords.items()) == before, "the caller's keyword dict was changed"
    if outcome == "TypeError":
        if raised is None:
            pytest.fail("%s%r: expected TypeError %r, the call succeeded" % (
                method, (given, keys), detail))
        assert str(raised) == detail
        if not interpreter_first:
            assert entries(raised) == [(method, line(method))]
        assert log == [], "the body ran although binding failed"
        return
    assert raised is None, "%s: unexpected %r" % (method, raised)
    expected = {}
    for name in parameters:
        source = detail[name]
        if isinstance(source, Default):
            expected[name] = "default"
        elif source[0] == "positional":
            expected[name] = "bound" if bound and source[1] == 0 else "p%d" % (
                source[1] - (1 if bound else 0))
        else:
            expected[name] = "k:%s" % source[1]
    assert observe(method, instances, result, log) == expected


@settings(max_examples=int(__import__("os").environ.get("TARNWICK_FUZZ_EXAMPLES", "1500")),
          deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(calls())
def test_binding_follows_the_rules(call):
    check(*call)


@pytest.mark.parametrize(
    "method, bound, positional, keys, message",
    [
        ("test_anova", True, 1, [], "test_anova() takes exactly 3 positional arguments (2 given)"),
        ("test_anova", True, 0, ["measure"],
         "test_anova() takes exactly 3 positional arguments (2 given)"),
        ("test_all", False, 0, [], "test_all() takes at least 1 positional argument (0 given)"),
        ("test_all", False, 5, [], "test_all() takes at most 4 positional arguments (5 given)"),
        ("test_all", False, 0, ["measure_columns"],
         "test_all() takes at least 1 positional argument (0 given)"),
        ("test_against", True, 2, ["dimensions"],
         "test_against() got multiple values for keyword argument 'dimensions'"),
        ("test_anova_interaction", True, 2, [],
         "test_anova_interaction() takes exactly 4 positional arguments (3 given)"),
        ("test_anova_interaction", False, 0, ["self", "measure", "dimension1"],
         "test_anova_interaction() takes exactly 4 positional arguments (3 given)"),
        ("test_anova_interaction", True, 0, ["dimension1", "dimension2"],
         "test_anova_interaction() takes exactly 4 positional arguments (1 given)"),
        ("__init__", False, 2, [], "__init__() takes exactly 3 positional arguments (2 given)"),
        ("__init__", False, 1, ["df_helper"],
         "__init__() takes exactly 3 positional arguments (1 given)"),
        ("test_anova", True, 2, ["bogus"], "test_anova() got an unexpected keyword argument 'bogus'"),
        ("test_against", False, 3, [7], "test_against() keywords must be strings"),
        ("test_anova", False, 2, [], COUNT % ("test_anova", "exactly", 3, "s", 2)),
        ("test_anova", False, 1, ["measure"], COUNT % ("test_anova", "exactly", 3, "s", 2)),
        ("test_anova", False, 1, ["dimension"], COUNT % ("test_anova", "exactly", 3, "s", 1)),
        ("test_anova", False, 4, [], COUNT % ("test_anova", "exactly", 3, "s", 4)),
        ("test_anova", False, 4, ["y"], COUNT % ("test_anova", "exactly", 3, "s", 4)),
        ("test_anova", False, 0, [], COUNT % ("test_anova", "exactly", 3, "s", 0)),
        ("test_anova", False, 0, ["measure", "dimension"],
         COUNT % ("test_anova", "exactly", 3, "s", 0)),
        ("test_anova", False, 3, ["colour"],
         "test_anova() got an unexpected keyword argument 'colour'"),
        ("test_anova", False, 2, ["dimension", "measure"],
         "test_anova() got multiple values for keyword argument 'measure'"),
        ("test_against", False, 2, [], COUNT % ("test_against", "exactly", 3, "s", 2)),
        ("test_anova_interaction", False, 3, ["dimension2", "dimension1"],
         "test_anova_interaction() got multiple values for keyword argument 'dimension1'"),
        ("test_anova_interaction", False, 3, ["dimension1"],
         COUNT % ("test_anova_interaction", "exactly", 4, "s", 3)),
        ("__init__", False, 1, [], COUNT % ("__init__", "exactly", 3, "s", 1)),
        ("__init__", False, 4, [], COUNT % ("__init__", "exactly", 3, "s", 4)),
        ("test_all", False, 0, ["max_num_levels"], COUNT % ("test_all", "at least", 1, "", 0)),
        ("test_all", False, 5, ["x"], COUNT % ("test_all", "at most", 4, "s", 5)),
        ("test_all", False, 1, ["max_levels"],
         "test_all() got an unexpected keyword argument 'max_levels'"),
        ("test_all", False, 2, ["measure_columns"],
         "test_all() got multiple values for keyword argument 'measure_columns'"),
    ],
)
@pytest.mark.parametrize("style", ["syntax", "PyObject_Call"])
def test_documented_messages(method, bound, positional, keys, message, style):
    """The oracle agrees with the messages the binding rules spell out, and so does the module."""
    given = positional + (1 if bound else 0)
    assert expected_binding(method, given, keys) == ("TypeError", message)
    if bound and style != "syntax":
        pytest.skip("a bound method is called through the syntax only")
    check(method, bound, positional, keys, KeywordDict, style)


# --- the class statement's result and the function objects ---------------------------------------

DOC = ("\n        var1 = n*mean2\n        var2 = sum(x2)\n        var5 = n*mean2 for each group(a,b)"
       "\n        var3 = n*mean2 for each group a\n\n    ")


def test_class():
    cls = factorpair.TwoWayAnova
    assert cls.__doc__ == DOC and len(DOC) == 135
    assert cls.__module__ == MODULE
    assert cls.__name__ == cls.__qualname__ == "TwoWayAnova"
    assert cls.__mro__ == (cls, object) and type(cls) is type
    own = [key for key in vars(cls) if key not in ("__dict__", "__weakref__")]
    assert own == ["__module__", "__doc__", "__init__", "test_all", "test_anova", "test_against",
                   "test_anova_interaction"]


def test_module_namespace():
    functions = sys.modules["pyspark.sql.functions"]
    results = sys.modules["Tarnwick.bi.common.results"]
    assert factorpair.__doc__ is None and factorpair.__test__ == {}
    assert not hasattr(factorpair, "__path__")
    assert factorpair.__builtins__ is builtins
    assert factorpair.range is range and factorpair.object is object
    assert factorpair.DataFrame is sys.modules["pyspark.sql"].DataFrame
    assert factorpair.DataFrameHelper is sys.modules["Tarnwick.bi.common"].DataFrameHelper
    for name in ("mean", "sum", "col", "count"):
        assert getattr(factorpair, name) is getattr(functions, name), name
    assert factorpair.DFTwoWayAnovaResult is results.DFTwoWayAnovaResult
    assert factorpair.MeasureAnovaResult is results.MeasureAnovaResult


@pytest.mark.parametrize("name", sorted(METHODS))
def test_function_metadata(name):
    method = METHODS[name]
    function_object = function(name)
    assert vars(factorpair.TwoWayAnova)[name] is standins.RETURNED.get(name, function_object)
    assert function_object.__name__ == name
    assert function_object.__qualname__ == "TwoWayAnova." + name
    assert function_object.__module__ == MODULE
    assert function_object.__doc__ is None
    assert function_object.__defaults__ == method.defaults
    assert function_object.__kwdefaults__ is None
    assert function_object.__globals__ is vars(factorpair)
    assert function_object.__annotations__ == {}
    code = function_object.__code__
    assert isinstance(code, types.CodeType)
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (name, TRACE_FILE, method.line)
    assert (code.co_argcount, code.co_kwonlyargcount, code.co_varnames) == (
        len(method.parameters), 0, method.variables)
    parameters = list(inspect.signature(function_object).parameters.values())
    assert tuple(p.name for p in parameters) == method.parameters
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in parameters)


def test_binds_like_a_function():
    analyser = new_self("bound")
    bound = analyser.test_anova
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is analyser and bound.__func__ is factorpair.TwoWayAnova.test_anova
    method = factorpair.TwoWayAnova.test_anova
    assert method.__get__(None, factorpair.TwoWayAnova) is method
    assert str(inspect.signature(bound)) == "(measure, dimension)"
    assert repr(method).startswith("<function TwoWayAnova.test_anova at ")
    with pytest.raises(AttributeError):
        method.__code__ = None
