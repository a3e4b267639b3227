"""DataFrameHelper over a local SparkSession."""
import datetime
import decimal

import pytest

from Tarnwick.bi.common import DataFrameHelper

# The frame has a dotted column name on purpose; the helper's warning about it is checked once.
pytestmark = pytest.mark.filterwarnings("ignore:left out of the default measures:UserWarning")

SCHEMA = ("b byte, s short, i int, l long, f float, d double, m decimal(10,2), name string, "
          "flag boolean, day date, `dotted.name` string, `with space` string")


@pytest.fixture(scope="module")
def frame(spark):
    rows = [
        (1, 2, 3, 4, 1.5, 2.5, decimal.Decimal("1.25"), "x", True, datetime.date(2026, 1, 1), "p", "u"),
        (1, 2, 3, 5, 1.5, None, decimal.Decimal("1.25"), "y", False, None, "q", "u"),
        (2, 2, None, 6, 2.5, 3.5, None, None, None, datetime.date(2026, 1, 2), "p", None),
        (2, 3, 4, 6, 2.5, 3.5, decimal.Decimal("2.50"), "x", True, datetime.date(2026, 1, 1), None, "v"),
    ]
    return spark.createDataFrame(rows, SCHEMA)


class CountingFrame(object):
    """Passes everything to a Spark data frame and counts its aggregations."""

    def __init__(self, df):
        self._df = df
        self.aggregations = 0

    def __getattr__(self, name):
        return getattr(self._df, name)

    def agg(self, *args, **kwargs):
        self.aggregations += 1
        return self._df.agg(*args, **kwargs)


def test_columns_by_kind_in_frame_order(frame):
    # A dotted name is a struct field to Spark: it is left out of the default lists, with a
    # warning that names it.
    with pytest.warns(UserWarning, match="dotted.name"):
        helper = DataFrameHelper(frame)
    assert helper.get_numeric_columns() == ["b", "s", "i", "l", "f", "d", "m"]
    assert helper.get_string_columns() == ["name", "with space"]
    helper.get_string_columns().append("extra")  # callers get their own list
    assert helper.get_string_columns() == ["name", "with space"]


def test_distinct_counts_count_null_as_a_value(frame):
    helper = DataFrameHelper(frame)
    # Every column has two values and a null; the non-string ones are counted on demand.
    expected = {"i": 3, "name": 3, "dotted.name": 3, "with space": 3, "day": 3}
    assert {c: helper.get_num_unique_values(c) for c in expected} == expected
    assert helper.get_num_rows() == 4


@pytest.mark.parametrize("d", [1, 4])
def test_one_aggregation_answers_row_count_and_all_string_columns(spark, d):
    names = ["c%d" % i for i in range(d)]
    rows = [tuple("v%d" % ((r * (i + 1)) % 3) for i in range(d)) + (float(r),) for r in range(9)]
    df = spark.createDataFrame(rows, ", ".join("%s string" % n for n in names) + ", y double")
    counting = CountingFrame(df)
    helper = DataFrameHelper(counting)
    tracker = spark.sparkContext.statusTracker()
    spark.sparkContext.setJobGroup("helper-%d" % d, "helper profile")
    try:
        assert helper.get_num_rows() == 9
        counts = [helper.get_num_unique_values(n) for n in names]
        assert helper.get_num_rows() == 9
        assert counts == [3] + [3 if (i + 1) % 3 else 1 for i in range(1, d)]
        assert counting.aggregations == 1
        jobs = len(tracker.getJobIdsForGroup("helper-%d" % d))
        assert jobs >= 1
        # Asking again, in any order, starts no Spark job.
        for n in reversed(names):
            helper.get_num_unique_values(n)
        helper.get_num_rows()
        assert len(tracker.getJobIdsForGroup("helper-%d" % d)) == jobs
        # A column outside the profile costs one more aggregation, once.
        assert helper.get_num_unique_values("y") == 9
        assert helper.get_num_unique_values("y") == 9
        assert counting.aggregations == 2
    finally:
        spark.sparkContext.setLocalProperty("spark.jobGroup.id", None)


def test_first_question_about_a_non_string_column_profiles_it_with_the_rest(frame):
    counting = CountingFrame(frame)
    helper = DataFrameHelper(counting)
    assert helper.get_num_unique_values("i") == 3
    assert helper.get_num_unique_values("name") == 3
    assert helper.get_num_rows() == 4
    assert counting.aggregations == 1


def test_empty_frame(spark):
    helper = DataFrameHelper(spark.createDataFrame([], "a string, y double"))
    assert helper.get_num_rows() == 0
    assert helper.get_num_unique_values("a") == 0


def test_unknown_column_raises_and_caches_nothing(frame):
    helper = DataFrameHelper(frame)
    helper.get_num_rows()
    with pytest.raises(Exception, match="nope"):
        helper.get_num_unique_values("nope")
    assert helper.get_num_unique_values("name") == 3


@pytest.mark.parametrize("first", ["rows", "values", "unique"])
def test_value_counts_of_numeric_columns_come_with_the_first_profile(frame, first):
    counting = CountingFrame(frame)
    helper = DataFrameHelper(counting)
    ask = {"rows": helper.get_num_rows, "values": lambda: helper.get_num_values("d"),
           "unique": lambda: helper.get_num_unique_values("name")}
    ask[first]()
    expected = {"b": 4, "s": 4, "i": 3, "l": 4, "f": 4, "d": 3, "m": 3}
    assert {c: helper.get_num_values(c) for c in expected} == expected
    assert helper.get_num_rows() == 4
    assert counting.aggregations == 1
    # A column outside the profile is counted on its own, once.
    assert helper.get_num_values("name") == 3 and helper.get_num_values("name") == 3
    assert counting.aggregations == 2
