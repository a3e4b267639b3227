"""The command line on a Parquet file, whole process, against a bare Spark process.

For each size it generates (once, outside the repository) a Parquet file of three measures and
four dimensions of 3 to 6 levels, then takes turns between processes and prints the wall time and
the driver's peak memory (the Python process and everything it started, the JVM included):

* **bare**: start Python and a local session, read the file, run one aggregation (count and sum of
  every numeric column), stop. Nothing can analyse the file faster on Spark.
* **bare duckdb**: start Python, connect DuckDB in the process and run the same two-stage query
  as the plan's tables (stage 1 grouped by every dimension with count, mean and var_pop of
  each measure; stage 2 grouping sets over the cells: the overall row, each dimension, each
  pair). Nothing can analyse the file faster in process.
* **run**: ``python -m Tarnwick FILE --json -q --master MASTER`` (Spark) with the extra
  arguments given (``--run-args``), with the phases the command line reports (session, read,
  checks, tests).
* **embedded**: ``python -m Tarnwick FILE --json -q --engine embedded``, with its phases.
* each further ``--also ARGS`` (repeatable): the command line with those arguments instead, say
  ``--also "--plan per-test"`` or ``--also=--no-cache`` (a lone option after ``=``).

The figures of merit are each run's median (or best) against the bare processes': the Spark
command line against bare Spark, the embedded one against bare DuckDB; and for each ``--also``
run, its analysis phases (everything after reading) against the main run's, round by round.

``--shape 6x40`` takes the wide case instead: six dimensions of 40 levels, where nearly every
row of 10⁶ is a cell of its own; ``--also "--plan per-test"`` compares it with the analyser's
own plan (``test_all``'s aggregations, on the cached input).

    python bench/whole_process.py --rows 1e6,1e7 --repeat 3
    python bench/whole_process.py --rows 1e8 --repeat 2 --best
    python bench/whole_process.py --rows 1e6 --also "--plan per-test"
    python bench/whole_process.py --rows 1e6 --shape 6x40 --also "--plan per-test"

Every process runs on its own, one after another; keep the machine quiet while it runs.
Before the rounds, one run writes the command line's driver JVM class archive (see
``Tarnwick.cli.jvm_archive``), as a user's first run does; ``TARNWICK_JVM_ARCHIVE=off`` times
the command line without it. The bare process never has one.
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import shlex
import statistics
import subprocess
import sys
import threading
import time
from typing import Dict, List, Optional, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from spark_end_to_end import (  # noqa: E402
    MEASURES, levels_of, parse_sizes, prepare_archive, rows_label,
)

DIMENSIONS, MOST = 4, 6  # the default shape: four dimensions of 3 to 6 levels

BARE = """
import sys
from pyspark.sql import SparkSession, functions as F
spark = (SparkSession.builder.master(sys.argv[2]).config("spark.ui.enabled", "false")
         .config("spark.ui.showConsoleProgress", "false").getOrCreate())
frame = spark.read.parquet(sys.argv[1])
numeric = [f.name for f in frame.schema.fields
           if f.dataType.typeName() in ("double", "float", "long", "integer")]
frame.agg(F.count(F.lit(1)), *[F.sum(c) for c in numeric]).collect()
spark.stop()
"""

BARE_DUCKDB = """
import sys, duckdb
source = "read_parquet('%s/*.parquet')" % sys.argv[1].replace("'", "''")
connection = duckdb.connect()
kinds = connection.execute("DESCRIBE SELECT * FROM " + source).fetchall()
dimensions = ['"%s"' % row[0] for row in kinds if row[1] == "VARCHAR"]
measures = ['"%s"' % row[0] for row in kinds if row[1] in ("DOUBLE", "BIGINT", "INTEGER")]
cells = ", ".join(["COUNT(*) AS n"] + ["COUNT(%s) AS n%d, AVG(%s) AS a%d, VAR_POP(%s) * COUNT(%s) AS m%d"
                                      % (m, j, m, j, m, m, j) for j, m in enumerate(measures)])
connection.execute("CREATE TEMP TABLE cells AS SELECT %s, %s FROM %s GROUP BY %s" % (
    ", ".join(dimensions), cells, source, ", ".join(dimensions)))
sets = ["()"] + ["(%s)" % d for d in dimensions] + [
    "(%s, %s)" % (a, b) for i, a in enumerate(dimensions) for b in dimensions[i + 1:]]
merged = ", ".join(["SUM(n)"] + ["SUM(n%d), SUM(n%d * a%d) / SUM(n%d), SUM(m%d)" % ((j,) * 5)
                                 for j in range(len(measures))])
rows = connection.execute("SELECT %s, %s FROM cells GROUP BY GROUPING SETS (%s)" % (
    ", ".join(dimensions), merged, ", ".join(sets))).fetchall()
assert rows
"""

GENERATE = """
import sys
sys.path.insert(0, sys.argv[4])
from pyspark.sql import SparkSession, functions as F
from spark_end_to_end import MEASURES, levels_of
rows, dimensions, path, most = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[5])
spark = (SparkSession.builder.master("local[*]").config("spark.ui.enabled", "false")
         .config("spark.ui.showConsoleProgress", "false").getOrCreate())
base = spark.range(rows, numPartitions=max(4, rows // 2000000))
dims = [F.concat(F.lit("L"), (F.rand(107 + j) * levels_of(j, most)).cast("int").cast("string"))
        .alias("d%d" % (j + 1)) for j in range(dimensions)]
frame = base.select("id", *dims)
measures = []
for i, name in enumerate(MEASURES):
    effect = F.length(F.col("d1")) + F.ascii(F.substring("d2", 2, 1)) % 3 * (i + 1)
    value = F.randn(7 + i) * 10 + 50 + effect
    measures.append(F.when(F.rand(57 + i) < 0.01, None).otherwise(value).alias(name))
frame.select(*(measures + ["d%d" % (j + 1) for j in range(dimensions)])).write.parquet(path)
spark.stop()
"""


def data_file(folder: str, rows: int, dimensions: int = DIMENSIONS, most: int = MOST) -> str:
    """The generated Parquet directory for ``rows`` rows of ``dimensions`` dimensions (of
    ``most`` levels, see ``levels_of``), made on first use."""
    shape = "" if most == MOST else "-%d" % most
    path = os.path.join(folder, "rows-%s-%dx%d%s.parquet" % (rows_label(rows), len(MEASURES),
                                                             dimensions, shape))
    if not os.path.isdir(path):
        print("generating %s ..." % path, flush=True)
        here = os.path.dirname(os.path.abspath(__file__))
        subprocess.run([sys.executable, "-c", GENERATE, str(rows), str(dimensions), path, here,
                        str(most)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return path


def _tree_rss(root) -> int:
    """Resident bytes of a process and all its descendants."""
    import psutil

    total = 0
    for process in [root] + root.children(recursive=True):
        try:
            total += process.memory_info().rss
        except psutil.Error:
            pass
    return total


def timed(command: List[str], env: Dict[str, str]) -> Tuple[float, int, str]:
    """Wall seconds, peak resident bytes of the process tree (sampled every 50 ms), stdout."""
    import psutil

    started = time.monotonic()
    child = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True)
    peak = [0]
    done = threading.Event()

    def sample() -> None:
        root = psutil.Process(child.pid)
        while not done.is_set():
            try:
                peak[0] = max(peak[0], _tree_rss(root))
            except psutil.Error:
                return
            done.wait(0.05)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    stdout, stderr = child.communicate()
    elapsed = time.monotonic() - started
    done.set()
    sampler.join()
    if child.returncode != 0:
        raise SystemExit("failed (%d): %s\n%s" % (child.returncode, " ".join(command),
                                                   stderr[-3000:]))
    return elapsed, peak[0], stdout


def _timings(output: str) -> Optional[Dict[str, float]]:
    try:
        return json.loads(output)["run"]["timings_seconds"]
    except (ValueError, KeyError):
        return None


def phases(output: str) -> str:
    timings = _timings(output)
    if timings is None:
        return "no phases"
    return " / ".join("%s %.1f" % (k, v) for k, v in timings.items())


def analysis_seconds(output: str) -> Optional[float]:
    """The analysis phases of a run: everything after reading (checks and tests, or models)."""
    timings = _timings(output)
    if timings is None:
        return None
    return sum(v for k, v in timings.items() if k not in ("session", "read"))


def summary(values: List[float], best: bool) -> float:
    return min(values) if best else statistics.median(values)


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=parse_sizes, default=parse_sizes("1e6,1e7"))
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--best", action="store_true", help="best of the rounds, not the median")
    parser.add_argument("--master", default="local[*]")
    parser.add_argument("--data", default=os.path.join(os.environ.get("TMPDIR", "/tmp"),
                                                       "tarnwick-bench"),
                        help="where the generated files are kept (outside the repository)")
    parser.add_argument("--shape", default="%dx%d" % (DIMENSIONS, MOST), metavar="DIMSxLEVELS",
                        help="dimensions and their levels (6: 3 to 6 levels; 6x40: the wide "
                        "case)")
    parser.add_argument("--run-args", default="", help="extra arguments of the main run")
    parser.add_argument("--also", action="append", default=[], metavar="ARGS",
                        help="another command-line run with these arguments (repeatable)")
    args = parser.parse_args(argv)

    os.makedirs(args.data, exist_ok=True)
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env.setdefault("PYSPARK_PYTHON", sys.executable)
    import duckdb
    import pyspark

    print("CPython %s, pyspark %s, DuckDB %s, %s, %d cores, load average %.2f; %d rounds, %s" % (
        platform.python_version(), pyspark.__version__, duckdb.__version__, args.master,
        os.cpu_count() or 1, os.getloadavg()[0], args.repeat, "best" if args.best else "median"))
    variants = [("run", shlex.split(args.run_args))]
    variants += [("run " + extra, shlex.split(extra)) for extra in args.also]
    dimensions, most = (int(part) for part in args.shape.split("x"))
    archive = None
    for rows in args.rows:
        path = data_file(args.data, rows, dimensions, most)
        if archive is None:
            archive = prepare_archive(env, args.master, path)
            print("command line runs with %s" % archive)
        size = sum(os.path.getsize(os.path.join(path, name)) for name in os.listdir(path))
        print("\n%s rows, %d dimensions (%s levels), %.0f MB" % (
            rows_label(rows), dimensions, "3-6" if most == MOST else most, size / 1e6))
        commands = [("bare", [sys.executable, "-c", BARE, path, args.master]),
                    ("bare duckdb", [sys.executable, "-c", BARE_DUCKDB, path])]
        commands += [(label, [sys.executable, "-m", "Tarnwick", path, "--json", "-q",
                              "--master", args.master] + extra)
                     for label, extra in variants]
        commands.append(("embedded", [sys.executable, "-m", "Tarnwick", path, "--json", "-q",
                                      "--engine", "embedded"]))
        walls = {label: [] for label, _ in commands}  # type: Dict[str, List[float]]
        peaks = {label: [] for label, _ in commands}  # type: Dict[str, List[int]]
        analyses = {label: [] for label, _ in commands}  # type: Dict[str, List[float]]
        for round_number in range(args.repeat):
            for label, command in commands:
                wall, peak, output = timed(command, env)
                walls[label].append(wall)
                peaks[label].append(peak)
                analysis = analysis_seconds(output)
                if analysis is not None:
                    analyses[label].append(analysis)
                detail = "" if label.startswith("bare") else " (%s)" % phases(output)
                print("  round %d %-24s %7.2f s, peak %6.0f MB%s" % (
                    round_number + 1, label, wall, peak / 1e6, detail), flush=True)
        bare = summary(walls["bare"], args.best)
        bare_duckdb = summary(walls["bare duckdb"], args.best)
        for label, _ in commands:
            wall = summary(walls[label], args.best)
            print("  %-32s %7.2f s  %5.2f x bare, %5.2f x bare duckdb, peak %6.0f MB" % (
                label, wall, wall / bare, wall / bare_duckdb, max(peaks[label]) / 1e6))
        # The analysis phases of each run of the command line beside the main run's, round by
        # round (the rounds take turns, so a round's runs saw the same machine).
        for label, _ in variants[1:]:
            if len(analyses[label]) == len(analyses["run"]) == args.repeat:
                ratios = [other / own for other, own in zip(analyses[label], analyses["run"])]
                print("  analysis phases: %-15s %s s against the run's %s s: %s x" % (
                    label[4:], ", ".join("%.2f" % a for a in analyses[label]),
                    ", ".join("%.2f" % a for a in analyses["run"]),
                    ", ".join("%.2f" % r for r in ratios)))
        print("  load average now %.2f %.2f %.2f" % os.getloadavg(), flush=True)


if __name__ == "__main__":
    main()
