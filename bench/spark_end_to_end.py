"""End to end on local Spark: ``test_all`` against toPandas() plus statsmodels.

For each size of a generated, cached frame (three numeric measures, categorical dimensions of 3
to 6 levels) it runs ``TwoWayAnova(frame, DataFrameHelper(frame)).test_all(...)`` and reports
the wall time, the SQL executions and Spark jobs it started, the share of the wall time spent
inside Spark jobs, and the peak memory of the driver (the Python process and the JVM).  Side by
side it runs what an analyst would otherwise write: ``toPandas()`` of the same columns and a
statsmodels two-way ANOVA (``ols`` with interaction, ``anova_lm`` type II) per measure and pair
of dimensions; where that cannot fit in the memory budget or would take longer than the time
budget (estimated from the runs before it) it is skipped, and the table says so.
Then the growth with the number of dimensions at a fixed size.

Run (the full run took about 6 minutes on two shared cores)::

    .venv/py3.7/bin/python bench/spark_end_to_end.py
    .venv/py3.7/bin/python bench/spark_end_to_end.py --sizes 1e5,1e6 --dims 2,4  # shorter
"""
from __future__ import print_function

import argparse
import gc
import os
import platform
import sys
import time

MEASURES = ["m1", "m2", "m3"]


def prepare_archive(env, master, data=None):
    """Have the command line's driver JVM class archive written before the timed runs, so that
    every run starts from it as a user's runs after the first do (none where the environment
    sets TARNWICK_JVM_ARCHIVE=off): one run on ``data`` (the bundled data by default; the
    archive holds the classes that run loaded), then the wait for its JVM to finish the
    archive. Returns what the runs will use, for the report."""
    import subprocess

    from Tarnwick.cli import jvm_archive

    if jvm_archive.folder() is None:  # the runs' environment is this process's
        return "no class archive (TARNWICK_JVM_ARCHIVE=off)"
    subprocess.run([sys.executable, "-m", "Tarnwick", "--json", "-q", "--master", master]
                   + ([data] if data else []),
                   env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if jvm_archive.wait_until_written(timeout=300):
        return "the driver JVM's class archive in %s" % jvm_archive.folder()
    return "no class archive (none could be written in %s)" % jvm_archive.folder()


def parse_sizes(text):
    return [int(float(part)) for part in text.split(",") if part.strip()]


def parse_ints(text):
    return [int(part) for part in text.split(",") if part.strip()]


def levels_of(index, most=6):
    """Dimension ``index`` (from 0) has 3, 4, 5, 6, 3, 4, ... levels (``most`` 6), or ``most``."""
    return 3 + index % 4 if most == 6 else most


# --- peak memory of the driver's two processes ----------------------------------------------------


def _status_kb(pid, field):
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except (IOError, OSError):
        return None
    return None


def _reset_peak(pid):
    """Resets the process's peak resident set size (Linux: clear_refs 5); False if refused."""
    try:
        with open("/proc/%d/clear_refs" % pid, "w") as clear_refs:
            clear_refs.write("5")
        return True
    except (IOError, OSError):
        return False


def jvm_pid():
    import psutil

    for child in psutil.Process().children(recursive=True):
        try:
            if child.name() == "java":
                return child.pid
        except psutil.Error:
            continue
    return None


# --- what Spark did during one measured run -------------------------------------------------------


class Probe(object):
    """Measures one run: wall time, SQL executions, Spark jobs and their time, peak memory."""

    counter = 0

    def __init__(self, spark, label):
        Probe.counter += 1
        self.spark = spark
        self.group = "bench-%d-%s" % (Probe.counter, label)
        self.jvm = jvm_pid()

    def __enter__(self):
        context = self.spark.sparkContext
        context.setJobGroup(self.group, self.group)
        self.sql_store = self.spark._jsparkSession.sharedState().statusStore()
        self.executions_before = self.sql_store.executionsCount()
        gc.collect()
        self.peaks_reset = _reset_peak(os.getpid()) and (self.jvm is None or _reset_peak(self.jvm))
        self.started = time.time()
        return self

    def __exit__(self, *exc):
        self.finished = time.time()
        context = self.spark.sparkContext
        self.python_peak_mb = (_status_kb(os.getpid(), "VmHWM") or 0) / 1024.0
        self.jvm_peak_mb = (_status_kb(self.jvm, "VmHWM") or 0) / 1024.0 if self.jvm else 0.0
        job_ids = context.statusTracker().getJobIdsForGroup(self.group)
        self.jobs = len(job_ids)
        self.executions = self.sql_store.executionsCount() - self.executions_before
        store = context._jsc.sc().statusStore()
        intervals = []
        for job_id in job_ids:
            data = store.job(job_id)
            if data.submissionTime().isDefined() and data.completionTime().isDefined():
                intervals.append((data.submissionTime().get().getTime() / 1000.0,
                                  data.completionTime().get().getTime() / 1000.0))
        self.in_jobs = _union_length(intervals, self.started, self.finished)
        context.setLocalProperty("spark.jobGroup.id", None)
        return False

    @property
    def wall(self):
        return self.finished - self.started

    @property
    def share_in_jobs(self):
        return self.in_jobs / self.wall if self.wall > 0 else 0.0


def _union_length(intervals, low, high):
    total, reach = 0.0, low
    for start, end in sorted(intervals):
        start, end = max(start, reach), min(end, high)
        if end > start:
            total += end - start
            reach = end
    return total


# --- data ---------------------------------------------------------------------------------------


def session(driver_memory):
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession

    spark = (
        SparkSession.builder.master("local[2]")
        .appName("tarnwick-bench")
        .config("spark.sql.shuffle.partitions", "2")
        .config("spark.default.parallelism", "2")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.driver.memory", driver_memory)
        .config("spark.ui.retainedJobs", "100000")
        .config("spark.sql.ui.retainedExecutions", "100000")
        .getOrCreate()
    )
    spark.sparkContext.setLogLevel("ERROR")
    return spark


def generate(spark, rows, dimensions, seed=7, most=6):
    """A cached frame: measures m1..m3 (with an effect of d1 and d2 and 1% nulls), d1..dN."""
    from pyspark.sql import functions as F

    base = spark.range(rows, numPartitions=4)
    dims = [
        F.concat(F.lit("L"), (F.rand(seed + 100 + j) * levels_of(j, most)).cast("int")
                 .cast("string"))
        .alias("d%d" % (j + 1))
        for j in range(dimensions)
    ]
    frame = base.select("id", *dims)
    measures = []
    for i, name in enumerate(MEASURES):
        effect = F.length(F.col("d1")) + F.ascii(F.substring("d2", 2, 1)) % 3 * (i + 1)
        value = F.randn(seed + i) * 10 + 50 + effect
        measures.append(F.when(F.rand(seed + 50 + i) < 0.01, None).otherwise(value).alias(name))
    frame = frame.select(*(measures + ["d%d" % (j + 1) for j in range(dimensions)])).cache()
    frame.count()
    return frame


# --- the two contenders ---------------------------------------------------------------------------


def timed_records(module, clock):
    """A subclass of the module's result record that adds the time spent in it to ``clock``."""
    base = module.MeasureAnovaResult

    def timed(method):
        def wrapper(self, *args):
            started = time.perf_counter()
            try:
                return method(self, *args)
            finally:
                clock[0] += time.perf_counter() - started

        return wrapper

    return type("TimedMeasureAnovaResult", (base,), {
        "__init__": timed(base.__init__),
        "set_OneWayAnovaResult": timed(base.set_OneWayAnovaResult),
        "set_TwoWayAnovaResult": timed(base.set_TwoWayAnovaResult),
    })


def run_module(spark, frame, dimensions):
    from Tarnwick.bi.common import DataFrameHelper
    from Tarnwick.bi.stats import factorpair

    clock = [0.0]
    original = factorpair.MeasureAnovaResult
    factorpair.MeasureAnovaResult = timed_records(factorpair, clock)
    try:
        with Probe(spark, "module") as probe:
            analyser = factorpair.TwoWayAnova(frame, DataFrameHelper(frame))
            result = analyser.test_all(list(MEASURES), list(dimensions))
    finally:
        factorpair.MeasureAnovaResult = original
    probe.result = result
    probe.in_results = clock[0]
    return probe


def pandas_estimate_gb(rows, dimensions):
    """Rough peak of toPandas() plus the largest statsmodels fit, in GB."""
    table = rows * (len(MEASURES) * 8 + len(dimensions) * 64) * 2  # rows on the way, then frame
    largest = max(levels_of(i) * levels_of(j) for i in range(len(dimensions))
                  for j in range(i + 1, len(dimensions)))
    design = rows * largest * 8 * 4  # patsy design, OLS pseudo-inverse and its work arrays
    return (table + design) / 1e9


def run_pandas(spark, frame, dimensions):
    import warnings

    import statsmodels.api as sm
    from statsmodels.formula.api import ols

    with Probe(spark, "pandas") as probe:
        started = time.perf_counter()
        data = frame.select(list(MEASURES) + list(dimensions)).toPandas()
        probe.to_pandas = time.perf_counter() - started
        tables = 0
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for measure in MEASURES:
                for i in range(len(dimensions)):
                    for j in range(i + 1, len(dimensions)):
                        formula = "%s ~ C(%s) * C(%s)" % (measure, dimensions[i], dimensions[j])
                        model = ols(formula, data=data).fit()
                        sm.stats.anova_lm(model, typ=2)
                        tables += 1
        del data
    probe.tables = tables
    return probe


# --- report -------------------------------------------------------------------------------------


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except IOError:
        pass
    import psutil

    return "%d cores (%s), %.1f GB memory, %s" % (
        os.cpu_count(), model, psutil.virtual_memory().total / 2.0 ** 30, platform.platform())


def rows_label(rows):
    """1e6 rather than 1000000 for powers of ten."""
    text = "%d" % rows
    if rows >= 1000 and text.strip("0") == "1":
        return "1e%d" % (len(text) - 1)
    return text


def aggregations(d):
    return len(MEASURES) * (1 + d + d * (d - 1) // 2)


def fmt_probe(probe, extra=None):
    text = "%9.2f %6d %6d %7.0f%% %8.0f %8.0f" % (
        probe.wall, probe.executions, probe.jobs, 100 * probe.share_in_jobs,
        probe.python_peak_mb, probe.jvm_peak_mb)
    if extra:
        text += " %9.0f%%" % (100 * getattr(probe, extra) / probe.wall if probe.wall else 0)
    return text


HEADER = "%9s %6s %6s %8s %8s %8s" % ("wall s", "SQL", "jobs", "in jobs", "py MB", "JVM MB")
RESULTS_HEADER = " %10s" % "in results"
TO_PANDAS_HEADER = " %10s" % "toPandas"


def print_rows(title, key_label, rows):
    print()
    print(title)
    print("%-6s %-4s | %s | %s | %s" % (
        key_label, "aggs", "module: " + HEADER + RESULTS_HEADER,
        "toPandas+statsmodels: " + HEADER + TO_PANDAS_HEADER, "pandas/module"))
    for key, d, module, pandas, note in rows:
        right = (fmt_probe(pandas, "to_pandas") if pandas
                 else ("%-" + str(len(HEADER + TO_PANDAS_HEADER)) + "s") % note)
        ratio = "%8.1f" % (pandas.wall / module.wall) if pandas else "%8s" % "-"
        print("%-6s %-4d | %8s%s | %22s%s | %s" % (key, aggregations(d), "",
                                                  fmt_probe(module, "in_results"), "", right,
                                                  ratio))


def growth(label, keyed):
    """How the wall time grows from one row of a series to the next."""
    lines = []
    for (k0, t0), (k1, t1) in zip(keyed, keyed[1:]):
        lines.append("%s %s -> %s: x%.2f time for x%.2f %s" % (
            label, rows_label(k0) if label == "rows" else "%d" % k0,
            rows_label(k1) if label == "rows" else "%d" % k1, t1 / t0, float(k1) / k0, label))
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=parse_sizes, default=parse_sizes("1e5,1e6,1e7"),
                        help="row counts, comma-separated (default 1e5,1e6,1e7)")
    parser.add_argument("--dimensions", type=int, default=4,
                        help="dimensions for the row-count series (default 4)")
    parser.add_argument("--dims", type=parse_ints, default=parse_ints("2,4,8"),
                        help="dimension counts for the dimension series (default 2,4,8)")
    parser.add_argument("--dims-rows", type=lambda s: int(float(s)), default=10 ** 6,
                        help="rows for the dimension series (default 1e6)")
    parser.add_argument("--no-pandas", action="store_true", help="skip toPandas()+statsmodels")
    parser.add_argument("--pandas-budget-gb", type=float, default=4.0,
                        help="skip toPandas()+statsmodels when its estimated peak is above this")
    parser.add_argument("--pandas-budget-s", type=float, default=600.0,
                        help="skip toPandas()+statsmodels when its time, estimated from the "
                             "runs before, is above this (default 600)")
    parser.add_argument("--driver-memory", default="3g", help="spark.driver.memory (default 3g)")
    options = parser.parse_args(argv)

    spark = session(options.driver_memory)
    print("machine: %s" % machine())
    import pyspark

    print("CPython %s, pyspark %s, local[2], helper: Tarnwick.bi.common.DataFrameHelper" % (
        platform.python_version(), pyspark.__version__))
    print("columns: SQL executions and Spark jobs started, share of wall time inside Spark "
          "jobs, peak RSS of the Python driver and of the JVM; for the module also the share "
          "of wall time inside the host's result records (they build the ANOVA tables)")

    dims_needed = {size: options.dimensions for size in options.sizes}
    if options.dims:
        dims_needed[options.dims_rows] = max([options.dimensions] + options.dims)

    # Warm up the JVM (code generation, class loading) on a small frame, not measured.
    warm = generate(spark, 10000, 2)
    run_module(spark, warm, ["d1", "d2"])
    warm.unpersist()

    size_rows, dim_rows = [], []
    pandas_rate = None  # seconds per row and fitted table, from the last toPandas run
    for size in sorted(dims_needed):
        frame = generate(spark, size, dims_needed[size])
        series = []
        if size in options.sizes:
            series.append(("rows", options.dimensions))
        if size == options.dims_rows:
            series.extend(("dims", d) for d in options.dims)
        done = {}
        for kind, d in series:
            if d not in done:
                dimensions = ["d%d" % (j + 1) for j in range(d)]
                module = run_module(spark, frame, dimensions)
                pandas, note = None, ""
                if options.no_pandas:
                    note = "not run (--no-pandas)"
                else:
                    need = pandas_estimate_gb(size, dimensions)
                    fits = len(MEASURES) * d * (d - 1) // 2
                    takes = pandas_rate * size * fits if pandas_rate else 0.0
                    if need > options.pandas_budget_gb:
                        note = "skipped: needs ~%.0f GB > %.0f GB" % (need, options.pandas_budget_gb)
                    elif takes > options.pandas_budget_s:
                        note = "skipped: would take ~%.0f s > %.0f s" % (
                            takes, options.pandas_budget_s)
                    else:
                        pandas = run_pandas(spark, frame, dimensions)
                        pandas_rate = pandas.wall / (size * fits)
                done[d] = (module, pandas, note)
                print("  done: %d rows, %d dimensions: module %.2f s%s" % (
                    size, d, module.wall, ", pandas %.2f s" % pandas.wall if pandas else ""),
                    file=sys.stderr)
            module, pandas, note = done[d]
            if kind == "rows":
                size_rows.append((rows_label(size), d, module, pandas, note))
            else:
                dim_rows.append(("d=%d" % d, d, module, pandas, note))
        frame.unpersist()

    if size_rows:
        print_rows("By rows (%d measures x %d dimensions):" % (len(MEASURES), options.dimensions),
                   "rows", size_rows)
    if dim_rows:
        print_rows("By dimensions (%d measures, %s rows):" % (len(MEASURES),
                                                               rows_label(options.dims_rows)),
                   "dims", dim_rows)
    print()
    print("aggs: aggregations the module runs, m*(1 + d + d(d-1)/2); SQL and jobs include the "
          "helper's own questions; adaptive execution may split one aggregation into several "
          "jobs. Peak memory is reset before each run, but a JVM heap that grew in an earlier "
          "run keeps its resident pages, so the JVM figure is at least what it held at the "
          "start of the run.")
    for label, rows in (("rows", size_rows), ("dims", dim_rows)):
        keys = [int(float(r[0].replace("d=", ""))) for r in rows]
        for name, pick in (("module", lambda r: r[2]), ("toPandas+statsmodels", lambda r: r[3])):
            keyed = [(k, pick(r).wall) for k, r in zip(keys, rows) if pick(r)]
            for line in growth(label, keyed):
                print("growth, %s: %s" % (name, line))
    spark.stop()


if __name__ == "__main__":
    main()
