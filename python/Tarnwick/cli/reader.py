"""Reading the data under analysis: a file or directory through Spark, or the bundled data set."""
from __future__ import annotations

import csv
import os
import re
from collections import Counter
from typing import Dict, List, Optional, Tuple

from Tarnwick.cli import csv_schema
from Tarnwick.cli.errors import InputError, safe_text

FORMATS = ("csv", "parquet", "json")
_EXTENSIONS = {
    ".csv": "csv",
    ".tsv": "csv",
    ".txt": "csv",
    ".parquet": "parquet",
    ".parq": "parquet",
    ".pq": "parquet",
    ".json": "json",
    ".jsonl": "json",
    ".ndjson": "json",
}
_COMPRESSION = (".gz", ".bz2", ".snappy", ".lz4", ".zst", ".deflate", ".xz")
#: The first bytes of the compressed files Spark decompresses by their suffix: a text file that
#: starts so but is not named so would be read as text of binary noise.
_COMPRESSED_STARTS = {b"\x1f\x8b": ("gzip", ".gz"), b"BZh": ("bzip2", ".bz2"),
                      b"\xfd7zXZ\x00": ("xz", ".xz"), b"\x28\xb5\x2f\xfd": ("zstd", ".zst")}
_URI = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*://")
_GLOB_CHARACTERS = re.compile(r"[\[\]{}*?\\]")
#: Longest CSV field Spark may read (characters): far above any real field, and a limit that
#: turns a runaway field (a quote never closed) into a clear error instead of an exhausted heap.
MAX_CSV_FIELD = 4 * 1024 * 1024

BUNDLED_NAME = "penguins.csv"
BUNDLED_MEASURES = ["bill_length_mm", "bill_depth_mm", "flipper_length_mm", "body_mass_g"]
BUNDLED_DIMENSIONS = ["species", "island", "sex"]
# Column types of the bundled file, in its column order.
_BUNDLED_TYPES = [
    ("species", "STRING"),
    ("island", "STRING"),
    ("bill_length_mm", "DOUBLE"),
    ("bill_depth_mm", "DOUBLE"),
    ("flipper_length_mm", "INT"),
    ("body_mass_g", "INT"),
    ("sex", "STRING"),
    ("year", "INT"),
]


def bundled_path() -> str:
    import Tarnwick

    return os.path.join(os.path.dirname(os.path.abspath(Tarnwick.__file__)), "data", BUNDLED_NAME)


def read_bundled(spark):
    """The bundled penguins data as a Spark frame built on the driver alone.

    The rows travel inside the query plan (an inline table), so that executors on other machines
    need neither the package's file nor a Python worker to produce them.
    """
    path = bundled_path()
    with open(path, newline="") as handle:
        reader = csv.reader(handle)
        header = next(reader)
        rows = list(reader)
    names = [name for name, _ in _BUNDLED_TYPES]
    if header != names:
        raise InputError("the bundled data file %s is damaged; reinstall Tarnwick" % path)
    values = ",\n".join(
        "(%s)" % ", ".join(_sql_literal(value, sql_type) for value, (_, sql_type) in zip(row, _BUNDLED_TYPES))
        for row in rows
    )
    columns = ", ".join("CAST(%s AS %s) AS %s" % (name, sql_type, name) for name, sql_type in _BUNDLED_TYPES)
    return spark.sql("SELECT %s FROM VALUES %s AS t(%s)" % (columns, values, ", ".join(names)))


def _sql_literal(text: str, sql_type: str) -> str:
    if text == "NA" or text == "":
        return "NULL"
    if sql_type == "STRING":
        return "'%s'" % text.replace("\\", "\\\\").replace("'", "\\'")
    float(text)  # a number, or the file is damaged
    return text


def is_local_path(path: str) -> bool:
    return not _URI.match(path) or path.startswith("file://")


def local_path(path: str) -> str:
    return path[len("file://"):] if path.startswith("file://") else path


def _data_files(directory: str) -> List[str]:
    """The data files under ``directory`` as Spark lists them (hidden ``.``/``_`` names left
    out, symbolic links followed), refusing a directory reached twice: a link back to an
    ancestor would make the listing endless, a second link to the same directory would read
    its files twice."""
    found = []
    seen = {}  # type: Dict[Tuple[int, int], str]
    for root, dirs, files in os.walk(directory, followlinks=True):
        info = os.stat(root)
        key = (info.st_dev, info.st_ino)
        if key in seen:
            raise InputError(
                "directory %s is reached twice through symbolic links (%s and %s); Spark would "
                "loop or read its files twice: remove the link" % (directory, seen[key], root)
            )
        seen[key] = root
        dirs[:] = sorted(d for d in dirs if not d.startswith((".", "_")))
        found.extend(
            os.path.join(root, name) for name in sorted(files) if not name.startswith((".", "_"))
        )
    return found


def literal_path(path: str) -> str:
    """``path`` with Hadoop's glob characters escaped, so that Spark reads exactly that file or
    directory (``data[1].csv`` is a name, not a pattern). For a URI only the path part is
    escaped."""
    start = 0
    match = _URI.match(path)
    if match:
        slash = path.find("/", match.end())
        start = len(path) if slash < 0 else slash
    return path[:start] + _GLOB_CHARACTERS.sub(r"\\\g<0>", path[start:])


def format_of(name: str) -> Optional[str]:
    lower = name.lower()
    for suffix in _COMPRESSION:
        if lower.endswith(suffix) and os.path.splitext(lower[: -len(suffix)])[1] in _EXTENSIONS:
            lower = lower[: -len(suffix)]
            break
    return _EXTENSIONS.get(os.path.splitext(lower)[1])


def check_and_detect(path: str, fmt: Optional[str], glob: bool = False) -> str:
    """Check that a local path can be read and decide its format; returns the format.

    With ``glob`` the path is a pattern that Spark expands: only its format is decided here.
    """
    if is_local_path(path) and not glob:
        local = local_path(path)
        if not os.path.exists(local):
            raise InputError("no such file or directory: %s" % path)
        if os.path.isdir(local):
            if not os.access(local, os.R_OK | os.X_OK):
                raise InputError("cannot read directory %s: permission denied" % path)
            files = _data_files(local)
            if not files:
                raise InputError("directory %s holds no data files" % path)
            unreadable = [f for f in files if not os.access(f, os.R_OK)]
            if unreadable:
                raise InputError("cannot read %s: permission denied" % unreadable[0])
            kinds = Counter(k for k in (format_of(f) for f in files) if k)
            if len(kinds) > 1:
                raise InputError(
                    "directory %s mixes formats (%s); Spark reads a directory in one format: "
                    "keep one format's files in it" % (path, ", ".join(
                        "%s: %d file%s" % (k, n, "" if n == 1 else "s")
                        for k, n in sorted(kinds.items())))
                )
            if fmt is None:
                if not kinds:
                    raise InputError(
                        "cannot tell the format of the files in %s; name it with --format "
                        "csv, parquet or json" % path
                    )
                fmt = next(iter(kinds))
        else:
            if not os.access(local, os.R_OK):
                raise InputError("cannot read %s: permission denied" % path)
            if os.path.getsize(local) == 0:
                raise InputError("%s is empty" % path)
            _refuse_unnamed_compression(path, local)
    if fmt is None:
        fmt = format_of(path.rstrip("/"))
        if fmt is None:
            raise InputError(
                "cannot tell the format of %s from its name; name it with --format csv, parquet "
                "or json" % path
            )
    return fmt


def _refuse_unnamed_compression(path: str, local: str) -> None:
    """Refuse a file whose bytes are compressed while its name has no compression suffix."""
    if local.lower().endswith(_COMPRESSION) or format_of(local) == "parquet":
        return
    try:
        with open(local, "rb") as handle:
            start = handle.read(6)
    except OSError as exc:
        raise InputError("cannot read %s: %s" % (path, exc.strerror or exc))
    for magic, (kind, suffix) in _COMPRESSED_STARTS.items():
        if start.startswith(magic):
            raise InputError(
                "%s looks compressed (%s) but its name does not end in %s, by which Spark knows "
                "to decompress it: rename it to end in %s, or decompress it"
                % (path, kind, suffix, suffix)
            )


def read_file(spark, path: str, fmt: str, sep: str = ",", null_value: Optional[str] = None,
              glob: bool = False):
    """Read a file or directory of the given format into a Spark frame.

    ``path`` is read literally unless ``glob`` is true (then Hadoop's glob patterns apply).
    CSV follows the common quoting rules: fields in double quotes, a doubled quote inside one
    stands for a quote.
    """
    from pyspark.sql.utils import AnalysisException

    shown = path
    path = path if glob else literal_path(path)
    reader = spark.read
    try:
        if fmt == "csv":
            reader = (
                reader.option("header", "true").option("sep", sep)
                .option("quote", '"').option("escape", '"')
                .option("maxCharsPerColumn", str(MAX_CSV_FIELD))
            )
            if null_value is not None:
                reader = reader.option("nullValue", null_value)
            # A small local file's types are found here, sparing Spark's two inference jobs.
            # (the file as named, not its pattern-escaped form for Hadoop)
            literal = not glob and is_local_path(shown)
            schema = csv_schema.infer(local_path(shown), sep, null_value) if literal else None
            reader = reader.schema(schema) if schema is not None else reader.option("inferSchema", "true")
            frame = reader.csv(path)
        elif fmt == "parquet":
            frame = reader.parquet(path)
        else:
            frame = reader.json(path)
            if _only_corrupt(frame):
                # Not JSON Lines: try one JSON document (an array of records) per file.
                frame = spark.read.option("multiLine", "true").json(path)
            if _only_corrupt(frame):
                raise InputError("%s is not JSON (neither JSON Lines nor an array of records)" % shown)
    except AnalysisException as exc:
        if glob and "does not exist" in str(exc):
            raise InputError("the pattern %s matches no file" % shown) from exc
        raise InputError("cannot read %s as %s: %s" % (shown, fmt, short_error(exc))) from exc
    except InputError:
        raise
    except Exception as exc:
        if type(exc).__name__ in ("Py4JJavaError", "SparkRuntimeException", "SparkException"):
            raise InputError("cannot read %s as %s: %s" % (shown, fmt, short_error(exc))) from exc
        raise
    if not frame.columns:
        raise InputError("%s has no columns" % shown)
    return frame


def _only_corrupt(frame) -> bool:
    return list(frame.columns) == ["_corrupt_record"]


def short_error(exc: BaseException) -> str:
    """The first meaningful line of a Spark error message, without the JVM stack."""
    text = None
    java = getattr(exc, "java_exception", None)
    if java is not None:
        try:
            text = java.getMessage()
        except Exception:  # the gateway may be gone; fall back to the Python text
            text = None
    text = text or getattr(exc, "desc", None) or safe_text(exc)
    for line in str(text).splitlines():
        line = line.strip()
        if line and not line.startswith(("at ", "JVM stacktrace", "Traceback", "An error occurred while calling")):
            line = re.sub(r"^(: )?[\w.$]+(Exception|Error):\s*", "", line)
            return re.sub(r"^\[[A-Z_.]+\]\s*", "", line)
    return type(exc).__name__

