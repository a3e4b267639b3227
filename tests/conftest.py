"""Shared fixtures: a local SparkSession for the whole run, and fresh interpreters.

An extension module initialises once per process, so every import-state scenario runs in a
fresh subprocess through ``run_python``.
"""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from support.environment import clean_env

# Runs that start a driver JVM write no class archive into the user's cache: the tests that
# concern the archive give it a folder of their own.
os.environ["TARNWICK_JVM_ARCHIVE"] = "off"

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(TESTS_DIR)


@pytest.fixture
def run_python(tmp_path):
    """Run ``code`` in a fresh interpreter; returns the CompletedProcess.

    ``extra_paths`` are put at the front of ``sys.path`` (for fakes injected as modules).
    """

    def run(code, extra_paths=(), check=True, timeout=300):
        env = clean_env()
        if extra_paths:
            env["PYTHONPATH"] = os.pathsep.join(str(p) for p in extra_paths)
        script = tmp_path / "scenario.py"
        script.write_text(textwrap.dedent(code))
        completed = subprocess.run(
            [sys.executable, str(script)],
            cwd=str(tmp_path),
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            universal_newlines=True,
            timeout=timeout,
        )
        if check and completed.returncode != 0:
            raise AssertionError(
                "scenario failed with exit code %d\n--- stdout\n%s\n--- stderr\n%s"
                % (completed.returncode, completed.stdout, completed.stderr)
            )
        return completed

    return run


@pytest.fixture(scope="session")
def spark():
    """One local SparkSession per test run: two cores, few shuffle partitions, no UI."""
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession

    session = (
        SparkSession.builder.master("local[2]")
        .appName("tarnwick-tests")
        .config("spark.sql.shuffle.partitions", "2")
        .config("spark.default.parallelism", "2")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.session.timeZone", "UTC")
        .config("spark.driver.memory", "1g")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


def _cmake():
    # The environment installs cmake and ninja next to the interpreter.
    bin_dir = os.path.dirname(sys.executable)
    for name in ("cmake",):
        candidate = os.path.join(bin_dir, name)
        if os.path.exists(candidate):
            return candidate
    return shutil.which("cmake")


@pytest.fixture(scope="session")
def probe_dir(tmp_path_factory):
    """Directory holding the freshly built test-only extension module ``tarnwick_probe``."""
    cmake = _cmake()
    if cmake is None:
        pytest.skip("cmake is not available to build the probe module")
    build = tmp_path_factory.mktemp("probe-build")
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    configure = [
        cmake,
        "-S", os.path.join(REPO, "tests", "native"),
        "-B", str(build),
        "-G", "Ninja",
        "-DCMAKE_BUILD_TYPE=Debug",
        "-DPython_EXECUTABLE=" + sys.executable,
        "-DTARNWICK_SOURCE_DIR=" + REPO,
        "-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=" + str(build / "out"),
    ]
    for command in (configure, [cmake, "--build", str(build)]):
        done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True)
        assert done.returncode == 0, done.stdout
    out = build / "out"
    assert any(name.startswith("tarnwick_probe") for name in os.listdir(str(out)))
    return out


@pytest.fixture
def one_pass_kept(monkeypatch):
    """Whether each one-pass merge of the test stood (True) or gave way to the centred merge
    (False), in the order they ran."""
    from Tarnwick.bi.stats import onescan

    centred, kept = onescan._centred_on_means, []

    def watched(*given):
        rows = centred(*given)
        kept.append(rows is not None)
        return rows

    monkeypatch.setattr(onescan, "_centred_on_means", watched)
    return kept
