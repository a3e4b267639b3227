"""Ctrl-C and SIGTERM: stop the run at any moment, leaving no Spark process and no temporary file.

While a run lasts, the first SIGINT raises KeyboardInterrupt and the first SIGTERM raises
:class:`Terminated`, wherever the main thread is (starting the driver JVM, reading, testing);
``finally`` blocks then stop Spark and remove temporary files. A further signal during that
clean-up is ignored, so a second Ctrl-C cannot interrupt it or print a traceback. pyspark puts its
own SIGINT handler in place when it creates the Spark context (it cancels the jobs through the
Java gateway); :func:`reinstall` puts this one back.

The driver JVM is started in a process group of its own (see ``session``), so that it can be
stopped with its launcher even when the interrupt came before pyspark knew its process:
:func:`stop_process_group` asks it with SIGTERM (its shutdown hooks remove Spark's temporary
directories) and forces it with SIGKILL when it does not exit in time.
"""
from __future__ import annotations

import contextlib
import logging
import os
import signal
import threading
import time
from typing import Iterator, Optional

#: Exit statuses of a run stopped by SIGINT and by SIGTERM (128 + the signal number).
EXIT_STATUS = {signal.SIGINT: 130, signal.SIGTERM: 143}


class Terminated(BaseException):
    """Raised in the main thread by SIGTERM while a run lasts (a BaseException, like
    KeyboardInterrupt, so that no ``except Exception`` swallows it)."""


_state = {"received": None}  # the first signal of the current run, or None

# The real setter: kept() replaces signal.signal for pyspark's sake while Spark starts, and
# deferred() must still be able to hold SIGINT back in that time.
_set_handler = signal.signal


def received() -> Optional[int]:
    """The signal that stopped the current run, or None."""
    return _state["received"]


def _handler(signum, frame) -> None:
    if _state["received"] is not None:
        return  # already stopping: let the clean-up finish
    _state["received"] = signum
    if signum == signal.SIGTERM:
        raise Terminated()
    raise KeyboardInterrupt()


def _in_main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


def reinstall() -> None:
    """Put this module's SIGINT handler back (after pyspark replaced it)."""
    if _in_main_thread() and signal.getsignal(signal.SIGINT) is not _handler and _installed():
        signal.signal(signal.SIGINT, _handler)


def _installed() -> bool:
    return signal.getsignal(signal.SIGTERM) is _handler


@contextlib.contextmanager
def kept() -> Iterator[None]:
    """Keep the run's SIGINT handler in place for the block, while Spark starts.

    pyspark puts its own SIGINT handler in place when it creates the Spark context; a Ctrl-C
    that reached that handler before :func:`reinstall` would cancel the jobs through a gateway
    call made while another is in progress, and log that call's failure with its traceback.
    """
    if not _in_main_thread() or not _installed():
        yield
        return
    replace = signal.signal

    def keeping(signum, handler):
        if signum == signal.SIGINT and handler is not _handler:
            return signal.getsignal(signum)  # ours stays: the run stops Spark itself
        return replace(signum, handler)

    signal.signal = keeping
    try:
        yield
    finally:
        signal.signal = replace


class _AfterSignal(logging.Filter):
    """Drops the log records of calls that a signal cut short (py4j logs each one with its
    traceback, on the root logger): the run reports the signal in one line instead."""

    def filter(self, record: logging.LogRecord) -> bool:
        return _state["received"] is None


@contextlib.contextmanager
def handled() -> Iterator[None]:
    """Install the run's SIGINT and SIGTERM handlers for the block; restore the previous ones."""
    _state["received"] = None
    if not _in_main_thread():
        yield
        return
    previous = {s: signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM)}
    for s in previous:
        signal.signal(s, _handler)
    quiet = _AfterSignal()
    loggers = [logging.getLogger(name) for name in ("", "py4j", "py4j.java_gateway", "py4j.clientserver")]
    for logger in loggers:
        logger.addFilter(quiet)
    try:
        yield
    finally:
        for logger in loggers:
            logger.removeFilter(quiet)
        for s, handler in previous.items():
            signal.signal(s, handler)


@contextlib.contextmanager
def deferred() -> Iterator[None]:
    """Hold SIGINT and SIGTERM back for the block (a clean-up that must not be cut short); a
    signal that arrives meanwhile is acted on when the block ends."""
    if not _in_main_thread() or not _installed():
        yield
        return
    pending = []
    previous = {s: signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM)}
    for s in previous:
        _set_handler(s, lambda signum, frame: pending.append(signum))
    try:
        yield
    finally:
        for s, handler in previous.items():
            _set_handler(s, handler)
        if pending:
            _handler(pending[0], None)


def process_alive(pid: int) -> bool:
    """Whether process ``pid`` still runs (a child of this process that ended is reaped)."""
    try:
        finished, _ = os.waitpid(pid, os.WNOHANG)
        if finished:
            return False
    except ChildProcessError:
        pass
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _group_alive(group: int) -> bool:
    try:
        os.killpg(group, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def stop_process_group(pid: int, grace: float = 10.0) -> None:
    """Stop the process ``pid`` leads and every process of its group: SIGTERM, then SIGKILL
    after ``grace`` seconds for what is still running."""
    try:
        os.killpg(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline:
        if not process_alive(pid) and not _group_alive(pid):
            return
        time.sleep(0.05)
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        return
    process_alive(pid)  # reap it
