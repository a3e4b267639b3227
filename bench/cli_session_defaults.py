"""What the command line's local-session defaults and input caching save.

Generates a CSV file (default: one million rows, three measures, four dimensions of 3, 5, 8 and
12 levels, a few missing values), then runs ``python -m Tarnwick FILE --json`` on it with each
combination of the tuned local session (shuffle partitions = cores, adaptive execution, no UI;
``--no-tuning`` turns it off) and caching of the input (``--no-cache`` turns it off), and prints
the wall time of each run and the analysis time the command line reports. The first line of
the table is the default. Also times the embedded default (no data file).

    python bench/cli_session_defaults.py [--rows N] [--repeat R] [--master local[*]] [--keep DIR]

Every run is a separate process (its own JVM), run one after another.
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

CONFIGS = [
    ("tuned session, cached input (default)", []),
    ("tuned session, no cache", ["--no-cache"]),
    ("Spark defaults, cached input", ["--no-tuning"]),
    ("Spark defaults, no cache", ["--no-tuning", "--no-cache"]),
]


def generate(path: str, rows: int, seed: int = 1) -> None:
    rng = np.random.RandomState(seed)
    frame = pd.DataFrame({
        "region": rng.choice(["north", "south", "west"], rows),
        "channel": rng.choice(["web", "shop", "phone", "partner", "fair"], rows),
        "segment": rng.choice(["s%d" % i for i in range(8)], rows),
        "month": rng.choice(["m%02d" % i for i in range(1, 13)], rows),
    })
    base = frame["region"].map({"north": 0.0, "south": 2.0, "west": -1.0}).values
    frame["revenue"] = np.round(100 + 5 * base + rng.gamma(2.0, 10.0, rows), 2)
    frame["units"] = rng.poisson(20, rows)
    frame["margin"] = np.round(0.2 + 0.01 * base + rng.normal(0, 0.05, rows), 4)
    frame.loc[rng.rand(rows) < 0.01, "margin"] = np.nan
    frame.to_csv(path, index=False, na_rep="")


def largest_difference(a, b) -> float:
    """Largest relative difference between the numbers of two JSON structures of one shape."""
    if isinstance(a, dict):
        return max([largest_difference(a[k], b[k]) for k in a] or [0.0])
    if isinstance(a, list):
        return max([largest_difference(x, y) for x, y in zip(a, b)] or [0.0])
    if isinstance(a, (int, float)) and isinstance(b, (int, float)) and not isinstance(a, bool):
        scale = max(abs(a), abs(b))
        return abs(a - b) / scale if scale else 0.0
    return 0.0


def run(args, env) -> tuple:
    started = time.monotonic()
    completed = subprocess.run(
        [sys.executable, "-m", "Tarnwick"] + args, env=env, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, universal_newlines=True,
    )
    wall = time.monotonic() - started
    if completed.returncode != 0:
        raise SystemExit("run failed (%d): %s" % (completed.returncode, completed.stderr))
    return wall, completed.stdout


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--repeat", type=int, default=1, help="runs per configuration (best is shown)")
    parser.add_argument("--master", default="local[*]")
    parser.add_argument("--keep", metavar="DIR", help="keep the generated file in DIR")
    options = parser.parse_args()

    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env.setdefault("PYSPARK_PYTHON", sys.executable)
    folder = options.keep or tempfile.mkdtemp(prefix="tarnwick-bench-")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "generated_%d.csv" % options.rows)
    try:
        if not os.path.exists(path):
            started = time.monotonic()
            generate(path, options.rows)
            print("generated %s (%d rows, %.0f MB) in %.1f s" % (
                path, options.rows, os.path.getsize(path) / 1e6, time.monotonic() - started))
        print("machine: %s, %d cores, Python %s" % (
            platform.platform(), os.cpu_count() or 0, platform.python_version()))
        if hasattr(os, "getloadavg"):
            print("load average at start: %.2f %.2f %.2f" % os.getloadavg())

        wall, _ = run(["-q", "--master", options.master], env)
        print("\nembedded default (344 rows, 4 measures x 3 dimensions, 28 tests): %.1f s wall" % wall)

        print("\n%d rows, 3 measures x 4 dimensions, 33 aggregations, master %s; %d round%s, the "
              "configurations taking turns; best wall time and its phases:" % (
                  options.rows, options.master, options.repeat, "" if options.repeat == 1 else "s"))
        header = "%-38s %7s %7s %7s %7s %7s %7s %9s" % (
            "configuration", "wall s", "median", "start", "read", "checks", "tests", "vs default")
        reference = None
        worst = 0.0
        runs = {name: [] for name, _ in CONFIGS}
        for _ in range(options.repeat):
            for name, flags in CONFIGS:
                wall, stdout = run([path, "--json", "-q", "--master", options.master] + flags, env)
                document = json.loads(stdout)
                if reference is None:
                    reference = document["results"]
                else:
                    worst = max(worst, largest_difference(reference, document["results"]))
                runs[name].append((wall, document["run"]["timings_seconds"]))
        print(header)
        print("-" * len(header))
        base = None
        for name, _ in CONFIGS:
            walls = sorted(w for w, _ in runs[name])
            wall, phases = min(runs[name], key=lambda r: r[0])
            base = base or wall
            print("%-38s %7.1f %7.1f %7.1f %7.1f %7.1f %7.1f %8.2fx" % (
                name, wall, walls[len(walls) // 2], phases["session"], phases["read"],
                phases["checks"], phases["tests"], wall / base))
        print("largest relative difference of any number from the default's results: %.2g "
              "(summation order follows the partitioning)" % worst)
        print("\nwall: whole process, JVM start included; start, read, checks (row and level "
              "counts, caching), tests (the 33 aggregations and the tables): the phases the "
              "command line reports in its JSON output (run.timings_seconds)")
    finally:
        if not options.keep:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
