"""The one-scan plan where its cells lie far apart or far from the measure's shift, on integers
and decimals beyond double precision, and on values near the largest double: against a two-pass
pandas computation or exact rational arithmetic."""
import math
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

from Tarnwick.bi.common.anova import OVERFLOW
from Tarnwick.bi.stats import onescan

RTOL = 1e-9


# -- cells far apart -------------------------------------------------------------------------

def _far_frame(spread, order, seed=5):
    """Three two-level dimensions, 500 rows a cell of sd 1 around spread·[a=a1] + [b=b1] +
    0.5·[c=c1]; shuffled, or sorted so that the first rows are all of level a1."""
    rng = np.random.RandomState(seed)
    parts = []
    for a in (0, 1):
        for b in (0, 1):
            for c in (0, 1):
                x = spread * a + b + 0.5 * c + rng.normal(0.0, 1.0, 500)
                parts.append(pd.DataFrame({"a": "a%d" % a, "b": "b%d" % b, "c": "c%d" % c, "x": x}))
    frame = pd.concat(parts, ignore_index=True)
    if order == "shuffled":
        return frame.sample(frac=1.0, random_state=seed).reset_index(drop=True)
    return frame.sort_values("a", ascending=False, kind="mergesort").reset_index(drop=True)


def _squared_deviations(frame, keys):
    """Two passes: the group means first, then each value's squared deviation from its own.
    (pandas' own grouped variance is one pass of running updates, itself off by about 1e-9
    at these means.)"""
    return (frame.x - frame.groupby(keys).x.transform("mean")) ** 2


def _within(frame, keys):
    return float(_squared_deviations(frame, keys).sum())


def _relative_errors(spark, frame, sample_rows=100, engine="spark"):
    """Relative errors of the one-scan one-way residual of a, the a × b residual and the level
    variances of a and b; the plan looks at only the first ``sample_rows`` rows. The embedded
    engine reads the pandas frame itself."""
    df = spark.createDataFrame(frame).repartition(3) if engine == "spark" else frame
    saved = onescan.SAMPLE_ROWS
    onescan.SAMPLE_ROWS = sample_rows
    try:
        result = onescan.one_scan_test_all(df, ["x"], ["a", "b", "c"])
    finally:
        onescan.SAMPLE_ROWS = saved
    got = [result.get_one_way("x", "a").loc["Residual", "sum_sq"],
           result.get_two_way("x", "a", "b").loc["Residual", "sum_sq"]]
    expected = [_within(frame, ["a"]), _within(frame, ["a", "b"])]
    for dimension in ("a", "b"):
        statistics = result["x"].level_statistics(dimension).set_index("level")
        grouped = _squared_deviations(frame, [dimension]).groupby(frame[dimension])
        variances = grouped.sum() / (grouped.count() - 1)
        got += [statistics.loc[level, "variance"] for level in variances.index]
        expected += list(variances)
    return np.abs(np.array(got) / np.array(expected) - 1.0)


@pytest.mark.parametrize("order", ["shuffled", "sorted"])
@pytest.mark.parametrize("spread", [1e8, 1e9])
def test_cells_far_apart_keep_every_digit(spark, spread, order):
    assert _relative_errors(spark, _far_frame(spread, order)).max() <= RTOL


@pytest.mark.parametrize("order", ["shuffled", "sorted"])
def test_a_centre_far_from_the_groups_is_caught_and_recentred(spark, monkeypatch, order):
    """The first pass centred on zero, 1e9 from half the cells: the check sends the merge
    round again and the tables come out as exact as ever."""
    monkeypatch.setattr(onescan, "_centre", lambda *parts: "0")
    assert _relative_errors(spark, _far_frame(1e9, order)).max() <= RTOL


@pytest.mark.parametrize("order", ["shuffled", "sorted"])
def test_the_raw_sum_merge_fails_these_tests(spark, monkeypatch, order):
    """Planted fault: the merge as Σ nᶜmᶜ² − (Σ nᶜmᶜ)²/n about zero, with no check."""
    monkeypatch.setattr(onescan, "_centre", lambda *parts: "0")
    monkeypatch.setattr(onescan, "MAX_CORRECTIONS", 0)
    assert _relative_errors(spark, _far_frame(1e9, order)).max() > RTOL


def _merged_level(spark, centre=None):
    """One level of two cells of 500 values, each with M2 500, their means 5e8 and 5e8 + 1
    while each cell's shift is 0: the level's sum of squared deviations."""
    names = onescan._Names(["a", "b"])
    cells = spark.createDataFrame(
        [("l", "p", 500, 500, 0.0, 5e8, 500.0), ("l", "q", 500, 500, 0.0, 5e8 + 1.0, 500.0)],
        [names.key(0), names.key(1), names.rows()]
        + [names.moment(what, 0) for what in ("n", "c", "w", "m2")])
    text = onescan.merge_query([names.key(0), names.key(1)], [names.flag(0), names.flag(1)],
                               names.rows(), 1, names.moment)
    marginals = onescan._Marginals(spark.sql(text, cells=cells).collect(), ["a", "b"],
                                   [onescan.Shift(0.0)])
    return marginals.table(0, ["a"]).sumsq_dev.iloc[0]


def test_a_level_of_two_cells_far_from_their_shift(spark, monkeypatch):
    assert _merged_level(spark) == 1250.0
    monkeypatch.setattr(onescan, "_centre", lambda *parts: "0")  # the raw-sum merge
    assert _merged_level(spark) != pytest.approx(1250.0, rel=1e-3)


@pytest.mark.parametrize("engine", ["spark", "embedded"])
@pytest.mark.parametrize("spread, one_pass", [(3.0, True), (1e4, False), (1e9, False)])
def test_the_merge_takes_centres_of_its_own_only_where_means_lie_far_from_the_shift(
        spark, monkeypatch, one_pass_kept, engine, spread, one_pass):
    """Cells merged in Spark (too many to collect) or by the embedded engine: the first merge
    is one pass, each group centred on the measure's shift, and it stands unless a group's
    mean lies so far from it that subtracting n·ō² could cost digits; then the merge runs
    again with centres of its own. At a spread of 1e4 stage 1 is exact enough, and only that
    check keeps the digits (without it the errors reach 3e-9); at 1e9 stage 1 runs again
    with a shift of each cell's own, and the one pass is not tried again."""
    monkeypatch.setattr(onescan, "COLLECTED_CELLS", 0)
    assert _relative_errors(spark, _far_frame(spread, "shuffled"), engine=engine).max() <= RTOL
    assert one_pass_kept == [one_pass]


# -- integers and decimals beyond double precision -------------------------------------------

def _exact_sums_of_squares(values, groups):
    """(within, total) sums of squares in exact rational arithmetic."""
    values = [Fraction(v) for v in values]
    mean = sum(values) / len(values)
    total = sum((v - mean) ** 2 for v in values)
    within = Fraction(0)
    for level in set(groups):
        part = [v for v, g in zip(values, groups) if g == level]
        part_mean = sum(part) / len(part)
        within += sum((v - part_mean) ** 2 for v in part)
    return float(within), float(total), float(mean)


WIDE = [
    ("bigint", [2 ** 63 - 1 - (i % 5) for i in range(60)]),
    ("decimal(38,2)", [Decimal("12000000000000000000.00") + Decimal(i % 7 * (i % 4)) / 100
                       for i in range(60)]),
    ("bigint", [-2 ** 63 + (i * i) % 11 for i in range(60)]),
]


@pytest.mark.parametrize("kind, values", WIDE)
def test_integers_and_decimals_keep_their_differences(spark, kind, values):
    groups = ["g%d" % (i % 3) for i in range(len(values))]
    df = spark.createDataFrame(list(zip(groups, values)), "g string, x %s" % kind)
    within, total, mean = _exact_sums_of_squares(values, groups)
    for known in (None, onescan.profile(df, ["x"], ["g"])):
        result = onescan.one_scan_test_all(df, ["x"], ["g"], profile=known)
        table = result.get_one_way("x", "g")
        assert table.loc["Residual", "sum_sq"] == pytest.approx(within, rel=RTOL)
        assert table.loc["Total", "sum_sq"] == pytest.approx(total, rel=RTOL)
        assert result["x"].mean == pytest.approx(mean, rel=1e-15)


@pytest.mark.parametrize("kind, values, as_they_are, shifted", [
    ("bigint", [2 ** 63 - 1 - (i % 5) for i in range(30)], True, False),
    ("bigint", [2 ** 53 - i for i in range(30)], False, False),
    ("bigint", [(-2 ** 63) * (i % 2) + i for i in range(30)], True, True),
    ("decimal(38,2)", [Decimal("12000000000000000000.01") + i for i in range(30)], True, False),
    ("decimal(10,2)", [Decimal("12345678.91") + i for i in range(30)], False, False),
    ("double", [1e300 + i for i in range(30)], False, False),
])
def test_the_profile_finds_measures_beyond_double_precision(spark, kind, values, as_they_are,
                                                            shifted):
    df = spark.createDataFrame([(v,) for v in values], "x %s" % kind)
    known = onescan.profile(df, ["x"], [])
    assert known.beyond_doubles(["x"], shifted=False) == (["x"] if as_they_are else [])
    assert known.beyond_doubles(["x"], shifted=True) == (["x"] if shifted else [])
    assert len(onescan.double_precision_notes(known, ["x"])) == as_they_are + shifted


# -- values near the largest double ----------------------------------------------------------

@pytest.mark.parametrize("values", [
    [1e308, 1.5e308, 1.2e308],
    [1.5e308, -1.5e308, 1e308],
    [1e200, 1e200, 1e200 * 3],
])
@pytest.mark.parametrize("rows", [30, 30000])  # counted on the driver, or aggregated
def test_sums_beyond_the_largest_double_end_in_the_note(spark, monkeypatch, values, rows):
    monkeypatch.setattr(onescan, "SAMPLE_ROWS", 1000)
    data = [("g%d" % (i % 3), "h%d" % (i % 2), values[i % len(values)] * (1 + i % 7 / 100.0))
            for i in range(rows)]
    df = spark.createDataFrame(data, "g string, h string, x double")
    known = onescan.profile(df, ["x"], ["g", "h"])
    for given in (None, known):
        result = onescan.one_scan_test_all(df, ["x"], ["g", "h"], profile=given)
        for table in (result.get_one_way("x", "g"), result.get_two_way("x", "g", "h")):
            assert (table.note == OVERFLOW).all() and table.sum_sq.isna().all()
    assert known.values["x"] == rows
    if rows < onescan.SAMPLE_ROWS:  # counted on the driver, to rounding and never overflowing
        assert math.isfinite(known.means["x"])
