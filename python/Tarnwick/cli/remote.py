"""Running the command line against a Spark Connect server (``--remote sc://HOST:PORT``).

With Spark Connect the driver runs inside the server: this process holds only a thin client
(no Java needed here) and the server reads the data, so a data path must be one the server can
read. The analysis itself is unchanged: the analyser and the host layer work on a Connect data
frame as on a local one.

pyspark's own convention is honoured: without ``--remote`` and ``--master``, a ``SPARK_REMOTE``
environment variable that holds an ``sc://`` URL sends the run to that server.
"""
from __future__ import annotations

import os
import socket
from typing import Mapping, Optional, Tuple

from Tarnwick.cli.errors import InputError, first_line

ENVIRONMENT_VARIABLE = "SPARK_REMOTE"
SCHEME = "sc://"
DEFAULT_PORT = 15002
#: Seconds to wait for the server to accept a connection before giving up with a clear message
#: (the Connect client itself retries for minutes before it reports an unreachable server).
CONNECT_TIMEOUT = 10.0
#: Oldest pyspark whose Connect data frame is a ``pyspark.sql.DataFrame``, which the analyser
#: requires of its argument.
MINIMUM_PYSPARK = (4, 0)


def choose_url(remote: Optional[str], master: Optional[str],
               environ: Optional[Mapping[str, str]] = None) -> Optional[str]:
    """The Spark Connect URL of the run, or None for a driver of our own.

    ``--remote`` wins; otherwise ``SPARK_REMOTE`` applies when no ``--master`` is given. A
    ``--master`` together with either is refused, since pyspark would silently prefer one.
    """
    environ = os.environ if environ is None else environ
    from_environment = environ.get(ENVIRONMENT_VARIABLE) or None
    if remote is not None and master is not None:
        raise InputError("--remote and --master exclude each other: give one of them")
    if remote is None and from_environment is not None and master is not None:
        raise InputError(
            "%s is set (%s), which sends a pyspark session to a Spark Connect server, and --master "
            "asks for a driver of our own: unset %s or leave out --master"
            % (ENVIRONMENT_VARIABLE, display_url(from_environment), ENVIRONMENT_VARIABLE)
        )
    url = remote if remote is not None else from_environment
    if url is None:
        return None
    where = "--remote" if remote is not None else ENVIRONMENT_VARIABLE
    if not url.startswith(SCHEME):
        raise InputError("%s must be a Spark Connect URL such as sc://host:15002, not %r"
                         % (where, display_url(url)))
    address(url, where)  # checked now, before any Spark work
    return url


def address(url: str, where: str = "--remote") -> Tuple[str, int]:
    """Host and port of an ``sc://host[:port][/;param=value...]`` URL (port 15002 by default)."""
    authority = url[len(SCHEME):].split("/", 1)[0]
    if authority.startswith("["):  # an IPv6 literal: [::1]:15002
        host, _, rest = authority[1:].partition("]")
        port_text = rest[1:] if rest.startswith(":") else rest
    else:
        host, _, port_text = authority.partition(":")
    if not host:
        raise InputError("%s %s names no host" % (where, display_url(url)))
    if not port_text:
        return host, DEFAULT_PORT
    if not port_text.isdigit() or not 0 < int(port_text) < 65536:
        raise InputError("%s %s has no valid port" % (where, display_url(url)))
    return host, int(port_text)


def display_url(url: str) -> str:
    """The URL without its parameters (``/;token=...`` may hold a secret): for messages.

    Examples
    --------
    >>> display_url("sc://host:15002/;token=secret"), display_url("sc://")
    ('sc://host:15002', 'sc://')
    """
    shown = url.split("/;", 1)[0].split(";", 1)[0]
    if shown.startswith(SCHEME):
        return SCHEME + shown[len(SCHEME):].rstrip("/")
    return shown.rstrip("/")


def require_client() -> None:
    """Fail with what to install when this pyspark cannot drive a Connect data frame."""
    import pyspark

    version = tuple(int(part) for part in pyspark.__version__.split(".")[:2] if part.isdigit())
    if version < MINIMUM_PYSPARK:
        raise InputError(
            "--remote needs pyspark 4.0 or newer (this is pyspark %s, whose Spark Connect data "
            "frame is not a pyspark.sql.DataFrame, the type the analyser requires)"
            % pyspark.__version__
        )
    try:
        from pyspark.sql.connect.session import SparkSession  # noqa: F401
    except ImportError as exc:
        raise InputError(
            "--remote needs pyspark's Spark Connect client: pip install 'pyspark[connect]==%s' "
            "(%s)" % (pyspark.__version__, first_line(exc))
        ) from exc


def check_reachable(url: str, timeout: float = CONNECT_TIMEOUT) -> None:
    """Fail at once when nothing accepts connections at the URL's host and port."""
    host, port = address(url)
    try:
        with socket.create_connection((host, port), timeout=timeout):
            pass
    except OSError as exc:
        raise InputError(
            "cannot reach the Spark Connect server at %s (%s); start it (pyspark's "
            "sbin/start-connect-server.sh) or check the URL"
            % (display_url(url), exc.strerror or first_line(exc, type(exc).__name__))
        ) from exc


def start_session(url: str, extra=()):
    """A Spark Connect session on ``url``; ``extra`` (KEY, VALUE) pairs become session settings.

    Only settings the server lets a session change take effect (SQL settings such as
    ``spark.sql.shuffle.partitions``); pyspark warns about the others.
    """
    require_client()
    check_reachable(url)
    from pyspark.sql import SparkSession

    from Tarnwick.cli.session import APP_NAME

    builder = SparkSession.builder.remote(url).appName(APP_NAME)
    for key, value in extra:
        builder = builder.config(key, value)
    return builder.getOrCreate()


def data_path(path: str) -> str:
    """The path to hand the server: a local path that exists here becomes absolute (the server
    resolves relative paths against its own working directory); anything else goes as it is."""
    from Tarnwick.cli import reader

    if reader.is_local_path(path) and not path.startswith("file://") and os.path.exists(path):
        return os.path.abspath(path)
    return path


def check_and_detect(path: str, fmt: Optional[str]) -> str:
    """The format of ``path``; a local path is checked only when it exists here, since the
    server may read a path this machine does not have (it reports a missing one itself)."""
    from Tarnwick.cli import reader

    if reader.is_local_path(path) and not os.path.exists(reader.local_path(path)):
        detected = fmt or reader.format_of(path.rstrip("/"))
        if detected is None:
            raise InputError(
                "cannot tell the format of %s from its name; name it with --format csv, parquet "
                "or json" % path
            )
        return detected
    return reader.check_and_detect(path, fmt)


def read_file(spark, path: str, fmt: str, sep: str = ",", null_value: Optional[str] = None):
    """``reader.read_file`` over Connect, where reading is lazy: the server analyses the read,
    and reports a missing path or a bad file, only when the schema is first asked for."""
    from pyspark.errors import AnalysisException

    from Tarnwick.cli import reader

    try:
        frame = reader.read_file(spark, path, fmt, sep=sep, null_value=null_value)
        frame.schema  # the server's analysis of the read
    except AnalysisException as exc:
        raise InputError("cannot read %s as %s: %s" % (path, fmt, reader.short_error(exc))) from exc
    return frame
