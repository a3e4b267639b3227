"""The one-scan batch plan against the analyser's own plan, NIST StRD and its query count."""
import math
import warnings

import numpy as np
import pandas as pd
import pytest

from support.queries import sql_plans, sql_queries as _sql_queries
from test_nist_spark import HIGHER, LOWER, AVERAGE, digits, read_nist
from Tarnwick.bi.common import DataFrameHelper, anova
from Tarnwick.bi.common.columns import fresh_prefix, may_pass_bound
from Tarnwick.bi.stats import onescan
from Tarnwick.bi.stats.factorpair import TwoWayAnova

RTOL = 1e-9


# -- data -----------------------------------------------------------------------------------

def _scenario(kind, seed=7):
    """A pandas frame of string dimensions and float measures; the kind says what is awkward."""
    rng = np.random.RandomState(seed)
    a_levels, b_levels, c_levels = ["a0", "a1", "a2"], ["b0", "b1", "b2", "b3"], ["c0", "c1"]
    rows = []
    for i, a in enumerate(a_levels):
        for j, b in enumerate(b_levels):
            size = 5 if kind == "balanced" else rng.randint(2, 9)
            if kind == "empty_cell" and (a, b) in (("a2", "b3"), ("a0", "b1")):
                size = 0
            for r in range(size):
                y = 50.0 + 0.8 * i - 0.5 * j + 0.3 * (i * j % 3) + rng.normal(0.0, 1.0)
                z = 1e6 + 0.01 * i + rng.normal(0.0, 0.05)
                rows.append((a, b, c_levels[r % 2], y, z))
    frame = pd.DataFrame(rows, columns=["a", "b", "c", "y", "z"])
    n = len(frame)
    if kind in ("null_level", "nan_laden"):
        for name in ("a", "b"):
            frame[name] = frame[name].astype(object)
            frame.loc[rng.rand(n) < 0.1, name] = None
    if kind == "nan_laden":
        frame.loc[rng.rand(n) < 0.1, "y"] = np.nan
        frame.loc[rng.rand(n) < 0.1, "z"] = None
        frame.loc[3, "y"] = np.inf
        frame.loc[5, "z"] = -np.inf
        # A level whose values of y are all missing while z has values there.
        extra = pd.DataFrame({"a": ["a9"] * 3, "b": ["b0", "b1", "b1"], "c": ["c0"] * 3,
                              "y": [np.nan, None, np.nan], "z": [1e6, 1e6 + 0.1, 1e6 - 0.2]})
        frame = pd.concat([frame, extra], ignore_index=True)
    return frame


SCHEMA = "a string, b string, c string, y double, z double"


def _missing(value):
    return value is None or (isinstance(value, float) and math.isnan(value))


def _spark_frame(spark, frame, partitions):
    """The frame in Spark: a missing level is null, y keeps NaN as NaN, z's NaN becomes null."""
    records = [tuple(None if _missing(v) and k != "y" else v for k, v in zip("abcyz", row))
               for row in frame.itertuples(index=False)]
    df = spark.createDataFrame(records, SCHEMA)
    return df.repartition(partitions) if partitions > 1 else df.coalesce(1)


def _cleaned(df):
    """The frame as the command line hands it to the analyser: NaN and infinities as null."""
    from pyspark.sql import functions as F

    cols = []
    for name in df.columns:
        c = F.col(name)
        if name in ("y", "z"):
            c = F.when(~F.isnan(c) & (F.abs(c) != float("inf")), c).alias(name)
        cols.append(c)
    return df.select(*cols)


# -- comparison -----------------------------------------------------------------------------

def _sorted(table, keys):
    order = table[keys].apply(lambda col: col.map(lambda v: "\x00" if v is None else str(v)))
    return table.iloc[np.lexsort([order[k].to_numpy() for k in reversed(keys)])]


def _close(a, b):
    a, b = np.asarray(a, dtype=float).ravel(), np.asarray(b, dtype=float).ravel()
    scale = np.nanmax(np.abs(np.concatenate([a, b, [1.0]])))
    np.testing.assert_allclose(a, b, rtol=RTOL, atol=RTOL * scale * 1e-3, equal_nan=True)


def _assert_same_results(old, new, pdf=None, added=("sumsq_dev",)):
    assert [name for name, _ in new.records] == [name for name, _ in old.records]
    for (_, r_old), (_, r_new) in zip(old.records, new.records):
        row_old, row_new = list(r_old.measure_row), list(r_new.measure_row)
        assert row_new[0] == row_old[0]
        _close([np.nan if v is None else v for v in row_new[1:]],
               [np.nan if v is None else v for v in row_old[1:]])
        assert [t[:2] for t in r_new.tables] == [t[:2] for t in r_old.tables]
        for (kind, dims, t_old), (_, _, t_new) in zip(r_old.tables, r_new.tables):
            assert list(t_new.columns) == list(t_old.columns) + list(added)
            assert list(t_new.dtypes[:len(t_old.columns)]) == list(t_old.dtypes)
            keys = list(t_old.columns[:len(dims)])
            a, b = _sorted(t_old, keys), _sorted(t_new, keys)
            assert a[keys].values.tolist() == b[keys].values.tolist()
            assert a.counts.tolist() == b.counts.tolist()
            for column in t_old.columns[len(dims) + 1:]:
                _close(b[column], a[column])
            if pdf is not None:
                _assert_sumsq_dev(b, pdf, r_new.measure, list(dims), keys)
        for d in r_old.dimensions:
            _close(r_new.get_one_way(d).iloc[:, :7], r_old.get_one_way(d).iloc[:, :7])
        for pair in r_old.pairs:
            for typ in (1, 2, 3):
                _close(r_new.get_two_way(*pair, typ=typ).iloc[:, :6],
                       r_old.get_two_way(*pair, typ=typ).iloc[:, :6])
        assert r_new.imprecise_tests == []


def _assert_sumsq_dev(table, pdf, measure, dims, keys):
    """sumsq_dev against pandas: Σ(x − group mean)² over the finite values of each group."""
    values = pdf[measure].where(np.isfinite(pdf[measure].astype(float)))
    grouped = pdf.assign(_v=values).groupby(dims, dropna=False)["_v"]
    expected = grouped.apply(lambda v: ((v.dropna() - v.dropna().mean()) ** 2).sum()
                             if v.notna().any() else np.nan)
    lookup = {(k if isinstance(k, tuple) else (k,)): v for k, v in expected.items()}
    def normal(value):
        return None if _missing(value) else value

    for _, row in table.iterrows():
        key = tuple(normal(row[k]) for k in keys)
        found = [v for k, v in lookup.items() if tuple(normal(x) for x in k) == key]
        assert len(found) == 1
        if row.counts == 0:
            assert math.isnan(row.sumsq_dev)
        else:
            assert row.sumsq_dev == pytest.approx(found[0], rel=1e-9, abs=1e-12)


# -- the two plans --------------------------------------------------------------------------

CASES = [
    # kind, partitions, measures, dimensions, max_num_levels, named dimensions over the bound
    ("balanced", 1, None, None, 40, []),
    ("empty_cell", 3, ["y"], ["a", "b"], 40, []),
    ("nan_laden", 3, ["z", "y"], ["a", "b"], 40, ["a", "b"]),  # null levels; y missing at a9
    ("unbalanced", 2, ["y"], ["b"], 40, []),  # one dimension
    ("unbalanced", 2, ["y", "y"], ["c", "c"], 40, []),  # repeats kept, as test_all keeps them
    ("unbalanced", 2, ["y"], None, 3, []),  # b (4 levels) over the bound of 3: left out
    ("unbalanced", 2, ["y"], ["b", "a", "c"], 3, ["b"]),  # named: tested all the same
]


def _reference(df, measures, dimensions, cap, over):
    """The analyser's tables: test_all, or for named dimensions over the bound test_all's loop
    with the analyser's own test_against (as the command line runs it)."""
    from Tarnwick.cli.analysis import test_as_selected

    analyser = TwoWayAnova(df, DataFrameHelper(df))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", anova.ImpreciseTableWarning)
        if not over:
            return analyser.test_all(measures, dimensions, cap)
        return test_as_selected(analyser, measures, dimensions, cap, lambda steps: None)


@pytest.fixture(scope="module")
def frames(spark):
    made = {}

    def get(kind, partitions):
        if (kind, partitions) not in made:
            pdf = _scenario(kind)
            df = _spark_frame(spark, pdf, partitions).cache()
            df.count()
            made[(kind, partitions)] = (pdf, df)
        return made[(kind, partitions)]

    yield get
    for _, df in made.values():
        df.unpersist()


@pytest.mark.parametrize("kind, partitions, measures, dimensions, cap, over", CASES)
def test_one_scan_files_what_test_all_files(frames, kind, partitions, measures, dimensions, cap,
                                            over):
    pdf, df = frames(kind, partitions)
    reference = _cleaned(df)
    old = _reference(reference, measures, dimensions, cap, over)
    old.refine(reference)  # z, near 10⁶, is too much for the raw sums of the per-test plan
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.simplefilter("error", anova.ImpreciseTableWarning)
        new = onescan.one_scan_test_all(df, measures, dimensions, cap)
    _assert_same_results(old, new, pdf)
    bound_warnings = [str(w.message) for w in caught
                      if issubclass(w.category, onescan.LevelBoundWarning)]
    if over:
        assert len(bound_warnings) == 1
        assert all("`%s` (" % d in bound_warnings[0] for d in over)
    else:
        assert bound_warnings == []
    if dimensions is None and cap == 3:
        assert new[new.measures[0]].dimensions == ["a", "c"]


def test_the_helper_profile_and_first_rows_paths_agree(frames):
    """With a helper or a profile the row and level counts are their exact ones; without, the
    tables' query gives them. The selection is the same."""
    _, df = frames("null_level", 4)
    steps = []
    plain = onescan.one_scan_test_all(df, ["y"], None, 4, progress=steps.append)
    helped = onescan.one_scan_test_all(df, ["y"], None, 4, helper=DataFrameHelper(df))
    known = onescan.profile(df, ["y"], ["a", "b", "c"])
    profiled = onescan.one_scan_test_all(df, ["y"], None, 4, profile=known)
    assert steps == ["profile", "tables-query", "tables"]
    # About 66 rows give the bound 4: a has 4 levels with its null (passes, <=), b 5, c 2.
    assert known.levels == {"a": 4, "b": 5, "c": 2}
    assert plain["y"].dimensions == helped["y"].dimensions == profiled["y"].dimensions == ["a", "c"]
    _assert_same_results(plain, helped, added=())
    _assert_same_results(plain, profiled, added=())
    with pytest.raises(ValueError, match="does not cover `z`"):
        onescan.one_scan_test_all(df, ["y", "z"], None, 4, profile=known)


@pytest.mark.parametrize("sample_rows", [5, 10000])  # counted by Spark, or on the driver
def test_profile_counts_what_pandas_counts(spark, monkeypatch, sample_rows):
    monkeypatch.setattr(onescan, "SAMPLE_ROWS", sample_rows)
    nan, inf = float("nan"), float("inf")
    rows = [("a", 1.0, 1.5, 2), ("b", nan, -inf, 2), (None, None, 3.0, None), ("a", inf, nan, 3),
            ("c", 4.0, 0.0, 3), (None, 2.0, -0.0, 2), ("b", 5.0, nan, None)]
    df = spark.createDataFrame(rows, "g string, y double, f double, k int").repartition(2)
    found = onescan.profile(df, ["y", "f", "y"], ["g", "f", "k"])
    pdf = pd.DataFrame(rows, columns=["g", "y", "f", "k"])
    assert found.rows == 7
    for m in ("y", "f"):
        finite = pdf[m][np.isfinite(pdf[m].astype(float))]
        assert found.values[m] == len(finite)
        assert found.infinities[m] == int(np.isinf(pdf[m].astype(float)).sum())
        assert found.means[m] == pytest.approx(finite.mean(), rel=1e-15)
    # A null is a level, every NaN is one level, and -0.0 is 0.0.
    assert found.levels == {"g": 4, "f": 5, "k": 3}


def test_a_dimension_far_over_the_bound_never_reaches_the_tables(spark):
    rows = [("k%d" % i, "g%d" % (i % 3), float(i % 7)) for i in range(300)]
    df = spark.createDataFrame(rows, "id string, g string, y double")
    record = onescan.one_scan_test_all(df)["y"]
    assert record.dimensions == ["g"] and record.pairs == []
    assert (record.n, record.mean, record.sum_sq) == (300, pytest.approx(
        np.mean([i % 7 for i in range(300)]), rel=1e-12), pytest.approx(
        sum(float(i % 7) ** 2 for i in range(300)), rel=1e-12))
    with pytest.raises(KeyError):
        record.get_one_way("id")


def _late_frame(spark, late):
    """300 rows in one partition whose first 20 rows mislead: ``late`` says how."""
    rows = []
    for i in range(300):
        early = i < 20
        tail = "t%d" % i if late == "levels" else "t%d" % (i % 2)
        y = None if late == "values" and early else 1e9 + (i % 3) * 0.25 + (i % 7) * 0.01
        rows.append(("g%d" % (i % 3), "t0" if early else tail, y))
    return spark.createDataFrame(rows, "g string, t string, y double").coalesce(1)


@pytest.mark.parametrize("late, cap, named, queries", [
    ("levels", 4, None, 4),  # t: 1 level first, 281 in all; the rows overflow, asked again
    ("levels", 4, ["t", "g"], 2),  # named: every level of t is wanted, none is a surprise
    ("levels", 40, None, 2),  # t's 281 levels fit in the rows the query may bring back
    ("values", 40, None, 3),  # y has no value first: its shift is the mean of every row
])
def test_first_rows_that_mislead_change_no_result(spark, monkeypatch, late, cap, named, queries):
    monkeypatch.setattr(onescan, "SAMPLE_ROWS", 20)
    df = _late_frame(spark, late)
    old = _reference(df, ["y"], named, cap, over=["t"] if named else [])
    old.refine(df)  # values near 10⁹: the raw sums of the per-test plan need it
    before = set(_sql_queries(spark))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", onescan.LevelBoundWarning)
        new = onescan.one_scan_test_all(df, ["y"], named, max_num_levels=cap)
    assert len(set(_sql_queries(spark)) - before) == queries
    _assert_same_results(old, new, df.toPandas())


def test_no_measures_and_an_empty_frame(spark):
    df = spark.createDataFrame([], SCHEMA)
    assert len(onescan.one_scan_test_all(df, [], ["a"])) == 0
    record = onescan.one_scan_test_all(df, ["y"], ["a", "b"])["y"]
    # An empty frame has the bound 0 and dimensions with 0 levels: they pass, with no rows.
    assert (record.n, record.dimensions) == (0, ["a", "b"])
    assert len(record.tables[0][2]) == 0 and list(record.tables[0][2].columns)[-1] == "sumsq_dev"


@pytest.mark.parametrize("taken, prefix", [([], "_tw0_"), (["_tw0_x", "y"], "_tw1_"),
                                           (["_tw0_", "_tw1_d0"], "_tw2_"), (["_tw0"], "_tw0_")])
def test_fresh_prefix(taken, prefix):
    assert fresh_prefix(taken) == prefix


@pytest.mark.parametrize("approximate, bound, passes", [(50, 20, True), (51, 20, False),
                                                        (10, 0, True), (11, 0, False)])
def test_only_counts_far_beyond_the_bound_rule_a_dimension_out(approximate, bound, passes):
    assert may_pass_bound(approximate, bound, 0.01) is passes


def test_data_names_are_only_names(spark):
    """Column names that look like SQL, or like the plan's own generated names."""
    names = ["_tw0_d0", "a.b", "x`y", "m0_n"]
    rows = [("p" if i % 2 else "q", "r%d" % (i % 3), float(i % 5), float(i) / 7) for i in range(40)]
    df = spark.createDataFrame(rows, ["_tw0_d0", "a.b", "x`y", "m0_n"])
    pdf = pd.DataFrame(rows, columns=names)
    # Named, as the default lists leave out the names the analyser itself would misread.
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing left out, nothing over the bound
        result = onescan.one_scan_test_all(df, ["x`y", "m0_n"], ["_tw0_d0", "a.b"])
    assert result.measures == ["x`y", "m0_n"]
    record = result["m0_n"]
    assert record.dimensions == ["_tw0_d0", "a.b"]
    _assert_sumsq_dev(_sorted(record.tables[2][2], ["level1", "level2"]), pdf, "m0_n",
                      ["_tw0_d0", "a.b"], ["level1", "level2"])


# -- numerics -------------------------------------------------------------------------------

def _nist(spark, name):
    certified, rows = read_nist(name)
    df = spark.createDataFrame(rows, "grp string, y double").coalesce(2)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = onescan.one_scan_test_against(df, ["y"], ["grp"])
    warned = [w for w in caught if issubclass(w.category, RuntimeWarning)]
    table = result.get_one_way("y", "grp")
    found = (table.sum_sq["grp"], table.sum_sq["Residual"], table.F["grp"])
    return [digits(f, c) for f, c in zip(found, certified)], warned, result


@pytest.mark.parametrize("name, needed", [(n, 12) for n in LOWER] + [(n, 9) for n in AVERAGE])
def test_nist_lower_and_average_difficulty(spark, name, needed):
    agreement, warned, result = _nist(spark, name)
    assert not warned and result.imprecise_tests == []
    assert min(agreement) >= needed


def _higher_difficulty_ok(agreement):
    between, within, f_value = agreement
    return within >= 4 and f_value >= 4 and between >= 3.9


@pytest.mark.parametrize("name", HIGHER)
def test_nist_higher_difficulty(spark, name):
    agreement, warned, result = _nist(spark, name)
    assert not warned and result.imprecise_tests == []
    assert _higher_difficulty_ok(agreement), agreement


def test_a_raw_sums_stage_one_fails_the_higher_difficulty_sets(spark, monkeypatch):
    """Planted fault: per cell Σx² − n·mean² on the values as they are (no shift)."""
    from pyspark.sql import functions as F

    def raw_moments(x, shift, n, centre, mean, m2):
        return [F.count(x).alias(n), F.lit(0.0).alias(centre), F.avg(x).alias(mean),
                F.coalesce(F.sum(x * x) - F.count(x) * F.avg(x) * F.avg(x), F.lit(0.0)).alias(m2)]

    monkeypatch.setattr(onescan, "_cell_moments", raw_moments)
    assert not _higher_difficulty_ok(_nist(spark, "SmLs09")[0])
    assert min(_nist(spark, "SmLs01")[0]) >= 9  # the planted stage still works on easy data


# -- Spark work -----------------------------------------------------------------------------

@pytest.mark.parametrize("helper", [False, True])
def test_a_run_is_two_spark_queries(frames, spark, helper):
    _, df = frames("unbalanced", 3)
    the_helper = DataFrameHelper(df) if helper else None
    if the_helper is not None:
        the_helper.get_num_rows()  # the helper's own profile, cached
    before = set(_sql_queries(spark))
    result = onescan.one_scan_test_all(df, ["y", "z"], ["a", "b", "c"], helper=the_helper)
    assert len(set(_sql_queries(spark)) - before) == 2
    assert len(result["z"].pairs) == 3


def test_the_tables_query_aggregates_the_rows_once(spark, tmp_path, monkeypatch):
    """Both passes of the centred merge in Spark (cells too many to collect, the one-pass
    merge refused) read the same cells: Spark computes them once and the second read reuses
    the first's shuffle instead of aggregating the rows again. The input is a file, as the
    command line reads it (over a cached frame Spark 4 plans each read of the cache as a
    stage of its own and shares nothing)."""
    monkeypatch.setattr(onescan, "COLLECTED_CELLS", 0)
    monkeypatch.setattr(onescan, "_centred_on_means", lambda *rows: None)
    path = str(tmp_path / "rows.parquet")
    _spark_frame(spark, _scenario("unbalanced"), 3).write.parquet(path)
    df = spark.read.parquet(path)
    before = set(sql_plans(spark))
    onescan.one_scan_test_all(df, ["y", "z"], ["a", "b", "c"])
    plans = {k: v for k, v in sql_plans(spark).items() if k not in before}
    tables = plans[max(plans)]  # the last: the tables' query (the first is the profile)
    assert "Expand" in tables and "ReusedExchange" in tables
