"""Pairwise comparisons, Welch's test and Levene's test for a measure's result record.

The result objects' methods (``post_hoc``, ``welch``, ``levene``, ``level_statistics``) come
here. The per-level counts and means come from the level tables the record received (the latest
filing of a dimension). The variances come from the level table when it carries ``sumsq_dev``
(the one-scan plan's tables do); otherwise from one extra Spark aggregation when the data frame
is given. Tukey–Kramer needs no variances: its mean square is the residual of the ANOVA table.
"""
from __future__ import annotations

from typing import Any, Hashable, Optional, Sequence

import pandas as pd

from . import dispersion, posthoc

__all__ = ["level_statistics", "levene", "post_hoc", "welch"]


def _latest_table(record: Any, kind: str, dimensions: Sequence[Hashable]) -> Optional[pd.DataFrame]:
    for filed_kind, filed_dims, table in reversed(record.tables):
        if filed_kind == kind and tuple(filed_dims) == tuple(dimensions):
            return table
    return None


def _measure(record: Any) -> str:
    if record.measure is None:
        raise ValueError("the record has no measure name; add it to a DFTwoWayAnovaResult first")
    return record.measure


def level_statistics(record: Any, dimension: Hashable, data_frame: Any = None) -> pd.DataFrame:
    """Per level of ``dimension``: count, mean and variance (see :mod:`.posthoc`).

    With ``data_frame`` and a level table without ``sumsq_dev``, the statistics come from one
    Spark aggregation over the frame; otherwise from the level table, the variance NaN when the
    table has none.

    Raises
    ------
    KeyError
        No level table was filed for ``dimension``.
    """
    table = _latest_table(record, "one-way", (dimension,))
    if table is None:
        raise KeyError(dimension)
    if posthoc.SUMSQ_DEV in table.columns or data_frame is None:
        return posthoc.level_statistics(table)
    aggregated = dispersion.level_variances(data_frame, _measure(record), dimension)
    return posthoc.statistics_table(aggregated["level"], aggregated["count"], aggregated["mean"],
                                    aggregated["variance"])


def _pair_statistics(record: Any, dimension: Hashable, pair: Sequence[Hashable]):
    pair = tuple(pair)
    if len(pair) != 2 or dimension not in pair:
        raise ValueError("pair %r must be two dimensions, one of them %r" % (pair, dimension))
    for order in (pair, pair[::-1]):
        table = _latest_table(record, "two-way", order)
        if table is not None:
            residual = record.get_two_way(order[0], order[1]).iloc[3]
            which = 0 if order[0] == dimension else 1
            return posthoc.marginal_statistics(table, which), residual
    raise KeyError(pair)


def post_hoc(record: Any, dimension: Hashable, method: str = "tukey", alpha: float = 0.05,
             data_frame: Any = None, pair: Optional[Sequence[Hashable]] = None) -> pd.DataFrame:
    """Pairwise comparisons of the levels of ``dimension`` (see the result objects' docs)."""
    if method not in posthoc.METHODS:
        raise ValueError("method must be 'tukey' or 'games-howell', not %r" % (method,))
    if pair is not None:
        if method != "tukey":
            raise ValueError("only Tukey-Kramer compares a main effect of a two-way table")
        stats, residual = _pair_statistics(record, dimension, pair)
        return posthoc.tukey_kramer(stats, residual["mean_sq"], residual["df"], alpha)
    if method == "tukey":
        stats = posthoc.level_statistics(_one_way_table(record, dimension))
        residual = record.get_one_way(dimension).iloc[1]
        return posthoc.tukey_kramer(stats, residual["mean_sq"], residual["df"], alpha)
    return posthoc.games_howell(level_statistics(record, dimension, data_frame), alpha)


def _one_way_table(record: Any, dimension: Hashable) -> pd.DataFrame:
    table = _latest_table(record, "one-way", (dimension,))
    if table is None:
        raise KeyError(dimension)
    return table


def welch(record: Any, dimension: Hashable, data_frame: Any = None) -> pd.DataFrame:
    """Welch's one-way test of ``dimension`` (see :func:`.posthoc.welch_anova`)."""
    return posthoc.welch_anova(level_statistics(record, dimension, data_frame), label=dimension)


def levene(record: Any, dimension: Hashable, data_frame: Any, center: str = "mean") -> pd.DataFrame:
    """Levene's or Brown–Forsythe's test of ``dimension`` (see :func:`.dispersion.levene`)."""
    if data_frame is None:
        raise ValueError("Levene's test needs the data frame: the deviations from the level "
                         "centres are aggregated from the rows")
    _one_way_table(record, dimension)
    return dispersion.levene(data_frame, _measure(record), dimension, center)

