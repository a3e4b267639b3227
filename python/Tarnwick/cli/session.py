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
import sys
import threading
from typing import Dict, Iterable, Iterator, Optional, Tuple

from Tarnwick.cli.errors import InputError, first_line

DEFAULT_MASTER = "local[*]"
APP_NAME = "tarnwick-anova"

_LOCAL_MASTER = re.compile(r"^local(?:\[(\*|\d+)(?:,\s*\d+)?\])?$")
_LOG_CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "log4j2.properties")

#: Inputs up to this size get a driver JVM tuned to start fast (see QUICK_START_JAVA_OPTIONS).
SMALL_INPUT_BYTES = 16 << 20
#: For a run of seconds, the optimising JIT compiler's threads cost more CPU than their code
#: saves (measured: bench/small_file.py): compilation stops at the quick first tier, and the
#: single-threaded collector suits the small heap.
QUICK_START_JAVA_OPTIONS = "-XX:TieredStopAtLevel=1 -XX:+UseSerialGC"

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


def is_small_input(path: Optional[str]) -> bool:
    """True for the bundled data (``None``) and a local file or directory of at most
    SMALL_INPUT_BYTES; False when the size is unknown (a URI, an unreadable directory)."""
    if path is None:
        return True
    from Tarnwick.cli.reader import is_local_path

    if not is_local_path(path):
        return False
    local = path[len("file://"):] if path.startswith("file://") else path
    total = 0
    try:
        if os.path.isfile(local):
            return os.path.getsize(local) <= SMALL_INPUT_BYTES
        for root, _, files in os.walk(local):
            for name in files:
                total += os.path.getsize(os.path.join(root, name))
                if total > SMALL_INPUT_BYTES:
                    return False
    except OSError:
        return False
    return os.path.isdir(local)


def session_config(
    master: Optional[str],
    tuned: bool = True,
    spark_ui: bool = False,
    debug: bool = False,
    extra: Iterable[Tuple[str, str]] = (),
    small_input: bool = False,
) -> Dict[str, str]:
    """The configuration the session is built with (master excluded). A tuned local session
    for a small input gets a driver JVM that starts fast (QUICK_START_JAVA_OPTIONS)."""
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
    if tuned and small_input and master and local_cores(master) is not None \
            and not under_spark_submit():
        java_options.append(QUICK_START_JAVA_OPTIONS)
    if java_options:
        conf["spark.driver.extraJavaOptions"] = " ".join(java_options)
    for key, value in extra:
        if key == "spark.driver.extraJavaOptions" and key in conf:
            value = conf[key] + " " + value
        conf[key] = value
    return conf


def start_session(
    master: Optional[str],
    tuned: bool = True,
    spark_ui: bool = False,
    debug: bool = False,
    extra: Iterable[Tuple[str, str]] = (),
    small_input: bool = False,
):
    """Start (or, under spark-submit, join) the Spark session of this run."""
    if not under_spark_submit():
        if find_java() is None:
            raise InputError(JAVA_HINT)
        if master is None:
            master = DEFAULT_MASTER
    from pyspark.sql import SparkSession

    builder = SparkSession.builder.appName(APP_NAME)
    if master is not None:
        builder = builder.master(master)
    for key, value in session_config(master, tuned, spark_ui, debug, extra, small_input).items():
        builder = builder.config(key, value)
    try:
        with filtered_jvm_stderr(enabled=not debug and not under_spark_submit()):
            session = builder.getOrCreate()
    except Exception as exc:
        text = str(exc)
        if "Java gateway process exited" in text or "JAVA_GATEWAY_EXITED" in text:
            raise InputError(
                "the Spark driver (a Java process) did not start; check that 'java -version' "
                "works and names JDK 17 (or 8/11 for pyspark 3); rerun with --debug for Spark's "
                "own output"
            ) from exc
        if master is not None and not master.startswith("local"):
            raise InputError(
                "could not start a Spark session on master %s: %s" % (master, first_line(text, "unknown error"))
            ) from exc
        raise
    if not debug:
        session.sparkContext.setLogLevel("FATAL")
    return session
