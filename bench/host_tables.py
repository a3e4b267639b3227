"""Time the host package's two-way tables on large designs (no Spark): prints seconds per table
and the memory a record holds on to afterwards.

Usage: python bench/host_tables.py [levels ...]   (default: 10 20 40)
A levels x levels design with 5 values per cell, complete and with a tenth of the cells empty.
"""
import sys
import time
import tracemalloc

import numpy as np
import pandas as pd
import scipy.stats  # noqa: F401  (imported once here, not inside the first timing)

from Tarnwick.bi.common.results import MeasureAnovaResult


def cell_table(levels, empty_share, rng):
    rows = []
    for i in range(levels):
        for j in range(levels):
            if rng.rand() < empty_share:
                continue
            values = rng.normal(size=5) + 0.1 * i
            rows.append(("a%d" % i, "b%d" % j, 5, float(values.mean()), float((values ** 2).sum())))
    table = pd.DataFrame([r[:4] for r in rows], columns=["level1", "level2", "counts", "means"])
    table["total"] = table.means * table.counts
    table["var5"] = table.counts * table.means * table.means
    n = int(table.counts.sum())
    sum_sq = sum(r[4] for r in rows)
    return table, (n, float(table.total.sum() / n), sum_sq)


def main(argv):
    rng = np.random.RandomState(0)
    for levels in [int(a) for a in argv] or [10, 20, 40]:
        for empty_share in (0.0, 0.1):
            table, row = cell_table(levels, empty_share, rng)
            tracemalloc.start()
            record = MeasureAnovaResult(row)
            record.set_TwoWayAnovaResult("a", "b", table)
            timings = []
            for typ in (1, 2, 3):
                start = time.perf_counter()
                record.get_two_way("a", "b", typ)
                timings.append(time.perf_counter() - start)
            held, peak = tracemalloc.get_traced_memory()
            tracemalloc.stop()
            print("%2d x %2d levels, %4d cells (%s): type I %.3f s, type II %.3f s, type III %.3f s;"
                  " held %.1f MB, peak %.1f MB"
                  % ((levels, levels, len(table), "complete" if empty_share == 0 else "empty cells")
                     + tuple(timings) + (held / 1e6, peak / 1e6)))


if __name__ == "__main__":
    main(sys.argv[1:])
