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
     its rows and per measure the count of values, its shift c (the measure's shift), the mean
     of the values' deviations from c and their second central moment M2 = Σ(x − mean)²
     (``count · var_pop``, Spark's numerically stable aggregate). The merge sums a worst-case
     bound of this stage's rounding per group; where it passes ``STAGE1_PRECISION`` of a
     group's M2 (cells far from the shift), the query runs again with c a value of each cell
     of its own (a sort of the rows), so that no cell loses digits of its spread;
   * stage 2 rolls the cells up with ``GROUPING SETS`` into the overall row, one row per level
     of each dimension and one per cell of each pair (``grouping()`` tells a null level from a
     rolled-up column), in two passes over the cells: the first gives each group its count,
     the sum of its cells' M2 and its mean r as a plain weighted sum; the second joins every
     cell to its group and sums the cells' offsets oᶜ = (cᶜ − r) + (meanᶜ − cᶜ) and their
     squares. The sum of squares between the cells is Σ nᶜ(oᶜ − ō)² = Σ nᶜoᶜ² − n·ō², and as r
     lies within rounding of the group's mean, ō is tiny and no difference of large sums is
     formed. The driver checks that (``CENTRE_TOLERANCE``); should a group's mean be too
     far from r, the query runs again with r corrected by ō (a second pass of the cells).

   The overall row gives the row count and so the level bound; the one-dimension rows give
   each dimension's exact level count, and the selection is made from them.

   Stage 2 is SQL text built from the generated names alone by :func:`merge_query`; what
   depends on the SQL dialect (identifier quoting, function names) comes from a
   :class:`Dialect`, so that another engine can run the same query.

   Where the cells are few (at most ``COLLECTED_CELLS``, and no more in the first rows than a
   quarter of their number), Spark runs stage 1 alone and its cells come to the driver, where DuckDB runs
   the same merge text over them (``Tarnwick.bi.embedded.merge``): milliseconds, where Spark
   would plan, compile and run half a dozen stages for a few hundred rows; a recentring pass
   merges them again without a query. Otherwise both stages run in Spark, and only the
   rolled-up rows reach the driver. There, where nearly every row may be a cell of its own,
   the second pass repeats every cell once per grouping set and joins it to its group: most
   of the query. So the merge in Spark (and the embedded engine's over its own cells) first
   takes one pass only, every group centred on the measure's shift itself
   (:func:`shifted_merge_query`, :func:`one_pass_first`); its rows stand where subtracting
   n·ō² costs no group more than ``STAGE1_PRECISION`` of its sum of squares
   (``_centred_on_means``, the groups' means near the shift), and the two passes run
   otherwise.

No more rolled-up rows reach the driver than dimensions of at most a few times
``max_num_levels`` levels can give: should a dimension with few levels in the first rows have
many more further on, the plan notices from the count of rows, counts every dimension's levels
approximately in one more scan and asks again without the dimensions far over the bound.

The level and cell tables have the analyser's columns (``levels``/``level1``, ``level2``,
``counts``, ``means``, ``total``, ``var3``/``var5``) and one more, ``sumsq_dev``: each group's
sum of squared deviations from its own mean, from which the result records take the within
sum of squares without the imprecision of Σx² − Σ n·mean².

Integer and decimal measures are made doubles only after a value of the column (its smallest
in the profile or the first rows) has been subtracted from them in exact decimal arithmetic,
so that integers beyond 2 ** 53 or wide decimals keep the differences between their values.

Engines: the steps that read the data (the first rows, the profile's aggregation, the level
counts, stage 1 and the running of stage 2's text) are the methods of a scan object,
``SparkScan`` for a Spark data frame; a pandas frame, an embedded frame or a file path
gets the embedded engine's (``Tarnwick.bi.embedded.tables.EmbeddedScan``, DuckDB). Everything
else, the shifts, the selection, the merge's text and the filing of the tables, is the same
code for both, so that their results agree.

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
    "CENTRE_TOLERANCE", "COLLECTED_CELLS", "LEVELS_RSD", "SAMPLE_ROWS", "STAGE1_PRECISION",
    "Dialect", "LevelBoundWarning", "Profile", "Shift", "Tables", "double_precision_notes",
    "merge_query", "one_pass_first", "one_scan_tables", "one_scan_test_all",
    "one_scan_test_against", "profile", "shifted_merge_query",
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


#: The most of a group's sum of squares that n·ō², the part the merge subtracts, may be before
#: the group is recentred by another pass of the cells (see ``_Marginals.unsettled``).
#: Below it the subtraction costs no more digits than the sums themselves lose.
CENTRE_TOLERANCE = 1e-3
#: Recentring passes at most.
MAX_CORRECTIONS = 2
#: The largest relative error of a group's within sum of squares that stage 1 may leave when
#: every cell's values are taken as deviations from the measure's one shift (one aggregation,
#: no sort of the rows). Where the worst-case bound of that error is larger, for cells far from
#: the shift, the query runs again with each cell shifted by a value of its own (exact whatever
#: the shift, at the cost of a sort of the rows). See ``_Marginals.imprecise``.
STAGE1_PRECISION = 1e-8


class Dialect(object):
    """What the text of the merge query takes from its SQL engine: how an identifier is
    quoted and the names of the few functions it calls. The default is Spark SQL's."""

    #: Function names by their role in the query.
    functions: Mapping[str, str] = {"grouping": "grouping", "coalesce": "COALESCE",
                                    "nullif": "NULLIF", "max": "MAX", "min": "MIN",
                                    "sum": "SUM", "abs": "ABS", "sqrt": "SQRT"}

    def quote(self, name: str) -> str:
        """``name`` as an identifier that the engine reads as exactly that name."""
        return columns.quoted(name)

    def call(self, role: str, *arguments: str) -> str:
        return "%s(%s)" % (self.functions[role], ", ".join(arguments))

    def broadcast_hint(self, relation: str) -> str:
        """A hint, right after SELECT, that ``relation`` is small enough to send to every
        worker (a comment to engines without hints)."""
        return "/*+ BROADCAST(%s) */ " % relation

    def reading_all(self, rows: str, read: Sequence[str]) -> str:
        """A condition every cell meets (it has ``rows`` > 0) that names each column in
        ``read``, for a pass over the cells that needs fewer of them: Spark computes the cells
        where it reads them, and two reads of the same columns are one computation whose
        output both share; two reads of different columns aggregate the rows twice."""
        return " WHERE %s > 0 OR hash(%s) = 0" % (rows, ", ".join(read))


SPARK_SQL = Dialect()


class Shift(object):
    """How one measure's values become doubles for the tables' query.

    Parameters
    ----------
    mean : float or None
        The values' mean (in the profile or the first rows), or None without values.
    exact : tuple of int or None
        (precision, scale) of an integer or decimal measure (see ``columns.exact_type``); None
        for floating point.
    base : int or decimal.Decimal or None
        For an integer or decimal measure, a value of the column: the values less ``base``,
        subtracted exactly, are what the query reads as doubles.
    """

    def __init__(self, mean: Optional[float], exact: Optional[Tuple[int, int]] = None,
                 base: Any = None) -> None:
        self.mean = mean
        self.exact = exact
        self.base = base if exact is not None else None
        offset = 0.0 if self.base is None else float(self.base)
        # Only used where the rows are not grouped (no dimension): every cell has its own shift.
        self.value = 0.0 if mean is None else float(mean) - offset

    def expression(self, name: str) -> Any:
        """The measure as the query reads it: a double, NaN and the infinities as null."""
        if self.base is None:
            return columns.measure_value(name)
        return columns.exact_value(name, self.exact, self.base)

    def restore(self, deviation: float) -> float:
        """A mean read as a double back in the measure's own terms."""
        return deviation if self.base is None else float(self.base) + deviation


class Profile(object):
    """What one aggregation of the data tells the plan: the row count, per measure its finite
    values, its infinities, their mean and their smallest and largest value, and per dimension
    its exact number of levels (a null counting as one). Made by :func:`profile`; the command
    line checks its input with it and hands it to the plan, which then needs no step of its
    own before the tables' query.

    ``exact`` holds, for each integer or decimal measure, its (precision, scale) as
    ``columns.exact_type`` gives it; ``lows``/``highs`` of such measures are exact (int or
    Decimal). The tables' query leaves a double measure's ends out (None): only the integer
    and decimal ones are needed, for their shifts and the notes on double precision.

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
                 means: Mapping[str, Optional[float]], levels: Mapping[str, int],
                 lows: Optional[Mapping[str, Any]] = None,
                 highs: Optional[Mapping[str, Any]] = None,
                 exact: Optional[Mapping[str, Optional[Tuple[int, int]]]] = None) -> None:
        self.rows = rows
        self.values = dict(values)
        self.infinities = dict(infinities)
        self.means = dict(means)
        self.levels = dict(levels)
        self.lows = dict(lows or {})
        self.highs = dict(highs or {})
        self.exact = dict(exact or {})

    def shifts(self, measures: Sequence[str]) -> List[Shift]:
        return [Shift(self.means[m], self.exact.get(m), self.lows.get(m)) for m in measures]

    def beyond_doubles(self, measures: Sequence[str], shifted: bool) -> List[str]:
        """The integer and decimal measures whose values doubles do not hold to their last
        digit: taken as they are (``shifted`` False: some value is beyond 2 ** 53 units of
        its last digit), or after a value of the column has been subtracted exactly
        (``shifted`` True: the values span more than 2 ** 53 such units)."""
        beyond = []
        for m in measures:
            exact, low, high = self.exact.get(m), self.lows.get(m), self.highs.get(m)
            if exact is None or low is None or high is None:
                continue
            span = (high - low) if shifted else max(abs(low), abs(high))
            if span * 10 ** exact[1] > columns.DOUBLE_DIGITS:
                beyond.append(m)
        return beyond

    def __repr__(self) -> str:
        return "Profile(rows=%d, values=%r, infinities=%r, levels=%r)" % (
            self.rows, self.values, self.infinities, self.levels)


def double_precision_notes(known: Profile, measures: Sequence[str],
                           shown: Optional[Mapping[str, str]] = None) -> List[str]:
    """Notes on the integer and decimal measures whose values doubles do not hold.

    Taken as doubles as they are (the per-test plan), values beyond 2 ** 53 units of their last
    digit lose the differences between them; the one-scan plan subtracts a value of the column
    exactly first and loses them only when the values span more than that.

    Parameters
    ----------
    known : Profile
    measures : sequence of str
    shown : mapping, optional
        The name to print for a measure, where it differs from its name in the frame.

    Returns
    -------
    list of str

    Examples
    --------
    >>> known = Profile(3, {"x": 3}, {"x": 0}, {"x": 9.2e18}, {}, {"x": 2 ** 63 - 3},
    ...                 {"x": 2 ** 63 - 1}, {"x": (20, 0)})
    >>> len(double_precision_notes(known, ["x"]))
    1
    """
    shown = shown or {}
    label = ", ".join
    notes = []
    direct = known.beyond_doubles(measures, shifted=False)
    if direct:
        notes.append(
            "values beyond double precision (2**53 units of their last digit): %s; the "
            "per-test plan reads them as doubles and loses the differences between them, the "
            "one-scan plan subtracts a value of the column exactly first"
            % label(shown.get(m, m) for m in direct))
    spread = known.beyond_doubles(measures, shifted=True)
    if spread:
        notes.append(
            "values spread over more than 2**53 units of their last digit: %s; even shifted "
            "by a value of the column, the tables hold them to double precision only"
            % label(shown.get(m, m) for m in spread))
    return notes


def _exact_types(data_frame: Any,
                 measures: Sequence[str]) -> Dict[str, Optional[Tuple[int, int]]]:
    types = {field.name: field.dataType for field in data_frame.schema.fields}
    return {m: columns.exact_type(types[m]) if m in types else None for m in measures}


def _mean(values: Sequence[float]) -> Optional[float]:
    """The mean of finite doubles, exact to rounding; values near the largest double, whose
    exact sum is beyond it, are scaled down first rather than raising OverflowError."""
    if not values:
        return None
    try:
        return math.fsum(values) / len(values)
    except OverflowError:
        return math.fsum(v / len(values) for v in values)


def profile(data_frame: Any, measure_columns: Sequence[str],
            dimension_columns: Sequence[str]) -> Profile:
    """The :class:`Profile` of the given columns of ``data_frame``.

    The first ``SAMPLE_ROWS`` rows are read first (a small job); when they are all the rows,
    the profile is counted from them on the driver, otherwise by one aggregation of the data.

    Parameters
    ----------
    data_frame : pyspark.sql.DataFrame, pandas.DataFrame, EmbeddedFrame or str
        The data: a pandas frame, an embedded frame or a file path runs on the embedded engine.
    measure_columns, dimension_columns : sequence of str
        Numeric measures (counted as doubles; NaN and the infinities are not values; integer
        and decimal measures also get their exact smallest and largest value) and dimensions
        (their exact level counts, a null counting as one).

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
    scan = scan_of(data_frame)
    names = _Names(scan.columns)
    exact = scan.exact_types(measures)
    first = scan.head(names, measures, dimensions, exact, finite=False)
    if len(first) < SAMPLE_ROWS:
        return _counted(first, measures, dimensions, exact)
    return scan.aggregated(names, measures, dimensions, exact)


_NAN_LEVEL = object()


def level_key(value: Any) -> Hashable:
    """A collected level as a key that Python groups as Spark does: every NaN one key (two NaN
    objects are not equal in Python), a binary level as ``bytes`` (a bytearray has no hash)."""
    if isinstance(value, float) and math.isnan(value):
        return _NAN_LEVEL
    if isinstance(value, bytearray):
        return bytes(value)
    return value


def _level_count(rows: Sequence[Any], index: int) -> int:
    """Number of distinct values in column ``index`` of collected rows, as Spark groups them: a
    null is one level, and so is NaN."""
    return len({level_key(row[index]) for row in rows})


def _exact_ends(rows: Sequence[Any], measures: Sequence[str],
                exact: Mapping[str, Optional[Tuple[int, int]]],
                first: int) -> Tuple[Dict[str, Any], Dict[str, Any]]:
    """Smallest and largest exact value of each integer or decimal measure in collected rows,
    whose raw values follow from column ``first`` on in measure order."""
    lows, highs = {}, {}
    index = first
    for m in measures:
        if exact.get(m) is None:
            continue
        present = [row[index] for row in rows if row[index] is not None]
        lows[m] = min(present) if present else None
        highs[m] = max(present) if present else None
        index += 1
    return lows, highs


def _counted(rows: Sequence[Any], measures: Sequence[str], dimensions: Sequence[str],
             exact: Mapping[str, Optional[Tuple[int, int]]]) -> Profile:
    """The profile of every row of the data, counted on the driver."""
    values, infinities, means, levels, lows, highs = {}, {}, {}, {}, {}, {}
    for j, m in enumerate(measures):
        present = [row[j] for row in rows if row[j] is not None and not math.isnan(row[j])]
        finite = [x for x in present if not math.isinf(x)]
        values[m], infinities[m] = len(finite), len(present) - len(finite)
        means[m] = _mean(finite)
        lows[m] = min(finite) if finite else None
        highs[m] = max(finite) if finite else None
    k = len(measures)
    for i, d in enumerate(dimensions):
        levels[d] = _level_count(rows, k + i)
    exact_lows, exact_highs = _exact_ends(rows, measures, exact, k + len(dimensions))
    lows.update(exact_lows)
    highs.update(exact_highs)
    return Profile(len(rows), values, infinities, means, levels, lows, highs, exact)


def _aggregated(data_frame: Any, names: _Names, measures: Sequence[str],
                dimensions: Sequence[str],
                exact: Mapping[str, Optional[Tuple[int, int]]]) -> Profile:
    """The profile from one aggregation of the data."""
    from pyspark.sql import functions as F

    expressions = [F.count(F.lit(1)).alias(names.profile("rows", 0))]
    for j, m in enumerate(measures):
        value = columns.measure_value(m)
        # The ends of an integer or decimal measure in its own type, exactly.
        ends = value if exact[m] is None else columns.column(m)
        expressions += [
            F.count(value).alias(names.profile("values", j)),
            F.count(F.when(columns.is_infinite(m), F.lit(1))).alias(names.profile("inf", j)),
            F.avg(value).alias(names.profile("mean", j)),
            F.min(ends).alias(names.profile("low", j)),
            F.max(ends).alias(names.profile("high", j)),
        ]
    expressions += [columns.exact_levels(d).alias(names.profile("levels", i))
                    for i, d in enumerate(dimensions)]
    return _profile_of_row(data_frame.agg(*expressions).collect()[0], measures, dimensions,
                           exact)


def _profile_of_row(row: Sequence[Any], measures: Sequence[str], dimensions: Sequence[str],
                   exact: Mapping[str, Optional[Tuple[int, int]]]) -> Profile:
    """The :class:`Profile` from the profile's one aggregated row, whatever its engine: the
    row count, then per measure its values, infinities, mean, smallest and largest value, then
    per dimension its level count."""
    k, width = len(measures), 5
    return Profile(
        rows=int(row[0]),
        values={m: int(row[1 + width * j]) for j, m in enumerate(measures)},
        infinities={m: int(row[2 + width * j]) for j, m in enumerate(measures)},
        means={m: row[3 + width * j] for j, m in enumerate(measures)},
        levels={d: int(row[1 + width * k + i]) for i, d in enumerate(dimensions)},
        lows={m: row[4 + width * j] for j, m in enumerate(measures)},
        highs={m: row[5 + width * j] for j, m in enumerate(measures)},
        exact=dict(exact),
    )


def _cell_moments(value: Any, shift: Any, n: str, centre: str, mean: str, m2: str) -> List[Any]:
    """Stage-1 aggregates of one measure per cell: the count of values, the cell's shift (one
    of its values, the same on every row of the cell; or a float, the measure's one shift,
    which needs no aggregate), the mean of the values' deviations from it and their second
    central moment.

    Spark's mean is a plain sum divided by the count and its ``var_pop`` keeps its running mean
    in a double: both lose digits of values far from zero, which the deviations from a value of
    their own cell are not. The second moment is ``count · var_pop``, accumulated by stable
    updates.
    """
    from pyspark.sql import functions as F

    count = F.count(value)
    deviation = value - shift
    return [
        count.alias(n),
        (F.lit(shift) if isinstance(shift, float) else F.max(shift)).alias(centre),
        F.avg(deviation).alias(mean),
        F.coalesce(F.var_pop(deviation) * count, F.lit(0.0)).alias(m2),
    ]


def _first_rows(frame: Any, names: _Names, measures: Sequence[str],
                dimensions: Sequence[str]) -> Tuple[int, List[Shift], List[int]]:
    """The first ``SAMPLE_ROWS`` rows (Spark reads no more of the data than it needs for them):
    how many there are, each measure's shift from there (its mean, None without values, and
    for an integer or decimal measure its smallest value there) and each dimension's levels
    there, a null counting as one."""
    exact = _exact_types(frame, measures)
    return _first_look(_head(frame, names, measures, dimensions, exact, finite=True), measures,
                       dimensions, exact)


def _head(frame: Any, names: _Names, measures: Sequence[str], dimensions: Sequence[str],
          exact: Mapping[str, Optional[Tuple[int, int]]], finite: bool) -> List[Any]:
    """The first ``SAMPLE_ROWS`` rows: each measure as a double (NaN and the infinities as
    null when ``finite``), each dimension, then each integer or decimal measure as it is."""
    value = columns.measure_value if finite else (lambda m: columns.column(m).cast("double"))
    chosen = [value(m).alias(names.moment("x", j)) for j, m in enumerate(measures)]
    chosen += [columns.column(d).alias(names.key(i)) for i, d in enumerate(dimensions)]
    chosen += [columns.column(m).alias(names.moment("raw", j))
               for j, m in enumerate(measures) if exact[m] is not None]
    return frame.select(*chosen).limit(SAMPLE_ROWS).collect()


def _first_look(rows: Sequence[Any], measures: Sequence[str], dimensions: Sequence[str],
                exact: Mapping[str, Optional[Tuple[int, int]]]
                ) -> Tuple[int, List[Shift], List[int]]:
    """What the first rows (as :func:`_head` gives them, finite) tell: their number, each
    measure's shift and each dimension's levels there."""
    k = len(measures)
    lows, _ = _exact_ends(rows, measures, exact, k + len(dimensions))
    shifts = [Shift(_mean([row[j] for row in rows if row[j] is not None]), exact[m],
                    lows.get(m)) for j, m in enumerate(measures)]
    levels = [_level_count(rows, k + i) for i in range(len(dimensions))]
    return len(rows), shifts, levels


def _look_first(scan: Any, names: _Names, measures: Sequence[str],
                dimensions: Sequence[str]) -> Tuple[int, List[Shift], List[int]]:
    """The first rows' count and level counts, and each measure's shift: its mean in the first
    rows, or over every row when the first rows hold none of its values."""
    exact = scan.exact_types(measures)
    seen, shifts, levels = _first_look(scan.head(names, measures, dimensions, exact, finite=True),
                                       measures, dimensions, exact)
    if seen >= SAMPLE_ROWS and any(shift.mean is None for shift in shifts):
        shifts = scan.aggregated(names, measures, [], exact).shifts(measures)
    return seen, shifts, levels


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


#: What each stage-2 row holds per measure, in this order after the keys, flags and rows.
MERGED = ("n", "r", "m2", "so", "soo", "eb")
#: What the tables' query also carries per measure from the cells to every group, after
#: ``MERGED``, with the aggregate that rolls it up: the count of infinite values, and the
#: smallest and largest value of an integer or decimal measure (null for a double). The
#: overall row's are what the command line's checks need, so that they take no scan of their
#: own.
CARRIED = (("inf", "sum"), ("lo", "min"), ("hi", "max"))


def _grouping_sets(k: int) -> List[Tuple[int, ...]]:
    """The grouping sets of the tables: the overall set, each dimension, each pair."""
    return [()] + [(i,) for i in range(k)] + [(i, j) for i in range(k) for j in range(i + 1, k)]


def _centre(n: str, c: str, w: str, call: Callable[..., str]) -> str:
    """A group's first centre, aggregated over its cells: their means (c + w) weighted by their
    counts, a plain sum that is within rounding of the group's mean."""
    weighted = call("sum", "%s * (%s + %s)" % (n, c, w))
    return "%s / %s" % (weighted, call("nullif", call("sum", n), "0"))


def _error_scale(n: str, w: str, m2: str, call: Callable[..., str]) -> str:
    """A group's stage-1 error scale, aggregated over its cells: Σ nᶜ(2·M2ᶜ + |wᶜ|·√(nᶜM2ᶜ)).

    Spark's and DuckDB's ``var_pop`` update a running mean, and the mean of a cell is a plain
    sum; the rounding of both grows at worst with the count and with how far the cell's values
    lie from their shift (|w|/σ). ε times this sum bounds the error of the group's ΣM2ᶜ (twice
    the unit roundoff, for the bound's constant); see ``_Marginals.imprecise``.
    """
    spread = "%s * %s" % (call("abs", call("coalesce", w, "0.0")),
                          call("sqrt", "%s * %s" % (n, m2)))
    return call("sum", "%s * (2.0 * %s + %s)" % (n, m2, spread))


def _sets_clause(keys: Sequence[str], quote: Callable[[str], str]) -> str:
    """``GROUPING SETS`` of the tables over the key columns ``keys``."""
    sets = _grouping_sets(len(keys))
    return "GROUPING SETS (%s)" % ", ".join(
        "(%s)" % ", ".join(quote(keys[i]) for i in members) for members in sets)


def _group_sums(cell: Callable[[str], str], alias: Callable[[str], str], centre: str,
                offset: str, carried: Sequence[Tuple[str, str]],
                call: Callable[..., str]) -> List[str]:
    """What a group adds up of its cells for one measure, in the order of ``MERGED`` and then
    ``carried``: ``cell(what)`` is a cell's column, ``alias(what)`` the output's name,
    ``centre`` the group's centre r and ``offset`` a cell's offset oᶜ from it."""
    n = cell("n")
    return (["%s AS %s" % (call("sum", n), alias("n")),
             "%s AS %s" % (centre, alias("r")),
             "%s AS %s" % (call("sum", cell("m2")), alias("m2")),
             "%s AS %s" % (call("sum", "%s * %s" % (n, offset)), alias("so")),
             "%s AS %s" % (call("sum", "%s * %s * %s" % (n, offset, offset)), alias("soo")),
             "%s AS %s" % (_error_scale(n, cell("w"), cell("m2"), call), alias("eb"))]
            + ["%s AS %s" % (call(role, cell(what)), alias(what)) for what, role in carried])


def shifted_merge_query(keys: Sequence[str], flags: Sequence[str], rows: str, measures: int,
                        name: Callable[[str, int], str], cells: str = "{cells}",
                        dialect: Dialect = SPARK_SQL,
                        carried: Sequence[Tuple[str, str]] = ()) -> str:
    """Stage 2 in one pass of the cells, for cells that all have the measure's one shift c:
    every group is centred on c itself, so that a cell's offset is its mean deviation wᶜ and
    no group needs its own centre first (no second pass, no join). The rows are those of
    :func:`merge_query`, with two more columns per measure after all the others: the smallest
    and the largest wᶜ of the group's cells (``name("wlo", j)``, ``name("whi", j)``).

    The merge then subtracts n·ō², with ō the group's mean deviation from the shift, which
    costs digits where ō is large beside the group's spread: ``_centred_on_means`` tells
    from the rows whether it did, and gives them the centred query's form where it did not.

    Examples
    --------
    >>> text = shifted_merge_query(["k0"], ["g0"], "rows", 1, lambda what, j: "%s%d" % (what, j))
    >>> "JOIN" in text, "GROUPING SETS" in text
    (False, True)
    """
    q, call = dialect.quote, dialect.call
    select = [q(key) for key in keys]
    select += ["%s AS %s" % (call("grouping", q(key)), q(flag)) for key, flag in zip(keys, flags)]
    select.append("%s AS %s" % (call("sum", q(rows)), q(rows)))
    for j in range(measures):
        select += _group_sums(lambda what: q(name(what, j)), lambda what: q(name(what, j)),
                              call("max", q(name("c", j))), q(name("w", j)), carried, call)
    for j in range(measures):
        select += ["%s AS %s" % (call(role, q(name("w", j))), q(name(what, j)))
                   for what, role in (("wlo", "min"), ("whi", "max"))]
    return "SELECT %s FROM %s GROUP BY %s" % (", ".join(select), cells, _sets_clause(keys, q))


def merge_query(keys: Sequence[str], flags: Sequence[str], rows: str, measures: int,
                name: Callable[[str, int], str], cells: str = "{cells}", corrections: int = 0,
                dialect: Dialect = SPARK_SQL, carried: Sequence[Tuple[str, str]] = (),
                one_pass: bool = False) -> str:
    """Stage 2 as SQL text: the stage-1 cells (relation ``cells``, one row per cell with the
    key columns ``keys``, the row count ``rows`` and per measure j the columns ``name("n", j)``,
    ``name("c", j)``, ``name("w", j)``, ``name("m2", j)``: count, shift, mean deviation from
    the shift and M2) rolled up into every grouping set.

    The first pass, ``GROUPING SETS`` over the cells, gives every group its centre r (the
    cells' weighted mean as a plain sum) and nothing else. The second repeats every cell once
    per grouping set, its keys outside the set made null and the set's flags (0 for a member,
    1 for a rolled-up key, as ``grouping()`` gives them) beside them, joins it to its group
    (the groups are few: they are broadcast) and sums the cells' offsets from the group's
    centre, oᶜ = (cᶜ − r) + wᶜ, with everything else a group adds up. One row per group: the
    keys, the flags ``flags``, the rows, and per measure j the columns named ``name(what, j)``
    for ``what`` in ``MERGED``: n, r, ΣM2ᶜ, Σ nᶜoᶜ and Σ nᶜoᶜ². The between-cell sum of
    squares is then Σ nᶜoᶜ² − (Σ nᶜoᶜ)²/n, where Σ nᶜoᶜ is within rounding of zero.

    The first pass groups only the cells' counts and means, so that where the cells are many
    (nearly a cell per row) its grouping sets carry a few columns, not all of them; its
    condition (``Dialect.reading_all``) names every column the second pass reads, so that both
    read the same cells and Spark aggregates the rows once.

    Each of ``corrections`` further passes recentres every group on r + ō of the pass before
    (ō = Σ nᶜoᶜ / n; see ``_Marginals.unsettled``) and sums the offsets again.

    ``carried`` lists further per-measure cell columns ``(what, role)`` (see ``CARRIED``),
    rolled up by the function of that role and given, after the merged ones, in every row.

    With ``one_pass``, the text of :func:`shifted_merge_query` instead.

    Examples
    --------
    >>> text = merge_query(["k0"], ["g0"], "rows", 1, lambda what, j: "%s%d" % (what, j))
    >>> text.startswith("WITH")
    True
    """
    if one_pass:
        return shifted_merge_query(keys, flags, rows, measures, name, cells, dialect, carried)
    q, call = dialect.quote, dialect.call
    k = len(keys)
    sets = _grouping_sets(k)
    held = [q(key) for key in keys] + [q(flag) for flag in flags]

    def n(j: int) -> str:
        return q(name("n", j))

    def each(what: str, j: int) -> str:
        return q(name(what, j))

    # What the second pass reads of each cell.
    read = [q(rows)] + [each(what, j) for j in range(measures)
                        for what in ["n", "c", "w", "m2"] + [what for what, _ in carried]]

    # First pass: the groups' centres.
    select = [q(key) for key in keys]
    select += ["%s AS %s" % (call("grouping", q(key)), q(flag)) for key, flag in zip(keys, flags)]
    select += ["%s AS %s" % (_centre(n(j), each("c", j), each("w", j), call), each("r", j))
               for j in range(measures)]
    grouped = "SELECT %s FROM %s%s GROUP BY %s" % (
        ", ".join(select), cells, dialect.reading_all(q(rows), read), _sets_clause(keys, q))

    # Every cell once per grouping set, with the set's flags and its keys outside it null.
    table = ", ".join("(%s)" % ", ".join("0" if i in members else "1" for i in range(k))
                      for members in sets)
    expanded = "SELECT %s FROM %s AS c CROSS JOIN (VALUES %s) AS s(%s)" % (
        ", ".join(["CASE WHEN s.%s = 0 THEN c.%s END AS %s" % (q(flag), q(key), q(key))
                   for flag, key in zip(flags, keys)]
                  + ["s.%s" % q(flag) for flag in flags] + ["c.%s" % column for column in read]),
        cells, table, ", ".join(q(flag) for flag in flags))

    def offsets(groups: str) -> str:
        """The cells joined to their groups: the sums of their offsets from the centres, and
        the group's rows, counts, M2 sums, error scales and carried columns."""
        chosen = ["g.%s" % column for column in held]
        chosen.append("%s AS %s" % (call("sum", "e.%s" % q(rows)), q(rows)))
        for j in range(measures):
            offset = "((e.%s - g.%s) + e.%s)" % (each("c", j), each("r", j), each("w", j))
            chosen += _group_sums(lambda what: "e.%s" % each(what, j),
                                  lambda what: each(what, j),
                                  call("max", "g.%s" % each("r", j)), offset, carried, call)
        on = ["e.%s = g.%s" % (q(flag), q(flag)) for flag in flags]
        on += ["e.%s IS NOT DISTINCT FROM g.%s" % (q(key), q(key)) for key in keys]
        return "SELECT %s%s FROM tw_expanded AS e JOIN %s AS g ON %s GROUP BY %s" % (
            dialect.broadcast_hint("g"), ", ".join(chosen), groups, " AND ".join(on),
            ", ".join("g.%s" % column for column in held))

    def recentred(merged: str) -> str:
        """The groups' centres moved by the mean offset of the pass before."""
        chosen = ["m.%s" % column for column in held]
        chosen += ["m.%s + %s / %s AS %s" % (
            each("r", j), call("coalesce", "m.%s" % each("so", j), "0"),
            call("nullif", "m.%s" % n(j), "0"), each("r", j)) for j in range(measures)]
        return "SELECT %s FROM %s AS m" % (", ".join(chosen), merged)

    ctes = [("tw_expanded", expanded), ("tw_groups0", grouped),
            ("tw_merged0", offsets("tw_groups0"))]
    for i in range(1, corrections + 1):
        ctes.append(("tw_groups%d" % i, recentred("tw_merged%d" % (i - 1))))
        ctes.append(("tw_merged%d" % i, offsets("tw_groups%d" % i)))
    return "WITH %s SELECT * FROM %s" % (
        ", ".join("%s AS (%s)" % (label, body) for label, body in ctes), ctes[-1][0])


def _cells(frame: Any, names: _Names, measures: Sequence[str], dimensions: Sequence[str],
           shifts: Sequence[Shift], exact: bool = False) -> Any:
    """Stage 1: per cell of the full cross of ``dimensions``, the rows and per measure its
    count, shift, mean deviation and M2 (see :func:`_cell_moments`). The cells' shift is the
    measure's own, or with ``exact`` each cell's smallest value (a sort of the rows)."""
    from pyspark.sql import Window
    from pyspark.sql import functions as F

    keys = [names.key(i) for i in range(len(dimensions))]
    values = [names.moment("x", j) for j in range(len(measures))]
    infinite = [names.moment("i", j) for j in range(len(measures))]
    # The column whose ends the checks need: an integer or decimal measure as it is, exactly.
    # A double measure's ends nothing needs: null, and not an aggregate of every row.
    ends = [names.moment("e", j) if shift.exact is not None else None
            for j, shift in enumerate(shifts)]
    # Each value once per row as a double (NaN and infinities as null); beside it whether the
    # row's value is infinite.
    chosen = [columns.column(d).alias(k) for d, k in zip(dimensions, keys)]
    chosen += [shift.expression(m).alias(x) for m, shift, x in zip(measures, shifts, values)]
    chosen += [F.when(columns.is_infinite(m), F.lit(1)).alias(i)
               for m, i in zip(measures, infinite)]
    chosen += [columns.column(m).alias(e) for m, shift, e in zip(measures, shifts, ends)
               if shift.exact is not None]
    rows = frame.select(*chosen)
    if keys and exact:
        # The smallest value of each cell is its shift: a deterministic value of the cell.
        cell = Window.partitionBy(*[columns.column(k) for k in keys])
        rows = rows.select("*", *[F.min(columns.column(x)).over(cell).alias(names.moment("a", j))
                                  for j, x in enumerate(values)])
        anchors = [columns.column(names.moment("a", j)) for j in range(len(measures))]
    else:
        anchors = [float(shift.value) for shift in shifts]  # constants of the query
    moments = [F.count(F.lit(1)).alias(names.rows())]
    for j, x in enumerate(values):
        moments += _cell_moments(columns.column(x), anchors[j], names.moment("n", j),
                                 names.moment("c", j), names.moment("w", j),
                                 names.moment("m2", j))
        low, high = ((F.lit(None).cast("double"),) * 2 if ends[j] is None else
                     (F.min(columns.column(ends[j])), F.max(columns.column(ends[j]))))
        moments += [F.count(columns.column(infinite[j])).alias(names.moment("inf", j)),
                    low.alias(names.moment("lo", j)), high.alias(names.moment("hi", j))]
    if keys:
        return rows.groupBy(*[columns.column(k) for k in keys]).agg(*moments)
    return rows.agg(*moments)


def _marginal_rows(frame: Any, names: _Names, measures: Sequence[str],
                   dimensions: Sequence[str], shifts: Sequence[Shift],
                   most: Optional[int] = None, corrections: int = 0,
                   exact: bool = False, one_pass: bool = False) -> Optional[List[Any]]:
    """Stages 1 and 2 in one query; the collected rows of every grouping set (see
    :func:`merge_query`, or with ``one_pass`` :func:`shifted_merge_query`), or None when there
    are more than ``most`` of them."""
    from pyspark.sql import functions as F

    cells = _cells(frame, names, measures, dimensions, shifts, exact)
    keys = [names.key(i) for i in range(len(dimensions))]
    if not keys:  # one cell: the overall set, nothing to merge
        chosen = [columns.column(names.rows())]
        for j in range(len(measures)):
            n, c, w = (columns.column(names.moment(what, j)) for what in ("n", "c", "w"))
            chosen += [n.alias(names.moment("n", j)), (c + w).alias(names.moment("r", j)),
                       columns.column(names.moment("m2", j)).alias(names.moment("m2", j)),
                       F.lit(0.0).alias(names.moment("so", j)),
                       F.lit(0.0).alias(names.moment("soo", j)),
                       # One cell with the one shift there is: nothing more exact to fall to.
                       F.lit(0.0).alias(names.moment("eb", j))]
            chosen += [columns.column(names.moment(what, j)) for what, _ in CARRIED]
        return cells.select(*chosen).collect()
    text = merge_query(keys, [names.flag(i) for i in range(len(keys))], names.rows(),
                       len(measures), names.moment, corrections=corrections, carried=CARRIED,
                       one_pass=one_pass)
    rolled = frame.sparkSession.sql(text, cells=cells)
    if most is None:
        return rolled.collect()
    rows = rolled.limit(most + 1).collect()
    return None if len(rows) > most else rows


#: The most stage-1 cells that come to this process, where DuckDB merges them in
#: milliseconds (``Tarnwick.bi.embedded.merge``); with more, stage 2 runs in Spark. A query
#: that finds more has computed the cells in vain (stage 1 then runs again, with stage 2):
#: where the first rows already hold more cells than a quarter of their number, the plan does
#: not try.
COLLECTED_CELLS = 20000


def stage1_key(measures: Sequence[str], dimensions: Sequence[str], shifts: Sequence[Shift],
               exact: bool) -> Tuple[Any, ...]:
    """What stage 1's cells depend on: equal keys, the same cells."""
    return (tuple(measures), tuple(dimensions), tuple((s.mean, s.base) for s in shifts), exact)


def _cells_seen(rows: Sequence[Any], start: int, dimensions: int) -> int:
    """Number of distinct cells (combinations of the dimensions, which follow ``start``
    columns) among ``rows``; every row its own where a level cannot be hashed."""
    try:
        return len({tuple(map(level_key, row[start:start + dimensions])) for row in rows})
    except TypeError:
        return len(rows)


def many_cells(rows: Sequence[Any], start: int, dimensions: int) -> bool:
    """Whether the first rows (as many as :data:`SAMPLE_ROWS`; the dimensions follow ``start``
    columns) hold more cells than a quarter of their number, so that the data likely has too
    many to collect: then stage 2 runs in Spark, where the cells are."""
    return len(rows) >= SAMPLE_ROWS and 4 * _cells_seen(rows, start, dimensions) > len(rows)


def _collected_cells(frame: Any, names: _Names, measures: Sequence[str],
                     dimensions: Sequence[str], shifts: Sequence[Shift], exact: bool) -> Any:
    """Stage 1's cells, collected into a DuckDB table of this process (a ``CollectedCells``),
    or None where stage 2 stays in Spark: more than :data:`COLLECTED_CELLS` cells, none at
    all, or a level or number that the table cannot hold as Spark gave it."""
    from Tarnwick.bi.embedded.merge import CollectedCells

    cells = _cells(frame, names, measures, dimensions, shifts, exact)
    rows = cells.limit(COLLECTED_CELLS + 1).collect()
    if not rows or len(rows) > COLLECTED_CELLS:
        return None
    try:
        return CollectedCells(rows, [(f.name, f.dataType) for f in cells.schema.fields],
                              len(dimensions))
    except TypeError:
        return None


def _centred_on_means(rows: Sequence[Any], dimensions: int,
                      measures: int) -> Optional[List[List[Any]]]:
    """The rows of :func:`shifted_merge_query` as :func:`merge_query` gives them: each group's
    centre moved to its mean (r + ō as a double, ō = Σ nᶜoᶜ / n), its Σ nᶜoᶜ to n times what
    that rounding left of ō (δ), and its Σ nᶜoᶜ² to the sum of squares between its cells,
    Σ nᶜoᶜ² − n·ō² (exactly zero where its cells have one mean), plus n·δ². None where that
    subtraction may cost more than :data:`STAGE1_PRECISION` of some group's sum of squares,
    or where a sum is not finite: then the groups need centres of their own (the centred
    query).

    The bound: each sum of m cells' terms is off by at most m·ε of the sum of their absolute
    values, so that the subtraction of n·ō² adds at most 3(m + 1)·ε·n·ō² to the error the
    centred merge has as well; m is at most the group's rows.
    """
    k = dimensions
    width = (len(rows[0]) - 2 * k - 1) // measures - 2 if rows and measures else 0
    ends = 2 * k + 1 + width * measures  # where each measure's smallest and largest wᶜ are
    centred = []
    for row in rows:
        row = list(row)
        for j in range(measures):
            base = 2 * k + 1 + width * j
            n = int(row[base] or 0)
            if n == 0:
                continue
            r, m2, so, soo, scale = (anova.as_float(row[base + i]) for i in range(1, 6))
            if not all(map(math.isfinite, (r, m2, so, soo, scale))):
                return None
            lowest, highest = row[ends + 2 * j], row[ends + 2 * j + 1]
            if lowest == highest:  # one mean: no spread between the cells, nothing subtracted
                offset, spread = anova.as_float(lowest), 0.0
            else:
                offset = so / n
                spread = max(soo - so * offset, 0.0)
                terms = int(row[2 * k] or 0)  # the group's rows: at least its cells
                if 3.0 * (terms + 1) * anova.EPS * n * offset * offset > STAGE1_PRECISION * (
                        m2 + spread):
                    return None
            # The centre as a double, and what its rounding left of ō: the offset a centred
            # merge leaves too, which keeps the mean's digits below the centre's last one.
            centre = r + offset
            rest = offset - (centre - r)
            row[base + 1:base + 5] = [centre, m2, n * rest, spread + n * rest * rest]
        centred.append(row[:ends])
    return centred


def one_pass_first(merge: Callable[[bool], Optional[List[Any]]], dimensions: int,
                   measures: int, corrections: int, exact: bool) -> Optional[List[Any]]:
    """The merge's rows: ``merge(True)`` runs the one-pass merge (:func:`shifted_merge_query`),
    ``merge(False)`` the centred one (:func:`merge_query`, with ``corrections`` recentring
    passes); either gives None beyond its row bound. Where every cell has its measure's one
    shift (no recentring pass asked for, and not ``exact``: no shift of a cell's own), the
    one pass comes first and its rows stand where the groups' means lie near the shift
    (``_centred_on_means``)."""
    if dimensions and corrections == 0 and not exact:
        rows = merge(True)
        if rows is None:
            return None
        centred = _centred_on_means(rows, dimensions, measures)
        if centred is not None:
            return centred
    return merge(False)


class SparkScan(object):
    """The plan's steps that read the data, on Spark: every DataFrame API call of the plan is
    here or in the functions it calls. Another engine gives an object with the same methods
    (see ``Tarnwick.bi.embedded.tables``); the rest of the plan (the merge's text, the
    selection, the filing of the tables) does not depend on the engine."""

    def __init__(self, frame: Any) -> None:
        self.frame = frame
        self.columns = list(frame.columns)
        #: Whether the first rows hold many cells (:func:`many_cells`).
        self.many_cells = False
        # Stage 1's cells brought here, and what they were made for: a rerun of stage 2 (a
        # group recentred) merges them again without a query.
        self._collected: Any = None
        self._collected_of: Any = None

    def helper(self) -> Any:
        """What gives the default measures and dimensions (the numeric and string columns)."""
        return DataFrameHelper(self.frame)

    def exact_types(self, measures: Sequence[str]) -> Dict[str, Optional[Tuple[int, int]]]:
        return _exact_types(self.frame, measures)

    def head(self, names: _Names, measures: Sequence[str], dimensions: Sequence[str],
             exact: Mapping[str, Optional[Tuple[int, int]]], finite: bool) -> List[Any]:
        rows = _head(self.frame, names, measures, dimensions, exact, finite)
        if dimensions:
            self.many_cells = many_cells(rows, len(measures), len(dimensions))
        return rows

    def aggregated(self, names: _Names, measures: Sequence[str], dimensions: Sequence[str],
                   exact: Mapping[str, Optional[Tuple[int, int]]]) -> Profile:
        return _aggregated(self.frame, names, measures, dimensions, exact)

    def approximate_levels(self, names: _Names,
                           dimensions: Sequence[str]) -> Tuple[int, List[int]]:
        count, _, levels = _approximate_profile(self.frame, names, [], dimensions)
        return count, levels

    def marginal_rows(self, names: _Names, measures: Sequence[str], dimensions: Sequence[str],
                      shifts: Sequence[Shift], most: Optional[int], corrections: int,
                      exact: bool = False) -> Optional[List[Any]]:
        if dimensions and not self.many_cells:
            made_for = stage1_key(measures, dimensions, shifts, exact)
            if self._collected_of != made_for:
                self._collected = _collected_cells(self.frame, names, measures, dimensions,
                                                   shifts, exact)
                self._collected_of = made_for
            if self._collected is not None:
                return self._collected.merged(names, len(measures), corrections, most)
        return one_pass_first(
            lambda one_pass: _marginal_rows(self.frame, names, measures, dimensions, shifts, most,
                                            corrections, exact, one_pass),
            len(dimensions), len(measures), corrections, exact)


def scan_of(data_frame: Any) -> Any:
    """The engine's side of the plan for ``data_frame``: a Spark data frame runs on Spark; a
    pandas frame, an embedded frame or a file path on the embedded engine."""
    from Tarnwick.bi.embedded import tables

    if tables.is_embedded(data_frame):
        return tables.EmbeddedScan.of(data_frame)
    return SparkScan(data_frame)


class _Marginals(object):
    """The collected rows of stage 2, sorted by grouping set, turned into the analyser's
    measure rows and tables."""

    def __init__(self, rows: Sequence[Any], dimensions: Sequence[str],
                 shifts: Sequence[Shift]) -> None:
        self.k = len(dimensions)
        self.position = {d: i for i, d in enumerate(dimensions)}
        self.shifts = list(shifts)
        self.sets: Dict[Tuple[int, ...], List[Any]] = {}
        # Per measure the merged columns, and the carried ones where the query has them.
        self.width = ((len(rows[0]) - 2 * self.k - 1) // len(self.shifts)
                      if rows and self.shifts else len(MERGED))
        for row in rows:
            members = tuple(i for i in range(self.k) if row[self.k + i] == 0)
            self.sets.setdefault(members, []).append(row)
        overall = self.sets.get(())
        # Every table's means as deviations from the overall mean, so that the between-group
        # terms keep the digits by which means of large values differ.
        self.centres = [anova.as_float(overall[0][self._base(j) + 1]) if overall else 0.0
                        for j in range(len(shifts))]

    def _base(self, j: int) -> int:
        return 2 * self.k + 1 + self.width * j

    def carried(self, j: int) -> Dict[str, Any]:
        """The overall row's ``CARRIED`` columns of measure j (none without rows)."""
        overall = self.sets.get(())
        start = self._base(j) + len(MERGED)
        return {what: overall[0][start + i] if overall else None
                for i, (what, _) in enumerate(CARRIED)}

    def rows(self) -> int:
        """Number of rows of the data."""
        overall = self.sets.get(())
        return int(overall[0][2 * self.k] or 0) if overall else 0

    def levels(self, dimension: str) -> int:
        """Exact number of levels of a dimension, a null counting as one."""
        return len(self.sets.get((self.position[dimension],), []))

    def _parts(self, row: Any, j: int) -> Tuple[int, float, float, float, float]:
        base = self._base(j)
        n = int(row[base] or 0)
        r, m2, so, soo = (anova.as_float(row[base + i]) for i in range(1, 5))
        so = 0.0 if math.isnan(so) and n == 0 else so
        return n, r, m2, so, soo

    def _moments(self, row: Any, j: int) -> Tuple[int, Optional[float], float]:
        """Count, mean's deviation from the overall mean (None without values) and M2 of
        measure j in a group: its cells' M2 and the sum of squares between them about the
        group's own mean."""
        n, r, m2, so, soo = self._parts(row, j)
        if n == 0:
            return 0, None, float("nan")
        with np.errstate(all="ignore"):
            offset = so / n
            spread = max(soo - so * offset, 0.0)  # Σ nᶜ(meanᶜ − mean)², never negative
            return n, (r - self.centres[j]) + offset, m2 + spread

    def imprecise(self) -> bool:
        """Whether some group's within sum of squares may be off by more than
        :data:`STAGE1_PRECISION` of itself: its cells lie so far from their shift, for their
        counts, that the worst-case rounding of stage 1 could cost that many digits."""
        for rows in self.sets.values():
            for row in rows:
                for j in range(len(self.shifts)):
                    base = self._base(j)
                    if not int(row[base] or 0):
                        continue
                    m2 = anova.as_float(row[base + 2])
                    bound = 2.0 * anova.EPS * anova.as_float(row[base + MERGED.index("eb")])
                    if math.isfinite(m2) and not bound <= STAGE1_PRECISION * m2:
                        return True
        return False

    def unsettled(self) -> bool:
        """Whether some group's centre is so far from its mean that n·ō² is more than
        :data:`CENTRE_TOLERANCE` of its sum of squares (and more than the rounding of the
        centre): subtracting it would cost digits, so the merge should recentre."""
        for rows in self.sets.values():
            for row in rows:
                for j in range(len(self.shifts)):
                    n, r, m2, so, soo = self._parts(row, j)
                    if n == 0 or not all(map(math.isfinite, (r, m2, so, soo))):
                        continue
                    offset = so / n
                    total = m2 + max(soo - so * offset, 0.0)
                    if (abs(offset) > 8 * anova.EPS * abs(r)
                            and n * offset * offset > CENTRE_TOLERANCE * total):
                        return True
        return False

    def measure_row(self, j: int) -> Tuple[int, Optional[float], Optional[float]]:
        """(count, mean, Σx²) of measure j, as the analyser's one-row aggregation gives them."""
        overall = self.sets.get(())
        if not overall:
            return 0, None, None
        n, deviation, m2 = self._moments(overall[0], j)
        if deviation is None:
            return 0, None, None
        mean = self.shifts[j].restore(self.centres[j] + deviation)
        with np.errstate(all="ignore"):
            return n, mean, m2 + n * mean * mean

    def table(self, j: int, dimensions: Sequence[str]) -> pd.DataFrame:
        """The level table (one dimension) or cell table (two) of measure j, analyser's layout
        plus ``sumsq_dev``."""
        places = [self.position[d] for d in dimensions]
        rows = self.sets.get(tuple(sorted(set(places))), [])
        records, sumsq, deviations = [], [], []
        for row in rows:
            n, deviation, m2 = self._moments(row, j)
            mean = None if deviation is None else self.shifts[j].restore(
                self.centres[j] + deviation)
            records.append(tuple(row[p] for p in places) + (n, mean))
            sumsq.append(m2)
            deviations.append(float("nan") if deviation is None else deviation)
        if len(places) == 1:
            key_columns, nsq = ["levels"], "var3"
        else:
            key_columns, nsq = ["level1", "level2"], "var5"
        table = pd.DataFrame(records, columns=key_columns + ["counts", "means"])
        with np.errstate(all="ignore"):
            table["total"] = table.means * table.counts
            table[nsq] = table.counts * table.means * table.means
        table[anova.SUMSQ_DEV] = pd.Series(sumsq, index=table.index, dtype=float)
        # The means rounded to doubles lose digits of their differences when the values are
        # large; the deviations from the overall mean keep them for the between-group terms.
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


def _defaults(scan: Any, measure_columns: Optional[Sequence[str]],
              dimension_columns: Optional[Sequence[str]],
              helper: Any) -> Tuple[List[str], List[str]]:
    if measure_columns is None or dimension_columns is None:
        helper = helper if helper is not None else scan.helper()
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

    def __init__(self, shifts: List[Shift], candidates: List[str],
                 levels: Optional[Dict[str, int]] = None, rows: Optional[int] = None,
                 bounded: bool = False) -> None:
        self.shifts = shifts
        self.candidates = candidates
        self.levels = levels
        self.rows = rows
        self.bounded = bounded
        #: Levels in the first rows of the dimensions they put over ``max_num_levels``, and
        #: the approximate counts of those the query's row bound made the plan count.
        self.first: Dict[str, int] = {}
        self.approximate: Dict[str, int] = {}


def _before_tables(scan: Any, names: _Names, measures: List[str], dimensions: List[str],
                   max_num_levels: int, named: bool, helper: Any,
                   known: Optional[Profile]) -> _Plan:
    """The shifts and the candidate dimensions, from the profile or the helper when given,
    otherwise from the first rows of the data."""
    if known is not None:
        _covers(known, measures, dimensions)
        return _Plan(known.shifts(measures), _within(dimensions, known.levels, known.rows,
                                                     max_num_levels, named),
                     known.levels, known.rows)
    seen, shifts, first_levels = _look_first(scan, names, measures, dimensions)
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
    plan = _Plan(shifts, [d for d in dimensions if levels[d] <= max_num_levels], bounded=True)
    plan.first = {d: n for d, n in levels.items() if n > max_num_levels}
    return plan


def _within(dimensions: Sequence[str], levels: Mapping[str, int], rows: int,
            max_num_levels: int, named: bool) -> List[str]:
    if named:
        return list(dimensions)
    bound = columns.level_bound(rows, max_num_levels)
    return [d for d in dimensions if levels[d] <= bound]


def _merged(scan: Any, names: _Names, measures: Sequence[str], dimensions: Sequence[str],
            shifts: Sequence[Shift], most: Optional[int] = None) -> Optional[_Marginals]:
    """The tables' query and its rows (None beyond ``most`` rows). Stage 1 first shifts every
    cell by the measure's shift; should the bound of its rounding exceed
    :data:`STAGE1_PRECISION` somewhere, the query runs again with each cell shifted by a value
    of its own. Should a group's centre be unsettled, the query runs again with one more
    recentring pass, at most :data:`MAX_CORRECTIONS` times."""
    corrections, exact = 0, False
    while True:
        rows = scan.marginal_rows(names, measures, dimensions, shifts, most, corrections, exact)
        if rows is None:
            return None
        marginals = _Marginals(rows, dimensions, shifts)
        if not exact and marginals.imprecise():
            corrections, exact = 0, True  # again, each cell shifted by a value of its own
        elif corrections >= MAX_CORRECTIONS or not marginals.unsettled():
            return marginals
        else:
            corrections += 1


def _tables(scan: Any, names: _Names, measures: List[str], plan: _Plan,
            max_num_levels: int) -> _Marginals:
    """The tables' query, bounded in its rows when the plan is; should they be exceeded, one
    scan counts the levels approximately and the query runs again without the dimensions far
    over the bound."""
    if not plan.bounded:
        marginals = _merged(scan, names, measures, plan.candidates, plan.shifts)
    else:
        most = _most_rows(len(plan.candidates), 2 * max_num_levels + 10)
        marginals = _merged(scan, names, measures, plan.candidates, plan.shifts, most)
        if marginals is None:
            count, approximate = scan.approximate_levels(names, plan.candidates)
            plan.approximate = dict(zip(plan.candidates, approximate))
            bound = columns.level_bound(count, max_num_levels)
            plan.candidates = [d for d, n in zip(plan.candidates, approximate)
                               if columns.may_pass_bound(n, bound, LEVELS_RSD)]
            marginals = _merged(scan, names, measures, plan.candidates, plan.shifts)
    assert marginals is not None
    return marginals


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
    data_frame : pyspark.sql.DataFrame, pandas.DataFrame, EmbeddedFrame or str
        The data. Cache a Spark frame first when it is expensive to compute. A pandas frame,
        an embedded frame (``Tarnwick.bi.embedded.reader``) or the path of a CSV, Parquet or
        JSON file runs on the embedded engine, without Spark, with the same results.
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
    scan = scan_of(data_frame)
    measures, dimensions = _defaults(scan, measure_columns, dimension_columns, helper)
    if not measures:
        return DFTwoWayAnovaResult()
    named = dimension_columns is not None
    unique_measures, unique_dimensions = _unique(measures), _unique(dimensions)
    names = _Names(scan.columns)
    plan = _before_tables(scan, names, unique_measures, unique_dimensions, max_num_levels,
                          named, helper, profile)
    if progress is not None:
        progress("profile")
    marginals = _tables(scan, names, unique_measures, plan, max_num_levels)
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
    data_frame : pyspark.sql.DataFrame, pandas.DataFrame, EmbeddedFrame or str
        As in :func:`one_scan_test_all`.
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
    scan = scan_of(data_frame)
    names = _Names(scan.columns)
    if profile is not None:
        _covers(profile, unique_measures, [])
        shifts = profile.shifts(unique_measures)
    else:
        _, shifts, _ = _look_first(scan, names, unique_measures, [])
    if progress is not None:
        progress("profile")
    marginals = _merged(scan, names, unique_measures, unique_dimensions, shifts)
    assert marginals is not None
    if progress is not None:
        progress("tables-query")
    return _file(marginals, measures, dimensions, progress)


class Tables(object):
    """The tables' query of :func:`one_scan_tables`, and what it counted on the way.

    Attributes
    ----------
    profile : Profile
        What a :func:`profile` would give, from the first rows and the query instead of an
        aggregation of its own: the row count; per measure its values, infinite values, mean
        and smallest and largest value (exact for integers and decimals); per dimension its
        number of levels, exact for every dimension in the query.
    inexact : dict
        The dimensions whose count in ``profile.levels`` is not exact, left out of the query
        as far over the bound, and what is known of it instead: "more than N" (the first rows
        alone have more than ``max_num_levels`` = N levels; ``profile.levels`` gives N + 1) or
        "about N" (an approximate count, N in ``profile.levels`` too).
    dimensions : list of str
        The dimensions in the query: those the result can be filed for.
    """

    def __init__(self, marginals: _Marginals, profile: Profile, inexact: Dict[str, str]) -> None:
        self._marginals = marginals
        self.profile = profile
        self.inexact = inexact
        self.dimensions = list(marginals.position)

    def result(self, measures: Sequence[str], dimensions: Sequence[str],
               progress: Progress = None) -> DFTwoWayAnovaResult:
        """Each listed measure against ``dimensions`` (all in the query) and their pairs, in
        the analyser's order, as :func:`one_scan_test_against` files them."""
        missing = [d for d in dimensions if d not in self._marginals.position]
        if missing:
            raise ValueError("not in the tables' query: %s"
                             % ", ".join(map(columns.quoted, missing)))
        return _file(self._marginals, measures, dimensions, progress)


def _counted_levels(plan: _Plan, marginals: _Marginals, dimensions: Sequence[str],
                    max_num_levels: int) -> Tuple[Dict[str, int], Dict[str, str]]:
    """Every dimension's level count: exact from the query (or the plan's exact counts), and
    for those left out, what the plan learnt of them, said how."""
    levels, inexact = {}, {}
    for d in dimensions:
        if d in marginals.position:
            levels[d] = marginals.levels(d)
        elif plan.levels is not None:
            levels[d] = plan.levels[d]
        elif d in plan.approximate:
            levels[d] = plan.approximate[d]
            inexact[d] = "about %d" % levels[d]
        else:  # at least max_num_levels + 1: the count the bound is compared with
            levels[d] = max_num_levels + 1
            inexact[d] = "more than %d" % max_num_levels
    return levels, inexact


def one_scan_tables(data_frame: Any, measure_columns: Sequence[str],
                    dimension_columns: Sequence[str],
                    max_num_levels: int = columns.DEFAULT_MAX_LEVELS, named: bool = False,
                    progress: Progress = None) -> Tables:
    """The tables' query of ``one_scan_test_all`` (or, ``named``, of ``one_scan_test_against``)
    with the counts a caller checks its input with, and no other scan of the data.

    Only a look at the first rows comes before the query (and, when they hold no value of some
    measure, one aggregation for its mean); no dimension's distinct values are counted apart.
    The query itself gives the row count, each measure's values, infinities and ends, and each
    dimension's exact level count; a dimension that the first rows already put over
    ``max_num_levels`` stays out of it unless ``named``.

    Parameters
    ----------
    data_frame : pyspark.sql.DataFrame, pandas.DataFrame, EmbeddedFrame or str
        As in :func:`one_scan_test_all`.
    measure_columns, dimension_columns : sequence of str
    max_num_levels : int, default 40
    named : bool, default False
        Whether every dimension goes into the query whatever its levels (named dimensions).
    progress : callable, optional
        Called with "profile" and "tables-query" as each step ends.

    Returns
    -------
    Tables

    Examples
    --------
    >>> from Tarnwick.bi.stats.onescan import one_scan_tables
    >>> df = spark.createDataFrame(
    ...     [("north", "mon", 12.0), ("north", "tue", 14.5), ("south", "mon", 9.0),
    ...      ("south", "tue", 11.0), ("north", "mon", float("inf"))],
    ...     "region string, day string, sales double")
    >>> tables = one_scan_tables(df, ["sales"], ["region", "day"])
    >>> facts = tables.profile
    >>> facts.rows, facts.values, facts.infinities, facts.levels
    (5, {'sales': 4}, {'sales': 1}, {'region': 2, 'day': 2})
    >>> tables.result(["sales"], ["region"]).get_measure_result("sales").dimensions
    ['region']
    """
    measures, dimensions = _unique(measure_columns), _unique(dimension_columns)
    scan = scan_of(data_frame)
    names = _Names(scan.columns)
    plan = _before_tables(scan, names, measures, dimensions, max_num_levels, named, None, None)
    if progress is not None:
        progress("profile")
    marginals = _tables(scan, names, measures, plan, max_num_levels)
    if progress is not None:
        progress("tables-query")
    levels, inexact = _counted_levels(plan, marginals, dimensions, max_num_levels)
    ends = [marginals.carried(j) for j in range(len(measures))]
    known = Profile(
        rows=plan.rows if plan.rows is not None else marginals.rows(),
        values={m: marginals.measure_row(j)[0] for j, m in enumerate(measures)},
        infinities={m: int(e["inf"] or 0) for m, e in zip(measures, ends)},
        means={m: marginals.measure_row(j)[1] for j, m in enumerate(measures)},
        levels=levels, lows={m: e["lo"] for m, e in zip(measures, ends)},
        highs={m: e["hi"] for m, e in zip(measures, ends)},
        exact={m: shift.exact for m, shift in zip(measures, plan.shifts)})
    return Tables(marginals, known, inexact)
