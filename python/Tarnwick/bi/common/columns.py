"""Spark column handling shared by the host layer, the batch plan and the command line.

A column name that comes from the data is only ever a name: :func:`quoted` turns it into the
back-quoted identifier that Spark's ``col`` reads literally (dots, spaces, back-quotes, ``*``
included), and :func:`column` makes the column from it. Which columns are measures and which
are dimensions is decided here once (:func:`is_numeric`, :func:`is_string`), and so is the
analyser's bound on the levels of a dimension (:func:`level_bound`).

Importing this module does not import pyspark; the functions that need it import it on use.
"""
from __future__ import annotations

from decimal import Decimal
from typing import Any, Optional, Sequence, Tuple, Union

__all__ = [
    "DEFAULT_MAX_LEVELS",
    "LEVEL_EXPONENT",
    "approx_levels",
    "DOUBLE_DIGITS",
    "column",
    "exact_type",
    "exact_value",
    "fresh_prefix",
    "measures_as_doubles",
    "is_floating",
    "is_numeric",
    "is_string",
    "level_bound",
    "may_pass_bound",
    "measure_value",
    "quoted",
    "read_as_is",
    "rows_bound",
]

#: The analyser's default cap on the levels of a dimension (``test_all``'s ``max_num_levels``).
DEFAULT_MAX_LEVELS = 40
#: The level bound grows with the row count n as round(n ** LEVEL_EXPONENT).
LEVEL_EXPONENT = 0.35


def quoted(name: str) -> str:
    """``name`` as a back-quoted identifier, which ``col`` reads as exactly that column name."""
    return "`%s`" % str(name).replace("`", "``")


def column(name: str) -> Any:
    """The Spark column named ``name``, read literally (never as an expression or a path)."""
    from pyspark.sql import functions as F

    return F.col(quoted(name))


def read_as_is(name: str) -> bool:
    """True when Spark reads the bare ``name`` (``col(name)``, ``groupby(name)``, as the
    analyser passes it) as exactly that column: not empty, no dot (a struct field), no
    back-quote (quoting) and not ``*`` (every column)."""
    name = str(name)
    return bool(name) and "." not in name and "`" not in name and name != "*"


def is_numeric(data_type: Any) -> bool:
    """True for every Spark numeric type (integers, floating point and decimals)."""
    from pyspark.sql.types import NumericType

    return isinstance(data_type, NumericType)


def is_floating(data_type: Any) -> bool:
    """True for Spark's floating-point types, the ones that can hold NaN and infinities."""
    from pyspark.sql.types import DoubleType, FloatType

    return isinstance(data_type, (DoubleType, FloatType))


def exact_type(data_type: Any) -> Optional[Tuple[int, int]]:
    """(precision, scale) of the decimal type that holds every value of an exact numeric type:
    (20, 0) for Spark's integer types, a decimal's own; None for floating point (and any other
    type)."""
    from pyspark.sql.types import DecimalType, IntegralType

    if isinstance(data_type, IntegralType):
        return 20, 0
    if isinstance(data_type, DecimalType):
        return int(data_type.precision), int(data_type.scale)
    return None


#: The largest integer below which every integer is a double: 2 ** 53.
DOUBLE_DIGITS = 2 ** 53


def is_string(data_type: Any) -> bool:
    """True for Spark's string types (``string``, and ``char(n)``/``varchar(n)`` where present)."""
    from pyspark.sql import types

    string_types = tuple(
        getattr(types, name)
        for name in ("StringType", "CharType", "VarcharType")
        if hasattr(types, name)
    )
    return isinstance(data_type, string_types)


def rows_bound(rows: int) -> int:
    """round(rows ** 0.35): the part of the level bound that follows from the row count."""
    return round(rows ** LEVEL_EXPONENT)


def level_bound(rows: int, max_num_levels: int = DEFAULT_MAX_LEVELS) -> int:
    """The analyser's bound on the levels of a dimension: min(round(rows ** 0.35), cap).

    When the two are equal the cap itself is returned, as the analyser does.
    """
    by_rows = rows_bound(rows)
    return by_rows if by_rows < max_num_levels else max_num_levels


def is_infinite(name: str) -> Any:
    """Whether the value of the numeric column ``name`` is +inf or -inf (null for a null)."""
    from pyspark.sql import functions as F

    return F.abs(column(name).cast("double")) == F.lit(float("inf"))


def measure_value(name: str) -> Any:
    """The measure ``name`` as a double, with NaN and the infinities as null (missing).

    Aggregates skip nulls, so a row whose value is missing drops out of this measure's counts
    and sums only. A NaN or an infinity would instead turn every sum it enters into NaN or an
    infinity, which no analysis of variance can use.
    """
    from pyspark.sql import functions as F

    value = column(name).cast("double")
    finite = ~F.isnan(value) & (F.abs(value) != F.lit(float("inf")))
    return F.when(finite, value)


def exact_value(name: str, exact: Tuple[int, int], base: Union[int, Decimal]) -> Any:
    """The integer or decimal measure ``name`` less ``base``, subtracted in exact decimal
    arithmetic (``exact``: the measure's :func:`exact_type`) and only then made a double.

    Values that differ below double precision (integers beyond 2 ** 53, wide decimals) keep
    their differences as long as they lie within 2 ** 53 units of their last digit of
    ``base``; a value of the column itself (its smallest, say) is a good base. The difference
    has one digit more than the type (a 38-digit decimal with more than six decimals loses
    its last one to Spark's widest decimal).
    """
    from pyspark.sql import functions as F

    kind = "decimal(%d,%d)" % exact
    base_literal = F.lit(str(Decimal(base))).cast(kind)
    return (column(name).cast(kind) - base_literal).cast("double")


def measures_as_doubles(frame: Any, measures: Sequence[str]) -> Any:
    """``frame`` with every column named in ``measures`` cast to double, the others as they
    are (for plans that sum the values as they come and would overflow integer sums)."""
    chosen = set(measures)
    return frame.select(*[column(c).cast("double").alias(c) if c in chosen else column(c)
                          for c in frame.columns])


def _null_level(value: Any) -> Any:
    """Aggregate: 1 when the column holds a null (grouping by it makes a group of the nulls),
    else 0."""
    from pyspark.sql import functions as F

    return F.coalesce(F.max(F.when(value.isNull(), F.lit(1)).otherwise(F.lit(0))), F.lit(0))


def exact_levels(name: str) -> Any:
    """Aggregate: the number of levels of column ``name``, a null counting as one."""
    from pyspark.sql import functions as F

    value = column(name)
    return F.countDistinct(value) + _null_level(value)


def approx_levels(name: str, rsd: float) -> Any:
    """Aggregate: the approximate number of levels of column ``name``, a null counting as one.

    HyperLogLog++ (``approx_count_distinct``, relative standard deviation ``rsd``) counts the
    non-null values; one is added when the column holds a null, as grouping by it makes a group
    of the nulls.
    """
    from pyspark.sql import functions as F

    value = column(name)
    return F.approx_count_distinct(value, rsd=rsd) + _null_level(value)


def may_pass_bound(approximate: int, bound: int, rsd: float) -> bool:
    """Whether a dimension with ``approximate`` levels (from :func:`approx_levels`) could have
    at most ``bound`` levels in fact.

    Only counts beyond every plausible error of the estimate rule a dimension out: more than
    twice the bound plus ten, and more than bound·(1 + 20·rsd). Below a few hundred values
    HyperLogLog++ counts by linear counting on thousands of registers and is all but exact, so
    the margin is wide on purpose; a dimension kept by it is then counted exactly.
    """
    return approximate <= max(2 * bound + 10, bound * (1.0 + 20.0 * rsd))


def fresh_prefix(taken: Any, base: str = "_tw") -> str:
    """A prefix ``base`` + digits + ``_`` that starts none of the names in ``taken``.

    Names made with it (``prefix + "n0"``, ...) cannot collide with a column of the data.
    """
    taken = [str(name) for name in taken]
    number = 0
    while True:
        prefix = "%s%d_" % (base, number)
        if not any(name.startswith(prefix) for name in taken):
            return prefix
        number += 1
