"""Every test of a batch run from one scan of the data.

``TwoWayAnova.test_all`` runs one Spark aggregation per measure, per dimension and per pair of
dimensions, one after another, each a full scan of the data. :func:`one_scan_test_all` gives
the same result collection from two Spark queries:

1. The profile, one aggregation: the row count, per measure the mean of its values (the shift
   below) and per candidate dimension an approximate level count (HyperLogLog++, a null
   counting as a level). Only dimensions far beyond the level bound are ruled out here; the
   others are counted exactly by step 2.
2. The tables, one query in two stages:

   * stage 1 groups the rows by the full cross of the candidate dimensions and keeps, per cell
     and per measure, the count of values, their mean and their second central moment
     M2 = Σ(x − mean)² (``count · var_pop``, Spark's numerically stable aggregate);
   * stage 2 rolls the cells up with ``GROUPING SETS`` into the overall row, one row per level
     of each dimension and one per cell of each pair (``grouping()`` tells a null level from a
     rolled-up column). The cells are merged with the parallel update of Chan, Golub and
     LeVeque: with dᶜ = meanᶜ − s for a shift s near the measure's mean,
     n = Σ nᶜ, mean = s + Σ nᶜdᶜ / n and M2 = Σ M2ᶜ + Σ nᶜdᶜ² − (Σ nᶜdᶜ)² / n.
     The deviations are small, so no step forms a difference of large sums.

Only the rolled-up rows reach the driver (never the stage-1 cells). The level and cell tables
have the analyser's columns (``levels``/``level1``, ``level2``, ``counts``, ``means``,
``total``, ``var3``/``var5``) and one more, ``sumsq_dev``: each group's sum of squared
deviations from its own mean, from which the result records take the within sum of squares
without the imprecision of Σx² − Σ n·mean².

Missing values: a null in a dimension is a level of its own. A null, NaN or infinite measure
value is left out of that measure's counts and sums only; the row still counts for the other
measures (the analyser's own plan gives NaN or infinite means instead).
"""
from __future__ import annotations

from typing import Any, Callable, Dict, Hashable, List, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

from Tarnwick.bi.common import DataFrameHelper, anova, columns
from Tarnwick.bi.common.results import DFTwoWayAnovaResult, MeasureAnovaResult

__all__ = ["LEVELS_RSD", "one_scan_test_all", "one_scan_test_against"]

#: Relative standard deviation of the profile's approximate level counts.
LEVELS_RSD = 0.05

Progress = Optional[Callable[[str], None]]


def _unique(names: Sequence[Hashable]) -> List[Hashable]:
    return list(dict.fromkeys(names))


class _Names(object):
    """Generated column names of the queries, none of them the prefix of a data column."""

    def __init__(self, data_columns: Sequence[str]) -> None:
        self.prefix = columns.fresh_prefix(data_columns)

    def key(self, i: int) -> str:
        return "%sd%d" % (self.prefix, i)

    def flag(self, i: int) -> str:
        return "%sg%d" % (self.prefix, i)

    def moment(self, what: str, j: int) -> str:
        return "%sm%d_%s" % (self.prefix, j, what)

    def profile(self, what: str, i: int) -> str:
        return "%sp%s%d" % (self.prefix, what, i)


def _cell_moments(measure: str, shift: float, n: str, mean: str, m2: str) -> List[Any]:
    """Stage-1 aggregates of one measure per cell: the count of values, their mean's deviation
    from ``shift`` and their second central moment.

    Each value enters as its deviation from the shift: Spark's mean is a plain sum divided by
    the count, which would lose the small differences between the cell means of large values.
    The second moment is ``count · var_pop``, which Spark accumulates by stable updates.
    """
    from pyspark.sql import functions as F

    value = columns.measure_value(measure) - F.lit(float(shift))
    count = F.count(value)
    return [
        count.alias(n),
        F.avg(value).alias(mean),
        F.coalesce(F.var_pop(value) * count, F.lit(0.0)).alias(m2),
    ]


def _profile(frame: Any, names: _Names, measures: Sequence[str],
             dimensions: Sequence[str]) -> Tuple[int, List[float], List[int]]:
    """One aggregation: row count, each measure's mean (0 without values) and each dimension's
    approximate level count."""
    from pyspark.sql import functions as F

    expressions = [F.count(F.lit(1)).alias(names.profile("rows", 0))]
    expressions += [F.avg(columns.measure_value(m)).alias(names.profile("mean", j))
                    for j, m in enumerate(measures)]
    expressions += [columns.approx_levels(d, LEVELS_RSD).alias(names.profile("levels", i))
                    for i, d in enumerate(dimensions)]
    row = frame.agg(*expressions).collect()[0]
    means = [row[1 + j] for j in range(len(measures))]
    shifts = [float(v) if v is not None else 0.0 for v in means]
    levels = [int(row[1 + len(measures) + i]) for i in range(len(dimensions))]
    return int(row[0]), shifts, levels


def _marginal_rows(frame: Any, names: _Names, measures: Sequence[str],
                   dimensions: Sequence[str], shifts: Sequence[float]) -> List[Any]:
    """Stages 1 and 2 in one query; the collected rows of every grouping set."""
    keys = [names.key(i) for i in range(len(dimensions))]
    moments = []
    for j, (measure, shift) in enumerate(zip(measures, shifts)):
        moments += _cell_moments(measure, shift, names.moment("n", j), names.moment("mean", j),
                                 names.moment("m2", j))
    if dimensions:
        grouped = frame.groupBy(*[columns.column(d).alias(k) for d, k in zip(dimensions, keys)])
        cells = grouped.agg(*moments)
    else:
        cells = frame.agg(*moments)

    # Per cell: n, n·d, n·d² and M2, d the cell mean's deviation from the measure's shift.
    shifted = [columns.column(k) for k in keys]
    for j in range(len(measures)):
        n = columns.column(names.moment("n", j))
        deviation = columns.column(names.moment("mean", j))
        shifted += [
            n.alias(names.moment("n", j)),
            (n * deviation).alias(names.moment("sd", j)),
            (n * deviation * deviation).alias(names.moment("sdd", j)),
            columns.column(names.moment("m2", j)).alias(names.moment("m2", j)),
        ]
    cells = cells.select(*shifted)
    if not keys:
        return cells.collect()  # one row: the overall set, nothing to roll up

    q = columns.quoted
    select = [q(k) for k in keys]
    select += ["grouping(%s) AS %s" % (q(k), q(names.flag(i))) for i, k in enumerate(keys)]
    for j in range(len(measures)):
        select += ["SUM(%s) AS %s" % (q(names.moment(what, j)), q(names.moment(what, j)))
                   for what in ("n", "sd", "sdd", "m2")]
    sets = ["()"] + ["(%s)" % q(k) for k in keys]
    sets += ["(%s, %s)" % (q(keys[i]), q(keys[j]))
             for i in range(len(keys)) for j in range(i + 1, len(keys))]
    text = "SELECT %s FROM {cells} GROUP BY GROUPING SETS (%s)" % (", ".join(select),
                                                                    ", ".join(sets))
    return frame.sparkSession.sql(text, cells=cells).collect()


class _Marginals(object):
    """The collected rows of stage 2, sorted by grouping set, turned into the analyser's
    measure rows and tables."""

    def __init__(self, rows: Sequence[Any], dimensions: Sequence[str],
                 shifts: Sequence[float]) -> None:
        self.k = len(dimensions)
        self.position = {d: i for i, d in enumerate(dimensions)}
        self.shifts = list(shifts)
        self.sets: Dict[Tuple[int, ...], List[Any]] = {}
        for row in rows:
            members = tuple(i for i in range(self.k) if row[self.k + i] == 0)
            self.sets.setdefault(members, []).append(row)

    def levels(self, dimension: str) -> int:
        """Exact number of levels of a dimension, a null counting as one."""
        return len(self.sets.get((self.position[dimension],), []))

    def _moments(self, row: Any, j: int) -> Tuple[int, Optional[float], float]:
        """Count, mean's deviation from the shift (None without values) and M2 of measure j in
        a group: Chan's merge of the group's cells."""
        base = 2 * self.k + 4 * j
        n = int(row[base] or 0)
        if n == 0:
            return 0, None, float("nan")
        sd, sdd, m2 = (float(row[base + i] or 0.0) for i in (1, 2, 3))
        deviation = sd / n
        spread = max(sdd - sd * deviation, 0.0)  # Σ nᶜ(meanᶜ − mean)², never negative
        return n, deviation, m2 + spread

    def measure_row(self, j: int) -> Tuple[int, Optional[float], Optional[float]]:
        """(count, mean, Σx²) of measure j, as the analyser's one-row aggregation gives them."""
        overall = self.sets.get(())
        if not overall:
            return 0, None, None
        n, deviation, m2 = self._moments(overall[0], j)
        if deviation is None:
            return 0, None, None
        mean = self.shifts[j] + deviation
        return n, mean, m2 + n * mean * mean

    def table(self, j: int, dimensions: Sequence[str]) -> pd.DataFrame:
        """The level table (one dimension) or cell table (two) of measure j, analyser's layout
        plus ``sumsq_dev``."""
        places = [self.position[d] for d in dimensions]
        rows = self.sets.get(tuple(sorted(set(places))), [])
        records, sumsq, deviations = [], [], []
        for row in rows:
            n, deviation, m2 = self._moments(row, j)
            mean = None if deviation is None else self.shifts[j] + deviation
            records.append(tuple(row[p] for p in places) + (n, mean))
            sumsq.append(m2)
            deviations.append(float("nan") if deviation is None else deviation)
        if len(places) == 1:
            key_columns, nsq = ["levels"], "var3"
        else:
            key_columns, nsq = ["level1", "level2"], "var5"
        table = pd.DataFrame(records, columns=key_columns + ["counts", "means"])
        table["total"] = table.means * table.counts
        table[nsq] = table.counts * table.means * table.means
        table[anova.SUMSQ_DEV] = pd.Series(sumsq, index=table.index, dtype=float)
        # The means rounded to doubles lose digits of their differences when the values are
        # large; the deviations from the shift keep them for the between-group terms.
        table.attrs[anova.MEAN_DEVIATIONS] = np.array(deviations, dtype=float)
        return table


def _file(marginals: _Marginals, measures: Sequence[str], dimensions: Sequence[str],
          progress: Progress) -> DFTwoWayAnovaResult:
    """File the tables in new records, in the analyser's order, one record per listed measure."""
    index = {m: j for j, m in enumerate(_unique(measures))}
    result = DFTwoWayAnovaResult()
    for measure in measures:
        j = index[measure]
        record = MeasureAnovaResult(marginals.measure_row(j))
        for dimension in dimensions:
            record.set_OneWayAnovaResult(dimension, marginals.table(j, [dimension]))
        for a in range(len(dimensions)):
            for b in range(a + 1, len(dimensions)):
                pair = [dimensions[a], dimensions[b]]
                record.set_TwoWayAnovaResult(pair[0], pair[1], marginals.table(j, pair))
        result.add_measure_result(measure, record)
    if progress is not None:
        progress("tables")
    return result


def _defaults(data_frame: Any, helper: Any, measure_columns: Optional[Sequence[str]],
              dimension_columns: Optional[Sequence[str]]) -> Tuple[Any, List[str], List[str]]:
    if helper is None:
        helper = DataFrameHelper(data_frame)
    measures = helper.get_numeric_columns() if measure_columns is None else measure_columns
    dimensions = helper.get_string_columns() if dimension_columns is None else dimension_columns
    return helper, list(measures), list(dimensions)


def one_scan_test_all(data_frame: Any, measure_columns: Optional[Sequence[str]] = None,
                      dimension_columns: Optional[Sequence[str]] = None,
                      max_num_levels: int = columns.DEFAULT_MAX_LEVELS, helper: Any = None,
                      progress: Progress = None) -> DFTwoWayAnovaResult:
    """Test every measure against every dimension within the level bound, and every pair of
    them: ``TwoWayAnova(data_frame, helper).test_all(...)``'s result, from two Spark queries.

    Measures, dimensions and the level bound are chosen as ``test_all`` chooses them: the
    numeric and the string columns by default; the bound min(round(rows ** 0.35),
    ``max_num_levels``); a dimension is kept when its number of distinct values, a null counting
    as one, is at most the bound, in the order given, repeats kept. Each listed measure (repeats
    too) gets a new ``MeasureAnovaResult`` made from its (count, mean, Σx²), then a level table
    per kept dimension and a cell table per pair i < j, and is added to the collection.

    Parameters
    ----------
    data_frame : pyspark.sql.DataFrame
        The data. Cache it first when it is expensive to compute: it is scanned twice.
    measure_columns, dimension_columns : sequence of str, optional
        Measures and candidate dimensions, in order; None means the helper's numeric and
        string columns.
    max_num_levels : int, default 40
        The most levels a dimension may have before the row-count bound applies.
    helper : DataFrameHelper, optional
        When given, it supplies the default columns, the row count and exact level counts (its
        own cached aggregation, as ``test_all`` asks it), and the profile only computes the
        measures' means. Without one, the profile counts the levels approximately and the
        exact counts come from the tables' query.
    progress : callable, optional
        Called with "profile", "tables-query" and "tables" as each step ends.

    Returns
    -------
    DFTwoWayAnovaResult
        Tables carry a ``sumsq_dev`` column besides the analyser's columns.

    Notes
    -----
    A null, NaN or infinite measure value is missing (left out of that measure's counts only).
    """
    given_helper = helper is not None
    helper, measures, dimensions = _defaults(data_frame, helper, measure_columns,
                                             dimension_columns)
    if not measures:
        return DFTwoWayAnovaResult()
    unique_measures, unique_dimensions = _unique(measures), _unique(dimensions)
    names = _Names(data_frame.columns)
    if given_helper:
        rows = int(helper.get_num_rows())
        bound = columns.level_bound(rows, max_num_levels)
        exact = {d: helper.get_num_unique_values(d) for d in unique_dimensions}
        candidates = [d for d in unique_dimensions if exact[d] <= bound]
        _, shifts, _ = _profile(data_frame, names, unique_measures, [])
    else:
        rows, shifts, approximate = _profile(data_frame, names, unique_measures,
                                             unique_dimensions)
        bound = columns.level_bound(rows, max_num_levels)
        candidates = [d for d, levels in zip(unique_dimensions, approximate)
                      if columns.may_pass_bound(levels, bound, LEVELS_RSD)]
    if progress is not None:
        progress("profile")
    marginals = _Marginals(
        _marginal_rows(data_frame, names, unique_measures, candidates, shifts), candidates, shifts
    )
    if progress is not None:
        progress("tables-query")
    kept = [d for d in dimensions if d in marginals.position and marginals.levels(d) <= bound]
    return _file(marginals, measures, kept, progress)


def one_scan_test_against(data_frame: Any, measure_columns: Sequence[str],
                          dimension_columns: Sequence[str],
                          progress: Progress = None) -> DFTwoWayAnovaResult:
    """Every listed measure against the given dimensions and their pairs, with no level bound
    (as ``TwoWayAnova.test_against`` is given its dimensions), from two Spark queries.

    Parameters
    ----------
    data_frame : pyspark.sql.DataFrame
    measure_columns, dimension_columns : sequence of str
        Measures, and the dimensions to test them against, in order (repeats kept).
    progress : callable, optional
        As in :func:`one_scan_test_all`.

    Returns
    -------
    DFTwoWayAnovaResult
    """
    measures, dimensions = list(measure_columns), list(dimension_columns)
    if not measures:
        return DFTwoWayAnovaResult()
    unique_measures, unique_dimensions = _unique(measures), _unique(dimensions)
    names = _Names(data_frame.columns)
    _, shifts, _ = _profile(data_frame, names, unique_measures, [])
    if progress is not None:
        progress("profile")
    marginals = _Marginals(
        _marginal_rows(data_frame, names, unique_measures, unique_dimensions, shifts),
        unique_dimensions, shifts,
    )
    if progress is not None:
        progress("tables-query")
    return _file(marginals, measures, dimensions, progress)
