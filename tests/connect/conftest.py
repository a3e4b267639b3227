"""A real Spark Connect server on loopback, one per test run, for the tests of this folder.

The server is the one the pip pyspark 4.x ships (``sbin/start-connect-server.sh`` with the connect
jar in ``jars/``), run in the foreground in a process group of its own so that stopping it stops
its JVM too; it is stopped when the run ends, also after failures.

Clients run in fresh interpreters: the first Connect session of a process switches pyspark's
column functions to Connect for the whole process, which would break the local session that the
other tests share.
"""
import glob
import os
import signal
import socket
import subprocess
import sys
import time

import pytest

START_TIMEOUT = 180


def connect_unsupported():
    """Why this interpreter's pyspark cannot run the Connect tests, or None when it can."""
    import pyspark

    major = int(pyspark.__version__.split(".")[0])
    if major < 4:
        return ("pyspark %s: its Spark Connect data frame is not a pyspark.sql.DataFrame and its "
                "pip package ships no Connect server" % pyspark.__version__)
    try:
        import pyspark.sql.connect.session  # noqa: F401
    except ImportError as exc:
        return "pyspark %s without its connect extra: %s" % (pyspark.__version__, exc)
    home = spark_home()
    if not os.path.exists(os.path.join(home, "sbin", "start-connect-server.sh")):
        return "pyspark %s ships no sbin/start-connect-server.sh" % pyspark.__version__
    if not glob.glob(os.path.join(home, "jars", "spark-connect_*.jar")):
        return "pyspark %s ships no spark-connect jar" % pyspark.__version__
    return None


def spark_home():
    import pyspark

    return os.path.dirname(os.path.abspath(pyspark.__file__))


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ConnectServer:
    """A Spark Connect server on 127.0.0.1 with a local[2] driver."""

    def __init__(self, folder):
        self.folder = folder
        self.port = free_port()
        self.url = "sc://127.0.0.1:%d" % self.port
        self.log_path = str(folder / "server.log")
        self.process = None

    def start(self):
        home = spark_home()
        env = dict(os.environ)
        env.pop("PYTHONPATH", None)
        env.pop("SPARK_REMOTE", None)
        env.update(SPARK_HOME=home, SPARK_LOCAL_IP="127.0.0.1", SPARK_LOG_DIR=str(self.folder),
                   SPARK_PID_DIR=str(self.folder), PYSPARK_PYTHON=sys.executable)
        env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
        command = [
            "bash", os.path.join(home, "sbin", "start-connect-server.sh"), "--wait",
            "--master", "local[2]",
            "--conf", "spark.connect.grpc.binding.address=127.0.0.1",
            "--conf", "spark.connect.grpc.binding.port=%d" % self.port,
            "--conf", "spark.ui.enabled=false",
            "--conf", "spark.sql.shuffle.partitions=2",
            "--conf", "spark.driver.memory=768m",
        ]
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen(command, env=env, stdout=log, stderr=subprocess.STDOUT,
                                            cwd=str(self.folder), start_new_session=True)
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("the Connect server ended at start-up:\n" + self.log())
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=2):
                    return
            except OSError:
                time.sleep(1)
        raise RuntimeError("the Connect server did not listen in time:\n" + self.log())

    def log(self):
        with open(self.log_path) as handle:
            return handle.read()[-4000:]

    def stop(self):
        if self.process is None:
            return
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            pass
        try:  # the JVM is in the same group: make sure nothing of it is left
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait(timeout=30)


@pytest.fixture(scope="session")
def connect_server(tmp_path_factory):
    reason = connect_unsupported()
    if reason is not None:
        pytest.skip(reason)
    server = ConnectServer(tmp_path_factory.mktemp("connect-server"))
    try:
        server.start()
        yield server
    finally:
        server.stop()
