"""Aggregations for the spread within the levels of a dimension (on Spark, or on the embedded
engine for a pandas frame, an embedded frame or a file path).

Each function runs one grouped aggregation over the data frame and returns a small pandas table:

* :func:`level_variances`: per level the count, mean and sample variance of the measure (Spark's
  ``var_samp``, a central moment: no difference of large sums), for the comparisons and tests
  that need each level's own variance when the level tables do not carry it;
* :func:`levene`: Levene's test (absolute deviations from the level means) or Brown–Forsythe's
  (from the level medians): the one-way analysis of variance of those deviations.

The level's centre is computed in the same query as a window over the dimension's levels, so
the rows are shuffled once, by level, for the centre and the grouped aggregation together. The
window holds the rows of one level at a time (Spark spills them to disk when they do not fit).

The median is Spark's exact ``percentile(x, 0.5)``, not ``percentile_approx``: the approximate
one returns a value of the data within a rank error, the lower middle value for an even count,
while Brown–Forsythe's test is defined with the usual median (the mean of the two middle values),
which ``percentile`` gives; approximate medians would shift every deviation of a level and with
it the statistic. The price is memory: the exact percentile keeps a count per distinct value of
the level it aggregates.

Values that are null, NaN or infinite are left out (:func:`.columns.measure_value`), as every
aggregation of the package leaves them out.
"""
from __future__ import annotations

from typing import Any, Hashable

import numpy as np
import pandas as pd

from . import anova
from .columns import column, measure_value
from .posthoc import STATISTICS_COLUMNS

__all__ = ["CENTERS", "level_variances", "levene"]

#: Centres of the deviations: "mean" for Levene's test, "median" for Brown–Forsythe's.
CENTERS = ("mean", "median")


def _values(spark_df: Any, measure: str) -> Any:
    """The frame's rows where the measure has a value (see :func:`.columns.measure_value`)."""
    return spark_df.where(measure_value(measure).isNotNull())


def _embedded(data: Any) -> Any:
    """The embedded engine's aggregations when ``data`` runs on it (a pandas frame, an
    embedded frame or a file path), else None."""
    from Tarnwick.bi.embedded import tables

    return tables if tables.is_embedded(data) else None


def _spark_deviations(spark_df: Any, measure: str, dimension: str, center: str) -> Any:
    """Per level on Spark: count, mean and population variance of |x − centre|."""
    from pyspark.sql import Window
    from pyspark.sql import functions as F

    # Only the level and the value go on: their names are the projection's own.
    values = _values(spark_df, measure).select(column(dimension).alias("level"),
                                               measure_value(measure).alias("x"))
    levels = Window.partitionBy("level")
    if center == "mean":
        centre = F.avg("x").over(levels)
    else:
        centre = F.expr("percentile(x, 0.5)").over(levels)
    return (
        values.select("level", F.abs(F.col("x") - centre).alias("z"))
        .groupBy("level")
        .agg(F.count("z"), F.avg("z"), F.var_pop("z"))
        .collect()
    )


def level_variances(spark_df: Any, measure: str, dimension: str) -> pd.DataFrame:
    """Per level of ``dimension``: count, mean and sample variance of ``measure``.

    Returns
    -------
    pandas.DataFrame
        Columns ``level``, ``count``, ``mean``, ``variance`` (NaN for a level of one value), a
        row per level with a value, in Spark's order.
    """
    embedded = _embedded(spark_df)
    if embedded is not None:
        rows = embedded.level_variances(spark_df, measure, dimension)
    else:
        from pyspark.sql import functions as F

        x = measure_value(measure)
        rows = (
            _values(spark_df, measure)
            .groupBy(column(dimension))
            .agg(F.count(x), F.avg(x), F.var_samp(x))
            .collect()
        )
    return pd.DataFrame(
        [[anova.level_key(r[0]), anova.as_float(r[1]), anova.as_float(r[2]),
          anova.as_float(r[3])] for r in rows],
        columns=STATISTICS_COLUMNS,
    )


def levene(spark_df: Any, measure: str, dimension: str, center: str = "mean",
           label: Hashable = None) -> pd.DataFrame:
    """Levene's (``center="mean"``) or Brown–Forsythe's (``"median"``) test of equal variances.

    The absolute deviations zᵢⱼ = |xᵢⱼ − centreᵢ| are tested with the one-way analysis of
    variance across the levels, from their per-level counts, means and population variances.

    Returns
    -------
    pandas.DataFrame
        One row labelled ``label`` (default: the dimension): ``center``, ``F``, ``df1``,
        ``df2``, ``p_value``, ``note`` (why there is no F: fewer than two levels, or no spread
        of the deviations at all).
    """
    if center not in CENTERS:
        raise ValueError("center must be 'mean' or 'median', not %r" % (center,))
    embedded = _embedded(spark_df)
    if embedded is not None:
        rows = embedded.level_deviations(spark_df, measure, dimension, center)
    else:
        rows = _spark_deviations(spark_df, measure, dimension, center)
    terms = anova.GroupTerms.from_moments(
        [(anova.level_key(r[0]),) for r in rows],
        [anova.as_float(r[1]) for r in rows],
        [anova.as_float(r[2]) for r in rows],
        [anova.as_float(r[3]) for r in rows],
    )
    label = dimension if label is None else label
    table = anova.one_way_table(label, terms)
    effect, residual = table.iloc[0], table.iloc[1]
    note = ""
    if len(terms.counts) < 2:
        note = "%d level%s: nothing to compare" % (len(terms.counts),
                                                   "" if len(terms.counts) == 1 else "s")
    elif not np.isfinite(effect["F"]):
        note = "no spread of the deviations within the levels"
    return pd.DataFrame(
        [[center, effect["F"], effect["df"], residual["df"], effect["p_value"], note]],
        columns=["center", "F", "df1", "df2", "p_value", "note"],
        index=pd.Index([label], name="source"),
    )
