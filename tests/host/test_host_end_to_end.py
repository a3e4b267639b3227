"""The analyser and the host package together on a local SparkSession, and the README example."""
import os
import re
import warnings

import numpy as np
import pytest

from host_terms import make_data, pandas_record
from Tarnwick.bi.common import DataFrameHelper
from Tarnwick.bi.common.results import DFTwoWayAnovaResult

README = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "README.md")


@pytest.fixture(scope="module")
def frame():
    data = make_data("nulls")  # null levels, null measure values, a level without values
    data["big"] = data["y"] + 1e9  # the same spread on top of a huge constant
    return data


def test_test_all_gives_the_tables_of_the_raw_data(spark, frame):
    from Tarnwick.bi.stats.factorpair import TwoWayAnova

    rows = [tuple(None if v is None or (isinstance(v, float) and np.isnan(v)) else v
                  for v in row) for row in frame[["a", "b", "y", "big"]].itertuples(index=False)]
    df = spark.createDataFrame(rows, "a string, b string, y double, big double").coalesce(2)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        results = TwoWayAnova(df, DataFrameHelper(df)).test_all()
    assert isinstance(results, DFTwoWayAnovaResult)
    assert results.measures == ["y", "big"]
    assert results["y"].dimensions == ["a", "b"] and results["y"].pairs == [("a", "b")]

    # The module's tables give the same ANOVA as the pandas route (checked against statsmodels).
    reference = pandas_record(frame, "y", ["a", "b"], [("a", "b")])
    for typ in (1, 2, 3):
        np.testing.assert_allclose(results.get_two_way("y", "a", "b", typ).F.to_numpy()[:3],
                                   reference.get_two_way("a", "b", typ).F.to_numpy()[:3],
                                   rtol=1e-9)
    np.testing.assert_allclose(results.get_one_way("y", "a").F["a"],
                               reference.get_one_way("a").F["a"], rtol=1e-9)
    assert results.get_one_way("y", "a").df["a"] == 3  # a0, a1, a2 and null; a9 has no value

    # The shifted measure loses its residuals to cancellation: marked, warned, then refined.
    marked = [w for w in caught if issubclass(w.category, RuntimeWarning)]
    assert len(marked) == 3
    assert all("mean=1000000" in str(w.message) for w in marked)
    assert sorted(results.imprecise_tests) == [("big", ("a",)), ("big", ("a", "b")),
                                               ("big", ("b",))]
    assert results.refine(df) == 3
    for typ in (1, 2, 3):
        np.testing.assert_allclose(results.get_two_way("big", "a", "b", typ).F.to_numpy()[:3],
                                   reference.get_two_way("a", "b", typ).F.to_numpy()[:3],
                                   rtol=1e-5)
    summary = results.summary(correction="bh")
    assert len(summary) == 2 * (2 + 3) and not summary.imprecise.any()


def test_readme_example_runs(spark):
    with open(README) as handle:
        text = handle.read()
    blocks = [b for b in re.findall(r"```python\n(.*?)```", text, re.S) if "TwoWayAnova(" in b]
    assert len(blocks) == 1
    namespace = {}
    # getOrCreate() in the example returns the test run's session.
    exec(compile(blocks[0], "README.md", "exec"), namespace)
    results = namespace["results"]
    assert results.measures == ["sales"]
    table = results.get_two_way("sales", "region", "day", typ=2)
    assert list(table.df) == [1, 1, 1, 5]
    assert table.p_value["region"] < 0.01
