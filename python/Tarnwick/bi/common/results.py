"""Result objects of the two-way analysis of variance.

The analyser files its raw terms here: per measure a :class:`MeasureAnovaResult` made from the
measure row (count, mean, sum of squares), which then receives one level table per dimension and
one cell table per pair of dimensions; the records of a run are collected in a
:class:`DFTwoWayAnovaResult`.
"""
from __future__ import annotations

from typing import Any, List, Tuple

__all__ = ["MeasureAnovaResult", "DFTwoWayAnovaResult"]


class MeasureAnovaResult(object):
    """The analysis-of-variance record of one measure.

    Parameters
    ----------
    measure_row : sequence
        The measure's count n, mean and sum of squares Σx², in this order (a Spark ``Row``).
    """

    def __init__(self, measure_row: Any) -> None:
        self.measure_row = measure_row
        # Every table received, in arrival order, as handed over (no copies).
        self.tables: List[Tuple] = []

    def set_OneWayAnovaResult(self, dimension: Any, level_table: Any) -> None:
        """File the level table of ``dimension``."""
        self.tables.append(("one-way", (dimension,), level_table))

    def set_TwoWayAnovaResult(self, dimension1: Any, dimension2: Any, cell_table: Any) -> None:
        """File the cell table of the pair ``dimension1``, ``dimension2``."""
        self.tables.append(("two-way", (dimension1, dimension2), cell_table))


class DFTwoWayAnovaResult(object):
    """The records of one batch run, by measure, in the order they were added."""

    def __init__(self) -> None:
        self.records: List[Tuple[Any, MeasureAnovaResult]] = []

    def add_measure_result(self, name: Any, record: MeasureAnovaResult) -> None:
        """File the record of measure ``name``."""
        self.records.append((name, record))
