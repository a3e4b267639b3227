"""ANOVA tables from raw terms against statsmodels / scipy on the raw data, and R's published
values for the kidney-failure data."""
import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf
from scipy import stats
from statsmodels.stats.anova import anova_lm

from host_terms import make_data, pandas_record

RTOL = 1e-9

# The oracles fit rank-deficient designs (empty cells) on purpose.
pytestmark = pytest.mark.filterwarnings("ignore:The design matrix is rank-deficient")
NULL = "<null>"


def oracle_frame(frame):
    """The frame as statsmodels sees it: null levels as a level, rows with a null y dropped."""
    out = frame.copy()
    out["a"] = out["a"].where(out["a"].notna(), NULL)
    out["b"] = out["b"].where(out["b"].notna(), NULL)
    return out.dropna(subset=["y"])


KINDS = ["balanced", "unbalanced", "empty_cell", "nulls"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("dimension", ["a", "b"])
def test_one_way_matches_f_oneway_and_ols(kind, dimension):
    frame = make_data(kind)
    table = pandas_record(frame, "y", [dimension]).get_one_way(dimension)
    data = oracle_frame(frame)
    groups = [g["y"].to_numpy() for _, g in data.groupby(dimension)]
    f_value, p_value = stats.f_oneway(*groups)
    fit = smf.ols("y ~ C(%s)" % dimension, data).fit()
    effect, resid, total = table.iloc[0], table.iloc[1], table.iloc[2]
    np.testing.assert_allclose([effect.F, effect.p_value], [f_value, p_value], rtol=RTOL)
    assert (effect.df, resid.df, total.df) == (len(groups) - 1, len(data) - len(groups),
                                               len(data) - 1)
    np.testing.assert_allclose([effect.sum_sq, resid.sum_sq, total.sum_sq],
                               [fit.ess, fit.ssr, fit.centered_tss], rtol=RTOL)
    np.testing.assert_allclose(effect.eta_sq, fit.rsquared, rtol=RTOL)
    omega = (fit.ess - fit.df_model * fit.mse_resid) / (fit.centered_tss + fit.mse_resid)
    np.testing.assert_allclose(effect.omega_sq, omega, rtol=RTOL)


def _oracle_two_way(data, typ):
    fit = smf.ols("y ~ C(a, Sum) * C(b, Sum)", data).fit()
    table = anova_lm(fit, typ=typ).drop(index="Intercept", errors="ignore")
    table.index = ["a", "b", "a:b", "Residual"]
    return table.rename(columns={"PR(>F)": "p_value"})


def _oracle_nested(data, typ):
    """Types I and II by comparing nested least-squares fits of the raw data (ranks, not column
    counts, as degrees of freedom: right also with empty cells)."""
    fits = {f: smf.ols("y ~ " + f, data).fit()
            for f in ["1", "C(a)", "C(b)", "C(a) + C(b)", "C(a) * C(b)"]}
    full = fits["C(a) * C(b)"]
    steps = {1: [("1", "C(a)"), ("C(a)", "C(a) + C(b)"), ("C(a) + C(b)", "C(a) * C(b)")],
             2: [("C(b)", "C(a) + C(b)"), ("C(a)", "C(a) + C(b)"),
                 ("C(a) + C(b)", "C(a) * C(b)")]}[typ]
    rows = []
    for reduced, larger in steps:
        ss = fits[reduced].ssr - fits[larger].ssr
        df = fits[reduced].df_resid - fits[larger].df_resid
        f_value = ss / df / full.mse_resid
        rows.append([ss, df, f_value, stats.f.sf(f_value, df, full.df_resid)])
    rows.append([full.ssr, full.df_resid, np.nan, np.nan])
    return pd.DataFrame(rows, index=["a", "b", "a:b", "Residual"],
                        columns=["sum_sq", "df", "F", "p_value"])


def _has_empty_cell(data):
    return data.groupby(["a", "b"]).size().reindex(
        pd.MultiIndex.from_product([data.a.unique(), data.b.unique()])).isna().any()


@pytest.mark.parametrize("kind,typ", [(k, t) for k in KINDS for t in (1, 2, 3)
                                      if not (k in ("empty_cell", "nulls") and t == 3)])
def test_two_way_matches_statsmodels(kind, typ):
    frame = make_data(kind)
    data = oracle_frame(frame)
    empty = _has_empty_cell(data)
    assert empty == (kind in ("empty_cell", "nulls"))
    table = pandas_record(frame, "y", pairs=[("a", "b")]).get_two_way("a", "b", typ=typ)
    assert list(table.index) == ["a", "b", "a:b", "Residual"]
    oracles = []
    if not empty:
        oracles.append(_oracle_two_way(data, typ))
    if typ in (1, 2):
        oracles.append(_oracle_nested(data, typ))
    for expected in oracles:
        np.testing.assert_array_equal(table.df.to_numpy(), expected.df.to_numpy())
        for column in ["sum_sq", "F", "p_value"]:
            np.testing.assert_allclose(table[column].to_numpy(dtype=float),
                                       expected[column].to_numpy(dtype=float), rtol=RTOL)
    partial = table.sum_sq[:3] / (table.sum_sq[:3] + table.sum_sq["Residual"])
    np.testing.assert_allclose(table.partial_eta_sq[:3], partial, rtol=RTOL)


def test_type_three_with_an_empty_cell_is_the_rank_added_by_sum_coded_columns():
    """With an empty cell, Type III of an effect compares the full sum-coded model with the one
    without that effect's columns, on the raw data: SS difference and rank difference."""
    frame = make_data("empty_cell")
    table = pandas_record(frame, "y", pairs=[("a", "b")]).get_two_way("a", "b", typ=3)
    fit = smf.ols("y ~ C(a, Sum) * C(b, Sum)", frame).fit()
    design = pd.DataFrame(fit.model.exog, columns=fit.model.exog_names)
    full_rank = np.linalg.matrix_rank(design.to_numpy())
    assert full_rank == 11  # 12 cells, one empty
    for effect, keep in [
        ("a", lambda c: not (c.startswith("C(a, Sum)") and ":" not in c)),
        ("b", lambda c: not (c.startswith("C(b, Sum)") and ":" not in c)),
        ("a:b", lambda c: ":" not in c),
    ]:
        reduced = design[[c for c in design.columns if keep(c)]].to_numpy()
        rss = sm.OLS(frame["y"].to_numpy(), reduced).fit().ssr
        df = full_rank - np.linalg.matrix_rank(reduced)
        assert table.loc[effect, "df"] == df
        np.testing.assert_allclose(table.loc[effect, "sum_sq"], rss - fit.ssr, rtol=1e-9)
    assert table.loc["a:b", "df"] == 5  # (3-1)(4-1) - 1 for the missing cell


def _nested():
    rng = np.random.RandomState(7)
    rows = [(a, b, rng.normal()) for a, bs in [("x", "pq"), ("y", "rs")] for b in bs
            for _ in range(4)]
    return pd.DataFrame(rows, columns=["a", "b", "y"])


@pytest.mark.parametrize("typ,estimable", [
    (1, [True, True, False]),   # a first; b within a; no interaction left
    (2, [False, True, False]),  # a given b adds nothing
    (3, [False, False, False]),
])
def test_effects_that_add_no_rank_are_not_estimable(typ, estimable):
    table = pandas_record(_nested(), "y", pairs=[("a", "b")]).get_two_way("a", "b", typ=typ)
    for i, ok in enumerate(estimable):
        row = table.iloc[i]
        assert (row.df > 0) == ok
        assert (row.note == "not estimable") == (not ok)
        assert np.isfinite(row.F) == ok
    assert table.loc["Residual", "df"] == 16 - 4


def test_a_dimension_paired_with_itself_leaves_only_its_main_effect():
    frame = make_data("unbalanced")
    record = pandas_record(frame, "y", dimensions=["a"], pairs=[("a", "a")])
    table = record.get_two_way("a", "a", typ=1)
    one_way = record.get_one_way("a")
    np.testing.assert_allclose(table.iloc[0].F, one_way.iloc[0].F, rtol=RTOL)
    assert list(table.df[1:3]) == [0, 0]


def test_a_single_level_is_not_estimable():
    frame = pd.DataFrame({"a": ["x"] * 5, "y": [1.0, 2.0, 3.0, 4.0, 6.0]})
    table = pandas_record(frame, "y", ["a"]).get_one_way("a")
    assert table.iloc[0].df == 0 and table.iloc[0].note == "not estimable"
    assert np.isnan(table.iloc[0].F)
    assert table.loc["Residual", "df"] == 4
    np.testing.assert_allclose(table.loc["Residual", "sum_sq"], np.var([1, 2, 3, 4, 6]) * 5)


# Kidney-failure data (days of hospital stay by duration of treatment and weight gain), 2 x 3,
# ten patients per cell; response log(days + 1). Rows in cell order Duration 1..2, Weight 1..3.
KIDNEY_DAYS = [
    0, 2, 1, 3, 0, 2, 0, 5, 6, 8, 2, 4, 7, 12, 15, 4, 3, 1, 5, 20, 15, 10, 8, 5, 25, 16, 7, 30, 3,
    27, 0, 1, 1, 0, 4, 2, 7, 4, 0, 3, 5, 3, 2, 0, 1, 1, 3, 6, 7, 9, 10, 8, 12, 3, 7, 15, 4, 9, 6,
    1,
]


def kidney():
    duration = np.repeat([1, 2], 30)
    weight = np.tile(np.repeat([1, 2, 3], 10), 2)
    days = np.array(KIDNEY_DAYS, dtype=float)
    return pd.DataFrame({"Duration": duration, "Weight": weight, "y": np.log(days + 1)})


# R's output for lm(log(Days + 1) ~ Duration * Weight) with sum contrasts, as published with
# statsmodels' tests: anova() (Type I) on the balanced data, car::Anova(type = "II") and
# car::Anova(type = "III") after dropping the first three rows. Rows Duration, Weight,
# Duration:Weight, Residuals; columns Sum Sq, Df, F value, Pr(>F).
R_KIDNEY = {
    ("balanced", 1): ([2.339693, 16.97129, 0.6356584, 28.9892], [1, 2, 2, 54],
                      [4.358293, 15.80674, 0.5920404], [0.0415617, 3.944502e-06, 0.5567479]),
    ("unbalanced", 2): ([3.067066, 13.27205, 0.1905093, 27.60181], [1, 2, 2, 51],
                        [5.667033, 12.26141, 0.1760025], [0.02106078, 4.487909e-05, 0.8391231]),
    ("unbalanced", 3): ([2.904723, 13.45718, 0.1905093, 27.60181], [1, 2, 2, 51],
                        [5.367071, 12.43245, 0.1760025], [0.02457384, 3.999431e-05, 0.8391231]),
}


@pytest.mark.parametrize("design,typ,published", [
    ("balanced", 1, ("balanced", 1)),
    ("balanced", 2, ("balanced", 1)),  # balanced: all three types coincide
    ("balanced", 3, ("balanced", 1)),
    ("unbalanced", 2, ("unbalanced", 2)),
    ("unbalanced", 3, ("unbalanced", 3)),
])
def test_kidney_data_against_r(design, typ, published):
    frame = kidney() if design == "balanced" else kidney().drop([0, 1, 2])
    table = pandas_record(frame, "y", pairs=[("Duration", "Weight")]).get_two_way(
        "Duration", "Weight", typ=typ)
    sum_sq, df, f_value, p_value = R_KIDNEY[published]
    np.testing.assert_array_equal(table.df.to_numpy(), df)
    np.testing.assert_allclose(table.sum_sq.to_numpy(), sum_sq, rtol=5e-7)
    np.testing.assert_allclose(table.F.to_numpy()[:3], f_value, rtol=5e-7)
    np.testing.assert_allclose(table.p_value.to_numpy()[:3], p_value, rtol=5e-7)


def test_kidney_unbalanced_type_one_is_sequential():
    frame = kidney().drop([0, 1, 2])
    record = pandas_record(frame, "y", pairs=[("Duration", "Weight"), ("Weight", "Duration")])
    first = record.get_two_way("Duration", "Weight", typ=1)
    second = record.get_two_way("Weight", "Duration", typ=1)
    type_two = record.get_two_way("Duration", "Weight", typ=2)
    # The term entered last has its Type II sum of squares; the first one differs.
    np.testing.assert_allclose(first.loc["Weight", "sum_sq"], 13.27205, rtol=5e-7)
    np.testing.assert_allclose(second.loc["Duration", "sum_sq"], 3.067066, rtol=5e-7)
    assert abs(first.loc["Duration", "sum_sq"] - type_two.loc["Duration", "sum_sq"]) > 1e-3
    expected = _oracle_two_way(frame.rename(columns={"Duration": "a", "Weight": "b"}), 1)
    np.testing.assert_allclose(first.sum_sq.to_numpy(), expected.sum_sq.to_numpy(), rtol=RTOL)


def test_well_conditioned_data_raise_no_precision_warning():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        record = pandas_record(make_data("nulls"), "y", ["a", "b"], [("a", "b")])
    assert record.imprecise_tests == []


def _thin(frame, seed=11):
    """Drop whole cells at random, keeping at least one cell per level."""
    rng = np.random.RandomState(seed)
    cells = frame.groupby(["a", "b"]).size().index.tolist()
    drop = [c for c in cells if rng.rand() < 0.35]
    kept = frame[~frame.set_index(["a", "b"]).index.isin(drop)]
    assert kept.a.nunique() == frame.a.nunique() and kept.b.nunique() == frame.b.nunique()
    return kept


@pytest.mark.parametrize("frame", [
    make_data("balanced"), make_data("unbalanced"), make_data("empty_cell"),
    _thin(make_data("unbalanced", seed=5)), _nested(),
], ids=["balanced", "unbalanced", "empty-cell", "thinned", "nested"])
def test_type_three_marginal_constraints_equal_the_model_comparison(frame):
    model = pandas_record(frame, "y", pairs=[("a", "b")])._two_way[("a", "b")]
    fast = model.effects(3)
    for effect, reduced in [(fast[0], "1BI"), (fast[1], "1AI")]:
        ss, df = model._effect(reduced, "1ABI")
        assert effect[1] == df
        np.testing.assert_allclose(effect[0], ss, rtol=1e-9, atol=1e-12)
