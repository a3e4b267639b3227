"""Choosing and checking a Spark Connect URL, without a server."""
import socket

import pytest

from Tarnwick.cli import remote
from Tarnwick.cli.errors import InputError
from Tarnwick.cli.options import parse_args


@pytest.mark.parametrize("flag, master, environment, expected", [
    (None, None, None, None),
    ("sc://h:1", None, None, "sc://h:1"),
    (None, None, "sc://env:2", "sc://env:2"),
    ("sc://h:1", None, "sc://env:2", "sc://h:1"),  # the flag wins
    (None, "local[2]", None, None),
    (None, None, "", None),  # set but empty: as if unset
])
def test_choose_url(flag, master, environment, expected):
    environ = {} if environment is None else {"SPARK_REMOTE": environment}
    assert remote.choose_url(flag, master, environ) == expected


@pytest.mark.parametrize("flag, master, environment, message", [
    ("sc://h:1", "local[2]", None, "--remote and --master exclude each other"),
    (None, "local[2]", "sc://env:2/;token=secret", "SPARK_REMOTE is set (sc://env:2)"),
    ("http://h:1", None, None, "--remote must be a Spark Connect URL"),
    (None, None, "local", "SPARK_REMOTE must be a Spark Connect URL"),
    ("sc://:15002", None, None, "names no host"),
    ("sc://h:port", None, None, "has no valid port"),
    ("sc://h:70000", None, None, "has no valid port"),
])
def test_choose_url_refuses(flag, master, environment, message):
    environ = {} if environment is None else {"SPARK_REMOTE": environment}
    with pytest.raises(InputError) as caught:
        remote.choose_url(flag, master, environ)
    assert message in str(caught.value)
    assert "secret" not in str(caught.value)


@pytest.mark.parametrize("url, host, port, shown", [
    ("sc://h", "h", 15002, "sc://h"),
    ("sc://h:1234", "h", 1234, "sc://h:1234"),
    ("sc://h:1234/;token=abc;use_ssl=true", "h", 1234, "sc://h:1234"),
    ("sc://[::1]:1234/", "::1", 1234, "sc://[::1]:1234"),
    ("sc://[::1]", "::1", 15002, "sc://[::1]"),
])
def test_address_and_display(url, host, port, shown):
    assert remote.address(url) == (host, port)
    assert remote.display_url(url) == shown


def test_unreachable_server_is_reported_at_once():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]  # bound but not listening: refuses connections
        with pytest.raises(InputError) as caught:
            remote.check_reachable("sc://127.0.0.1:%d/;token=t" % port, timeout=5)
    text = str(caught.value)
    assert "cannot reach the Spark Connect server at sc://127.0.0.1:%d" % port in text
    assert "token" not in text


def test_option_is_parsed():
    assert parse_args(["--remote", "sc://h:1"]).remote == "sc://h:1"
    assert parse_args([]).remote is None


@pytest.mark.parametrize("path, fmt, expected", [
    ("/server/only/data.parquet", None, "parquet"),  # not here: the server decides
    ("/server/only/dir", "json", "json"),
    ("hdfs:///data/x.csv", None, "csv"),
])
def test_paths_the_server_may_have(path, fmt, expected):
    assert remote.check_and_detect(path, fmt) == expected
    assert remote.data_path(path) == path


def test_local_paths_are_checked_and_made_absolute(tmp_path, monkeypatch):
    monkeypatch.chdir(str(tmp_path))
    (tmp_path / "empty.csv").write_text("")
    (tmp_path / "data.csv").write_text("a,y\nx,1\n")
    with pytest.raises(InputError, match="is empty"):
        remote.check_and_detect("empty.csv", None)
    with pytest.raises(InputError, match="cannot tell the format"):
        remote.check_and_detect("/server/only/data.bin", None)
    assert remote.check_and_detect("data.csv", None) == "csv"
    assert remote.data_path("data.csv") == str(tmp_path / "data.csv")


def test_old_pyspark_is_refused_with_the_reason():
    import pyspark

    if int(pyspark.__version__.split(".")[0]) >= 4:
        remote.require_client()  # the connect extra is installed in this environment
        return
    with pytest.raises(InputError) as caught:
        remote.require_client()
    assert "needs pyspark 4.0 or newer" in str(caught.value)
    assert pyspark.__version__ in str(caught.value)
