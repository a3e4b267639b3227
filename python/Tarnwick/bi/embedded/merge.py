"""Stage 2 of the tables' query in DuckDB, over a table of cells.

The embedded engine's stage 1 leaves its cells in a DuckDB table (see ``tables.EmbeddedScan``).
Spark's stage 1 brings its cells to this process when they are few (:class:`CollectedCells`):
merging a few hundred cells takes DuckDB milliseconds, where Spark plans, compiles and runs half
a dozen stages for them. Both then run the same text,
:func:`~Tarnwick.bi.stats.onescan.merge_query` in DuckDB's dialect, so the merge has one home.
"""
from __future__ import annotations

import math
from typing import Any, Dict, Hashable, List, Optional, Sequence, Tuple

from Tarnwick.bi.embedded import reader
from Tarnwick.bi.stats import onescan

__all__ = ["CollectedCells", "DuckDBDialect", "DUCKDB", "merged_rows"]

_q = reader._identifier


class DuckDBDialect(onescan.Dialect):
    """The merge's SQL text as DuckDB reads it: double-quoted identifiers, no hints."""

    functions = dict(onescan.Dialect.functions, grouping="GROUPING")

    def quote(self, name: str) -> str:
        return _q(name)

    def broadcast_hint(self, relation: str) -> str:
        return ""

    def reading_all(self, rows: str, read: Sequence[str]) -> str:
        return ""  # the cells are a table: reading fewer of its columns computes nothing

    def call(self, role: str, *arguments: str) -> str:
        if role == "sqrt":
            # Spark's root of a negative number is NaN (an M2 that lost every digit makes the
            # error bound NaN, and the merge imprecise); DuckDB's would be an error.
            (value,) = arguments
            return "CASE WHEN %s < 0 THEN CAST('NaN' AS DOUBLE) ELSE SQRT(%s) END" % (value, value)
        return super().call(role, *arguments)


DUCKDB = DuckDBDialect()


def merged_rows(connection: Any, table: str, names: Any, dimensions: int, measures: int,
                corrections: int, most: Optional[int],
                one_pass: bool = False) -> Optional[List[tuple]]:
    """Stage 2 over the cells in ``table`` (a quoted name): the rows of every grouping set
    (see ``onescan.merge_query``, or with ``one_pass`` ``onescan.shifted_merge_query``), or
    None when there are more than ``most`` of them."""
    keys = [names.key(i) for i in range(dimensions)]
    if not keys:  # one cell: the overall set, nothing to merge
        chosen = [_q(names.rows())]
        for j in range(measures):
            n, c, w, m2 = (_q(names.moment(what, j)) for what in ("n", "c", "w", "m2"))
            chosen += [n, "%s + %s" % (c, w), m2, "0.0", "0.0", "0.0"]
            chosen += [_q(names.moment(what, j)) for what, _ in onescan.CARRIED]
        return reader._rows(connection, "SELECT %s FROM %s" % (", ".join(chosen), table))
    text = onescan.merge_query(keys, [names.flag(i) for i in range(len(keys))], names.rows(),
                               measures, names.moment, cells=table, corrections=corrections,
                               dialect=DUCKDB, carried=onescan.CARRIED, one_pass=one_pass)
    if most is None:
        return reader._rows(connection, text)
    rows = reader._rows(connection, "SELECT * FROM (%s) AS tw_rolled LIMIT %d" % (text, most + 1))
    return None if len(rows) > most else rows


def _order_of(level: Any) -> Tuple[str, str]:
    """A sort key of a level of any type: not an order that means anything, one that is
    always the same."""
    return ("", "") if level is None else (type(level).__name__, repr(level))


class CollectedCells(object):
    """Spark's stage-1 cells in a DuckDB table of this process, merged there.

    The dimensions' levels go in as codes (a level is only ever a value of the table, never
    text of a query, and keeps its Python type), the numbers as DuckDB types that hold them
    exactly: integers as BIGINT, decimals as DECIMAL of the same precision and scale, doubles
    as DOUBLE with NaN kept apart from null.

    Parameters
    ----------
    rows : list of Row
        The collected cells, their key columns first.
    fields : list of (name, Spark type)
        The cells' columns.
    dimensions : int
        How many key columns lead each row.
    """

    def __init__(self, rows: Sequence[Any], fields: Sequence[Any], dimensions: int) -> None:
        import pandas as pd

        self.dimensions = dimensions
        self.connection = reader.connect()
        # The same cells merge to the same rows, bit for bit, whatever order Spark gave them
        # in: they go in sorted by their levels, and one thread sums them (the order of a sum
        # decides its last digits).
        self.connection.execute("SET threads = 1")
        rows = sorted(rows, key=lambda row: tuple(_order_of(v) for v in row[:dimensions]))
        self.table = _q("tw_cells")
        self.levels: List[List[Any]] = []
        data: Dict[str, Any] = {}
        declared = []
        for index, (name, data_type) in enumerate(fields):
            values = [row[index] for row in rows]
            if index < dimensions:
                codes: Dict[Hashable, int] = {}
                levels: List[Any] = []
                coded = []
                for value in values:
                    if value is None:
                        coded.append(None)
                        continue
                    key = onescan.level_key(value)
                    if key not in codes:
                        codes[key] = len(levels)
                        levels.append(value)
                    coded.append(codes[key])
                self.levels.append(levels)
                column, kind = pd.array(coded, dtype="Int64"), "BIGINT"
            else:
                column, kind = _numbers(values, data_type)
            data["c%d" % index] = column
            declared.append("%s %s" % (_q(name), kind))
        frame = pd.DataFrame(data, index=range(len(rows)))
        self.connection.execute("CREATE TABLE %s (%s)" % (self.table, ", ".join(declared)))
        self.connection.register("tw_collected", frame)
        self.connection.execute("INSERT INTO %s SELECT * FROM tw_collected" % self.table)
        self.connection.unregister("tw_collected")

    def merged(self, names: Any, measures: int, corrections: int,
               most: Optional[int]) -> Optional[List[tuple]]:
        """Stage 2 over these cells (see :func:`merged_rows`), each level as Spark gave it."""
        rows = merged_rows(self.connection, self.table, names, self.dimensions, measures,
                           corrections, most)
        if rows is None:
            return None
        k = self.dimensions
        return [tuple(None if code is None else self.levels[i][code]
                      for i, code in enumerate(row[:k])) + tuple(row[k:]) for row in rows]


def _numbers(values: List[Any], data_type: Any) -> Any:
    """A column of numbers as DuckDB takes it in exactly, and the type it is declared as."""
    import numpy as np
    import pandas as pd
    from pyspark.sql.types import DecimalType, DoubleType, FloatType, IntegralType

    if isinstance(data_type, IntegralType):
        return pd.array(values, dtype="Int64"), "BIGINT"
    if isinstance(data_type, DecimalType):
        # As text: read back into a DECIMAL of the same scale, digit for digit.
        return (pd.Series([None if v is None else str(v) for v in values], dtype=object),
                "DECIMAL(%d, %d)" % (data_type.precision, data_type.scale))
    if isinstance(data_type, (DoubleType, FloatType)):
        if any(v is not None and math.isnan(v) for v in values):
            # DuckDB reads a NaN of a float column as null: the text "nan" stays NaN.
            return (pd.Series([None if v is None else repr(float(v)) for v in values],
                              dtype=object), "DOUBLE")
        return np.array([np.nan if v is None else v for v in values], dtype=float), "DOUBLE"
    raise TypeError("no exact DuckDB type for a cell column of %s" % data_type.simpleString())
