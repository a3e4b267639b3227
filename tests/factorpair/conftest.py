"""Fixtures of the analyser tests over the real host package: the module, and a world of the
recording stand-ins of ``support.standins`` rebound into the module's globals (which the methods
look up at every use)."""
import types

import pytest

from support import standins


@pytest.fixture(scope="session")
def fp():
    import Tarnwick.bi.stats.factorpair as module

    return module


class KeptResult(standins.RecordingResult):
    """The recording MeasureAnovaResult that also keeps what its setters receive, as ("one" or
    "two", arguments)."""

    def __init__(self, row=(1, 1.0, 1.0)):
        standins.RecordingResult.__init__(self, row)
        self.received = []

    def set_OneWayAnovaResult(self, *arguments):
        self.received.append(("one", arguments))
        return standins.RecordingResult.set_OneWayAnovaResult(self, *arguments)

    def set_TwoWayAnovaResult(self, *arguments):
        self.received.append(("two", arguments))
        return standins.RecordingResult.set_TwoWayAnovaResult(self, *arguments)


class World(object):
    """The active log of the recording stand-ins, and the pandas tables made while it is active
    (``pandas.tables``, each with the positional ``args`` it was made with)."""

    def __init__(self, fp, log):
        self.fp = fp
        self.log = log
        self.pandas = types.SimpleNamespace(DataFrame=self._table, tables=[])

    def _table(self, *args, **kwargs):
        table = standins.RecordingTable(*args, **kwargs)
        table.args = args
        self.pandas.tables.append(table)
        return table

    def globals(self):
        return dict(standins.RECORDING_GLOBALS, pd=self.pandas)

    def frame(self, rows=None):
        return standins.RecordingFrame(rows=rows if rows is not None else [("row",)])

    def helper(self, **options):
        values = dict(measures=[], dimensions=[], rows=1000, levels={})
        values.update(options)
        return standins.RecordingHelper(**values)

    def analyser(self, frame=None, helper=None, record=None):
        """A constructed analyser (through the undecorated __init__: the stand-in frame is no
        Spark DataFrame), with `record` as its current result record if given."""
        analyser = self.fp.TwoWayAnova.__new__(self.fp.TwoWayAnova)
        standins.function(self.fp, "__init__")(
            analyser, frame if frame is not None else self.frame(), helper or self.helper())
        if record is not None:
            analyser._anova_result = record
        del self.log[:]
        return analyser

    def record(self):
        made = KeptResult()
        del self.log[:]
        return made


@pytest.fixture
def world(fp):
    standins.disarm()
    with standins.recording() as log:
        made = World(fp, log)
        with standins.rebound(fp, **made.globals()):
            yield made
