"""Running a command: ``main`` (the entry point, exit statuses and messages) and ``run`` (the
steps of one analysis, each asked of the run's backend, see :mod:`Tarnwick.cli.backend`).
"""
from __future__ import annotations

import contextlib
import sys
import time
import traceback
import warnings
from typing import Dict, Optional, Sequence

from Tarnwick.cli import formulas, signals
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


def _say_notes(args, backend) -> None:
    """What the backend has to say about its own choices (an engine deferred to), at once."""
    while backend.notes:
        _say(args, "note: " + backend.notes.pop(0))


def _say_selection_notes(args, selection, said: int = 0) -> int:
    """The selection's notes from the ``said``-th on; returns how many it has. The checks that
    need counts may finish with the tables' query, and add their notes then."""
    for note in selection.notes[said:]:
        _say(args, "note: " + note)
    return len(selection.notes)


def _check_outputs(args) -> None:
    """Checks of where the results go, which need no engine: they answer at once."""
    from Tarnwick.cli import plots

    if args.output:
        check_output_target(args.output, args.data)
    if args.plot:
        plots.require_matplotlib()
        plots.prepare_directory(args.plot)


def _render(args, result, context, formats) -> str:
    """The output of ``result`` in the format the options chose, one of ``formats``."""
    return formats["json" if args.json else "csv" if args.csv else "text"](result, context)


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
    from Tarnwick.cli import present
    from Tarnwick.cli.backend import choose_backend

    backend = choose_backend(args)
    _check_outputs(args)
    if args.formulas:
        formulas.check(args.formulas)
    fmt = backend.check_input(args)
    _say(args, "engine: " + backend.describe)
    phases = _Phases()
    backend.start()
    phases.mark("session")
    try:
        frame, source, measures, dimensions = backend.read(args, fmt)
        _say_notes(args, backend)
        phases.mark("read")
        if args.formulas:
            return _fit_models(args, backend, frame, source, phases)
        selection = backend.select_tests(frame, measures, dimensions, args)
        _say_notes(args, backend)
        phases.mark("checks")
        said = _say_selection_notes(args, selection)
        result, tests, refined, extras = _analyse(args, backend, selection, said)
        elapsed = phases.mark("tests")
        context = present.Context(
            source=source, rows=selection.rows, measures=selection.measures,
            dimensions=selection.dimensions, levels=selection.levels, bound=selection.bound,
            ss_type=args.ss_type, master=backend.location, tests=tests, elapsed=elapsed,
            correction=args.correction, refined=refined, timings=phases.timings, extras=extras,
            engine=backend.engine,
        )
        _deliver(args, result, _render(args, result, context, present.FORMATS))
        return 0
    finally:
        backend.stop()


def _fit_models(args, backend, frame, source: str, phases: _Phases) -> int:
    """The rest of a ``--formula`` run: fit the models, print their tables."""
    from Tarnwick.cli import present

    results = formulas.fit(backend, frame, args.formulas)
    elapsed = phases.mark("models")
    context = formulas.context(args, backend, source, elapsed, phases.timings)
    _deliver(args, results, _render(args, results, context, present.MODEL_FORMATS))
    return 0


def _analyse(args, backend, selection, said: int):
    """The plan's tables under the data's names, refined where marked, and the comparisons
    asked for: (result, tests filed, tests refined, comparisons or None). The notes of the
    checks that the tables' query finished follow the ``said`` ones said before."""
    from Tarnwick.cli import analysis, names, present

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        result, tests = backend.analyse(selection, args)
        _say_selection_notes(args, selection, said)
        result = names.restore(result, selection)  # the data's own column names again
        refined = analysis.refine_marked(result, selection.frame)
    for message in present.warning_notes(caught, refined, debug=args.debug):
        _say(args, "note: " + message)
    extras = None
    if analysis.comparisons_requested(args):
        correction = None if args.correction == "none" else args.correction
        extras = analysis.compare(result, selection.frame, args, correction)
    return result, tests, refined, extras


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

