"""Command line: two-way analysis of variance of a data file on Spark.

``tarnwick-anova [DATA] [options]`` (or ``python -m Tarnwick``) reads a CSV, Parquet or JSON
file or directory with Spark, runs ``TwoWayAnova(frame, DataFrameHelper(frame)).test_all(...)``
and prints the ANOVA tables. Without DATA it analyses the bundled Palmer penguins data. See
``tarnwick-anova --help``.
"""
from __future__ import annotations

import contextlib
import os
import sys
import time
import traceback
import warnings
from typing import Optional, Sequence

from Tarnwick.cli.errors import InputError, first_line
from Tarnwick.cli.options import PROG, parse_args

__all__ = ["main", "run", "InputError"]


def _say(args, text: str) -> None:
    if not args.quiet:
        sys.stderr.write("%s: %s\n" % (PROG, text))
        sys.stderr.flush()


def _check_output_target(path: str) -> None:
    directory = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise InputError("--output %s is a directory; give a file name" % path)
    if not os.path.isdir(directory):
        raise InputError("cannot write --output %s: directory %s does not exist" % (path, directory))
    if not os.access(directory, os.W_OK | os.X_OK):
        raise InputError("cannot write --output %s: permission denied" % path)


def _write_atomically(path: str, text: str) -> None:
    """Write the whole output or nothing: a temporary file beside it, renamed when complete."""
    directory = os.path.dirname(os.path.abspath(path))
    temporary = os.path.join(directory, ".%s.%d.tmp" % (os.path.basename(path), os.getpid()))
    try:
        with open(temporary, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
        os.replace(temporary, path)
    except OSError as exc:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise InputError("cannot write --output %s: %s" % (path, exc.strerror or exc))


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


def run(args) -> int:
    """Run the analysis that ``args`` describe; returns the exit status (raises InputError)."""
    from Tarnwick.cli import plots, reader, remote, report
    from Tarnwick.cli.progress import ProgressBar, counting_results, total_tests
    from Tarnwick.cli.session import is_small_input, start_session, under_spark_submit
    from Tarnwick.cli.prepare import plan_run

    # Checks that need no Spark come first, so that they answer at once.
    if args.output:
        _check_output_target(args.output)
    if args.plot:
        plots.require_matplotlib()
        plots.prepare_directory(args.plot)
    url = remote.choose_url(args.remote, args.master)
    if url is not None:  # a Spark Connect server: it reads the data and runs the driver
        detect, read_file = remote.check_and_detect, remote.read_file
    else:
        detect, read_file = reader.check_and_detect, reader.read_file
    fmt = detect(args.data, args.format) if args.data else None

    started = time.monotonic()
    if url is not None:
        spark = remote.start_session(url, extra=args.conf)
    else:
        spark = start_session(
            args.master, tuned=not args.no_tuning, spark_ui=args.spark_ui, debug=args.debug,
            extra=args.conf, small_input=is_small_input(args.data),
        )
    timings = {"session": time.monotonic() - started}
    try:
        if args.data:
            path = remote.data_path(args.data) if url is not None else args.data
            frame = read_file(spark, path, fmt, sep=args.sep, null_value=args.null_value)
            source = args.data
            measures, dimensions = args.measures, args.dimensions
        else:
            frame = reader.read_bundled(spark)
            source = "bundled Palmer penguins data (%s)" % reader.BUNDLED_NAME
            measures = args.measures if args.measures is not None else reader.BUNDLED_MEASURES
            dimensions = args.dimensions if args.dimensions is not None else reader.BUNDLED_DIMENSIONS
        timings["read"] = time.monotonic() - started - sum(timings.values())
        plan = plan_run(frame, measures, dimensions, args.max_levels, cache=not args.no_cache)
        timings["checks"] = time.monotonic() - started - sum(timings.values())
        for note in plan.notes:
            _say(args, "note: " + note)

        from Tarnwick.bi.stats import factorpair

        total = total_tests(len(plan.measures), len(plan.dimensions))
        bar = ProgressBar(total, enabled=not args.quiet and sys.stderr.isatty())
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", RuntimeWarning)
            with counting_results(factorpair, bar.advance):
                try:
                    analyser = factorpair.TwoWayAnova(plan.frame, plan.helper)
                    result = analyser.test_all(plan.measures, plan.dimensions, args.max_levels)
                finally:
                    bar.close()
            refined = report.refine_if_needed(result, plan.frame, caught)
        for message in report.warning_notes(caught, refined, debug=args.debug):
            _say(args, "note: " + message)
        elapsed = time.monotonic() - started
        timings["tests"] = elapsed - sum(timings.values())

        context = report.Context(
            source=source,
            rows=plan.rows,
            measures=plan.measures,
            dimensions=plan.dimensions,
            levels=plan.levels,
            bound=plan.bound,
            ss_type=args.ss_type,
            master=remote.display_url(url) if url is not None else spark.sparkContext.master,
            tests=bar.done,
            elapsed=elapsed,
            correction=args.correction,
            refined=refined,
            timings=timings,
        )
        if args.json:
            text = report.to_json(result, context)
        elif args.csv:
            text = report.to_csv(result, context)
        else:
            text = report.to_text(result, context)

        if args.plot:
            written = plots.write_plots(args.plot, result)
            _say(args, "wrote %d interaction plot%s to %s" % (len(written), "" if len(written) == 1 else "s", args.plot))
        if args.output:
            _write_atomically(args.output, text)
            _say(args, "wrote %s" % args.output)
        else:
            sys.stdout.write(text)
            sys.stdout.flush()
        return 0
    finally:
        if not under_spark_submit():
            spark.stop()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Entry point of ``tarnwick-anova`` and ``python -m Tarnwick``; returns the exit status."""
    args = parse_args(argv)
    try:
        with _quiet_versions(args.debug):
            return run(args)
    except InputError as exc:
        if args.debug:
            traceback.print_exc()
        sys.stderr.write("%s: error: %s\n" % (PROG, exc))
        return exc.exit_status
    except KeyboardInterrupt:
        sys.stderr.write("\n%s: interrupted\n" % PROG)
        return 130
    except Exception as exc:  # anything else is a fault of ours or of Spark: say so briefly
        if args.debug:
            traceback.print_exc()
            sys.stderr.write("%s: error: %s: %s\n" % (PROG, type(exc).__name__, first_line(exc)))
        else:
            sys.stderr.write(
                "%s: error: unexpected failure: %s: %s (rerun with --debug for the traceback)\n"
                % (PROG, type(exc).__name__, first_line(exc))
            )
        return 1

