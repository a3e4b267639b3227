"""Choosing and checking the columns of a run before any test starts.

Everything a user can get wrong about the data is found here and reported as one InputError,
so that the analysis itself only starts on input it can handle.
"""
from __future__ import annotations

from typing import Dict, List, Optional, Sequence

from Tarnwick.bi.common.columns import column as column_of
from Tarnwick.bi.common.columns import is_floating, is_numeric, is_string, level_bound, rows_bound
from Tarnwick.cli.errors import InputError


class Plan:
    """What a run tests: the frame (pruned, cleaned, cached), its helper and the columns."""

    def __init__(self, frame, helper, measures, dimensions, rows, bound, levels, notes):
        self.frame = frame
        self.helper = helper
        self.measures = measures  # type: List[str]
        self.dimensions = dimensions  # type: List[str]
        self.rows = rows  # type: int
        self.bound = bound  # type: int
        self.levels = levels  # type: Dict[str, int]
        self.notes = notes  # type: List[str]


def _dedupe(names: Sequence[str]) -> List[str]:
    seen = set()
    kept = []
    for name in names:
        if name not in seen:
            seen.add(name)
            kept.append(name)
    return kept


def _plain_names(used: Sequence[str], columns: Sequence[str]) -> Dict[str, str]:
    """New names, without dots, for the used columns whose names have one."""
    taken = set(columns)
    renamed = {}
    for name in used:
        if "." in name:
            new = name.replace(".", "_")
            while new in taken:
                new += "_"
            taken.add(new)
            renamed[name] = new
    return renamed


def plan_run(
    frame,
    measures: Optional[Sequence[str]],
    dimensions: Optional[Sequence[str]],
    max_num_levels: int,
    cache: bool = True,
) -> Plan:
    """Check the requested columns against ``frame`` and decide what the run tests.

    Named columns must exist; named measures must be numeric and hold at least one value.
    Without names, every numeric column with a value is a measure and every string column a
    dimension. Named dimensions that are not strings are tested with their values, as text, as
    levels. NaN in a floating-point measure counts as missing, as a null does. Raises InputError
    when nothing would be left to test.
    """
    from pyspark.sql import functions as F
    from Tarnwick.bi.common import DataFrameHelper

    notes = []  # type: List[str]
    types = {field.name: field.dataType for field in frame.schema.fields}
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

    named_measures = measures is not None
    if named_measures:
        measures = _dedupe(measures)  # a repeated name would only repeat its tests
        for name in measures:
            if not is_numeric(types[name]):
                raise InputError(
                    "measure %r is not numeric (its type is %s); name numeric columns with -m"
                    % (name, types[name].simpleString())
                )
    else:
        measures = [c for c in columns if is_numeric(types[c])]
    if dimensions is not None:
        dimensions = _dedupe(dimensions)
    else:
        dimensions = [c for c in columns if is_string(types[c])]
    if not measures:
        raise InputError("the data has no numeric column to test; the columns are: %s" % ", ".join(columns))
    if not dimensions:
        raise InputError(
            "the data has no string column to test against; name dimensions with -d (columns: %s)"
            % ", ".join(columns)
        )
    for name in set(measures) & set(dimensions):
        raise InputError("column %r is named both as a measure and as a dimension" % name)

    # Keep only the columns the run reads, with clean measures and text levels.
    used = _dedupe(list(measures) + list(dimensions))
    # The analyser hands column names to Spark as they are, where a dot means a struct field:
    # such columns are renamed for the run.
    renamed = _plain_names(used, columns)
    if renamed:
        notes.append("renamed for the run (a dot in a column name means a struct field to Spark): %s"
                     % ", ".join("%s -> %s" % pair for pair in renamed.items()))
    projection = []
    for name in used:
        column = column_of(name)
        if name in measures and is_floating(types[name]):
            column = F.when(F.isnan(column), F.lit(None)).otherwise(column)
        elif name in dimensions and not is_string(types[name]):
            column = column.cast("string")
        projection.append(column.alias(renamed.get(name, name)))
    frame = frame.select(*projection)
    measures = [renamed.get(m, m) for m in measures]
    dimensions = [renamed.get(d, d) for d in dimensions]
    types = {renamed.get(n, n): t for n, t in types.items()}
    if cache:
        frame = frame.cache()

    helper = DataFrameHelper(frame)
    rows = int(helper.get_num_rows())
    values = {m: helper.get_num_values(m) for m in _dedupe(measures)}  # same aggregation as rows
    empty = [m for m in _dedupe(measures) if values[m] == 0]
    if empty:
        if named_measures:
            raise InputError(
                "measure %r has no value (every row is null%s); leave it out"
                % (empty[0], " or NaN" if is_floating(types[empty[0]]) else "")
            )
        notes.append("left out measures with no value: %s" % ", ".join(empty))
        measures = [m for m in measures if m not in empty]
        if not measures:
            raise InputError(
                "no measure left: every numeric column (%s) is empty" % ", ".join(empty)
            )

    bound = level_bound(rows, max_num_levels)
    levels = {d: int(helper.get_num_unique_values(d)) for d in _dedupe(dimensions)}
    kept = [d for d in dimensions if levels[d] <= bound]
    dropped = [d for d in _dedupe(dimensions) if levels[d] > bound]
    limit = (
        "the bound is %d: the smaller of --max-levels %d and round(rows ** 0.35) = %d for %d rows"
        % (bound, max_num_levels, rows_bound(rows), rows)
    )
    if not kept:
        described = ", ".join("%s (%d levels)" % (d, levels[d]) for d in dropped)
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
            % (bound, ", ".join("%s (%d)" % (d, levels[d]) for d in dropped))
        )
    return Plan(frame, helper, measures, kept, rows, bound, levels, notes)
