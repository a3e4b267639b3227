"""Per-call cost of the analyser's own code, with collaborators that return at once.

Three implementations make the same collaborator calls (fakes from ``fakes.py``; no Spark, no
pandas):

* C++: ``Tarnwick.bi.stats.factorpair.TwoWayAnova``, the extension module;
* Python: the same methods as plain interpreted Python (``peer.py``);
* floor: the collaborator calls alone, as straight-line code with everything in local names.

Run: ``.venv/py3.7/bin/python bench/module_overhead.py`` (``--help`` for options).  Before timing
it checks that the C++ module and the peer make the same calls in the same order.

``--instructions`` counts instead of timing: it runs each method under valgrind's callgrind
(``PYTHONMALLOC=malloc``) twice, after the same warm-up, with ``--calls`` more calls the second
time, and prints the difference per call.  Instruction counts do not depend on what else the
machine is doing, so they compare two builds of the module better than wall-clock figures on a
shared machine do.
"""
from __future__ import print_function

import argparse
import gc
import os
import platform
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from support import standins as fakes  # noqa: E402

fakes.install()

from Tarnwick.bi.stats import factorpair  # noqa: E402

import peer  # noqa: E402

MEASURES = ["m1", "m2", "m3"]
DIMENSIONS = ["d1", "d2", "d3", "d4", "d5"]
ROW = (100, 1.5, 400.0)
LEVEL_ROWS = [("a", 10, 1.0), ("b", 20, 2.0)]
ONE_WAY = ["levels", "counts", "means"]
TWO_WAY = ["level1", "level2", "counts", "means"]


def analyser(cls, frame_cls=fakes.Frame, helper_cls=fakes.Helper, record_cls=None):
    instance = cls(frame_cls(LEVEL_ROWS), helper_cls(MEASURES, DIMENSIONS))
    instance._anova_result = (record_cls or fakes.MeasureAnovaResult)(ROW)
    return instance


# --- the floor: the collaborator calls alone ----------------------------------------------------


def floor_init(helper):
    helper.get_numeric_columns()
    helper.get_string_columns()
    helper.get_num_rows()


def floor_test_anova(frame, record, measure, dimension, col=fakes.col, count=fakes.count,
                     mean=fakes.mean, DataFrame=fakes.Table, names=ONE_WAY):
    table = DataFrame(
        frame.groupby(dimension).agg(count(col(measure)), mean(col(measure))).collect(),
        columns=list(names),
    )
    table["total"] = table.means * table.counts
    table["var3"] = table.counts * table.means * table.means
    record.set_OneWayAnovaResult(dimension, table)


def floor_test_anova_interaction(frame, record, measure, dimension1, dimension2, col=fakes.col,
                                 count=fakes.count, mean=fakes.mean, DataFrame=fakes.Table,
                                 names=TWO_WAY):
    table = DataFrame(
        frame.groupby(dimension1, dimension2)
        .agg(count(col(measure)), mean(col(measure)))
        .collect(),
        columns=list(names),
    )
    table["total"] = table.means * table.counts
    table["var5"] = table.counts * table.means * table.means
    record.set_TwoWayAnovaResult(dimension1, dimension2, table)


def floor_test_against(frame, record, measure, dimensions, col=fakes.col, count=fakes.count,
                       mean=fakes.mean, DataFrame=fakes.Table, one=ONE_WAY, two=TWO_WAY):
    # Inlined so that the floor pays no call of its own per test.
    for dimension in dimensions:
        table = DataFrame(
            frame.groupby(dimension).agg(count(col(measure)), mean(col(measure))).collect(),
            columns=list(one),
        )
        table["total"] = table.means * table.counts
        table["var3"] = table.counts * table.means * table.means
        record.set_OneWayAnovaResult(dimension, table)
    n = len(dimensions)
    for i in range(n - 1):
        for j in range(i + 1, n):
            dimension1 = dimensions[i]
            dimension2 = dimensions[j]
            table = DataFrame(
                frame.groupby(dimension1, dimension2)
                .agg(count(col(measure)), mean(col(measure)))
                .collect(),
                columns=list(two),
            )
            table["total"] = table.means * table.counts
            table["var5"] = table.counts * table.means * table.means
            record.set_TwoWayAnovaResult(dimension1, dimension2, table)


def floor_test_all(frame, helper, measures, dimensions, col=fakes.col, count=fakes.count,
                   mean=fakes.mean, sum=fakes.sum, Record=fakes.MeasureAnovaResult,
                   Collection=fakes.DFTwoWayAnovaResult, rnd=round):
    bound = min(40, rnd(helper.get_num_rows() ** 0.35))
    collection = Collection()
    kept = [dim for dim in dimensions if helper.get_num_unique_values(dim) <= bound]
    for m in measures:
        row = (
            frame.select(col(m).alias("x"), (col(m) ** 2).alias("x2"))
            .agg(count(col("x")), mean(col("x")), sum(col("x2")))
            .collect()[0]
        )
        record = Record(row)
        floor_test_against(frame, record, m, kept)
        collection.add_measure_result(m, record)
    return collection


# --- timing -------------------------------------------------------------------------------------


def cases(cls):
    """(method label, zero-argument callable making one call) for one implementation."""
    frame = fakes.Frame(LEVEL_ROWS)
    helper = fakes.Helper(MEASURES, DIMENSIONS)
    instance = analyser(cls)
    return [
        ("__init__", lambda: cls(frame, helper)),
        ("test_anova", lambda: instance.test_anova("m1", "d1")),
        ("test_anova_interaction", lambda: instance.test_anova_interaction("m1", "d1", "d2")),
        ("test_against (5 dims)", lambda: instance.test_against("m1", DIMENSIONS)),
        ("test_all (3 x 5)", lambda: instance.test_all(MEASURES, DIMENSIONS)),
    ]


def floor_cases():
    frame = fakes.Frame(LEVEL_ROWS)
    helper = fakes.Helper(MEASURES, DIMENSIONS)
    record = fakes.MeasureAnovaResult(ROW)
    return [
        ("__init__", lambda: floor_init(helper)),
        ("test_anova", lambda: floor_test_anova(frame, record, "m1", "d1")),
        ("test_anova_interaction",
         lambda: floor_test_anova_interaction(frame, record, "m1", "d1", "d2")),
        ("test_against (5 dims)", lambda: floor_test_against(frame, record, "m1", DIMENSIONS)),
        ("test_all (3 x 5)", lambda: floor_test_all(frame, helper, MEASURES, DIMENSIONS)),
    ]


def per_call(call, loops):
    started = time.perf_counter()
    for _ in range(loops):
        call()
    return (time.perf_counter() - started) / loops


def loops_for(call, batch):
    """How many calls make about ``batch`` seconds."""
    loops = 1
    while True:
        spent = per_call(call, loops) * loops
        if spent >= batch / 4:
            return max(1, int(loops * batch / spent))
        loops *= 4


def interleaved(calls, batch, rounds):
    """Best per-call time of each call, timed in turns (one batch of each per round) so that
    all of them meet the same machine load; the best of many short batches is the one least
    disturbed by other processes."""
    loops = [loops_for(call, batch) for call in calls]
    best = [float("inf")] * len(calls)
    for _ in range(rounds):
        for index, call in enumerate(calls):
            best[index] = min(best[index], per_call(call, loops[index]))
    return best


# --- same calls, same order ---------------------------------------------------------------------


def call_trace(module, method, *arguments):
    recorder = fakes.Recorder()
    saved = {name: getattr(module, name) for name in recorder.globals}
    recorder.bind(module)
    try:
        instance = analyser(module.TwoWayAnova, recorder.Frame, recorder.Helper,
                            recorder.MeasureAnovaResult)
        del recorder.log[:]
        getattr(instance, method)(*arguments)
    finally:
        for name, value in saved.items():
            setattr(module, name, value)
    return recorder.log


def check_same_calls():
    checks = [
        ("test_anova", ("m1", "d1")),
        ("test_anova_interaction", ("m1", "d1", "d2")),
        ("test_against", ("m1", DIMENSIONS)),
        ("test_all", (MEASURES, DIMENSIONS)),
    ]
    for method, arguments in checks:
        cxx = call_trace(factorpair, method, *arguments)
        python = call_trace(peer, method, *arguments)
        if cxx != python:
            for index, (a, b) in enumerate(zip(cxx, python)):
                if a != b:
                    break
            raise SystemExit(
                "%s: the C++ module and the peer differ at call %d: %r vs %r (of %d and %d calls)"
                % (method, index, a, b, len(cxx), len(python))
            )
        print("same calls: %-24s %4d collaborator calls" % (method, len(cxx)))


# --- instruction counts -------------------------------------------------------------------------

IMPLEMENTATIONS = ("C++", "Python", "floor")
WARM_UP = 20
# Calls counted per method, relative to --calls: the long methods make fewer calls, so that every
# counted run takes about as long.
CALL_SHARES = (10.0, 4.0, 4.0, 0.4, 0.1)


def run_calls(implementation, index, count):
    """The body of one counted run: every method of one implementation ``WARM_UP`` times (so
    that caches and the interpreter's specialisations are warm), then ``count`` calls of method
    ``index`` (none when ``index`` is negative)."""
    chosen = {
        "C++": lambda: cases(factorpair.TwoWayAnova),
        "Python": lambda: cases(peer.TwoWayAnova),
        "floor": floor_cases,
    }[implementation]()
    gc.disable()
    for _, call in chosen:
        for _ in range(WARM_UP):
            call()
    if index >= 0:
        call = chosen[index][1]
        for _ in range(count):
            call()


def counted_instructions(implementation, index, count):
    """Instructions callgrind counts for a whole run of ``run_calls``."""
    with tempfile.NamedTemporaryFile(suffix=".callgrind") as output:
        environment = dict(os.environ, PYTHONMALLOC="malloc", PYTHONHASHSEED="0")
        command = [
            "valgrind", "--tool=callgrind", "--callgrind-out-file=" + output.name,
            sys.executable, os.path.abspath(__file__),
            "--run", "%s:%d:%d" % (implementation, index, count),
        ]
        finished = subprocess.run(command, env=environment, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, universal_newlines=True)
        if finished.returncode != 0:
            raise SystemExit("callgrind run failed:\n" + finished.stderr[-2000:])
        found = re.search(r"Collected : (\d+)", finished.stderr)
        if found is None:
            raise SystemExit("no instruction count in callgrind's output:\n"
                             + finished.stderr[-2000:])
        return int(found.group(1))


def instructions_per_call(calls):
    """Rows (label, [C++, Python, floor] instructions per call, calls counted)."""
    labels = [label for label, _ in floor_cases()]
    counts = [max(1, int(round(calls * share))) for share in CALL_SHARES]
    per_call = {}
    for implementation in IMPLEMENTATIONS:
        base = counted_instructions(implementation, -1, 0)
        for index, count in enumerate(counts):
            more = counted_instructions(implementation, index, count)
            per_call[implementation, index] = (more - base) / float(count)
    return [
        (label, [per_call[implementation, index] for implementation in IMPLEMENTATIONS],
         counts[index])
        for index, label in enumerate(labels)
    ]


def print_instructions(calls):
    rows = instructions_per_call(calls)
    print()
    print("CPython %s on %s; collaborators return at once; callgrind instructions per call "
          "(PYTHONMALLOC=malloc; the difference a run with N more calls makes, after %d warm-up "
          "calls of every method)" % (platform.python_version(), platform.machine(), WARM_UP))
    header = ("method", "N", "C++ Ir", "Python Ir", "floor Ir", "C++/Py", "C++/floor",
              "own C++", "own Py")
    print("%-24s %5s %10s %10s %10s %7s %9s %9s %9s" % header)
    for label, (cxx, python, floor), count in rows:
        print("%-24s %5d %10.0f %10.0f %10.0f %7.2f %9.2f %9.0f %9.0f" % (
            label, count, cxx, python, floor, cxx / python, cxx / floor, cxx - floor,
            python - floor))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--batch", type=float, default=0.005,
                        help="seconds per timed batch (default 0.005)")
    parser.add_argument("--rounds", type=int, default=100,
                        help="batches per implementation and method (default 100)")
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions per call under callgrind instead of timing")
    parser.add_argument("--calls", type=int, default=100,
                        help="scale of the calls counted with --instructions: 10x this many "
                             "calls of __init__ down to 0.1x of test_all (default 100)")
    parser.add_argument("--run", metavar="IMPLEMENTATION:INDEX:COUNT",
                        help=argparse.SUPPRESS)  # one counted run, started by --instructions
    options = parser.parse_args(argv)

    if options.run:
        implementation, index, count = options.run.split(":")
        run_calls(implementation, int(index), int(count))
        return

    check_same_calls()
    if options.instructions:
        print_instructions(options.calls)
        return

    def nothing():
        pass

    gc.disable()
    rows = []
    empty = None
    for (label, cxx), (_, python), (_, floor) in zip(
        cases(factorpair.TwoWayAnova), cases(peer.TwoWayAnova), floor_cases()
    ):
        times = interleaved([cxx, python, floor, nothing], options.batch, options.rounds)
        empty = times[3] if empty is None else min(empty, times[3])
        rows.append([label] + times[:3])
    gc.enable()
    for row in rows:
        row[1:] = [max(t - empty, 0.0) for t in row[1:]]
    print()
    print("CPython %s on %s; collaborators return at once; best of %d interleaved batches of "
          "%.0f ms; the cost of calling an empty lambda (%.3f us) subtracted" % (
              platform.python_version(), platform.machine(), options.rounds,
              options.batch * 1e3, empty * 1e6))
    header = ("method", "C++ us", "Python us", "floor us", "C++/Py", "C++/floor",
              "own C++", "own Py")
    print("%-24s %10s %10s %10s %7s %9s %9s %9s" % header)
    for label, cxx, python, floor in rows:
        print("%-24s %10.3f %10.3f %10.3f %7.2f %9.2f %9.3f %9.3f" % (
            label, cxx * 1e6, python * 1e6, floor * 1e6, cxx / python, cxx / floor,
            (cxx - floor) * 1e6, (python - floor) * 1e6))
    print("own X = X - floor: the time the implementation spends outside its collaborators")


if __name__ == "__main__":
    main()
