"""The one-scan run's checks from its tables' query: counts, notes and errors on data whose
first rows mislead, the number of Spark SQL executions of a default run, and the cache.

Each run goes through ``Tarnwick.cli.main`` in this process (joining the test session's Spark),
with the plan's look at the first rows cut to a few rows, so that small files mislead it as a
large one would. The oracle is pandas over the same rows and the per-test plan, whose checks
count every dimension's levels exactly in an aggregation of their own.
"""
import json
import re

import numpy as np
import pandas as pd
import pytest

from support.queries import sql_queries
from Tarnwick.bi.stats import onescan
from Tarnwick.cli import main, prepare

FIRST = 50  # rows the plan looks at first, in these tests: more than --max-levels
ROWS = 600


def _misleading(rows=ROWS, seed=11):
    """Dimensions a (3 levels), b (4), late (3 levels in the first rows, hundreds later), ids
    (one level per row); measures y, early_gap (no value in the first rows) and empty (none at
    all, and one infinite value: still no value)."""
    rng = np.random.RandomState(seed)
    a = rng.choice(["n", "s", "e"], size=rows)
    b = rng.choice(["p", "q", "r", "t"], size=rows)
    late = np.where(np.arange(rows) < FIRST, rng.choice(["x0", "x1", "x2"], size=rows),
                    np.array(["l%d" % (i % 250) for i in range(rows)]))
    y = 5.0 + (a == "s") * 1.5 - (b == "q") * 0.7 + rng.normal(0.0, 1.0, rows)
    early_gap = np.where(np.arange(rows) < FIRST, np.nan, y * 2 + rng.normal(0.0, 0.5, rows))
    empty = np.full(rows, np.nan)
    empty[rows // 2] = np.inf
    return pd.DataFrame({"a": a, "late": late, "ids": ["i%04d" % i for i in range(rows)],
                         "b": b, "y": np.round(y, 6), "early_gap": np.round(early_gap, 6),
                         "empty": empty})


def _parquet(spark, frame, path):
    """``frame`` as one Parquet file, its rows in order (the first rows are the point)."""
    spark.createDataFrame(frame).coalesce(1).write.parquet(path)
    return path


@pytest.fixture(scope="module")
def misleading(tmp_path_factory, spark):
    frame = _misleading()
    path = str(tmp_path_factory.mktemp("misleading") / "data.parquet")
    return _parquet(spark, frame, path), frame


@pytest.fixture
def short_look(monkeypatch):
    monkeypatch.setattr(onescan, "SAMPLE_ROWS", FIRST)


def _run(capsys, argv):
    status = main(argv + ["--json"])
    captured = capsys.readouterr()
    notes = re.findall(r"note: (.*)", captured.err)
    return status, captured.out, captured.err, notes


def _tables(out):
    """Every table of the JSON output, by its place in it, as numbers."""
    document = json.loads(out)
    document.pop("run", None)
    return document


def _bound(rows, max_levels=40):
    return min(max_levels, int(round(rows ** 0.35)))


ENGINES = ["spark", "embedded"]


@pytest.mark.parametrize("engine", ENGINES)
def test_misleading_first_rows_give_the_per_test_selection_and_tables(
        engine, misleading, short_look, capsys, spark):
    path, frame = misleading
    status, out, err, notes = _run(capsys, [path, "--engine", engine])
    assert status == 0, err
    status, reference, err, reference_notes = _run(capsys, [path, "--plan", "per-test"])
    assert status == 0, err
    new, old = _tables(out), _tables(reference)
    # The same measures, dimensions, levels and tables as the per-test plan's exact checks.
    header = json.loads(out)["run"]
    expected_levels = {d: int(frame[d].nunique(dropna=False)) for d in ("a", "b")}
    assert header["dimensions"] == ["a", "b"] and header["levels"] == expected_levels
    assert header["measures"] == ["y", "early_gap"] and header["rows"] == ROWS
    _assert_close(new, old)
    bound = _bound(ROWS)
    late = int(frame["late"].nunique())
    # Notes: the empty measure left out; the late dimension with its exact count, the one with
    # a level per row said to be over the bound without a count; the infinity counted.
    assert "infinite values treated as missing: empty (1)" in notes
    assert "left out measures with no value: empty" in notes
    assert ("not tested, more levels than the bound of %d: late (%d), ids (more than 40)"
            % (bound, late)) in notes
    assert ("not tested, more levels than the bound of %d: late (%d), ids (%d)"
            % (bound, late, ROWS)) in reference_notes
    assert len(notes) == len(reference_notes)


def _assert_close(new, old):
    """Two JSON documents with the same structure and numbers equal to 1e-9 relative."""
    if isinstance(old, dict):
        assert set(new) == set(old)
        for key in old:
            _assert_close(new[key], old[key])
    elif isinstance(old, list):
        assert len(new) == len(old)
        for a, b in zip(new, old):
            _assert_close(a, b)
    elif isinstance(old, float):
        assert new == pytest.approx(old, rel=1e-9, abs=1e-9, nan_ok=True)
    else:
        assert new == old


@pytest.mark.parametrize("engine", ENGINES)
def test_a_named_dimension_far_over_the_bound_has_its_exact_count(
        engine, misleading, short_look, capsys, spark):
    path, frame = misleading
    status, out, err, notes = _run(capsys, [path, "--engine", engine, "-m", "y", "-d", "a,ids"])
    assert status == 0, err
    header = json.loads(out)["run"]
    assert header["dimensions"] == ["a", "ids"] and header["levels"]["ids"] == ROWS
    assert notes == ["tested as named although above the automatic level bound of %d: ids (%d "
                     "levels)" % (_bound(ROWS), ROWS)]


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("argv, message", [
    (["-m", "empty", "-d", "a"],
     "measure 'empty' has no value (every row is null, NaN or infinite); leave it out"),
    # Every dimension has more than 2 levels in the first rows already: none is counted.
    (["-m", "y", "--max-levels", "2"],
     "no dimension left after the level cap: a (more than 2 levels), late (more than 2 levels), "
     "ids (more than 2 levels), b (more than 2 levels); the bound is 2: the smaller of "
     "--max-levels 2 and round(rows ** 0.35) = 9 for 600 rows"),
])
def test_errors_from_the_counts_come_before_any_table(
        engine, argv, message, misleading, short_look, capsys, spark):
    path, frame = misleading
    status = main([path, "--engine", engine] + argv)
    captured = capsys.readouterr()
    assert status != 0 and captured.out == ""
    assert message in captured.err
    # The per-test plan's exact checks refuse the same input with the same status.
    assert main([path, "--plan", "per-test"] + argv) == status
    capsys.readouterr()


def test_a_default_run_is_two_sql_executions_after_reading(tmp_path, spark, capsys):
    """The first rows and the tables' query: no distinct counts, no profile of its own."""
    from Tarnwick.cli import reader

    path = _parquet(spark, _misleading().drop(columns=["late", "ids", "empty"]),
                    str(tmp_path / "data.parquet"))
    before = len(sql_queries(spark))
    reader.read_file(spark, path, "parquet")
    reading = len(sql_queries(spark)) - before
    before = len(sql_queries(spark))
    status, out, err, _ = _run(capsys, [path, "--engine", "spark"])
    assert status == 0, err
    assert len(sql_queries(spark)) - before - reading == 2
    assert json.loads(out)["run"]["dimensions"] == ["a", "b"]


@pytest.mark.parametrize("argv, cached", [
    ([], False), (["--cache"], True), (["--plan", "per-test"], True),
    (["--plan", "per-test", "--no-cache"], False),
])
def test_only_the_per_test_plan_caches_by_default(argv, cached, misleading, spark, capsys,
                                                  monkeypatch):
    path, _ = misleading
    calls = []
    original = prepare.SparkFrames.cache

    def recording(self, frame):
        calls.append(frame)
        return original(self, frame)

    monkeypatch.setattr(prepare.SparkFrames, "cache", recording)
    status, _, err, _ = _run(capsys, [path, "--engine", "spark", "-m", "y", "-d", "a"] + argv)
    assert status == 0, err
    assert len(calls) == (1 if cached else 0)
