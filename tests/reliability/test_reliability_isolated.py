"""Runs the isolated reliability cases in a fresh interpreter.

The cases need stand-ins for Spark, pandas and the host package in place before the analyser
module is first imported (``accepts`` and ``DataFrame`` are used when its class is built, and
an extension module initialises once per process), so they run in their own interpreter with
the ``fake_host`` plugin, and with ``PYTHONMALLOC=malloc`` so that the leak check's C-heap
figure sees every allocation.  To run them by hand::

    PYTHONMALLOC=malloc PYTHONPATH=tests:tests/reliability/isolated .venv/py3.7/bin/python \\
        -m pytest -p fake_host -o python_files='case_*.py' tests/reliability/isolated
"""
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ISOLATED = os.path.join(HERE, "isolated")
TESTS = os.path.dirname(HERE)


@pytest.mark.parametrize("cases", ["case_binding.py", "case_methods.py", "case_leaks.py"])
def test_isolated_cases(cases, tmp_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([TESTS, ISOLATED])
    env["PYTHONMALLOC"] = "malloc"
    completed = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "fake_host", "-p", "no:cacheprovider",
         "-o", "python_files=case_*.py", "--rootdir", ISOLATED, os.path.join(ISOLATED, cases)],
        cwd=str(tmp_path), env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, timeout=600,
    )
    assert completed.returncode == 0, completed.stdout[-20000:]
