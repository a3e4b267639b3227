"""The command line against a Spark standalone cluster on loopback: a master and two workers.

Nothing of Tarnwick's needs to reach the executors (the analysis runs on the driver and every
aggregation is Spark SQL): the executors here are not even given a Python interpreter
(PYSPARK_PYTHON points nowhere), and the results must equal those of local mode.
Set TARNWICK_SKIP_CLUSTER_TEST=1 to skip.
"""
import json
import os
import signal
import socket
import subprocess
import time
import urllib.request

import pytest

from cli_helpers import cli_env, run_cli
from test_cli import api_result, assert_same_tables, plain

pytestmark = pytest.mark.skipif(
    os.environ.get("TARNWICK_SKIP_CLUSTER_TEST", "") not in ("", "0"),
    reason="TARNWICK_SKIP_CLUSTER_TEST is set",
)

START_TIMEOUT = 120


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _spark_home():
    import pyspark

    return os.path.dirname(os.path.abspath(pyspark.__file__))


def _daemon_env(home):
    env = cli_env(SPARK_HOME=home, SPARK_LOCAL_IP="127.0.0.1", SPARK_DAEMON_MEMORY="256m")
    env.pop("PYSPARK_GATEWAY_PORT", None)
    return env


class Cluster:
    """Standalone master and workers, each in its own process group so that its executors go too."""

    def __init__(self, folder):
        self.folder = folder
        self.home = _spark_home()
        self.processes = []
        self.master_port = _free_port()
        self.ui_port = _free_port()
        self.url = "spark://127.0.0.1:%d" % self.master_port

    def _start(self, name, arguments):
        log = open(str(self.folder / (name + ".log")), "w")
        process = subprocess.Popen(
            [os.path.join(self.home, "bin", "spark-class")] + arguments,
            env=_daemon_env(self.home), stdout=log, stderr=subprocess.STDOUT,
            start_new_session=True, cwd=str(self.folder),
        )
        log.close()
        self.processes.append(process)

    def start(self, workers=2):
        self._start("master", [
            "org.apache.spark.deploy.master.Master", "--host", "127.0.0.1",
            "--port", str(self.master_port), "--webui-port", str(self.ui_port),
        ])
        for i in range(workers):
            work_dir = self.folder / ("work%d" % i)
            work_dir.mkdir()
            self._start("worker%d" % i, [
                "org.apache.spark.deploy.worker.Worker", self.url, "--host", "127.0.0.1",
                "--webui-port", str(_free_port()), "--cores", "1", "--memory", "768m",
                "--work-dir", str(work_dir),
            ])
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            for process in self.processes:
                if process.poll() is not None:
                    raise RuntimeError("a cluster process ended at start-up:\n" + self.logs())
            if self.alive_workers() == workers:
                return
            time.sleep(1)
        raise RuntimeError("the workers did not register in time:\n" + self.logs())

    def alive_workers(self):
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/json/" % self.ui_port, timeout=5) as answer:
                state = json.loads(answer.read().decode("utf-8"))
        except (OSError, ValueError):
            return 0
        return sum(1 for worker in state.get("workers", []) if worker.get("state") == "ALIVE")

    def logs(self):
        texts = []
        for name in sorted(os.listdir(str(self.folder))):
            if name.endswith(".log"):
                with open(str(self.folder / name)) as handle:
                    texts.append("--- %s\n%s" % (name, handle.read()[-3000:]))
        return "\n".join(texts)

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                try:
                    os.killpg(process.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for process in reversed(self.processes):
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait(timeout=20)
            # Executors are children in the worker's process group: make sure none is left.
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    cluster = Cluster(tmp_path_factory.mktemp("cluster"))
    try:
        cluster.start()
        yield cluster
    finally:
        cluster.stop()


def test_same_results_on_a_standalone_cluster(cluster, data_files, spark):
    env = cli_env(SPARK_LOCAL_IP="127.0.0.1", PYSPARK_PYTHON="/nonexistent/python")
    completed = run_cli(
        [
            data_files["csv"], "--master", cluster.url, "--json", "-q",
            "--conf", "spark.executor.memory=512m", "--conf", "spark.executor.cores=1",
            "--conf", "spark.cores.max=2",
        ],
        env=env,
    )
    assert completed.returncode == 0, completed.stderr + cluster.logs()
    document = json.loads(completed.stdout)
    assert document["run"]["master"] == cluster.url
    assert document["run"]["tests"] == 2 * (1 + 3 + 3)
    local = spark.read.option("header", "true").option("inferSchema", "true").csv(str(data_files["csv"]))
    assert_same_tables(document["results"], plain(api_result(local).to_dict()))
    # The work ran on the cluster's executors, not in the driver.
    executors = [name for name in os.listdir(str(cluster.folder / "work0")) + os.listdir(str(cluster.folder / "work1"))]
    assert executors, "no application ran on the workers"
