"""Argument-type checking for functions and methods.

``accepts`` pairs types with a function's parameters and checks every call against them::

    class Model(object):
        @accepts(object, DataFrame)
        def __init__(self, data_frame, helper): ...

        @accepts(object, columns=(list, tuple), limit=int)
        def run(self, columns=None, limit=40): ...

Positional types pair with the parameters from the left (``self`` first); keyword types name
their parameter. A tuple lists alternatives. ``None`` passes for a parameter whose default is
``None``. A failed check raises ``TypeError`` before the function runs.
"""
from __future__ import annotations

import functools
import inspect
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

__all__ = ["accepts"]

_NO_DEFAULT = object()


def _type_names(expected: Tuple[type, ...]) -> str:
    return " or ".join(_qualified_name(t) for t in expected)


def _qualified_name(cls: type) -> str:
    module = getattr(cls, "__module__", None)
    name = getattr(cls, "__qualname__", None) or getattr(cls, "__name__", repr(cls))
    if module in (None, "builtins"):
        return name
    return "%s.%s" % (module, name)


def _normalise(given: Any, where: str) -> Tuple[type, ...]:
    """A type or a tuple of types, as a tuple; anything else is a mistake of the caller."""
    types = given if isinstance(given, tuple) else (given,)
    if not types or not all(isinstance(t, type) for t in types):
        raise TypeError("accepts(): %s must be a type or a tuple of types, not %r" % (where, given))
    return types


def _parameters(func: Callable) -> Tuple[Optional[List[str]], List[str], Dict[str, Any]]:
    """Names of the positional and keyword-only parameters and the defaults, as far as known.

    Python functions answer through ``inspect.signature``. Function objects made elsewhere (for
    example by an extension module) may only carry ``__code__`` and ``__defaults__``; they are
    read directly. If neither works, the names are unknown (``None``) and only the checks that
    need no names (positional types by position, keyword types by keyword) are made.
    """
    if inspect.isfunction(func) or getattr(func, "__code__", None) is None:
        try:
            signature = inspect.signature(func)
        except (TypeError, ValueError):
            return None, [], {}
        names = []
        keyword_only = []
        defaults = {}
        for parameter in signature.parameters.values():
            if parameter.kind in (parameter.VAR_POSITIONAL, parameter.VAR_KEYWORD):
                if not inspect.isfunction(func):
                    return None, [], {}  # a generic call signature says nothing about names
                # Markers: further positional arguments / any keyword are taken.
                keyword_only.append("*" if parameter.kind == parameter.VAR_POSITIONAL else "**")
                continue
            if parameter.kind in (parameter.POSITIONAL_ONLY, parameter.POSITIONAL_OR_KEYWORD):
                names.append(parameter.name)
            else:
                keyword_only.append(parameter.name)
            if parameter.default is not parameter.empty:
                defaults[parameter.name] = parameter.default
        return names, keyword_only, defaults
    code = getattr(func, "__code__", None)
    try:
        argcount = int(code.co_argcount)  # type: ignore[union-attr]
        names = [str(name) for name in tuple(code.co_varnames)[:argcount]]  # type: ignore
    except (AttributeError, TypeError, ValueError):
        return None, [], {}
    defaults = {}
    values = getattr(func, "__defaults__", None) or ()
    try:
        values = tuple(values)
    except TypeError:
        values = ()
    if values and len(values) <= len(names):
        defaults = dict(zip(names[len(names) - len(values):], values))
    return names, [], defaults


def accepts(*types: Any, **kwtypes: Any) -> Callable[[Callable], Callable]:
    """Make a decorator that checks the types of a function's arguments.

    Parameters
    ----------
    *types : type or tuple of types
        Types of the positional parameters, from the left (for a method, ``self`` first;
        ``object`` accepts anything).
    **kwtypes : type or tuple of types
        Types of the parameters of these names, whether the argument comes by position or by
        keyword.

    Returns
    -------
    callable
        A decorator. The function it returns keeps the wrapped function's name, qualified name,
        docstring and signature, binds to instances like any function, and calls the wrapped
        function with the same arguments once they pass.

    Raises
    ------
    TypeError
        At decoration, when a type argument is not a type or tuple of types, or names a
        parameter twice or one the function does not have. At call time, when an argument has
        none of the types given for its parameter; the message names the function, the
        parameter, the expected types and the type received. ``None`` is accepted for a
        parameter whose default is ``None``.

    Examples
    --------
    >>> from Tarnwick.bi.common.decorators import accepts
    >>> @accepts(str, levels=int)
    ... def label(name, levels=None):
    ...     return "%s (%s levels)" % (name, levels)
    >>> label("region", levels=3)
    'region (3 levels)'
    >>> label("region", levels="3")
    Traceback (most recent call last):
    ...
    TypeError: ...
    """
    positional = [_normalise(given, "positional type %d" % i) for i, given in enumerate(types)]
    by_keyword = {name: _normalise(given, "type of %r" % name) for name, given in kwtypes.items()}

    def decorator(func: Callable) -> Callable:
        names, keyword_only, defaults = _parameters(func)
        label = getattr(func, "__qualname__", None) or getattr(func, "__name__", repr(func))
        # Expected types by parameter name (when names are known) and by position.
        by_name: Dict[str, Tuple[type, ...]] = {}
        by_position: List[Tuple[Optional[str], Tuple[type, ...]]] = []
        if names is not None:
            if len(positional) > len(names) and "*" not in keyword_only:
                raise TypeError(
                    "accepts(): %d positional types given for %s(), which has %d positional "
                    "parameters" % (len(positional), label, len(names))
                )
            for name, expected in zip(names, positional):
                by_name[name] = expected
            for name, expected in by_keyword.items():
                if name not in names and name not in keyword_only and "**" not in keyword_only:
                    raise TypeError("accepts(): %s() has no parameter %r" % (label, name))
                if name in by_name:
                    raise TypeError("accepts(): parameter %r of %s() typed twice" % (name, label))
                by_name[name] = expected
            by_position = [(name, by_name.get(name, ())) for name in names]
            by_position += [(None, expected) for expected in positional[len(names):]]
        else:
            by_name = dict(by_keyword)
            by_position = [(None, expected) for expected in positional]
        none_allowed = {name for name, value in defaults.items() if value is None}

        def check(name: Optional[str], position: int, value: Any, expected: Sequence[type]):
            if not expected or isinstance(value, tuple(expected)):
                return
            if value is None and name in none_allowed:
                return
            parameter = repr(name) if name is not None else "at position %d" % position
            raise TypeError(
                "%s(): parameter %s expects %s, got %s"
                % (label, parameter, _type_names(tuple(expected)), _qualified_name(type(value)))
            )

        @functools.wraps(func)
        def wrapper(*args: Any, **kwargs: Any) -> Any:
            for position, value in enumerate(args[: len(by_position)]):
                name, expected = by_position[position]
                check(name, position, value, expected)
            for name, value in kwargs.items():
                expected = by_name.get(name)
                if expected is not None:
                    check(name, -1, value, expected)
            return func(*args, **kwargs)

        return wrapper

    return decorator
