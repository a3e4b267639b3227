"""Importing the analyser module, each scenario in a fresh interpreter: the import sequence, the
package-relative first try, from-imports, the class statement's calls to `accepts`, re-imports,
and every way loading fails, with its traceback entry; and the recursion limit across methods."""
import json
import os

import pytest

from support.source import INIT_ENTRY, MODULE_LINES

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WATCHED = dict(watch=True, wrap=True)


def scenario(run_python, body, **install):
    code = ("import json, sys, importlib, warnings\n"
            "from support import standins as fakes\n"
            "fakes.install(**%r)\n" % (dict(WATCHED, replace_import=True, **install),)) + body
    completed = run_python(code, extra_paths=[TESTS])
    return json.loads(completed.stdout.strip().splitlines()[-1])


def test_import_sequence(run_python):
    result = scenario(run_python, """
warnings.simplefilter("error")  # no version warning for a matching interpreter
import Tarnwick.bi.stats.factorpair as fp
import pandas
events = list(fakes.IMPORT_EVENTS)
calls = fakes.ACCEPTS_CALLS
fakes.report(
    events=events, found=fakes.FOUND,
    replacement=[n for n in fakes.REPLACEMENT_IMPORTS if "Tarnwick" in n or "spark" in n
                 or "pandas" in n],
    pd=fp.pd is pandas, frame=fp.DataFrame is fakes.Frame,
    functions=[getattr(fp, n) is getattr(sys.modules["pyspark.sql.functions"], n)
               for n in ("mean", "sum", "col", "count")],
    tuples_distinct=calls[1][1]["measure_columns"] is not calls[1][1]["dimension_columns"],
    builtin_types=[calls[1][1]["measure_columns"] == (list, tuple),
                   calls[1][1]["max_num_levels"] is int, calls[0][0][0] is object],
    stored=[vars(fp.TwoWayAnova)[name] is fakes.RETURNED[name] is not fakes.HANDED[name]
            for name in ("__init__", "test_all")],
    test=fp.__test__, doc=fp.__doc__, in_sys_modules=sys.modules[fp.__name__] is fp)
""")
    assert result["events"] == [
        ["getattr", "pyspark.sql", "DataFrame"],
        ["getattr", "pyspark.sql.functions", "mean"],
        ["getattr", "pyspark.sql.functions", "sum"],
        ["getattr", "pyspark.sql.functions", "col"],
        ["getattr", "pyspark.sql.functions", "count"],
        ["getattr", "Tarnwick.bi.common", "DataFrameHelper"],
        ["getattr", "Tarnwick.bi.common.decorators", "accepts"],
        ["getattr", "Tarnwick.bi.common.results", "DFTwoWayAnovaResult"],
        ["getattr", "Tarnwick.bi.common.results", "MeasureAnovaResult"],
        ["accepts", ["object", "Frame"], []],
        ["decorate", "__init__", None],
        ["accepts", ["object"], [["measure_columns", ["list", "tuple"]],
                                 ["dimension_columns", ["list", "tuple"]],
                                 ["max_num_levels", "int"]]],
        ["decorate", "test_all", [None, None, 40]],
    ]
    # the module itself is found; then each statement first looks inside Tarnwick.bi.stats
    package = "Tarnwick.bi.stats."
    assert result["found"] == [package + name for name in (
        "factorpair", "builtins", "builtins", "pandas", "pyspark", "pyspark",
        "Tarnwick", "Tarnwick", "Tarnwick", "Tarnwick")]
    # only the scenario's own two import statements went through builtins.__import__
    assert result["replacement"] == ["Tarnwick.bi.stats.factorpair", "pandas"]
    assert result["pd"] and result["frame"] and all(result["functions"])
    assert result["tuples_distinct"] and all(result["builtin_types"]) and all(result["stored"])
    assert result["test"] == {} and result["doc"] is None and result["in_sys_modules"]


def test_repeated_import_reuses_the_module(run_python):
    result = scenario(run_python, """
import Tarnwick.bi.stats.factorpair as first
del sys.modules["Tarnwick.bi.stats.factorpair"]
import Tarnwick.bi.stats.factorpair as second
third = importlib.reload(second)
fakes.report(same=[second is first, third is first], accepts=len(fakes.ACCEPTS_CALLS))
""")
    assert result == {"same": [True, True], "accepts": 2}


def test_package_local_module_shadows_a_dependency(run_python):
    result = scenario(run_python, """
import types
shadow = types.ModuleType("Tarnwick.bi.stats.pyspark")
shadow.__path__ = []
shadow_sql = types.ModuleType("Tarnwick.bi.stats.pyspark.sql")
shadow_sql.DataFrame = type("ShadowFrame", (), {})
sys.modules[shadow.__name__] = shadow
sys.modules[shadow_sql.__name__] = shadow_sql
import Tarnwick.bi.stats.factorpair as fp
fakes.report(shadowed=fp.DataFrame is shadow_sql.DataFrame,
             functions=fp.col is sys.modules["pyspark.sql.functions"].col)
""")
    assert result == {"shadowed": True, "functions": True}


LOAD_FAILURES = [
    # install arguments, exception, message (None: the import system's), global being set
    ({"missing_modules": ["pandas"]}, "ModuleNotFoundError", None, "pd"),
    ({"missing_modules": ["pyspark.sql"]}, "ModuleNotFoundError", None, "DataFrame"),
    ({"missing_modules": ["pyspark.sql.functions"]}, "ModuleNotFoundError", None, "mean"),
    ({"missing_modules": ["Tarnwick.bi.common"]}, "ModuleNotFoundError", None,
     "DataFrameHelper"),
    ({"missing_modules": ["Tarnwick.bi.common.decorators"]}, "ModuleNotFoundError", None,
     "accepts"),
    ({"missing_modules": ["Tarnwick.bi.common.results"]}, "ModuleNotFoundError", None,
     "DFTwoWayAnovaResult"),
    ({"missing_names": ["pyspark.sql:DataFrame"]}, "ImportError",
     "cannot import name DataFrame", "DataFrame"),
    ({"missing_names": ["pyspark.sql.functions:col"]}, "ImportError", "cannot import name col",
     "col"),
    ({"missing_names": ["Tarnwick.bi.common.results:MeasureAnovaResult"]}, "ImportError",
     "cannot import name MeasureAnovaResult", "MeasureAnovaResult"),
    # an error other than ImportError in the package-relative try is not retried
    ({"raising": ["Tarnwick.bi.stats.pandas"]}, "ValueError",
     "finder failure for Tarnwick.bi.stats.pandas", "pd"),
]


@pytest.mark.parametrize("install, exception, message, name", LOAD_FAILURES)
def test_load_failures(run_python, install, exception, message, name):
    result = scenario(run_python, """
try:
    import Tarnwick.bi.stats.factorpair
except BaseException as error:
    first = fakes.failure(error)
registered = "Tarnwick.bi.stats.factorpair" in sys.modules
# repair the world and import again: the whole exec step runs once more
for name in list(sys.modules):
    if sys.modules[name] is None:
        del sys.modules[name]
sys.meta_path.pop(0)
fakes.install(watch=True, wrap=True)
import Tarnwick.bi.stats.factorpair as fp
fakes.report(first=first, registered=registered, accepts=len(fakes.ACCEPTS_CALLS),
             has_class=hasattr(fp, "TwoWayAnova"))
""", **install)
    first = result["first"]
    assert first["type"] == exception
    if message is not None:
        assert first["message"] == message
    assert first["entries"] == [[INIT_ENTRY, MODULE_LINES[name]]]
    assert not result["registered"]
    assert result["accepts"] == 2 and result["has_class"]


CLASS_FAILURES = {
    # hook run when the last from-import reads MeasureAnovaResult, exception, message
    "accepts raises": ("fakes.ACCEPTS_FAIL = True", "RuntimeError", "accepts refused"),
    "decorator raises": ("fakes.DECORATOR_FAIL = True", "RuntimeError", "decorator refused"),
    "accepts missing": ("del module_dict['accepts']", "NameError",
                        "name 'accepts' is not defined"),
    "DataFrame missing": ("del module_dict['DataFrame']", "NameError",
                          "name 'DataFrame' is not defined"),
}


@pytest.mark.parametrize("case", sorted(CLASS_FAILURES))
def test_class_statement_failures(run_python, case):
    hook, exception, message = CLASS_FAILURES[case]
    result = scenario(run_python, """
fakes.ACCEPTS_FAIL = fakes.DECORATOR_FAIL = False
original_accepts = fakes.accepts
def accepts(*args, **kwargs):
    if fakes.ACCEPTS_FAIL:
        raise RuntimeError("accepts refused")
    decorator = original_accepts(*args, **kwargs)
    def failing(function):
        if fakes.DECORATOR_FAIL:
            raise RuntimeError("decorator refused")
        return decorator(function)
    return failing
sys.modules["Tarnwick.bi.common.decorators"].accepts = accepts
results = sys.modules["Tarnwick.bi.common.results"]
record_class = results.MeasureAnovaResult
del results.MeasureAnovaResult
def fetch_last(name):
    if name != "MeasureAnovaResult":
        raise AttributeError(name)
    module_dict = sys.modules["Tarnwick.bi.stats.factorpair"].__dict__
    %s
    return record_class
type(results).__getattr__ = lambda self, name: fetch_last(name)
try:
    import Tarnwick.bi.stats.factorpair
except BaseException as error:
    fakes.report(failure=fakes.failure(error))
""" % hook)
    assert result["failure"] == {"type": exception, "message": message,
                                 "entries": [[INIT_ENTRY, MODULE_LINES["TwoWayAnova"]]]}


def test_missing_round(run_python):
    result = scenario(run_python, """
import builtins
saved = builtins.round
del builtins.round
try:
    import Tarnwick.bi.stats.factorpair
except BaseException as error:
    first = fakes.failure(error)
builtins.round = saved
import Tarnwick.bi.stats.factorpair as fp
fakes.report(first=first, loaded=hasattr(fp, "TwoWayAnova"))
""")
    assert result["first"] == {"type": "NameError", "message": "name 'round' is not defined",
                               "entries": [[INIT_ENTRY, MODULE_LINES["range"]]]}
    assert result["loaded"]


def test_real_dependencies_missing(run_python):
    # Without pyspark the import system's own error surfaces, at the import of DataFrame.
    completed = run_python("""
import sys, json
from support.source import entries
sys.modules["pyspark"] = None
try:
    import Tarnwick.bi.stats.factorpair
except ImportError as error:
    print(json.dumps([type(error).__name__, str(error), entries(error)]))
""", extra_paths=[TESTS])
    kind, message, entries = json.loads(completed.stdout)
    assert kind == "ModuleNotFoundError" and "pyspark" in message
    assert entries == [[INIT_ENTRY, MODULE_LINES["DataFrame"]]]


def test_unbounded_recursion_between_methods_is_a_recursion_error(run_python):
    # test_against calls self.test_anova, here test_against itself: the methods call each other
    # with no Python frame in between, and the interpreter's recursion limit still holds.
    completed = run_python("""
import sys
import Tarnwick.bi.stats.factorpair as fp
analyser = fp.TwoWayAnova.__new__(fp.TwoWayAnova)
analyser.test_anova = analyser.test_against
sys.setrecursionlimit(200)
try:
    analyser.test_against("m", ["d"])
except RecursionError:
    print("RecursionError")
""")
    assert completed.stdout.strip() == "RecursionError"
