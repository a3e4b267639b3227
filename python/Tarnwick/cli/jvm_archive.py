"""A class data sharing archive for the driver JVM of a local run.

A fresh JVM spends most of a short Spark run loading, parsing and verifying Spark's classes, and
every run starts a fresh one. From JDK 13 on, the JVM can write the classes an application
loaded to an archive as it exits (``-XX:ArchiveClassesAtExit``) and map them, already parsed and
verified, when it next starts (``-XX:SharedArchiveFile``). On a 2-core machine, a run on 10⁶
rows: the session starts in 1.3 s instead of 2.2 s, the file is read in 1.1 s instead of 2.3 s
and the analysis takes 2.5 s instead of 2.9 s (``bench/whole_process.py``).

How it goes:

* The first local run without an archive has its driver JVM write one (about 140 MB) as it
  exits. That is after the run has printed its results and ended: the JVM goes on for some
  seconds in the background. Its log, whose name carries the JVM's process id, says when the
  archive is whole.
* A later run gives a whole archive its final name (a rename: a JVM never maps a file still
  being written, which would crash it) and starts from it. A partial archive whose JVM ended
  without finishing it is deleted; after :data:`MOST_FAILURES` of those the folder stops
  trying (delete its ``.failed`` file to try again).
* An archive holds for the Java runtime and the class path that wrote it, so its name is a
  digest of both (the Spark jars, and the run's settings that add to them): another pyspark
  or JDK writes its own. The JVM also refuses an archive that does not match, silently, and
  runs as usual.
* A run whose JVM would start with a Java agent or the flight recorder (in its own options,
  the environment's or Spark's defaults) does without: JDK 17 crashes mapping an archive
  while such a hook sees every class loaded.

``TARNWICK_JVM_ARCHIVE`` names the folder, or is ``off``; by default it is
``$XDG_CACHE_HOME/tarnwick/jvm`` (``~/.cache/tarnwick/jvm``). The JVM trusts what it maps, so
the folder must be the user's own and writable by nobody else; otherwise no archive is used.
At most :data:`KEPT` archives stay, the least recently used going first.
"""
from __future__ import annotations

import hashlib
import os
import re
import shutil
import stat
import time
import uuid
from typing import Iterable, List, NamedTuple, Optional, Tuple

from Tarnwick.cli.signals import process_alive

#: The environment variable that names the archives' folder, or turns them off.
VARIABLE = "TARNWICK_JVM_ARCHIVE"
OFF = ("off", "0", "no", "false")
#: The first Java release that writes an archive of an application's classes at exit.
FIRST_RELEASE = 13
#: Archives kept in the folder (one per Java runtime and Spark install in use).
KEPT = 3
#: Failed attempts after which the folder stops trying.
MOST_FAILURES = 2
#: Free space under which no archive is written.
FREE_BYTES_NEEDED = 1 << 30
#: Seconds after which a JVM that wrote its archive but seems to run still is taken for gone
#: (its process id reused), and after which an attempt without an end is given up.
SETTLED_SECONDS = 120.0
STALE_SECONDS = 24 * 3600.0

#: What the JVM logs once the archive is written and closed.
WRITTEN = "Written dynamic archive"
# The JVM's own CDS messages stay off stdout and stderr: a run's output is its own.
_QUIET = "-Xlog:cds=off,cds+dynamic=off"
# Paths the JVM's options carry as they are: no spaces or quotes (Spark splits the options on
# them), no ':' (it separates two archives), no '%' (the log's name expands it).
_PLAIN_PATH = re.compile(r"^[A-Za-z0-9_./+-]+$")
_LOG = re.compile(r"^(?P<attempt>[0-9a-f]{16}\.[0-9a-f]+)\.(?P<pid>\d+)\.log$")
# Java options that hook every class the JVM loads: agents and the flight recorder. JDK 17 dies
# (SIGSEGV) mapping a dynamic archive under such a hook, so a run with one gets no archive.
_CLASS_HOOKS = re.compile(r"-javaagent:|-agentlib:|-agentpath:|FlightRecord")
#: The settings that hold the driver's Java options.
DRIVER_OPTION_SETTINGS = ("spark.driver.extraJavaOptions", "spark.driver.defaultJavaOptions")
#: Where else the driver JVM's options come from: the variables that the JVM, its launcher,
#: Spark's scripts and pyspark's launch read.
OPTION_VARIABLES = ("JAVA_TOOL_OPTIONS", "JDK_JAVA_OPTIONS", "_JAVA_OPTIONS",
                    "SPARK_SUBMIT_OPTS", "PYSPARK_SUBMIT_ARGS")


class Options(NamedTuple):
    """The driver's Java options for the archive, and the attempt this run makes at writing
    it ("" where it maps one, or none)."""

    java: str = ""
    attempt: str = ""

    @property
    def writes(self) -> bool:
        return bool(self.attempt)


def folder() -> Optional[str]:
    """The archives' folder, or None when ``TARNWICK_JVM_ARCHIVE`` turns them off."""
    chosen = os.environ.get(VARIABLE, "").strip()
    if chosen.lower() in OFF:
        return None
    if chosen:
        return os.path.abspath(os.path.expanduser(chosen))
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(cache, "tarnwick", "jvm")


def java_release(java: str) -> Optional[Tuple[int, str]]:
    """(feature release, full version) of the runtime of the ``java`` executable, read from its
    ``release`` file; None where there is none to read."""
    home = os.path.dirname(os.path.dirname(os.path.realpath(java)))
    fields = {}
    try:
        with open(os.path.join(home, "release"), encoding="utf-8", errors="replace") as text:
            for line in text:
                key, _, value = line.partition("=")
                fields[key.strip()] = value.strip().strip('"')
    except OSError:
        return None
    version = fields.get("JAVA_VERSION", "")
    match = re.match(r"^(?:1\.)?(\d+)", version)
    if not match:
        return None
    return int(match.group(1)), fields.get("JAVA_RUNTIME_VERSION", version)


def spark_jars() -> Optional[str]:
    """The folder of the Spark jars the driver JVM loads, or None where it cannot be found."""
    try:
        # The function pyspark's launcher itself asks, so that the jars are the JVM's own.
        from pyspark.find_spark_home import _find_spark_home

        jars = os.path.join(_find_spark_home(), "jars")
    except (Exception, SystemExit):  # it exits where it finds no Spark: then no archive
        return None
    return jars if os.path.isdir(jars) else None


def _spark_defaults(jars: str) -> List[str]:
    """The driver's Java options in the ``spark-defaults.conf`` that Spark's launch reads
    (``$SPARK_CONF_DIR``, else the ``conf`` folder beside the jars)."""
    conf = os.environ.get("SPARK_CONF_DIR") or os.path.join(os.path.dirname(jars), "conf")
    try:
        with open(os.path.join(conf, "spark-defaults.conf"), encoding="utf-8",
                  errors="replace") as lines:
            return [line for line in lines if line.strip().startswith(DRIVER_OPTION_SETTINGS)]
    except OSError:
        return []


def hooks_classes(jars: str, driver_options: Iterable[str] = ()) -> bool:
    """Whether the driver JVM would start with an agent or the flight recorder: from the run's
    own Java options (``driver_options``), the environment or Spark's defaults."""
    texts = list(driver_options) + [os.environ.get(name, "") for name in OPTION_VARIABLES]
    return any(_CLASS_HOOKS.search(text) for text in texts + _spark_defaults(jars))


def archive_name(java: str, runtime: str, jars: str, settings: Iterable[str] = ()) -> str:
    """The digest that names the archive of this runtime, these jars and these driver
    settings: anything the JVM checks an archive against changes it."""
    digest = hashlib.sha256()
    for part in [os.path.realpath(java), runtime, os.path.realpath(jars)] + list(settings):
        digest.update(part.encode("utf-8", "surrogatepass") + b"\0")
    for entry in sorted(os.scandir(jars), key=lambda e: e.name):
        info = entry.stat()
        digest.update(("%s %d %d\0" % (entry.name, info.st_size, info.st_mtime_ns)).encode(
            "utf-8", "surrogatepass"))
    return digest.hexdigest()[:16]


def _own_folder(path: str) -> bool:
    """Make ``path`` (for this user alone) where it is missing; True where it is a folder of
    this user's that nobody else may write to."""
    try:
        os.makedirs(path, mode=0o700, exist_ok=True)
        info = os.lstat(path)
    except OSError:
        return False
    return (stat.S_ISDIR(info.st_mode) and info.st_uid == os.getuid()
            and not info.st_mode & (stat.S_IWGRP | stat.S_IWOTH))


def _remove(*paths: str) -> None:
    for path in paths:
        try:
            os.remove(path)
        except OSError:
            pass


def _failures(path: str) -> int:
    try:
        with open(path, encoding="ascii") as text:
            return int(text.read().strip() or 0)
    except (OSError, ValueError):
        return 0


def settle(where: str, now: Optional[float] = None) -> List[str]:
    """Give every whole archive in ``where`` its final name and delete failed attempts;
    returns the names of the attempts still being written (their JVM runs)."""
    now = time.time() if now is None else now
    running = []
    try:
        entries = os.listdir(where)
    except OSError:
        return running
    logs = {}
    for entry in entries:
        match = _LOG.match(entry)
        if match:
            logs[match.group("attempt")] = (entry, int(match.group("pid")))
    for attempt, (log_name, pid) in logs.items():
        name = attempt.split(".")[0]  # the archive's, of which this is an attempt
        log, partial = os.path.join(where, log_name), os.path.join(where, attempt + ".partial")
        try:
            with open(log, encoding="utf-8", errors="replace") as text:
                written = WRITTEN in text.read()
            age = now - os.path.getmtime(log)
        except OSError:
            continue
        jvm_running = process_alive(pid)
        if written and (not jvm_running or age > SETTLED_SECONDS):
            try:
                os.replace(partial, os.path.join(where, name + ".jsa"))
            except OSError:  # another run moved it first, or it was deleted
                pass
            _remove(log, os.path.join(where, name + ".failed"))
        elif not written and (not jvm_running or age > STALE_SECONDS):
            _remove(partial, log)
            failed = os.path.join(where, name + ".failed")
            count = _failures(failed) + 1
            try:
                with open(failed, "w", encoding="ascii") as text:
                    text.write("%d\n" % count)
            except OSError:
                pass
        else:
            running.append(attempt)
    # Partial archives whose log is gone (deleted by hand): nothing will finish them.
    for entry in entries:
        if entry.endswith(".partial") and entry[:-len(".partial")] not in logs:
            path = os.path.join(where, entry)
            try:
                if now - os.path.getmtime(path) > STALE_SECONDS:
                    _remove(path)
            except OSError:
                pass
    return running


def _keep_newest(where: str, kept: int) -> None:
    """Delete all but the ``kept`` most recently used archives."""
    archives = []
    for entry in os.listdir(where):
        if entry.endswith(".jsa"):
            path = os.path.join(where, entry)
            try:
                archives.append((os.path.getmtime(path), path))
            except OSError:
                pass
    for _, path in sorted(archives, reverse=True)[kept:]:
        _remove(path)


def java_options(java: Optional[str], settings: Iterable[str] = (),
                 driver_options: Iterable[str] = ()) -> Options:
    """The archive's options for a driver JVM of ``java`` (the run's ``--conf`` pairs that
    change its class path in ``settings``, its own Java options in ``driver_options``): map
    the archive where a whole one exists, else have this JVM write it where no other is being
    written; nothing where archives are off, the runtime is older than :data:`FIRST_RELEASE`,
    the JVM would hook its classes (:func:`hooks_classes`) or the folder is not safe to use."""
    where = folder()
    if where is None or java is None:
        return Options()
    release = java_release(java)
    jars = spark_jars()
    if release is None or release[0] < FIRST_RELEASE or jars is None:
        return Options()
    if hooks_classes(jars, driver_options):
        return Options()
    try:
        name = archive_name(java, release[1], jars, settings)
    except OSError:
        return Options()
    if not _PLAIN_PATH.match(where) or not _own_folder(where):
        return Options()
    try:
        return _options(where, name)
    except OSError:  # the folder changed under this run: it starts without an archive
        return Options()


def _options(where: str, name: str) -> Options:
    """The options of :func:`java_options` for the archive ``name`` in the folder ``where``."""
    running = settle(where)
    archive = os.path.join(where, name + ".jsa")
    if os.path.isfile(archive):
        try:
            os.utime(archive)  # recently used: kept
        except OSError:
            pass
        return Options("-XX:SharedArchiveFile=%s %s" % (archive, _QUIET))
    if any(attempt.startswith(name + ".") for attempt in running) \
            or _failures(os.path.join(where, name + ".failed")) >= MOST_FAILURES:
        return Options()
    if shutil.disk_usage(where).free < FREE_BYTES_NEEDED:
        return Options()
    _keep_newest(where, KEPT - 1)
    attempt = "%s.%s" % (name, uuid.uuid4().hex[:12])
    # %p: the JVM writes its process id into the log's name, which tells when it has ended.
    return Options("-XX:ArchiveClassesAtExit=%s %s -Xlog:cds+dynamic=info:file=%s" % (
        os.path.join(where, attempt + ".partial"), _QUIET,
        os.path.join(where, attempt + ".%p.log")), attempt)


def abandon(attempt: str) -> None:
    """Delete what the JVM of ``attempt`` wrote, once it has been stopped before finishing
    (an interrupted run): a user's interrupt is not a failure of the folder."""
    where = folder()
    if where is None or not attempt:
        return
    try:
        entries = os.listdir(where)
    except OSError:
        return
    _remove(*[os.path.join(where, entry) for entry in entries
              if entry == attempt + ".partial"
              or (entry.startswith(attempt + ".") and _LOG.match(entry))])


def wait_until_written(timeout: float, poll: float = 0.5) -> bool:
    """Wait up to ``timeout`` seconds for the archives being written in the folder to be
    whole; returns whether the folder then holds an archive. For benchmarks and tests, which
    time runs that start from the archive."""
    where = folder()
    if where is None:
        return False
    deadline = time.monotonic() + timeout
    while settle(where) and time.monotonic() < deadline:
        time.sleep(poll)
    try:
        return any(entry.endswith(".jsa") for entry in os.listdir(where))
    except OSError:
        return False
