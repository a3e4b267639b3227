"""The argument-type decorator ``accepts``."""
import functools
import inspect
import types

import pytest

from Tarnwick.bi.common.decorators import accepts


class Frame(object):
    pass


class Analyser(object):
    @accepts(object, Frame)
    def __init__(self, data_frame, df_helper):
        self.data_frame = data_frame

    @accepts(object, measure_columns=(list, tuple), dimension_columns=(list, tuple),
             max_num_levels=int)
    def test_all(self, measure_columns=None, dimension_columns=None, max_num_levels=40):
        """Run everything."""
        return measure_columns, dimension_columns, max_num_levels


@pytest.mark.parametrize("args,kwargs,expected", [
    ((), {}, (None, None, 40)),
    ((["m"], ("d",), 5), {}, (["m"], ("d",), 5)),
    ((), {"measure_columns": ("m",), "max_num_levels": 0}, (("m",), None, 0)),
    ((None, None), {}, (None, None, 40)),                       # None where the default is None
    ((), {"dimension_columns": None}, (None, None, 40)),
    ((["m"],), {"max_num_levels": True}, (["m"], None, True)),  # bool is an int
])
def test_accepted_calls_run_the_function(args, kwargs, expected):
    analyser = Analyser(Frame(), object())
    assert analyser.test_all(*args, **kwargs) == expected


@pytest.mark.parametrize("call,parameter,expected,received", [
    (lambda a: a.test_all("m"), "'measure_columns'", "list or tuple", "str"),
    (lambda a: a.test_all(dimension_columns={"d"}), "'dimension_columns'", "list or tuple", "set"),
    (lambda a: a.test_all(None, None, None), "'max_num_levels'", "int", "NoneType"),
    (lambda a: a.test_all(max_num_levels=4.0), "'max_num_levels'", "int", "float"),
    (lambda a: Analyser(None, None), "'data_frame'", "test_decorators.Frame", "NoneType"),
])
def test_rejected_arguments_name_function_parameter_and_types(call, parameter, expected,
                                                              received):
    analyser = Analyser(Frame(), None)
    with pytest.raises(TypeError) as info:
        call(analyser)
    message = str(info.value)
    assert "Analyser." in message
    for part in (parameter, expected, received):
        assert part in message


def test_the_function_does_not_run_when_a_check_fails():
    calls = []

    @accepts(int)
    def f(x):
        calls.append(x)

    with pytest.raises(TypeError):
        f("1")
    assert calls == []


def test_wrapper_keeps_metadata_and_binds_like_a_function():
    wrapped = Analyser.__dict__["test_all"]
    assert isinstance(wrapped, types.FunctionType)
    assert wrapped.__name__ == "test_all"
    assert wrapped.__qualname__ == "Analyser.test_all"
    assert wrapped.__doc__ == "Run everything."
    assert list(inspect.signature(wrapped).parameters) == [
        "self", "measure_columns", "dimension_columns", "max_num_levels"]
    analyser = Analyser(Frame(), None)
    assert analyser.test_all.__self__ is analyser
    assert Analyser.test_all(analyser, ["m"]) == (["m"], None, 40)


def test_binding_errors_of_the_function_come_through():
    analyser = Analyser(Frame(), None)
    with pytest.raises(TypeError, match="unexpected keyword"):
        analyser.test_all(levels=3)
    with pytest.raises(TypeError):
        analyser.test_all([], [], 1, 2)


class CodeOnly(object):
    """A function object as an extension module may make it: callable, with ``__code__`` and
    ``__defaults__`` but not a Python function."""

    def __init__(self, function, code=None):
        self._function = function
        self.__code__ = code if code is not None else function.__code__
        self.__defaults__ = function.__defaults__
        self.__name__ = function.__name__
        self.__qualname__ = "Foreign." + function.__name__
        self.__doc__ = None

    def __call__(self, *args, **kwargs):
        return self._function(*args, **kwargs)


def _test_all(self, measure_columns=None, dimension_columns=None, max_num_levels=40):
    return measure_columns, max_num_levels


@pytest.mark.parametrize("code", [
    None,
    types.SimpleNamespace(co_argcount=4, co_varnames=(
        "self", "measure_columns", "dimension_columns", "max_num_levels", "measures", "m")),
])
def test_foreign_function_objects_are_checked_through_their_code(code):
    decorated = accepts(object, measure_columns=(list, tuple), max_num_levels=int)(
        CodeOnly(_test_all, code))
    assert decorated.__qualname__ == "Foreign._test_all"
    assert decorated(None, ["m"]) == (["m"], 40)
    assert decorated(None, None) == (None, 40)  # the default is None
    with pytest.raises(TypeError, match="'measure_columns' expects list or tuple, got str"):
        decorated(None, "m")
    with pytest.raises(TypeError, match="'max_num_levels' expects int, got str"):
        decorated(None, max_num_levels="4")


def test_callables_without_parameter_names_are_checked_as_far_as_possible():
    decorated = accepts(int, limit=int)(lambda *args, **kwargs: (args, kwargs))
    assert decorated(1, "x", limit=2) == ((1, "x"), {"limit": 2})
    with pytest.raises(TypeError, match="position 0"):
        decorated("1")
    with pytest.raises(TypeError, match="'limit'"):
        decorated(1, limit="2")
    opaque = accepts(str)(functools.partial(len))
    assert opaque("abc") == 3
    with pytest.raises(TypeError):
        opaque(3)


@pytest.mark.parametrize("make", [
    lambda: accepts("int"),
    lambda: accepts(x=(int, "str")),
    lambda: accepts(x=())(lambda x: x),
])
def test_malformed_type_arguments_fail_at_decoration(make):
    with pytest.raises(TypeError, match="accepts"):
        make()(lambda x: x)


@pytest.mark.parametrize("decorator", [
    accepts(int, int),          # more types than parameters
    accepts(missing=int),       # no such parameter
    accepts(int, x=int),        # x typed twice
])
def test_type_arguments_that_do_not_fit_the_function_fail_at_decoration(decorator):
    with pytest.raises(TypeError, match="accepts"):
        decorator(lambda x: x)


def test_keyword_only_parameters_can_be_typed():
    @accepts(limit=int)
    def f(*, limit=None):
        return limit

    assert f(limit=3) == 3 and f() is None and f(limit=None) is None
    with pytest.raises(TypeError):
        f(limit="3")
