"""Command line: two-way analysis of variance of a data file on Spark.

``tarnwick-anova [DATA] [options]`` (or ``python -m Tarnwick``) reads a CSV, Parquet or JSON
file or directory with Spark, runs ``TwoWayAnova(frame, DataFrameHelper(frame)).test_all(...)``
and prints the ANOVA tables. Without DATA it analyses the bundled Palmer penguins data. See
``tarnwick-anova --help``.
"""
from __future__ import annotations

import contextlib
import sys
import time
import traceback
import warnings
from typing import Dict, Optional, Sequence

from Tarnwick.cli import signals
from Tarnwick.cli.errors import InputError, first_line
from Tarnwick.cli.options import PROG, parse_args
from Tarnwick.cli.output import check_output_target, message_line, write_output

__all__ = ["main", "run", "InputError"]


def _say(args, text: str) -> None:
    if not args.quiet:
        sys.stderr.write("%s: %s\n" % (PROG, message_line(text)))
        sys.stderr.flush()


@contextlib.contextmanager
def _quiet_versions(debug: bool):
    """Drop pyspark's start-up notices about the versions around it (Python 3.7 deprecated in
    pyspark 3.4, pandas 3 not fully supported by pyspark 4): pyspark forces them through its
    own filters, so only their display can be skipped. The run uses nothing they concern."""
    shown = warnings.showwarning
    notices = ("support is deprecated", "does not yet fully support pandas")

    def show(message, category, *rest, **kwargs):
        text = str(message)
        if debug or not (issubclass(category, FutureWarning) and any(n in text for n in notices)):
            shown(message, category, *rest, **kwargs)

    warnings.showwarning = show
    try:
        yield
    finally:
        warnings.showwarning = shown


class _Phases:
    """Seconds spent in each phase of a run, measured from one start."""

    def __init__(self) -> None:
        self.started = time.monotonic()
        self.timings = {}  # type: Dict[str, float]

    def mark(self, name: str) -> float:
        """End phase ``name`` now; returns the seconds since the start."""
        elapsed = time.monotonic() - self.started
        self.timings[name] = elapsed - sum(self.timings.values())
        return elapsed


def _check_before_spark(args, url):
    """Checks that need no Spark come first, so that they answer at once; returns the format.

    ``url`` is the Spark Connect server of the run, or None for a session of its own.
    """
    from Tarnwick.cli import plots, reader, remote

    if args.output:
        check_output_target(args.output, args.data)
    if args.plot:
        plots.require_matplotlib()
        plots.prepare_directory(args.plot)
    if not args.data:
        return None
    if url is not None:  # a Spark Connect server: it reads the data and runs the driver
        return remote.check_and_detect(args.data, args.format)
    return reader.check_and_detect(args.data, args.format, glob=args.glob)


def _start(args, url):
    """The run's Spark session: on the Connect server ``url``, or a session of its own."""
    from Tarnwick.cli import remote
    from Tarnwick.cli.session import is_small_input, start_session

    if url is not None:
        return remote.start_session(url, extra=args.conf)
    return start_session(
        args.master, tuned=not args.no_tuning, spark_ui=args.spark_ui, debug=args.debug,
        extra=args.conf, small_input=is_small_input(args.data),
    )


def _read(args, spark, fmt, url):
    """The input frame, its description, and the requested measures and dimensions."""
    from Tarnwick.cli import reader, remote

    if args.data and url is not None:
        frame = remote.read_file(spark, remote.data_path(args.data), fmt, sep=args.sep,
                                 null_value=args.null_value)
        return frame, args.data, args.measures, args.dimensions
    if args.data:
        frame = reader.read_file(spark, args.data, fmt, sep=args.sep, null_value=args.null_value,
                                 glob=args.glob)
        return frame, args.data, args.measures, args.dimensions
    frame = reader.read_bundled(spark)
    source = "bundled Palmer penguins data (%s)" % reader.BUNDLED_NAME
    measures = args.measures if args.measures is not None else reader.BUNDLED_MEASURES
    dimensions = args.dimensions if args.dimensions is not None else reader.BUNDLED_DIMENSIONS
    return frame, source, measures, dimensions


def _render(args, result, context) -> str:
    from Tarnwick.cli import present

    if args.json:
        return present.to_json(result, context)
    if args.csv:
        return present.to_csv(result, context)
    return present.to_text(result, context)


def _deliver(args, result, text: str) -> None:
    """Plots, then the output file or stdout."""
    from Tarnwick.cli import plots

    if args.plot:
        written = plots.write_plots(args.plot, result)
        _say(args, "wrote %d interaction plot%s to %s" % (len(written), "" if len(written) == 1 else "s", args.plot))
    if args.output:
        write_output(args.output, text)
        _say(args, "wrote %s" % args.output)
    else:
        sys.stdout.write(text)
        sys.stdout.flush()


def run(args) -> int:
    """Run the analysis that ``args`` describe; returns the exit status (raises InputError)."""
    from Tarnwick.cli import names, posthoc_report, remote, present
    from Tarnwick.cli.analysis import DEFAULT_PLAN, analyse
    from Tarnwick.cli.session import stop_session
    from Tarnwick.cli.prepare import plan_run

    url = remote.choose_url(args.remote, args.master)
    fmt = _check_before_spark(args, url)
    phases = _Phases()
    spark = _start(args, url)
    phases.mark("session")
    try:
        frame, source, measures, dimensions = _read(args, spark, fmt, url)
        phases.mark("read")
        plan = plan_run(frame, measures, dimensions, args.max_levels, cache=not args.no_cache)
        phases.mark("checks")
        for note in plan.notes:
            _say(args, "note: " + note)

        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", RuntimeWarning)
            result, tests = analyse(getattr(args, "plan", DEFAULT_PLAN), plan, args.max_levels,
                                    show_progress=not args.quiet)
            result = names.restore(result, plan)  # the data's own column names again
            refined = present.refine_if_needed(result, plan.frame, caught)
        for message in present.warning_notes(caught, refined, debug=args.debug):
            _say(args, "note: " + message)
        extras = None
        if posthoc_report.requested(args):
            correction = None if args.correction == "none" else args.correction
            extras = posthoc_report.compute(result, plan.frame, args, correction)
        elapsed = phases.mark("tests")

        context = present.Context(
            source=source,
            rows=plan.rows,
            measures=plan.measures,
            dimensions=plan.dimensions,
            levels=plan.levels,
            bound=plan.bound,
            ss_type=args.ss_type,
            master=remote.display_url(url) if url is not None else spark.sparkContext.master,
            tests=tests,
            elapsed=elapsed,
            correction=args.correction,
            refined=refined,
            timings=phases.timings,
            extras=extras,
        )
        _deliver(args, result, _render(args, result, context))
        return 0
    finally:
        if url is not None:
            spark.stop()  # the client's session; the server goes on
        else:
            stop_session(spark)


def _interrupted() -> int:
    import signal

    signum = signals.received() or signal.SIGINT
    sys.stderr.write("\n%s: %s\n" % (PROG, "interrupted" if signum == signal.SIGINT else "terminated"))
    return signals.EXIT_STATUS[signum]


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Entry point of ``tarnwick-anova`` and ``python -m Tarnwick``; returns the exit status."""
    args = parse_args(argv)
    try:
        with _quiet_versions(args.debug), signals.handled():
            return run(args)
    except InputError as exc:
        if signals.received() is not None:
            return _interrupted()  # a failure that the signal caused
        if args.debug:
            traceback.print_exc()
        sys.stderr.write("%s: error: %s\n" % (PROG, message_line(exc)))
        return exc.exit_status
    except (KeyboardInterrupt, signals.Terminated):
        return _interrupted()
    except Exception as exc:  # anything else is a fault of ours or of Spark: say so briefly
        if signals.received() is not None:
            return _interrupted()  # a call cut short by the signal
        if args.debug:
            traceback.print_exc()
            sys.stderr.write("%s: error: %s: %s\n" % (PROG, type(exc).__name__, message_line(first_line(exc))))
        else:
            sys.stderr.write(
                "%s: error: unexpected failure: %s: %s (rerun with --debug for the traceback)\n"
                % (PROG, type(exc).__name__, message_line(first_line(exc), 300))
            )
        return 1

