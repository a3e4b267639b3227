"""Shared fixtures: a local SparkSession for the whole run, and fresh interpreters.

An extension module initialises once per process, so every import-state scenario runs in a
fresh subprocess through ``run_python``.
"""
import os
import subprocess
import sys
import textwrap

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def _clean_env():
    env = dict(os.environ)
    # Tests import the installed package, never the source folder.
    env.pop("PYTHONPATH", None)
    env.setdefault("PYSPARK_PYTHON", sys.executable)
    return env


@pytest.fixture
def run_python(tmp_path):
    """Run ``code`` in a fresh interpreter; returns the CompletedProcess.

    ``extra_paths`` are put at the front of ``sys.path`` (for fakes injected as modules).
    """

    def run(code, extra_paths=(), check=True, timeout=300):
        env = _clean_env()
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
