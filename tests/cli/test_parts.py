"""The command line's pieces that need no Spark: options, session settings, progress, plots."""
import io
import math

import pandas as pd
import pytest

from Tarnwick.cli import options, plots, progress, reader, session
from Tarnwick.cli.errors import InputError
from Tarnwick.cli.prepare import level_bound


@pytest.mark.parametrize(
    "argv, measures, dimensions, ss_type",
    [
        ([], None, None, 2),
        (["-m", "a,b", "-m", "c", "-d", "x"], ["a", "b", "c"], ["x"], 2),
        (["--type", "III"], None, None, 3),
        (["-t", "i"], None, None, 1),
        (["-t", "2", "--plan", "per-test"], None, None, 2),
    ],
)
def test_options(argv, measures, dimensions, ss_type):
    args = options.parse_args(argv)
    assert (args.measures, args.dimensions, args.ss_type) == (measures, dimensions, ss_type)
    assert args.plan == ("per-test" if "--plan" in argv else "one-scan")


@pytest.mark.parametrize("plan, total, unit", [("one-scan", 3, "steps"), ("per-test", 14, "tests")])
def test_the_bar_counts_the_units_of_the_plan(plan, total, unit):
    from Tarnwick.cli.analysis import progress_total

    stream = io.StringIO()
    bar = progress.ProgressBar(progress_total(plan, 2, 3), stream=stream, unit=unit)
    bar.advance()
    assert "1/%d %s" % (total, unit) in bar.line()


@pytest.mark.parametrize(
    "argv", [["-m", "a,,b"], ["-t", "4"], ["--plan", "fast"], ["--max-levels", "-1"], ["--conf", "novalue"], ["--json", "--csv"]]
)
def test_bad_options_exit_2(argv, capsys):
    with pytest.raises(SystemExit) as stop:
        options.parse_args(argv)
    assert stop.value.code == 2
    assert "tarnwick-anova: error:" in capsys.readouterr().err


@pytest.mark.parametrize(
    "master, cores",
    [("local", 1), ("local[3]", 3), ("local[4, 2]", 4), ("local[*]", None), ("spark://h:7077", "none"), ("yarn", "none")],
)
def test_local_cores(master, cores, monkeypatch):
    monkeypatch.setattr(session.os, "cpu_count", lambda: 6)
    expected = {None: 6, "none": None}.get(cores, cores)
    assert session.local_cores(master) == expected


def test_session_config_local_and_cluster(monkeypatch):
    monkeypatch.delenv("PYSPARK_GATEWAY_PORT", raising=False)
    local = session.session_config(session.SessionSettings("local[3]"))
    assert local["spark.sql.shuffle.partitions"] == "3"
    assert local["spark.sql.adaptive.enabled"] == "true"
    assert local["spark.ui.enabled"] == "false"
    assert "log4j2.configurationFile" in local["spark.driver.extraJavaOptions"]
    cluster = session.session_config(session.SessionSettings("spark://h:7077", spark_ui=True))
    assert "spark.sql.shuffle.partitions" not in cluster and "spark.ui.enabled" not in cluster
    untuned = session.session_config(session.SessionSettings("local[3]", tuned=False, debug=True))
    assert untuned == {"spark.ui.showConsoleProgress": "false"}
    extra = session.session_config(session.SessionSettings("local[2]", extra=[("spark.driver.extraJavaOptions", "-Dx=1"), ("spark.a", "b")]))
    assert extra["spark.driver.extraJavaOptions"].endswith(" -Dx=1") and extra["spark.a"] == "b"
    monkeypatch.setenv("PYSPARK_GATEWAY_PORT", "1")  # under spark-submit the JVM already runs
    assert "spark.driver.extraJavaOptions" not in session.session_config(session.SessionSettings("local[2]"))


@pytest.mark.parametrize("rows, cap, bound", [(0, 40, 0), (344, 40, 8), (1000, 40, 11), (1000, 5, 5), (100000, 40, 40), (36450, 40, 39)])
def test_level_bound(rows, cap, bound):
    assert level_bound(rows, cap) == bound


def test_progress_bar_line_and_estimate():
    now = [100.0]
    stream = io.StringIO()
    bar = progress.ProgressBar(progress.total_tests(2, 3), stream=stream, clock=lambda: now[0], min_interval=0)
    assert bar.total == 14
    now[0] = 104.0
    bar.advance()
    bar.advance()
    assert "2/14 tests" in bar.line() and "0:04 elapsed" in bar.line() and "~0:24 left" in bar.line()
    for _ in range(12):
        bar.advance()
    assert bar.line().endswith("done") and bar.line().startswith("[" + "#" * 28 + "]")
    bar.close()
    assert stream.getvalue().endswith("\r") and stream.getvalue().count("\r[") == 14


class RecordingAnalyser:
    """Stands in for the analyser: records its calls and files what the real one files."""

    def __init__(self):
        self.calls = []

    def test_all(self, measures, dimensions, max_num_levels):
        from Tarnwick.bi.common.results import DFTwoWayAnovaResult

        self.calls.append(("test_all", list(measures), list(dimensions), max_num_levels))
        self.current = Record()
        collection = DFTwoWayAnovaResult()
        collection.add_measure_result(measures[0], self.current)
        return collection

    def test_against(self, measure, dimensions):
        self.calls.append(("test_against", measure, list(dimensions)))
        for i, first in enumerate(dimensions):
            self.current.dimensions.append(first)
            self.current.pairs.extend((first, second) for second in dimensions[i + 1:])


class Record:
    measure = None

    def __init__(self):
        self.dimensions, self.pairs = [], []


@pytest.mark.parametrize("measures, dimensions", [(["y", "z"], ["a", "b", "c"]), (["y"], ["a"]),
                                                  (["y", "y"], ["a", "b"])])
def test_per_test_plan_files_every_test_and_counts_each_aggregation(measures, dimensions):
    from Tarnwick.cli.analysis import filed_tests, progress_total, test_as_selected

    analyser = RecordingAnalyser()
    advanced = []
    result = test_as_selected(analyser, measures, dimensions, 7, advanced.append)
    # One measure at a time: its overall row alone (no dimension to bound), then every
    # dimension and pair as selected, into the record the analyser holds.
    expected = []
    for measure in measures:
        expected += [("test_all", [measure], [], 7), ("test_against", measure, dimensions)]
    assert analyser.calls == expected
    assert [name for name, _ in result.records] == measures
    total = progress_total("per-test", len(measures), len(dimensions))
    assert sum(advanced) == filed_tests(result) == total


@pytest.mark.parametrize(
    "name, fmt",
    [("a.csv", "csv"), ("a.CSV.gz", "csv"), ("x/part-0.snappy.parquet", "parquet"), ("a.jsonl", "json"), ("a.dat", None)],
)
def test_format_of(name, fmt):
    assert reader.format_of(name) == fmt


def test_remote_path_needs_a_known_format():
    assert reader.check_and_detect("hdfs://nn/data/sales.parquet", None) == "parquet"
    with pytest.raises(InputError, match="--format"):
        reader.check_and_detect("s3a://bucket/data", None)


def test_interaction_plot_from_an_awkward_cell_table(tmp_path):
    # A null level, a cell without values (count 0, mean null) and a missing combination.
    cells = pd.DataFrame(
        [["x", "u", 3, 1.5], ["x", None, 2, 2.5], ["y", "u", 0, None], [None, "v", 4, math.nan], ["y", "v", 5, 0.5]],
        columns=["level1", "level2", "counts", "means"],
    )
    path = tmp_path / plots.file_name("m/1", "a b", "c")
    assert path.name == "interaction_m_1__a_b__c.png"
    plots.interaction_plot("m/1", "a b", "c", cells, str(path))
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(
    "value, digits, text",
    [(146864385.3, 6, "146864385"), (7194.3226, 6, "7194.32"), (0.0025181, 4, "0.002518"), (2.5, 6, "2.5"),
     (0.0, 6, "0"), (3.2e-7, 6, "3.2e-07"), (2.0e16, 6, "2e+16"), (float("nan"), 6, ""), (None, 6, "")],
)
def test_format_number(value, digits, text):
    from Tarnwick.cli.present import format_number

    assert format_number(value, digits) == text
