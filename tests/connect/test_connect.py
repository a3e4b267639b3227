"""The analyser, the host layer and the command line on Spark Connect data frames.

Each case runs once on the test run's local session and once through a real Connect server (in a
fresh interpreter), and every number of every table must agree.
"""
import json
import math
import os
import re
import subprocess
import sys
import warnings

import numpy as np
import pytest

from Tarnwick.bi.common.results import jsonable

README = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "README.md")
LOCAL_BUILDER = 'SparkSession.builder.master("local[2]")'
CLI_TIMEOUT = 300


def readme_example():
    with open(README) as handle:
        blocks = [b for b in re.findall(r"```python\n(.*?)```", handle.read(), re.S)
                  if "TwoWayAnova(" in b and LOCAL_BUILDER in b]
    assert len(blocks) == 1
    return blocks[0]


def assert_same(remote, local, where="results", rel=1e-9):
    """Same structure, same texts, numbers equal to ``rel`` (None for undefined on both sides)."""
    if isinstance(local, dict):
        assert sorted(remote) == sorted(local), where
        for key in local:
            assert_same(remote[key], local[key], "%s.%s" % (where, key), rel)
    elif isinstance(local, list):
        assert len(remote) == len(local), where
        for i, (r, l) in enumerate(zip(remote, local)):
            assert_same(r, l, "%s[%d]" % (where, i), rel)
    elif isinstance(local, float) and not isinstance(local, bool):
        assert isinstance(remote, (int, float)), "%s: %r" % (where, remote)
        assert math.isclose(remote, local, rel_tol=rel, abs_tol=1e-12), \
            "%s: %r != %r" % (where, remote, local)
    else:
        assert remote == local, "%s: %r != %r" % (where, remote, local)


def plain(structure):
    return json.loads(json.dumps(structure))


def run_remote(run_python, url, body):
    """Run ``body`` after a Connect session ``spark`` on ``url`` is made; returns the JSON it
    prints on its last line."""
    script = ("from pyspark.sql import SparkSession\n"
              "spark = SparkSession.builder.remote(%r).getOrCreate()\n" % url) + body
    completed = run_python(script)
    return json.loads(completed.stdout.strip().splitlines()[-1])


def test_readme_example_runs_unchanged_over_connect(connect_server, run_python, spark):
    example = readme_example()
    local = {}
    exec(compile(example, "README.md", "exec"), local)  # the run's own local session
    remote_example = example.replace(LOCAL_BUILDER,
                                     "SparkSession.builder.remote(%r)" % connect_server.url)
    completed = run_python(
        remote_example + "\nimport json\n"
        "from Tarnwick.bi.common.results import jsonable\n"
        "print(json.dumps({'session': type(spark).__module__, 'frame': type(df).__module__, "
        "'results': results.to_dict(), 'summary': jsonable(results.summary(correction='holm')"
        ".to_dict(orient='list'))}))\n")
    remote = json.loads(completed.stdout.strip().splitlines()[-1])
    # Really a Connect session and frame, not a local one that the builder fell back to.
    assert remote["session"].startswith("pyspark.sql.connect")
    assert remote["frame"].startswith("pyspark.sql.connect")
    assert_same(remote["results"], plain(local["results"].to_dict()))
    summary = local["results"].summary(correction="holm").to_dict(orient="list")
    assert_same(remote["summary"], plain(jsonable(summary)))


@pytest.fixture(scope="module")
def shifted_rows():
    """Two factors with real effects and nulls, and a second measure: the first plus 1e9, whose
    residual sums lose their digits to cancellation (marked, then refined)."""
    rng = np.random.RandomState(11)
    rows = []
    for i, a in enumerate(["a0", "a1", "a2", None]):
        for j, b in enumerate(["b0", "b1", "b2"]):
            for _ in range(rng.randint(3, 9)):
                y = round(20.0 + 0.9 * i - 0.6 * j + rng.normal(0.0, 1.0), 6)
                y = None if rng.rand() < 0.07 else y
                rows.append([a, b, y, None if y is None else y + 1e9])
    return rows


SCHEMA = "a string, b string, y double, big double"
HOST_STEPS = """
import json, warnings
from Tarnwick.bi.common import DataFrameHelper
from Tarnwick.bi.stats.factorpair import TwoWayAnova
df = spark.createDataFrame(json.loads(%r), %r)
helper = DataFrameHelper(df)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    results = TwoWayAnova(df, helper).test_all()
marked = sorted([m, list(d)] for m, d in results.imprecise_tests)
refined = results.refine(df)
print(json.dumps({
    "helper": [helper.get_num_rows(), helper.get_num_unique_values("a"),
               helper.get_numeric_columns(), helper.get_string_columns()],
    "warned": sum(1 for w in caught if issubclass(w.category, RuntimeWarning)),
    "marked": marked, "refined": refined, "results": results.to_dict()}))
"""


def test_host_layer_and_refine_over_connect_match_local(connect_server, run_python, spark,
                                                       shifted_rows):
    from Tarnwick.bi.common import DataFrameHelper
    from Tarnwick.bi.stats.factorpair import TwoWayAnova

    remote = run_remote(run_python, connect_server.url,
                        HOST_STEPS % (json.dumps(shifted_rows), SCHEMA))

    df = spark.createDataFrame(shifted_rows, SCHEMA)
    helper = DataFrameHelper(df)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        results = TwoWayAnova(df, helper).test_all()
    marked = sorted([m, list(d)] for m, d in results.imprecise_tests)
    assert marked == [["big", ["a"]], ["big", ["a", "b"]], ["big", ["b"]]]
    refined = results.refine(df)

    assert remote["helper"] == [helper.get_num_rows(), 4, ["y", "big"], ["a", "b"]]
    assert remote["warned"] == 3
    assert remote["marked"] == marked and remote["refined"] == refined == 3
    assert_same(remote["results"], plain(results.to_dict()), rel=1e-7)


def cli(args, env_extra=None, cwd=None):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env.pop("SPARK_REMOTE", None)
    env.setdefault("PYSPARK_PYTHON", sys.executable)
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-m", "Tarnwick"] + [str(a) for a in args], env=env,
                          cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=CLI_TIMEOUT)


@pytest.fixture(scope="module")
def small_csv(tmp_path_factory, shifted_rows):
    path = tmp_path_factory.mktemp("connect-cli") / "shifted.csv"
    with open(str(path), "w") as handle:
        handle.write("a,b,y\n")
        for a, b, y, _ in shifted_rows:
            handle.write("%s,%s,%s\n" % (a or "", b or "", "" if y is None else repr(y)))
    return path


@pytest.mark.parametrize("how", ["--remote", "SPARK_REMOTE"])
def test_command_line_over_connect_matches_local(connect_server, spark, small_csv, how):
    from Tarnwick.bi.common import DataFrameHelper
    from Tarnwick.bi.stats.factorpair import TwoWayAnova

    # A relative path: the server, whose working directory is elsewhere, gets it made absolute.
    args = [small_csv.name, "--json", "-q", "--conf", "spark.sql.shuffle.partitions=3"]
    if how == "--remote":
        args += ["--remote", connect_server.url + "/;user_id=tests"]
        env = None
    else:
        env = {"SPARK_REMOTE": connect_server.url}
    completed = cli(args, env, cwd=str(small_csv.parent))
    assert completed.returncode == 0, completed.stderr + connect_server.log()
    document = json.loads(completed.stdout)
    assert document["run"]["master"] == connect_server.url  # parameters never shown
    assert document["run"]["tests"] == 1 + 2 + 1

    frame = (spark.read.option("header", "true").option("inferSchema", "true")
             .csv(str(small_csv)))
    local = TwoWayAnova(frame, DataFrameHelper(frame)).test_all()
    assert_same(document["results"], plain(local.to_dict()))


@pytest.mark.parametrize("args, message", [
    (["missing.csv"], "cannot read missing.csv as csv: Path does not exist"),
    (["--master", "local[1]"], "--remote and --master exclude each other"),
])
def test_command_line_over_connect_reports_bad_input(connect_server, args, message):
    completed = cli(args + ["-q", "--remote", connect_server.url])
    assert completed.returncode == 2
    assert message in completed.stderr
    assert "Traceback" not in completed.stderr
