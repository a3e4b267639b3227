"""What the pairwise comparisons cost on the driver, by number of levels.

Tukey–Kramer and Games–Howell are computed from level statistics alone (no Spark): the cost is
the studentized range distribution, a double integral per p-value and a quantile per distinct
df (one for Tukey–Kramer, one per pair for Games–Howell, whose pairs each have their own df),
the first table of a number of levels also tabulating the range's tail for it. Welch's test is
shown for scale. Prints the best wall time of each, the first (tabulating) call separately, and
the load average (the machine's other work shows in the figures).

    python bench/posthoc_cost.py [--levels 3,5,10,20,40,200] [--repeat R]
"""
from __future__ import annotations

import argparse
import os
import platform
import time

import numpy as np
import scipy

from Tarnwick.bi.common import posthoc, studentized


def level_statistics(k: int, seed: int = 0):
    rng = np.random.RandomState(seed)
    return posthoc.statistics_table(["L%02d" % i for i in range(k)], rng.randint(5, 60, k),
                                    rng.normal(size=k), rng.uniform(0.5, 3.0, k))


def best_of(repeat: int, call) -> float:
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--levels", default="3,5,10,20,40,200")
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    print("CPython %s, numpy %s, scipy %s" % (platform.python_version(), np.__version__,
                                              scipy.__version__))
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    print("%7s %6s %11s %12s %14s %10s" % ("levels", "pairs", "first (s)", "tukey (s)",
                                           "games-howell (s)", "welch (s)"))
    for k in (int(v) for v in args.levels.split(",")):
        stats = level_statistics(k)
        first = best_of(1, lambda: studentized.sf(1.0, k, 10.0))
        tukey = best_of(args.repeat, lambda: posthoc.tukey_kramer(stats, 1.3, 20.0 * k))
        games = best_of(args.repeat, lambda: posthoc.games_howell(stats))
        welch = best_of(args.repeat, lambda: posthoc.welch_anova(stats))
        print("%7d %6d %11.3f %12.3f %14.3f %10.4f" % (k, k * (k - 1) // 2, first, tukey, games,
                                                     welch))
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
