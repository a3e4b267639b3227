"""What each method does to its collaborators, and what it does when they fail or misbehave.

First, the exact calls of each method, in order, and the state it leaves.  Then each stand-in
operation that a method reaches raises in turn; the call must end in that very exception with
one traceback entry per method it passed through, at the line of the failing step.  Then objects whose ``__len__``, ``__getitem__``, ``__iter__``, ``__mul__``,
``__pow__``, ``__le__``, ``__lt__``, ``__eq__`` or ``__bool__`` raise or return odd types, a
``collect`` that returns a non-list, a tuple or an empty list, a row count or ``round`` result
that is a float, None or a huge int: each ends in the exception the failing operation raises
in plain Python (same type, same message), or in the result the methods specify.
"""
import builtins

import pytest

from support import standins
from support.source import METHODS, entries, line
from support.standins import Boom, rebound
from Tarnwick.bi.stats import factorpair


def function(method):
    return standins.function(factorpair, method)


def at(method, statement):
    """The traceback entry of a failure in ``method``'s ``statement``."""
    return (method, line(method, statement))


# --- each operation failing in turn ---------------------------------------------------------------

TESTS = ("test_anova", "test_anova_interaction")


def lines_of_test(method, events):
    """Line of each operation of one single-dimension or interaction test, in order."""
    grouped, built, total, squared, setter = (
        line(method, key) for key in ("aggregate", "table", "total", "square", "record"))
    current, lines = grouped, []
    for event in events:
        if event[0] == "DataFrame":
            lines.append(built)
            current = total
        elif event[0] == "setitem":
            lines.append(current)
            current = squared
        elif event[0].startswith("set_"):
            lines.append(setter)
        else:
            lines.append(current)
    return lines


def split_tests(events):
    """Cuts a run of tests into (method, events) segments, one per test."""
    segments = []
    for event in events:
        if event[0] == "groupby":
            method = "test_anova" if len(event[2]) == 1 else "test_anova_interaction"
            segments.append((method, []))
        segments[-1][1].append(event)
    return segments


def against_entries(events):
    found = []
    for method, segment in split_tests(events):
        outer = ("test_against", line("test_against", "one" if method == "test_anova" else "two"))
        found.extend([outer, (method, number)] for number in lines_of_test(method, segment))
    return found


def expected_entries(method, log):
    """For each operation of a successful call, the entries a failure there carries."""
    if method in TESTS:
        return [[(method, number)] for number in lines_of_test(method, log)]
    if method == "__init__":
        lines = {"get_numeric_columns": line(method, "measures"),
                 "get_string_columns": line(method, "dimensions"),
                 "get_num_rows": line(method, "rows")}
        return [[(method, lines[event[0]])] for event in log]
    if method == "test_against":
        return against_entries(log)
    found, nested = [], []
    own = {event: line("test_all", key) for event, key in (
        ("get_num_rows", "bound"), ("DFTwoWayAnovaResult", "collection"),
        ("get_num_unique_values", "filter"), ("MeasureAnovaResult", "record"),
        ("add_measure_result", "add"))}
    for event in log + [("end",)]:
        if event[0] in ("MeasureAnovaResult", "add_measure_result", "end") and nested:
            found.extend([("test_all", line("test_all", "against"))] + e
                         for e in against_entries(nested))
            nested = []
        if event[0] == "end":
            break
        if event[0] in own:
            found.append([("test_all", own[event[0]])])
        elif event[0] in ("groupby", "DataFrame", "getattr", "mul", "setitem",
                          "set_OneWayAnovaResult",
                          "set_TwoWayAnovaResult") or nested:
            nested.append(event)
        else:
            found.append([("test_all", line("test_all", "aggregate"))])
    return found


def calls_of(method):
    a = standins.analyser(factorpair, measures=("m1", "m2"), dimensions=("a", "b", "c"))
    return {
        "__init__": lambda: a.__init__(a._data_frame, a._dataframe_helper),
        "test_anova": lambda: a.test_anova("m", "a"),
        "test_anova_interaction": lambda: a.test_anova_interaction("m", "a", "b"),
        "test_against": lambda: a.test_against("m", ["a", "b", "c"]),
        "test_all": lambda: a.test_all(),
    }[method]


@pytest.mark.parametrize("method", ["__init__", "test_anova", "test_anova_interaction",
                                    "test_against", "test_all"])
def test_each_operation_failing_in_turn(method):
    call = calls_of(method)
    with standins.recording() as log:
        call()
    log = list(log)
    wanted = expected_entries(method, log)
    assert len(wanted) == len(log)
    for index, event in enumerate(log, 1):
        standins.failing_at(index)
        with standins.recording() as partial:
            try:
                call()
            except Boom as error:
                raised = error
            else:
                raised = None
            finally:
                standins.disarm()
        assert raised is not None, "operation %d %r did not fail the call" % (index, event)
        assert raised.args == event  # the stand-in's own exception, unchanged
        assert entries(raised) == wanted[index - 1], "operation %d %r" % (index, event)
        assert list(partial) == log[:index - 1], "nothing runs after the failing operation"


# --- misbehaving objects ------------------------------------------------------------------------


class Oops(Exception):
    pass


def raiser(*args):
    raise Oops("hostile")


def hostile(name="Hostile", base=object, **methods):
    return type(name, (base,), methods)()


def plain(operation):
    """What Python itself raises for ``operation``: (type, message)."""
    try:
        operation()
    except Exception as error:  # noqa: BLE001
        return type(error), str(error)
    raise AssertionError("the operation does not fail in Python")


def run(call):
    with standins.recording() as log:
        try:
            result = call()
        except Exception as error:  # noqa: BLE001
            return error, list(log)
    return result, list(log)


def assert_fails(call, expected, wanted_entries):
    """``expected``: the exception object itself, or (type, message) from ``plain``."""
    error, log = run(call)
    assert isinstance(error, BaseException), "no exception; returned %r" % (error,)
    assert not isinstance(error, SystemError)
    if isinstance(expected, BaseException):
        assert error is expected
    else:
        assert (type(error), str(error)) == expected
    assert entries(error) == wanted_entries
    return log


def analyser(**options):
    return standins.analyser(factorpair, **options)


class Sequence(object):
    """A list of dimensions with counters, whose dunders can be replaced one by one."""

    def __init__(self, items, **overrides):
        self.items = list(items)
        self.lens = 0
        for name, value in overrides.items():
            setattr(self, "_" + name, value)

    def __iter__(self):
        return getattr(self, "_iter", lambda: iter(self.items))()

    def __len__(self):
        self.lens += 1
        return getattr(self, "_len", lambda n: len(self.items))(self.lens)

    def __getitem__(self, index):
        return getattr(self, "_getitem", lambda i: self.items[i])(index)


def one_way_dimensions(log):
    return [event[2][0] for event in log if event[0] == "groupby" and len(event[2]) == 1]


def pairs(log):
    return [event[2] for event in log if event[0] == "groupby" and len(event[2]) == 2]


class BadLen(object):
    def __init__(self, value):
        self.value = value

    def __iter__(self):
        return iter(["a", "b"])

    def __len__(self):
        return self.value


@pytest.mark.parametrize("value", ["3", -1, 2 ** 100, 2.0, None])
def test_against_len_of_odd_type(value):
    dims = BadLen(value)
    log = assert_fails(lambda: analyser().test_against("m", dims), plain(lambda: len(dims)),
                       [at("test_against", "outer")])
    assert one_way_dimensions(log) == ["a", "b"]


def test_against_len_returning_true_means_one():
    dims = BadLen(True)
    result, log = run(lambda: analyser().test_against("m", dims))
    assert result is None and one_way_dimensions(log) == ["a", "b"] and pairs(log) == []


@pytest.mark.parametrize(
    "overrides, statement, one_way",
    [
        (dict(iter=raiser), "loop", []),
        (dict(iter=lambda: iter([])), None, []),
        (dict(len=raiser), "outer", ["a", "b", "c"]),
        (dict(len=lambda n: 3 if n == 1 else raiser()), "inner", ["a", "b", "c"]),
        (dict(getitem=raiser), "two", ["a", "b", "c"]),
    ],
    ids=["iter raises", "iter empty, len 3", "len raises", "inner len raises",
         "getitem raises"],
)
def test_against_sequence_failing(overrides, statement, one_way):
    dims = Sequence(["a", "b", "c"], **overrides)
    if statement is None:
        # Iterates nothing, then forms the pairs from len and indexing.
        result, log = run(lambda: analyser().test_against("m", dims))
        assert result is None and one_way_dimensions(log) == []
        assert pairs(log) == [("a", "b"), ("a", "c"), ("b", "c")]
        return
    error, log = run(lambda: analyser().test_against("m", dims))
    assert isinstance(error, Oops) and entries(error) == [at("test_against", statement)]
    assert one_way_dimensions(log) == one_way


def test_against_iterator_stops_with_error_midway():
    def items():
        yield "a"
        raise Oops("midway")

    error, log = run(lambda: analyser().test_against("m", Sequence(["a"], iter=items)))
    assert isinstance(error, Oops) and entries(error) == [at("test_against", "loop")]
    assert one_way_dimensions(log) == ["a"]


def test_against_iter_returning_non_iterator():
    dims = Sequence(["a"], iter=lambda: 5)
    assert_fails(lambda: analyser().test_against("m", dims), plain(lambda: iter(dims)),
                 [at("test_against", "loop")])


def test_against_generator_has_no_len():
    generator = (d for d in ["a", "b"])
    expected = plain(lambda: len((d for d in [])))
    log = assert_fails(lambda: analyser().test_against("m", generator), expected,
                       [at("test_against", "outer")])
    assert one_way_dimensions(log) == ["a", "b"]


def test_against_getitem_returning_odd_items():
    odd = [None, 3.5]
    dims = Sequence(["a", "b"], getitem=lambda i: odd[i])
    result, log = run(lambda: analyser().test_against("m", dims))
    assert result is None and pairs(log) == [(None, 3.5)]


def test_against_len_of_int_subclass_is_used_as_an_int():
    class Length(int):
        def __sub__(self, other):
            raise Oops("the module must use the int len() gives")

        __rsub__ = __add__ = __radd__ = __sub__

    dims = Sequence(["a", "b"], len=lambda n: Length(2))
    result, log = run(lambda: analyser().test_against("m", dims))
    assert result is None and pairs(log) == [("a", "b")]


def test_against_module_range_rebound():
    with rebound(factorpair, range=raiser):
        error, log = run(lambda: analyser().test_all())
    assert isinstance(error, Oops)
    assert entries(error) == [at("test_all", "against"), at("test_against", "outer")]


# --- test_all: the level bound ------------------------------------------------------------------


class Rounded(object):
    """What ``n ** 0.35`` returns for a hostile row count; ``round`` gives ``value``."""

    def __init__(self, value):
        self.value = value

    def __round__(self, *digits):
        return self.value


class Rows(object):
    def __init__(self, power_result):
        self.power_result = power_result

    def __pow__(self, other):
        if isinstance(self.power_result, BaseException):
            raise self.power_result
        return self.power_result


def kept(log):
    """The dimensions passed on to the tests (first measure)."""
    return one_way_dimensions(log)


def helper_analyser(rows, levels=3, dims=("a", "b")):
    return analyser(rows=rows, levels=levels, dimensions=dims)


@pytest.mark.parametrize(
    "rows",
    [None, "1000", 10 ** 400, -8, Rows(Oops("pow")), Rows("text"), Rows(Rounded(None))],
    ids=["None", "str", "huge int", "negative (complex power)", "pow raises",
         "pow gives str", "round gives None"],
)
def test_all_row_count_failing(rows):
    a = helper_analyser(rows)
    if isinstance(rows, Rows) and isinstance(rows.power_result, BaseException):
        expected = rows.power_result
    else:
        expected = plain(lambda: round(rows ** 0.35) < 40)
    log = assert_fails(lambda: a.test_all(), expected, [at("test_all", "bound")])
    assert [e[0] for e in log] == ["get_num_rows"]


@pytest.mark.parametrize("rows, max_num_levels, levels, kept_dimensions", [
    # None: test_all's default bound (40)
    (1000, None, [11, 12], ["a"]),
    (1000.0, None, [11, 12], ["a"]),  # a float row count: round(11.22) = 11
    (Rows(Rounded(3.0)), None, [3, 4], ["a"]),  # round gives a float: bound 3.0
    (Rows(Rounded(2.5)), None, [3, 2], ["b"]),
    (Rows(Rounded(10 ** 30)), None, [40, 41], ["a"]),  # huge: the argument's 40 stays
    (100000, None, [40, 41], ["a"]),
    (36450, None, [39, 40], ["a"]),
    (36451, None, [40, 41], ["a"]),
    (0, None, [0, 1], ["a"]),
    (4, None, [2, 3], ["a"]),
    (10000, None, [25, 26, 25], ["a", "c"]),
    (1000, 5, [5, 6], ["a"]),
    (1000, 0, [0, 1], ["a"]),
])
def test_all_level_bound(rows, max_num_levels, levels, kept_dimensions):
    names = list("abc"[:len(levels)])
    a = standins.analyser(factorpair, dimensions=names, rows=rows, levels=dict(zip(names, levels)))
    arguments = () if max_num_levels is None else (None, None, max_num_levels)
    result, log = run(lambda: a.test_all(*arguments))
    assert not isinstance(result, BaseException), result
    assert kept(log) == kept_dimensions


class Comparison(object):
    """A comparison result whose truth value is ``truth`` (or raises)."""

    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        if isinstance(self.truth, BaseException):
            raise self.truth
        return self.truth


def rounded_comparing(lt=None, eq=None):
    methods = {}
    if lt is not None:
        methods["__lt__"] = lt
    if eq is not None:
        methods["__eq__"] = eq
    cls = type("Bound", (object,), methods)
    return Rows(Rounded(cls()))


def test_all_bound_lt_raises():
    oops = Oops("lt")

    def lt(self, other):
        raise oops

    assert_fails(lambda: helper_analyser(rounded_comparing(lt=lt)).test_all(), oops,
                 [at("test_all", "bound")])


def test_all_bound_lt_gives_object_whose_bool_raises():
    oops = Oops("bool")
    rows = rounded_comparing(lt=lambda self, other: Comparison(oops))
    assert_fails(lambda: helper_analyser(rows).test_all(), oops, [at("test_all", "bound")])


def test_all_bound_not_comparable():
    rows = rounded_comparing(lt=lambda self, other: NotImplemented)
    bound = rows.power_result.value
    assert_fails(lambda: helper_analyser(rows).test_all(), plain(lambda: bound < 40),
                 [at("test_all", "bound")])


def test_all_bound_compared_with_lt_not_eq():
    """``r < max`` decides; ``__eq__`` raising is never reached."""
    oops = Oops("eq")

    def eq(self, other):
        raise oops

    rows = rounded_comparing(lt=lambda self, other: Comparison(False), eq=eq)
    result, log = run(lambda: helper_analyser(rows, levels=3).test_all())
    assert not isinstance(result, BaseException), result
    assert kept(log) == ["a", "b"]  # the bound stays 40


def test_all_max_num_levels_subclass_reflected_first():
    """An int subclass as the bound: its reflected ``__gt__`` answers ``r < max`` first."""
    oops = Oops("gt")

    class Levels(int):
        def __gt__(self, other):
            raise oops

    a = helper_analyser(1000)
    assert_fails(lambda: function("test_all")(a, None, None, Levels(40)), oops,
                 [at("test_all", "bound")])


class Count(object):
    """What the helper returns as a number of levels: ``<=`` gives ``answer`` (or raises)."""

    def __init__(self, answer):
        self.answer = answer

    def __le__(self, other):
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer

    def __ge__(self, other):
        raise AssertionError("the filter compares with <=, the count on the left")


@pytest.mark.parametrize(
    "answer, kept_dimensions",
    [("yes", ["a", "b"]), (0, []), ([], []), (Comparison(True), ["a", "b"])],
)
def test_all_level_count_answers(answer, kept_dimensions):
    result, log = run(lambda: helper_analyser(1000, levels=Count(answer)).test_all())
    assert not isinstance(result, BaseException), result
    assert kept(log) == kept_dimensions


@pytest.mark.parametrize(
    "answer", [Oops("le"), Comparison(Oops("bool"))], ids=["le raises", "bool raises"])
def test_all_level_count_failing(answer):
    expected = answer if isinstance(answer, Oops) else answer.truth
    a = helper_analyser(1000, levels=Count(answer))
    log = assert_fails(lambda: a.test_all(), expected, [at("test_all", "filter")])
    assert [e[0] for e in log] == ["get_num_rows", "DFTwoWayAnovaResult",
                                   "get_num_unique_values"]


def test_all_level_count_none():
    assert_fails(lambda: helper_analyser(1000, levels=None).test_all(),
                 plain(lambda: None <= 11), [at("test_all", "filter")])


def test_all_iterating_dimensions_and_measures_fails():
    a = helper_analyser(1000)
    assert_fails(lambda: a.test_all(None, Sequence([], iter=raiser)),
                 (Oops, "hostile"), [at("test_all", "filter")])
    assert_fails(lambda: a.test_all(Sequence([], iter=raiser), None),
                 (Oops, "hostile"), [at("test_all", "loop")])


@pytest.mark.parametrize(
    "collected",
    [iter([("r",)]), None, [], {"zero": 1}, hostile(__getitem__=raiser)],
    ids=["iterator", "None", "empty list", "dict without 0", "getitem raises"],
)
def test_all_collect_without_a_first_row(collected):
    a = helper_analyser(1000)
    a._data_frame.collected = collected
    log = assert_fails(lambda: a.test_all(), plain(lambda: collected[0]),
                       [at("test_all", "record")])
    assert log[-1][0] == "collect"


@pytest.mark.parametrize("collected", [(("r1", 1, 1.0), ("r2",)), {0: ("zero",)}],
                         ids=["tuple", "dict with 0"])
def test_all_collect_returning_other_indexables(collected):
    a = helper_analyser(1000)
    a._data_frame.collected = collected
    result, log = run(lambda: a.test_all())
    assert not isinstance(result, BaseException), result
    rows = [event[1] for event in log if event[0] == "MeasureAnovaResult"]
    assert rows == [collected[0]]


@pytest.mark.parametrize(
    "attribute, statement",
    [("_measure_columns", "measures"), ("_dimension_columns", "dimensions"),
     ("_dataframe_helper", "bound"), ("_data_frame", "aggregate")],
)
def test_all_missing_attribute(attribute, statement):
    a = helper_analyser(1000)
    delattr(a, attribute)
    assert_fails(lambda: a.test_all(), plain(lambda: getattr(a, attribute)),
                 [at("test_all", statement)])


def test_all_setting_the_record_fails():
    class Guarded(factorpair.TwoWayAnova):
        def __setattr__(self, name, value):
            if name == "_anova_result":
                raise Oops(name)
            object.__setattr__(self, name, value)

    a = Guarded(standins.RecordingFrame(label="g"), standins.RecordingHelper())
    error, log = run(lambda: a.test_all())
    assert isinstance(error, Oops) and entries(error) == [at("test_all", "record")]
    assert log[-1][0] == "MeasureAnovaResult"


def test_all_test_against_overridden_on_the_instance():
    a = helper_analyser(1000)
    a.test_against = raiser
    error, log = run(lambda: a.test_all())
    assert isinstance(error, Oops) and entries(error) == [at("test_all", "against")]


# --- test_anova and test_anova_interaction: the table arithmetic --------------------------------


class OddSeries(object):
    """A column: ``*`` gives ``product`` (or raises, or NotImplemented)."""

    def __init__(self, name, product=None, fail_at=None):
        self.name = name
        self.product = product
        self.fail_at = fail_at
        self.products = 0

    def __mul__(self, other):
        self.products += 1
        if self.fail_at == self.products:
            raise Oops("mul %d" % self.products)
        return self.product


def table_class(means, counts, setitem=None):
    class OddTable(object):
        def __init__(self, rows, columns=None):
            standins.note("DataFrame", rows, columns)
            self.stored = {}

        def __setitem__(self, key, value):
            standins.note("setitem", key)
            if setitem is not None:
                setitem(key, value)
            self.stored[key] = value

    OddTable.means = means
    OddTable.counts = counts
    return OddTable


ONE_WAY = ("test_anova", (line("test_anova", "total"), line("test_anova", "square")),
           lambda a: a.test_anova("m", "a"))
TWO_WAY = ("test_anova_interaction",
           (line("test_anova_interaction", "total"), line("test_anova_interaction", "square")),
           lambda a: a.test_anova_interaction("m", "a", "b"))


@pytest.mark.parametrize("method, lines, call", [ONE_WAY, TWO_WAY], ids=["one", "two"])
def test_table_arithmetic_failures(method, lines, call):
    total, squared = lines
    counts = OddSeries("counts")
    # means * counts: means raises at its first product
    means = OddSeries("means", fail_at=1)
    with rebound(factorpair, pd=hostile(DataFrame=staticmethod(table_class(means, counts)))):
        error, _ = run(lambda: call(analyser()))
    assert isinstance(error, Oops) and entries(error) == [(method, total)]
    # counts * means (the first product of the square) raises
    means, counts = OddSeries("means", product=1.0), OddSeries("counts", fail_at=1)
    with rebound(factorpair, pd=hostile(DataFrame=staticmethod(table_class(means, counts)))):
        error, log = run(lambda: call(analyser()))
    assert isinstance(error, Oops) and entries(error) == [(method, squared)]
    assert ("setitem", "total") in log
    # a product that gives None: None * means fails as in Python
    means, counts = OddSeries("means", product=2.0), OddSeries("counts", product=None)
    with rebound(factorpair, pd=hostile(DataFrame=staticmethod(table_class(means, counts)))):
        expected = plain(lambda: None * means)
        assert_fails(lambda: call(analyser()), expected, [(method, squared)])


@pytest.mark.parametrize("method, lines, call", [ONE_WAY, TWO_WAY], ids=["one", "two"])
def test_table_columns_and_assignment_failing(method, lines, call):
    total, squared = lines
    means_raises = property(raiser)
    with rebound(factorpair, pd=hostile(DataFrame=staticmethod(
            table_class(means_raises, OddSeries("counts"))))):
        error, _ = run(lambda: call(analyser()))
    assert isinstance(error, Oops) and entries(error) == [(method, total)]

    def refuse_square(key, value):
        if key in ("var3", "var5"):
            raise Oops(key)

    with rebound(factorpair, pd=hostile(DataFrame=staticmethod(table_class(
            OddSeries("means", product=2.0),
            OddSeries("counts", product=OddSeries("n*mean", product=4.0)), refuse_square)))):
        error, log = run(lambda: call(analyser()))
    assert isinstance(error, Oops) and entries(error) == [(method, squared)]
    # no setter call after the failure
    assert not [e for e in log if e[0].startswith("set_")]


@pytest.mark.parametrize("method, lines, call", [ONE_WAY, TWO_WAY], ids=["one", "two"])
def test_table_products_not_implemented(method, lines, call):
    total, _ = lines
    means = hostile("Means", __mul__=lambda self, other: NotImplemented)
    counts = hostile("Counts")
    with rebound(factorpair, pd=hostile(DataFrame=staticmethod(table_class(means, counts)))):
        assert_fails(lambda: call(analyser()), plain(lambda: means * counts), [(method, total)])


@pytest.mark.parametrize("method, lines, call", [ONE_WAY, TWO_WAY], ids=["one", "two"])
def test_table_products_of_odd_types_are_stored(method, lines, call):
    """Whatever the products give is what the table receives: the grouping is (n*m)*m."""
    third = OddSeries("third", product="var")
    means = OddSeries("means", product="total")
    counts = OddSeries("counts", product=third)
    table = table_class(means, counts)
    with rebound(factorpair, pd=hostile(DataFrame=staticmethod(table))):
        result, log = run(lambda: call(analyser()))
    assert result is None
    assert [e[1] for e in log if e[0] == "setitem"] == ["total", "var3" if method == "test_anova"
                                                        else "var5"]
    assert means.products == 1 and counts.products == 1 and third.products == 1


@pytest.mark.parametrize(
    "name, statement",
    [("pd", "table"), ("col", "aggregate"), ("count", "aggregate"), ("mean", "aggregate")],
)
def test_tests_with_a_module_global_missing(name, statement):
    a = analyser()
    with rebound(factorpair, **{name: standins.DELETE}):
        for call, method in ((lambda: a.test_anova("m", "a"), "test_anova"),
                             (lambda: a.test_anova_interaction("m", "a", "b"),
                              "test_anova_interaction")):
            assert_fails(call, (NameError, "name '%s' is not defined" % name),
                         [at(method, statement)])


@pytest.mark.parametrize(
    "collected", [(), [], ("tuple-row",), iter([("it",)]), None],
    ids=["empty tuple", "empty list", "tuple", "iterator", "None"])
def test_tests_pass_any_collect_result_to_the_table(collected):
    a = analyser()
    a._data_frame.collected = collected
    for call in (lambda: a.test_anova("m", "a"), lambda: a.test_anova_interaction("m", "a", "b")):
        result, log = run(call)
        assert result is None
        assert [e[1] for e in log if e[0] == "DataFrame"] == [collected]


@pytest.mark.parametrize("method, call", [
    ("test_anova", lambda a: a.test_anova("m", "a")),
    ("test_anova_interaction", lambda a: a.test_anova_interaction("m", "a", "b")),
])
def test_tests_without_a_record_fail_after_the_aggregation(method, call):
    a = analyser(record=False)
    log = assert_fails(lambda: call(a), plain(lambda: a._anova_result), [at(method, "record")])
    assert "collect" in [e[0] for e in log]


def test_tests_ignore_the_setters_return_value():
    a = analyser()
    assert a.test_anova("m", "a") is None
    assert a.test_anova_interaction("m", "a", "b") is None
    assert a.test_against("m", ["a", "b"]) is None


# --- __init__ -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "attribute, statement",
    [("_data_frame", "frame"), ("_dataframe_helper", "helper"), ("_measure_columns", "measures"),
     ("_dimension_columns", "dimensions"), ("_df", "rows"), ("_mean", "mean")],
)
def test_init_storing_an_attribute_fails(attribute, statement):
    class Guarded(factorpair.TwoWayAnova):
        def __setattr__(self, name, value):
            if name == attribute:
                raise Oops(name)
            object.__setattr__(self, name, value)

    error, _ = run(lambda: Guarded(standins.RecordingFrame(label="g"), standins.RecordingHelper()))
    assert isinstance(error, Oops) and error.args == (attribute,)
    assert entries(error) == [at("__init__", statement)]


def test_init_stores_odd_helper_answers_as_they_are():
    odd = hostile(get_numeric_columns=lambda self: None, get_string_columns=lambda self: 5,
                  get_num_rows=lambda self: "many")
    a = factorpair.TwoWayAnova(standins.RecordingFrame(label="f"), odd)
    assert (a._measure_columns, a._dimension_columns, a._df, a._mean) == (None, 5, "many", {})


def test_init_helper_without_methods():
    bare = hostile()
    assert_fails(lambda: factorpair.TwoWayAnova(standins.RecordingFrame(label="f"), bare),
                 plain(lambda: bare.get_numeric_columns), [at("__init__", "measures")])


# --- collaborators that change the world under the method ---------------------------------------


def fresh(text):
    """A string made at run time, owned by nothing but its container."""
    return "".join(list(text))


class Replacing(standins.RecordingFrame):
    """A frame whose ``groupby`` replaces every item of ``target`` with new strings, so that
    the items the method read earlier lose their last reference held by the list."""

    def __init__(self, label, target):
        standins.RecordingFrame.__init__(self, label=label)
        self.target = target
        self.generation = 0

    def groupby(self, *columns):
        self.generation += 1
        self.target[:] = [fresh("g%d-%d" % (self.generation, i)) for i in range(len(self.target))]
        return standins.RecordingFrame.groupby(self, *columns)


def test_against_items_replaced_while_they_are_tested():
    """Each test gets its dimensions from the list as it stands when they are read, and hands
    the very same values on to the record, even though the list dropped them meanwhile."""
    dims = [fresh("a"), fresh("b"), fresh("c")]
    a = analyser()
    a._data_frame = Replacing("self", dims)
    result, log = run(lambda: a.test_against("m", dims))
    assert result is None
    grouped = [event[2] for event in log if event[0] == "groupby"]
    recorded = [event[1:-1] for event in log if event[0].startswith("set_")]
    assert grouped == recorded
    # The one-way pass walks the list as it changes; the pairs read it by position.
    assert grouped == [("a",), ("g1-1",), ("g2-2",), ("g3-0", "g3-1"), ("g4-0", "g4-2"),
                       ("g5-1", "g5-2")]


def test_against_list_shrinking_during_the_pairs():
    dims = ["a", "b", "c"]

    def shrink(self, dimension1, dimension2, table):
        del dims[1:]

    record = standins.RecordingResult((1, 1.0, 1.0))
    record.set_TwoWayAnovaResult = shrink.__get__(record)
    a = analyser()
    a._anova_result = record
    # The inner range was made for three items: the pair (0, 2) reads past the end.
    log = assert_fails(lambda: a.test_against("m", dims), plain(lambda: ["a"][2]),
                       [at("test_against", "two")])
    assert pairs(log) == [("a", "b")]


def test_module_global_rebound_during_a_call_is_used_at_its_next_use():
    """``mean`` is looked up after the first ``col`` call (as Python evaluates
    ``count(col(m))`` before ``mean(col(m))``), so a ``col`` that rebinds it changes it."""
    used = []

    def other_mean(column):
        used.append(column.text)
        return standins.RecordingColumn("other")

    def rebinding_col(name):
        factorpair.mean = other_mean
        return standins.recording_col(name)

    with rebound(factorpair, col=rebinding_col, mean=standins.recording_mean):
        analyser().test_anova("m", "a")
    assert used == ["col(m)"]


def test_module_global_deleted_during_a_call():
    def deleting_col(name):
        del factorpair.mean
        return standins.recording_col(name)

    with rebound(factorpair, col=deleting_col, mean=standins.recording_mean):
        assert_fails(lambda: analyser().test_anova_interaction("m", "a", "b"),
                     (NameError, "name 'mean' is not defined"),
                     [at("test_anova_interaction", "aggregate")])


def test_record_dropped_by_its_own_setter():
    """The record deletes itself from the analyser while its setter runs."""
    a = analyser()

    class Vanishing(standins.RecordingResult):
        def set_OneWayAnovaResult(self, dimension, table):
            del a._anova_result
            self.payload = [fresh("x") for _ in range(100)]

    a._anova_result = Vanishing((1, 1.0, 1.0))
    assert a.test_anova("m", "a") is None
    assert not hasattr(a, "_anova_result")
    assert_fails(lambda: a.test_anova_interaction("m", "a", "b"),
                 plain(lambda: a._anova_result), [at("test_anova_interaction", "record")])


@pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit, GeneratorExit, StopIteration])
def test_base_exceptions_and_stop_iteration_pass_unchanged(kind):
    """Nothing is caught: not even exceptions outside Exception, and a StopIteration raised by
    a test inside the one-way loop is not taken for the end of the loop."""
    raised = kind("from groupby")

    class Raising(standins.RecordingFrame):
        def groupby(self, *columns):
            raise raised

    a = analyser()
    a._data_frame = Raising()
    with standins.recording():
        try:
            a.test_all()
        except BaseException as error:  # noqa: B036 - the point of the test
            caught = error
        else:
            caught = None
    assert caught is raised
    assert entries(caught) == [at("test_all", "against"), at("test_against", "one"),
                               at("test_anova", "aggregate")]
    # the record of the measure in progress stays on the analyser
    assert a._anova_result.row == (u"a", 1, 1.0)


class Untouchable(list):
    """A list whose comparisons and truth value raise: the methods only iterate, index and
    take its length, and test it against None by identity."""

    def __eq__(self, other):
        raise Oops("eq")

    __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __eq__
    __hash__ = None

    def __bool__(self):
        raise Oops("bool")


def test_lists_are_never_compared_or_tested_for_truth():
    a = helper_analyser(1000)
    result, log = run(lambda: a.test_all(Untouchable(["m"]), Untouchable(["a", "b"]), 40))
    assert not isinstance(result, BaseException), result
    assert kept(log) == ["a", "b"]
    result, log = run(lambda: a.test_against("m", Untouchable(["a", "b"])))
    assert result is None and pairs(log) == [("a", "b")]


# --- the calls each method makes, in order ------------------------------------------------------

ATTRIBUTES = ["_data_frame", "_dataframe_helper", "_measure_columns", "_dimension_columns", "_df",
              "_mean"]


def test_init_calls_and_state():
    frame, helper = standins.RecordingFrame(), standins.RecordingHelper(["m"], ["d"], rows=7)
    a = factorpair.TwoWayAnova.__new__(factorpair.TwoWayAnova)
    with standins.recording() as log:
        assert function("__init__")(a, frame, helper) is None
    assert log == [("get_numeric_columns",), ("get_string_columns",), ("get_num_rows",)]
    assert list(vars(a)) == ATTRIBUTES
    assert a._data_frame is frame and a._dataframe_helper is helper
    assert a._measure_columns is helper.measures and a._dimension_columns is helper.dimensions
    assert a._df == 7 and a._mean == {}
    assert factorpair.TwoWayAnova(frame, helper)._mean is not a._mean


def test_init_reads_the_helper_back_from_the_instance():
    first, second = standins.RecordingHelper(["a"]), standins.RecordingHelper(["b"])

    class Swapping(factorpair.TwoWayAnova):
        def __setattr__(self, name, value):
            # stores another helper than the one given: the body must use the stored one
            object.__setattr__(self, name, second if name == "_dataframe_helper" else value)

    assert Swapping(standins.RecordingFrame(), first)._measure_columns == ["b"]


@pytest.mark.parametrize("failing, statement", [
    ("get_numeric_columns", "measures"), ("get_string_columns", "dimensions"),
    ("get_num_rows", "rows")])
def test_init_failure_keeps_the_attributes_stored_before(failing, statement):
    helper = standins.RecordingHelper()
    setattr(helper, failing, raiser)
    a = factorpair.TwoWayAnova.__new__(factorpair.TwoWayAnova)
    error, _ = run(lambda: function("__init__")(a, standins.RecordingFrame(), helper))
    assert isinstance(error, Oops) and entries(error) == [at("__init__", statement)]
    stored_before = list(METHODS["__init__"].statements).index(statement)
    assert list(vars(a)) == ATTRIBUTES[:stored_before]


def table_steps(square):
    return [
        ("getattr", "means"), ("getattr", "counts"), ("mul", "means", "counts"),
        ("setitem", "total", "(means * counts)"),
        ("getattr", "counts"), ("getattr", "means"), ("mul", "counts", "means"),
        ("getattr", "means"), ("mul", "(counts * means)", "means"),
        ("setitem", square, "((counts * means) * means)"),
    ]


@pytest.mark.parametrize("method, dimensions, columns, square, setter", [
    ("test_anova", ("A",), ["levels", "counts", "means"], "var3", "set_OneWayAnovaResult"),
    ("test_anova_interaction", ("A", "B"), ["level1", "level2", "counts", "means"], "var5",
     "set_TwoWayAnovaResult"),
])
def test_tests_calls(method, dimensions, columns, square, setter):
    rows = [("x", "p", 4, 2.5)]
    made, received = [], []

    class Table(standins.RecordingTable):
        def __init__(self, rows, *, columns):
            standins.RecordingTable.__init__(self, rows, columns=columns)
            made.append(self)

    a = analyser()
    a._anova_result = standins.RecordingResult(())
    setattr(a._anova_result, setter, lambda *args: received.append(args))
    a._data_frame.collected = rows
    dimensions = tuple(fresh(d) for d in dimensions)
    with rebound(factorpair, pd=hostile(DataFrame=Table)), standins.recording() as log:
        assert getattr(a, method)("m", *dimensions) is None
    assert log == [
        ("groupby", "self", dimensions),
        ("col", "m"), ("count", "col(m)"), ("col", "m"), ("mean", "col(m)"),
        ("agg", "self.groupby", ("count(col(m))", "mean(col(m))")),
        ("collect", "self.groupby.agg"),
        ("DataFrame", rows, columns),
    ] + table_steps(square)
    assert log[7][1] is rows  # the collected list itself
    [arguments] = received
    assert len(made) == 1 and arguments[-1] is made[0]
    assert all(given is dimension for given, dimension in zip(arguments, dimensions))


def measure_steps(m, collected):
    return [
        ("col", m), ("alias", "col(%s)" % m, "x"), ("col", m), ("pow", "col(%s)" % m, 2),
        ("alias", "(col(%s) ** 2)" % m, "x2"),
        ("select", "self", ("col(%s) AS x" % m, "(col(%s) ** 2) AS x2" % m)),
        ("col", "x"), ("count", "col(x)"), ("col", "x"), ("mean", "col(x)"),
        ("col", "x2"), ("sum", "col(x2)"),
        ("agg", "self.select", ("count(col(x))", "mean(col(x))", "sum(col(x2))")),
        ("collect", "self.select.agg"),
        ("MeasureAnovaResult", collected),
        ("add_measure_result", m, "RecordingResult"),
    ]


def test_all_calls():
    a = standins.analyser(factorpair, measures=("m1", "m2"), dimensions=("a", "b", "c"),
                          levels={"a": 11, "b": 12, "c": 11}, record=False)
    rows = [("row",)]
    a._data_frame.collected = rows
    against = []
    a.test_against = lambda *args, **kwargs: against.append((args, kwargs, a._anova_result))
    with standins.recording() as log:
        result = a.test_all()
    assert log == [
        ("get_num_rows",), ("DFTwoWayAnovaResult",), ("get_num_unique_values", "a"),
        ("get_num_unique_values", "b"), ("get_num_unique_values", "c"),
    ] + measure_steps("m1", rows[0]) + measure_steps("m2", rows[0])
    assert [(args, kwargs) for args, kwargs, _ in against] == [
        (("m1", ["a", "c"]), {}), (("m2", ["a", "c"]), {})]
    assert against[0][0][1] is against[1][0][1]  # one list for every measure
    # each measure's record is the one current while its tests ran, then added under its name
    records = [record for _, _, record in against]
    assert records[0] is not records[1] and records[0].row is rows[0]
    assert [(name, record) for name, record in result.added] == list(zip(["m1", "m2"], records))
    assert a._anova_result is records[1]


def test_all_without_measures():
    a = standins.analyser(factorpair, measures=(), dimensions=("a", "a"), rows=10, levels=1,
                          record=False)
    with standins.recording() as log:
        result = a.test_all()
    assert result.added == [] and not hasattr(a, "_anova_result")
    assert log == [("get_num_rows",), ("DFTwoWayAnovaResult",), ("get_num_unique_values", "a"),
                   ("get_num_unique_values", "a")]


def test_all_repeats_and_explicit_lists():
    a = standins.analyser(factorpair, measures=("unused",), dimensions=("unused",), levels=1)
    result, log = run(lambda: a.test_all(("m", "m"), ["a", "a"]))
    assert [name for name, _ in result.added] == ["m", "m"]
    assert [event[2] for event in log if event[0] == "groupby"] == [
        ("a",), ("a",), ("a", "a")] * 2


def test_all_uses_round_as_it_was_at_import():
    with rebound(builtins, round=raiser):
        result, log = run(lambda: helper_analyser(1000, levels=11).test_all())
    assert not isinstance(result, BaseException), result
    assert kept(log) == ["a", "b"]


@pytest.mark.parametrize("failing, record_set", [
    ("MeasureAnovaResult", False), ("groupby", True), ("add_measure_result", True)])
def test_all_failure_leaves_the_record_of_the_measure_in_progress(failing, record_set):
    first, a = analyser(record=False), analyser(record=False)
    with standins.recording() as log:
        first.test_all()
    standins.failing_at([event[0] for event in log].index(failing) + 1)
    try:
        error, _ = run(lambda: a.test_all())
    finally:
        standins.disarm()
    assert isinstance(error, Boom) and error.args[0] == failing
    assert hasattr(a, "_anova_result") == record_set


@pytest.mark.parametrize("name", ["col", "sum"])
def test_all_with_a_module_global_missing(name):
    # without the module's `sum` the lookup finds the built-in one, which cannot add columns
    expected = {"col": (NameError, "name 'col' is not defined"),
                "sum": plain(lambda: sum(standins.RecordingColumn("col(x2)")))}[name]
    with rebound(factorpair, **{name: standins.DELETE}):
        assert_fails(lambda: helper_analyser(1000).test_all(), expected,
                     [at("test_all", "aggregate")])


@pytest.mark.parametrize("dimensions, pairs_made", [
    ([], []),
    (["D1"], []),
    (("D1", "D2", "D3"), [("D1", "D2"), ("D1", "D3"), ("D2", "D3")]),
    (["D1", "D1"], [("D1", "D1")]),
])
def test_against_order_and_ranges(dimensions, pairs_made):
    ranges = []

    def recording_range(*args):
        ranges.append(args)
        return range(*args)

    with rebound(factorpair, range=recording_range):
        result, log = run(lambda: analyser().test_against("m", dimensions))
    assert result is None
    assert [event[2] for event in log if event[0] == "groupby"] == [
        (d,) for d in dimensions] + pairs_made
    n = len(dimensions)
    assert ranges == [(0, n - 1)] + [(i, n) for i in range(1, n)]


@pytest.mark.parametrize("failing_call, statement", [(1, "outer"), (2, "inner")])
def test_against_range_failing(failing_call, statement):
    calls = []

    def failing_range(*args):
        calls.append(args)
        if len(calls) == failing_call:
            raise Oops("range")
        return range(*args)

    with rebound(factorpair, range=failing_range):
        error, log = run(lambda: analyser().test_against("m", ["a", "b"]))
    assert isinstance(error, Oops) and entries(error) == [at("test_against", statement)]
    assert one_way_dimensions(log) == ["a", "b"] and pairs(log) == []


def test_range_missing_from_the_module_is_found_in_builtins():
    with rebound(factorpair, range=standins.DELETE):
        result, log = run(lambda: analyser().test_against("m", ["a", "b"]))
    assert result is None and pairs(log) == [("a", "b")]


@pytest.mark.parametrize("method, arguments", [
    ("test_anova", ("m", "a")), ("test_anova_interaction", ("m", "a", "b"))])
def test_tests_without_a_data_frame(method, arguments):
    a = analyser()
    del a._data_frame
    log = assert_fails(lambda: getattr(a, method)(*arguments),
                       plain(lambda: a._data_frame), [at(method, "aggregate")])
    assert log == []
