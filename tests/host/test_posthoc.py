"""Pairwise comparisons and Welch's test from level tables, against statsmodels and textbook
formulas (no Spark)."""
import itertools
import math

import numpy as np
import pandas as pd
import pytest
from statsmodels.formula.api import ols
from statsmodels.sandbox.stats.multicomp import tukeyhsd
from statsmodels.stats.multicomp import pairwise_tukeyhsd
from statsmodels.stats.oneway import anova_oneway

from host_terms import (make_data, pandas_cell_table, pandas_level_table, pandas_record,
                        studentized_sf_by_trapezoid, with_sumsq_dev)
from Tarnwick.bi.common import posthoc
from Tarnwick.bi.common.results import DFTwoWayAnovaResult, MeasureAnovaResult

RTOL = 1e-6

DESIGNS = {
    "balanced-3": [6, 6, 6],
    "balanced-6": [5] * 6,
    "unbalanced-4-with-pairs": [2, 7, 3, 2],
    "unbalanced-5": [2, 4, 9, 5, 3],
    "unbalanced-6": [3, 3, 2, 8, 4, 6],
}


def grouped(sizes, seed=7):
    """One measure over levels of the given sizes, with different means and spreads."""
    rng = np.random.RandomState(seed)
    names = ["L%d" % i for i in range(len(sizes))]
    groups = np.repeat(names, sizes)
    spread = np.repeat(rng.uniform(0.3, 3.0, len(sizes)), sizes)
    shift = np.repeat(rng.uniform(-2.0, 2.0, len(sizes)), sizes)
    return pd.DataFrame({"g": groups, "y": shift + spread * rng.normal(size=len(groups))})


def record_of(frame, variances=True):
    record = MeasureAnovaResult((len(frame), frame.y.mean(), float((frame.y ** 2).sum())))
    table = pandas_level_table(frame, "y", "g")
    if variances:
        table = with_sumsq_dev(table, frame, "y", ["levels"], ["g"])
    record.set_OneWayAnovaResult("g", table)
    results = DFTwoWayAnovaResult()
    results.add_measure_result("y", record)
    return results


def games_howell_by_hand(frame, alpha):
    """Games–Howell from its textbook formula, pair by pair."""
    names = sorted(frame.g.unique())
    k = len(names)
    rows = []
    for a, b in itertools.combinations(names, 2):
        x, y = frame.y[frame.g == a], frame.y[frame.g == b]
        va, vb = x.var(ddof=1) / len(x), y.var(ddof=1) / len(y)
        se = math.sqrt(va + vb)
        df = (va + vb) ** 2 / (va ** 2 / (len(x) - 1) + vb ** 2 / (len(y) - 1))
        diff = y.mean() - x.mean()
        q = abs(diff) / math.sqrt((va + vb) / 2.0)
        rows.append([a, b, diff, se, q, df, studentized_sf_by_trapezoid(q, k, df)])
    return pd.DataFrame(rows, columns=posthoc.COMPARISON_COLUMNS[:7])


@pytest.mark.parametrize("design", sorted(DESIGNS))
@pytest.mark.parametrize("alpha", [0.05, 0.1])
def test_tukey_kramer_matches_statsmodels(design, alpha):
    frame = grouped(DESIGNS[design])
    table = record_of(frame, variances=False).post_hoc("y", "g", "tukey", alpha=alpha)
    reference = pairwise_tukeyhsd(frame.y, frame.g, alpha=alpha)
    k = len(DESIGNS[design])
    assert len(table) == k * (k - 1) // 2
    np.testing.assert_allclose(table.mean_diff, reference.meandiffs, rtol=1e-12)
    np.testing.assert_allclose(table.std_error, reference.std_pairs * math.sqrt(2), rtol=1e-12)
    np.testing.assert_allclose(table.p_value, reference.pvalues, rtol=RTOL)
    np.testing.assert_allclose(table[["ci_lower", "ci_upper"]], reference.confint, rtol=RTOL)
    assert list(table.reject) == list(reference.reject)
    assert (table.df == len(frame) - k).all()


@pytest.mark.parametrize("design", sorted(DESIGNS))
def test_games_howell_matches_the_textbook_formula(design):
    frame = grouped(DESIGNS[design], seed=11)
    table = record_of(frame).post_hoc("y", "g", "games-howell", alpha=0.05)
    expected = games_howell_by_hand(frame, 0.05)
    assert list(table.group1) == list(expected.group1)
    assert list(table.group2) == list(expected.group2)
    for name in ["mean_diff", "std_error", "q", "df"]:
        np.testing.assert_allclose(table[name], expected[name], rtol=1e-9, err_msg=name)
    np.testing.assert_allclose(table.p_value, expected.p_value, rtol=1e-7, atol=1e-11)
    # The interval's half width is the critical value times SE/sqrt(2): at it the tail is alpha.
    critical = (table.ci_upper - table.mean_diff) / (table.std_error / math.sqrt(2.0))
    k = frame.g.nunique()
    tails = [studentized_sf_by_trapezoid(c, k, d) for c, d in zip(critical, table.df)]
    np.testing.assert_allclose(tails, 0.05, rtol=1e-7)
    np.testing.assert_allclose(table.ci_lower, 2 * table.mean_diff - table.ci_upper, rtol=1e-12)
    assert (table.note == "").all()


@pytest.mark.parametrize("design", sorted(DESIGNS))
def test_welch_matches_statsmodels(design):
    frame = grouped(DESIGNS[design], seed=5)
    table = record_of(frame).welch("y", "g")
    reference = anova_oneway(frame.y, frame.g, use_var="unequal")
    row = table.loc["g"]
    np.testing.assert_allclose(row.F, reference.statistic, rtol=RTOL)
    np.testing.assert_allclose([row.df1, row.df2], reference.df, rtol=RTOL)
    np.testing.assert_allclose(row.p_value, reference.pvalue, rtol=RTOL)
    assert row.note == ""


def test_a_level_of_one_value_still_takes_part_in_tukey_kramer():
    frame = grouped([1, 4, 5, 3])
    table = record_of(frame, variances=False).post_hoc("y", "g")
    reference = pairwise_tukeyhsd(frame.y, frame.g)
    np.testing.assert_allclose(table.p_value, reference.pvalues, rtol=RTOL)
    np.testing.assert_allclose(table[["ci_lower", "ci_upper"]], reference.confint, rtol=RTOL)


def degenerate(kind):
    if kind == "one level":
        return pd.DataFrame({"g": ["a"] * 4, "y": [1.0, 2.0, 4.0, 3.0]})
    if kind == "a level of one value":
        return pd.DataFrame({"g": list("aaabbbc"), "y": [1.0, 2.0, 4.0, 3.0, 7.0, 5.5, 9.0]})
    if kind == "a level of zero variance":
        return pd.DataFrame({"g": list("aaabbbccc"),
                             "y": [1.0, 2.0, 4.0, 3.0, 7.0, 5.5, 0.1, 0.1, 0.1]})
    if kind == "two levels of zero variance":
        return pd.DataFrame({"g": list("aaabbbccc"),
                             "y": [1.0, 2.0, 4.0, 3.0, 3.0, 3.0, 0.1, 0.1, 0.1]})
    raise AssertionError(kind)


@pytest.mark.parametrize("kind, welch_note, reported_pairs", [
    ("one level", "1 level: nothing to compare", []),
    ("a level of one value", "level 'c' has one value: no variance", [("a", "c"), ("b", "c")]),
    ("a level of zero variance", "level 'c' has zero variance", []),
    ("two levels of zero variance", "level 'b' has zero variance", [("b", "c")]),
])
def test_degenerate_levels_are_reported_not_computed(kind, welch_note, reported_pairs):
    results = record_of(degenerate(kind))
    assert results.welch("y", "g").loc["g", "note"] == welch_note
    assert math.isnan(results.welch("y", "g").loc["g", "F"])
    table = results.post_hoc("y", "g", "games-howell")
    noted = table[table.note != ""]
    assert list(zip(noted.group1, noted.group2)) == reported_pairs
    assert noted[["std_error", "q", "df", "p_value", "ci_lower"]].isna().all().all()
    assert noted.reject.isna().all()
    assert table[table.note == ""].p_value.between(0, 1).all()
    assert np.isfinite(table.mean_diff).all()


@pytest.mark.parametrize("values", [[0.1, 0.1, 0.1], [1e9 + 0.1] * 3])
def test_games_howell_takes_a_zero_variance_level_from_the_other_level(values):
    frame = pd.DataFrame({"g": list("aaaacccc") + ["z"] * len(values),
                          "y": [1.0, 2.0, 4.0, 3.5, 7.0, 5.5, 9.0, 6.0] + values})
    table = record_of(frame).post_hoc("y", "g", "games-howell").set_index(["group1", "group2"])
    for other in ("a", "c"):
        x = frame.y[frame.g == other]
        row = table.loc[(other, "z")]
        se = math.sqrt(x.var(ddof=1) / len(x))
        q = abs(x.mean() - values[0]) / (se / math.sqrt(2.0))
        assert row.note == ""
        np.testing.assert_allclose([row.std_error, row.q], [se, q], rtol=1e-7)
        assert row.df == len(x) - 1  # Welch-Satterthwaite with one variance: its own df
        np.testing.assert_allclose(row.p_value, studentized_sf_by_trapezoid(q, 3, len(x) - 1),
                                   rtol=1e-7, atol=1e-11)


@pytest.mark.parametrize("ms_within, df_within, note", [
    (0.0, 3.0, "no variation within the levels"),
    (1.5, 0.0, "no residual degrees of freedom"),
    (math.nan, 3.0, "no residual mean square (lost to rounding: refine the table)"),
])
def test_tukey_kramer_without_a_usable_residual_is_reported(ms_within, df_within, note):
    stats = posthoc.statistics_table(["a", "b", "c"], [2, 2, 2], [1.0, 2.0, 5.0], [0.0] * 3)
    table = posthoc.tukey_kramer(stats, ms_within, df_within)
    assert (table.note == note).all()
    assert table[["std_error", "p_value", "ci_lower"]].isna().all().all()
    assert list(table.mean_diff) == [1.0, 4.0, 3.0]


def test_games_howell_without_variances_asks_for_the_frame_or_the_other_plan():
    results = record_of(grouped([3, 4, 5]), variances=False)
    for call in (lambda: results.post_hoc("y", "g", "games-howell"),
                 lambda: results.welch("y", "g")):
        with pytest.raises(ValueError, match="pass the data frame.*one-scan plan"):
            call()
    # Tukey-Kramer needs nothing more.
    assert len(results.post_hoc("y", "g", "tukey")) == 3


@pytest.mark.parametrize("kind", ["balanced", "unbalanced", "empty_cell"])
@pytest.mark.parametrize("dimension, other", [("a", "b"), ("b", "a")])
def test_main_effect_of_a_two_way_table_uses_its_residual(kind, dimension, other):
    frame = make_data(kind)
    record = pandas_record(frame, "y", ["a", "b"], [("a", "b")])
    table = record.post_hoc(dimension, "tukey", pair=(dimension, other))
    fit = ols("y ~ C(a) * C(b)", data=frame).fit()
    levels = frame.groupby(dimension)["y"].agg(["mean", "count"])
    # statsmodels' helper takes per-level df and uses their sum as the residual df.
    per_level = np.full(len(levels), fit.df_resid / len(levels))
    reference = tukeyhsd(levels["mean"].to_numpy(), levels["count"].to_numpy(), fit.mse_resid,
                         df=per_level, alpha=0.05)
    np.testing.assert_allclose(table.mean_diff, reference[2], rtol=1e-10)
    np.testing.assert_allclose(table[["ci_lower", "ci_upper"]], reference[4], rtol=RTOL)
    np.testing.assert_allclose(table.p_value, reference[8], rtol=RTOL)
    assert (table.df == fit.df_resid).all()
    # The one-way comparison pools less: the two-way residual is not the one-way residual.
    assert not np.allclose(record.post_hoc(dimension).std_error, table.std_error)


def test_marginal_variances_from_cells_with_sumsq_dev_are_the_levels_variances():
    frame = make_data("unbalanced").rename(columns={"a": "g"})
    cells = with_sumsq_dev(pandas_cell_table(frame, "y", "g", "b"), frame, "y",
                           ["level1", "level2"], ["g", "b"])
    for which, key in ((0, "g"), (1, "b")):
        stats = posthoc.marginal_statistics(cells, which)
        expected = frame.groupby(key)["y"].agg(["count", "mean", "var"])
        assert list(stats.level) == list(expected.index)
        np.testing.assert_allclose(stats[["count", "mean", "variance"]], expected, rtol=1e-10)


@pytest.mark.parametrize("method", ["tukey", "games-howell"])
def test_comparison_rows_follow_the_sorted_levels_whatever_the_table_order(method):
    frame = grouped([3, 5, 4, 6])
    shuffled = record_of(frame.iloc[::-1].reset_index(drop=True))
    ordered = record_of(frame)
    pd.testing.assert_frame_equal(shuffled.post_hoc("y", "g", method),
                                  ordered.post_hoc("y", "g", method), rtol=1e-12)
