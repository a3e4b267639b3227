"""Counting the Spark SQL executions of the test session: how many scans a step costs."""


def _executions(spark):
    """Spark SQL executions recorded so far that ran jobs (Spark's SQL listener, read after its
    event queue drained). Commands without a job, such as registering a temporary view, are
    left out: they read no data."""
    spark.sparkContext._jsc.sc().listenerBus().waitUntilEmpty()
    store = spark._jsparkSession.sharedState().statusStore()
    listed = spark.sparkContext._jvm.scala.collection.JavaConverters.seqAsJavaList(
        store.executionsList())
    return [e for e in listed if e.jobs().size() > 0]


def sql_queries(spark):
    """The ids of the executions so far that ran jobs."""
    return [e.executionId() for e in _executions(spark)]


def sql_plans(spark):
    """Execution id to its physical plan as last described (the final adaptive plan once it
    has run), for the executions so far that ran jobs."""
    return {e.executionId(): e.physicalPlanDescription() for e in _executions(spark)}
