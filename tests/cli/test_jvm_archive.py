"""The driver JVM's class archive: when a run writes one, when it becomes whole, when a run maps it."""
import json
import os
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest

from Tarnwick.cli import jvm_archive, session
from Tarnwick.cli.jvm_archive import Options
from cli_helpers import cli_env, run_cli

ALIVE = os.getpid()


def _dead_pid():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


@pytest.fixture
def archives(tmp_path, monkeypatch):
    """A folder of the test's own, a Java 17 home (an empty ``java``) and a jars folder."""
    where = tmp_path / "archives"
    monkeypatch.setenv(jvm_archive.VARIABLE, str(where))
    home = tmp_path / "jdk"
    (home / "bin").mkdir(parents=True)
    java = home / "bin" / "java"
    java.write_text("")
    java.chmod(0o755)
    (home / "release").write_text('JAVA_VERSION="17.0.2"\nJAVA_RUNTIME_VERSION="17.0.2+8"\n')
    jars = tmp_path / "jars"
    jars.mkdir()
    (jars / "spark-core.jar").write_bytes(b"classes")
    monkeypatch.setattr(jvm_archive, "spark_jars", lambda: str(jars))
    for name in jvm_archive.OPTION_VARIABLES + ("SPARK_CONF_DIR",):
        monkeypatch.delenv(name, raising=False)
    return SimpleNamespace(where=where, java=str(java), home=home, jars=jars)


def _attempt(options):
    """The attempt of a run that writes the archive, which its options name."""
    assert options.java.startswith("-XX:ArchiveClassesAtExit=")
    assert "/%s.partial " % options.attempt in options.java
    return options.attempt


def _jvm_ran(where, attempt, pid, written, age=0.0):
    """What a JVM that wrote (or began) ``attempt`` leaves: its log, and the partial archive."""
    log = where / ("%s.%d.log" % (attempt, pid))
    log.write_text("[info][cds,dynamic] %s 0x8 - 0x9\n" % jvm_archive.WRITTEN if written else "")
    (where / (attempt + ".partial")).write_bytes(b"archive")
    if age:
        then = time.time() - age
        os.utime(str(log), (then, then))
    return log


@pytest.mark.parametrize("change", [
    "off", "java 11", "java 8", "no release file", "no jars", "shared folder", "space in path",
    "agent in the run's options", "flight recorder in the environment",
    "agent in Spark's defaults", None,
])
def test_runs_write_no_archive_where_it_cannot_be_trusted_or_used(archives, monkeypatch, change):
    """Nor where the JVM would hook the classes it loads: JDK 17 crashes mapping an archive
    under a Java agent or the flight recorder."""
    driver_options = ["-Dx=1"]
    if change == "agent in the run's options":
        driver_options.append("-Dy=2 -javaagent:/opt/apm.jar")
    elif change == "flight recorder in the environment":
        monkeypatch.setenv("JAVA_TOOL_OPTIONS", "-XX:StartFlightRecording=filename=/tmp/a.jfr")
    elif change == "agent in Spark's defaults":
        (archives.jars.parent / "conf").mkdir()
        (archives.jars.parent / "conf" / "spark-defaults.conf").write_text(
            "spark.driver.memory 2g\nspark.driver.extraJavaOptions -agentpath:/opt/p.so\n")
    elif change == "off":
        monkeypatch.setenv(jvm_archive.VARIABLE, "off")
    elif change in ("java 11", "java 8"):
        version = "11.0.2" if change == "java 11" else "1.8.0_392"
        (archives.home / "release").write_text('JAVA_VERSION="%s"\n' % version)
    elif change == "no release file":
        (archives.home / "release").unlink()
    elif change == "no jars":
        monkeypatch.setattr(jvm_archive, "spark_jars", lambda: None)
    elif change == "shared folder":
        archives.where.mkdir()
        archives.where.chmod(0o777)
    elif change == "space in path":
        monkeypatch.setenv(jvm_archive.VARIABLE, str(archives.where) + " x")
    options = jvm_archive.java_options(archives.java, (), driver_options)
    if change is None:
        assert options.writes and _attempt(options)
        assert (archives.where.stat().st_mode & 0o777) == 0o700
    else:
        assert options == Options()


@pytest.mark.parametrize("written, alive, age, outcome", [
    (True, False, 0, "whole"),
    (True, True, 0, "running"),  # written, its JVM still ending
    (True, True, jvm_archive.SETTLED_SECONDS + 5, "whole"),  # its process id taken by another
    (False, True, 0, "running"),
    (False, False, 0, "failed"),  # killed while writing, or never got there
    (False, True, jvm_archive.STALE_SECONDS + 5, "failed"),
])
def test_an_attempt_is_used_once_whole_and_deleted_once_failed(archives, written, alive, age,
                                                               outcome):
    first = jvm_archive.java_options(archives.java)
    attempt = _attempt(first)
    name = attempt.split(".")[0]
    log = _jvm_ran(archives.where, attempt, ALIVE if alive else _dead_pid(), written, age)
    (archives.where / (name + ".failed")).write_text("1\n")  # an earlier attempt failed

    following = jvm_archive.java_options(archives.java)

    archive = archives.where / (name + ".jsa")
    if outcome == "whole":
        assert following == Options("-XX:SharedArchiveFile=%s -Xlog:cds=off,cds+dynamic=off"
                                    % archive)
        assert archive.read_bytes() == b"archive" and not log.exists()
        assert not (archives.where / (name + ".failed")).exists()  # failures forgotten
    elif outcome == "running":
        assert following == Options()  # no second attempt beside it, nothing mapped
        assert log.exists() and not archive.exists()
        assert (archives.where / (name + ".failed")).read_text().strip() == "1"
    else:
        assert following == Options()  # the second failure: the folder stops trying
        assert not log.exists() and not (archives.where / (attempt + ".partial")).exists()
        assert (archives.where / (name + ".failed")).read_text().strip() == "2"


def test_the_folder_stops_trying_after_repeated_failures(archives):
    for _ in range(jvm_archive.MOST_FAILURES):
        attempt = _attempt(jvm_archive.java_options(archives.java))
        _jvm_ran(archives.where, attempt, _dead_pid(), written=False)
    assert jvm_archive.java_options(archives.java) == Options()


def test_an_interrupted_attempt_is_deleted_without_counting_as_failed(archives):
    abandoned = _attempt(jvm_archive.java_options(archives.java))
    _jvm_ran(archives.where, abandoned, _dead_pid(), written=False)
    other = archives.where / ("0123456789abcdef.fedcba.%d.log" % ALIVE)  # another run's, running
    other.write_text("")

    jvm_archive.abandon(abandoned)

    assert sorted(p.name for p in archives.where.iterdir()) == [other.name]
    again = jvm_archive.java_options(archives.java)
    assert again.writes and again.attempt != abandoned
    assert not list(archives.where.glob("*.failed"))


def test_the_least_recently_used_archives_go_first(archives):
    archives.where.mkdir(mode=0o700)
    now = time.time()
    for age, name in enumerate(["new", "middle", "old", "oldest"]):
        path = archives.where / (name + ".jsa")
        path.write_bytes(b"x")
        os.utime(str(path), (now - 100 * age, now - 100 * age))
    assert jvm_archive.java_options(archives.java).writes  # room made for the one it writes
    assert sorted(p.name for p in archives.where.iterdir() if p.suffix == ".jsa") == [
        "middle.jsa", "new.jsa"]


@pytest.mark.parametrize("change", ["jar size", "jar added", "settings", "runtime"])
def test_an_archive_is_named_for_what_the_jvm_checks_it_against(archives, change):
    before = jvm_archive.archive_name(archives.java, "17.0.2+8", str(archives.jars))
    settings, runtime = (), "17.0.2+8"
    if change == "jar size":
        (archives.jars / "spark-core.jar").write_bytes(b"other classes")
    elif change == "jar added":
        (archives.jars / "extra.jar").write_bytes(b"x")
    elif change == "settings":
        settings = ("spark.driver.extraClassPath=/opt/x.jar",)
    else:
        runtime = "17.0.3+7"
    assert jvm_archive.archive_name(archives.java, runtime, str(archives.jars), settings) != before


@pytest.mark.parametrize("master, tuned, submitted, active, asked", [
    ("local[2]", True, False, False, True),
    (None, True, False, False, True),  # the default master is local
    ("local[2]", False, False, False, False),  # --no-tuning: the JVM as Spark starts it
    ("spark://h:7077", True, False, False, False),
    ("local[2]", True, True, False, False),  # spark-submit's JVM runs already
    ("local[2]", True, False, True, False),  # so does an active session's
])
def test_only_a_tuned_local_run_that_starts_its_jvm_uses_the_archive(
        monkeypatch, master, tuned, submitted, active, asked):
    """The archive is named for the class path, so only the settings of the class path reach
    it."""
    from pyspark.sql import SparkSession

    calls = []
    monkeypatch.setattr(jvm_archive, "java_options",
                        lambda java, class_path, driver_options:
                        calls.append((class_path, driver_options)) or Options("-XX:A", "a.b"))
    monkeypatch.setattr(SparkSession, "getActiveSession",
                        classmethod(lambda cls: object() if active else None))
    if submitted:
        monkeypatch.setenv("PYSPARK_GATEWAY_PORT", "1")
    else:
        monkeypatch.delenv("PYSPARK_GATEWAY_PORT", raising=False)
    extra = (("spark.jars", "/opt/x.jar"), ("spark.driver.memory", "2g"),
             ("spark.driver.extraJavaOptions", "-Dx=1"))
    settings = session.SessionSettings(master, tuned=tuned, extra=extra)

    options = session.archive_options(settings)

    assert (options == Options("-XX:A", "a.b")) == asked
    # what the class path holds, and the run's Java options (checked for agents)
    assert calls == ([(["spark.jars=/opt/x.jar"], ["-Dx=1"])] if asked else [])
    conf = session.session_config(settings._replace(master=master or "local[2]",
                                                    archive=options.java))
    java_options = conf.get("spark.driver.extraJavaOptions", "")
    assert ("-XX:A" in java_options) == asked


def test_the_users_java_options_come_after_the_archives():
    conf = session.session_config(session.SessionSettings(
        "local[2]", archive="-XX:SharedArchiveFile=/a.jsa",
        extra=(("spark.driver.extraJavaOptions", "-Dx=1"),)))
    assert conf["spark.driver.extraJavaOptions"].endswith("-XX:SharedArchiveFile=/a.jsa -Dx=1")


def test_what_the_jvm_prints_on_stdout_goes_to_stderr(run_python):
    done = run_python("""
        import sys
        from pyspark import java_gateway
        from Tarnwick.cli import session

        launched = []
        with session._recording_launches(launched):
            java_gateway.Popen([sys.executable, "-c", "print('from the launched process')"]).wait()
        assert len(launched) == 1
    """)
    assert done.stdout == ""
    assert "from the launched process" in done.stderr


def _installed_java():
    java = session.find_java()
    release = jvm_archive.java_release(java) if java else None
    if release is None or release[0] < jvm_archive.FIRST_RELEASE:
        pytest.skip("no Java runtime that writes class archives (JDK 13 or newer)")
    return java


def test_the_installed_java_takes_the_options_as_given(archives):
    java = _installed_java()
    writing = jvm_archive.java_options(java)
    assert writing.writes

    wrote = subprocess.run([java] + writing.java.split() + ["-version"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert wrote.returncode == 0 and wrote.stdout == b"", wrote.stderr
    mapping = jvm_archive.java_options(java)
    assert "-XX:SharedArchiveFile=" in mapping.java and not mapping.writes

    mapped = subprocess.run([java] + mapping.java.split() + ["-Xlog:class+load=info", "-version"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)
    assert mapped.returncode == 0, mapped.stderr
    assert "source: shared objects file (top)" in mapped.stdout  # from our archive


def test_a_run_writes_the_archive_and_the_next_run_starts_from_it(tmp_path, monkeypatch):
    _installed_java()
    where = tmp_path / "archives"
    env = cli_env(TARNWICK_JVM_ARCHIVE=str(where))

    first = run_cli(["--json", "--master", "local[2]"], env=env)
    assert first.returncode == 0, first.stderr
    assert "the Java runtime writes its classes to %s" % where in first.stderr
    monkeypatch.setenv(jvm_archive.VARIABLE, str(where))
    assert jvm_archive.wait_until_written(timeout=300)
    classes = tmp_path / "classes.log"
    second = run_cli(["--json", "--master", "local[2]", "--conf",
                      "spark.driver.extraJavaOptions=-Xlog:class+load=info:file=%s" % classes],
                     env=env)
    assert second.returncode == 0, second.stderr
    assert "writes its classes" not in second.stderr
    assert "source: shared objects file (top)" in classes.read_text()
    assert json.loads(second.stdout)["results"] == json.loads(first.stdout)["results"]

    # The flight recorder hooks every class loaded: with the archive mapped, the JVM crashed.
    recorded = run_cli(["--json", "--master", "local[2]", "--conf",
                        "spark.driver.extraJavaOptions=-XX:StartFlightRecording=filename=%s"
                        % (tmp_path / "run.jfr")], env=env)
    assert recorded.returncode == 0, recorded.stderr
    assert json.loads(recorded.stdout)["results"] == json.loads(first.stdout)["results"]
