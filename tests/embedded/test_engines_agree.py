"""The command line on both engines, end to end: every file of the reader's conformance corpus
analysed with ``--engine spark`` and ``--engine embedded`` gives the same JSON (counts exactly,
numbers to 1e-9; only the run's engine, location and timings differ), the same notes on stderr
and the same exit status; files the embedded reader refuses are read with Spark by default."""
import json
import math
import subprocess
import sys

import pytest

from support.environment import clean_env
from test_reader_conformance import SAME, _path, corpus  # noqa: F401 (a fixture)
from Tarnwick.cli import main

#: What may differ between the engines' runs: where they ran and how long they took.
RUN_FIELDS = ("master", "elapsed_seconds", "timings_seconds")
RTOL = 1e-9
#: p-values far below any threshold are differences of numbers near one: their last digits
#: are rounding on either engine.
ATOL = 1e-12


def run(capsys, argv):
    status = main(argv)
    captured = capsys.readouterr()
    notes = [line for line in captured.err.splitlines() if ": note: " in line]
    return status, captured.out, notes, captured.err


def assert_same_json(got, expected, path="$"):
    if isinstance(expected, dict):
        assert sorted(got) == sorted(expected), path
        for key in expected:
            if key not in RUN_FIELDS:
                assert_same_json(got[key], expected[key], "%s.%s" % (path, key))
    elif isinstance(expected, list):
        assert len(got) == len(expected), path
        for i, (a, b) in enumerate(zip(got, expected)):
            assert_same_json(a, b, "%s[%d]" % (path, i))
    elif isinstance(expected, float) and isinstance(got, (int, float)):
        if math.isnan(expected):
            assert math.isnan(got), path
        else:
            assert got == pytest.approx(expected, rel=RTOL, abs=ATOL), path
    else:
        assert type(got) is type(expected) and got == expected, path


def by_names(output):
    """The output with its summary in the order of the tests' names: the summary is sorted by
    p-value, and p-values equal to within rounding may come in either order (DuckDB's threads
    sum in no fixed order)."""
    if isinstance(output.get("summary"), list):
        output["summary"] = sorted(output["summary"], key=lambda entry: sorted(
            (key, value) for key, value in entry.items() if isinstance(value, str)))
    return output


def options(name, fmt, extra, corpus):
    argv = [_path(corpus, name), "--format", fmt, "--json"]
    if "sep" in extra:
        argv += ["--sep", extra["sep"]]
    if "null_value" in extra:
        argv += ["--null-value", extra["null_value"]]
    if extra.get("glob"):
        argv.append("--glob")
    return argv


@pytest.mark.parametrize("name, fmt, extra", SAME, ids=[
    "%s-%s" % (n, "-".join(map(str, o.values()))) for n, _, o in SAME])
def test_both_engines_give_the_same_output(spark, corpus, capsys, name, fmt, extra):
    argv = options(name, fmt, extra, corpus)
    on_spark = run(capsys, argv + ["--engine", "spark"])
    embedded = run(capsys, argv + ["--engine", "embedded"])
    assert embedded[0] == on_spark[0], (embedded[3], on_spark[3])
    assert embedded[2] == on_spark[2]
    if on_spark[0] == 0:
        assert_same_json(by_names(json.loads(embedded[1])), by_names(json.loads(on_spark[1])))
    else:  # the same error, said the same way
        assert embedded[3].splitlines()[-1] == on_spark[3].splitlines()[-1]


REFUSED_FILES = {
    # name: (text, the reason's words)
    "decimals.csv": ("g,y\n" + "".join("%s,%d.\n" % ("abc"[i % 3], i % 7) for i in range(30)),
                     "decimal type"),
    "dates.csv": ("g,d,y\n" + "".join("%s,2020-01-%02d,%d\n" % ("ab"[i % 2], 1 + i % 9, i)
                                       for i in range(30)), "a value like '2020-01-01'"),
}


@pytest.mark.parametrize("name", sorted(REFUSED_FILES))
def test_what_the_embedded_reader_refuses_runs_on_spark(spark, tmp_path, capsys, name):
    text, reason = REFUSED_FILES[name]
    path = tmp_path / name
    path.write_text(text)
    argv = [str(path), "--json"]
    on_spark = run(capsys, argv + ["--engine", "spark"])
    deferred = run(capsys, argv)
    assert on_spark[0] == deferred[0] == 0, deferred[3]
    assert deferred[2][0].startswith("tarnwick-anova: note: read with Spark, as the embedded "
                                     "engine cannot match it: ") and reason in deferred[2][0]
    assert deferred[2][1:] == on_spark[2]
    assert_same_json(json.loads(deferred[1]), json.loads(on_spark[1]))
    asked = run(capsys, argv + ["--engine", "embedded"])
    assert asked[0] == 2 and "run it with --engine spark" in asked[3] and asked[1] == ""


def test_a_floating_point_dimension_is_left_to_spark(spark, tmp_path, capsys):
    """Its levels as text could be written otherwise than Spark writes them."""
    path = tmp_path / "levels.csv"
    path.write_text("g,y\n" + "".join("%s,%d\n" % (["0.5", "1e20", "-0.0"][i % 3], i)
                                      for i in range(30)))
    argv = [str(path), "-m", "y", "-d", "g", "--json"]
    on_spark = run(capsys, argv + ["--engine", "spark"])
    deferred = run(capsys, argv)
    assert "a DOUBLE column as a dimension" in deferred[2][0]
    assert_same_json(json.loads(deferred[1]), json.loads(on_spark[1]))


def test_the_first_line_names_the_engine(tmp_path, capsys):
    import duckdb

    path = tmp_path / "small.csv"
    path.write_text("g,y\n" + "".join("%s,%d\n" % ("ab"[i % 2], i) for i in range(12)))
    status, out, _, err = run(capsys, [str(path)])
    assert status == 0
    assert err.splitlines()[0] == "tarnwick-anova: engine: embedded (DuckDB %s)" % (
        duckdb.__version__)
    assert "tests on embedded DuckDB %s in " % duckdb.__version__ in out


def run_module(argv, env):
    """``python -m Tarnwick ARGV`` in a fresh interpreter."""
    return subprocess.run([sys.executable, "-m", "Tarnwick"] + argv, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=240)


def test_without_java_the_default_runs_and_spark_says_what_to_install(tmp_path):
    """A fresh process whose PATH finds no java and with no JAVA_HOME."""
    empty = tmp_path / "bin"
    empty.mkdir()
    env = clean_env(PATH=str(empty), JAVA_HOME=None)
    path = tmp_path / "small.csv"
    path.write_text("g,y\n" + "".join("%s,%d\n" % ("ab"[i % 2], i) for i in range(12)))
    embedded = run_module([str(path), "--json"], env)
    assert embedded.returncode == 0, embedded.stderr
    assert json.loads(embedded.stdout)["run"]["rows"] == 12
    on_spark = run_module([str(path), "--engine", "spark"], env)
    assert on_spark.returncode == 2 and on_spark.stdout == ""
    assert on_spark.stderr.splitlines() == [
        "tarnwick-anova: engine: Spark",
        "tarnwick-anova: error: Spark needs a Java runtime (JDK 17; 8 or 11 also work for "
        "pyspark 3) and none was found: install one (for example: apt-get install "
        "openjdk-17-jre-headless) or set JAVA_HOME"]


def _path_without_java(folder):
    """A PATH directory with every command of this PATH but java."""
    import os

    folder.mkdir()
    for directory in os.environ["PATH"].split(os.pathsep):
        if not os.path.isdir(directory):
            continue
        for name in os.listdir(directory):
            target = os.path.join(directory, name)
            link = folder / name
            if name != "java" and not link.exists() and os.access(target, os.X_OK):
                link.symlink_to(target)
    return str(folder)


def test_the_penguins_demo_runs_through_tools_run_sh_without_java(tmp_path):
    """``bash tools/run.sh`` with no arguments: the bundled data on the embedded engine, the
    same text as Spark's stored output but for the line that names the engine."""
    import os

    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    version = "%d.%d" % sys.version_info[:2]
    env = clean_env(PATH=_path_without_java(tmp_path / "bin"), JAVA_HOME=None,
                    TARNWICK_PYTHONS=version)
    completed = subprocess.run(["bash", os.path.join(repo, "tools", "run.sh"), "-q"], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               universal_newlines=True, timeout=600)
    assert completed.returncode == 0, completed.stderr
    stored = os.path.join(repo, "tests", "cli", "stored", "py" + version, "penguins.txt")
    with open(stored) as handle:
        expected = handle.read().splitlines()
    got = completed.stdout.splitlines()
    assert got[2].startswith("28 tests on embedded DuckDB ")
    assert got[:2] + got[3:] == expected[:2] + expected[3:]


@pytest.mark.parametrize("measures, dimensions, max_levels", [
    (None, None, 40),  # defaults: the empty measure left out, the wide dimension over the bound
    (["a.b", "y"], ["year", "g"], 40),  # a dotted name renamed; an integer dimension as text
    (["y"], ["wide", "g"], 3),  # named dimensions over the bound: tested, with a note
])
def test_the_checks_select_the_same_on_both_engines(spark, tmp_path, measures, dimensions,
                                                    max_levels):
    from Tarnwick.bi.embedded.reader import read_file as read_embedded
    from Tarnwick.bi.embedded.tables import EmbeddedFrames
    from Tarnwick.cli import reader as spark_reader
    from Tarnwick.cli.prepare import select_tests

    rows = ["g,year,a.b,y,empty,wide"]
    for i in range(60):
        y = ["Infinity", "-Infinity", "NaN", ""][i % 4] if i % 9 == 0 else "%.3f" % (i * 0.37)
        wide = "w" + "".join(chr(97 + int(d)) for d in str(i))  # 60 levels, no digits
        rows.append("%s,%d,%d,%s,,%s" % ("pqr"[i % 3], 2000 + i % 4, i % 7, y, wide))
    path = tmp_path / "checks.csv"
    path.write_text("\n".join(rows) + "\n")
    chosen = [select_tests(spark_reader.read_file(spark, str(path), "csv"), measures, dimensions,
                           max_levels),
              select_tests(read_embedded(str(path), "csv"), measures, dimensions, max_levels,
                           frames=EmbeddedFrames())]
    fields = ("measures", "dimensions", "rows", "bound", "levels", "notes", "original",
              "unbounded")
    assert [getattr(chosen[1], f) for f in fields] == [getattr(chosen[0], f) for f in fields]
    assert chosen[0].notes  # each case says something
