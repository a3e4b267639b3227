"""Tarnwick: statistics over Apache Spark data frames.

This package imports nothing at load time, so that importing one of its modules
(for example ``Tarnwick.version``) pulls in neither pyspark nor pandas.
"""
