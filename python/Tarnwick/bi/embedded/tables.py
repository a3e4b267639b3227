"""The one-scan plan's steps that read the data, on DuckDB.

:class:`EmbeddedScan` gives ``Tarnwick.bi.stats.onescan`` what :class:`~Tarnwick.bi.stats.
onescan.SparkScan` gives it on Spark: the frame's columns and their exact types, the first
rows, the profile's aggregation, the level counts, and the tables' query in its two stages.
The rest of the plan (the shifts, the selection, the merge's text, the filing of the tables in
result records) is the same code on both engines, so that the results do not depend on it.

Stage 1 groups the rows by the full cross of the dimensions into a small temporary table of
cells (per cell its rows and per measure the count, the cell's shift, the mean deviation from
it and ``count · var_pop``, as on Spark); stage 2 is the text of
:func:`~Tarnwick.bi.stats.onescan.merge_query` in DuckDB's dialect over that table
(:func:`~Tarnwick.bi.embedded.merge.merged_rows`). A rerun
of stage 2 (a group recentred) reuses the cells.

Data reaches the engine as a pandas frame, an :class:`~Tarnwick.bi.embedded.reader.
EmbeddedFrame` or the path of a CSV, Parquet or JSON file (see :func:`frame_of`).
"""
from __future__ import annotations

import os
import re
from decimal import Decimal
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from Tarnwick.bi.common import default_columns
from Tarnwick.bi.embedded import reader
from Tarnwick.bi.embedded.merge import merged_rows
from Tarnwick.bi.stats import onescan

__all__ = ["EmbeddedModelData", "EmbeddedScan", "frame_of", "is_embedded"]

_q = reader._identifier


def is_embedded(data: Any) -> bool:
    """Whether ``data`` runs on the embedded engine: a pandas frame, an embedded frame or a
    file path (a Spark data frame does not).

    Examples
    --------
    >>> import pandas as pd
    >>> is_embedded(pd.DataFrame({"x": [1.0]})), is_embedded("data.csv"), is_embedded(3)
    (True, True, False)
    """
    import pandas as pd

    return isinstance(data, (pd.DataFrame, reader.EmbeddedFrame, str, os.PathLike))


def frame_of(data: Any, connection: Any = None) -> reader.EmbeddedFrame:
    """``data`` as an embedded frame: an embedded frame as it is, a pandas frame registered
    in a DuckDB connection (its columns as they are, a category column as text), a file path
    read by :func:`~Tarnwick.bi.embedded.reader.read_file` (its format from its name, CSV
    with the command line's defaults).

    Examples
    --------
    >>> import pandas as pd
    >>> frame = frame_of(pd.DataFrame({"g": ["a", "b"], "x": [1, 2]}))
    >>> frame.columns, frame.kind("g"), frame.kind("x")
    (['g', 'x'], 'string', 'integer')
    """
    import pandas as pd

    if isinstance(data, reader.EmbeddedFrame):
        return data
    if isinstance(data, pd.DataFrame):
        connection = connection if connection is not None else reader.connect()
        names = [str(c) for c in data.columns]
        reader._check_names("the pandas frame", names)
        if len(set(names)) != len(names):
            raise ValueError("the pandas frame has columns of the same name")
        frame = data.copy(deep=False)
        frame.columns = names
        view = "tw_pandas_%d" % id(frame)
        connection.register(view, frame)
        types = [str(t) for t in connection.sql("SELECT * FROM %s" % _q(view)).types]
        chosen = ["CAST(%s AS VARCHAR) AS %s" % (_q(n), _q(n)) if t.startswith("ENUM")
                  else _q(n) for n, t in zip(names, types)]
        # The registered view reads the pandas frame: the embedded frame keeps it alive.
        return reader.EmbeddedFrame(connection, "SELECT %s FROM %s" % (", ".join(chosen),
                                                                     _q(view)), frame)
    from Tarnwick.cli import reader as spark_reader

    path = os.fspath(data)
    fmt = spark_reader.format_of(path) or "csv"
    return reader.read_file(path, fmt, connection=connection)


def _exact(duckdb_type: str) -> Optional[Tuple[int, int]]:
    """(precision, scale) that holds every value of an integer or decimal column, as
    ``columns.exact_type`` gives it for Spark's types."""
    kind = reader.kind_of(duckdb_type)
    if kind == "integer":
        return 20, 0
    if kind == "decimal":
        width, scale = re.findall(r"\d+", duckdb_type)[:2]
        return int(width), int(scale)
    return None


def _double(name: str) -> str:
    return "CAST(%s AS DOUBLE)" % _q(name)


def _finite(name: str) -> str:
    """The measure as a double, NaN and the infinities as null (missing)."""
    return "CASE WHEN isfinite(%s) THEN %s END" % (_double(name), _double(name))


def _shifted(name: str, shift: onescan.Shift) -> str:
    """The measure as stage 1 reads it (see ``Shift.expression``): an integer or decimal
    measure less its base in exact decimal arithmetic, then a double."""
    if shift.base is None:
        return _finite(name)
    kind = "DECIMAL(%d,%d)" % shift.exact
    return "CAST(CAST(%s AS %s) - CAST(%s AS %s) AS DOUBLE)" % (
        _q(name), kind, reader._literal(format(Decimal(shift.base), "f")), kind)


def _variance(kind: str, value: str, plain: bool) -> str:
    """The population (``kind`` "pop") or sample ("samp") variance of ``value`` as SQL text:
    DuckDB's own aggregate, or with ``plain`` the same from plain sums, for values whose
    squares overflow (DuckDB's aggregates raise an error there where Spark's give an infinity
    or NaN, which the result records then report as an overflow)."""
    if not plain:
        return "VAR_%s(%s)" % (kind.upper(), value)
    count = "COUNT(%s)" % value
    spread = "(SUM({x} * {x}) - SUM({x}) * SUM({x}) / {n})".format(x=value, n=count)
    return "(%s / %s)" % (spread, count if kind == "pop" else "NULLIF(%s - 1, 0)" % count)


def _overflowing(connection: Any, build: Callable[[bool], str], run: Any) -> Any:
    """``run(connection, build(False))``; should a variance overflow (DuckDB raises an
    out-of-range error), ``run(connection, build(True))``: variances as plain sums (see
    :func:`_variance`)."""
    fits, result = _in_range(lambda: run(connection, build(False)))
    return result if fits else run(connection, build(True))


def _in_range(action: Callable[[], Any]) -> Tuple[bool, Any]:
    """``(True, action())``, or ``(False, None)`` where DuckDB raised an out-of-range error
    instead."""
    try:
        return True, action()
    except Exception as exc:  # duckdb's errors share no base class across its versions
        if not _out_of_range(exc):
            raise
        return False, None


def _out_of_range(error: Exception) -> bool:
    """Whether DuckDB raised ``error`` for an aggregate out of range (an overflow, or from
    DuckDB 1.1's variance an infinite or NaN value)."""
    return "out of range" in str(error).lower()


class _Columns(object):
    """The default measures and dimensions of an embedded frame (what ``DataFrameHelper``
    gives the plan on Spark)."""

    def __init__(self, frame: reader.EmbeddedFrame) -> None:
        kinds = [(name, frame.kind(name)) for name in frame.columns]
        self.numeric, self.string = default_columns(
            [(name, kind in reader.NUMERIC_KINDS, kind == "string")
             for name, kind in kinds], stacklevel=4)

    def get_numeric_columns(self) -> List[str]:
        return list(self.numeric)

    def get_string_columns(self) -> List[str]:
        return list(self.string)


class EmbeddedScan(object):
    """The plan's steps that read the data, on DuckDB (the methods of ``SparkScan``).

    Parameters
    ----------
    frame : EmbeddedFrame
    """

    def __init__(self, frame: reader.EmbeddedFrame) -> None:
        self.frame = frame
        self.connection = frame.connection
        self.columns = list(frame.columns)
        # Stage 1's table and what it was made for: a rerun of stage 2 reuses it.
        self._table = ""
        self._cells_of: Any = None

    @classmethod
    def of(cls, data: Any) -> "EmbeddedScan":
        """The scan of a pandas frame, an embedded frame or a file path."""
        return cls(frame_of(data))

    def _source(self) -> str:
        return "(%s) AS tw_source" % self.frame.sql

    def _rows(self, sql: str) -> List[tuple]:
        return reader._rows(self.connection, sql)

    def _variance_rows(self, build: Callable[[bool], str]) -> List[tuple]:
        """The rows of the query ``build(plain)`` makes, its variances as plain sums should
        DuckDB's overflow."""
        return _overflowing(self.connection, build, reader._rows)

    def helper(self) -> _Columns:
        return _Columns(self.frame)

    def exact_types(self, measures: Sequence[str]) -> Dict[str, Optional[Tuple[int, int]]]:
        return {m: _exact(self.frame.types[m]) if m in self.frame.types else None
                for m in measures}

    def head(self, names: Any, measures: Sequence[str], dimensions: Sequence[str],
             exact: Mapping[str, Optional[Tuple[int, int]]], finite: bool) -> List[tuple]:
        value = _finite if finite else _double
        chosen = [value(m) for m in measures] + [_q(d) for d in dimensions]
        chosen += [_q(m) for m in measures if exact[m] is not None]
        if not chosen:
            chosen = ["1"]
        return self._rows("SELECT %s FROM %s LIMIT %d" % (
            ", ".join(chosen), self._source(), onescan.SAMPLE_ROWS))

    def aggregated(self, names: Any, measures: Sequence[str], dimensions: Sequence[str],
                   exact: Mapping[str, Optional[Tuple[int, int]]]) -> onescan.Profile:
        expressions = ["COUNT(*)"]
        for m in measures:
            value = _finite(m)
            ends = value if exact[m] is None else _q(m)
            expressions += ["COUNT(%s)" % value,
                            "COUNT(CASE WHEN isinf(%s) THEN 1 END)" % _double(m),
                            "AVG(%s)" % value, "MIN(%s)" % ends, "MAX(%s)" % ends]
        row = self._rows("SELECT %s FROM %s" % (", ".join(expressions), self._source()))[0]
        if dimensions:
            # Apart: beside other aggregates, DuckDB's distinct counts hold every row in memory.
            row += self.approximate_levels(names, dimensions)[1]
        return onescan._profile_of_row(row, measures, dimensions, exact)

    @staticmethod
    def _levels(dimension: str) -> str:
        """Aggregate: the exact number of levels, a null counting as one."""
        return "COUNT(DISTINCT %s) + MAX(CASE WHEN %s IS NULL THEN 1 ELSE 0 END)" % (
            _q(dimension), _q(dimension))

    def approximate_levels(self, names: Any,
                           dimensions: Sequence[str]) -> Tuple[int, Tuple[int, ...]]:
        """The row count and each dimension's level count: exact here, as DuckDB counts them
        quickly."""
        row = self._rows("SELECT %s FROM %s" % (
            ", ".join(["COUNT(*)"] + [self._levels(d) for d in dimensions]), self._source()))[0]
        return int(row[0]), tuple(int(v) for v in row[1:])

    def _cells(self, names: Any, measures: Sequence[str], dimensions: Sequence[str],
               shifts: Sequence[onescan.Shift], exact: bool) -> str:
        """Stage 1 into a temporary table, whose quoted name is returned: per cell of the full
        cross of ``dimensions`` its rows and per measure the count, the shift (the cell's
        smallest value with ``exact``, else the measure's shift), the mean deviation from it,
        ``count · var_pop`` of the deviations, the count of infinities and the ends (an
        integer or decimal measure's; null for a double, whose ends nothing needs).

        Infinities and NaN are rare, and making each row's double finite and marking whether
        it was infinite is a large share of the query's work. So the first pass takes a double
        measure's values as they are and counts no infinity. A NaN or an infinity makes the
        mean deviation of its cell NaN or infinite (DuckDB 1.1 raises an out-of-range error on
        its variance instead): where every cell's is finite, the values were, and the table is
        the one counting would have made. Otherwise stage 1 runs again, counting."""
        table = self._stage1(names, measures, dimensions, shifts, exact, count_infinite=False)
        means = [_q(names.moment("w", j)) for j, s in enumerate(shifts) if s.exact is None]
        if table is None or self._not_finite(table, means):
            table = self._stage1(names, measures, dimensions, shifts, exact, count_infinite=True)
        return table

    def _not_finite(self, table: str, quoted: Sequence[str]) -> bool:
        """Whether a row of ``table`` holds a NaN or an infinity in one of the ``quoted``
        columns."""
        if not quoted:
            return False
        return bool(reader._row(self.connection, "SELECT COUNT(*) FROM %s WHERE %s" % (
            table, " OR ".join("NOT isfinite(%s)" % column for column in quoted)))[0])

    def _stage1(self, names: Any, measures: Sequence[str], dimensions: Sequence[str],
                shifts: Sequence[onescan.Shift], exact: bool, count_infinite: bool) -> Any:
        """Stage 1 as :meth:`_cells` describes it. Without ``count_infinite``: a double
        measure's values as they are, a count of 0 infinities, and None instead of the table
        should a variance be out of range."""
        keys = [_q(names.key(i)) for i in range(len(dimensions))]
        values = [_q(names.moment("x", j)) for j in range(len(measures))]
        anchors = [_q(names.moment("a", j)) for j in range(len(measures))]
        doubles = [s.exact is None for s in shifts]
        read = [_shifted(m, s) if count_infinite or not d else _double(m)
                for m, s, d in zip(measures, shifts, doubles)]
        # Counting, each row also marks whether its double is infinite (an integer or decimal
        # never is); beside an integer or decimal value, the measure itself for its exact ends.
        counted = [count_infinite and d for d in doubles]
        infinite = ["COUNT(%s) AS %s" % (_q(names.moment("i", j)), _q(names.moment("inf", j)))
                    if c else "CAST(0 AS BIGINT) AS %s" % _q(names.moment("inf", j))
                    for j, c in enumerate(counted)]
        marks = ["CASE WHEN isinf(%s) THEN 1 END AS %s" % (_double(m), _q(names.moment("i", j)))
                 for j, (m, c) in enumerate(zip(measures, counted)) if c]
        marks += ["%s AS %s" % (_q(m), _q(names.moment("e", j)))
                  for j, (m, d) in enumerate(zip(measures, doubles)) if not d]
        ends = [("CAST(NULL AS DOUBLE)",) * 2 if d else
                ("MIN(%s)" % _q(names.moment("e", j)), "MAX(%s)" % _q(names.moment("e", j)))
                for j, d in enumerate(doubles)]
        rows = ", ".join(["%s AS %s" % (_q(d), k) for d, k in zip(dimensions, keys)]
                         + ["%s AS %s" % (r, x) for r, x in zip(read, values)] + marks
                         + ["1 AS tw_one"])
        if keys and exact:
            # Each cell's smallest value is its shift: a small table of its own (one streaming
            # pass), joined to the rows of a second pass.
            shifts_table = _q(names.prefix + "anchors")
            self.connection.execute(
                "CREATE OR REPLACE TEMP TABLE %s AS SELECT %s FROM (SELECT %s FROM %s) AS tw_rows "
                "GROUP BY %s" % (shifts_table, ", ".join(
                    keys + ["MIN(%s) AS %s" % (x, a) for x, a in zip(values, anchors)]),
                    rows, self._source(), ", ".join(keys)))
            anchored = (
                "tw_anchored AS (SELECT r.*, %s FROM (SELECT %s FROM %s) AS r JOIN %s AS a ON %s)"
                % (", ".join("a.%s" % a for a in anchors), rows, self._source(), shifts_table,
                   " AND ".join("r.%s IS NOT DISTINCT FROM a.%s" % (k, k) for k in keys)))
            centres = ["MAX(%s)" % a for a in anchors]
        else:
            # The measure's one shift is a constant of the query, not a column of every row.
            anchored = "tw_anchored AS (SELECT %s FROM %s)" % (rows, self._source())
            anchors = centres = ["CAST(%r AS DOUBLE)" % float(s.value) for s in shifts]
        table = _q(names.prefix + "cells")

        def build(plain: bool) -> str:
            moments = ["COUNT(*) AS %s" % _q(names.rows())]
            for j, (x, a) in enumerate(zip(values, anchors)):
                deviation = "(%s - %s)" % (x, a)
                moments += ["COUNT(%s) AS %s" % (x, _q(names.moment("n", j))),
                            "%s AS %s" % (centres[j], _q(names.moment("c", j))),
                            "AVG(%s) AS %s" % (deviation, _q(names.moment("w", j))),
                            "COALESCE(%s * COUNT(%s), 0.0) AS %s" % (
                                _variance("pop", deviation, plain), x,
                                _q(names.moment("m2", j))),
                            infinite[j],
                            "%s AS %s" % (ends[j][0], _q(names.moment("lo", j))),
                            "%s AS %s" % (ends[j][1], _q(names.moment("hi", j)))]
            return "CREATE OR REPLACE TEMP TABLE %s AS WITH %s SELECT %s FROM tw_anchored%s" % (
                table, anchored, ", ".join(keys + moments),
                " GROUP BY %s" % ", ".join(keys) if keys else "")

        if count_infinite:
            _overflowing(self.connection, build, lambda connection, sql: connection.execute(sql))
            return table
        fits, _ = _in_range(lambda: self.connection.execute(build(False)))
        return table if fits else None

    def marginal_rows(self, names: Any, measures: Sequence[str], dimensions: Sequence[str],
                      shifts: Sequence[onescan.Shift], most: Optional[int],
                      corrections: int, exact: bool = False) -> Optional[List[tuple]]:
        """Stages 1 and 2: the rows of every grouping set (see ``onescan.merge_query``), or
        None when there are more than ``most`` of them."""
        key = onescan.stage1_key(measures, dimensions, shifts, exact)
        if self._cells_of != key:
            self._table = self._cells(names, measures, dimensions, shifts, exact)
            self._cells_of = key
        return onescan.one_pass_first(
            lambda one_pass: merged_rows(self.connection, self._table, names, len(dimensions),
                                         len(measures), corrections, most, one_pass),
            len(dimensions), len(measures), corrections, exact)


# -- the result objects' second reading of the frame --------------------------------------------


def _measure_rows(data: Any) -> Tuple[Any, str]:
    """The connection and the source relation of ``data`` for one grouped aggregation."""
    scan = EmbeddedScan.of(data)
    return scan, scan._source()


def level_variances(data: Any, measure: str, dimension: str) -> List[tuple]:
    """Per level of ``dimension`` with a value of ``measure`` (not null, NaN or infinite): the level,
    the count, the mean and the sample variance (as ``dispersion.level_variances`` asks of
    Spark)."""
    scan, source = _measure_rows(data)
    x = _finite(measure)
    return scan._variance_rows(lambda plain: (
        "SELECT %s, COUNT(%s), AVG(%s), %s FROM %s WHERE %s IS NOT NULL GROUP BY %s" % (
            _q(dimension), x, x, _variance("samp", x, plain), source, x, _q(dimension))))


def level_deviations(data: Any, measure: str, dimension: str, center: str) -> List[tuple]:
    """Per level: the count, mean and population variance of the values' absolute deviations
    from the level's mean or median (the usual median, the mean of the two middle values)."""
    scan, source = _measure_rows(data)
    x = _finite(measure)
    centre = ("AVG(%s)" if center == "mean" else "quantile_cont(%s, 0.5)") % x
    return scan._variance_rows(lambda plain: (
        "SELECT level, COUNT(z), AVG(z), %s FROM (SELECT %s AS level, abs(%s - %s OVER "
        "(PARTITION BY %s)) AS z FROM %s WHERE %s IS NOT NULL) AS tw_z GROUP BY level" % (
            _variance("pop", "z", plain), _q(dimension), x, centre, _q(dimension), source, x)))


def group_moments(data: Any, measure: str, dimensions: Sequence[str],
                  centre: float) -> List[tuple]:
    """Per group of ``dimensions``: the keys, the count of values, the mean of their
    deviations from ``centre`` and their population variance (``refine``'s aggregation)."""
    scan, source = _measure_rows(data)
    value = _finite(measure)
    shifted = "(%s - CAST(%r AS DOUBLE))" % (value, float(centre))
    keys = ", ".join(_q(d) for d in dimensions)
    return scan._variance_rows(lambda plain: (
        "SELECT %s, COUNT(%s), AVG(%s), %s FROM %s GROUP BY %s" % (
            keys, value, shifted, _variance("pop", shifted, plain), source, keys)))


def columns_of(data: Any) -> List[str]:
    """The column names of an embedded frame, a pandas frame or a file."""
    return list(frame_of(data).columns)


# -- the linear models' cells ------------------------------------------------------------------


class EmbeddedModelData(object):
    """An embedded frame as the linear models' scan reads it (what ``models._SparkData`` gives
    it on Spark): its columns' kinds, and the rows of the scan's query over its projected rows.

    Examples
    --------
    >>> import pandas as pd
    >>> data = EmbeddedModelData(pd.DataFrame({"g": ["a", "b"], "k": [1, 2], "y": [1.0, 2.0]}))
    >>> data.kinds
    {'g': 'string', 'k': 'numeric', 'y': 'numeric'}
    >>> data.rows("SELECT COUNT(k) AS n, SUM(y) AS s FROM {rows}", [("g", "k")],
    ...           [("y", "y")])
    [{'n': 2, 's': 3.0}]
    """

    quote = staticmethod(_q)

    def __init__(self, data: Any) -> None:
        from Tarnwick.bi.stats import models

        self.frame = frame_of(data)
        self.columns = list(self.frame.columns)
        self.kinds = {name: models.NUMERIC if self.frame.kind(name) in reader.NUMERIC_KINDS
                      else models.STRING if self.frame.kind(name) == "string" else models.OTHER
                      for name in self.columns}

    def rows(self, text: str, keys: Sequence[Tuple[str, str]],
             values: Sequence[Tuple[str, str]]) -> List[Dict[str, Any]]:
        """The rows of ``text`` with ``{rows}`` the frame's rows projected to the factors as
        they are (``keys``: column, alias) and the values as doubles, missing unless finite
        (``values``)."""
        from Tarnwick.bi.stats.models import ModelError

        projection = ", ".join(["%s AS %s" % (_q(name), _q(alias)) for name, alias in keys]
                               + ["%s AS %s" % (_finite(name), _q(alias))
                                  for name, alias in values])
        rows = "(SELECT %s FROM %s) AS tw_model_rows" % (
            projection, EmbeddedScan(self.frame)._source())
        try:
            result = self.frame.connection.execute(text.replace("{rows}", rows))
        except Exception as exc:  # duckdb's errors share no base class across its versions
            if "out of range" not in str(exc).lower():
                raise
            raise ModelError("the values' co-moments overflow double precision: scale the "
                             "response or covariates down")
        names = [column[0] for column in result.description]
        return [dict(zip(names, row)) for row in result.fetchall()]


# -- the command line's checks on the embedded engine --------------------------------------------

#: DuckDB's type names as Spark writes the same types (in the checks' messages).
_SPARK_NAMES = {"VARCHAR": "string", "BOOLEAN": "boolean", "TINYINT": "tinyint",
                "SMALLINT": "smallint", "INTEGER": "int", "BIGINT": "bigint", "FLOAT": "float",
                "DOUBLE": "double", "DATE": "date", "TIMESTAMP": "timestamp"}


def derived(frame: reader.EmbeddedFrame, sql: str) -> reader.EmbeddedFrame:
    """A frame of the query ``sql`` over ``frame``'s connection, keeping alive what ``frame``
    reads (its files' links, its pandas frame)."""
    return reader.EmbeddedFrame(frame.connection, sql, frame.kept)


class EmbeddedFrames(object):
    """What the command line's checks do to a frame (``prepare.SparkFrames``' methods), on
    DuckDB: the same kinds, projection, missing infinities and cache."""

    def kinds(self, frame: reader.EmbeddedFrame) -> Dict[str, Any]:
        from Tarnwick.cli.prepare import Kind

        kinds = {}
        for name in frame.columns:
            kind, duckdb_type = frame.kind(name), frame.types[name]
            spark_name = _SPARK_NAMES.get(duckdb_type, duckdb_type.lower().replace(" ", ""))
            kinds[name] = Kind(kind in reader.NUMERIC_KINDS, kind == "string",
                               _exact(duckdb_type) is not None, spark_name)
        return kinds

    def project(self, frame: reader.EmbeddedFrame,
                chosen: Sequence[Tuple[str, str, str]]) -> reader.EmbeddedFrame:
        from Tarnwick.cli.prepare import DOUBLE, TEXT

        projection = []
        for name, new, how in chosen:
            value = _q(name)
            if how == DOUBLE:
                value = "CASE WHEN isnan(%s) THEN NULL ELSE %s END" % (_double(name),
                                                                       _double(name))
            elif how == TEXT:
                if frame.kind(name) not in ("integer", "boolean", "string"):
                    raise reader.Unsupported(name, "a %s column as a dimension: its levels as "
                                             "text may be written differently than Spark writes "
                                             "them" % frame.types[name])
                value = "CAST(%s AS VARCHAR)" % value
            projection.append("%s AS %s" % (value, _q(new)))
        return derived(frame, "SELECT %s FROM (%s) AS tw_read" % (", ".join(projection),
                                                                  frame.sql))

    def without_infinities(self, frame: reader.EmbeddedFrame,
                           measures: Sequence[str]) -> reader.EmbeddedFrame:
        chosen = ["CASE WHEN isinf(%s) THEN NULL ELSE %s END AS %s" % (_q(c), _q(c), _q(c))
                  if c in measures and frame.kind(c) == "floating" else _q(c)
                  for c in frame.columns]
        return derived(frame, "SELECT %s FROM (%s) AS tw_finite" % (", ".join(chosen),
                                                                    frame.sql))

    def cache(self, frame: reader.EmbeddedFrame) -> reader.EmbeddedFrame:
        """The rows kept in a temporary table, so that the checks and the tables read no file
        again."""
        table = _q("tw_cache_%d" % id(frame))
        frame.connection.execute("CREATE OR REPLACE TEMP TABLE %s AS %s" % (table, frame.sql))
        return derived(frame, "SELECT * FROM %s" % table)

    def helper(self, frame: reader.EmbeddedFrame) -> None:
        return None  # the analyser's helper is Spark's: the embedded engine runs the one-scan plan
