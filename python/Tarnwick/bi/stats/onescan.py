"""Every test of a batch run from one scan of the data.

``TwoWayAnova.test_all`` runs one Spark aggregation per measure, per dimension and per pair of
dimensions, one after another, each a full scan of the data. :func:`one_scan_test_all` gives
the same result collection from one scan and a small job:

1. A look at the first rows (``limit``, a few thousand rows, not a scan): per measure the mean
   of its values there, the shift below, and per candidate dimension its levels there. A
   dimension with more levels in those rows than ``max_num_levels`` can only be over the level
   bound, so it stays out of the tables' query; every other one is counted exactly by it.
   A :class:`Profile` (one aggregation with exact counts, which the command line computes for
   its own checks anyway) or a helper can stand in for this step.
2. The tables, one query in two stages:

   * stage 1 groups the rows by the full cross of the candidate dimensions and keeps, per cell,
     its rows and per measure the count of values, their mean and their second central moment
     M2 = Σ(x − mean)² (``count · var_pop``, Spark's numerically stable aggregate);
   * stage 2 rolls the cells up with ``GROUPING SETS`` into the overall row, one row per level
     of each dimension and one per cell of each pair (``grouping()`` tells a null level from a
     rolled-up column). The cells are merged with the parallel update of Chan, Golub and
     LeVeque: with dᶜ = meanᶜ − s for a shift s near the measure's values,
     n = Σ nᶜ, mean = s + Σ nᶜdᶜ / n and M2 = Σ M2ᶜ + Σ nᶜdᶜ² − (Σ nᶜdᶜ)² / n.
     The deviations are small, so no step forms a difference of large sums.

   The overall row gives the row count and so the level bound; the one-dimension rows give
   each dimension's exact level count, and the selection is made from them.

Only the rolled-up rows reach the driver (never the stage-1 cells), and no more of them than
dimensions of at most a few times ``max_num_levels`` levels can give: should a dimension with
few levels in the first rows have many more further on, the plan notices from the count of
rows, counts every dimension's levels approximately in one more scan and asks again without
the dimensions far over the bound.

The level and cell tables have the analyser's columns (``levels``/``level1``, ``level2``,
``counts``, ``means``, ``total``, ``var3``/``var5``) and one more, ``sumsq_dev``: each group's
sum of squared deviations from its own mean, from which the result records take the within
sum of squares without the imprecision of Σx² − Σ n·mean².

Missing values: a null in a dimension is a level of its own. A null, NaN or infinite measure
value is left out of that measure's counts and sums only; the row still counts for the other
measures (the analyser's own plan gives NaN or infinite means instead).
"""
from __future__ import annotations

import math
import warnings
from typing import Any, Callable, Dict, Hashable, List, Mapping, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

from Tarnwick.bi.common import DataFrameHelper, anova, columns
from Tarnwick.bi.common.results import DFTwoWayAnovaResult, MeasureAnovaResult

__all__ = [
    "LEVELS_RSD", "SAMPLE_ROWS", "LevelBoundWarning", "Profile", "one_scan_test_all",
    "one_scan_test_against", "profile",
]

#: Relative standard deviation of the approximate level counts of the fallback profile.
LEVELS_RSD = 0.05
#: Rows looked at before the tables' query for the shifts and the dimensions far over the bound.
SAMPLE_ROWS = 10000

Progress = Optional[Callable[[str], None]]


class LevelBoundWarning(UserWarning):
    """A named dimension has more levels than the automatic bound; it is tested all the same."""


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

    def rows(self) -> str:
        return "%srows" % self.prefix

    def moment(self, what: str, j: int) -> str:
        return "%sm%d_%s" % (self.prefix, j, what)

    def profile(self, what: str, i: int) -> str:
        return "%sp%s%d" % (self.prefix, what, i)


class Profile(object):
    """What one aggregation of the data tells the plan: the row count, per measure its finite
    values, its infinities and their mean, and per dimension its exact number of levels (a
    null counting as one). Made by :func:`profile`; the command line checks its input with it
    and hands it to the plan, which then needs no step of its own before the tables' query.

    Examples
    --------
    >>> from Tarnwick.bi.stats.onescan import profile
    >>> df = spark.createDataFrame(
    ...     [("north", "mon", 12.0), ("north", "tue", 14.5), ("south", "mon", 9.0),
    ...      ("south", "tue", 11.0), ("north", "mon", 13.0), ("south", "tue", 10.5)],
    ...     "region string, day string, sales double")
    >>> facts = profile(df, ["sales"], ["region", "day"])
    >>> facts.rows, facts.values, facts.infinities, facts.levels
    (6, {'sales': 6}, {'sales': 0}, {'region': 2, 'day': 2})
    >>> round(facts.means["sales"], 4)
    11.6667
    """

    def __init__(self, rows: int, values: Mapping[str, int], infinities: Mapping[str, int],
                 means: Mapping[str, Optional[float]], levels: Mapping[str, int]) -> None:
        self.rows = rows
        self.values = dict(values)
        self.infinities = dict(infinities)
        self.means = dict(means)
        self.levels = dict(levels)

    def shifts(self, measures: Sequence[str]) -> List[float]:
        return [_shift(self.means[m]) for m in measures]

    def __repr__(self) -> str:
        return "Profile(rows=%d, values=%r, infinities=%r, levels=%r)" % (
            self.rows, self.values, self.infinities, self.levels)


def _shift(mean: Optional[float]) -> float:
    return 0.0 if mean is None else float(mean)


def profile(data_frame: Any, measure_columns: Sequence[str],
            dimension_columns: Sequence[str]) -> Profile:
    """The :class:`Profile` of the given columns of ``data_frame``.

    The first ``SAMPLE_ROWS`` rows are read first (a small job); when they are all the rows,
    the profile is counted from them on the driver, otherwise by one aggregation of the data.

    Parameters
    ----------
    data_frame : pyspark.sql.DataFrame
    measure_columns, dimension_columns : sequence of str
        Numeric measures (counted as doubles; NaN and the infinities are not values) and
        dimensions (their exact level counts, a null counting as one).

    Returns
    -------
    Profile

    Examples
    --------
    Profile once, then run the plan on the profile without its own look at the first rows:

    >>> from Tarnwick.bi.stats.onescan import one_scan_test_all, profile
    >>> df = spark.createDataFrame(
    ...     [("north", "mon", 12.0), ("north", "tue", 14.5), ("south", "mon", 9.0),
    ...      ("south", "tue", 11.0), ("north", "mon", 13.0), ("south", "tue", 10.5)],
    ...     "region string, day string, sales double")
    >>> facts = profile(df, ["sales"], ["region", "day"])
    >>> results = one_scan_test_all(df, ["sales"], ["region", "day"], profile=facts)
    >>> round(float(results.get_one_way("sales", "region").loc["region", "F"]), 3)
    10.125
    """
    measures, dimensions = _unique(measure_columns), _unique(dimension_columns)
    names = _Names(data_frame.columns)
    chosen = [columns.column(m).cast("double").alias(names.moment("x", j))
              for j, m in enumerate(measures)]
    chosen += [columns.column(d).alias(names.key(i)) for i, d in enumerate(dimensions)]
    first = data_frame.select(*chosen).limit(SAMPLE_ROWS).collect()
    if len(first) < SAMPLE_ROWS:
        return _counted(first, measures, dimensions)
    return _aggregated(data_frame, names, measures, dimensions)


_NAN_LEVEL = object()


def _level_count(rows: Sequence[Any], index: int) -> int:
    """Number of distinct values in column ``index`` of collected rows, as Spark groups them: a
    null is one level, and so is NaN (two NaN objects are not equal in Python)."""
    return len({_NAN_LEVEL if isinstance(v, float) and math.isnan(v) else v
                for v in (row[index] for row in rows)})


def _counted(rows: Sequence[Any], measures: Sequence[str], dimensions: Sequence[str]) -> Profile:
    """The profile of every row of the data, counted on the driver."""
    values, infinities, means, levels = {}, {}, {}, {}
    for j, m in enumerate(measures):
        present = [row[j] for row in rows if row[j] is not None and not math.isnan(row[j])]
        finite = [x for x in present if not math.isinf(x)]
        values[m], infinities[m] = len(finite), len(present) - len(finite)
        means[m] = math.fsum(finite) / len(finite) if finite else None
    k = len(measures)
    for i, d in enumerate(dimensions):
        levels[d] = _level_count(rows, k + i)
    return Profile(len(rows), values, infinities, means, levels)


def _aggregated(data_frame: Any, names: _Names, measures: Sequence[str],
                dimensions: Sequence[str]) -> Profile:
    """The profile from one aggregation of the data."""
    from pyspark.sql import functions as F

    infinite = F.lit(float("inf"))
    expressions = [F.count(F.lit(1)).alias(names.profile("rows", 0))]
    for j, m in enumerate(measures):
        value = columns.measure_value(m)
        raw = columns.column(m).cast("double")
        expressions += [
            F.count(value).alias(names.profile("values", j)),
            F.count(F.when(F.abs(raw) == infinite, F.lit(1))).alias(names.profile("inf", j)),
            F.avg(value).alias(names.profile("mean", j)),
        ]
    expressions += [columns.exact_levels(d).alias(names.profile("levels", i))
                    for i, d in enumerate(dimensions)]
    row = data_frame.agg(*expressions).collect()[0]
    k = len(measures)
    return Profile(
        rows=int(row[0]),
        values={m: int(row[1 + 3 * j]) for j, m in enumerate(measures)},
        infinities={m: int(row[2 + 3 * j]) for j, m in enumerate(measures)},
        means={m: row[3 + 3 * j] for j, m in enumerate(measures)},
        levels={d: int(row[1 + 3 * k + i]) for i, d in enumerate(dimensions)},
    )


def _cell_moments(value: Any, n: str, mean: str, m2: str) -> List[Any]:
    """Stage-1 aggregates of one measure per cell, from its values' deviations from the shift
    (``value``): the count of values, their mean and their second central moment.

    The values enter as deviations from the shift because Spark's mean is a plain sum divided
    by the count, which would lose the small differences between the cell means of large
    values. The second moment is ``count · var_pop``, which Spark accumulates by stable updates.
    """
    from pyspark.sql import functions as F

    count = F.count(value)
    return [
        count.alias(n),
        F.avg(value).alias(mean),
        F.coalesce(F.var_pop(value) * count, F.lit(0.0)).alias(m2),
    ]


def _first_rows(frame: Any, names: _Names, measures: Sequence[str],
                dimensions: Sequence[str]) -> Tuple[int, List[Optional[float]], List[int]]:
    """The first ``SAMPLE_ROWS`` rows (Spark reads no more of the data than it needs for them):
    how many there are, each measure's mean there (None without values) and each dimension's
    levels there, a null counting as one."""
    chosen = [columns.measure_value(m).alias(names.moment("x", j)) for j, m in enumerate(measures)]
    chosen += [columns.column(d).alias(names.key(i)) for i, d in enumerate(dimensions)]
    rows = frame.select(*chosen).limit(SAMPLE_ROWS).collect()
    means = []
    for j in range(len(measures)):
        values = [row[j] for row in rows if row[j] is not None]
        means.append(math.fsum(values) / len(values) if values else None)
    k = len(measures)
    levels = [_level_count(rows, k + i) for i in range(len(dimensions))]
    return len(rows), means, levels


def _look_first(frame: Any, names: _Names, measures: Sequence[str],
                dimensions: Sequence[str]) -> Tuple[int, List[float], List[int]]:
    """The first rows' count and level counts, and each measure's shift: its mean in the first
    rows, or over every row when the first rows hold none of its values."""
    seen, means, levels = _first_rows(frame, names, measures, dimensions)
    if seen >= SAMPLE_ROWS and any(mean is None for mean in means):
        _, means, _ = _approximate_profile(frame, names, measures, [])
    return seen, [_shift(mean) for mean in means], levels


def _approximate_profile(frame: Any, names: _Names, measures: Sequence[str],
                         dimensions: Sequence[str]) -> Tuple[int, List[Optional[float]], List[int]]:
    """One scan: the row count, each measure's mean (None without values) and each dimension's
    approximate level count."""
    from pyspark.sql import functions as F

    expressions = [F.count(F.lit(1)).alias(names.profile("rows", 0))]
    expressions += [F.avg(columns.measure_value(m)).alias(names.profile("mean", j))
                    for j, m in enumerate(measures)]
    expressions += [columns.approx_levels(d, LEVELS_RSD).alias(names.profile("levels", i))
                    for i, d in enumerate(dimensions)]
    row = frame.agg(*expressions).collect()[0]
    means = [row[1 + j] for j in range(len(measures))]
    return int(row[0]), means, [int(row[1 + len(measures) + i]) for i in range(len(dimensions))]


def _most_rows(dimensions: int, levels: int) -> int:
    """The most rolled-up rows that ``dimensions`` dimensions of ``levels`` levels give."""
    return 1 + dimensions * levels + dimensions * (dimensions - 1) // 2 * levels * levels


def _marginal_rows(frame: Any, names: _Names, measures: Sequence[str],
                   dimensions: Sequence[str], shifts: Sequence[float],
                   most: Optional[int] = None) -> Optional[List[Any]]:
    """Stages 1 and 2 in one query; the collected rows of every grouping set, or None when
    there are more than ``most`` of them."""
    from pyspark.sql import functions as F

    keys = [names.key(i) for i in range(len(dimensions))]
    values = [names.moment("x", j) for j in range(len(measures))]
    # Each value once per row, as its deviation from the shift (NaN and infinities as null).
    deviations = frame.select(
        *[columns.column(d).alias(k) for d, k in zip(dimensions, keys)],
        *[(columns.measure_value(m) - F.lit(float(shift))).alias(x)
          for m, shift, x in zip(measures, shifts, values)]
    )
    moments = [F.count(F.lit(1)).alias(names.rows())]
    for j, x in enumerate(values):
        moments += _cell_moments(columns.column(x), names.moment("n", j),
                                 names.moment("mean", j), names.moment("m2", j))
    if dimensions:
        cells = deviations.groupBy(*[columns.column(k) for k in keys]).agg(*moments)
    else:
        cells = deviations.agg(*moments)

    # Per cell: n, n·d, n·d² and M2, d the cell mean's deviation from the measure's shift.
    shifted = [columns.column(k) for k in keys] + [columns.column(names.rows())]
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
    select.append("SUM(%s) AS %s" % (q(names.rows()), q(names.rows())))
    for j in range(len(measures)):
        select += ["SUM(%s) AS %s" % (q(names.moment(what, j)), q(names.moment(what, j)))
                   for what in ("n", "sd", "sdd", "m2")]
    sets = ["()"] + ["(%s)" % q(k) for k in keys]
    sets += ["(%s, %s)" % (q(keys[i]), q(keys[j]))
             for i in range(len(keys)) for j in range(i + 1, len(keys))]
    text = "SELECT %s FROM {cells} GROUP BY GROUPING SETS (%s)" % (", ".join(select),
                                                                    ", ".join(sets))
    rolled = frame.sparkSession.sql(text, cells=cells)
    if most is None:
        return rolled.collect()
    rows = rolled.limit(most + 1).collect()
    return None if len(rows) > most else rows


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

    def rows(self) -> int:
        """Number of rows of the data."""
        overall = self.sets.get(())
        return int(overall[0][2 * self.k] or 0) if overall else 0

    def levels(self, dimension: str) -> int:
        """Exact number of levels of a dimension, a null counting as one."""
        return len(self.sets.get((self.position[dimension],), []))

    def _moments(self, row: Any, j: int) -> Tuple[int, Optional[float], float]:
        """Count, mean's deviation from the shift (None without values) and M2 of measure j in
        a group: Chan's merge of the group's cells."""
        base = 2 * self.k + 1 + 4 * j
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


def _defaults(data_frame: Any, measure_columns: Optional[Sequence[str]],
              dimension_columns: Optional[Sequence[str]],
              helper: Any) -> Tuple[List[str], List[str]]:
    if measure_columns is None or dimension_columns is None:
        helper = helper if helper is not None else DataFrameHelper(data_frame)
    measures = helper.get_numeric_columns() if measure_columns is None else measure_columns
    dimensions = helper.get_string_columns() if dimension_columns is None else dimension_columns
    return list(measures), list(dimensions)


def _covers(known: Profile, measures: Sequence[str], dimensions: Sequence[str]) -> None:
    missing = [m for m in measures if m not in known.means]
    missing += [d for d in dimensions if d not in known.levels]
    if missing:
        raise ValueError("the profile does not cover %s" % ", ".join(map(columns.quoted, missing)))


class _Plan(object):
    """What the plan knows before its tables' query: the shifts, and the dimensions to group by
    with their exact level counts and the row count where already known. ``bounded``: the
    candidates' level counts are unknown and the query may bring back only so many rows."""

    def __init__(self, shifts: List[float], candidates: List[str],
                 levels: Optional[Dict[str, int]] = None, rows: Optional[int] = None,
                 bounded: bool = False) -> None:
        self.shifts = shifts
        self.candidates = candidates
        self.levels = levels
        self.rows = rows
        self.bounded = bounded


def _before_tables(frame: Any, names: _Names, measures: List[str], dimensions: List[str],
                   max_num_levels: int, named: bool, helper: Any,
                   known: Optional[Profile]) -> _Plan:
    """The shifts and the candidate dimensions, from the profile or the helper when given,
    otherwise from the first rows of the data."""
    if known is not None:
        _covers(known, measures, dimensions)
        return _Plan(known.shifts(measures), _within(dimensions, known.levels, known.rows,
                                                     max_num_levels, named),
                     known.levels, known.rows)
    seen, shifts, first_levels = _look_first(frame, names, measures, dimensions)
    whole = seen < SAMPLE_ROWS  # the first rows were every row: their counts are exact
    if helper is not None:
        rows = int(helper.get_num_rows())
        levels = {d: int(helper.get_num_unique_values(d)) for d in dimensions}
        return _Plan(shifts, _within(dimensions, levels, rows, max_num_levels, named), levels, rows)
    levels = dict(zip(dimensions, first_levels))
    if whole:
        return _Plan(shifts, _within(dimensions, levels, seen, max_num_levels, named), levels,
                     seen)
    if named:  # tested whatever their number of levels
        return _Plan(shifts, list(dimensions))
    # More levels in the first rows than max_num_levels can only mean more than the bound.
    return _Plan(shifts, [d for d in dimensions if levels[d] <= max_num_levels], bounded=True)


def _within(dimensions: Sequence[str], levels: Mapping[str, int], rows: int,
            max_num_levels: int, named: bool) -> List[str]:
    if named:
        return list(dimensions)
    bound = columns.level_bound(rows, max_num_levels)
    return [d for d in dimensions if levels[d] <= bound]


def _tables(frame: Any, names: _Names, measures: List[str], plan: _Plan,
            max_num_levels: int) -> _Marginals:
    """The tables' query, bounded in its rows when the plan is; should they be exceeded, one scan counts the levels approximately and the query runs again
    without the dimensions far over the bound."""
    if not plan.bounded:
        rows = _marginal_rows(frame, names, measures, plan.candidates, plan.shifts)
    else:
        most = _most_rows(len(plan.candidates), 2 * max_num_levels + 10)
        rows = _marginal_rows(frame, names, measures, plan.candidates, plan.shifts, most)
        if rows is None:
            count, _, approximate = _approximate_profile(frame, names, [], plan.candidates)
            bound = columns.level_bound(count, max_num_levels)
            plan.candidates = [d for d, n in zip(plan.candidates, approximate)
                               if columns.may_pass_bound(n, bound, LEVELS_RSD)]
            rows = _marginal_rows(frame, names, measures, plan.candidates, plan.shifts)
    assert rows is not None
    return _Marginals(rows, plan.candidates, plan.shifts)


def one_scan_test_all(data_frame: Any, measure_columns: Optional[Sequence[str]] = None,
                      dimension_columns: Optional[Sequence[str]] = None,
                      max_num_levels: int = columns.DEFAULT_MAX_LEVELS, helper: Any = None,
                      progress: Progress = None,
                      profile: Optional[Profile] = None) -> DFTwoWayAnovaResult:
    """Test every measure against every dimension within the level bound, and every pair of
    them, as ``TwoWayAnova(data_frame, helper).test_all(...)`` does, from one scan.

    Measures and the level bound are chosen as ``test_all`` chooses them: the numeric columns
    by default; the bound min(round(rows ** 0.35), ``max_num_levels``). Without
    ``dimension_columns`` the dimensions are the string columns whose number of distinct
    values, a null counting as one, is at most the bound, in frame order; dimensions named in
    ``dimension_columns`` are all tested, in the order given, repeats kept, and those over the
    bound are named in a :class:`LevelBoundWarning`. Each listed measure (repeats too) gets a
    new ``MeasureAnovaResult`` made from its (count, mean, Σx²), then a level table per
    dimension and a cell table per pair i < j, and is added to the collection.

    Parameters
    ----------
    data_frame : pyspark.sql.DataFrame
        The data. Cache it first when it is expensive to compute.
    measure_columns, dimension_columns : sequence of str, optional
        Measures and dimensions, in order; None means the numeric and the string columns
        (those within the bound).
    max_num_levels : int, default 40
        The most levels a dimension may have before the row-count bound applies.
    helper : DataFrameHelper, optional
        When given, it supplies the default columns, the row count and exact level counts (its
        own cached aggregation, as ``test_all`` asks it).
    progress : callable, optional
        Called with "profile", "tables-query" and "tables" as each step ends.
    profile : Profile, optional
        The :func:`profile` of the data, covering the measures and dimensions: the plan then
        runs its tables' query straight away.

    Returns
    -------
    DFTwoWayAnovaResult
        Tables carry a ``sumsq_dev`` column besides the analyser's columns.

    Notes
    -----
    A null, NaN or infinite measure value is missing (left out of that measure's counts only).
    The data is scanned once (twice when a helper or a profile has to be computed first), plus
    a small job over its first rows; see the module's description.

    Examples
    --------
    >>> from Tarnwick.bi.stats.onescan import one_scan_test_all
    >>> df = spark.createDataFrame(
    ...     [("north", "mon", 12.0), ("north", "tue", 14.5), ("south", "mon", 9.0),
    ...      ("south", "tue", 11.0), ("north", "mon", 13.0), ("south", "tue", 10.5)],
    ...     "region string, day string, sales double")
    >>> results = one_scan_test_all(df)
    >>> results.measures, results.get_measure_result("sales").pairs
    (['sales'], [('region', 'day')])
    >>> table = results.get_two_way("sales", "region", "day", typ=2)
    >>> table.loc[["region", "day", "region:day", "Residual"], "df"].tolist()
    [1.0, 1.0, 1.0, 2.0]
    """
    measures, dimensions = _defaults(data_frame, measure_columns, dimension_columns, helper)
    if not measures:
        return DFTwoWayAnovaResult()
    named = dimension_columns is not None
    unique_measures, unique_dimensions = _unique(measures), _unique(dimensions)
    names = _Names(data_frame.columns)
    plan = _before_tables(data_frame, names, unique_measures, unique_dimensions, max_num_levels,
                          named, helper, profile)
    if progress is not None:
        progress("profile")
    marginals = _tables(data_frame, names, unique_measures, plan, max_num_levels)
    if progress is not None:
        progress("tables-query")
    rows = plan.rows if plan.rows is not None else marginals.rows()
    bound = columns.level_bound(rows, max_num_levels)
    levels = plan.levels or {d: marginals.levels(d) for d in marginals.position}
    if named:
        over = [d for d in unique_dimensions if levels[d] > bound]
        if over and rows > 0:
            warnings.warn(
                "tested as named although above the automatic level bound of %d: %s" % (
                    bound, ", ".join("%s (%d levels)" % (columns.quoted(d), levels[d])
                                     for d in over)),
                LevelBoundWarning, stacklevel=2)
        kept = list(dimensions)
    else:
        kept = [d for d in dimensions if d in marginals.position and levels[d] <= bound]
    return _file(marginals, measures, kept, progress)


def one_scan_test_against(data_frame: Any, measure_columns: Sequence[str],
                          dimension_columns: Sequence[str], progress: Progress = None,
                          profile: Optional[Profile] = None) -> DFTwoWayAnovaResult:
    """Every listed measure against the given dimensions and their pairs, with no level bound
    and no warning (as ``TwoWayAnova.test_against`` is given its dimensions), from one scan.

    Parameters
    ----------
    data_frame : pyspark.sql.DataFrame
    measure_columns, dimension_columns : sequence of str
        Measures, and the dimensions to test them against, in order (repeats kept).
    progress : callable, optional
        As in :func:`one_scan_test_all`.
    profile : Profile, optional
        As in :func:`one_scan_test_all`.

    Returns
    -------
    DFTwoWayAnovaResult

    Examples
    --------
    >>> from Tarnwick.bi.stats.onescan import one_scan_test_against
    >>> df = spark.createDataFrame(
    ...     [("north", "mon", 12.0), ("north", "tue", 14.5), ("south", "mon", 9.0),
    ...      ("south", "tue", 11.0), ("north", "mon", 13.0), ("south", "tue", 10.5)],
    ...     "region string, day string, sales double")
    >>> results = one_scan_test_against(df, ["sales"], ["day", "region"])
    >>> results.get_measure_result("sales").dimensions
    ['day', 'region']
    >>> round(float(results.get_one_way("sales", "day").loc["day", "F"]), 4)
    0.1468
    """
    measures, dimensions = list(measure_columns), list(dimension_columns)
    if not measures:
        return DFTwoWayAnovaResult()
    unique_measures, unique_dimensions = _unique(measures), _unique(dimensions)
    names = _Names(data_frame.columns)
    if profile is not None:
        _covers(profile, unique_measures, [])
        shifts = profile.shifts(unique_measures)
    else:
        _, shifts, _ = _look_first(data_frame, names, unique_measures, [])
    if progress is not None:
        progress("profile")
    marginals = _Marginals(
        _marginal_rows(data_frame, names, unique_measures, unique_dimensions, shifts),
        unique_dimensions, shifts,
    )
    if progress is not None:
        progress("tables-query")
    return _file(marginals, measures, dimensions, progress)
