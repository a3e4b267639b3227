"""Bad input: one line on stderr naming the problem, exit status 2, nothing on stdout or --output."""
import os
import shutil

import pytest

from cli_helpers import cli_env, run_cli, said


def _assert_refused(completed, message, output=None):
    assert completed.returncode == 2, completed.stderr
    lines = said(completed.stderr)
    assert len(lines) == 1, completed.stderr
    assert lines[0].startswith("tarnwick-anova: error: ")
    assert message in lines[0]
    assert "Traceback" not in completed.stderr
    assert completed.stdout == ""
    if output is not None:
        assert not os.path.exists(str(output))
        assert os.listdir(os.path.dirname(str(output))) == []


@pytest.fixture
def out_file(tmp_path):
    folder = tmp_path / "out"
    folder.mkdir()
    return folder / "result.json"


@pytest.fixture(scope="module")
def odd_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("odd")
    (folder / "empty.csv").write_text("")
    (folder / "notes.txt.bin").write_text("a,b\n1,2\n")
    (folder / "broken.parquet").write_text("this is not a parquet file\n")
    (folder / "no_data").mkdir()
    (folder / "no_data" / "_SUCCESS").write_text("")
    # A floating-point column that holds only NaN has no value to analyse.
    (folder / "nan.csv").write_text(
        "g,v,w\n" + "".join("%s,NaN,%d.5\n" % ("xy"[i % 2], i) for i in range(20))
    )
    return folder


# Refused before Spark starts: fast.
@pytest.mark.parametrize(
    "args, message",
    [
        (["{tmp}/missing.csv"], "no such file or directory: "),
        (["{odd}/empty.csv"], "is empty"),
        (["{odd}/no_data"], "holds no data files"),
        (["{odd}/notes.txt.bin"], "cannot tell the format of"),
        (["{odd}/nan.csv", "--plot", "{odd}/nan.csv"], "cannot create the plot directory"),
    ],
)
def test_refused_before_spark(args, message, tmp_path, odd_files, out_file):
    args = [a.format(tmp=tmp_path, odd=odd_files) for a in args]
    _assert_refused(run_cli(args + ["--output", out_file]), message, out_file)


def test_output_directory_must_exist(tmp_path):
    target = tmp_path / "nowhere" / "result.json"
    _assert_refused(run_cli(["--output", target]), "does not exist")
    assert not target.parent.exists()


def test_debug_shows_the_traceback(tmp_path):
    completed = run_cli([tmp_path / "missing.csv", "--debug"])
    assert completed.returncode == 2
    assert "Traceback" in completed.stderr
    assert "InputError" in completed.stderr
    assert completed.stderr.strip().splitlines()[-1].startswith("tarnwick-anova: error: no such file")


def test_missing_java(tmp_path, out_file):
    # An empty PATH and no JAVA_HOME: the run names what to install instead of failing in pyspark.
    env = cli_env(JAVA_HOME=None, PATH=str(tmp_path))
    _assert_refused(
        run_cli(["--output", out_file, "--engine", "spark"], env=env),
        "Spark needs a Java runtime", out_file
    )


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_unreadable_file(data_files, tmp_path, out_file):
    locked = tmp_path / "locked.csv"
    shutil.copy(str(data_files["csv"]), str(locked))
    os.chmod(str(locked), 0)
    _assert_refused(run_cli([locked, "-o", out_file]), "permission denied", out_file)


# Refused after reading the data: each starts Spark once.
@pytest.mark.parametrize(
    "file, args, message",
    [
        ("{odd}/broken.parquet", [], "cannot read "),
        ("{csv}", ["-m", "y", "-d", "a,zz"], "unknown dimension column 'zz'"),
        ("{csv}", ["-m", "a"], "measure 'a' is not numeric"),
        ("{odd}/nan.csv", ["-m", "v,w"], "measure 'v' has no value"),
        ("{csv}", ["--max-levels", "1"], "no dimension left after the level cap"),
    ],
    ids=["unreadable", "unknown-column", "not-numeric", "no-value", "level-cap"],
)
def test_refused_after_reading(file, args, message, data_files, odd_files, out_file):
    path = file.format(odd=odd_files, csv=data_files["csv"])
    _assert_refused(run_cli([path, "-o", out_file] + args), message, out_file)
