"""What each method does to its collaborators: the exact calls, in order, with their arguments,
the state it leaves, and the traceback entry (method, line) that every failure carries."""
import builtins

import pytest

import factorpair_fakes as fakes
from factorpair_support import module_entries, qualified


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom()


# --- __init__ ---------------------------------------------------------------------------------

def test_init_calls_and_state(fp, world):
    frame, helper = world.frame(), world.helper(numeric=["m"], strings=["d"], rows=7)
    analyser = fp.TwoWayAnova.__new__(fp.TwoWayAnova)
    assert fp.TwoWayAnova.__init__.__wrapped__(analyser, frame, helper) is None
    assert world.log == [("get_numeric_columns", (), {}), ("get_string_columns", (), {}),
                         ("get_num_rows", (), {})]
    assert list(vars(analyser)) == ["_data_frame", "_dataframe_helper", "_measure_columns",
                                    "_dimension_columns", "_df", "_mean"]
    assert analyser._data_frame is frame and analyser._dataframe_helper is helper
    assert analyser._measure_columns is helper.numeric
    assert analyser._dimension_columns is helper.strings
    assert analyser._df == 7 and analyser._mean == {}
    other = world.analyser(frame=frame, helper=helper)
    assert other._mean is not analyser._mean
    helper.rows = 8
    assert analyser._df == 7


def test_init_reads_the_helper_back_from_the_instance(fp, world):
    first, second = world.helper(numeric=["a"]), world.helper(numeric=["b"])

    class Swapping(fp.TwoWayAnova):
        def __setattr__(self, name, value):
            # store a different helper than the one given: the body must use the stored one
            object.__setattr__(self, name, second if name == "_dataframe_helper" else value)

    analyser = Swapping.__new__(Swapping)
    fp.TwoWayAnova.__init__.__wrapped__(analyser, world.frame(), first)
    assert analyser._measure_columns == ["b"]


def test_init_through_the_class_with_keywords(fp, spark):
    from Tarnwick.bi.common import DataFrameHelper

    frame = spark.createDataFrame([("x", 1.0)], ["d", "m"])
    helper = DataFrameHelper(frame)
    by_keyword = fp.TwoWayAnova(data_frame=frame, df_helper=helper)
    by_position = fp.TwoWayAnova(frame, helper)
    assert vars(by_keyword) == vars(by_position)
    assert by_keyword._measure_columns == ["m"] and by_keyword._dimension_columns == ["d"]
    assert not hasattr(by_keyword, "_anova_result")


@pytest.mark.parametrize("failing, line, present", [
    ("get_numeric_columns", 32, ["_data_frame", "_dataframe_helper"]),
    ("get_string_columns", 33, ["_data_frame", "_dataframe_helper", "_measure_columns"]),
    ("get_num_rows", 34, ["_data_frame", "_dataframe_helper", "_measure_columns",
                          "_dimension_columns"]),
])
def test_init_failures(fp, world, failing, line, present):
    helper = world.helper()
    setattr(helper, failing, boom)
    analyser = fp.TwoWayAnova.__new__(fp.TwoWayAnova)
    with pytest.raises(Boom) as caught:
        fp.TwoWayAnova.__init__.__wrapped__(analyser, world.frame(), helper)
    assert module_entries(caught.value) == [(qualified("__init__"), line)]
    assert list(vars(analyser)) == present


@pytest.mark.parametrize("attribute, line", [
    ("_data_frame", 30), ("_dataframe_helper", 31), ("_mean", 35)])
def test_init_assignment_failures(fp, world, attribute, line):
    class Refusing(fp.TwoWayAnova):
        def __setattr__(self, name, value):
            if name == attribute:
                raise Boom()
            object.__setattr__(self, name, value)

    with pytest.raises(Boom) as caught:
        fp.TwoWayAnova.__init__.__wrapped__(Refusing.__new__(Refusing), world.frame(),
                                            world.helper())
    assert module_entries(caught.value) == [(qualified("__init__"), line)]


# --- test_anova and test_anova_interaction ----------------------------------------------------

def expected_table_steps(kind):
    return [
        ("get", "means"), ("get", "counts"), ("mul", "means", "counts"),
        ("set", "total", "(means * counts)"),
        ("get", "counts"), ("get", "means"), ("mul", "counts", "means"), ("get", "means"),
        ("mul", "(counts * means)", "means"), ("set", kind, "((counts * means) * means)"),
    ]


def test_test_anova_calls(world):
    rows = [("x", 4, 2.5), ("y", 2, 15.0)]
    frame, record = world.frame(rows), world.record()
    analyser = world.analyser(frame=frame, record=record)
    dimension = "A"
    assert analyser.test_anova("m", dimension) is None
    table = world.pandas.tables[0]
    assert world.log == [
        ("groupby", "frame", ("A",), {}),
        ("col", ("m",), {}), ("count", ("col(m)",), {}),
        ("col", ("m",), {}), ("mean", ("col(m)",), {}),
        ("agg", "grouped", ("count(col(m))", "mean(col(m))"), {}),
        ("collect", "aggregated", (), {}),
        ("pd.DataFrame", (rows,), [("columns", ["levels", "counts", "means"])]),
    ] + expected_table_steps("var3") + [
        ("set_OneWayAnovaResult", ("A", table), {}),
    ]
    assert table.args[0] is frame.collected[0]  # the collected list itself
    assert record.received[0][1][0] is dimension
    assert list(table.assigned) == ["total", "var3"]


def test_test_anova_interaction_calls(world):
    rows = [("x", "p", 3, 2.0)]
    frame, record = world.frame(rows), world.record()
    analyser = world.analyser(frame=frame, record=record)
    assert analyser.test_anova_interaction("m", "A", "B") is None
    table = world.pandas.tables[0]
    assert world.log == [
        ("groupby", "frame", ("A", "B"), {}),
        ("col", ("m",), {}), ("count", ("col(m)",), {}),
        ("col", ("m",), {}), ("mean", ("col(m)",), {}),
        ("agg", "grouped", ("count(col(m))", "mean(col(m))"), {}),
        ("collect", "aggregated", (), {}),
        ("pd.DataFrame", (rows,), [("columns", ["level1", "level2", "counts", "means"])]),
    ] + expected_table_steps("var5") + [
        ("set_TwoWayAnovaResult", ("A", "B", table), {}),
    ]
    assert table.args[0] is frame.collected[0]


def break_attribute(name):
    def breaker(world, analyser, monkeypatch):
        delattr(analyser, name)
    return breaker


def break_frame(operation):
    def breaker(world, analyser, monkeypatch):
        monkeypatch.setattr(fakes.Frame, operation, boom)
    return breaker


def break_global(name):
    def breaker(world, analyser, monkeypatch):
        monkeypatch.delattr(world.fp, name)
    return breaker


def break_table(operation, key=None):
    def breaker(world, analyser, monkeypatch):
        if key is None:
            monkeypatch.setattr(world.pandas, "DataFrame", boom)
            return
        original = fakes.Table.__setitem__

        def setitem(table, name, value):
            if name == key:
                raise Boom()
            original(table, name, value)

        monkeypatch.setattr(fakes.Table, "__setitem__", setitem)
    return breaker


def break_setter(world, analyser, monkeypatch):
    monkeypatch.setattr(fakes.Record, "set_OneWayAnovaResult", boom)
    monkeypatch.setattr(fakes.Record, "set_TwoWayAnovaResult", boom)


BOTH = ("test_anova", "test_anova_interaction")

TEST_FAILURES = [
    # breaker, exception, message, line offset from the definition line, methods
    (break_attribute("_data_frame"), AttributeError, None, 1, BOTH),
    (break_frame("groupby"), Boom, None, 1, BOTH),
    (break_frame("agg"), Boom, None, 1, BOTH),
    (break_frame("collect"), Boom, None, 1, BOTH),
    (break_global("col"), NameError, "name 'col' is not defined", 1, BOTH),
    (break_global("count"), NameError, "name 'count' is not defined", 1, BOTH),
    (break_global("mean"), NameError, "name 'mean' is not defined", 1, BOTH),
    (break_table("DataFrame"), Boom, None, 2, BOTH),
    (break_global("pd"), NameError, "name 'pd' is not defined", 2, BOTH),
    (break_table("set", "total"), Boom, None, 3, BOTH),
    (break_table("set", "var3"), Boom, None, 4, ("test_anova",)),
    (break_table("set", "var5"), Boom, None, 4, ("test_anova_interaction",)),
    (break_attribute("_anova_result"), AttributeError, None, 5, BOTH),
    (break_setter, Boom, None, 5, BOTH),
]

METHOD_ARGUMENTS = {"test_anova": (57, ("m", "A")),
                    "test_anova_interaction": (71, ("m", "A", "B"))}


@pytest.mark.parametrize("method, breaker, exception, message, offset", [
    (method, breaker, exception, message, offset)
    for breaker, exception, message, offset, methods in TEST_FAILURES for method in methods])
def test_test_failures(world, monkeypatch, method, breaker, exception, message, offset):
    line, arguments = METHOD_ARGUMENTS[method]
    frame, record = world.frame([("x", "p", 1, 1.0)]), world.record()
    analyser = world.analyser(frame=frame, record=record)
    breaker(world, analyser, monkeypatch)
    with pytest.raises(exception) as caught:
        getattr(analyser, method)(*arguments)
    if message is not None:
        assert str(caught.value) == message
    assert module_entries(caught.value) == [(qualified(method), line + offset)]
    assert record.received == []
    if offset == 5:  # the aggregation ran before the record was reached
        assert frame.collected


def test_rebinding_pd_changes_what_test_anova_uses(fp, world, monkeypatch):
    other = fakes.Pandas(world.log)
    analyser = world.analyser(frame=world.frame([]), record=world.record())
    analyser.test_anova("m", "A")
    monkeypatch.setattr(fp, "pd", other)
    analyser.test_anova("m", "A")
    assert len(world.pandas.tables) == 1 and len(other.tables) == 1


def test_globals_fall_back_to_builtins(fp, world, monkeypatch):
    # `range` removed from the module namespace is found in builtins.
    monkeypatch.delattr(fp, "range")
    analyser = world.analyser(record=world.record())
    calls = []
    analyser.test_anova = lambda *args: calls.append(("one",) + args)
    analyser.test_anova_interaction = lambda *args: calls.append(("two",) + args)
    analyser.test_against("m", ["a", "b"])
    assert calls == [("one", "m", "a"), ("one", "m", "b"), ("two", "m", "a", "b")]


# --- test_against -----------------------------------------------------------------------------

def recording_tests(analyser, calls, fail_on=None):
    def one(*args, **kwargs):
        calls.append(("test_anova", args, kwargs))
        if fail_on == ("test_anova", len(calls)):
            raise Boom()

    def two(*args, **kwargs):
        calls.append(("test_anova_interaction", args, kwargs))
        if fail_on == ("test_anova_interaction", len(calls)):
            raise Boom()

    analyser.test_anova = one
    analyser.test_anova_interaction = two


@pytest.mark.parametrize("dimensions, expected", [
    ([], []),
    (["D1"], [("test_anova", ("m", "D1"))]),
    (("D1", "D2", "D3"), [("test_anova", ("m", "D1")), ("test_anova", ("m", "D2")),
                          ("test_anova", ("m", "D3")),
                          ("test_anova_interaction", ("m", "D1", "D2")),
                          ("test_anova_interaction", ("m", "D1", "D3")),
                          ("test_anova_interaction", ("m", "D2", "D3"))]),
    (["D1", "D1"], [("test_anova", ("m", "D1")), ("test_anova", ("m", "D1")),
                    ("test_anova_interaction", ("m", "D1", "D1"))]),
])
def test_test_against_order(fp, world, monkeypatch, dimensions, expected):
    ranges = []

    def recording_range(*args):
        ranges.append(args)
        return range(*args)

    monkeypatch.setattr(fp, "range", recording_range)
    analyser = world.analyser()
    calls = []
    recording_tests(analyser, calls)
    assert analyser.test_against("m", dimensions) is None
    assert calls == [(name, args, {}) for name, args in expected]
    n = len(dimensions)
    assert ranges == [(0, n - 1)] + [(i + 1, n) for i in range(0, n - 1)]


class NoLength(object):
    def __iter__(self):
        return iter(["a", "b"])


class BadIndex(list):
    def __getitem__(self, index):
        raise Boom()


class BadIter(list):
    def __iter__(self):
        raise Boom()


def failing_range_call(number):
    state = {"calls": 0}

    def fake_range(*args):
        state["calls"] += 1
        if state["calls"] == number:
            raise Boom()
        return range(*args)
    return fake_range


@pytest.mark.parametrize("dimensions, fail_on, fake_range, exception, line, calls_made", [
    (BadIter(["a"]), None, None, Boom, 65, 0),
    (["a", "b"], ("test_anova", 2), None, Boom, 66, 2),
    (NoLength(), None, None, TypeError, 67, 2),
    (["a", "b"], None, failing_range_call(1), Boom, 67, 2),
    (["a", "b"], None, failing_range_call(2), Boom, 68, 2),
    (BadIndex(["a", "b"]), None, None, Boom, 69, 2),
    (["a", "b", "c"], ("test_anova_interaction", 4), None, Boom, 69, 4),
])
def test_test_against_failures(fp, world, monkeypatch, dimensions, fail_on, fake_range,
                               exception, line, calls_made):
    if fake_range is not None:
        monkeypatch.setattr(fp, "range", fake_range)
    analyser = world.analyser()
    calls = []
    recording_tests(analyser, calls, fail_on)
    with pytest.raises(exception) as caught:
        analyser.test_against("m", dimensions)
    assert module_entries(caught.value) == [(qualified("test_against"), line)]
    assert len(calls) == calls_made


def test_failure_passes_through_every_method(fp, world):
    frame = world.frame([("r",)])
    helper = world.helper(numeric=["m"], strings=["a"], rows=1000, levels={"a": 2})
    analyser = world.analyser(frame=frame, helper=helper)  # the real methods, no overrides
    original = fakes.Frame.groupby

    def groupby(self, *args, **kwargs):
        raise Boom()

    fakes.Frame.groupby = groupby
    try:
        with pytest.raises(Boom) as caught:
            analyser.test_all()
    finally:
        fakes.Frame.groupby = original
    assert module_entries(caught.value) == [
        (qualified("test_all"), 53), (qualified("test_against"), 66),
        (qualified("test_anova"), 58)]
    # the record of the measure in progress stays on the analyser
    assert analyser._anova_result is world.records[0]


# --- test_all ---------------------------------------------------------------------------------

def test_test_all_calls(fp, world):
    rows = [("row-m1",)]
    frame = world.frame(rows)
    helper = world.helper(numeric=["m1", "m2"], strings=["a", "b", "c"], rows=1000,
                          levels={"a": 11, "b": 12, "c": 11})
    analyser = world.analyser(frame=frame, helper=helper)
    against = []
    analyser.test_against = lambda *args, **kwargs: against.append((args, kwargs))
    result = analyser.test_all()
    collection = world.collections[0]
    assert result is collection
    measure_steps = []
    for m in ("m1", "m2"):
        measure_steps += [
            ("col", (m,), {}), ("alias", "col(%s)" % m, ("x",), {}),
            ("col", (m,), {}), ("pow", "col(%s)" % m, 2),
            ("alias", "(col(%s) ** 2)" % m, ("x2",), {}),
            ("select", "frame", ("col(%s) AS x" % m, "(col(%s) ** 2) AS x2" % m), {}),
            ("col", ("x",), {}), ("count", ("col(x)",), {}),
            ("col", ("x",), {}), ("mean", ("col(x)",), {}),
            ("col", ("x2",), {}), ("sum", ("col(x2)",), {}),
            ("agg", "selected", ("count(col(x))", "mean(col(x))", "sum(col(x2))"), {}),
            ("collect", "aggregated", (), {}),
            ("MeasureAnovaResult", (("row-m1",),), {}),
            ("add_measure_result", (m, world.records[len(measure_steps) // 15]), {}),
        ]
    assert world.log == [
        ("get_num_rows", (), {}), ("DFTwoWayAnovaResult", (), {}),
        ("get_num_unique_values", ("a",), {}), ("get_num_unique_values", ("b",), {}),
        ("get_num_unique_values", ("c",), {}),
    ] + measure_steps
    assert [args for args, _ in against] == [("m1", ["a", "c"]), ("m2", ["a", "c"])]
    assert against[0][0][1] is against[1][0][1]  # one list for every measure
    assert world.records[0].args[0] is frame.collected[0][0]
    assert collection.added == [("m1", world.records[0]), ("m2", world.records[1])]
    assert analyser._anova_result is world.records[1]


@pytest.mark.parametrize("rows, max_num_levels, levels, kept", [
    (1000, 40, [11, 12], [11]),
    (100000, 40, [40, 41], [40]),
    (1000, 5, [5, 6], [5]),
    (1000, 0, [0, 1], [0]),
    (0, 40, [0, 1], [0]),
    (4, 40, [2, 3], [2]),
    (36450, 40, [39, 40], [39]),
    (36451, 40, [40, 41], [40]),
    (10000, 40, [25, 26, 25], [25, 25]),
])
def test_test_all_level_bound(world, rows, max_num_levels, levels, kept):
    names = ["d%d" % i for i in range(len(levels))]
    helper = world.helper(rows=rows, levels=dict(zip(names, levels)))
    analyser = world.analyser(helper=helper)
    against = []
    analyser.test_against = lambda *args: against.append(args)
    analyser.test_all(["m"], names, max_num_levels)
    assert [helper.levels[name] for name in against[0][1]] == kept


def test_test_all_uses_the_round_it_was_built_with(world, monkeypatch):
    monkeypatch.setattr(builtins, "round", boom)
    helper = world.helper(rows=1000, strings=["a"], levels={"a": 11})
    analyser = world.analyser(helper=helper)
    analyser.test_against = lambda *args: None
    analyser.test_all(["m"])
    assert world.records and world.collections


def test_test_all_without_measures(world):
    helper = world.helper(numeric=[], strings=["a", "a"], rows=10, levels={"a": 1})
    analyser = world.analyser(helper=helper)
    result = analyser.test_all()
    assert result.added == [] and not hasattr(analyser, "_anova_result")
    assert world.log == [("get_num_rows", (), {}), ("DFTwoWayAnovaResult", (), {}),
                         ("get_num_unique_values", ("a",), {}),
                         ("get_num_unique_values", ("a",), {})]


def test_test_all_repeats_and_explicit_lists(world):
    helper = world.helper(numeric=["unused"], strings=["unused"], rows=1000,
                          levels={"a": 1})
    analyser = world.analyser(frame=world.frame([("r",)]), helper=helper)
    against = []
    analyser.test_against = lambda *args: against.append(args)
    result = analyser.test_all(("m", "m"), ["a", "a"])
    assert [name for name, _ in result.added] == ["m", "m"]
    assert against[0][1] == ["a", "a"]


def collection_add_boom(world, analyser, monkeypatch):
    monkeypatch.setattr(fakes.Collection, "add_measure_result", boom)


def measures_boom(world, analyser, monkeypatch):
    analyser._measure_columns = BadIter(["m"])


@pytest.mark.parametrize("breaker, arguments, exception, line, record_set", [
    (break_attribute("_measure_columns"), (), AttributeError, 41, False),
    (break_attribute("_dimension_columns"), (), AttributeError, 44, False),
    (lambda w, a, m: m.setattr(fakes.Helper, "get_num_rows", boom), (), Boom, 45, False),
    (lambda w, a, m: m.setattr(w.fp, "DFTwoWayAnovaResult", boom), (), Boom, 46, False),
    (lambda w, a, m: m.setattr(fakes.Helper, "get_num_unique_values", boom), (), Boom, 47,
     False),
    (measures_boom, (), Boom, 49, False),
    (break_frame("collect"), (), Boom, 51, False),
    (lambda w, a, m: m.setattr(w.fp, "MeasureAnovaResult", boom), (), Boom, 52, False),
    (lambda w, a, m: setattr(a, "test_against", boom), (), Boom, 53, True),
    (collection_add_boom, (), Boom, 54, True),
    (break_global("col"), (), NameError, 51, False),
    # without the module's `sum` the lookup finds the built-in one, which cannot add columns
    (break_global("sum"), (), TypeError, 51, False),
])
def test_test_all_failures(world, monkeypatch, breaker, arguments, exception, line, record_set):
    helper = world.helper(numeric=["m"], strings=["a"], rows=1000, levels={"a": 2})
    analyser = world.analyser(frame=world.frame([("r",)]), helper=helper)
    analyser.test_against = lambda *args: None
    breaker(world, analyser, monkeypatch)
    with pytest.raises(exception) as caught:
        analyser.test_all(*arguments)
    assert module_entries(caught.value) == [(qualified("test_all"), line)]
    assert hasattr(analyser, "_anova_result") == record_set


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
