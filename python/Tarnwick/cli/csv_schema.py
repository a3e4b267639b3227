"""Column types of a small CSV file, found on the driver without a Spark job.

Spark infers the types of a CSV file with two jobs of its own (one reads the header, one reads
every row); for a file of a few hundred rows they cost more than the whole analysis. This module
reads a small local file here and gives the types Spark's inference would give, for the plain
files that make most small inputs: every column either all integers (``int``, or ``bigint`` when
a value does not fit 32 bits), integers and decimal fractions (``double``), or text (``string``:
the column has a value that cannot be a number, a boolean, a date or a timestamp, because it has
no digit and is none of Spark's words for NaN and infinities). Empty fields and the null text
are skipped, as Spark skips them; a column with no value is text.

Whenever a file is anything else (quotes or backslashes, exponents, dates, booleans, numbers
with spaces, rows of another length, a repeated or empty header name, a byte-order mark, not
UTF-8, larger than :data:`LIMIT_BYTES`), :func:`infer` answers None and Spark infers as usual.
So the schema handed to Spark is always the one it would have inferred itself.
"""
from __future__ import annotations

import csv
import os
import re
from typing import Any, List, Optional

#: Files up to this size are inferred here; larger ones by Spark, for which its jobs pay off.
LIMIT_BYTES = 1 << 20

_INTEGER = re.compile(r"[+-]?[0-9]+\Z")
# A decimal fraction with digits after the point: Spark infers double for it ("1." and exponents
# it may infer as a decimal type, so they are left to Spark).
_FRACTION = re.compile(r"[+-]?[0-9]*\.[0-9]+\Z")
# Any decimal digit: Java reads the digits of every script as numbers.
_DIGIT = re.compile(r"\d")
# Texts without digits that Spark's inference still reads as numbers or booleans.
_NOT_TEXT = {"nan", "inf", "+inf", "-inf", "infinity", "+infinity", "-infinity", "true", "false"}

_INT_RANGE = (-(1 << 31), (1 << 31) - 1)
_LONG_RANGE = (-(1 << 63), (1 << 63) - 1)


def _column_type(values: List[str]) -> Optional[str]:
    """Spark's inferred type of a column's non-null values, or None when unsure."""
    kind = None  # "int", "bigint", "double"
    for value in values:
        if _INTEGER.match(value):
            number = int(value)
            if _INT_RANGE[0] <= number <= _INT_RANGE[1]:
                found = "int"
            elif _LONG_RANGE[0] <= number <= _LONG_RANGE[1]:
                found = "bigint"
            else:
                return None  # beyond 64 bits: a decimal type in Spark
        elif _FRACTION.match(value):
            found = "double"
        elif not _DIGIT.search(value) and value.lower() not in _NOT_TEXT:
            return "string"  # text wins over every other type, whatever follows
        else:
            return None
        order = ("int", "bigint", "double")
        if kind is None or order.index(found) > order.index(kind):
            kind = found
    return kind or "string"


def infer(path: str, sep: str = ",", null_value: Optional[str] = None) -> Any:
    """The schema Spark would infer for the local CSV file ``path`` (with a header line), as a
    ``pyspark.sql.types.StructType``; None when Spark has to infer it."""
    if len(sep) != 1 or sep in "\"\\\r\n":
        return None
    try:
        if not os.path.isfile(path) or os.path.getsize(path) > LIMIT_BYTES:
            return None
        with open(path, "rb") as handle:
            raw = handle.read()
        text = raw.decode("utf-8")
    except (OSError, UnicodeDecodeError):
        return None
    if not text or text.startswith("\ufeff") or '"' in text or "\\" in text or "\x00" in text:
        return None
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    rows = [row for row in csv.reader(lines, delimiter=sep, quoting=csv.QUOTE_NONE)
            if row]  # Spark skips blank lines
    if not rows:
        return None
    header = rows[0]
    folded = [name.lower() for name in header]
    if not all(name and name == name.strip() for name in header) or len(set(folded)) != len(folded):
        return None
    columns: List[List[str]] = [[] for _ in header]
    for row in rows[1:]:
        if len(row) != len(header):
            return None
        for values, value in zip(columns, row):
            if value != "" and value != null_value:
                values.append(value)
    found = [_column_type(values) for values in columns]
    if None in found:
        return None
    from pyspark.sql import types

    spark_types = {"int": types.IntegerType, "bigint": types.LongType,
                   "double": types.DoubleType, "string": types.StringType}
    return types.StructType([types.StructField(name, spark_types[kind](), True)
                             for name, kind in zip(header, found)])
