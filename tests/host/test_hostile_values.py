"""Values no table can be computed from, row labels that names could take, and refine() given
another frame than the one analysed."""
import copy
import math
import warnings

import numpy as np
import pandas as pd
import pytest

from host_terms import pandas_cell_table, pandas_level_table, pandas_measure_row
from Tarnwick.bi.common.anova import OVERFLOW
from Tarnwick.bi.common.results import DFTwoWayAnovaResult, MeasureAnovaResult


def frame(scale=1.0, shift=0.0, n=60):
    rng = np.random.RandomState(11)
    data = pd.DataFrame({"a": ["x", "y", "z"] * (n // 3), "b": rng.choice(["p", "q"], n)})
    data["y"] = shift + scale * (rng.normal(size=n) + (data.a == "x"))
    return data


def spoil(row, table, how):
    """The analyser's raw terms as Spark gives them when its sums overflow (or see infinity)."""
    row = list(row)
    table = table.copy()
    if how == "sum of squares":
        row[2] = math.inf
    elif how == "infinite mean":
        table.loc[0, "means"] = math.inf
        table["var3" if "var3" in table else "var5"] = table.counts * table.means ** 2
    elif how == "null mean":  # a decimal sum that overflowed: Spark's mean is null
        table["means"] = table["means"].astype(object)
        table.loc[1, "means"] = None
    elif how == "huge values":
        pass  # the data itself: squares beyond double range
    return row, table


@pytest.mark.parametrize("how", ["sum of squares", "infinite mean", "null mean", "huge values"])
def test_overflow_is_said_in_the_note_not_printed(how):
    data = frame(scale=1e200) if how == "huge values" else frame()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # not one numpy warning on the way
        with np.errstate(all="ignore"):
            row = pandas_measure_row(data, "y")
            levels = pandas_level_table(data, "y", "a")
            cells = pandas_cell_table(data, "y", "a", "b")
        row, levels = spoil(row, levels, how)
        _, cells = spoil(row, cells, how)
        record = MeasureAnovaResult(row)
        record.set_OneWayAnovaResult("a", levels)
        record.set_TwoWayAnovaResult("a", "b", cells)
        tables = [record.get_one_way("a")] + [record.get_two_way("a", "b", t) for t in (1, 2, 3)]
        summary = record.summary()
    for table in tables:
        assert table.drop(columns="note").isna().all().all()
        assert (table.note == OVERFLOW).all()
    assert summary.F.isna().all() and not summary.imprecise.any()


@pytest.mark.parametrize(
    "dimensions, labels",
    [
        (("Residual",), ["Residual", "(Residual)", "Total"]),
        (("Total",), ["Total", "Residual", "(Total)"]),
        (("a",), ["a", "Residual", "Total"]),
        (("Residual", "(Residual)"), ["Residual", "(Residual)", "Residual:(Residual)", "((Residual))"]),
        (("Total", "b"), ["Total", "b", "Total:b", "Residual"]),
    ],
)
def test_row_labels_are_unique(dimensions, labels):
    data = frame().rename(columns={"a": dimensions[0], "b": dimensions[-1] if len(dimensions) > 1 else "b"})
    record = MeasureAnovaResult(pandas_measure_row(data, "y"))
    if len(dimensions) == 1:
        record.set_OneWayAnovaResult(dimensions[0], pandas_level_table(data, "y", dimensions[0]))
        table = record.get_one_way(dimensions[0])
    else:
        record.set_TwoWayAnovaResult(*dimensions, pandas_cell_table(data, "y", *dimensions))
        table = record.get_two_way(*dimensions)
    assert list(table.index) == labels


@pytest.fixture(scope="module")
def marked(spark):
    """Data whose raw sums lose every digit of the residual: both tests are marked."""
    data = frame(scale=1e-3, shift=1e9)
    df = spark.createDataFrame(data).coalesce(1)
    from Tarnwick.bi.common import DataFrameHelper
    from Tarnwick.bi.stats.factorpair import TwoWayAnova

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        analysed = TwoWayAnova(df, DataFrameHelper(df)).test_all(["y"], ["a", "b"])
    assert len(analysed.imprecise_tests) == 3

    def analyse():
        return copy.deepcopy(analysed)  # refine() changes the results: each test gets a copy

    return df, analyse


@pytest.mark.parametrize(
    "other, message",
    [
        (lambda df: df.filter("b = 'p'"), "is not the one analysed"),
        (lambda df: df.union(df.limit(1)), "is not the one analysed"),
        (lambda df: df.drop("b"), "has no column 'b'"),
        (lambda df: df.withColumnRenamed("y", "z"), "has no column 'y'"),
    ],
)
def test_refine_refuses_another_frame(marked, other, message):
    df, analyse = marked
    results = analyse()
    before = results["y"].get_one_way("a").copy()
    with pytest.raises(ValueError, match=message):
        results.refine(other(df))
    pd.testing.assert_frame_equal(results["y"].get_one_way("a"), before)  # nothing changed
    assert results.refine(df) == 3 and results.imprecise_tests == []


def test_refine_reads_every_name_literally(marked, spark):
    df, analyse = marked
    results = analyse()
    # The same tables filed under names Spark would misread if they were not quoted.
    names = {"y": "`y`", "a": "a.b", "b": "*"}
    again = DFTwoWayAnovaResult()
    record = results["y"]
    renamed = MeasureAnovaResult(record.measure_row)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for kind, dims, table in record.tables:
            getattr(renamed, "set_OneWayAnovaResult" if kind == "one-way" else "set_TwoWayAnovaResult")(
                *[names[d] for d in dims], table)
    again.add_measure_result("`y`", renamed)
    odd = df.select(*[df[c].alias(names[c]) for c in ("a", "b", "y")])
    assert again.refine(odd) == 3
    assert results.refine(df) == 3
    np.testing.assert_allclose(again["`y`"].get_two_way("a.b", "*").F.to_numpy()[:3],
                               results["y"].get_two_way("a", "b").F.to_numpy()[:3], rtol=1e-12)


@pytest.fixture(scope="module")
def no_variation(spark):
    """x = 1, 2, 3 by g alone, h a second dimension: the cells have no variation at all."""
    rows = [("g%d" % (i % 3), "h%d" % (i % 2), float(i % 3 + 1)) for i in range(90)]
    return spark.createDataFrame(rows, "g string, h string, x double")


@pytest.mark.parametrize("plan", ["per-test", "one-scan"])
def test_cells_without_variation_give_no_f_and_say_why(no_variation, plan):
    from Tarnwick.bi.common import DataFrameHelper
    from Tarnwick.bi.common.anova import NO_VARIATION
    from Tarnwick.bi.stats.factorpair import TwoWayAnova
    from Tarnwick.bi.stats.onescan import one_scan_test_all

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if plan == "per-test":
            results = TwoWayAnova(no_variation, DataFrameHelper(no_variation)).test_all(
                ["x"], ["g", "h"])
            # Its raw sums cannot tell a zero residual from a lost one: the tables are marked,
            # and refining them from central moments finds the zero.
            results.refine(no_variation)
        else:
            results = one_scan_test_all(no_variation, ["x"], ["g", "h"], 40)
    one_way = results.get_one_way("x", "g")
    assert one_way.loc["Residual", "sum_sq"] == 0.0
    assert one_way.loc["Residual", "note"] == NO_VARIATION
    np.testing.assert_allclose(one_way.loc["g", "sum_sq"], 60.0, rtol=1e-12)
    for typ in (1, 2, 3):
        table = results.get_two_way("x", "g", "h", typ)
        assert table.loc["Residual", "sum_sq"] == 0.0
        assert table.loc["Residual", "note"] == NO_VARIATION
        assert table.loc["g:h", "sum_sq"] == 0.0 and table.loc["h", "sum_sq"] == 0.0
        assert table[["F", "p_value"]].isna().all().all()
        assert not np.isinf(table.F).any()
    assert "Infinity" not in results.to_json() and "NaN" not in results.to_json()


@pytest.mark.parametrize("values, total, n, expected", [
    ([6.7e-30, 2.5], 60.0, 90, [0.0, 2.5]),
    ([1e-12, 1e-30], 1e-12, 10, [1e-12, 0.0]),       # small data: relative, not absolute
    ([5e-12, 60.0], 60.0, 90, [5e-12, 60.0]),         # above n·eps·total: kept
    ([math.nan, 1e-40], math.nan, 5, [math.nan, 1e-40]),
])
def test_rounding_level_sums_of_squares_are_zero(values, total, n, expected):
    from Tarnwick.bi.common.anova import rounding_level

    np.testing.assert_array_equal(rounding_level(values, total, n), expected)
