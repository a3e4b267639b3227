"""Fixtures of the analyser tests: the module, and a world of recording stand-ins patched into
the module's globals (which the methods look up at every use)."""
import pytest

import factorpair_fakes as fakes


@pytest.fixture(scope="session")
def fp():
    import Tarnwick.bi.stats.factorpair as module

    return module


class World(object):
    def __init__(self, fp, monkeypatch):
        self.fp = fp
        self.log = fakes.Log()
        self.functions = fakes.Functions(self.log)
        self.pandas = fakes.Pandas(self.log)
        self.records = []
        self.collections = []
        log = self.log

        def record(*args, **kwargs):
            made = fakes.Record(log, *args, **kwargs)
            self.records.append(made)
            return made

        def collection(*args, **kwargs):
            made = fakes.Collection(log, *args, **kwargs)
            self.collections.append(made)
            return made

        for name in ("col", "count", "mean", "sum"):
            monkeypatch.setattr(fp, name, getattr(self.functions, name))
        monkeypatch.setattr(fp, "pd", self.pandas)
        monkeypatch.setattr(fp, "MeasureAnovaResult", record)
        monkeypatch.setattr(fp, "DFTwoWayAnovaResult", collection)

    def frame(self, rows=None):
        return fakes.Frame(self.log, rows if rows is not None else [("row",)])

    def helper(self, **kwargs):
        return fakes.Helper(self.log, **kwargs)

    def analyser(self, frame=None, helper=None, record=None):
        """A constructed analyser (through the undecorated __init__: the stand-in frame is no
        Spark DataFrame), with `record` as its current result record if given."""
        analyser = self.fp.TwoWayAnova.__new__(self.fp.TwoWayAnova)
        self.fp.TwoWayAnova.__init__.__wrapped__(
            analyser, frame if frame is not None else self.frame(), helper or self.helper())
        if record is not None:
            analyser._anova_result = record
        del self.log[:]
        return analyser

    def record(self):
        made = fakes.Record(self.log)
        del self.log[:]
        return made


@pytest.fixture
def world(fp, monkeypatch):
    return World(fp, monkeypatch)
