"""The analysis step of a run: the chosen plan, refinement, and the comparisons asked for.

Two plans give the same tables:

* ``one-scan`` (the default): :func:`Tarnwick.bi.stats.onescan.one_scan_tables`, a look at
  the first rows and then one query for every table, which also gives the counts the checks
  need (:func:`.prepare.check_counts`); the input is not cached. On a Spark session the bar
  follows the tasks of that query (:class:`.progress.QueryTasks`), elsewhere it counts steps.
* ``per-test``: the analyser, ``TwoWayAnova(frame, helper)``, one Spark aggregation per measure,
  per dimension and per pair, one after another; the bar counts them.

Everything computed after the tables goes through the result objects' own methods: ``refine``
for the tests the precision guard marked, ``post_hoc``, ``welch`` and ``levene`` for the
comparisons and variance tests. Costs in Spark: Tukey–Kramer none; Games–Howell and Welch's test
one aggregation each per measure and dimension for the per-level variances (none when the level
tables carry them, as the one-scan plan's do); Levene's and Brown–Forsythe's tests one
aggregation each per measure and dimension.
"""
from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Any, Callable, Dict, Hashable, List, Optional, Sequence, Tuple

from Tarnwick.cli.progress import ProgressBar, QueryTasks, status_tracker, total_tests

#: The plans a run can take (``--plan``), and the default.
PLANS = ("one-scan", "per-test")
DEFAULT_PLAN = "one-scan"
ONE_SCAN, PER_TEST = PLANS
#: The one-scan plan's steps, as its progress callback names them.
ONE_SCAN_STEPS = ("profile", "tables-query", "tables")
#: The variance tests, by the ``center`` of ``levene`` they use.
CENTER_TESTS = {"mean": "levene", "median": "brown-forsythe"}

Key = Tuple[Any, Hashable]

if TYPE_CHECKING:  # the options import this module: pandas only when a run needs it
    import pandas as pd


def wants_cache(args: Any) -> bool:
    """Whether the run caches its input: the per-test plan does unless ``--no-cache``, as it
    reads the input once per test; the one-scan plan reads it once for its tables and caches
    it only with ``--cache``."""
    if getattr(args, "no_cache", False):
        return False
    return bool(getattr(args, "cache", False)) or args.plan == PER_TEST


def progress_total(plan_name: str, measures: int, dimensions: int) -> int:
    """How many units the bar of ``plan_name`` counts: steps, or the per-test aggregations."""
    if plan_name == ONE_SCAN:
        return len(ONE_SCAN_STEPS)
    return total_tests(measures, dimensions)


def filed_tests(result: Any) -> int:
    """Number of tests filed in ``result``: per record its overall row, each one-way and each
    two-way table."""
    return sum(1 + len(record.dimensions) + len(record.pairs) for _, record in result.records)


def analyse(plan_name: str, selection: Any, max_num_levels: int,
            show_progress: bool) -> Tuple[Any, int]:
    """Run the analysis of ``selection`` (see ``prepare.select_tests``) with the chosen plan.

    Returns
    -------
    result : DFTwoWayAnovaResult
    tests : int
        Number of tests filed (a measure's overall row, each one-way and each two-way table).
    """
    total = progress_total(plan_name, len(selection.measures), len(selection.dimensions))
    unit = "steps" if plan_name == ONE_SCAN else "tests"
    shown = show_progress and sys.stderr.isatty()
    tracker = status_tracker(selection.frame) if plan_name == ONE_SCAN and shown else None
    if tracker is not None:  # the bar follows the tasks of the plan's queries
        total, unit = 0, "tasks"
    bar = ProgressBar(total, enabled=shown, unit=unit)
    try:
        if tracker is not None:
            with QueryTasks(tracker, bar):
                result = _one_scan(selection, max_num_levels, lambda step: None)
        elif plan_name == ONE_SCAN:
            result = _one_scan(selection, max_num_levels, lambda step: bar.advance())
        else:
            from Tarnwick.bi.common.columns import measures_as_doubles
            from Tarnwick.bi.stats.factorpair import TwoWayAnova

            frame = measures_as_doubles(selection.frame, selection.measures)  # its sums are doubles
            analyser = TwoWayAnova(frame, selection.helper)
            result = test_as_selected(analyser, selection.measures, selection.dimensions,
                                      max_num_levels, bar.advance)
    finally:
        bar.close()
    return result, filed_tests(result)


def _one_scan(selection: Any, max_num_levels: int, progress: Callable[[str], None]) -> Any:
    from Tarnwick.bi.stats import onescan

    if selection.pending is not None:
        # The checks that need counts are made from the tables' query, before any table is
        # filed: an InputError here still comes before any output.
        from Tarnwick.cli.prepare import check_counts

        tables = onescan.one_scan_tables(
            selection.frame, selection.measures, selection.dimensions, max_num_levels,
            named=selection.pending.named_dimensions, progress=progress)
        check_counts(selection, tables, max_num_levels)
        return tables.result(selection.measures, selection.dimensions, progress)
    # The checks' profile stands in for the plan's first step.
    if selection.unbounded:  # named dimensions, some above the bound: tested as given
        return onescan.one_scan_test_against(
            selection.frame, selection.measures, selection.dimensions, progress=progress,
            profile=selection.profile,
        )
    return onescan.one_scan_test_all(
        selection.frame, selection.measures, selection.dimensions, max_num_levels,
        progress=progress, profile=selection.profile,
    )


def test_as_selected(analyser: Any, measures: Sequence[str], dimensions: Sequence[str],
                     max_num_levels: int, advance: Callable[[int], None]) -> Any:
    """The analyser's tables of every measure against ``dimensions`` as given, one measure at
    a time, reporting each measure's finished aggregations to ``advance``.

    ``test_all`` of one measure and no dimension computes the measure's overall row and leaves
    its record as the analyser's current one; ``test_against`` then files the dimensions and
    pairs into it, whatever their level counts (the checks already chose them, and named
    dimensions are tested even above the level bound).
    """
    from Tarnwick.bi.common.results import DFTwoWayAnovaResult

    dimensions = list(dimensions)
    collection = DFTwoWayAnovaResult()
    for measure in measures:
        record = analyser.test_all([measure], [], max_num_levels).get_measure_result(measure)
        advance(1)
        analyser.test_against(measure, dimensions)
        advance(total_tests(1, len(dimensions)) - 1)
        collection.add_measure_result(measure, record)
    return collection


def refine_marked(result: Any, frame: Any) -> int:
    """Recompute the tests the precision guard marked, from Spark's central moments.

    Returns the number of tests recomputed (0 when none was marked).
    """
    if not result.imprecise_tests:
        return 0
    return int(result.refine(frame))


# -- which levels differ ------------------------------------------------------------------------


def comparisons_requested(args: Any) -> bool:
    """Whether the options ask for comparisons or variance tests."""
    return bool(args.post_hoc or args.welch or args.levene or args.brown_forsythe)


class Comparisons:
    """The comparison and variance tables of a run, by (measure, dimension).

    Attributes
    ----------
    method : str or None
        "tukey" or "games-howell" when comparisons were asked for.
    alpha : float
    tests : dict
        (measure, dimension) -> {test name: one-row table}; test names "welch", "levene",
        "brown-forsythe".
    pairs : dict
        (measure, dimension) -> (comparison table, note); note says why there are no pairs.
    """

    def __init__(self, method: Optional[str], alpha: float) -> None:
        self.method = method
        self.alpha = alpha
        self.tests: Dict[Key, Dict[str, pd.DataFrame]] = {}
        self.pairs: Dict[Key, Tuple[pd.DataFrame, str]] = {}


def _significant(result: Any, correction: Optional[str], alpha: float) -> List[Key]:
    """(measure, dimension) of the one-way tests significant after the correction."""
    summary = result.summary(correction=correction)
    p = summary["p_adjusted"] if correction else summary["p_value"]
    chosen = summary[(summary["test"] == "one-way") & (p.astype(float) < alpha)]
    return [(m, dims[0]) for m, dims in zip(chosen["measure"], chosen["dimensions"])]


def compare(result: Any, frame: Any, args: Any, correction: Optional[str]) -> Comparisons:
    """Run the comparisons and tests that ``args`` ask for on the run's ``result``.

    The pairwise comparisons are made for the one-way tests whose F is significant at
    ``args.alpha`` after the run's multiple-testing correction (all of them with
    ``post_hoc_all``).

    Parameters
    ----------
    result : DFTwoWayAnovaResult
    frame : pyspark.sql.DataFrame
        The frame the run analysed (for the variances and Levene's deviations).
    args : argparse.Namespace
        ``post_hoc``, ``post_hoc_all``, ``welch``, ``levene``, ``brown_forsythe``, ``alpha``.
    correction : {"holm", "bh", None}
        The run's correction, which decides the significant tests.
    """
    from Tarnwick.bi.common import posthoc

    found = Comparisons(args.post_hoc, args.alpha)
    everything = [(m, d) for m in result.measures for d in result[m].dimensions]
    for measure, dimension in everything:
        record = result[measure]
        tests = {}  # type: Dict[str, pd.DataFrame]
        if args.welch:
            tests["welch"] = record.welch(dimension, frame)
        for center, wanted in (("mean", args.levene), ("median", args.brown_forsythe)):
            if wanted:
                tests[CENTER_TESTS[center]] = record.levene(dimension, frame, center)
        if tests:
            found.tests[(measure, dimension)] = tests
    if args.post_hoc:
        chosen = everything if args.post_hoc_all else _significant(result, correction, args.alpha)
        for measure, dimension in chosen:
            record = result[measure]
            table = record.post_hoc(dimension, args.post_hoc, args.alpha, data_frame=frame)
            # Whether there are levels to compare at all: the level table answers it.
            note = posthoc.statistics_note(record.level_statistics(dimension),
                                           need_variances=False)
            found.pairs[(measure, dimension)] = (table, note)
    return found
