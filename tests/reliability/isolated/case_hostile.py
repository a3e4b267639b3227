"""Hostile collaborators: every operation failing in turn, and objects that misbehave.

First, each stand-in operation that a method reaches raises in turn; the call must end in that
very exception with one traceback entry per method it passed through, at the line of the
failing step.  Then objects whose ``__len__``, ``__getitem__``, ``__iter__``, ``__mul__``,
``__pow__``, ``__le__``, ``__lt__``, ``__eq__`` or ``__bool__`` raise or return odd types, a
``collect`` that returns a non-list, a tuple or an empty list, a row count or ``round`` result
that is a float, None or a huge int: each ends in the exception the failing operation raises
in plain Python (same type, same message), or in the result the methods specify.
"""
import pytest

import collaborators
from collaborators import Boom, rebound
from support import entries, factorpair, function


# --- each operation failing in turn ---------------------------------------------------------------

TEST_LINES = {
    # method: (steps 1 to 4, table built, "total", n*mean^2 column, setter)
    "test_anova": (58, 59, 60, 61, 62),
    "test_anova_interaction": (72, 73, 74, 75, 76),
}


def lines_of_test(method, events):
    """Line of each operation of one single-dimension or interaction test, in order."""
    grouped, built, total, squared, setter = TEST_LINES[method]
    line, lines = grouped, []
    for event in events:
        if event[0] == "DataFrame":
            lines.append(built)
            line = total
        elif event[0] == "setitem":
            lines.append(line)
            line = squared
        elif event[0].startswith("set_"):
            lines.append(setter)
        else:
            lines.append(line)
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
        outer = ("test_against", 66 if method == "test_anova" else 69)
        found.extend([outer, (method, line)] for line in lines_of_test(method, segment))
    return found


def expected_entries(method, log):
    """For each operation of a successful call, the entries a failure there carries."""
    if method in TEST_LINES:
        return [[(method, line)] for line in lines_of_test(method, log)]
    if method == "__init__":
        lines = {"get_numeric_columns": 32, "get_string_columns": 33, "get_num_rows": 34}
        return [[(method, lines[event[0]])] for event in log]
    if method == "test_against":
        return against_entries(log)
    found, nested = [], []
    own = {"get_num_rows": 45, "DFTwoWayAnovaResult": 46, "get_num_unique_values": 47,
           "MeasureAnovaResult": 52, "add_measure_result": 54}
    for event in log + [("end",)]:
        if event[0] in ("MeasureAnovaResult", "add_measure_result", "end") and nested:
            found.extend([("test_all", 53)] + e for e in against_entries(nested))
            nested = []
        if event[0] == "end":
            break
        if event[0] in own:
            found.append([("test_all", own[event[0]])])
        elif event[0] in ("groupby", "DataFrame", "getattr", "mul", "setitem", "set_OneWayAnovaResult",
                          "set_TwoWayAnovaResult") or nested:
            nested.append(event)
        else:
            found.append([("test_all", 51)])
    return found


def calls_of(method):
    a = collaborators.analyser(factorpair, measures=("m1", "m2"), dimensions=("a", "b", "c"))
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
    with collaborators.recording() as log:
        call()
    log = list(log)
    wanted = expected_entries(method, log)
    assert len(wanted) == len(log)
    for index, event in enumerate(log, 1):
        collaborators.failing_at(index)
        with collaborators.recording() as partial:
            try:
                call()
            except Boom as error:
                raised = error
            else:
                raised = None
            finally:
                collaborators.disarm()
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
    with collaborators.recording() as log:
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
    return collaborators.analyser(factorpair, **options)


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
                       [("test_against", 67)])
    assert one_way_dimensions(log) == ["a", "b"]


def test_against_len_returning_true_means_one():
    dims = BadLen(True)
    result, log = run(lambda: analyser().test_against("m", dims))
    assert result is None and one_way_dimensions(log) == ["a", "b"] and pairs(log) == []


@pytest.mark.parametrize(
    "overrides, line, one_way",
    [
        (dict(iter=raiser), 65, []),
        (dict(iter=lambda: iter([])), None, []),
        (dict(len=raiser), 67, ["a", "b", "c"]),
        (dict(len=lambda n: 3 if n == 1 else raiser()), 68, ["a", "b", "c"]),
        (dict(getitem=raiser), 69, ["a", "b", "c"]),
    ],
    ids=["iter raises", "iter empty, len 3", "len raises", "inner len raises",
         "getitem raises"],
)
def test_against_sequence_failing(overrides, line, one_way):
    dims = Sequence(["a", "b", "c"], **overrides)
    if line is None:
        # Iterates nothing, then forms the pairs from len and indexing.
        result, log = run(lambda: analyser().test_against("m", dims))
        assert result is None and one_way_dimensions(log) == []
        assert pairs(log) == [("a", "b"), ("a", "c"), ("b", "c")]
        return
    error, log = run(lambda: analyser().test_against("m", dims))
    assert isinstance(error, Oops) and entries(error) == [("test_against", line)]
    assert one_way_dimensions(log) == one_way


def test_against_iterator_stops_with_error_midway():
    def items():
        yield "a"
        raise Oops("midway")

    error, log = run(lambda: analyser().test_against("m", Sequence(["a"], iter=items)))
    assert isinstance(error, Oops) and entries(error) == [("test_against", 65)]
    assert one_way_dimensions(log) == ["a"]


def test_against_iter_returning_non_iterator():
    dims = Sequence(["a"], iter=lambda: 5)
    assert_fails(lambda: analyser().test_against("m", dims), plain(lambda: iter(dims)),
                 [("test_against", 65)])


def test_against_generator_has_no_len():
    generator = (d for d in ["a", "b"])
    expected = plain(lambda: len((d for d in [])))
    log = assert_fails(lambda: analyser().test_against("m", generator), expected,
                       [("test_against", 67)])
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
    assert entries(error) == [("test_all", 53), ("test_against", 67)]


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
    log = assert_fails(lambda: a.test_all(), expected, [("test_all", 45)])
    assert [e[0] for e in log] == ["get_num_rows"]


@pytest.mark.parametrize(
    "rows, levels, kept_dimensions",
    [
        (1000.0, 11, ["a", "b"]),  # a float row count: round(11.22) = 11
        (1000.0, 12, []),
        (Rows(Rounded(3.0)), 3, ["a", "b"]),  # round gives a float: bound 3.0
        (Rows(Rounded(2.5)), 3, []),
        (Rows(Rounded(10 ** 30)), 40, ["a", "b"]),  # huge: the argument's 40 stays
        (Rows(Rounded(10 ** 30)), 41, []),
        (36450, 39, ["a", "b"]),
        (36450, 40, []),
        (36451, 40, ["a", "b"]),
        (0, 0, ["a", "b"]),
    ],
)
def test_all_level_bound_from_odd_row_counts(rows, levels, kept_dimensions):
    result, log = run(lambda: helper_analyser(rows, levels).test_all())
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
                 [("test_all", 45)])


def test_all_bound_lt_gives_object_whose_bool_raises():
    oops = Oops("bool")
    rows = rounded_comparing(lt=lambda self, other: Comparison(oops))
    assert_fails(lambda: helper_analyser(rows).test_all(), oops, [("test_all", 45)])


def test_all_bound_not_comparable():
    rows = rounded_comparing(lt=lambda self, other: NotImplemented)
    bound = rows.power_result.value
    assert_fails(lambda: helper_analyser(rows).test_all(), plain(lambda: bound < 40),
                 [("test_all", 45)])


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
                 [("test_all", 45)])


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
    log = assert_fails(lambda: a.test_all(), expected, [("test_all", 47)])
    assert [e[0] for e in log] == ["get_num_rows", "DFTwoWayAnovaResult",
                                   "get_num_unique_values"]


def test_all_level_count_none():
    assert_fails(lambda: helper_analyser(1000, levels=None).test_all(),
                 plain(lambda: None <= 11), [("test_all", 47)])


def test_all_iterating_dimensions_and_measures_fails():
    a = helper_analyser(1000)
    assert_fails(lambda: a.test_all(None, Sequence([], iter=raiser)),
                 (Oops, "hostile"), [("test_all", 47)])
    assert_fails(lambda: a.test_all(Sequence([], iter=raiser), None),
                 (Oops, "hostile"), [("test_all", 49)])


@pytest.mark.parametrize(
    "collected",
    [iter([("r",)]), None, [], {"zero": 1}, hostile(__getitem__=raiser)],
    ids=["iterator", "None", "empty list", "dict without 0", "getitem raises"],
)
def test_all_collect_without_a_first_row(collected):
    a = helper_analyser(1000)
    a._data_frame.collected = collected
    log = assert_fails(lambda: a.test_all(), plain(lambda: collected[0]), [("test_all", 52)])
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
    "attribute, line",
    [("_measure_columns", 41), ("_dimension_columns", 44), ("_dataframe_helper", 45),
     ("_data_frame", 51)],
)
def test_all_missing_attribute(attribute, line):
    a = helper_analyser(1000)
    delattr(a, attribute)
    assert_fails(lambda: a.test_all(), plain(lambda: getattr(a, attribute)),
                 [("test_all", line)])


def test_all_setting_the_record_fails():
    class Guarded(factorpair.TwoWayAnova):
        def __setattr__(self, name, value):
            if name == "_anova_result":
                raise Oops(name)
            object.__setattr__(self, name, value)

    a = Guarded(collaborators.Frame("g"), collaborators.Helper())
    error, log = run(lambda: a.test_all())
    assert isinstance(error, Oops) and entries(error) == [("test_all", 52)]
    assert log[-1][0] == "MeasureAnovaResult"


def test_all_test_against_overridden_on_the_instance():
    a = helper_analyser(1000)
    a.test_against = raiser
    error, log = run(lambda: a.test_all())
    assert isinstance(error, Oops) and entries(error) == [("test_all", 53)]


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
            collaborators.note("DataFrame", rows, columns)
            self.stored = {}

        def __setitem__(self, key, value):
            collaborators.note("setitem", key)
            if setitem is not None:
                setitem(key, value)
            self.stored[key] = value

    OddTable.means = means
    OddTable.counts = counts
    return OddTable


ONE_WAY = ("test_anova", (60, 61), lambda a: a.test_anova("m", "a"))
TWO_WAY = ("test_anova_interaction", (74, 75), lambda a: a.test_anova_interaction("m", "a", "b"))


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
    "name, line_one, line_two",
    [("pd", 59, 73), ("col", 58, 72), ("count", 58, 72), ("mean", 58, 72)],
)
def test_tests_with_a_module_global_missing(name, line_one, line_two):
    a = analyser()
    with rebound(factorpair, **{name: collaborators.DELETE}):
        for call, method, line in ((lambda: a.test_anova("m", "a"), "test_anova", line_one),
                                   (lambda: a.test_anova_interaction("m", "a", "b"),
                                    "test_anova_interaction", line_two)):
            assert_fails(call, (NameError, "name '%s' is not defined" % name),
                         [(method, line)])


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


@pytest.mark.parametrize("method, line, call", [
    ("test_anova", 62, lambda a: a.test_anova("m", "a")),
    ("test_anova_interaction", 76, lambda a: a.test_anova_interaction("m", "a", "b")),
])
def test_tests_without_a_record_fail_after_the_aggregation(method, line, call):
    a = analyser(record=False)
    log = assert_fails(lambda: call(a), plain(lambda: a._anova_result), [(method, line)])
    assert "collect" in [e[0] for e in log]


def test_tests_ignore_the_setters_return_value():
    a = analyser()
    assert a.test_anova("m", "a") is None
    assert a.test_anova_interaction("m", "a", "b") is None
    assert a.test_against("m", ["a", "b"]) is None


# --- __init__ -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "attribute, line",
    [("_data_frame", 30), ("_dataframe_helper", 31), ("_measure_columns", 32),
     ("_dimension_columns", 33), ("_df", 34), ("_mean", 35)],
)
def test_init_storing_an_attribute_fails(attribute, line):
    class Guarded(factorpair.TwoWayAnova):
        def __setattr__(self, name, value):
            if name == attribute:
                raise Oops(name)
            object.__setattr__(self, name, value)

    error, _ = run(lambda: Guarded(collaborators.Frame("g"), collaborators.Helper()))
    assert isinstance(error, Oops) and error.args == (attribute,)
    assert entries(error) == [("__init__", line)]


def test_init_stores_odd_helper_answers_as_they_are():
    odd = hostile(get_numeric_columns=lambda self: None, get_string_columns=lambda self: 5,
                  get_num_rows=lambda self: "many")
    a = factorpair.TwoWayAnova(collaborators.Frame("f"), odd)
    assert (a._measure_columns, a._dimension_columns, a._df, a._mean) == (None, 5, "many", {})


def test_init_helper_without_methods():
    bare = hostile()
    assert_fails(lambda: factorpair.TwoWayAnova(collaborators.Frame("f"), bare),
                 plain(lambda: bare.get_numeric_columns), [("__init__", 32)])


# --- collaborators that change the world under the method ---------------------------------------


def fresh(text):
    """A string made at run time, owned by nothing but its container."""
    return "".join(list(text))


class Replacing(collaborators.Frame):
    """A frame whose ``groupby`` replaces every item of ``target`` with new strings, so that
    the items the method read earlier lose their last reference held by the list."""

    def __init__(self, label, target):
        collaborators.Frame.__init__(self, label)
        self.target = target
        self.generation = 0

    def groupby(self, *columns):
        self.generation += 1
        self.target[:] = [fresh("g%d-%d" % (self.generation, i)) for i in range(len(self.target))]
        return collaborators.Frame.groupby(self, *columns)


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

    record = collaborators.MeasureAnovaResult((1, 1.0, 1.0))
    record.set_TwoWayAnovaResult = shrink.__get__(record)
    a = analyser()
    a._anova_result = record
    # The inner range was made for three items: the pair (0, 2) reads past the end.
    log = assert_fails(lambda: a.test_against("m", dims), plain(lambda: ["a"][2]),
                       [("test_against", 69)])
    assert pairs(log) == [("a", "b")]


def test_module_global_rebound_during_a_call_is_used_at_its_next_use():
    """``mean`` is looked up after the first ``col`` call (as Python evaluates
    ``count(col(m))`` before ``mean(col(m))``), so a ``col`` that rebinds it changes it."""
    used = []

    def other_mean(column):
        used.append(column.text)
        return collaborators.Column("other")

    def rebinding_col(name):
        factorpair.mean = other_mean
        return collaborators.col(name)

    with rebound(factorpair, col=rebinding_col, mean=collaborators.mean):
        analyser().test_anova("m", "a")
    assert used == ["col(m)"]


def test_module_global_deleted_during_a_call():
    def deleting_col(name):
        del factorpair.mean
        return collaborators.col(name)

    with rebound(factorpair, col=deleting_col, mean=collaborators.mean):
        assert_fails(lambda: analyser().test_anova_interaction("m", "a", "b"),
                     (NameError, "name 'mean' is not defined"),
                     [("test_anova_interaction", 72)])


def test_record_dropped_by_its_own_setter():
    """The record deletes itself from the analyser while its setter runs."""
    a = analyser()

    class Vanishing(collaborators.MeasureAnovaResult):
        def set_OneWayAnovaResult(self, dimension, table):
            del a._anova_result
            self.payload = [fresh("x") for _ in range(100)]

    a._anova_result = Vanishing((1, 1.0, 1.0))
    assert a.test_anova("m", "a") is None
    assert not hasattr(a, "_anova_result")
    assert_fails(lambda: a.test_anova_interaction("m", "a", "b"),
                 plain(lambda: a._anova_result), [("test_anova_interaction", 76)])


@pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit, GeneratorExit, StopIteration])
def test_base_exceptions_and_stop_iteration_pass_unchanged(kind):
    """Nothing is caught: not even exceptions outside Exception, and a StopIteration raised by
    a test inside the one-way loop is not taken for the end of the loop."""
    raised = kind("from groupby")

    class Raising(collaborators.Frame):
        def groupby(self, *columns):
            raise raised

    a = analyser()
    a._data_frame = Raising("self")
    with collaborators.recording():
        try:
            a.test_all()
        except BaseException as error:  # noqa: B036 - the point of the test
            caught = error
        else:
            caught = None
    assert caught is raised
    assert entries(caught) == [("test_all", 53), ("test_against", 66), ("test_anova", 58)]


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
