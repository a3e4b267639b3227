"""The one-scan plan on the embedded engine against the same plan on Spark: the same records,
counts exactly and numbers to 1e-9, from a pandas frame, a file and an embedded frame."""
import warnings
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest

from test_nist_spark import AVERAGE, HIGHER, LOWER, digits, read_nist
from test_one_scan import (
    CASES, _assert_same_results, _assert_sumsq_dev, _higher_difficulty_ok, _scenario, _sorted,
    _spark_frame,
)
from Tarnwick.bi.embedded import reader, tables
from Tarnwick.bi.stats import onescan


def _both(spark_data, embedded_data, *args, **kwargs):
    with warnings.catch_warnings(record=True) as spark_warnings:
        warnings.simplefilter("always")
        on_spark = onescan.one_scan_test_all(spark_data, *args, **kwargs)
    with warnings.catch_warnings(record=True) as embedded_warnings:
        warnings.simplefilter("always")
        embedded = onescan.one_scan_test_all(embedded_data, *args, **kwargs)
    def said(caught):
        return [(w.category, str(w.message)) for w in caught
                if issubclass(w.category, UserWarning)]

    assert said(embedded_warnings) == said(spark_warnings)
    return on_spark, embedded


@pytest.mark.parametrize("kind, partitions, measures, dimensions, cap, over", CASES)
def test_a_pandas_frame_gives_what_spark_gives(spark, kind, partitions, measures, dimensions,
                                               cap, over):
    pdf = _scenario(kind)
    on_spark, embedded = _both(_spark_frame(spark, pdf, partitions), pdf, measures, dimensions,
                               cap)
    _assert_same_results(on_spark, embedded, pdf, added=())


@pytest.mark.parametrize("sample_rows, with_profile", [(10000, False), (10000, True), (5, True)])
def test_against_and_the_profile_agree_across_engines(spark, monkeypatch, sample_rows,
                                                      with_profile):
    """The profile counted from the first rows or by one aggregation, then the plan on it."""
    monkeypatch.setattr(onescan, "SAMPLE_ROWS", sample_rows)
    pdf = _scenario("nan_laden")
    sdf = _spark_frame(spark, pdf, 2)
    known = [onescan.profile(data, ["y", "z"], ["a", "b", "c"]) for data in (sdf, pdf)]
    for field in ("rows", "values", "infinities", "levels", "lows", "highs", "exact"):
        assert getattr(known[1], field) == getattr(known[0], field), field
    np.testing.assert_allclose([known[1].means[m] for m in "yz"],
                               [known[0].means[m] for m in "yz"], rtol=1e-12)
    runs = [onescan.one_scan_test_against(data, ["z", "y"], ["c", "a"],
                                          profile=k if with_profile else None)
            for data, k in zip((sdf, pdf), known)]
    _assert_same_results(runs[0], runs[1], pdf, added=())


def test_hostile_names_and_the_default_columns(spark):
    names = ["_tw0_d0", "a.b", 'x"y', "m0_n", "größe", "it's"]
    rows = [("p" if i % 2 else "q", "r%d" % (i % 3), float(i % 5), float(i) / 7, "s%d" % (i % 2),
             i * 3) for i in range(40)]
    pdf = pd.DataFrame(rows, columns=names)
    sdf = spark.createDataFrame(rows, "`_tw0_d0` string, `a.b` string, `x\"y` double, "
                                      "m0_n double, `größe` string, `it's` bigint")
    _assert_same_results(*_both(sdf, pdf, ['x"y', "m0_n", "it's"], ["_tw0_d0", "a.b", "größe"]),
                         pdf, added=())
    # Defaults: "a.b" left out with the same warning on both engines.
    on_spark, embedded = _both(sdf, pdf)
    assert embedded["m0_n"].dimensions == ["_tw0_d0", "größe"]
    _assert_same_results(on_spark, embedded, pdf, added=())


def test_a_file_and_an_embedded_frame(spark, tmp_path):
    pdf = _scenario("nan_laden")
    path = str(tmp_path / "scenario.parquet")
    import duckdb

    connection = duckdb.connect()
    connection.register("scenario", pdf)
    connection.execute("COPY scenario TO '%s' (FORMAT PARQUET)" % path.replace("'", "''"))
    on_spark = onescan.one_scan_test_all(spark.read.parquet(path), ["y", "z"], ["a", "b"])
    for data in (path, reader.read_file(path, "parquet")):
        _assert_same_results(on_spark, onescan.one_scan_test_all(data, ["y", "z"], ["a", "b"]),
                             pdf, added=())


@pytest.mark.parametrize("name", LOWER + AVERAGE + HIGHER)
def test_nist_sets_on_the_embedded_engine(name):
    """The certified sums of squares and F, not Spark, as the oracle; the digits asked of the
    Spark plan."""
    certified, rows = read_nist(name)
    pdf = pd.DataFrame(rows, columns=["grp", "y"])
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        table = onescan.one_scan_test_against(pdf, ["y"], ["grp"]).get_one_way("y", "grp")
    found = (table.sum_sq["grp"], table.sum_sq["Residual"], table.F["grp"])
    agreement = [digits(f, c) for f, c in zip(found, certified)]
    if name in HIGHER:
        assert _higher_difficulty_ok(agreement), agreement
    else:
        assert min(agreement) >= (12 if name in LOWER else 9), agreement


def test_integers_beyond_double_precision_are_shifted_exactly():
    """Values 2**62 + small steps: only an exact shift keeps their differences."""
    base = 2 ** 62
    steps = {"p": [0, 2, 4, 6], "q": [10, 12, 14, 16]}
    pdf = pd.DataFrame([(g, base + s) for g, values in steps.items() for s in values],
                       columns=["g", "x"])
    table = onescan.one_scan_test_all(pdf, ["x"], ["g"]).get_one_way("x", "g")
    within = sum(sum((s - np.mean(v)) ** 2 for s in v) for v in steps.values())
    assert table.loc["Residual", "sum_sq"] == pytest.approx(within, rel=1e-12)
    between = sum(len(v) * (np.mean(v) - 8.0) ** 2 for v in steps.values())
    assert table.loc["g", "sum_sq"] == pytest.approx(between, rel=1e-12)


def test_decimal_measures_keep_their_scale(tmp_path):
    """A decimal(38,10) column read from Parquet: the same tables as the same values as
    floats, far from zero by exact decimals."""
    step = Decimal("1e-10")
    values = [Decimal("123456789012.0000000001") + (Decimal(i) / 7).quantize(step)
              for i in range(12)]
    groups = ["a", "b", "c"] * 4
    import duckdb

    path = str(tmp_path / "wide.parquet")
    connection = duckdb.connect()
    connection.execute("CREATE TABLE t (g VARCHAR, x DECIMAL(38,10))")
    connection.executemany("INSERT INTO t VALUES (?, CAST(? AS DECIMAL(38,10)))",
                           [(g, str(v)) for g, v in zip(groups, values)])
    connection.execute("COPY t TO '%s' (FORMAT PARQUET)" % path.replace("'", "''"))
    frame = reader.read_file(path, "parquet")
    assert tables.EmbeddedScan(frame).exact_types(["x"]) == {"x": (38, 10)}
    table = onescan.one_scan_test_all(frame, ["x"], ["g"]).get_one_way("x", "g")
    offsets = pd.DataFrame({"g": groups, "x": [float(v - values[0]) for v in values]})
    expected = onescan.one_scan_test_all(offsets, ["x"], ["g"]).get_one_way("x", "g")
    np.testing.assert_allclose(table.sum_sq.to_numpy(), expected.sum_sq.to_numpy(), rtol=1e-9)


def test_stage_two_reruns_on_the_kept_cells(monkeypatch):
    """A centre far from its groups is recentred: stage 1 runs once, stage 2 again."""
    pdf = _scenario("unbalanced")
    monkeypatch.setattr(onescan, "_centre", lambda *parts: "0")  # a centre of 0: far away
    made = []
    cells = tables.EmbeddedScan._cells
    monkeypatch.setattr(tables.EmbeddedScan, "_cells",
                        lambda self, *a: made.append(1) or cells(self, *a))
    result = onescan.one_scan_test_all(pdf, ["z"], ["a", "b"])
    assert made == [1]
    record = result["z"]
    _assert_sumsq_dev(_sorted(record.tables[2][2], ["level1", "level2"]), pdf, "z", ["a", "b"],
                      ["level1", "level2"])


def _stage1_passes(monkeypatch):
    """The list that each stage-1 pass of the embedded engine appends whether it counted
    infinities to."""
    made = []
    stage1 = tables.EmbeddedScan._stage1
    monkeypatch.setattr(tables.EmbeddedScan, "_stage1",
                        lambda self, *a, count_infinite: made.append(count_infinite)
                        or stage1(self, *a, count_infinite=count_infinite))
    return made


@pytest.mark.parametrize("kind, passes", [("unbalanced", [False]),
                                           ("nan_laden", [False, True])])
def test_infinities_are_counted_only_where_a_cell_shows_one(monkeypatch, kind, passes):
    """Stage 1 first runs without counting infinities; only a frame with one runs it again."""
    pdf = _scenario(kind)
    pdf["n"] = np.arange(len(pdf))  # an integer measure: its ends are never infinite
    made = _stage1_passes(monkeypatch)
    result = onescan.one_scan_test_all(pdf, ["y", "n"], ["a", "b"])
    assert made == passes
    assert result["y"].tables


def test_a_nan_that_reaches_stage_one_is_missing_after_the_rerun(monkeypatch, tmp_path):
    """A Parquet file's NaN reaches stage 1 as NaN (a pandas frame's comes as null): the first
    pass sees a NaN mean, runs again counting, and the tables are the pandas frame's."""
    import duckdb

    pdf = _scenario("unbalanced")
    pdf.loc[::7, "y"] = np.nan
    path = str(tmp_path / "nan.parquet")
    connection = duckdb.connect()
    connection.execute("CREATE TABLE t (a VARCHAR, b VARCHAR, y DOUBLE)")
    connection.executemany("INSERT INTO t VALUES (?, ?, CAST(? AS DOUBLE))",
                           [(a, b, "nan" if np.isnan(y) else repr(y))
                            for a, b, y in zip(pdf.a, pdf.b, pdf.y)])
    assert connection.execute("SELECT COUNT(*) FROM t WHERE isnan(y)").fetchone()[0] > 0
    connection.execute("COPY t TO '%s' (FORMAT PARQUET)" % path.replace("'", "''"))
    made = _stage1_passes(monkeypatch)
    from_file = onescan.one_scan_test_all(reader.read_file(path, "parquet"), ["y"], ["a", "b"])
    assert made == [False, True]
    from_pandas = onescan.one_scan_test_all(pdf[["a", "b", "y"]], ["y"], ["a", "b"])
    for dimension in ("a", "b"):
        np.testing.assert_allclose(from_file.get_one_way("y", dimension).sum_sq.to_numpy(),
                                   from_pandas.get_one_way("y", dimension).sum_sq.to_numpy(),
                                   rtol=1e-12)


def _same_table(spark_table, embedded_table):
    a, b = spark_table.sort_index(), embedded_table.sort_index()
    assert list(a.index) == list(b.index)
    for column in a.columns:
        if a[column].dtype.kind in "fi":
            np.testing.assert_allclose(b[column].to_numpy(float), a[column].to_numpy(float),
                                       rtol=1e-9, atol=1e-12, equal_nan=True)
        else:
            assert b[column].tolist() == a[column].tolist()


def test_the_result_objects_read_either_engines_frame_again(spark):
    """Records made on Spark by the analyser (no sumsq_dev: Games–Howell and Welch read the
    frame), large values with little spread (marked imprecise: refine reads it too)."""
    from Tarnwick.bi.common import DataFrameHelper, anova
    from Tarnwick.bi.stats.factorpair import TwoWayAnova

    rng = np.random.RandomState(3)
    pdf = pd.DataFrame({"g": rng.choice(["p", "q", "r"], 90), "h": rng.choice(["u", "v"], 90)})
    pdf["x"] = 1e9 + rng.normal(0.0, 1e-3, 90) + (pdf.g == "q") * 2e-3
    pdf["y"] = 50.0 + rng.normal(0.0, 1.0 + (pdf.h == "u"), 90)  # well conditioned
    pdf.loc[4, "x"] = pdf.loc[7, "y"] = np.nan
    sdf = spark.createDataFrame(pdf.astype(object).where(pdf.notna(), None),
                                "g string, h string, x double, y double")

    def analysed():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", anova.ImpreciseTableWarning)
            return TwoWayAnova(sdf, DataFrameHelper(sdf)).test_all(["x", "y"], ["g", "h"])

    results = [analysed(), analysed()]
    assert results[0].imprecise_tests
    for name, call in [
        ("welch", lambda r, data: r.welch("y", "g", data_frame=data)),
        ("levene", lambda r, data: r.levene("y", "g", data)),
        ("brown-forsythe", lambda r, data: r.levene("y", "h", data, center="median")),
        ("games-howell", lambda r, data: r.post_hoc("y", "g", method="games-howell",
                                                    data_frame=data)),
    ]:
        _same_table(call(results[0], sdf), call(results[1], pdf))
    assert results[0].refine(sdf) == results[1].refine(pdf) > 0
    for typ in (1, 2, 3):
        _same_table(results[0].get_two_way("x", "g", "h", typ=typ).iloc[:, :6],
                    results[1].get_two_way("x", "g", "h", typ=typ).iloc[:, :6])
