"""A small input gets a driver JVM tuned to start fast; a larger one on a few local cores one that
optimises only its hottest code; anything else the usual one."""
import pytest

from Tarnwick.cli import session


@pytest.mark.parametrize("master, tuned, small, submitted, quick, late", [
    ("local[2]", True, True, False, True, False),
    ("local[*]", True, True, False, True, False),
    ("local[2]", True, False, False, False, True),  # a large input: optimised, but late
    ("local[16]", True, False, False, False, False),  # many cores: compilers do not crowd tasks
    ("local[2]", False, True, False, False, False),  # --no-tuning: Spark's own defaults
    ("local[2]", False, False, False, False, False),
    ("spark://h:7077", True, True, False, False, False),
    ("spark://h:7077", True, False, False, False, False),
    ("local[2]", True, True, True, False, False),  # under spark-submit the JVM already runs
    ("local[2]", True, False, True, False, False),
])
def test_jit_options(monkeypatch, master, tuned, small, submitted, quick, late):
    if submitted:
        monkeypatch.setenv("PYSPARK_GATEWAY_PORT", "1")
    else:
        monkeypatch.delenv("PYSPARK_GATEWAY_PORT", raising=False)
    conf = session.session_config(session.SessionSettings(
        master, tuned=tuned, small_input=small, extra=(("spark.driver.extraJavaOptions", "-Dx=1"),)))
    options = conf["spark.driver.extraJavaOptions"]
    assert (session.QUICK_START_JAVA_OPTIONS in options) == quick
    assert (session.LATE_OPTIMISATION_JAVA_OPTIONS in options) == late
    assert options.endswith("-Dx=1")  # the user's options come last and win
    assert ("log4j2.configurationFile" in options) == (not submitted)


def test_small_input_by_size(tmp_path, monkeypatch):
    monkeypatch.setattr(session, "SMALL_INPUT_BYTES", 10)
    small, large, folder = tmp_path / "s.csv", tmp_path / "l.csv", tmp_path / "parts"
    small.write_bytes(b"a\n1\n")
    large.write_bytes(b"a\n" + b"1\n" * 10)
    folder.mkdir()
    (folder / "p1.csv").write_bytes(b"a\n1\n")
    assert session.is_small_input(None)  # the bundled data
    assert session.is_small_input(str(small)) and session.is_small_input("file://" + str(small))
    assert not session.is_small_input(str(large))
    assert session.is_small_input(str(folder))
    (folder / "p2.csv").write_bytes(b"a\n1\n2\n3\n")
    assert not session.is_small_input(str(folder))  # the parts together are too large
    assert not session.is_small_input(str(tmp_path / "absent.csv"))
    assert not session.is_small_input("hdfs:///data/s.csv")


@pytest.mark.parametrize("options", [session.QUICK_START_JAVA_OPTIONS,
                                     session.LATE_OPTIMISATION_JAVA_OPTIONS])
def test_the_installed_java_takes_the_jit_options(options):
    import subprocess

    java = session.find_java()
    if java is None:
        pytest.skip("no Java runtime")
    done = subprocess.run([java] + options.split() + ["-version"], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)
    assert done.returncode == 0, done.stderr


@pytest.fixture
def mid_sized(tmp_path, monkeypatch):
    """Parquet inputs above the small size and within the one-scan run's: one whose first rows
    hold few cells (3 × 4 levels), one where nearly every row is a cell of its own."""
    from Tarnwick.bi.embedded.reader import connect
    from Tarnwick.bi.stats.onescan import SAMPLE_ROWS

    monkeypatch.delenv("PYSPARK_GATEWAY_PORT", raising=False)  # not under spark-submit
    monkeypatch.setattr(session, "SMALL_INPUT_BYTES", 1000)
    monkeypatch.setattr(session, "ONE_SCAN_QUICK_BYTES", 10 << 20)
    connection = connect()
    paths = {}
    for name, cells in (("few", "'g' || (i % 3)"), ("many", "'id' || i")):
        paths[name] = str(tmp_path / ("%s.parquet" % name))
        connection.execute(
            "COPY (SELECT i * 0.5 AS y, %s AS a, 'd' || (i %% 4) AS b FROM range(%d) t(i)) "
            "TO '%s' (FORMAT PARQUET)" % (cells, 2 * SAMPLE_ROWS, paths[name]))
    return paths


@pytest.mark.parametrize("data, fmt, one_scan, master, dimensions, quick", [
    ("few", "parquet", True, "local[2]", None, True),  # the string columns: 12 cells
    ("few", "parquet", True, None, None, True),  # the default master is local
    ("few", "parquet", True, "local[2]", ["b"], True),
    ("few", "parquet", False, "local[2]", None, False),  # the per-test plan scans many times
    ("few", "csv", True, "local[2]", None, False),  # only Parquet's first rows come cheap
    ("few", "parquet", True, "spark://h:7077", None, False),  # a JVM whose options are not ours
    ("few", "parquet", True, "local[16]", None, False),  # measured on a few cores only
    ("few", "parquet", True, "local[2]", ["y"], False),  # a dimension of distinct values
    ("few", "parquet", True, "local[2]", ["absent"], False),  # Spark's reader will say
    ("many", "parquet", True, "local[2]", None, False),  # stage 2 runs in Spark
    ("many", "parquet", True, "local[2]", ["b"], True),
])
def test_a_one_scan_run_on_a_mid_sized_input_with_few_cells_starts_fast(
        mid_sized, data, fmt, one_scan, master, dimensions, quick):
    settings = session.SessionSettings(master)
    assert session.is_quick_start_run(settings, mid_sized[data], fmt, one_scan,
                                      dimensions) == quick


def test_a_one_scan_run_on_an_input_above_its_size_does_not(mid_sized, monkeypatch):
    import os

    monkeypatch.setattr(session, "ONE_SCAN_QUICK_BYTES", os.path.getsize(mid_sized["few"]) - 1)
    assert not session.is_quick_start_run(session.SessionSettings("local[2]"), mid_sized["few"],
                                          "parquet", True)


@pytest.mark.parametrize("data, argv, quick", [
    ("few", [], True),
    ("few", ["--plan", "per-test"], False),
    ("few", ["--formula", "y ~ a"], False),  # the models' scans, one per set of factors
    ("many", [], False),
    ("many", ["-d", "b"], True),
])
def test_the_run_decides_from_its_options_once_the_format_is_known(mid_sized, data, argv,
                                                                  quick):
    from Tarnwick.cli.backend import choose_backend
    from Tarnwick.cli.options import parse_args

    args = parse_args([mid_sized[data], "--engine", "spark"] + argv)
    chosen = choose_backend(args)
    assert chosen.check_input(args) == "parquet"
    assert chosen.settings.small_input == quick
