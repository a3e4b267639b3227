"""The embedded engine: local files analysed in process with DuckDB, beside Spark."""
