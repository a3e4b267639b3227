"""Reading local CSV, Parquet and JSON files into DuckDB exactly as the command line's Spark
reader reads them.

:func:`read_file` gives the relation of a file, a directory or a glob pattern with the column
names, column types, nulls, NaN, infinities and -0.0 that Spark gives for the same input with
the options of :func:`Tarnwick.cli.reader.read_file` (header line, inferred types, ``"`` as
quote and doubled quote as escape, a null text, Hadoop's glob patterns with ``--glob``).

Where the two engines would not agree, nothing is guessed: :class:`Unsupported` is raised with
the reason, so that the caller can refuse the file or read it with Spark instead. Among those:
CSV values Spark reads as a decimal, a date, a timestamp or a number written in an unusual form,
quoted fields across lines (Spark reads CSV line by line), rows of another length, JSON lines
that are not records, nested values, Parquet types other than numbers, text and booleans, and
directories with subdirectories (Spark's partition discovery).

A name from the data is only ever a name: DuckDB sees every file through a symbolic link with a
plain name in a private directory, every text from the user or the data enters SQL as a quoted
literal or a quoted identifier, and the relation's columns carry the data's names as quoted
aliases.
"""
from __future__ import annotations

import collections

import gzip
import json
import os
import re
import tempfile
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from Tarnwick.cli import reader as spark_reader
from Tarnwick.cli.errors import InputError, first_line

__all__ = ["EmbeddedFrame", "Unsupported", "connect", "expand_glob", "kind_of", "read_file",
           "spark_header"]

#: Most columns Spark's CSV parser accepts in a row.
MAX_CSV_COLUMNS = 20480

_INTEGER_TYPES = {"TINYINT", "SMALLINT", "INTEGER", "BIGINT", "UTINYINT", "USMALLINT", "UINTEGER"}
_FLOATING_TYPES = {"FLOAT", "DOUBLE"}
# Compressed text files DuckDB reads by their suffix, and how to open them here.
_COMPRESSED = {".gz": gzip.open}
# Texts that Spark's CSV reader takes for NaN and the infinities (Java's number syntax, and the
# reader's default words "NaN", "Inf" and "-Inf").
_NAN_WORDS = ("NaN", "+NaN", "-NaN")
_INF_WORDS = ("Inf", "Infinity", "+Infinity")
_MINUS_INF_WORDS = ("-Inf", "-Infinity")


class Unsupported(Exception):
    """The embedded reader cannot give the frame that Spark gives for this input.

    ``reason`` says why in one line (a column's type or a format detail); the caller refuses
    the input or reads it with Spark.
    """

    def __init__(self, path: str, reason: str):
        super().__init__("%s: %s" % (path, reason))
        self.path = path
        self.reason = reason


class EmbeddedFrame:
    """A DuckDB relation read from files, with the column names and types Spark would give.

    Attributes
    ----------
    connection : duckdb.DuckDBPyConnection
        The connection the relation belongs to.
    relation : duckdb.DuckDBPyRelation
        The rows, one column per data column, named as in the data.
    sql : str
        The relation's query, for use as a subquery.
    columns : list of str
        The column names, in Spark's order.
    types : dict
        DuckDB's type name of every column.
    """

    def __init__(self, connection, sql: str, kept: Any):
        self.connection = connection
        self.sql = sql
        self.relation = connection.sql(sql)
        self.columns = list(self.relation.columns)  # type: List[str]
        self.types = {name: str(kind) for name, kind in zip(self.columns, self.relation.types)}
        # What the query reads (the directory of the files' links, a registered pandas
        # frame): it lives as long as the frame.
        self.kept = kept

    def kind(self, name: str) -> str:
        """How the analysis sees column ``name``: see :func:`kind_of`."""
        return kind_of(self.types[name])

    def head(self, columns: Sequence[str], rows: int) -> List[tuple]:
        """The first ``rows`` rows of ``columns`` (DuckDB reads no more than it needs)."""
        return _rows(self.connection, "SELECT %s FROM (%s) LIMIT %d" % (
            ", ".join(_identifier(c) for c in columns), self.sql, rows))


#: The kinds (see ``kind_of``) of the columns that hold numbers: the candidate measures.
NUMERIC_KINDS = frozenset(("integer", "floating", "decimal"))


def kind_of(duckdb_type: str) -> str:
    """The kind of a DuckDB column type as the analysis sees it.

    Parameters
    ----------
    duckdb_type : str
        A type name such as ``INTEGER``, ``DOUBLE`` or ``DECIMAL(20,0)``.

    Returns
    -------
    str
        ``integer``, ``floating``, ``decimal``, ``string``, ``boolean`` or ``other``.

    Examples
    --------
    >>> kind_of("BIGINT"), kind_of("DECIMAL(38,2)"), kind_of("VARCHAR")
    ('integer', 'decimal', 'string')
    """
    name = duckdb_type.upper()
    if name in _INTEGER_TYPES:
        return "integer"
    if name in _FLOATING_TYPES:
        return "floating"
    if name.startswith("DECIMAL"):
        return "decimal"
    if name == "VARCHAR":
        return "string"
    if name == "BOOLEAN":
        return "boolean"
    return "other"


# -- SQL text ----------------------------------------------------------------------------------


def _literal(text: str) -> str:
    """``text`` as a DuckDB string literal (no escapes but the doubled quote)."""
    if "\x00" in text:
        raise InputError("a text with a NUL character cannot be used: %r" % text)
    return "'%s'" % text.replace("'", "''")


def _identifier(name: str) -> str:
    """``name`` as a quoted DuckDB identifier, read as exactly that name."""
    if "\x00" in name:
        raise InputError("a column name with a NUL character cannot be used: %r" % name)
    return '"%s"' % name.replace('"', '""')


def _rows(connection, sql: str) -> List[tuple]:
    """Every row of a query, its result finished (newer DuckDB refuses further work on a
    connection while a result is open)."""
    return connection.execute(sql).fetchall()


def _row(connection, sql: str) -> tuple:
    return _rows(connection, sql)[0]


def _texts(values: Iterable[str]) -> str:
    return ", ".join(_literal(v) for v in values)


# -- files -------------------------------------------------------------------------------------


def _glob_regex(component: str) -> Optional["re.Pattern"]:
    """A regular expression for one path component of a Hadoop glob pattern, or None when the
    component has no wildcard (it is then a name with backslash escapes)."""
    out = []
    wildcard = False
    braces = 0
    in_set = False
    i = 0
    while i < len(component):
        c = component[i]
        if c == "\\":
            i += 1
            if i == len(component):
                raise InputError("the pattern ends in an escaping backslash: %s" % component)
            out.append(re.escape(component[i]))
        elif c == "*":
            out.append(".*")
            wildcard = True
        elif c == "?":
            out.append(".")
            wildcard = True
        elif c == "{":
            out.append("(?:")
            braces += 1
            wildcard = True
        elif c == "," and braces:
            out.append("|")
        elif c == "}" and braces:
            out.append(")")
            braces -= 1
        elif c == "[" and not in_set:
            out.append("[")
            in_set = wildcard = True
            if component[i + 1:i + 2] in ("!", "^"):
                out.append("^")
                i += 1
        elif c == "]" and in_set:
            out.append("]")
            in_set = False
        elif in_set:
            out.append(c if c.isalnum() or c == "-" else "\\" + c)
        else:
            out.append(re.escape(c))
        i += 1
    if braces or in_set:
        raise InputError("the pattern has an unclosed %s: %s" % ("{" if braces else "[", component))
    if not wildcard:
        return None
    return re.compile("".join(out), re.S)


def _unescape(component: str) -> str:
    return re.sub(r"\\(.)", r"\1", component, flags=re.S)


def expand_glob(pattern: str) -> List[str]:
    """The paths that Hadoop's glob ``pattern`` matches, sorted, each wildcard within one path
    component (``*``, ``?``, ``[abc]``, ``[^a]``, ``{a,b}``, ``\\`` escaping).

    Parameters
    ----------
    pattern : str
        A local path pattern; a brace group may not hold a ``/``.

    Returns
    -------
    list of str
        Existing files and directories; empty when nothing matches.

    Examples
    --------
    >>> expand_glob("/nonexistent/{a,b}[0-9].csv")
    []
    """
    if re.search(r"\{[^}]*/", pattern):
        raise Unsupported(pattern, "a brace group of the pattern holds a '/'")
    absolute = pattern.startswith("/")
    found = ["/" if absolute else "."]
    for component in [c for c in pattern.split("/") if c]:
        regex = _glob_regex(component)
        step = []
        for base in found:
            if regex is None:
                candidate = os.path.join(base, _unescape(component))
                if os.path.exists(candidate):
                    step.append(candidate)
            elif os.path.isdir(base):
                step.extend(os.path.join(base, name) for name in sorted(os.listdir(base))
                            if regex.fullmatch(name))
        found = step
    return [os.path.normpath(path) for path in found]


def _files_of(path: str, glob: bool) -> List[str]:
    """The data files Spark reads for ``path`` (a literal path, or a pattern with ``glob``)."""
    if not spark_reader.is_local_path(path):
        raise Unsupported(path, "only Spark reads this kind of URI")
    local = path[len("file://"):] if path.startswith("file://") else path
    if glob:
        roots = expand_glob(local)
        if not roots:
            raise InputError("the pattern %s matches no file" % path)
    elif not os.path.exists(local):
        raise InputError("no such file or directory: %s" % path)
    else:
        roots = [local]
    files = []  # type: List[str]
    for root in roots:
        if os.path.isdir(root):
            found = spark_reader._data_files(root)
            if any(os.path.dirname(f) != root.rstrip("/") for f in found):
                raise Unsupported(path, "the directory has subdirectories, which Spark reads "
                                        "through partition discovery")
            files.extend(found)
        elif not os.path.basename(root).startswith((".", "_")):
            files.append(root)
        elif not glob:
            # Spark 3 leaves such a file out even when named, Spark 4 reads it.
            raise Unsupported(path, "Spark versions differ on reading a file named with a "
                                    "leading '_' or '.'")
    files = [f for f in files if os.path.getsize(f) > 0]  # an empty file adds no rows
    if not files:
        raise InputError("%s holds no data" % path)
    return files


def _link_all(files: Sequence[str], suffix: str) -> Tuple["tempfile.TemporaryDirectory", List[str]]:
    """Symbolic links with plain names to ``files``, so that DuckDB reads exactly those files
    (DuckDB expands glob characters in the paths it is given)."""
    links = tempfile.TemporaryDirectory(prefix="tarnwick-embedded-")
    paths = []
    for number, target in enumerate(files):
        extension = suffix + _compression_of(target)
        link = os.path.join(links.name, "f%d%s" % (number, extension))
        os.symlink(os.path.abspath(target), link)
        paths.append(link)
    return links, paths


def _compression_of(path: str) -> str:
    lower = path.lower()
    for suffix in spark_reader._COMPRESSION:
        if lower.endswith(suffix):
            if suffix not in _COMPRESSED:
                raise Unsupported(path, "the embedded reader reads no %s files" % suffix)
            return suffix
    return ""


def _open_text(path: str):
    opener = _COMPRESSED.get(_compression_of(path), open)
    return opener(path, "rt", encoding="utf-8-sig", newline="")


def _duckdb_error(path: str, exc: Exception) -> Unsupported:
    return Unsupported(path, "DuckDB cannot read it as Spark does: %s" % first_line(exc, type(exc).__name__))


# -- CSV ---------------------------------------------------------------------------------------


def spark_header(fields: Sequence[str], null_value: Optional[str] = None) -> List[str]:
    """The column names Spark gives a CSV header line's fields: an empty field or the null
    text becomes ``_c`` + its position, and a name that occurs more than once (ignoring case)
    gets its position appended.

    Examples
    --------
    >>> spark_header(["a", "A", "", "b"])
    ['a0', 'A1', '_c2', 'b']
    """
    # Counted once (a header may hold hundreds of thousands of fields).
    counts = collections.Counter(name.lower() for name in fields)
    repeated = {name for name, count in counts.items() if count > 1}
    names = []
    for index, name in enumerate(fields):
        if name == "" or name == null_value:
            names.append("_c%d" % index)
        elif name.lower() in repeated:
            names.append("%s%d" % (name, index))
        else:
            names.append(name)
    return names


def _header_fields(path: str, sep: str) -> List[str]:
    import csv

    try:
        with _open_text(path) as handle:
            line = handle.readline()
    except (UnicodeDecodeError, OSError) as exc:
        raise Unsupported(path, "its first line cannot be read as UTF-8 text: %s" % first_line(exc))
    line = line.rstrip("\r\n")
    if not line:
        raise Unsupported(path, "its first line is blank (Spark and DuckDB look for the header "
                                "line differently)")
    if line.count('"') % 2:
        raise Unsupported(path, "its header line has a quoted field across lines; Spark reads "
                                "CSV line by line")
    rows = list(csv.reader([line], delimiter=sep, quotechar='"', doublequote=True))
    return rows[0] if rows else []


# The value classes of a CSV column, as bits: Spark's inferred type follows from which occur.
_INT, _LONG, _DECIMAL, _DOUBLE, _BOOLEAN, _TEXT, _OTHER, _MULTILINE, _LONG_FIELD = (
    1 << k for k in range(9))


def _csv_class(value: str, missing: str) -> str:
    """SQL: the class bit of the text ``value`` (0 for a missing value)."""
    specials = _texts(_NAN_WORDS + _INF_WORDS + _MINUS_INF_WORDS)
    # Java's number parser trims characters up to U+0020 around a number.
    trimmed = "regexp_replace(%s, '^[\\x{0}-\\x{20}]+|[\\x{0}-\\x{20}]+$', '', 'g')" % value
    return (
        "CASE WHEN {v} IS NULL OR {v} = '' OR {v} = {missing} THEN 0"
        " WHEN length({v}) > {limit} THEN {long_field}"
        " WHEN contains({v}, chr(10)) OR contains({v}, chr(13)) THEN {multiline}"
        " WHEN regexp_full_match({v}, '[+-]?[0-9]+') THEN"
        "  CASE WHEN TRY_CAST({v} AS INTEGER) IS NOT NULL THEN {int}"
        "  WHEN TRY_CAST({v} AS BIGINT) IS NOT NULL THEN {long} ELSE {decimal} END"
        " WHEN regexp_full_match({v}, '[+-]?[0-9]+[.]') THEN {decimal}"
        " WHEN regexp_full_match({v}, '[+-]?([0-9]*[.][0-9]+|[0-9]+[.]?)([eE][+-]?[0-9]+)?')"
        "  OR {v} IN ({specials}) THEN {double}"
        " WHEN lower({v}) IN ('true', 'false') THEN {boolean}"
        " WHEN NOT regexp_matches({v}, '\\p{{Nd}}') AND {trimmed} NOT IN ({specials}) THEN {text}"
        " ELSE {other} END"
    ).format(v=value, missing=missing, limit=spark_reader.MAX_CSV_FIELD, long_field=_LONG_FIELD,
             multiline=_MULTILINE, int=_INT, long=_LONG, decimal=_DECIMAL, double=_DOUBLE,
             specials=specials, boolean=_BOOLEAN, trimmed=trimmed, text=_TEXT, other=_OTHER)


def _csv_type(bits: int) -> Optional[str]:
    """Spark's inferred type of a column whose values fall in the classes ``bits``, as a
    DuckDB type; None when the embedded reader cannot give it."""
    if bits & _TEXT:
        return "VARCHAR"  # text wins over every other type
    if bits & _OTHER:
        return None
    if bits & _BOOLEAN:
        return "BOOLEAN" if bits == _BOOLEAN else None
    if bits & _DOUBLE:
        return "DOUBLE"
    if bits & _DECIMAL:
        return None  # a decimal type in Spark
    if bits & _LONG:
        return "BIGINT"
    if bits & _INT:
        return "INTEGER"
    return "VARCHAR"  # no value at all


def _csv_value(value: str, missing: str, duckdb_type: str) -> str:
    """SQL: the text ``value`` converted as Spark converts it to ``duckdb_type``."""
    if duckdb_type == "VARCHAR":
        return "CASE WHEN %s = %s THEN NULL ELSE %s END" % (value, missing, value)
    if duckdb_type == "DOUBLE":
        converted = (
            "CASE WHEN {v} IN ({nan}) THEN CAST('NaN' AS DOUBLE)"
            " WHEN {v} IN ({inf}) THEN CAST('Infinity' AS DOUBLE)"
            " WHEN {v} IN ({minus_inf}) THEN CAST('-Infinity' AS DOUBLE)"
            " ELSE CAST({v} AS DOUBLE) END"
        ).format(v=value, nan=_texts(_NAN_WORDS), inf=_texts(_INF_WORDS),
                 minus_inf=_texts(_MINUS_INF_WORDS))
    elif duckdb_type == "BOOLEAN":
        converted = "lower(%s) = 'true'" % value
    else:
        converted = "CAST(%s AS %s)" % (value, duckdb_type)
    # A quoted empty field left by a null text of its own: not a number, so missing.
    return "CASE WHEN %s = '' OR %s = %s THEN NULL ELSE %s END" % (value, value, missing, converted)


def _read_csv(connection, shown: str, files: List[str], sep: str, null_value: Optional[str]):
    if len(sep) != 1 or sep in "\"\r\n\x00":
        raise Unsupported(shown, "the embedded reader takes a separator of one character "
                                 "other than a quote or a line break")
    headers = [_header_fields(f, sep) for f in files]
    if any(h != headers[0] for h in headers):
        raise Unsupported(shown, "its files have different header lines (Spark takes the "
                                 "columns of one file by position)")
    names = spark_header(headers[0], null_value)
    if not names:
        raise InputError("%s has no columns" % shown)
    if len(names) > MAX_CSV_COLUMNS:
        raise Unsupported(shown, "more than %d columns, beyond Spark's CSV parser" % MAX_CSV_COLUMNS)
    _check_names(shown, names)
    links, paths = _link_all(files, ".csv")
    raw = ["c%d" % i for i in range(len(names))]
    missing = _literal("" if null_value is None else null_value)
    nulls = [""] + ([null_value] if null_value else [])
    source = (
        "read_csv([%s], header = true, auto_detect = false, columns = {%s}, delim = %s, "
        "quote = '\"', escape = '\"', nullstr = [%s], allow_quoted_nulls = false)"
        % (_texts(paths), ", ".join("%s: 'VARCHAR'" % _literal(c) for c in raw), _literal(sep),
           _texts(nulls))
    )
    try:
        classes = _row(connection, "SELECT %s FROM %s" % (
            ", ".join("bit_or(%s)" % _csv_class(c, missing) for c in raw), source))
    except Exception as exc:  # duckdb's errors share no base class across its versions
        raise _duckdb_error(shown, exc) from exc
    bits = [int(b or 0) for b in classes]
    for name, column_bits in zip(names, bits):
        if column_bits & _MULTILINE:
            raise Unsupported(shown, "column %r has a quoted field across lines; Spark reads "
                                     "CSV line by line" % name)
        if column_bits & _LONG_FIELD:
            raise Unsupported(shown, "column %r has a field longer than Spark reads (%d "
                                     "characters)" % (name, spark_reader.MAX_CSV_FIELD))
    projection = []
    for c, name, column_bits in zip(raw, names, bits):
        duckdb_type = _csv_type(column_bits)
        if duckdb_type is None:
            raise Unsupported(shown, "column %r: %s" % (name, _csv_refusal(
                connection, source, c, missing, column_bits)))
        projection.append("%s AS %s" % (_csv_value(c, missing, duckdb_type), _identifier(name)))
    return EmbeddedFrame(connection, "SELECT %s FROM %s" % (", ".join(projection), source), links)


def _csv_refusal(connection, source: str, column: str, missing: str, bits: int) -> str:
    """Why a column's Spark type is out of reach, with one of its values as an example."""
    if bits & _OTHER:
        wanted, why = _OTHER, "Spark reads a value like %s as a type or number form the embedded reader does not"
    elif bits & _BOOLEAN:
        wanted, why = _BOOLEAN, "booleans mixed with numbers (such as %s) are read differently by Spark"
    else:
        wanted, why = _DECIMAL, "Spark reads it as a decimal type (a value like %s)"
    example = _row(connection, "SELECT min(%s) FROM %s WHERE (%s) = %d" % (
        column, source, _csv_class(column, missing), wanted))[0]
    return why % repr(example[:40] if example else example)


# -- Parquet -----------------------------------------------------------------------------------


def _read_parquet(connection, shown: str, files: List[str]):
    links, paths = _link_all(files, ".parquet")
    schemas = []
    try:
        for path in paths:
            schemas.append(_rows(connection, "DESCRIBE SELECT * FROM read_parquet(%s, "
                                             "binary_as_string = false)" % _literal(path)))
    except Exception as exc:
        raise _duckdb_error(shown, exc) from exc
    if any(s != schemas[0] for s in schemas):
        raise Unsupported(shown, "its files have different schemas")
    names = [row[0] for row in schemas[0]]
    _check_names(shown, names)
    for name, duckdb_type in ((row[0], str(row[1])) for row in schemas[0]):
        if kind_of(duckdb_type) == "other":
            raise Unsupported(shown, "column %r has type %s, which the embedded reader does not "
                                     "read as Spark does" % (name, duckdb_type))
    sql = "SELECT %s FROM read_parquet([%s], binary_as_string = false, hive_partitioning = false)" % (
        ", ".join(_identifier(n) for n in names), _texts(paths))
    return EmbeddedFrame(connection, sql, links)


# -- JSON --------------------------------------------------------------------------------------


def _pointer(key: str) -> str:
    """The JSON pointer to member ``key`` of an object, as a SQL literal."""
    return _literal("/" + key.replace("~", "~0").replace("/", "~1"))


def _spark_order(key: str) -> bytes:
    # Spark sorts the fields of an inferred JSON schema by their UTF-16 code units.
    return key.encode("utf-16-be", "surrogatepass")


def _json_lines_are_records(files: Sequence[str]) -> Optional[bool]:
    """Whether the non-blank lines of ``files`` are JSON records: True for all of them, False
    for none (Spark then reads each file as one document), None for some."""
    seen = set()
    for path in files:
        with _open_text(path) as handle:
            for line in handle:
                if not line.strip():
                    continue
                try:
                    seen.add(isinstance(json.loads(line), (dict, list)))
                except ValueError:
                    seen.add(False)
                if len(seen) > 1:
                    return None
    return seen.pop() if seen else True


def _read_json(connection, shown: str, files: List[str]):
    links, paths = _link_all(files, ".json")
    lines = _json_lines_are_records(files)
    if lines is None:
        raise Unsupported(shown, "some of its lines are not JSON records; Spark keeps them in a "
                                 "_corrupt_record column")
    layout = "newline_delimited" if lines else "unstructured"
    values = "SELECT json AS r FROM read_json_objects([%s], format = %s)" % (
        _texts(paths), _literal(layout))
    # A top-level array holds one record per element.
    records = ("(SELECT r FROM (%s) WHERE json_type(r) <> 'ARRAY' UNION ALL "
               "SELECT unnest(from_json(r, '[\"json\"]')) FROM (%s) WHERE json_type(r) = 'ARRAY')"
               % (values, values))
    try:
        not_objects, = _row(connection, "SELECT count(*) FILTER (WHERE json_type(r) <> 'OBJECT') FROM %s" % records)
        if not_objects:
            raise Unsupported(shown, "some of its records are not JSON objects; Spark keeps them "
                                     "in a _corrupt_record column")
        keys = [row[0] for row in _rows(
            connection, "SELECT DISTINCT unnest(json_keys(r)) FROM %s" % records)]
        keys.sort(key=_spark_order)
        if not keys:
            raise InputError("%s has no columns" % shown)
        _check_names(shown, keys)
        summary = _row(connection, "SELECT %s FROM %s" % (", ".join(
            "list(DISTINCT json_type(r, %s)), %s" % (_pointer(k), _json_number_kinds(_pointer(k)))
            for k in keys), records))
    except (Unsupported, InputError):
        raise
    except Exception as exc:
        raise _duckdb_error(shown, exc) from exc
    projection = []
    for index, key in enumerate(keys):
        types, wide_integer, floating = summary[3 * index:3 * index + 3]
        found = {t for t in types if t not in (None, "NULL")}
        duckdb_type = _json_type(found, bool(wide_integer), bool(floating))
        if duckdb_type is None:
            raise Unsupported(shown, "member %r holds %s, which the embedded reader does not "
                                     "read as Spark does" % (key, ", ".join(sorted(found))))
        value = "json_extract(r, %s)" % _pointer(key)
        if duckdb_type == "VARCHAR":
            value = "json_extract_string(r, %s)" % _pointer(key)
        projection.append("CAST(%s AS %s) AS %s" % (value, duckdb_type, _identifier(key)))
    return EmbeddedFrame(connection, "SELECT %s FROM %s" % (", ".join(projection), records), links)


def _json_number_kinds(pointer: str) -> str:
    """SQL: two aggregates over member ``pointer``: whether a number may be an integer beyond
    64 bits, and whether one is certainly a floating-point number.

    An integer too large for 64 bits reaches DuckDB as a double; written as digits it makes
    the column a decimal in Spark, written with a point or an exponent a double. A double that
    is fractional, small or not finite was certainly written as a floating-point number.
    """
    number = "TRY_CAST(json_extract(r, %s) AS DOUBLE)" % pointer
    kind = "json_type(r, %s)" % pointer
    large = "TRY_CAST(json_extract(r, %s) AS UBIGINT) > 9223372036854775807" % pointer
    floating = "(isnan({n}) OR isinf({n}) OR {n} <> floor({n}) OR abs({n}) < 9223372036854775808.0)".format(n=number)
    return (
        "bool_or(CASE {k} WHEN 'UBIGINT' THEN {large} WHEN 'DOUBLE' THEN NOT {floating} END), "
        "bool_or({k} = 'DOUBLE' AND {floating})"
    ).format(k=kind, large=large, floating=floating)


def _json_type(found: set, wide_integer: bool, floating: bool) -> Optional[str]:
    """Spark's inferred type of a member whose values have the JSON types ``found``."""
    if not found:
        return "VARCHAR"  # only nulls: Spark makes it a string column
    if found == {"VARCHAR"} or found == {"BOOLEAN"}:
        return found.pop()
    if found <= {"BIGINT", "UBIGINT", "DOUBLE"}:
        if floating:
            return "DOUBLE"  # with a decimal beside it too
        return None if wide_integer else "BIGINT"
    return None


# -- entry -------------------------------------------------------------------------------------


def _check_names(shown: str, names: Sequence[str]) -> None:
    """DuckDB tells columns apart ignoring case: names equal but for case cannot be held (and
    Spark, ignoring case too, cannot tell them apart either)."""
    first = {}  # type: Dict[str, int]
    for index, name in enumerate(names):
        other = first.setdefault(name.lower(), index)
        if other != index:
            raise Unsupported(shown, "the column names %r and %r are the same when case is "
                                     "ignored" % (names[other], name))


def connect() -> Any:
    """A new in-memory DuckDB connection for the embedded engine: no progress bar (DuckDB
    draws one on stderr for long queries, which is the command line's).

    Examples
    --------
    >>> connect().execute("SELECT current_setting('enable_progress_bar')").fetchall()
    [(False,)]
    """
    import duckdb

    connection = duckdb.connect()
    connection.execute("SET enable_progress_bar = false")
    return connection


def read_file(path: str, fmt: str, sep: str = ",", null_value: Optional[str] = None,
              glob: bool = False, connection: Any = None) -> EmbeddedFrame:
    """Read a local file or directory of the given format as the command line's Spark reader
    does.

    Parameters
    ----------
    path : str
        A local path (or ``file://`` URI); with ``glob`` a Hadoop glob pattern.
    fmt : str
        ``csv``, ``parquet`` or ``json``.
    sep : str
        The CSV field separator.
    null_value : str, optional
        The CSV text that stands for a missing value (empty fields always do).
    glob : bool
        Whether ``path`` is a pattern rather than a literal path.
    connection : duckdb.DuckDBPyConnection, optional
        The connection to read in; a new in-memory one by default.

    Returns
    -------
    EmbeddedFrame

    Raises
    ------
    Unsupported
        When the frame would differ from Spark's (the reason says how).
    InputError
        When the input cannot be read at all (no such file, a pattern that matches nothing).

    Examples
    --------
    >>> from Tarnwick.cli.reader import bundled_path
    >>> frame = read_file(bundled_path(), "csv", null_value="NA")
    >>> frame.columns[:3], frame.kind("body_mass_g")
    (['species', 'island', 'bill_length_mm'], 'integer')
    """
    if fmt not in spark_reader.FORMATS:
        raise InputError("unknown format %r; choose csv, parquet or json" % fmt)
    files = _files_of(path, glob)
    connection = connection if connection is not None else connect()
    if fmt == "csv":
        return _read_csv(connection, path, files, sep, null_value)
    if fmt == "parquet":
        return _read_parquet(connection, path, files)
    return _read_json(connection, path, files)
