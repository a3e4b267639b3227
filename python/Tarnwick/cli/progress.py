"""Progress of a batch run. With the analyser's per-test plan every finished Spark aggregation
counts as one test, m·(1 + d + d·(d − 1)/2) in all, reported as each measure's aggregations
end. The one-scan plan's work is nearly all one long query: on a Spark session with a status
tracker the bar follows that query's tasks (:class:`QueryTasks`); elsewhere (Spark Connect, the
embedded engine) it counts the plan's few steps (see ``cli.analysis``).
"""
from __future__ import annotations

import sys
import threading
import time
from typing import Any, Callable, Optional, TextIO, Tuple


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
        self.update(self.done + steps, self.total)

    def update(self, done: int, total: int) -> None:
        """Show ``done`` of ``total`` (a total that grows as the work becomes known)."""
        self.done, self.total = done, total
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


def status_tracker(frame: Any) -> Any:
    """Spark's status tracker of the session that computes ``frame``, or None where there is
    none: a Spark Connect session (its client has no SparkContext) or another engine's frame."""
    session = getattr(frame, "sparkSession", None)
    if session is None:
        return None
    try:
        return session.sparkContext
    except (NotImplementedError, AttributeError, RuntimeError):  # Spark Connect's client
        return None


class QueryTasks:
    """While active, a thread follows the tasks of the Spark jobs started in this thread (a job
    group of their own) through Spark's status tracker, and shows them on ``bar``: completed
    tasks of every stage those jobs have so far, of their tasks in all.

    Parameters
    ----------
    context : pyspark.SparkContext
    bar : ProgressBar
    interval : float
        Seconds between two looks at the tracker.
    """

    #: The local properties that setting a job group sets, restored afterwards.
    PROPERTIES = ("spark.jobGroup.id", "spark.job.description", "spark.job.interruptOnCancel")

    def __init__(self, context: Any, bar: ProgressBar, interval: float = 0.25) -> None:
        self.context = context
        self.bar = bar
        self.interval = interval
        self.group = "tarnwick-tables-%d-%d" % (id(self), int(time.time() * 1000))
        self._stop = threading.Event()
        self._thread = None  # type: Optional[threading.Thread]
        self._previous = ()  # type: Tuple[Optional[str], ...]

    def tasks(self) -> Tuple[int, int]:
        """(completed, all) tasks of the stages of the group's jobs, as the tracker has them.
        A finished job's stages that ran no task were skipped (their output was at hand, from
        an earlier job of the query): they do not count."""
        tracker = self.context.statusTracker()
        done = total = 0
        for job in tracker.getJobIdsForGroup(self.group):
            info = tracker.getJobInfo(job)
            if info is None:
                continue
            for stage in info.stageIds:
                stage_info = tracker.getStageInfo(stage)
                if stage_info is None or (info.status == "SUCCEEDED"
                                          and not stage_info.numCompletedTasks):
                    continue
                done += stage_info.numCompletedTasks
                total += stage_info.numTasks
        return done, total

    def _follow(self) -> None:
        while not self._stop.wait(self.interval):
            done, total = self.tasks()
            if total:
                self.bar.update(done, total)

    def __enter__(self) -> "QueryTasks":
        self._previous = tuple(self.context.getLocalProperty(p) for p in self.PROPERTIES)
        self.context.setJobGroup(self.group, "tables' query")
        self._thread = threading.Thread(target=self._follow, name="tarnwick-progress",
                                        daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        for name, value in zip(self.PROPERTIES, self._previous):
            self.context.setLocalProperty(name, value)
        if exc[0] is None:
            done, total = self.tasks()
            self.bar.update(total, total)
