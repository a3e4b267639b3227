"""Progress of a batch run. With the analyser's per-test plan every finished Spark aggregation
counts as one test; the one-scan plan reports its few steps instead (see ``cli.analysis``).

The analyser files each result through the result record it creates: the record is constructed
from the measure's overall aggregation, then receives one level table per dimension and one cell
table per pair of dimensions. Counting those calls counts the run's m·(1 + d + d·(d − 1)/2)
aggregations exactly, as each one ends. To see them, the record class is replaced, in the analysis
module's namespace and only for the duration of the run, by a subclass that counts (the module
looks the name up each time it uses it).
"""
from __future__ import annotations

import contextlib
import sys
import time
from typing import Callable, Optional, TextIO


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
                 clock: Callable[[], float] = time.monotonic, min_interval: float = 0.1,
                 unit: str = "tests"):
        self.total = total
        self.unit = unit
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
        return "[%s] %d/%d %s  %s elapsed  %s" % (bar, self.done, self.total, self.unit,
                                                 _clock(elapsed), estimate)

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


def counting_record_class(record_base, tick: Callable[[], None]):
    """A subclass of the host's record class that reports each filed result to ``tick``."""

    class CountingMeasureAnovaResult(record_base):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            tick()

        def set_OneWayAnovaResult(self, *args, **kwargs):
            result = super().set_OneWayAnovaResult(*args, **kwargs)
            tick()
            return result

        def set_TwoWayAnovaResult(self, *args, **kwargs):
            result = super().set_TwoWayAnovaResult(*args, **kwargs)
            tick()
            return result

    CountingMeasureAnovaResult.__name__ = record_base.__name__
    CountingMeasureAnovaResult.__qualname__ = record_base.__qualname__
    CountingMeasureAnovaResult.__module__ = record_base.__module__
    return CountingMeasureAnovaResult


@contextlib.contextmanager
def counting_results(module, tick: Callable[[], None]):
    """Rebind ``module.MeasureAnovaResult`` to a counting subclass while the block runs."""
    record_base = module.MeasureAnovaResult
    module.MeasureAnovaResult = counting_record_class(record_base, tick)
    try:
        yield
    finally:
        module.MeasureAnovaResult = record_base
