"""Progress of a batch run. With the analyser's per-test plan every finished Spark aggregation
counts as one test, m·(1 + d + d·(d − 1)/2) in all, reported as each measure's aggregations
end; the one-scan plan reports its few steps instead (see ``cli.analysis``).
"""
from __future__ import annotations

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
