"""The environment of a fresh interpreter started by a test."""
import os
import sys


def clean_env(**overrides):
    """This process's environment for a child interpreter: without ``PYTHONPATH`` (children
    import the installed package, never the source folder), Spark's workers on this
    interpreter, then ``overrides`` (a value of None removes the variable)."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env.setdefault("PYSPARK_PYTHON", sys.executable)
    for key, value in overrides.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env
