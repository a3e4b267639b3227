"""The Spark session of a command-line run.

A local session is tuned for the small machine it usually runs on: as many shuffle partitions as
cores (Spark's default of 200 is sized for clusters), adaptive query execution on, no web UI and
only fatal-level logs. Any other master URL
gets the same quiet logs and adaptive execution but keeps the cluster's own sizing. Under
spark-submit the session that spark-submit prepared is used as it is, master included.
"""
from __future__ import annotations

import contextlib
import os
import re
import shutil
import socket
import sys
import threading
from typing import (Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence,
                    Tuple)

from Tarnwick.cli import signals
from Tarnwick.cli.errors import InputError, first_line, safe_text

DEFAULT_MASTER = "local[*]"
APP_NAME = "tarnwick-anova"

_LOCAL_MASTER = re.compile(r"^local(?:\[(\*|\d+)(?:,\s*\d+)?\])?$")
_CLUSTER_MASTER = re.compile(r"^(yarn|(k8s|mesos)://\S+|local-cluster\[\d+,\s*\d+,\s*\d+\])$")
_STANDALONE_MASTER = re.compile(r"^spark://([^/\s]+)$")
_HOST_PORT = re.compile(r"^(\[[0-9A-Fa-f:.]+\]|[^:\[\]]+):(\d{1,5})$")
#: Seconds to wait for a standalone master to accept a connection before giving up on it.
CONNECT_TIMEOUT = 5.0
_LOG_CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "log4j2.properties")

#: Inputs up to this size get a driver JVM tuned to start fast (see QUICK_START_JAVA_OPTIONS).
SMALL_INPUT_BYTES = 16 << 20
#: For a run of seconds, the optimising JIT compiler's threads cost more CPU than their code
#: saves (measured: bench/small_file.py): compilation stops at the quick first tier, and the
#: single-threaded collector suits the small heap.
QUICK_START_JAVA_OPTIONS = "-XX:TieredStopAtLevel=1 -XX:+UseSerialGC"
#: A one-scan run reads its input once: on a local Parquet input of up to this size whose
#: first rows hold few cells (merged in this process, not in Spark) it is a run of seconds as
#: well. Its analysis on two cores, quick-start options against late optimisation: 10⁶ rows
#: (25 MB) 1.9 to 2.0 s against 2.3 to 2.8 s; 3·10⁶ (73 MB) 2.7 against 2.8 s; 10⁷ (242 MB) 6.1
#: against 3.9 s; with many cells (10⁶ rows, six dimensions of 40 levels) 17.3 against 13.5 s.
ONE_SCAN_QUICK_BYTES = 48 << 20
#: Local sessions of at most this many cores compile late (LATE_OPTIMISATION_JAVA_OPTIONS).
FEW_CORES = 8
#: On a few cores the optimising compiler's threads take CPU from the tasks for code that runs
#: a few thousand times; at 16 times the JVM's thresholds (5000 calls, 600 with loops, 15000
#: calls and loops, 40000 loop turns) it optimises what runs hot, the loops over the rows, and
#: little else. Measured on two cores, both plans, 10⁶ to 10⁸ rows and the wide case, three
#: rounds taking turns: 0.2 to 3.1 s less per run in 14 of 15 pairs, 0.06 s more in the last.
LATE_OPTIMISATION_JAVA_OPTIONS = (
    "-XX:Tier4InvocationThreshold=80000 -XX:Tier4MinInvocationThreshold=9600 "
    "-XX:Tier4CompileThreshold=240000 -XX:Tier4BackEdgeThreshold=640000"
)

JAVA_HINT = (
    "Spark needs a Java runtime (JDK 17; 8 or 11 also work for pyspark 3) and none was found: "
    "install one (for example: apt-get install openjdk-17-jre-headless) or set JAVA_HOME"
)


# Lines the driver JVM prints at start-up whatever its logging configuration says: the JDK's note
# on the vector incubator module that Spark 4 loads, and the shell's announcement of its log
# level (printed before the configuration can silence it on some versions).
JVM_NOISE = (
    "WARNING: Using incubator modules",
    "Setting default log level to",
    "To adjust logging level use sc.setLogLevel",
)


def _forward(read_end: int, target: int) -> None:
    with os.fdopen(read_end, "rb") as source:
        for line in source:
            if not line.decode("utf-8", "replace").startswith(JVM_NOISE):
                try:
                    os.write(target, line)
                except OSError:
                    return


@contextlib.contextmanager
def filtered_jvm_stderr(enabled: bool = True) -> Iterator[None]:
    """Give a JVM started inside the block a stderr that drops the known start-up noise.

    The JVM inherits file descriptor 2 when it starts; inside the block that is a pipe whose
    lines a thread forwards to the real stderr, noise excepted, for as long as the JVM runs.
    """
    if not enabled:
        yield
        return
    sys.stderr.flush()
    target = os.dup(2)
    read_end, write_end = os.pipe()
    threading.Thread(target=_forward, args=(read_end, target), name="jvm-stderr", daemon=True).start()
    os.dup2(write_end, 2)
    os.close(write_end)
    try:
        yield
    finally:
        sys.stderr.flush()
        os.dup2(target, 2)


def under_spark_submit() -> bool:
    """True when spark-submit started this interpreter and already runs the JVM for it."""
    return "PYSPARK_GATEWAY_PORT" in os.environ


def find_java() -> Optional[str]:
    """The java executable pyspark will launch: JAVA_HOME's, else the one on PATH."""
    java_home = os.environ.get("JAVA_HOME")
    if java_home:
        candidate = os.path.join(java_home, "bin", "java")
        return candidate if os.access(candidate, os.X_OK) else None
    return shutil.which("java")


def local_cores(master: str) -> Optional[int]:
    """Number of cores a local master URL uses, or None for a non-local master."""
    match = _LOCAL_MASTER.match(master.strip())
    if not match:
        return None
    threads = match.group(1)
    if threads is None:
        return 1
    if threads == "*":
        return os.cpu_count() or 1
    return max(int(threads), 1)


def check_master(master: str) -> None:
    """Refuse a master URL Spark would not accept, before Spark starts: an unknown form,
    ``local[0]``, or a standalone master (``spark://HOST:PORT``) that accepts no connection."""
    master = master.strip()
    expected = "expected local, local[N], local[*], spark://HOST:PORT, yarn or k8s://..."
    if _LOCAL_MASTER.match(master):
        if local_cores(master) == 0 or re.match(r"^local\[0+(,|\])", master):
            raise InputError("--master %s: a local master needs at least one thread" % master)
        return
    if _CLUSTER_MASTER.match(master):
        return
    standalone = _STANDALONE_MASTER.match(master)
    if not standalone:
        raise InputError("--master %s is not a Spark master URL; %s" % (master, expected))
    problems = []
    for address in standalone.group(1).split(","):
        parts = _HOST_PORT.match(address)
        if not parts or not 0 < int(parts.group(2)) < 65536:
            raise InputError("--master %s: %r is not HOST:PORT; %s" % (master, address, expected))
        host, port = parts.group(1).strip("[]"), int(parts.group(2))
        try:
            socket.create_connection((host, port), timeout=CONNECT_TIMEOUT).close()
            return
        except OSError as exc:
            problems.append("%s: %s" % (address, exc.strerror or exc or "timed out"))
    raise InputError(
        "cannot reach the Spark master %s (%s); check the address and that the master runs"
        % (master, "; ".join(problems))
    )


def is_small_input(path: Optional[str], most: Optional[int] = None) -> bool:
    """True for the bundled data (``None``) and a local file or directory of at most ``most``
    bytes (SMALL_INPUT_BYTES by default); False when the size is unknown (a URI, an unreadable
    directory)."""
    if path is None:
        return True
    most = SMALL_INPUT_BYTES if most is None else most
    from Tarnwick.cli.reader import is_local_path, local_path

    if not is_local_path(path):
        return False
    local = local_path(path)
    total = 0
    try:
        if os.path.isfile(local):
            return os.path.getsize(local) <= most
        for root, _, files in os.walk(local):
            for name in files:
                total += os.path.getsize(os.path.join(root, name))
                if total > most:
                    return False
    except OSError:
        return False
    return os.path.isdir(local)


def is_quick_start_run(settings: "SessionSettings", path: Optional[str], fmt: Optional[str],
                       one_scan: bool, dimensions: Optional[Sequence[str]] = None) -> bool:
    """Whether a run is short enough for a driver JVM tuned to start fast: one on a small input
    (:func:`is_small_input`), or a one-scan run (``one_scan``) of a tuned local session of at
    most FEW_CORES cores on a local Parquet input of at most ONE_SCAN_QUICK_BYTES whose first
    rows hold few cells of its ``dimensions`` (given, else its string columns), as the plan
    judges its first rows."""
    if is_small_input(path):
        return True
    if not (one_scan and fmt == "parquet" and is_small_input(path, ONE_SCAN_QUICK_BYTES)):
        return False
    cores = _tuned_local_cores(settings)
    if cores is None or cores > FEW_CORES:  # not our JVM's options, or not measured there
        return False
    from Tarnwick.bi.embedded.reader import read_file
    from Tarnwick.bi.stats.onescan import SAMPLE_ROWS, many_cells

    try:
        frame = read_file(path, "parquet")
        chosen = list(dimensions) if dimensions is not None else [
            c for c in frame.columns if frame.kind(c) == "string"]
        rows = frame.head(chosen, SAMPLE_ROWS) if chosen else []
    except Exception:  # whatever keeps DuckDB from reading it: Spark's reader will say
        return False
    return not many_cells(rows, 0, len(chosen))


class SessionSettings(NamedTuple):
    """How the run's own Spark session is set up.

    Attributes
    ----------
    master : str or None
        The master URL (``--master``); None for DEFAULT_MASTER, or spark-submit's.
    tuned : bool
        The tuned local settings (off with ``--no-tuning``).
    spark_ui : bool
        Keep Spark's web UI on.
    debug : bool
        Spark's own logs and start-up output.
    extra : tuple of (str, str)
        ``--conf`` pairs, applied last.
    small_input : bool
        The run is short enough for a driver JVM tuned to start fast
        (:func:`is_quick_start_run`).
    archive : str
        The driver's Java options for its class archive (see :func:`archive_options`).
    """

    master: Optional[str] = None
    tuned: bool = True
    spark_ui: bool = False
    debug: bool = False
    extra: Tuple[Tuple[str, str], ...] = ()
    small_input: bool = False
    archive: str = ""


#: ``--conf`` keys that change the driver JVM's class path: part of its class archive's name.
CLASS_PATH_SETTINGS = ("spark.driver.extraClassPath", "spark.driver.userClassPathFirst",
                       "spark.executor.extraClassPath", "spark.jars")


def _tuned_local_cores(settings: SessionSettings) -> Optional[int]:
    """The cores of a tuned local session whose driver JVM this process launches (its Java
    options are ours to choose; the master DEFAULT_MASTER when none is given); None for any
    other."""
    if not settings.tuned or under_spark_submit():
        return None
    return local_cores(settings.master or DEFAULT_MASTER)


def archive_options(settings: SessionSettings) -> Any:
    """The class archive's options (a ``jvm_archive.Options``) for the driver JVM this run
    would launch: a tuned local run that starts its own JVM uses one, or writes it."""
    from Tarnwick.cli import jvm_archive

    if _tuned_local_cores(settings) is None:
        return jvm_archive.Options()
    from pyspark.sql import SparkSession

    if SparkSession.getActiveSession() is not None:  # its JVM runs already
        return jvm_archive.Options()
    class_path = ["%s=%s" % pair for pair in settings.extra
                  if pair[0].startswith(CLASS_PATH_SETTINGS)]
    driver_options = [value for key, value in settings.extra
                      if key in jvm_archive.DRIVER_OPTION_SETTINGS]
    return jvm_archive.java_options(find_java(), class_path, driver_options)


def session_config(settings: SessionSettings) -> Dict[str, str]:
    """The configuration the session is built with (master excluded). A tuned local session
    for a small input gets a driver JVM that starts fast (QUICK_START_JAVA_OPTIONS); one for a
    larger input on a few cores, one that optimises only its hottest code
    (LATE_OPTIMISATION_JAVA_OPTIONS).

    Examples
    --------
    >>> session_config(SessionSettings("local[2]"))["spark.sql.shuffle.partitions"]
    '2'
    """
    master, tuned, spark_ui, debug, extra, small_input, archive = settings
    conf: Dict[str, str] = {"spark.ui.showConsoleProgress": "false"}
    if tuned:
        conf["spark.sql.adaptive.enabled"] = "true"
        conf["spark.sql.adaptive.coalescePartitions.enabled"] = "true"
        if not spark_ui:
            conf["spark.ui.enabled"] = "false"
        cores = local_cores(master) if master else None
        if cores is not None:
            conf["spark.sql.shuffle.partitions"] = str(cores)
            conf["spark.default.parallelism"] = str(cores)
    # Java options take effect only when this process launches the driver JVM itself.
    java_options = []
    if not debug and not under_spark_submit():
        java_options.append("-Dlog4j2.configurationFile=file:" + _LOG_CONFIG)
    local = _tuned_local_cores(settings)
    if local is not None and small_input:
        java_options.append(QUICK_START_JAVA_OPTIONS)
    elif local is not None and local <= FEW_CORES:
        java_options.append(LATE_OPTIMISATION_JAVA_OPTIONS)
    if archive:
        java_options.append(archive)
    if java_options:
        conf["spark.driver.extraJavaOptions"] = " ".join(java_options)
    for key, value in extra:
        if key == "spark.driver.extraJavaOptions" and key in conf:
            value = conf[key] + " " + value
        conf[key] = value
    return conf


def start_session(settings: SessionSettings):
    """Start (or, under spark-submit, join) the Spark session of this run."""
    from pyspark.sql import SparkSession

    master, debug, extra = settings.master, settings.debug, settings.extra

    joined = under_spark_submit() or SparkSession.getActiveSession() is not None
    if not under_spark_submit():
        if master is not None:
            check_master(master)
        if find_java() is None:
            raise InputError(JAVA_HINT)
        if master is None:
            master = DEFAULT_MASTER

    builder = SparkSession.builder.appName(APP_NAME)
    if master is not None:
        builder = builder.master(master)
    for key, value in session_config(settings._replace(master=master)).items():
        builder = builder.config(key, value)
    launched = []  # type: List[Any]
    try:
        with filtered_jvm_stderr(enabled=not debug and not joined), \
                _recording_launches(launched), signals.kept():
            session = builder.getOrCreate()
    except BaseException as exc:
        for process in launched:
            signals.stop_process_group(process.pid)
        if not isinstance(exc, Exception):
            raise  # an interrupt: the caller reports it
        text = safe_text(exc)
        if "Java gateway process exited" in text or "JAVA_GATEWAY_EXITED" in text:
            raise InputError(
                "the Spark driver (a Java process) did not start for master %s; check that "
                "'java -version' works and names JDK 17 (or 8/11 for pyspark 3); rerun with "
                "--debug for Spark's own output" % master
            ) from exc
        for key, value in extra:
            if key in text:
                raise InputError(
                    "invalid --conf %s=%s: %s" % (key, value, first_line(text, "rejected"))
                ) from exc
        raise InputError(
            "could not start Spark on master %s: %s" % (master, first_line(text, "unknown error"))
        ) from exc
    signals.reinstall()
    if joined:
        _JOINED.add(id(session))
    if not debug:
        session.sparkContext.setLogLevel("FATAL")
    try:
        _check_sql_settings(session, extra)
    except InputError:
        stop_session(session)
        raise
    return session


# Sessions this process did not start (spark-submit's, or one already active in the process,
# such as a test's): a run leaves them running.
_JOINED = set()  # type: set


@contextlib.contextmanager
def _recording_launches(launched: List[Any]) -> Iterator[None]:
    """Start the driver JVM that pyspark launches in a process group of its own, and note its
    process, so that an interrupt can stop it with its launcher even before pyspark knows it."""
    try:
        from pyspark import java_gateway
    except ImportError:  # pragma: no cover - a pyspark without a local gateway (Connect only)
        yield
        return
    original = java_gateway.Popen

    class RecordedPopen(original):  # type: ignore[misc, valid-type]
        def __init__(self, *args, **kwargs):
            kwargs.setdefault("start_new_session", True)
            # The JVM's stdout joins its stderr: nothing it prints can mix with the run's
            # output, and it does not hold the caller's stdout open while it ends (writing
            # its class archive, say) after the run.
            kwargs.setdefault("stdout", 2)
            # A signal between the fork and the note would leave the JVM running unseen
            # (holding the caller's stderr open): it is acted on once the process is noted.
            with signals.deferred():
                super().__init__(*args, **kwargs)
                launched.append(self)

    java_gateway.Popen = RecordedPopen
    try:
        yield
    finally:
        java_gateway.Popen = original


def _check_sql_settings(session, extra: Iterable[Tuple[str, str]]) -> None:
    """Refuse a ``--conf spark.sql.*`` value that Spark's SQL configuration rejects (such as
    ``spark.sql.shuffle.partitions=0``), before a query fails on it later."""
    for key, value in extra:
        if not key.startswith("spark.sql."):
            continue
        try:
            session.conf.set(key, value)
        except Exception as exc:
            text = safe_text(exc)
            if "CANNOT_MODIFY_CONFIG" in text or "Cannot modify" in text:
                continue  # a static setting: it took effect at start-up
            message = first_line(getattr(exc, "desc", None) or text, "rejected")
            raise InputError("invalid --conf %s=%s: %s" % (key, value, message)) from exc


def stop_session(session) -> None:
    """Stop the run's session, unless the run joined one it did not start.

    After an interrupt the Java gateway may be in the middle of a call, so the driver JVM is
    stopped as a process (SIGTERM: its shutdown hooks stop Spark and delete its temporary
    directories) instead of through the gateway.
    """
    if under_spark_submit() or id(session) in _JOINED:
        return
    gateway = getattr(session.sparkContext, "_gateway", None)
    process = getattr(gateway, "proc", None)
    with signals.deferred():
        if signals.received() is None:
            session.stop()
        elif process is not None:
            signals.stop_process_group(process.pid)
