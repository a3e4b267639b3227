"""The counts the tables' query gives beside its tables agree with an exact profile of the data
(its own aggregation, distinct counts included), on Spark and on the embedded engine, also
where the first rows mislead."""
import numpy as np
import pandas as pd
import pytest

from Tarnwick.bi.stats import onescan

FIRST = 30


def _data(rows=400, seed=3):
    """Dimensions g (4 levels), late (2 levels in the first rows, 90 in all), wide (a level per
    row); measures x (float with NaN and infinities), k (integers near 2**62) and gap (no value
    in the first rows)."""
    rng = np.random.RandomState(seed)
    x = rng.normal(10.0, 2.0, rows)
    x[rng.rand(rows) < 0.05] = np.nan
    x[[7, 150, 151]] = [np.inf, -np.inf, np.inf]
    gap = np.where(np.arange(rows) < FIRST, np.nan, rng.normal(0.0, 1.0, rows))
    return pd.DataFrame({
        "g": rng.choice(["a", "b", "c", "d"], size=rows),
        "late": ["e%d" % (i % 2) if i < FIRST else "l%d" % (i % 90) for i in range(rows)],
        "wide": ["w%d" % i for i in range(rows)],
        "x": x, "k": 2 ** 62 - rng.randint(0, 1000, rows).astype(np.int64), "gap": gap})


@pytest.fixture(params=["spark", "embedded"])
def data(request, spark):
    frame = _data()
    if request.param == "spark":
        return spark.createDataFrame(frame).coalesce(1), frame
    return frame, frame


MEASURES, DIMENSIONS = ["x", "k", "gap"], ["g", "late", "wide"]


@pytest.mark.parametrize("named", [False, True])
def test_the_query_counts_as_the_exact_profile_does(data, named, monkeypatch):
    source, frame = data
    exact = onescan.profile(source, MEASURES, DIMENSIONS)
    monkeypatch.setattr(onescan, "SAMPLE_ROWS", FIRST)
    tables = onescan.one_scan_tables(source, MEASURES, DIMENSIONS, max_num_levels=20,
                                     named=named)
    counted = tables.profile
    assert counted.rows == exact.rows == len(frame)
    assert counted.values == exact.values
    assert counted.infinities == exact.infinities == {"x": 3, "k": 0, "gap": 0}
    assert counted.means == pytest.approx(exact.means, rel=1e-12)
    # The integers' ends exactly, as the notes on double precision need them.
    assert (counted.lows["k"], counted.highs["k"]) == (int(frame.k.min()), int(frame.k.max()))
    if named:  # every dimension in the query: every count exact
        assert counted.levels == exact.levels and tables.inexact == {}
    else:  # the one with a level per row stays out, said to be over max_num_levels
        assert tables.dimensions == ["g", "late"]
        assert {d: counted.levels[d] for d in ("g", "late")} == {"g": 4, "late": 92}
        assert tables.inexact == {"wide": "more than 20"} and counted.levels["wide"] > 20
    chosen = tables.dimensions[:2]
    result = tables.result(["x"], chosen)
    reference = onescan.one_scan_test_against(source, ["x"], chosen)
    pd.testing.assert_frame_equal(result.get_one_way("x", "g"), reference.get_one_way("x", "g"),
                                  check_exact=False, rtol=1e-9)


def test_a_result_only_for_dimensions_in_the_query(data, monkeypatch):
    source, _ = data
    monkeypatch.setattr(onescan, "SAMPLE_ROWS", FIRST)
    tables = onescan.one_scan_tables(source, ["x"], DIMENSIONS, max_num_levels=20)
    with pytest.raises(ValueError, match="wide"):
        tables.result(["x"], ["g", "wide"])
