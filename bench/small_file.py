"""A small file end to end, against the least any Spark program on this machine takes.

Generates a CSV of a few hundred rows (default 244: two measures, three dimensions of 2 to 4
levels, a few missing values), then takes turns between two processes and prints the wall time
of each:

* **floor**: start Python, a local SparkSession (``local[*]``) and one trivial job
  (``spark.range(1).count()``), then stop;
* **run**: the whole command line on the file on Spark, ``python -m Tarnwick FILE --json -q
  --master MASTER`` (session start included), with the phases the command line reports;
* **embedded**: the same on the embedded engine (``--engine embedded``: no JVM), and the
  largest relative difference between its JSON results and Spark's.

The figure of merit is the ratio of the median run to the median floor. With ``--before DIR``
a third process per round runs the command line with DIR in front of ``sys.path`` (a copy of the
package as it was, say), and the largest relative difference between its JSON results and the
current ones is printed.

    python bench/small_file.py [--rows N] [--repeat R] [--master local[*]] [--before DIR]

The command line's runs start from its driver JVM class archive, written before the rounds as a
user's first run writes it (``TARNWICK_JVM_ARCHIVE=off``: without it); the floor has none.

Every process runs on its own, one after another.
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

FLOOR = """
from pyspark.sql import SparkSession
spark = SparkSession.builder.master(%r).config("spark.ui.enabled", "false").getOrCreate()
spark.range(1).count()
spark.stop()
"""


def generate(path: str, rows: int, seed: int = 3) -> None:
    """A tips-like table: bill and tip against day, time and party size."""
    rng = np.random.RandomState(seed)
    frame = pd.DataFrame({
        "day": rng.choice(["Thur", "Fri", "Sat", "Sun"], rows),
        "time": rng.choice(["Lunch", "Dinner"], rows),
        "smoker": rng.choice(["Yes", "No"], rows),
    })
    base = frame["day"].map({"Thur": 0.0, "Fri": 1.0, "Sat": 3.0, "Sun": 4.0}).values
    frame["total_bill"] = np.round(12 + base + 4 * (frame["time"] == "Dinner") + rng.gamma(2.0, 4.0, rows), 2)
    frame["tip"] = np.round(0.15 * frame["total_bill"] + rng.normal(0, 0.8, rows), 2)
    frame.loc[rng.rand(rows) < 0.02, "tip"] = np.nan
    frame = frame[["total_bill", "tip", "smoker", "day", "time"]]
    frame.to_csv(path, index=False, na_rep="")


def timed(command, env) -> tuple:
    started = time.monotonic()
    completed = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               universal_newlines=True)
    elapsed = time.monotonic() - started
    if completed.returncode != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(command), completed.stderr[-3000:]))
    return elapsed, completed.stdout


def largest_difference(a, b) -> float:
    """Largest relative difference between the numbers of two JSON structures of one shape."""
    if isinstance(a, dict):
        assert set(a) == set(b)
        return max([largest_difference(a[k], b[k]) for k in a] or [0.0])
    if isinstance(a, list):
        assert len(a) == len(b)
        return max([largest_difference(x, y) for x, y in zip(a, b)] or [0.0])
    if isinstance(a, (int, float)) and isinstance(b, (int, float)) and not isinstance(a, bool):
        scale = max(abs(a), abs(b))
        return 0.0 if scale == 0 else abs(a - b) / scale
    assert a == b, (a, b)
    return 0.0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=244)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--master", default="local[*]")
    parser.add_argument("--before", metavar="DIR",
                        help="a directory with another copy of the Tarnwick package: time it too "
                        "and compare the results")
    args = parser.parse_args()

    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env.setdefault("PYSPARK_PYTHON", sys.executable)
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from spark_end_to_end import prepare_archive

    folder = tempfile.mkdtemp(prefix="tarnwick-small-")
    path = os.path.join(folder, "small.csv")
    generate(path, args.rows)
    archive = prepare_archive(env, args.master, path)
    import pyspark

    print("CPython %s, pyspark %s, %s, %d cores; %d rows, %d bytes; %d rounds; %s" % (
        platform.python_version(), pyspark.__version__, args.master, os.cpu_count() or 1,
        args.rows, os.path.getsize(path), args.repeat, archive))

    floor_command = [sys.executable, "-c", FLOOR % args.master]
    run_command = [sys.executable, "-m", "Tarnwick", path, "--json", "-q", "--master", args.master]
    embedded_command = [sys.executable, "-m", "Tarnwick", path, "--json", "-q", "--engine",
                        "embedded"]
    before_env = dict(env, PYTHONPATH=os.path.abspath(args.before)) if args.before else None
    floors, runs, befores, output, before_output = [], [], [], None, None
    embeddeds, embedded_output = [], None
    for round_number in range(args.repeat):
        floor, _ = timed(floor_command, env)
        floors.append(floor)
        line = "round %d: floor %.2f s" % (round_number + 1, floor)
        if before_env is not None:
            before, before_output = timed(run_command, before_env)
            befores.append(before)
            line += ", before %.2f s (%s)" % (before, _phases(before_output))
        run, output = timed(run_command, env)
        runs.append(run)
        embedded, embedded_output = timed(embedded_command, env)
        embeddeds.append(embedded)
        print(line + ", run %.2f s (%s), embedded %.2f s (%s)" % (
            run, _phases(output), embedded, _phases(embedded_output)))
    floor, run = statistics.median(floors), statistics.median(runs)
    print("median: floor %.2f s, run %.2f s, ratio %.2f; embedded %.2f s (load average %.2f)"
          % (floor, run, run / floor, statistics.median(embeddeds), os.getloadavg()[0]))
    print("results on Spark and embedded: largest relative difference %.3g" % largest_difference(
        json.loads(output)["results"], json.loads(embedded_output)["results"]))
    if befores:
        before = statistics.median(befores)
        print("median before: %.2f s, ratio %.2f" % (before, before / floor))
        difference = largest_difference(json.loads(before_output)["results"],
                                        json.loads(output)["results"])
        print("results before and now: largest relative difference %.3g" % difference)


def _phases(output: str) -> str:
    timings = json.loads(output)["run"]["timings_seconds"]
    return ", ".join("%s %.2f" % (k, v) for k, v in timings.items())


if __name__ == "__main__":
    main()
