"""The class statement's result and the method function objects: metadata, binding to instances,
and argument binding with its messages and traceback entry."""
import inspect
import sys
import types

import pytest

from factorpair_support import TRACE_FILE, module_entries, qualified

DOC = ("\n        var1 = n*mean2\n        var2 = sum(x2)\n        var5 = n*mean2 for each group(a,b)"
       "\n        var3 = n*mean2 for each group a\n\n    ")

METHODS = {
    # name: (line, argcount, varnames)
    "__init__": (29, 3, ("self", "data_frame", "df_helper")),
    "test_all": (38, 4, ("self", "measure_columns", "dimension_columns", "max_num_levels",
                         "measures", "dimensions", "DF_Anova_Result", "dimensions_to_test", "m",
                         "var", "dim")),
    "test_anova": (57, 3, ("self", "measure", "dimension", "var")),
    "test_against": (64, 3, ("self", "measure", "dimensions", "dimension", "i", "j")),
    "test_anova_interaction": (71, 4, ("self", "measure", "dimension1", "dimension2", "var")),
}


def raw(fp, name):
    """The method function object itself (the decorated two are reached through __wrapped__)."""
    attribute = vars(fp.TwoWayAnova)[name]
    return getattr(attribute, "__wrapped__", attribute)


def test_class(fp):
    cls = fp.TwoWayAnova
    assert cls.__doc__ == DOC and len(DOC) == 135
    assert cls.__module__ == "Tarnwick.bi.stats.factorpair"
    assert cls.__name__ == cls.__qualname__ == "TwoWayAnova"
    assert cls.__mro__ == (cls, object) and type(cls) is type
    own = [key for key in vars(cls) if key not in ("__dict__", "__weakref__")]
    assert own == ["__module__", "__doc__", "__init__", "test_all", "test_anova", "test_against",
                   "test_anova_interaction"]


def test_module_namespace(fp):
    import builtins

    import pandas
    import pyspark.sql
    import pyspark.sql.functions as functions
    from Tarnwick.bi.common import DataFrameHelper
    from Tarnwick.bi.common.results import DFTwoWayAnovaResult, MeasureAnovaResult

    assert fp.__doc__ is None and fp.__test__ == {} and not hasattr(fp, "__path__")
    assert fp.__builtins__ is builtins and fp.range is range and fp.object is object
    assert fp.pd is pandas and fp.DataFrame is pyspark.sql.DataFrame
    assert (fp.mean, fp.sum, fp.col, fp.count) == (
        functions.mean, functions.sum, functions.col, functions.count)
    assert fp.DataFrameHelper is DataFrameHelper
    assert fp.DFTwoWayAnovaResult is DFTwoWayAnovaResult
    assert fp.MeasureAnovaResult is MeasureAnovaResult


@pytest.mark.parametrize("name", sorted(METHODS))
def test_function_metadata(fp, name):
    line, argcount, varnames = METHODS[name]
    function = raw(fp, name)
    assert function.__name__ == name
    assert function.__qualname__ == "TwoWayAnova." + name
    assert function.__module__ == "Tarnwick.bi.stats.factorpair"
    assert function.__doc__ is None
    assert function.__defaults__ == ((None, None, 40) if name == "test_all" else None)
    assert function.__kwdefaults__ is None
    assert function.__globals__ is vars(fp)
    assert function.__annotations__ == {}
    code = function.__code__
    assert isinstance(code, types.CodeType)
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (name, TRACE_FILE, line)
    assert (code.co_argcount, code.co_kwonlyargcount, code.co_varnames) == (argcount, 0, varnames)
    parameters = list(inspect.signature(function).parameters.values())
    assert [p.name for p in parameters] == list(varnames[:argcount])
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in parameters)


def test_decorated_methods_keep_their_wrapper(fp):
    # The class stores what accepts' decorator returned, not the function handed to it.
    for name in ("__init__", "test_all"):
        stored = vars(fp.TwoWayAnova)[name]
        assert inspect.isfunction(stored) and stored.__wrapped__.__code__.co_name == name
    for name in ("test_anova", "test_against", "test_anova_interaction"):
        assert not hasattr(vars(fp.TwoWayAnova)[name], "__wrapped__")


def test_binds_like_a_function(fp, world):
    analyser = world.analyser()
    bound = analyser.test_anova
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is analyser and bound.__func__ is fp.TwoWayAnova.test_anova
    assert fp.TwoWayAnova.test_anova.__get__(None, fp.TwoWayAnova) is fp.TwoWayAnova.test_anova
    assert str(inspect.signature(bound)) == "(measure, dimension)"
    assert repr(fp.TwoWayAnova.test_anova).startswith("<function TwoWayAnova.test_anova at ")
    with pytest.raises(AttributeError):
        fp.TwoWayAnova.test_anova.__code__ = None


ARGCOUNT = "{}() takes {} {} positional argument{} ({} given)"

BINDING_CASES = [
    # method, positional after self (None: no self either), keywords, message
    ("test_anova", ["m"], {}, ARGCOUNT.format("test_anova", "exactly", 3, "s", 2)),
    ("test_anova", [], {"measure": "m"}, ARGCOUNT.format("test_anova", "exactly", 3, "s", 2)),
    ("test_anova", [], {"dimension": "d"}, ARGCOUNT.format("test_anova", "exactly", 3, "s", 1)),
    ("test_anova", ["m", "d", "x"], {}, ARGCOUNT.format("test_anova", "exactly", 3, "s", 4)),
    ("test_anova", ["m", "d", "x"], {"y": 1}, ARGCOUNT.format("test_anova", "exactly", 3, "s", 4)),
    ("test_anova", None, {}, ARGCOUNT.format("test_anova", "exactly", 3, "s", 0)),
    ("test_anova", None, {"measure": "m", "dimension": "d"},
     ARGCOUNT.format("test_anova", "exactly", 3, "s", 0)),
    ("test_anova", ["m", "d"], {"colour": 1},
     "test_anova() got an unexpected keyword argument 'colour'"),
    ("test_anova", ["m"], {"dimension": "d", "measure": "m"},
     "test_anova() got multiple values for keyword argument 'measure'"),
    ("test_against", ["m", ["a"]], {"dimensions": ["b"]},
     "test_against() got multiple values for keyword argument 'dimensions'"),
    ("test_against", ["m"], {}, ARGCOUNT.format("test_against", "exactly", 3, "s", 2)),
    ("test_anova_interaction", ["m", "a"], {},
     ARGCOUNT.format("test_anova_interaction", "exactly", 4, "s", 3)),
    ("test_anova_interaction", ["m", "a"], {"dimension2": "b", "dimension1": "a"},
     "test_anova_interaction() got multiple values for keyword argument 'dimension1'"),
    ("test_anova_interaction", ["m", "a"], {"dimension1": "a"},
     ARGCOUNT.format("test_anova_interaction", "exactly", 4, "s", 3)),
    ("test_anova_interaction", [], {"dimension1": "a", "dimension2": "b"},
     ARGCOUNT.format("test_anova_interaction", "exactly", 4, "s", 1)),
    ("__init__", [], {}, ARGCOUNT.format("__init__", "exactly", 3, "s", 1)),
    ("__init__", ["f"], {}, ARGCOUNT.format("__init__", "exactly", 3, "s", 2)),
    ("__init__", [], {"df_helper": "h"}, ARGCOUNT.format("__init__", "exactly", 3, "s", 1)),
    ("__init__", ["f", "h", "x"], {}, ARGCOUNT.format("__init__", "exactly", 3, "s", 4)),
    ("test_all", None, {}, ARGCOUNT.format("test_all", "at least", 1, "", 0)),
    ("test_all", None, {"max_num_levels": 3}, ARGCOUNT.format("test_all", "at least", 1, "", 0)),
    ("test_all", [1, 2, 3, 4], {}, ARGCOUNT.format("test_all", "at most", 4, "s", 5)),
    ("test_all", [1, 2, 3, 4], {"x": 1}, ARGCOUNT.format("test_all", "at most", 4, "s", 5)),
    ("test_all", [], {"max_levels": 3}, "test_all() got an unexpected keyword argument 'max_levels'"),
    ("test_all", [None], {"measure_columns": None},
     "test_all() got multiple values for keyword argument 'measure_columns'"),
]


@pytest.mark.parametrize("name, positional, keywords, message", BINDING_CASES)
def test_binding_errors(fp, world, name, positional, keywords, message):
    function = raw(fp, name)
    arguments = [] if positional is None else [world.analyser()] + positional
    with pytest.raises(TypeError) as caught:
        function(*arguments, **keywords)
    assert str(caught.value) == message
    assert module_entries(caught.value) == [(qualified(name), METHODS[name][0])]


def test_binding_errors_through_the_instance(world):
    analyser = world.analyser()
    with pytest.raises(TypeError) as caught:
        analyser.test_anova("m")
    assert str(caught.value) == ARGCOUNT.format("test_anova", "exactly", 3, "s", 2)
    with pytest.raises(TypeError) as caught:
        analyser.test_anova(measure="m")
    assert str(caught.value) == ARGCOUNT.format("test_anova", "exactly", 3, "s", 2)
    assert module_entries(caught.value) == [(qualified("test_anova"), 57)]


def test_non_string_keyword(fp, world):
    with pytest.raises(TypeError) as caught:
        raw(fp, "test_anova")(world.analyser(), "m", "d", **{1: 2})
    if sys.version_info < (3, 8):
        assert str(caught.value) == "test_anova() keywords must be strings"
        assert module_entries(caught.value) == [(qualified("test_anova"), 57)]
    else:  # later interpreters refuse such a call before it reaches the method
        assert "keywords must be strings" in str(caught.value)


def test_keyword_and_positional_bind_alike(world):
    record = world.record()
    frame = world.frame(rows=[("x", 1, 1.0)])
    analyser = world.analyser(frame=frame, record=record)
    assert analyser.test_anova("m", "d") is None
    by_position = list(world.log)
    del world.log[:]
    assert analyser.test_anova(dimension="d", measure="m") is None
    assert [event[0] for event in world.log] == [event[0] for event in by_position]
    assert [args for _, args in record.received] == [
        ("d", world.pandas.tables[0]), ("d", world.pandas.tables[1])]
