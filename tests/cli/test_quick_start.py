"""A small input gets a driver JVM tuned to start fast; anything else the usual one."""
import pytest

from Tarnwick.cli import session


@pytest.mark.parametrize("master, tuned, small, submitted, quick", [
    ("local[2]", True, True, False, True),
    ("local[*]", True, True, False, True),
    ("local[2]", True, False, False, False),  # a large input: the optimising compiler pays off
    ("local[2]", False, True, False, False),  # --no-tuning: Spark's own defaults
    ("spark://h:7077", True, True, False, False),
    ("local[2]", True, True, True, False),  # under spark-submit the JVM already runs
])
def test_quick_start_options(monkeypatch, master, tuned, small, submitted, quick):
    if submitted:
        monkeypatch.setenv("PYSPARK_GATEWAY_PORT", "1")
    else:
        monkeypatch.delenv("PYSPARK_GATEWAY_PORT", raising=False)
    conf = session.session_config(session.SessionSettings(
        master, tuned=tuned, small_input=small, extra=(("spark.driver.extraJavaOptions", "-Dx=1"),)))
    options = conf["spark.driver.extraJavaOptions"]
    assert (session.QUICK_START_JAVA_OPTIONS in options) == quick
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
