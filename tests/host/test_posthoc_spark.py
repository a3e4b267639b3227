"""Spark aggregations for the spread within levels, on the shared local session."""
import contextlib
import io
import math
import os

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from host_terms import make_data, pandas_cell_table, pandas_level_table, with_sumsq_dev
from Tarnwick.bi.common import dispersion
from Tarnwick.bi.common.results import DFTwoWayAnovaResult, MeasureAnovaResult

MEASURE = "price (€). `net`"
DIMENSION = "shop.region"

SIZES = {
    "balanced": [5, 5, 5, 5],
    "unbalanced-with-pairs": [2, 6, 2, 9, 3],
    "six-levels": [3, 2, 7, 4, 5, 2],
}


def spread_frame(sizes, seed=3):
    """Levels of the given sizes with different spreads, a null level, and values that do not
    count: nulls, NaN and infinities."""
    rng = np.random.RandomState(seed)
    rows = []
    for i, size in enumerate(sizes):
        level = None if i == 1 else "r%d" % i
        scale = rng.uniform(0.5, 4.0)
        rows += [(level, float(v)) for v in rng.normal(i, scale, size)]
        rows += [(level, None), (level, math.nan), (level, math.inf if i % 2 else -math.inf)]
    return rows


def counted(rows):
    """The rows that take part, as pandas groups keyed like the results (null level: None)."""
    frame = pd.DataFrame([r for r in rows if r[1] is not None and math.isfinite(r[1])],
                         columns=["level", "y"])
    frame["level"] = frame["level"].astype(object).where(frame["level"].notna(), None)
    return {k: g.y.to_numpy() for k, g in frame.groupby(frame.level.fillna("\0null"))}


@pytest.fixture(scope="module")
def frames(spark):
    made = {}
    for name, sizes in SIZES.items():
        rows = spread_frame(sizes)
        schema = "`%s` string, `%s` double" % (DIMENSION, MEASURE.replace("`", "``"))
        made[name] = (spark.createDataFrame(rows, schema), counted(rows))
    return made


@pytest.mark.parametrize("design", sorted(SIZES))
@pytest.mark.parametrize("center", ["mean", "median"])
def test_levene_and_brown_forsythe_match_scipy(frames, design, center):
    df, groups = frames[design]
    table = dispersion.levene(df, MEASURE, DIMENSION, center)
    expected = stats.levene(*groups.values(), center=center)
    row = table.loc[DIMENSION]
    assert row.center == center and row.note == ""
    np.testing.assert_allclose(row.F, expected.statistic, rtol=1e-9)
    np.testing.assert_allclose(row.p_value, expected.pvalue, rtol=1e-9)
    assert (row.df1, row.df2) == (len(groups) - 1, sum(map(len, groups.values())) - len(groups))


@pytest.mark.parametrize("design", sorted(SIZES))
def test_level_variances_leave_out_nulls_nan_and_infinities(frames, design):
    df, groups = frames[design]
    table = dispersion.level_variances(df, MEASURE, DIMENSION)
    got = {("\0null" if r.level is None else r.level): r for r in table.itertuples()}
    assert sorted(got) == sorted(groups)
    for key, values in groups.items():
        assert got[key].count == len(values)
        np.testing.assert_allclose([got[key].mean, got[key].variance],
                                   [values.mean(), values.var(ddof=1)], rtol=1e-12)


@pytest.mark.parametrize("rows, note", [
    ([("x", 1.0), ("x", 3.0), ("x", 2.5)], "1 level: nothing to compare"),
    ([("x", 1.0), ("x", 3.0), ("y", 5.0), ("y", 7.0)], "no spread of the deviations within the levels"),
])
def test_levene_reports_what_it_cannot_test(spark, rows, note):
    df = spark.createDataFrame(rows, "g string, y double")
    row = dispersion.levene(df, "y", "g", "mean").loc["g"]
    assert row.note == note
    assert math.isnan(row.p_value)


def one_scan_record(frame):
    """A record whose tables carry ``sumsq_dev``, as the one-scan plan files them."""
    record = MeasureAnovaResult((len(frame), frame.y.mean(), float((frame.y ** 2).sum())))
    for d in ("a", "b"):
        record.set_OneWayAnovaResult(d, with_sumsq_dev(pandas_level_table(frame, "y", d), frame,
                                                       "y", ["levels"], [d]))
    cells = with_sumsq_dev(pandas_cell_table(frame, "y", "a", "b"), frame, "y",
                           ["level1", "level2"], ["a", "b"])
    record.set_TwoWayAnovaResult("a", "b", cells)
    results = DFTwoWayAnovaResult()
    results.add_measure_result("y", record)
    return results


@pytest.mark.parametrize("kind", ["balanced", "unbalanced"])
def test_both_plans_give_the_same_tables(spark, kind):
    from Tarnwick.bi.common import DataFrameHelper
    from Tarnwick.bi.stats.factorpair import TwoWayAnova

    frame = make_data(kind)
    df = spark.createDataFrame(frame, "a string, b string, y double")
    analysed = TwoWayAnova(df, DataFrameHelper(df)).test_all()
    one_scan = one_scan_record(frame)
    for d in ("a", "b"):
        for method in ("tukey", "games-howell"):
            pd.testing.assert_frame_equal(analysed.post_hoc("y", d, method, data_frame=df),
                                          one_scan.post_hoc("y", d, method), rtol=1e-9)
        pd.testing.assert_frame_equal(analysed.welch("y", d, data_frame=df),
                                      one_scan.welch("y", d), rtol=1e-9)
        pd.testing.assert_frame_equal(analysed.post_hoc("y", d, pair=("a", "b")),
                                      one_scan.post_hoc("y", d, pair=("a", "b")), rtol=1e-9)
    with pytest.raises(ValueError, match="data frame"):
        analysed.levene("y", "a", None)
    levene = analysed.levene("y", "a", df, center="median").loc["a"]
    expected = stats.levene(*[g.y for _, g in frame.groupby("a")], center="median")
    np.testing.assert_allclose(levene.p_value, expected.pvalue, rtol=1e-9)


def test_readme_example_of_the_comparisons_runs(spark):
    import re

    readme = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "README.md")
    with open(readme) as handle:
        blocks = re.findall(r"```python\n(.*?)```", handle.read(), re.S)
    analysis = [b for b in blocks if "TwoWayAnova(" in b]
    comparisons = [b for b in blocks if ".post_hoc(" in b]
    assert len(analysis) == 1 and len(comparisons) == 1
    namespace = {}
    with contextlib.redirect_stdout(io.StringIO()) as printed:
        exec(compile(analysis[0] + comparisons[0], "README.md", "exec"), namespace)
    assert "group1" in printed.getvalue()
    results, df = namespace["results"], namespace["df"]
    # With two levels, Tukey-Kramer is the F test and Welch's test is Welch's t test.
    tukey = results.post_hoc("sales", "region").p_value.iloc[0]
    np.testing.assert_allclose(tukey, results.get_one_way("sales", "region").p_value["region"],
                               rtol=1e-6)
    sales = df.toPandas()
    welch_t = stats.ttest_ind(sales.sales[sales.region == "north"],
                              sales.sales[sales.region == "south"], equal_var=False)
    np.testing.assert_allclose(results.welch("sales", "region", data_frame=df).p_value.iloc[0],
                               welch_t.pvalue, rtol=1e-9)


def test_every_aggregation_counts_the_same_values_of_a_measure(spark, frames):
    """Nulls, NaN and infinities are missing alike in the analysis of variance, Levene's and
    Brown-Forsythe's tests, Welch's test and the level variances."""
    from Tarnwick.bi.stats.onescan import one_scan_test_all

    df, groups = frames["six-levels"]
    renamed = df.toDF("g", "y")
    with pytest.warns(UserWarning, match="above the automatic level bound"):
        results = one_scan_test_all(renamed, ["y"], ["g"], 40)
    n = sum(len(v) for v in groups.values())
    k = len(groups)
    one_way = results.get_one_way("y", "g")
    assert list(one_way.df) == [k - 1, n - k, n - 1]
    for center in ("mean", "median"):
        row = results.levene("y", "g", renamed, center).loc["g"]
        assert (row.df1, row.df2) == (k - 1, n - k)
    assert results.welch("y", "g", data_frame=renamed).loc["g", "df1"] == k - 1
    stats = results.get_measure_result("y").level_statistics("g")
    from_frame = dispersion.level_variances(renamed, "y", "g")
    expected = sorted(len(v) for v in groups.values())
    assert sorted(stats["count"]) == expected == sorted(from_frame["count"])
