"""The analysis step of a run: the chosen plan, its progress bar, and the warnings it raised.

Two plans give the same tables:

* ``one-scan`` (the default): :func:`Tarnwick.bi.stats.onescan.one_scan_test_all`, two Spark
  queries for the whole run (a profile of the measures, then every table from one aggregation
  of the cells); the bar counts its steps.
* ``per-test``: the analyser, ``TwoWayAnova(frame, helper).test_all(...)``, one Spark
  aggregation per measure, per dimension and per pair, one after another; the bar counts them.
"""
from __future__ import annotations

import sys
from typing import Any, Tuple

from Tarnwick.cli.progress import ProgressBar, counting_results, total_tests

PLANS = ("one-scan", "per-test")
DEFAULT_PLAN = "one-scan"
#: The one-scan plan's steps, as its progress callback names them.
ONE_SCAN_STEPS = ("profile", "tables-query", "tables")


def progress_total(plan_name: str, measures: int, dimensions: int) -> int:
    """How many units the bar of ``plan_name`` counts: steps, or the per-test aggregations."""
    if plan_name == "one-scan":
        return len(ONE_SCAN_STEPS)
    return total_tests(measures, dimensions)


def analyse(plan_name: str, plan: Any, max_num_levels: int,
            show_progress: bool) -> Tuple[Any, int]:
    """Run the analysis of ``plan`` (see ``prepare.plan_run``) with the chosen plan.

    Returns
    -------
    result : DFTwoWayAnovaResult
    tests : int
        Number of tests filed (a measure's overall row, each one-way and each two-way table).
    """
    total = progress_total(plan_name, len(plan.measures), len(plan.dimensions))
    unit = "steps" if plan_name == "one-scan" else "tests"
    bar = ProgressBar(total, enabled=show_progress and sys.stderr.isatty(), unit=unit)
    filed = [0]

    def count_test() -> None:
        filed[0] += 1

    unbounded = getattr(plan, "unbounded", False)
    try:
        if plan_name == "one-scan":
            from Tarnwick.bi.stats import onescan

            with counting_results(onescan, count_test):
                # The checks' profile stands in for the plan's first step.
                if unbounded:  # named dimensions, some above the bound: tested as given
                    result = onescan.one_scan_test_against(
                        plan.frame, plan.measures, plan.dimensions,
                        progress=lambda step: bar.advance(), profile=plan.profile,
                    )
                else:
                    result = onescan.one_scan_test_all(
                        plan.frame, plan.measures, plan.dimensions, max_num_levels,
                        progress=lambda step: bar.advance(), profile=plan.profile,
                    )
        else:
            from Tarnwick.bi.common.columns import measures_as_doubles
            from Tarnwick.bi.stats import factorpair

            plan.frame = measures_as_doubles(plan.frame, plan.measures)  # its sums are doubles
            def tick() -> None:
                count_test()
                bar.advance()

            with counting_results(factorpair, tick):
                analyser = factorpair.TwoWayAnova(plan.frame, plan.helper)
                if unbounded:
                    result = _test_all_as_given(factorpair, analyser, plan)
                else:
                    result = analyser.test_all(plan.measures, plan.dimensions, max_num_levels)
    finally:
        bar.close()
    return result, filed[0]


def _test_all_as_given(factorpair: Any, analyser: Any, plan: Any) -> Any:
    """``test_all``'s loop over the measures with the dimensions as given, without its level
    bound: per measure the same overall aggregation and record, then the analyser's own
    ``test_against`` (which tests the dimensions it is handed, as named)."""
    from pyspark.sql import functions as F

    from Tarnwick.bi.common.columns import column

    collection = factorpair.DFTwoWayAnovaResult()
    for measure in plan.measures:
        value = column(measure)
        row = (
            plan.frame.select(value.alias("x"), (value ** 2).alias("x2"))
            .agg(F.count(F.col("x")), F.mean(F.col("x")), F.sum(F.col("x2")))
            .collect()[0]
        )
        analyser._anova_result = factorpair.MeasureAnovaResult(row)
        analyser.test_against(measure, list(plan.dimensions))
        collection.add_measure_result(measure, analyser._anova_result)
    return collection
