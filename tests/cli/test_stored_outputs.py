"""The command line's output bytes, compared with outputs stored from an earlier build.

Restructuring the command line must not change a byte of what it prints. Each case runs
``Tarnwick.cli.main`` in this process (joining the test session's Spark) and compares stdout
with the file stored under ``stored/``; only the run's timings are masked, and a number whose
last digits differ counts as the same within a relative 1e-10. Those digits depend on the
processor: numpy's ``exp``, ``log`` and sums use its vector instructions where it has them,
and the width of those changes the last bit and the order of additions. Sums of squares move
in the 15th or 16th digit, and a p-value near 1e-147 by 2e-13 of itself; the text format
shows too few digits to see it.

The runs name ``--engine spark``: the stored bytes are Spark's (the header names the engine,
and the last digits of p-values far below 1e-12 are rounding); the embedded engine's outputs
are compared with Spark's, number by number, in tests/embedded/test_engines_agree.py. To
store the outputs of the code as it is now (after a deliberate change of the output), run this
file with ``TARNWICK_STORE_OUTPUTS=1``.
"""
import math
import os
import re
import sys

import pytest

from Tarnwick.cli import main

STORED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stored")
STORE = os.environ.get("TARNWICK_STORE_OUTPUTS") == "1"
GENERATED = "{folder}/generated.csv"
EXTRAS = ["--post-hoc", "tukey", "--post-hoc-all", "--welch", "--levene"]

CASES = {
    "penguins": [],
    "penguins-games-howell": ["--post-hoc", "games-howell", "--brown-forsythe", "--type", "3"],
    "generated": [GENERATED],
    "generated-extras": [GENERATED] + EXTRAS,
    "generated-per-test": [GENERATED, "--plan", "per-test", "--type", "1",
                           "--correction", "bh"],
}
FORMATS = {"txt": [], "json": ["--json"], "csv": ["--csv"]}

_TIMINGS = [
    # the text header's "N tests on Spark MASTER in 1.2 s;"
    (re.compile(r"(tests on Spark \S+ in )\d+\.\d s;"), r"\1# s;"),
    # the JSON run record's seconds
    (re.compile(r'("elapsed_seconds": )[0-9.e-]+'), r"\1#"),
    (re.compile(r'("timings_seconds": \{)[^}]*\}'), r"\1#}"),
]


def masked(text):
    """``text`` with the run's measured seconds replaced by ``#``."""
    for pattern, replacement in _TIMINGS:
        text = pattern.sub(replacement, text)
    return text


#: A number as the outputs write it (an integer, a decimal or a float's repr).
_NUMBER = re.compile(r"(-?\d+(?:\.\d+)?(?:e[-+]?\d+)?)")
NUMBER_RTOL = 1e-10


def reconciled(text, stored):
    """``text`` with each number that is within :data:`NUMBER_RTOL` of the stored text's
    number in its place written as the stored one; anything else left as it is, so that a
    comparison with ``stored`` shows every other difference."""
    ours, theirs = _NUMBER.split(text), _NUMBER.split(stored)
    if len(ours) != len(theirs):
        return text
    for i in range(1, len(ours), 2):  # odd places: the numbers
        if ours[i] != theirs[i] and math.isclose(float(ours[i]), float(theirs[i]),
                                                 rel_tol=NUMBER_RTOL):
            ours[i] = theirs[i]
    return "".join(ours)


def stored_path(case, extension):
    # The last digits of some p-values differ between the supported scipy versions: one set each.
    folder = os.path.join(STORED, "py%d.%d" % sys.version_info[:2])
    return os.path.join(folder, "%s.%s" % (case, extension))


@pytest.mark.parametrize("extension", sorted(FORMATS))
@pytest.mark.parametrize("case", sorted(CASES))
def test_output_bytes_are_unchanged(case, extension, spark, data_files, capsys):
    folder = str(data_files["folder"])
    status = main([a.format(folder=folder) for a in CASES[case]] + FORMATS[extension]
                  + ["-q", "--engine", "spark"])
    captured = capsys.readouterr()
    assert status == 0, captured.err
    # The source line names the file as given: the temporary folder is the test's, not output.
    out = masked(captured.out.replace(folder + "/", ""))
    path = stored_path(case, extension)
    if STORE:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8", newline="") as handle:
            handle.write(out)
    with open(path, encoding="utf-8", newline="") as handle:
        stored = handle.read()
    assert reconciled(out, stored) == stored
