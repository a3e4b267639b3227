"""The progress bar of the one-scan plan's long query follows its tasks through Spark's status
tracker, and leaves the session's job properties as it found them."""
import io

import pandas as pd
import pytest
from pyspark.sql import functions as F

from Tarnwick.cli.progress import ProgressBar, QueryTasks, status_tracker


class _Bar(ProgressBar):
    """A bar that keeps every (done, total) it was shown."""

    def __init__(self):
        super().__init__(0, stream=io.StringIO(), enabled=False, unit="tasks")
        self.shown = []

    def update(self, done, total):
        self.shown.append((done, total))
        super().update(done, total)


def test_the_bar_follows_the_tasks_of_the_query(spark):
    context = spark.sparkContext
    context.setLocalProperty("spark.job.description", "the caller's")
    bar = _Bar()
    with QueryTasks(context, bar, interval=0.005) as following:
        rows = (spark.range(0, 200000, numPartitions=6).groupBy((F.col("id") % 7).alias("k"))
                .agg(F.sum("id")).collect())
    assert len(rows) == 7
    done, total = following.tasks()
    # Six tasks read the range; the grouping's tasks come on top; every one of them finished.
    assert total >= 6 and done == total
    assert bar.shown[-1] == (total, total) and (bar.done, bar.total) == (total, total)
    assert all(d <= t for d, t in bar.shown)
    assert context.getLocalProperty("spark.jobGroup.id") is None
    assert context.getLocalProperty("spark.job.description") == "the caller's"
    context.setLocalProperty("spark.job.description", None)


def test_jobs_outside_the_block_are_not_followed(spark):
    bar = _Bar()
    following = QueryTasks(spark.sparkContext, bar, interval=0.005)
    with following:
        pass
    spark.range(0, 1000, numPartitions=3).count()
    assert following.tasks() == (0, 0)


@pytest.mark.parametrize("frame, has_tracker", [
    (pd.DataFrame({"x": [1.0]}), False), ("data.csv", False), (None, True)])
def test_only_a_classic_spark_frame_has_a_status_tracker(frame, has_tracker, spark):
    frame = spark.range(1) if frame is None else frame
    assert (status_tracker(frame) is not None) is has_tracker
