"""A small input gets a driver JVM tuned to start fast; a larger one on a few local cores one that
optimises only its hottest code; anything else the usual one."""
import pytest

from Tarnwick.cli import session


@pytest.mark.parametrize("master, tuned, small, submitted, quick, late", [
    ("local[2]", True, True, False, True, False),
    ("local[*]", True, True, False, True, False),
    ("local[2]", True, False, False, False, True),  # a large input: optimised, but late
    ("local[16]", True, False, False, False, False),  # many cores: compilers do not crowd tasks
    ("local[2]", False, True, False, False, False),  # --no-tuning: Spark's own defaults
    ("local[2]", False, False, False, False, False),
    ("spark://h:7077", True, True, False, False, False),
    ("spark://h:7077", True, False, False, False, False),
    ("local[2]", True, True, True, False, False),  # under spark-submit the JVM already runs
    ("local[2]", True, False, True, False, False),
])
def test_jit_options(monkeypatch, master, tuned, small, submitted, quick, late):
    if submitted:
        monkeypatch.setenv("PYSPARK_GATEWAY_PORT", "1")
    else:
        monkeypatch.delenv("PYSPARK_GATEWAY_PORT", raising=False)
    conf = session.session_config(session.SessionSettings(
        master, tuned=tuned, small_input=small, extra=(("spark.driver.extraJavaOptions", "-Dx=1"),)))
    options = conf["spark.driver.extraJavaOptions"]
    assert (session.QUICK_START_JAVA_OPTIONS in options) == quick
    assert (session.LATE_OPTIMISATION_JAVA_OPTIONS in options) == late
    assert options.endswith("-Dx=1")  # the user's options come last and win
    assert ("log4j2.configurationFile" in options) == (not submitted)


def test_small_input_by_size(tmp_path, monkeypatch):
    monkeypatch.setattr(session, "SMALL_INPUT_BYTES", 10)
    small, large, folder = tmp_path / "s.csv", tmp_path / "l.csv", tmp_path / "parts"
    small.write_bytes(b"a\n1\n")
    large.write_bytes(b"a\n" + b"1\n" * 10)
    folder.mkdir()
    (folder / "p1.csv").write_bytes(b"a\n1\n")
    assert session.is_small_input(None)  # the bundled data
    assert session.is_small_input(str(small)) and session.is_small_input("file://" + str(small))
    assert not session.is_small_input(str(large))
    assert session.is_small_input(str(folder))
    (folder / "p2.csv").write_bytes(b"a\n1\n2\n3\n")
    assert not session.is_small_input(str(folder))  # the parts together are too large
    assert not session.is_small_input(str(tmp_path / "absent.csv"))
    assert not session.is_small_input("hdfs:///data/s.csv")


@pytest.mark.parametrize("options", [session.QUICK_START_JAVA_OPTIONS,
                                     session.LATE_OPTIMISATION_JAVA_OPTIONS])
def test_the_installed_java_takes_the_jit_options(options):
    import subprocess

    java = session.find_java()
    if java is None:
        pytest.skip("no Java runtime")
    done = subprocess.run([java] + options.split() + ["-version"], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)
    assert done.returncode == 0, done.stderr
