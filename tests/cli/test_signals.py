"""Ctrl-C and SIGTERM sent to the command line at different moments of a run.

Each case runs the command line in a subprocess, watches its process tree, signals it, and then
checks that it exited with 130 or 143 and one line, that no process it started is left, and
that its temporary directories are gone.
"""
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import psutil
import pytest

from cli_helpers import cli_env

WAIT = 180  # seconds a run may take to reach a moment, on a busy machine


@pytest.fixture(scope="module")
def busy_file(tmp_path_factory):
    """Enough data and dimensions that the tests run for a while."""
    rng = np.random.RandomState(5)
    rows = 20000
    frame = pd.DataFrame({"d%d" % i: rng.choice(list("abcdef"), rows) for i in range(5)})
    for name in ("x", "y", "z"):
        frame[name] = rng.normal(size=rows)
    path = tmp_path_factory.mktemp("busy") / "busy.csv"
    frame.to_csv(str(path), index=False)
    return path


def _wait_for(condition, process, what):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        if process.poll() is not None:
            pytest.fail("the run ended (status %s) before %s" % (process.returncode, what))
        if condition():
            return
        time.sleep(0.05)
    pytest.fail("the run did not reach %s in %d s" % (what, WAIT))


@pytest.mark.parametrize(
    "moment, signals_sent",
    [
        ("starting", [signal.SIGINT]),
        ("starting", [signal.SIGTERM]),
        ("running", [signal.SIGTERM]),
        ("running", [signal.SIGINT, signal.SIGINT]),
    ],
)
def test_signal_stops_everything(tmp_path, busy_file, moment, signals_sent):
    """The JVM also writes its class archive as it ends: the stop leaves none of it, and
    counts no failure against the folder."""
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    output = tmp_path / "result.json"
    archives = tmp_path / "archives"
    env = cli_env(TMPDIR=str(scratch), SPARK_LOCAL_DIRS=str(scratch),
                  TARNWICK_JVM_ARCHIVE=str(archives))
    process = subprocess.Popen(
        # Spark's: the moments are its driver JVM starting and its jobs running.
        [sys.executable, "-m", "Tarnwick", str(busy_file), "--json", "-o", str(output),
         "--engine", "spark"],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
    )
    seen = set()
    me = psutil.Process(process.pid)

    def descendants():
        try:
            found = me.children(recursive=True)
        except psutil.NoSuchProcess:
            return []
        for child in found:
            try:
                seen.add((child.pid, child.create_time()))
            except psutil.NoSuchProcess:  # ended since it was listed
                pass
        return found

    def command_line(child):
        try:
            return " ".join(child.cmdline())
        except psutil.Error:  # gone, or a zombie, since it was listed
            return ""

    def jvm_launched():
        return any("java" in command_line(p) or "spark" in command_line(p)
                   for p in descendants())

    def spark_running():
        descendants()
        return any(name.startswith("blockmgr-") for name in os.listdir(str(scratch)))

    try:
        if moment == "starting":
            _wait_for(jvm_launched, process, "the start of the driver JVM")
        else:
            _wait_for(spark_running, process, "a running Spark")
            time.sleep(1.0)
        for number, signum in enumerate(signals_sent):
            if number:
                time.sleep(0.3)
            descendants()
            process.send_signal(signum)
        out, err = process.communicate(timeout=WAIT)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    expected = 130 if signals_sent[0] == signal.SIGINT else 143
    word = "interrupted" if signals_sent[0] == signal.SIGINT else "terminated"
    lines = [line for line in err.splitlines() if line.strip()]
    assert process.returncode == expected, err
    assert lines[-1] == "tarnwick-anova: " + word, err
    assert "Traceback" not in err and "Exception" not in err, err
    assert out == "" and not output.exists()
    # No process of the run survives it (allowing a moment for the kernel to reap them).
    deadline = time.monotonic() + 5
    left = seen
    while left and time.monotonic() < deadline:
        left = {(pid, created) for pid, created in left if _alive(pid, created)}
        time.sleep(0.1)
    assert not left, "left running: %s" % sorted(left)
    assert os.listdir(str(scratch)) == []
    assert [n for n in os.listdir(str(tmp_path)) if n.endswith(".tmp")] == []
    assert os.listdir(str(archives)) == []


def _alive(pid, created):
    try:
        process = psutil.Process(pid)
        return process.create_time() == created and process.status() != psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return False


def test_a_signal_as_the_driver_jvm_is_launched_leaves_it_noted_for_the_stop(monkeypatch):
    """A signal that arrives while the launcher's process is being created is acted on once
    the process is noted, so the stop that follows finds it: unnoted, it would keep running."""
    from pyspark import java_gateway

    from Tarnwick.cli import session, signals

    create = subprocess.Popen._execute_child

    def create_then_interrupt(self, *args, **kwargs):
        create(self, *args, **kwargs)
        os.kill(os.getpid(), signal.SIGINT)

    monkeypatch.setattr(subprocess.Popen, "_execute_child", create_then_interrupt)
    monkeypatch.setitem(signals._state, "received", None)  # no later test sees this signal
    launched = []
    try:
        with signals.handled(), signals.kept(), pytest.raises(KeyboardInterrupt):
            with session._recording_launches(launched):
                java_gateway.Popen(["sleep", "60"])
        assert [p.args for p in launched] == [["sleep", "60"]]
    finally:
        monkeypatch.undo()
        for child in psutil.Process().children():
            if child.name() == "sleep":
                child.kill()
                child.wait()
