"""Counting the Spark SQL executions of the test session: how many scans a step costs."""


def sql_queries(spark):
    """Spark SQL executions recorded so far that ran jobs (Spark's SQL listener, read after its
    event queue drained). Commands without a job, such as registering a temporary view, are
    not counted: they read no data."""
    spark.sparkContext._jsc.sc().listenerBus().waitUntilEmpty()
    store = spark._jsparkSession.sharedState().statusStore()
    listed = spark.sparkContext._jvm.scala.collection.JavaConverters.seqAsJavaList(
        store.executionsList())
    return [e.executionId() for e in listed if e.jobs().size() > 0]
