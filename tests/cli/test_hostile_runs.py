"""Hostile files, names and values through whole runs of the command line.

The runs call ``Tarnwick.cli.main`` in this process: the command line joins the test session's
Spark (and leaves it running), so that each run costs its queries only.
"""
import csv
import io
import json
import math

import numpy as np
import pandas as pd
import pytest

from cli_helpers import said
from Tarnwick.bi.common.anova import OVERFLOW
from Tarnwick.cli import main, reader


def run(capsys, args):
    """(exit status, stdout, stderr lines) of an in-process run."""
    status = main([str(a) for a in args])
    captured = capsys.readouterr()
    return status, captured.out, said(captured.err)


def one_way(document, measure, dimension):
    record = next(m for m in document["results"]["measures"] if m["measure"] == measure)
    return next(t["table"] for t in record["one_way"] if t["dimension"] == dimension)


def write_csv(path, frame):
    frame.to_csv(str(path), index=False, na_rep="")
    return path


# -- names ---------------------------------------------------------------------------------------

HOSTILE = ["g.x", "`v`", "v", "*", "a,b", "Residual", "tick`in", "\x1b[31mred", "=1+2"]
SAFE = ["g_x", "bv", "v", "star", "ab", "Residual", "tick", "red", "formula"]


@pytest.fixture(scope="module")
def named_files(tmp_path_factory):
    rng = np.random.RandomState(3)
    rows = 90
    frame = pd.DataFrame({
        "g.x": rng.choice(["p", "q", "r"], rows),
        "`v`": np.round(rng.normal(10, 2, rows), 6),
        "v": np.round(rng.normal(-50, 1, rows), 6),  # the decoy that `v` must never be read as
        "*": np.round(rng.normal(0, 1, rows), 6),
        "a,b": rng.choice(["u", "w"], rows),
        "Residual": rng.choice(["k", "l"], rows),
        "tick`in": rng.poisson(5, rows),
        "\x1b[31mred": rng.choice(["m", "n"], rows),
        "=1+2": rng.choice(["s", "t"], rows),
    })
    folder = tmp_path_factory.mktemp("names")
    hostile = write_csv(folder / "hostile.csv", frame)
    safe = write_csv(folder / "safe.csv", frame.set_axis(SAFE, axis=1))
    return frame, hostile, safe


def test_every_name_is_only_a_name(spark, capsys, named_files):
    frame, hostile, safe = named_files
    options = ["--json", "-q", "-m", "`v`,*", "--measure", "tick`in", "-d", "g.x",
               "--dimension", "a,b"]
    status, out, err = run(capsys, [hostile] + options)
    assert status == 0, err
    document = json.loads(out)
    assert document["run"]["measures"] == ["`v`", "*", "tick`in"]
    assert document["run"]["dimensions"] == ["g.x", "a,b"]
    by_name = {m["measure"]: m for m in document["results"]["measures"]}
    for name in ("`v`", "*", "tick`in"):
        assert by_name[name]["n"] == len(frame)
        assert math.isclose(by_name[name]["mean"], frame[name].mean(), rel_tol=1e-12)
    # The same data under plain names gives the same numbers, name for name.
    plain = dict(zip(HOSTILE, SAFE))
    status, out, err = run(capsys, [safe, "--json", "-q", "-m", "bv,star,tick", "-d", "g_x,ab"])
    assert status == 0, err
    reference = {m["measure"]: m for m in json.loads(out)["results"]["measures"]}
    for name, record in by_name.items():
        expected = reference[plain[name]]
        assert [t["dimension"] for t in record["one_way"]] == ["g.x", "a,b"]
        for got, want in zip(record["one_way"] + record["two_way"], expected["one_way"] + expected["two_way"]):
            numbers = [r["sum_sq"] for r in got.get("table", got.get("type_2"))]
            reference_numbers = [r["sum_sq"] for r in want.get("table", want.get("type_2"))]
            assert np.allclose(numbers, reference_numbers, rtol=1e-10)


def test_names_are_escaped_in_text_and_neutralised_in_csv(spark, capsys, named_files):
    _, hostile, _ = named_files
    status, out, err = run(capsys, [hostile, "-m", "`v`", "-d", "\x1b[31mred,Residual"])
    assert status == 0, err
    assert "\x1b" not in out and "\\x1b[31mred" in out
    # A dimension named "Residual" keeps its name; the residual row gets a label of its own.
    assert "\nOne-way: Residual\n" in out and "  (Residual) " in out
    status, out, err = run(capsys, [hostile, "--csv", "-m", "`v`", "-d", "\x1b[31mred,=1+2"])
    assert status == 0, err
    cells = [cell for row in csv.reader(io.StringIO(out)) for cell in row]
    assert "'=1+2" in cells
    assert not [c for c in cells if c[:1] in ("=", "+", "@")]


def test_numeric_dimension_is_not_a_default_measure(spark, capsys, tmp_path):
    frame = pd.DataFrame({"g": list("abc") * 20, "year": [2020, 2021] * 30,
                          "y": np.arange(60) % 7 + 0.5})
    status, out, err = run(capsys, [write_csv(tmp_path / "years.csv", frame), "-d", "g,year", "--json", "-q"])
    assert status == 0, err
    assert json.loads(out)["run"]["measures"] == ["y"]


# -- values --------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def value_files(tmp_path_factory, spark):
    folder = tmp_path_factory.mktemp("values")
    rows = 60
    g = ["a", "b", "c"] * (rows // 3)
    noise = np.sin(np.arange(rows))
    frame = pd.DataFrame({
        "g": g,
        "y": noise + np.array([0.0, 1.0, 2.0] * (rows // 3)),
        "huge": 1e200 * (1 + noise),
        "big": [2 ** 63 - 1 - 4096 * (i % 7) for i in range(rows)],
        "near": [2 ** 63 - 1 - (i % 5) for i in range(rows)],  # apart by less than a double's step
        "top": [(1e308, 1.5e308, -1.2e308)[i % 3] * (1 + i % 7 / 100.0) for i in range(rows)],
    })
    text = frame.to_csv(index=False).splitlines()
    text[3] = text[3].replace(text[3].split(",")[1], "Infinity", 1)  # row 2: level "c"
    (folder / "values.csv").write_text("\n".join(text) + "\n")
    from decimal import Decimal

    decimals = spark.createDataFrame(
        [(g[i], Decimal(10 ** 37 + 10 ** 30 * (i % 5))) for i in range(rows)], "g string, d decimal(38,0)")
    decimals.coalesce(1).write.parquet(str(folder / "decimals.parquet"))
    return folder


def test_infinity_is_missing_with_a_note(spark, capsys, value_files):
    status, out, err = run(capsys, [value_files / "values.csv", "-m", "y", "-d", "g", "--json"])
    assert status == 0, err
    assert "tarnwick-anova: note: infinite values treated as missing: y (1)" in err
    table = one_way(json.loads(out), "y", "g")
    assert table[0]["df"] == 2 and table[1]["df"] == 56  # every level kept, one value fewer


def test_overflowing_sums_are_said_not_printed(spark, capsys, value_files):
    status, out, err = run(capsys, [value_files / "values.csv", "-m", "huge", "-d", "g", "--json"])
    assert status == 0, err
    assert not [line for line in err if "RuntimeWarning" in line or "overflow encountered" in line]
    table = one_way(json.loads(out), "huge", "g")
    assert all(row["sum_sq"] is None and row["note"] == OVERFLOW for row in table)


@pytest.mark.parametrize("name, measure, mean", [
    ("values.csv", "big", float(2 ** 63) - 4096 * 3),
    ("decimals.parquet", "d", 1e37 + 2e30),
])
def test_wide_numbers_are_analysed_as_doubles(spark, capsys, value_files, name, measure, mean):
    status, out, err = run(capsys, [value_files / name, "-m", measure, "-d", "g", "--json"])
    assert status == 0, err
    record = json.loads(out)["results"]["measures"][0]
    assert record["n"] == 60 and math.isclose(record["mean"], mean, rel_tol=1e-12)
    assert one_way(json.loads(out), measure, "g")[1]["sum_sq"] is not None


def _exact_within(values, groups):
    from fractions import Fraction

    within = Fraction(0)
    for level in set(groups):
        part = [Fraction(v) for v, g in zip(values, groups) if g == level]
        within += sum((v - sum(part) / len(part)) ** 2 for v in part)
    return float(within)


@pytest.mark.parametrize("plan", ["one-scan", "per-test"])
def test_integers_beyond_double_precision(spark, capsys, value_files, plan):
    status, out, err = run(capsys, [value_files / "values.csv", "-m", "near", "-d", "g", "--json",
                                    "--plan", plan])
    assert status == 0, err
    assert any("values beyond double precision" in line and "near" in line for line in err)
    if plan == "one-scan":  # shifted exactly before they become doubles
        frame = pd.read_csv(str(value_files / "values.csv"), dtype={"near": object})
        expected = _exact_within([int(v) for v in frame.near], list(frame.g))
        assert one_way(json.loads(out), "near", "g")[1]["sum_sq"] == pytest.approx(expected,
                                                                                   rel=1e-9)


@pytest.mark.parametrize("plan", ["one-scan", "per-test"])
def test_values_near_the_largest_double_end_in_the_overflow_note(spark, capsys, value_files,
                                                                 plan):
    status, out, err = run(capsys, [value_files / "values.csv", "-m", "top", "-d", "g", "--json",
                                    "--plan", plan])
    assert status == 0, err
    assert not [line for line in err if "unexpected failure" in line or "Overflow" in line]
    table = one_way(json.loads(out), "top", "g")
    assert all(row["sum_sq"] is None and row["note"] == OVERFLOW for row in table)


# -- files ---------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def odd_names(tmp_path_factory):
    folder = tmp_path_factory.mktemp("paths")
    for name, rows in [("data[1].csv", 5), ("data1.csv", 2), ("brace{a,b}.csv", 3), ("star*.csv", 4), ("stars.csv", 6)]:
        (folder / name).write_text("g,v\n" + "".join("x,%d\n" % i for i in range(rows)))
    (folder / "quoted.csv").write_text('g,v\n"a ""b"" c",1\n"x,y",2\n')
    return folder


@pytest.mark.parametrize("name, glob, rows", [
    ("data[1].csv", False, 5), ("brace{a,b}.csv", False, 3), ("star*.csv", False, 4),
    ("data*.csv", True, 7), ("sta?s.csv", True, 6), ("{data1,stars}.csv", True, 8),
])
def test_paths_are_literal_unless_glob(spark, odd_names, name, glob, rows):
    frame = reader.read_file(spark, str(odd_names / name), "csv", glob=glob)
    assert frame.count() == rows


def test_standard_csv_quoting(spark, odd_names):
    rows = reader.read_file(spark, str(odd_names / "quoted.csv"), "csv").collect()
    assert [(r["g"], r["v"]) for r in rows] == [('a "b" c', 1), ("x,y", 2)]


def test_glob_that_matches_nothing(spark, capsys, odd_names):
    status, _, err = run(capsys, [odd_names / "nothing*.csv", "--glob"])
    assert status == 2 and err == ["tarnwick-anova: error: the pattern %s matches no file" % (odd_names / "nothing*.csv")]


def test_giant_field_and_header_give_one_short_line(spark, capsys, tmp_path):
    giant = tmp_path / "giant.csv"
    giant.write_text("g,v\n" + "a,1\n" * 10 + '"' + "x" * (reader.MAX_CSV_FIELD + 10) + '",2\n')
    wide = tmp_path / "wide.csv"
    wide.write_text(",".join("c%07d" % i for i in range(200000)) + "\n" + ",".join("a" * 200000) + "\n")
    for path in (giant, wide):
        status, out, err = run(capsys, [path, "--plot", tmp_path / "plots"])
        assert status == 2 and len(err) == 1 and len(err[0]) < 600, err
        assert out == ""
    assert not (tmp_path / "plots").exists()  # a failed run leaves no plot directory


def test_invalid_sql_setting_is_named(spark, capsys, odd_names):
    status, _, err = run(capsys, [odd_names / "stars.csv", "--conf", "spark.sql.shuffle.partitions=0"])
    assert status == 2 and len(err) == 1
    assert err[0].startswith("tarnwick-anova: error: invalid --conf spark.sql.shuffle.partitions=0: ")


def test_imprecise_tests_are_refined_under_the_data_names(spark, capsys, tmp_path):
    from scipy import stats

    rng = np.random.RandomState(8)
    frame = pd.DataFrame({"g.x": ["p", "q", "r"] * 30})
    frame["`y`"] = 1e9 + np.round(rng.normal(size=90) + (frame["g.x"] == "p"), 3) * 1e-3
    # The per-test plan's raw sums lose the digits (the one-scan plan never needs a refine).
    status, out, err = run(capsys, [write_csv(tmp_path / "shifted.csv", frame), "--json",
                                    "--plan", "per-test"])
    assert status == 0, err
    assert any("recomputed from Spark's central moments" in line for line in err), err
    table = one_way(json.loads(out), "`y`", "g.x")
    expected = stats.f_oneway(*[group["`y`"].to_numpy() for _, group in frame.groupby("g.x")])
    assert math.isclose(table[0]["F"], expected.statistic, rel_tol=1e-6)
    assert table[1]["note"] == ""


@pytest.mark.parametrize("plan", ["one-scan", "per-test"])
def test_a_named_dimension_is_tested_above_the_automatic_bound(spark, capsys, tmp_path, plan):
    # 19 rows: the automatic bound is round(19 ** 0.35) = 3, and g has 4 levels.
    from scipy import stats

    rng = np.random.RandomState(11)
    frame = pd.DataFrame({"g": np.repeat(["a", "b", "c", "d"], [5, 5, 5, 4])})
    frame["y"] = rng.normal(size=19) + (frame["g"] == "a")
    path = write_csv(tmp_path / "small.csv", frame)
    status, out, err = run(capsys, [path, "-m", "y", "-d", "g", "--json", "--plan", plan])
    assert status == 0, err
    assert any("above the automatic level bound of 3: g (4 levels)" in line for line in err), err
    table = one_way(json.loads(out), "y", "g")
    expected = stats.f_oneway(*[group["y"].to_numpy() for _, group in frame.groupby("g")])
    assert table[0]["df"] == 3 and math.isclose(table[0]["F"], expected.statistic, rel_tol=1e-9)
    # Without -d the automatic choice keeps its bound.
    status, out, err = run(capsys, [path, "-m", "y", "--plan", plan])
    assert status == 2 and "no dimension left after the level cap" in "\n".join(err), err
