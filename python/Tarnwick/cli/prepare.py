"""Choosing and checking the columns of a run before any test starts.

Everything a user can get wrong about the data is found here and reported as one InputError,
so that the analysis itself only starts on input it can handle.
"""
from __future__ import annotations

import re
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

from Tarnwick.bi.common.columns import column as column_of
from Tarnwick.bi.common.columns import (
    exact_type, is_infinite, is_numeric, is_string, level_bound, read_as_is, rows_bound,
)
from Tarnwick.cli.errors import InputError


class Kind(NamedTuple):
    """What the checks need to know of a column's type, whatever the engine: whether it is
    numeric, a string, an integer or decimal (exact), and its name as Spark writes it."""

    numeric: bool
    string: bool
    exact: bool
    name: str


#: How a used column enters the run's frame: as it is, as a double with NaN missing, as text.
AS_IS, DOUBLE, TEXT = "as-is", "double", "text"


class SparkFrames:
    """What the checks do to a Spark frame: its column kinds, the projection of the used
    columns, infinite measure values made missing, the cache and the analyser's helper. The
    embedded engine has an object with the same methods."""

    def kinds(self, frame: Any) -> Dict[str, Kind]:
        return {f.name: Kind(is_numeric(f.dataType), is_string(f.dataType),
                             exact_type(f.dataType) is not None, f.dataType.simpleString())
                for f in frame.schema.fields}

    def project(self, frame: Any, chosen: Sequence[Tuple[str, str, str]]) -> Any:
        """The columns ``(name, new name, how)``, ``how`` one of AS_IS, DOUBLE, TEXT."""
        from pyspark.sql import functions as F

        projection = []
        for name, new, how in chosen:
            column = column_of(name)
            if how == DOUBLE:
                column = column.cast("double")
                column = F.when(F.isnan(column), F.lit(None)).otherwise(column)
            elif how == TEXT:
                column = column.cast("string")
            projection.append(column.alias(new))
        return frame.select(*projection)

    def without_infinities(self, frame: Any, measures: Sequence[str]) -> Any:
        from pyspark.sql import functions as F

        return frame.select(*[
            F.when(is_infinite(c), F.lit(None)).otherwise(column_of(c)).alias(c)
            if c in measures else column_of(c)
            for c in frame.columns
        ])

    def cache(self, frame: Any) -> Any:
        return frame.cache()

    def helper(self, frame: Any) -> Any:
        from Tarnwick.bi.common import DataFrameHelper

        return DataFrameHelper(frame)


class Pending(NamedTuple):
    """What the checks still have to know once the tables' query has counted (see
    :func:`check_counts`): whether the user named the measures and the dimensions."""

    named_measures: bool
    named_dimensions: bool


class Selection:
    """What a run tests: the frame (pruned, cleaned, cached), its helper, its profile and the
    columns. A selection whose counts are still to come from the tables' query has ``pending``
    set, ``rows`` and ``bound`` None and ``levels`` empty, until :func:`check_counts`."""

    def __init__(self, frame, helper, measures, dimensions, rows, bound, levels, notes,
                 profile=None):
        self.frame = frame
        self.helper = helper
        self.profile = profile  # the one aggregation the checks made: rows, values, levels
        self.measures = measures  # type: List[str]
        self.dimensions = dimensions  # type: List[str]
        self.rows = rows  # type: int
        self.bound = bound  # type: int
        self.levels = levels  # type: Dict[str, int]
        self.notes = notes  # type: List[str]
        self.original = {}  # type: Dict[str, str]  # run name -> data name, where they differ
        # Named dimensions are tested whatever their level count: True when one of them has
        # more levels than the automatic bound, which the analysis then does not apply.
        self.unbounded = False
        #: What does the engine's part of the checks to the frame (see SparkFrames).
        self.frames = None  # type: Any
        self.pending = None  # type: Optional[Pending]


def _dedupe(names: Sequence[str]) -> List[str]:
    seen = set()
    kept = []
    for name in names:
        if name not in seen:
            seen.add(name)
            kept.append(name)
    return kept


def _plain_names(used: Sequence[str], columns: Sequence[str]) -> Dict[str, str]:
    """New names for the used columns that Spark would not read as themselves when the analyser
    hands it the bare name (a dot, a back-quote, ``*``): those characters become ``_``."""
    taken = set(columns)
    renamed = {}
    for name in used:
        if not read_as_is(name):
            new = re.sub(r"[.`*]", "_", name) or "_"
            while new in taken:
                new += "_"
            taken.add(new)
            renamed[name] = new
    return renamed


def select_tests(
    frame,
    measures: Optional[Sequence[str]],
    dimensions: Optional[Sequence[str]],
    max_num_levels: int,
    cache: bool = True,
    frames: Any = None,
    by_query: bool = False,
) -> Selection:
    """Check the requested columns against ``frame`` and decide what the run tests.

    Named columns must exist; named measures must be numeric and hold at least one value.
    Without names, every numeric column with a value is a measure and every string column a
    dimension. Named dimensions that are not strings are tested with their values, as text, as
    levels. NaN in a floating-point measure counts as missing, as a null does. Raises InputError
    when nothing would be left to test.

    ``frames`` does what depends on the engine (:class:`SparkFrames` by default); the checks,
    their notes and the selection are the same on every engine.

    With ``by_query`` the checks that need counts (rows, values, infinities, levels) wait for
    the one-scan plan's tables' query, which gives them (:func:`check_counts`); otherwise one
    aggregation of the data, with exact distinct counts, answers them here.
    """
    from Tarnwick.bi.stats import onescan

    frames = frames if frames is not None else SparkFrames()
    notes = []  # type: List[str]
    types = frames.kinds(frame)
    _check_names(frame, measures, dimensions, types)
    named_measures = measures is not None
    named_dimensions = dimensions is not None
    measures, dimensions = _choose_columns(frame, measures, dimensions, types)
    frame, measures, dimensions, shown = _project(frames, frame, measures, dimensions, types)
    if cache:
        frame = frames.cache(frame)
    selection = Selection(frame, None, measures, dimensions, None, None, {}, notes)
    selection.original = shown
    selection.frames = frames
    selection.pending = Pending(named_measures, named_dimensions)
    if not by_query:
        # One aggregation answers every question of the checks (and fills the cache).
        _settle(selection, onescan.profile(frame, measures, dimensions), max_num_levels)
    return selection


def check_counts(selection: Selection, tables: Any, max_num_levels: int) -> None:
    """Finish the checks of a ``by_query`` selection from the counts of the one-scan plan's
    tables' query (``onescan.Tables``): the same notes and errors as from an aggregation of
    their own, a dimension left out of the query as far over the bound said to be so.

    Raises InputError (nothing left to test, a named measure without a value) before any
    table is filed.

    Examples
    --------
    >>> from Tarnwick.bi.stats.onescan import one_scan_tables
    >>> df = spark.createDataFrame([("a", 1.0), ("b", 2.0), ("a", 4.0)], "g string, x double")
    >>> selection = select_tests(df, None, None, 40, cache=False, by_query=True)
    >>> check_counts(selection, one_scan_tables(df, ["x"], ["g"]), 40)
    >>> selection.rows, selection.levels, selection.bound
    (3, {'g': 2}, 1)
    """
    _settle(selection, tables.profile, max_num_levels, tables.inexact)


def _settle(selection: Selection, known: Any, max_num_levels: int,
            inexact: Optional[Dict[str, str]] = None) -> None:
    """The checks that need counts, from ``known`` (a ``onescan.Profile``): the measures with
    values, the notes, the level bound and the dimensions tested, set on ``selection``."""
    from Tarnwick.bi.stats import onescan

    assert selection.pending is not None, "the selection's counts are already settled"
    named_measures, named_dimensions = selection.pending
    frames = selection.frames
    shown, notes = selection.original, selection.notes
    frame, measures = _drop_empty_measures(frames, selection.frame, known, selection.measures,
                                           named_measures, shown, notes)
    notes += onescan.double_precision_notes(known, measures, shown)
    bound, levels, kept = _bound_levels(known.levels, selection.dimensions, known.rows,
                                        max_num_levels, shown, notes, named_dimensions,
                                        inexact or {})
    selection.frame, selection.helper, selection.profile = frame, frames.helper(frame), known
    selection.measures, selection.dimensions = measures, kept
    selection.rows, selection.bound, selection.levels = known.rows, bound, levels
    selection.unbounded = any(levels[d] > bound for d in kept)
    selection.pending = None


def _check_names(frame, measures, dimensions, types) -> None:
    """Every named column exists, and no column name occurs twice."""
    columns = list(frame.columns)
    for kind, names in (("measure", measures), ("dimension", dimensions)):
        for name in names or ():
            if name not in types:
                raise InputError(
                    "unknown %s column %r; the data has: %s" % (kind, name, ", ".join(columns))
                )
    if len(set(columns)) != len(columns):
        duplicated = sorted({c for c in columns if columns.count(c) > 1})
        raise InputError("the data has more than one column named %s; rename them" % ", ".join(map(repr, duplicated)))


def _choose_columns(frame, measures, dimensions, types):
    """The measures and dimensions of the run: the named ones (deduplicated, named measures
    numeric) or the defaults; at least one of each, and no column both."""
    columns = list(frame.columns)
    if measures is not None:
        measures = _dedupe(measures)  # a repeated name would only repeat its tests
        for name in measures:
            if not types[name].numeric:
                raise InputError(
                    "measure %r is not numeric (its type is %s); name numeric columns with -m"
                    % (name, types[name].name)
                )
    else:
        # A numeric column named as a dimension (a year, say) is not also a default measure.
        measures = [c for c in columns if types[c].numeric and c not in (dimensions or ())]
    if dimensions is not None:
        dimensions = _dedupe(dimensions)
    else:
        dimensions = [c for c in columns if types[c].string]
    if not measures:
        raise InputError("the data has no numeric column to test; the columns are: %s" % ", ".join(columns))
    if not dimensions:
        raise InputError(
            "the data has no string column to test against; name dimensions with -d (columns: %s)"
            % ", ".join(columns)
        )
    for name in set(measures) & set(dimensions):
        raise InputError("column %r is named both as a measure and as a dimension" % name)
    return measures, dimensions


def _project(frames, frame, measures, dimensions, types):
    """Keep only the columns the run reads, with clean measures and text levels.

    Returns the projected frame, the measures and dimensions under their names for the run, and
    the map from a name for the run back to the data's name where the two differ.
    """
    used = _dedupe(list(measures) + list(dimensions))
    # The analyser hands column names to Spark as they are, where a dot means a struct field
    # and a back-quote quotes: such columns get plain names for the run, and the output shows
    # the data's names again (see names.restore).
    renamed = _plain_names(used, list(frame.columns))
    projection = []
    for name in used:
        how = AS_IS
        if name in measures and not types[name].exact:
            # Floating-point measures are analysed as doubles, NaN missing like a null. Integer
            # and decimal measures keep their type: each plan makes them doubles itself.
            how = DOUBLE
        elif name in dimensions and not types[name].string:
            how = TEXT
        projection.append((name, renamed.get(name, name), how))
    frame = frames.project(frame, projection)
    measures = [renamed.get(m, m) for m in measures]
    dimensions = [renamed.get(d, d) for d in dimensions]
    return frame, measures, dimensions, {new: old for old, new in renamed.items()}


def _drop_empty_measures(frames, frame, profile, measures, named_measures, shown, notes):
    """Infinite measure values become missing (with a note); measures without a single value are
    an error when named, otherwise left out with a note. Returns the frame and the measures."""
    unique_measures = _dedupe(measures)
    infinities = {m: profile.infinities[m] for m in unique_measures}
    values = {m: profile.values[m] for m in unique_measures}
    if any(infinities.values()):
        # An infinite value has no place in a sum of squares: it counts as missing, as NaN does.
        notes.append("infinite values treated as missing: %s" % ", ".join(
            "%s (%d)" % (shown.get(m, m), n) for m, n in infinities.items() if n))
        frame = frames.without_infinities(frame, list(infinities))
    empty = [m for m in unique_measures if values[m] == 0]
    if empty:
        if named_measures:
            raise InputError(
                "measure %r has no value (every row is null, NaN or infinite); leave it out"
                % shown.get(empty[0], empty[0])
            )
        notes.append("left out measures with no value: %s" % ", ".join(shown.get(m, m) for m in empty))
        measures = [m for m in measures if m not in empty]
        if not measures:
            raise InputError(
                "no measure left: every numeric column (%s) is empty"
                % ", ".join(shown.get(m, m) for m in empty)
            )
    return frame, measures


def _bound_levels(counted, dimensions, rows, max_num_levels, shown, notes, named=False,
                  inexact=None):
    """The level bound, every dimension's level count (from ``counted``), and the dimensions
    tested: those within the bound, or every one of them when the user named them (with a note
    for those above it). ``inexact`` gives, for a count that is not exact, what is known
    instead ("more than 40", "about 900")."""
    bound = level_bound(rows, max_num_levels)
    levels = {d: int(counted[d]) for d in _dedupe(dimensions)}
    inexact = inexact or {}

    def count(d):
        return inexact.get(d, "%d" % levels[d])

    if named and rows > 0:
        over = [d for d in _dedupe(dimensions) if levels[d] > bound]
        if over:
            notes.append(
                "tested as named although above the automatic level bound of %d: %s"
                % (bound, ", ".join("%s (%d levels)" % (shown.get(d, d), levels[d]) for d in over))
            )
        return bound, levels, list(dimensions)
    kept = [d for d in dimensions if levels[d] <= bound]
    dropped = [d for d in _dedupe(dimensions) if levels[d] > bound]
    limit = (
        "the bound is %d: the smaller of --max-levels %d and round(rows ** 0.35) = %d for %d rows"
        % (bound, max_num_levels, rows_bound(rows), rows)
    )
    if not kept:
        described = ", ".join("%s (%s levels)" % (shown.get(d, d), count(d)) for d in dropped)
        if rows == 0:
            raise InputError("the data has no rows")
        advice = (
            "raise --max-levels" if max_num_levels < rows_bound(rows)
            else "dimensions with more levels need more rows"
        )
        raise InputError("no dimension left after the level cap: %s; %s; %s" % (described, limit, advice))
    if dropped:
        notes.append(
            "not tested, more levels than the bound of %d: %s"
            % (bound, ", ".join("%s (%s)" % (shown.get(d, d), count(d)) for d in dropped))
        )
    return bound, levels, kept
