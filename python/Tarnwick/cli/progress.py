"""Progress of a batch run: every finished Spark aggregation of the analyser counts as one test.

The analyser files each result through the result record it creates: the record is constructed
from the measure's overall aggregation, then receives one level table per dimension and one cell
table per pair of dimensions. Counting those calls counts the run's m·(1 + d + d·(d − 1)/2)
aggregations exactly, as each one ends. To see them, the two result classes are replaced, in the
analysis module's namespace and only for the duration of the run, by subclasses that count (the
module looks those names up each time it uses them); the subclasses also keep a reference to
every cell table for the interaction plots.
"""
from __future__ import annotations

import contextlib
import sys
import time
from typing import Callable, List, Optional, TextIO, Tuple


def total_tests(measures: int, dimensions: int) -> int:
    return measures * (1 + dimensions + dimensions * (dimensions - 1) // 2)


def _clock(seconds: float) -> str:
    seconds = int(round(seconds))
    hours, rest = divmod(seconds, 3600)
    minutes, seconds = divmod(rest, 60)
    if hours:
        return "%d:%02d:%02d" % (hours, minutes, seconds)
    return "%d:%02d" % (minutes, seconds)


class ProgressBar:
    """A one-line bar on a terminal: tests done of the total, elapsed time and an estimate."""

    WIDTH = 28

    def __init__(self, total: int, stream: Optional[TextIO] = None, enabled: bool = True,
                 clock: Callable[[], float] = time.monotonic, min_interval: float = 0.1):
        self.total = total
        self.done = 0
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled
        self._clock = clock
        self._start = clock()
        self._last_draw = None  # type: Optional[float]
        self._min_interval = min_interval
        self._width = 0

    def line(self) -> str:
        elapsed = self._clock() - self._start
        fraction = self.done / self.total if self.total else 1.0
        filled = int(round(self.WIDTH * fraction))
        bar = "#" * filled + "-" * (self.WIDTH - filled)
        if self.done and self.done < self.total:
            estimate = "~%s left" % _clock(elapsed / self.done * (self.total - self.done))
        elif self.done >= self.total:
            estimate = "done"
        else:
            estimate = "estimating"
        return "[%s] %d/%d tests  %s elapsed  %s" % (bar, self.done, self.total, _clock(elapsed), estimate)

    def advance(self, steps: int = 1) -> None:
        self.done += steps
        if not self.enabled:
            return
        now = self._clock()
        if self._last_draw is None or self.done >= self.total or now - self._last_draw >= self._min_interval:
            self.draw()
            self._last_draw = now

    def draw(self) -> None:
        text = self.line()
        pad = max(self._width - len(text), 0)
        self._width = len(text)
        self.stream.write("\r" + text + " " * pad)
        self.stream.flush()

    def close(self) -> None:
        """Erase the bar so that later messages start on a clean line."""
        if self.enabled and self._width:
            self.stream.write("\r" + " " * self._width + "\r")
            self.stream.flush()
            self._width = 0


def counting_classes(record_base, collection_base, tick: Callable[[], None],
                     cell_tables: List[Tuple[str, str, str, object]]):
    """Subclasses of the host's result classes that report each filed result to ``tick``."""

    class CountingMeasureAnovaResult(record_base):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self._cli_cells = []
            tick()

        def set_OneWayAnovaResult(self, *args, **kwargs):
            result = super().set_OneWayAnovaResult(*args, **kwargs)
            tick()
            return result

        def set_TwoWayAnovaResult(self, *args, **kwargs):
            result = super().set_TwoWayAnovaResult(*args, **kwargs)
            if len(args) == 3:
                self._cli_cells.append(tuple(args))
            tick()
            return result

    class CountingDFTwoWayAnovaResult(collection_base):
        def add_measure_result(self, *args, **kwargs):
            result = super().add_measure_result(*args, **kwargs)
            if len(args) == 2:
                name, record = args
                for dimension1, dimension2, table in getattr(record, "_cli_cells", ()):
                    cell_tables.append((name, dimension1, dimension2, table))
            return result

    for made, base in ((CountingMeasureAnovaResult, record_base),
                       (CountingDFTwoWayAnovaResult, collection_base)):
        made.__name__ = base.__name__
        made.__qualname__ = base.__qualname__
        made.__module__ = base.__module__
    return CountingMeasureAnovaResult, CountingDFTwoWayAnovaResult


@contextlib.contextmanager
def counting_results(module, tick: Callable[[], None]):
    """Rebind ``module``'s result classes to counting subclasses while the block runs.

    Yields the list that collects (measure, dimension1, dimension2, cell table) for every pair
    filed into the collection.
    """
    record_base = module.MeasureAnovaResult
    collection_base = module.DFTwoWayAnovaResult
    cell_tables = []  # type: List[Tuple[str, str, str, object]]
    record_class, collection_class = counting_classes(record_base, collection_base, tick, cell_tables)
    module.MeasureAnovaResult = record_class
    module.DFTwoWayAnovaResult = collection_class
    try:
        yield cell_tables
    finally:
        module.MeasureAnovaResult = record_base
        module.DFTwoWayAnovaResult = collection_base
