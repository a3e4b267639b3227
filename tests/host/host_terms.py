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
