"""Raw terms in the analyser's layout, built without the extension module.

``pandas_*`` build them from a pandas frame with groupby (nulls in the grouping columns form a
level of their own, nulls in the measure are not counted); ``spark_*`` run the same Spark
aggregations the analyser runs. Both give: the measure row (n, mean, Σx²), level tables
(levels, counts, means, total, var3) and cell tables (level1, level2, counts, means, total, var5).
"""
import numpy as np
import pandas as pd

from Tarnwick.bi.common.results import MeasureAnovaResult


def _derive(table, nsq):
    table["total"] = table.means * table.counts
    table[nsq] = table.counts * table.means * table.means
    return table


def pandas_measure_row(frame, measure):
    values = frame[measure].dropna()
    if len(values) == 0:
        return (0, None, None)
    return (len(values), float(values.mean()), float((values ** 2).sum()))


def pandas_level_table(frame, measure, dimension):
    grouped = frame.groupby(dimension, dropna=False, sort=False)[measure].agg(["count", "mean"])
    rows = [(k, int(c), None if np.isnan(m) else float(m)) for k, (c, m) in
            zip(grouped.index, grouped.to_numpy())]
    return _derive(pd.DataFrame(rows, columns=["levels", "counts", "means"]), "var3")


def pandas_cell_table(frame, measure, dimension1, dimension2):
    grouped = frame.groupby([dimension1, dimension2], dropna=False, sort=False)[measure]
    grouped = grouped.agg(["count", "mean"])
    rows = [(k[0], k[1], int(c), None if np.isnan(m) else float(m)) for k, (c, m) in
            zip(grouped.index, grouped.to_numpy())]
    return _derive(pd.DataFrame(rows, columns=["level1", "level2", "counts", "means"]), "var5")


def pandas_record(frame, measure, dimensions=(), pairs=()):
    record = MeasureAnovaResult(pandas_measure_row(frame, measure))
    for dimension in dimensions:
        record.set_OneWayAnovaResult(dimension, pandas_level_table(frame, measure, dimension))
    for d1, d2 in pairs:
        record.set_TwoWayAnovaResult(d1, d2, pandas_cell_table(frame, measure, d1, d2))
    return record


def spark_measure_row(df, measure):
    from pyspark.sql import functions as F

    selected = df.select(F.col(measure).alias("x"), (F.col(measure) ** 2).alias("x2"))
    return selected.agg(F.count(F.col("x")), F.mean(F.col("x")), F.sum(F.col("x2"))).collect()[0]


def spark_level_table(df, measure, dimension):
    from pyspark.sql import functions as F

    rows = df.groupby(dimension).agg(F.count(F.col(measure)), F.mean(F.col(measure))).collect()
    return _derive(pd.DataFrame(rows, columns=["levels", "counts", "means"]), "var3")


def spark_cell_table(df, measure, dimension1, dimension2):
    from pyspark.sql import functions as F

    rows = (df.groupby(dimension1, dimension2)
            .agg(F.count(F.col(measure)), F.mean(F.col(measure))).collect())
    return _derive(pd.DataFrame(rows, columns=["level1", "level2", "counts", "means"]), "var5")


def make_data(kind, seed=20261208):
    """Two factors a (3 levels) and b (4 levels) and a response y with real effects."""
    rng = np.random.RandomState(seed)
    a_levels, b_levels = ["a0", "a1", "a2"], ["b0", "b1", "b2", "b3"]
    rows = []
    for i, a in enumerate(a_levels):
        for j, b in enumerate(b_levels):
            size = 6 if kind == "balanced" else rng.randint(2, 10)
            if kind == "empty_cell" and (a, b) == ("a2", "b3"):
                size = 0
            for _ in range(size):
                y = 50.0 + 0.8 * i - 0.5 * j + 0.3 * (i * j % 3) + rng.normal(0.0, 1.0)
                rows.append((a, b, y))
    frame = pd.DataFrame(rows, columns=["a", "b", "y"])
    if kind == "nulls":
        n = len(frame)
        frame.loc[rng.rand(n) < 0.1, "y"] = np.nan
        frame["a"] = frame["a"].astype(object)
        frame["b"] = frame["b"].astype(object)
        frame.loc[rng.rand(n) < 0.08, "a"] = None
        frame.loc[rng.rand(n) < 0.08, "b"] = None
        # A level whose measure values are all null: it must take no degree of freedom.
        extra = pd.DataFrame({"a": ["a9", "a9"], "b": ["b0", "b1"], "y": [np.nan, np.nan]})
        frame = pd.concat([frame, extra], ignore_index=True)
    return frame


def with_sumsq_dev(table, frame, measure, key_columns, frame_columns):
    """``table`` with the one-scan plan's trailing ``sumsq_dev`` column: per level (or cell) the
    sum of squared deviations of the measure from the group mean, computed from ``frame``."""
    sumsq = frame.groupby(list(frame_columns))[measure].apply(
        lambda v: float(((v - v.mean()) ** 2).sum()))
    keys = [tuple(r) if len(r) > 1 else r[0] for r in table[list(key_columns)].to_numpy()]
    return table.assign(sumsq_dev=[float(sumsq[k]) for k in keys])


def range_cdf(w, k):
    """P(range of k standard normal values <= w) for an array of w: the trapezoidal rule over
    the position of the largest value (exponentially convergent for this smooth integrand)."""
    from scipy.stats import norm

    z = np.linspace(-12.0, 12.0, 1201)
    w = np.asarray(w, dtype=float)[..., None]
    inside = np.clip(norm.cdf(z) - norm.cdf(z - w), 0.0, None)
    return k * np.sum(norm.pdf(z) * inside ** (k - 1), axis=-1) * (z[1] - z[0])


def studentized_sf_by_trapezoid(q, k, df):
    """P(Q > q) of the studentized range as one less its distribution function: the range's
    distribution averaged over log S (S² a chi-square over df) by the trapezoidal rule. Fine
    to about 1e-13 absolute, so only for tails that are not small."""
    from scipy.special import gammaln

    if np.isinf(df):
        return 1.0 - float(range_cdf(q, k))
    t = np.linspace(-(40.0 / df + 10.0 / np.sqrt(df)), 10.0 / np.sqrt(df), 2001)
    x = df / 2.0
    density = np.exp(np.log(2.0) + x * np.log(x) - gammaln(x) + df * t - x * np.exp(2 * t))
    return 1.0 - float(np.sum(density * range_cdf(q * np.exp(t), k)) * (t[1] - t[0]))
