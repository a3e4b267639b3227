"""The backend seam: one decision of the engine, and a run that asks the chosen object for
every engine-dependent step, in order, stopping it whatever happens."""
import os
import sys
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from Tarnwick.bi.common.results import DFTwoWayAnovaResult
from Tarnwick.cli import backend, main
from Tarnwick.cli.errors import InputError
from Tarnwick.cli.options import parse_args

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "host"))
from host_terms import pandas_record  # noqa: E402


@pytest.mark.parametrize("argv, environment, kind", [
    ([], None, backend.EmbeddedBackend),  # the bundled data
    (["data.csv"], None, backend.EmbeddedBackend),
    (["file:///tmp/data.parquet"], None, backend.EmbeddedBackend),
    (["data.csv", "--engine", "embedded"], None, backend.EmbeddedBackend),
    (["data.csv", "--engine", "spark"], None, backend.LocalSpark),
    (["--master", "local[2]"], None, backend.LocalSpark),
    (["data.csv", "--plan", "per-test"], None, backend.LocalSpark),
    (["data.csv", "--conf", "spark.executor.memory=1g"], None, backend.LocalSpark),
    (["data.csv", "--formula", "y ~ g"], None, backend.EmbeddedBackend),
    (["hdfs://namenode/data.csv"], None, backend.LocalSpark),
    (["s3a://bucket/data.parquet"], None, backend.LocalSpark),
    (["--remote", "sc://h:15002"], None, backend.ConnectServer),
    ([], "sc://env:15002", backend.ConnectServer),
])
def test_one_decision_of_the_engine(monkeypatch, argv, environment, kind):
    if environment is None:
        monkeypatch.delenv("SPARK_REMOTE", raising=False)
    else:
        monkeypatch.setenv("SPARK_REMOTE", environment)
    chosen = backend.choose_backend(parse_args(argv))
    assert type(chosen) is kind
    if kind is backend.ConnectServer:
        assert chosen.location == (environment or "sc://h:15002")
    elif kind is backend.LocalSpark:
        assert chosen.settings.master == (argv[1] if argv[0] == "--master" else None)
    else:
        assert chosen.asked == ("embedded" in argv)


def test_spark_submit_chooses_spark(monkeypatch):
    from Tarnwick.cli import session

    monkeypatch.delenv("SPARK_REMOTE", raising=False)
    monkeypatch.setattr(session, "under_spark_submit", lambda: True)
    assert type(backend.choose_backend(parse_args(["data.csv"]))) is backend.LocalSpark


@pytest.mark.parametrize("argv, named", [
    (["--engine", "embedded", "--master", "local[2]"], "--master"),
    (["--engine", "embedded", "data.csv", "--plan", "per-test"], "--plan per-test"),
    (["--engine", "embedded", "hdfs://namenode/data.csv"], "hdfs"),
])
def test_the_embedded_engine_refuses_what_needs_spark(monkeypatch, argv, named):
    monkeypatch.delenv("SPARK_REMOTE", raising=False)
    with pytest.raises(InputError, match="needs Spark") as caught:
        backend.choose_backend(parse_args(argv))
    assert named in str(caught.value)


def test_two_engines_at_once_are_refused(monkeypatch):
    monkeypatch.delenv("SPARK_REMOTE", raising=False)
    with pytest.raises(InputError, match="exclude each other"):
        backend.choose_backend(parse_args(["--remote", "sc://h:1", "--master", "local[2]"]))


class RecordingBackend(backend.Backend):
    """An engine that answers from a pandas table and records what the run asks of it."""

    def __init__(self, frame, fail_at=None):
        super().__init__()
        self.frame, self.fail_at, self.calls = frame, fail_at, []

    def _called(self, name):
        self.calls.append(name)
        if name == self.fail_at:
            raise InputError("%s failed" % name)

    def check_input(self, args):
        self._called("check_input")
        return "csv"

    def start(self):
        self._called("start")

    def read(self, args, fmt):
        self._called("read")
        return self.frame, "recorded.csv", ["y"], ["g"]

    def select_tests(self, frame, measures, dimensions, args):
        self._called("select_tests")
        return SimpleNamespace(frame=frame, measures=measures, dimensions=dimensions, rows=9,
                               bound=2, levels={"g": 3}, notes=[], original={})

    def analyse(self, selection, args):
        self._called("analyse")
        result = DFTwoWayAnovaResult()
        result.add_measure_result("y", pandas_record(self.frame, "y", ["g"]))
        return result, 2

    @property
    def location(self):
        self._called("location")
        return "recorded-engine"

    def stop(self):
        self._called("stop")


@pytest.fixture
def table():
    rng = np.random.RandomState(2)
    return pd.DataFrame({"g": np.repeat(["p", "q", "r"], 3), "y": rng.normal(0, 1, 9)})


@pytest.mark.parametrize("fail_at", [None, "read", "select_tests", "analyse"])
def test_the_run_asks_the_backend_for_each_step(monkeypatch, capsys, table, fail_at):
    engine = RecordingBackend(table, fail_at)
    monkeypatch.setattr(backend, "choose_backend", lambda args: engine)
    status = main(["-q", "--json"])
    out, err = capsys.readouterr()
    steps = ["check_input", "start", "read", "select_tests", "analyse", "location", "stop"]
    if fail_at is None:
        assert status == 0 and engine.calls == steps
        assert '"master": "recorded-engine"' in out and '"source": "recorded.csv"' in out
    else:  # what failed ends the run, and what was started is stopped
        assert status == 2 and "%s failed" % fail_at in err
        assert engine.calls == steps[:steps.index(fail_at) + 1] + ["stop"]
