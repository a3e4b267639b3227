"""The one-scan plan against the per-test plan on local Spark: a script that prints figures.

In one process and on the same cached generated frame, best of ``--repeat`` runs each:

* floor: one aggregation of the whole frame (row count and the sum of every measure), the least
  any plan must do;
* one-scan: ``one_scan_test_all(frame)``, as a library user calls it (a small job over the
  first rows, then the tables' query);
* one-scan + checks: ``profile(frame, ...)`` then ``one_scan_test_all(frame, profile=...)``,
  an exact profile first and then the tables' query (the command line's checks now take their
  counts from the tables' query instead);
* per-test: ``TwoWayAnova(frame, DataFrameHelper(frame)).test_all()``, with a new helper (and so
  its distinct-count profile) each time;
* stage 1 alone: the checks' profile and the per-cell aggregation of the tables' query with
  nothing rolled up, so that one-scan + checks less it is what stage 2 (the grouping sets and
  the second pass of the cells about each group's mean) costs;
* steps alone: the helper's exact profile (``count(DISTINCT)`` per dimension), the checks'
  profile, the look at the first rows, and the approximate profile the plan falls back on.

For each it prints the seconds and the Spark SQL queries (executions that ran jobs). The cases:
10⁶ and 10⁷ rows with 3 measures and 4 dimensions of 3 to 6 levels, and 10⁶ rows with 3
measures and 6 dimensions of 40 levels (nearly every row its own cell). Then the test phase
of the bundled penguins demo through the command line, both plans (``timings_seconds.tests``
of its JSON output, best of the repeats).

Run::

    .venv/py3.7/bin/python bench/one_scan.py
    .venv/py3.7/bin/python bench/one_scan.py --cases 1e6x4x6 --repeat 1  # shorter
"""
from __future__ import print_function

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from spark_end_to_end import MEASURES, generate, session  # noqa: E402  (same frames, session)

DEFAULT_CASES = "1e6x4x6,1e6x6x40,1e7x4x6,penguins"


def parse_case(text):
    """``ROWSxDIMSxLEVELS`` (levels: the most of any dimension; 6 means 3, 4, 5, 6, 3, ...)."""
    rows, dims, levels = text.split("x")
    return int(float(rows)), int(dims), int(levels)


def queries(spark):
    """Ids of the SQL executions so far that ran jobs."""
    spark.sparkContext._jsc.sc().listenerBus().waitUntilEmpty()
    store = spark._jsparkSession.sharedState().statusStore()
    listed = spark.sparkContext._jvm.scala.collection.JavaConverters.seqAsJavaList(
        store.executionsList())
    return {e.executionId() for e in listed if e.jobs().size() > 0}


def best_of(spark, repeat, work):
    """(best seconds, SQL queries of the last run)."""
    times, count = [], 0
    for _ in range(repeat):
        before = queries(spark)
        started = time.perf_counter()
        work()
        times.append(time.perf_counter() - started)
        count = len(queries(spark) - before)
    return min(times), count


def frame_case(spark, rows, dims, most, repeat):
    from pyspark.sql import functions as F

    from Tarnwick.bi.common import DataFrameHelper
    from Tarnwick.bi.stats import onescan
    from Tarnwick.bi.stats.factorpair import TwoWayAnova

    frame = generate(spark, rows, dims, most=most)
    dimensions = ["d%d" % (j + 1) for j in range(dims)]
    names = onescan._Names(frame.columns)
    def with_checks():
        known = onescan.profile(frame, MEASURES, dimensions)
        return onescan.one_scan_test_all(frame, profile=known)

    def stage_one():
        """The cells alone, every aggregate of them used so that none is pruned away: the
        one-scan plan's time less this is what rolling them up (stage 2) costs."""
        shifts = onescan.profile(frame, MEASURES, dimensions).shifts(MEASURES)
        cells = onescan._cells(frame, names, MEASURES, dimensions, shifts)
        return cells.agg(*[F.sum(F.col(c)) for c in cells.columns[dims:]]).collect()

    work = [
        ("floor", lambda: frame.agg(F.count(F.lit(1)), *[F.sum(m) for m in MEASURES]).collect()),
        ("stage 1 alone", stage_one),
        ("one-scan", lambda: onescan.one_scan_test_all(frame)),
        ("one-scan+checks", with_checks),
        ("per-test", lambda: TwoWayAnova(frame, DataFrameHelper(frame)).test_all()),
        ("helper profile", lambda: DataFrameHelper(frame).get_num_rows()),
        ("checks profile", lambda: onescan.profile(frame, MEASURES, dimensions)),
        ("first rows", lambda: onescan._first_rows(frame, names, MEASURES, dimensions)),
        ("approx. profile",
         lambda: onescan._approximate_profile(frame, names, MEASURES, dimensions)),
    ]
    figures = {}
    for label, run in work:
        figures[label] = best_of(spark, repeat, run)
    frame.unpersist()
    floor = figures["floor"][0]
    title = "%s rows, %d measures x %d dimensions (%s levels)" % (
        "{:,}".format(rows), len(MEASURES), dims, "3-6" if most == 6 else str(most))
    print("\n" + title)
    print("%-16s %9s %8s %9s" % ("", "seconds", "queries", "x floor"))
    for label, _ in work:
        seconds, count = figures[label]
        print("%-16s %9.2f %8d %9.1f" % (label, seconds, count, seconds / floor))
    print("per-test / one-scan: %.1f" % (figures["per-test"][0] / figures["one-scan"][0]))
    print("stage 2 (one-scan+checks less stage 1 alone): %.2f s" % (
        figures["one-scan+checks"][0] - figures["stage 1 alone"][0]))
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    sys.stdout.flush()


def penguins_case(repeat):
    """The command line's demo, test phase only, both plans (fresh processes), both on Spark:
    the embedded engine, the default for a local file, runs only the one-scan plan."""
    print("\npenguins demo (344 rows, 4 measures x 3 dimensions), test phase of the command line")
    results = {}
    for _ in range(repeat):
        for plan in ("per-test", "one-scan"):
            with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as handle:
                target = handle.name
            try:
                subprocess.run([sys.executable, "-m", "Tarnwick", "--json", "-q", "--plan", plan,
                                "--engine", "spark", "-o", target], check=True)
                with open(target) as handle:
                    timings = json.load(handle)["run"]["timings_seconds"]
            finally:
                os.unlink(target)
            results.setdefault(plan, []).append(timings["tests"])
    for plan in ("per-test", "one-scan"):
        print("%-10s tests phase %6.2f s (best of %d)" % (plan, min(results[plan]), repeat))
    print("one-scan / per-test: %.2f" % (min(results["one-scan"]) / min(results["per-test"])))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", default=DEFAULT_CASES,
                        help="comma-separated ROWSxDIMSxLEVELS and/or penguins (default: %s)"
                        % DEFAULT_CASES)
    parser.add_argument("--repeat", type=int, default=2, help="runs per figure (best is shown)")
    args = parser.parse_args(argv)
    import pyspark

    print("CPython %s, pyspark %s, %s, local[2], %d cores" % (
        platform.python_version(), pyspark.__version__, platform.machine(), os.cpu_count() or 0))
    spark = None
    for case in args.cases.split(","):
        if case == "penguins":
            penguins_case(args.repeat)
            continue
        if spark is None:
            spark = session("4g")
        frame_case(spark, *(parse_case(case) + (args.repeat,)))
    if spark is not None:
        spark.stop()


if __name__ == "__main__":
    main()
