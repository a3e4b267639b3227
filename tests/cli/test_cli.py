"""The command line run as a user runs it, compared with the Python API on the same data."""
import json
import math
import os
import pty
import subprocess
import sys

import pandas as pd
import pytest

from cli_helpers import cli_env, run_cli
from Tarnwick.cli.present import format_number

PENGUIN_MEASURES = ["bill_length_mm", "bill_depth_mm", "flipper_length_mm", "body_mass_g"]
PENGUIN_DIMENSIONS = ["species", "island", "sex"]
PENGUIN_PAIRS = [("species", "island"), ("species", "sex"), ("island", "sex")]


def api_result(frame, measures=None, dimensions=None, max_num_levels=40):
    from Tarnwick.bi.common import DataFrameHelper
    from Tarnwick.bi.stats.factorpair import TwoWayAnova

    return TwoWayAnova(frame, DataFrameHelper(frame)).test_all(measures, dimensions, max_num_levels)


def close(a, b, rel=1e-9):
    if a is None or b is None:
        return a is None and b is None
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return math.isclose(a, b, rel_tol=rel, abs_tol=1e-9 * max(1.0, abs(a)))
    return a == b


def assert_same_tables(cli_results, api_results, rel=1e-9):
    """Every number of every table of the two ``to_dict`` structures agrees."""

    def walk(a, b, where):
        if isinstance(a, dict):
            assert set(a) == set(b), where
            for key in a:
                walk(a[key], b[key], where + "." + str(key))
        elif isinstance(a, list):
            assert len(a) == len(b), where
            for i, (x, y) in enumerate(zip(a, b)):
                walk(x, y, "%s[%d]" % (where, i))
        else:
            assert close(a, b, rel), "%s: %r != %r" % (where, a, b)

    walk(cli_results, api_results, "results")


def plain(structure):
    """The API's ``to_dict`` as the JSON output carries it: tuples as lists, keys as text, and
    NaN and the infinities (JSON has none) as null."""
    return json.loads(json.dumps(structure, default=str), parse_constant=lambda name: None)


@pytest.fixture(scope="module")
def penguins(spark):
    """The bundled data read by Spark's own CSV reader (independently of the command line)."""
    import Tarnwick

    path = os.path.join(os.path.dirname(Tarnwick.__file__), "data", "penguins.csv")
    return (
        spark.read.option("header", "true").option("inferSchema", "true")
        .option("nullValue", "NA").csv(path)
    )


@pytest.fixture(scope="module")
def penguins_api(penguins):
    return api_result(penguins, PENGUIN_MEASURES, PENGUIN_DIMENSIONS)


def test_embedded_default_prints_the_tables(penguins_api):
    completed = run_cli([])
    assert completed.returncode == 0, completed.stderr
    text = completed.stdout
    assert text.startswith("Two-way analysis of variance of bundled Palmer penguins data")
    assert "28 tests" in text and "Type II sums of squares" in text
    assert "[#" not in completed.stderr  # no progress bar when stderr is not a terminal
    for measure in PENGUIN_MEASURES:
        record = penguins_api[measure]
        block = text.split("\n" + measure + "   (n = ")[1]
        assert block.startswith("%d, mean = %.6g)" % (record.n, record.mean))
        for dimension in PENGUIN_DIMENSIONS:
            assert "One-way: %s\n" % dimension in block
        for dimension1, dimension2 in PENGUIN_PAIRS:
            assert "Two-way: %s x %s, Type II\n" % (dimension1, dimension2) in block
    # A few numbers as the host package computes them, in the printed form.
    one_way = penguins_api.get_one_way("bill_length_mm", "species")
    assert " %s " % format_number(one_way.loc["species", "sum_sq"]) in text
    assert " %s " % format_number(one_way.loc["species", "F"], 5) in text
    two_way = penguins_api.get_two_way("body_mass_g", "species", "sex", typ=2)
    assert " %s " % format_number(two_way.loc["sex", "sum_sq"]) in text
    assert " %s " % format_number(two_way.loc["species:sex", "F"], 5) in text
    # species x island has empty cells (Chinstrap and Gentoo each live on one island).
    assert "not estimable" in text
    assert "Summary: every effect, by p-value" in text


def _run_on_terminal(args):
    """Run the command line with stderr on a pseudo-terminal; returns (status, stdout, stderr)."""
    master, slave = pty.openpty()
    try:
        process = subprocess.Popen(
            [sys.executable, "-m", "Tarnwick"] + [str(a) for a in args],
            env=cli_env(), stdout=subprocess.PIPE, stderr=slave,
        )
        os.close(slave)
        chunks = []
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal closes when the process ends
                break
            if not chunk:
                break
            chunks.append(chunk)
        stdout = process.stdout.read().decode("utf-8")
        status = process.wait(timeout=240)
    finally:
        os.close(master)
    return status, stdout, b"".join(chunks).decode("utf-8", "replace")


def _read_api(spark, data_files):
    return spark.read.option("header", "true").option("inferSchema", "true").csv(str(data_files["csv"]))


@pytest.mark.parametrize("kind, plan", [("csv", "one-scan"), ("parquet", "per-test")])
def test_generated_file_matches_the_python_api(kind, plan, data_files, spark, tmp_path):
    args = [data_files[kind], "--json", "-t", "1", "--plan", plan]
    if kind == "csv":
        plot_dir = tmp_path / "plots"
        completed = run_cli(args + ["--plot", plot_dir])
        status, stdout, stderr = completed.returncode, completed.stdout, completed.stderr
        assert "[#" not in stderr  # not a terminal: no bar
        assert "wrote 6 interaction plots" in stderr
        written = sorted(os.listdir(str(plot_dir)))
        assert written == sorted(
            "interaction_%s__%s__%s.png" % (m, d1, d2)
            for m in ["y", "z"] for d1, d2 in [("a", "b"), ("a", "c"), ("b", "c")]
        )
        for name in written:
            assert (plot_dir / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        # stderr on a terminal: the progress bar shows, and erases itself at the end.
        status, stdout, stderr = _run_on_terminal(args)
        assert "\r[" in stderr
        assert "14/14 tests" in stderr and "elapsed" in stderr
        assert stderr.endswith("\r")
    assert status == 0, stderr
    document = json.loads(stdout)
    run = document["run"]
    assert (run["measures"], run["dimensions"], run["ss_type"]) == (["y", "z"], ["a", "b", "c"], 1)
    assert run["tests"] == 2 * (1 + 3 + 3)
    # Every test is there, in the order run, and agrees with the Python API to the last digits.
    for entry in document["results"]["measures"]:
        assert [t["dimension"] for t in entry["one_way"]] == ["a", "b", "c"]
        assert [(t["dimension1"], t["dimension2"]) for t in entry["two_way"]] == [("a", "b"), ("a", "c"), ("b", "c")]
    assert_same_tables(document["results"], plain(api_result(_read_api(spark, data_files)).to_dict()))
    summary = document["summary"]
    assert len(summary) == 2 * (3 + 3 * 3)
    p_values = [row["p_value"] for row in summary if row["p_value"] is not None]
    assert p_values == sorted(p_values)
    assert all(row["p_adjusted"] >= row["p_value"] for row in summary if row["p_value"] is not None)


def test_csv_output_is_one_table_of_every_row(data_files, spark, tmp_path):
    # Quiet on a terminal: no bar and no notes.
    target = tmp_path / "tables.csv"
    status, stdout, stderr = _run_on_terminal(
        [data_files["csv"], "--csv", "-o", target, "-m", "y", "-d", "a,b", "-t", "III", "-q"]
    )
    assert status == 0, stderr
    assert stderr == "" and stdout == ""
    table = pd.read_csv(str(target))
    assert list(table["test"]) == ["one-way"] * 6 + ["two-way"] * 4
    assert list(table["source"]) == ["a", "Residual", "Total", "b", "Residual", "Total", "a", "b", "a:b", "Residual"]
    expected = api_result(_read_api(spark, data_files), ["y"], ["a", "b"]).get_two_way("y", "a", "b", typ=3)
    two_way = table[table["test"] == "two-way"].set_index("source")
    assert (two_way["ss_type"] == 3).all()
    for source in ["a", "b", "a:b", "Residual"]:
        for column, api_column in [("sum_sq", "sum_sq"), ("df", "df"), ("F", "F"), ("effect_size", "partial_eta_sq")]:
            assert close(float(two_way.loc[source, column]), float(expected.loc[source, api_column])), (source, column)


@pytest.mark.filterwarnings("ignore:.*significant digits:RuntimeWarning")
@pytest.mark.parametrize("plan, refined", [("per-test", 3), ("one-scan", 0)])
def test_json_array_file_dotted_name_and_refined_precision(plan, refined, data_files, spark,
                                                           tmp_path):
    # One JSON document holding an array of records (not JSON Lines); a measure whose name has
    # a dot, which Spark would otherwise read as a struct field; and a measure whose spread is
    # tiny beside its size, so that the raw sums lose every digit of the residual and the
    # command line recomputes those tests from Spark's central moments. The one-scan plan
    # keeps central moments from the start: nothing to recompute, the same numbers.
    frame = data_files["frame"][["a", "b", "y"]].rename(columns={"y": "y.value"})
    frame["big"] = 1e6 + 0.01 * frame["y.value"]
    path = tmp_path / "records.json"
    path.write_text(frame.to_json(orient="records", double_precision=15))
    completed = run_cli([path, "--json", "--plan", plan])
    assert completed.returncode == 0, completed.stderr
    assert ("recomputed from Spark's central moments" in completed.stderr) is (refined > 0)
    document = json.loads(completed.stdout)
    assert document["run"]["measures"] == ["big", "y.value"]  # shown as the data names it
    assert document["run"]["dimensions"] == ["a", "b"]
    assert document["run"]["refined_tests"] == refined  # per test: big's a, b and a x b
    expected = spark.read.json(str(path), multiLine=True).withColumnRenamed("y.value", "y_value")
    api = api_result(expected)
    assert api.imprecise_tests and api.refine(expected) == 3
    reference = plain(api.to_dict())
    for record in reference["measures"]:
        record["measure"] = {"y_value": "y.value"}.get(record["measure"], record["measure"])
    assert_same_tables(document["results"], reference, rel=1e-7)
