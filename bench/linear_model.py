"""Linear models from a formula on local Spark against the floor, the one-scan batch plan and
toPandas + statsmodels: a script that prints figures.

In one process, on the same cached generated frame (``spark_end_to_end.generate``: string
dimensions d1, d2, d3 of 3, 4 and 5 levels, measures m1..m3), best of ``--repeat`` runs each:

* floor: one aggregation of the whole frame (row count and the sum of every measure);
* linear_model: ``linear_model(frame, "m1 ~ d1*d2*d3 + m2")`` and its Type I, II and III
  tables and coefficients;
* one-scan plan: ``one_scan_test_all(frame, ["m1", "m2"], ["d1", "d2", "d3"])``;
* toPandas + statsmodels (up to ``--pandas-max`` rows): the columns to pandas, ``ols(...).fit()``
  and ``anova_lm`` of the three types.

For each it prints the seconds, the Spark SQL queries (executions that ran jobs) and the peak
resident memory of the Python driver process during its runs (Linux; the JVM is shared and
not counted). The targets: at 10⁷ rows at most twice the one-scan plan's time, at 10⁶ rows at
least ten times faster than toPandas + statsmodels with a tenth of its driver memory.

Run::

    .venv/py3.7/bin/python bench/linear_model.py
    .venv/py3.7/bin/python bench/linear_model.py --rows 1e5 --repeat 1  # a smoke run
"""
from __future__ import print_function

import argparse
import os
import sys
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from one_scan import best_of  # noqa: E402  (same timing and query count)
from spark_end_to_end import MEASURES, Probe, generate, machine, session  # noqa: E402

FORMULA = "m1 ~ d1*d2*d3 + m2"
DIMENSIONS = ["d1", "d2", "d3"]


def fit_all(frame):
    from Tarnwick.bi.stats import linear_model

    result = linear_model(frame, FORMULA)
    for typ in (1, 2, 3):
        result.anova(typ)
    result.coefficients()
    return result


def with_pandas(frame):
    import statsmodels.formula.api as smf
    from statsmodels.stats.anova import anova_lm

    data = frame.select("m1", "m2", *DIMENSIONS).toPandas()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit = smf.ols(FORMULA, data).fit()
        for typ in (1, 2):
            anova_lm(fit, typ=typ)
        sum_coded = "m1 ~ C(d1, Sum)*C(d2, Sum)*C(d3, Sum) + m2"
        anova_lm(smf.ols(sum_coded, data).fit(), typ=3)


def run_case(spark, rows, repeat, pandas_max):
    from pyspark.sql import functions as F

    from Tarnwick.bi.stats import onescan

    frame = generate(spark, rows, len(DIMENSIONS))
    work = [
        ("floor", lambda: frame.agg(F.count(F.lit(1)), *[F.sum(m) for m in MEASURES]).collect()),
        ("linear_model", lambda: fit_all(frame)),
        ("one-scan plan", lambda: onescan.one_scan_test_all(frame, ["m1", "m2"], DIMENSIONS)),
    ]
    if rows <= pandas_max:
        work.append(("toPandas+statsmodels", lambda: with_pandas(frame)))
    figures = {}
    for label, run in work:
        with Probe(spark, label.split("+")[0]) as probe:
            figures[label] = best_of(spark, repeat, run)
        figures[label] += (probe.python_peak_mb if probe.peaks_reset else float("nan"),)
    frame.unpersist()
    floor = figures["floor"][0]
    print("\n%s rows, %s (levels 3, 4, 5), best of %d" % ("{:,}".format(rows), FORMULA, repeat))
    print("%-22s %9s %8s %9s %16s" % ("", "seconds", "queries", "x floor", "driver peak MB"))
    for label, _ in work:
        seconds, count, peak = figures[label]
        print("%-22s %9.2f %8d %9.1f %16.0f" % (label, seconds, count, seconds / floor, peak))
    print("linear_model / one-scan plan: %.2f" % (
        figures["linear_model"][0] / figures["one-scan plan"][0]))
    if "toPandas+statsmodels" in figures:
        pandas_seconds, _, pandas_peak = figures["toPandas+statsmodels"]
        print("toPandas+statsmodels / linear_model: %.1f x the time, %.1f x the driver memory"
              % (pandas_seconds / figures["linear_model"][0],
                 pandas_peak / figures["linear_model"][2]))
    sys.stdout.flush()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", default="1e6,1e7", help="comma-separated row counts")
    parser.add_argument("--repeat", type=int, default=2, help="runs per figure (best is shown)")
    parser.add_argument("--pandas-max", type=float, default=1e6,
                        help="largest row count for toPandas + statsmodels")
    parser.add_argument("--driver-memory", default="4g")
    args = parser.parse_args(argv)
    print(machine())
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    spark = session(args.driver_memory)
    for text in args.rows.split(","):
        run_case(spark, int(float(text)), args.repeat, args.pandas_max)
    print("\nload average: %.2f %.2f %.2f" % os.getloadavg())
    spark.stop()


if __name__ == "__main__":
    main()
