"""Shared pieces of Tarnwick's statistics layer: a Spark data-frame helper, argument checking
(``decorators``) and the analysis-of-variance result objects (``results``).

Importing this package is cheap: pyspark is imported only when a helper first talks to Spark.
"""
from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Dict, List, Optional, Sequence, Tuple

from .columns import column as _column, exact_levels, is_numeric, is_string, quoted, read_as_is

if TYPE_CHECKING:  # pragma: no cover
    from pyspark.sql import DataFrame

__all__ = ["DataFrameHelper", "default_columns"]


def default_columns(fields: Sequence[Tuple[str, bool, bool]],
                    stacklevel: int = 2) -> Tuple[List[str], List[str]]:
    """The default measures and dimensions of a frame, whatever its engine: the numeric and
    the string columns in frame order, less those whose names Spark would read as expressions
    (with a ``UserWarning`` that names them).

    Parameters
    ----------
    fields : sequence of (name, numeric, string)
        Every column of the frame, in order, with whether it is numeric and whether a string.
    stacklevel : int
        Of the warning: 1 is the caller of this function, 2 its caller, and so on.

    Returns
    -------
    (list of str, list of str)
        The numeric and the string columns.

    Examples
    --------
    >>> default_columns([("sales", True, False), ("region", False, True), ("ok", False, False)])
    (['sales'], ['region'])
    """
    unreadable = [name for name, numeric, string in fields
                  if not read_as_is(name) and (numeric or string)]
    if unreadable:
        warnings.warn(
            "left out of the default measures and dimensions, as Spark would read their "
            "names as expressions: %s; rename them (DataFrame.withColumnRenamed) to "
            "analyse them" % ", ".join(quoted(n) for n in unreadable),
            UserWarning,
            stacklevel=stacklevel + 1,
        )
    kept = [field for field in fields if read_as_is(field[0])]
    return ([name for name, numeric, _ in kept if numeric],
            [name for name, _, string in kept if string])


class DataFrameHelper(object):
    """Facts about a Spark data frame that the analysis asks for repeatedly.

    The row count, the number of distinct values of every string column and the number of
    non-null values of every numeric column are computed together in one Spark aggregation the
    first time any is needed, and answered from a cache after that. A column outside that set (a numeric column used as a dimension, say) is counted on its
    own the first time it is asked about, and cached too.

    Parameters
    ----------
    spark_df : pyspark.sql.DataFrame
        The frame under analysis. Its schema is read once, at construction.

    Notes
    -----
    A null counts as a value of its own in :meth:`get_num_unique_values`, because grouping by a
    column puts the rows whose value is null into a group of their own: the count is then the
    number of rows the level table of that column will have. Counting is exact (Spark's
    ``count(DISTINCT ...)``), since the count decides whether a dimension passes a level bound.

    The two column lists are the analyser's default measures and dimensions, and the analyser
    hands each name to Spark as it is. A column whose name Spark would read as something else
    (a dot: a struct field; a back-quote: quoting; ``*``: every column) is therefore left out of
    both lists, with a ``UserWarning`` naming it; rename such columns to analyse them.

    Examples
    --------
    >>> from Tarnwick.bi.common import DataFrameHelper
    >>> df = spark.createDataFrame(
    ...     [("north", "mon", 12.0), ("south", "mon", 9.0), ("south", None, None)],
    ...     "region string, day string, sales double")
    >>> helper = DataFrameHelper(df)
    >>> helper.get_numeric_columns(), helper.get_string_columns()
    (['sales'], ['region', 'day'])
    >>> helper.get_num_rows(), helper.get_num_unique_values("day"), helper.get_num_values("sales")
    (3, 2, 2)
    """

    def __init__(self, spark_df: "DataFrame") -> None:
        self._data_frame = spark_df
        self._numeric_columns, self._string_columns = default_columns(
            [(f.name, is_numeric(f.dataType), is_string(f.dataType))
             for f in spark_df.schema.fields], stacklevel=2)
        self._num_rows: Optional[int] = None
        self._num_unique: Dict[str, int] = {}
        self._num_values: Dict[str, int] = {}

    @property
    def data_frame(self) -> "DataFrame":
        """The Spark data frame this helper describes."""
        return self._data_frame

    def get_numeric_columns(self) -> List[str]:
        """Names of the numeric columns (every Spark numeric type, decimals included), in frame
        order. A new list on each call."""
        return list(self._numeric_columns)

    def get_string_columns(self) -> List[str]:
        """Names of the string columns, in frame order. A new list on each call."""
        return list(self._string_columns)

    def get_num_rows(self) -> int:
        """Number of rows of the frame (computed once, with the distinct counts)."""
        if self._num_rows is None:
            self._profile(self._string_columns)
        assert self._num_rows is not None
        return self._num_rows

    def get_num_unique_values(self, column: str) -> int:
        """Number of distinct values of ``column``, a null counting as one value of its own.

        Parameters
        ----------
        column : str
            A column name of the frame.

        Returns
        -------
        int
        """
        if column not in self._num_unique:
            if self._num_rows is None:
                # First use: profile every string column at once, and this one if it is not one.
                wanted = list(self._string_columns)
                if column not in wanted:
                    wanted.append(column)
                self._profile(wanted)
            else:
                self._profile([column])
        return self._num_unique[column]

    def get_num_values(self, column: str) -> int:
        """Number of non-null values of ``column``.

        The numeric columns are counted in the same aggregation as the row count; any other
        column on its own the first time it is asked about. Cached.
        """
        if column not in self._num_values:
            if self._num_rows is None:
                self._profile(self._string_columns)
            if column not in self._num_values:
                self._profile([], [column])
        return self._num_values[column]

    def _profile(self, columns: List[str], counted: Optional[List[str]] = None) -> None:
        """One aggregation: the row count; per column of ``columns``, distinct non-null values
        plus one if the column has a null; per column of ``counted`` (by default, on the first
        profile, the numeric columns), its non-null values."""
        from pyspark.sql import functions as F

        if counted is None:
            counted = list(self._numeric_columns) if self._num_rows is None else []
        expressions = [F.count(F.lit(1)).alias("rows")]
        expressions += [exact_levels(name).alias("d%d" % i) for i, name in enumerate(columns)]
        expressions += [F.count(_column(name)).alias("v%d" % i) for i, name in enumerate(counted)]
        row = self._data_frame.agg(*expressions).collect()[0]
        self._num_rows = int(row[0])
        for i, name in enumerate(columns):
            self._num_unique[name] = int(row[1 + i])
        for i, name in enumerate(counted):
            self._num_values[name] = int(row[1 + len(columns) + i])

    def __repr__(self) -> str:
        return "DataFrameHelper(numeric=%r, string=%r, rows=%s)" % (
            self._numeric_columns,
            self._string_columns,
            "?" if self._num_rows is None else self._num_rows,
        )
