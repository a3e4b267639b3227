"""Reference leaks and memory: every method, many thousands of calls, success and failure.

Each scenario makes one call of one method: a successful call (by position, by keyword, with
the defaults), a call failing in argument binding (too few, too many, unknown keyword, a second
value, a key that is not a string; through the function and through a bound method), or a
call in which one collaborator operation raises (every operation of ``test_anova``,
``test_anova_interaction`` and ``__init__`` in turn; every operation ``test_all`` makes itself,
and one in each test it runs), a module global missing, an attribute missing, or an argument
that fails the operation applied to it.  After a warm-up the scenario runs ``CALLS`` more times;
the memory the interpreter traces (tracemalloc) and the C heap (glibc's mallinfo2, which with
PYTHONMALLOC=malloc sees every Python object too, and the C++ code's own allocations) must not
grow, and the reference count of every argument and collaborator must be what it was.
"""
import ctypes
import ctypes.util
import gc
import os
import sys
import tracemalloc

import pytest

from support import standins
from support.standins import RecordingFrame, RecordingHelper, Token
from Tarnwick.bi.stats import factorpair

CALLS = int(os.environ.get("TARNWICK_LEAK_CALLS", "1000"))
WARM_UP = 100
# A leak of one object per call shows as at least 16 bytes a call; allow noise below that.
SLACK_PER_CALL = 4


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _heap_reader():
    try:
        libc = ctypes.CDLL("libc.so.6")
    except OSError:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
    try:
        mallinfo2 = libc.mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = _MallInfo2

    def heap():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return heap


heap_in_use = _heap_reader()


def rss_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Scenario(object):
    def __init__(self, name, call, objects, expected=None):
        self.name = name
        self.call = call
        self.objects = objects
        self.expected = expected  # exception type the call ends in, or None for success

    def __repr__(self):
        return self.name


def once(scenario):
    try:
        scenario.call()
    except Exception as error:  # noqa: BLE001 - the scenario says what it expects
        if scenario.expected is None or not isinstance(error, scenario.expected):
            raise
    else:
        assert scenario.expected is None, "%s did not raise" % scenario.name


# --- scenarios ----------------------------------------------------------------------------------

MEASURES = ["m1", "m2"]
DIMENSIONS = ["a", "b"]


def fresh_string(text):
    """A string made at run time: not interned, so its reference count means something."""
    return "".join(list(text))


def setup():
    """Analyser, arguments and collaborators shared by the scenarios."""
    state = {}
    state["frame"] = RecordingFrame(label="frame")
    state["helper"] = RecordingHelper(
        [fresh_string(m) for m in MEASURES], [fresh_string(d) for d in DIMENSIONS])
    state["analyser"] = factorpair.TwoWayAnova(state["frame"], state["helper"])
    state["record"] = standins.RecordingResult((1, 1.0, 1.0))
    state["analyser"]._anova_result = state["record"]
    state["measure"] = fresh_string("m1")
    state["dimension"] = fresh_string("a")
    state["dimension2"] = fresh_string("b")
    state["dimensions"] = [fresh_string("a"), fresh_string("b")]
    state["measures"] = [fresh_string("m1")]
    state["levels"] = 1000000000007  # not a cached small int
    return state


def collaborator_objects(state):
    return [state[k] for k in sorted(state)] + [
        factorpair.TwoWayAnova, factorpair.__dict__,
    ] + list(standins.RECORDING_GLOBALS.values()) + [
        standins.RecordingFrame, standins.RecordingTable, standins.RecordingHelper,
    ] + list(state["dimensions"]) + list(state["measures"]) + list(state["helper"].measures) + \
        list(state["helper"].dimensions)


def method_calls(state):
    """One successful call of each method, as (label, zero-argument callable)."""
    a = state["analyser"]
    return [
        ("__init__", lambda: a.__init__(state["frame"], state["helper"])),
        ("test_anova", lambda: a.test_anova(state["measure"], state["dimension"])),
        ("test_anova_interaction",
         lambda: a.test_anova_interaction(state["measure"], state["dimension"],
                                          state["dimension2"])),
        ("test_against", lambda: a.test_against(state["measure"], state["dimensions"])),
        ("test_all", lambda: a.test_all(state["measures"], state["dimensions"], state["levels"])),
    ]


def count_operations(call):
    with standins.recording() as log:
        call()
    return list(log)


def failing_indices(label, log):
    """Which operations to make fail: all of a method's own, one in each nested test."""
    if label not in ("test_all", "test_against"):
        return list(range(1, len(log) + 1))
    nested_kinds = set()
    chosen = []
    inside = label == "test_against"
    for index, event in enumerate(log, 1):
        if event[0] == "MeasureAnovaResult":
            chosen.append(index)
            inside = True
            continue
        if event[0] == "add_measure_result":
            inside = False
        if not inside:
            chosen.append(index)
        elif event[0] == "groupby" and len(event[2]) not in nested_kinds:
            nested_kinds.add(len(event[2]))
            chosen.append(index)
    return chosen


def failing_call(call, index):
    def fail():
        standins.failing_at(index)
        try:
            call()
        finally:
            standins.disarm()

    return fail


def scenarios():
    state = setup()
    objects = collaborator_objects(state)
    found = []
    for label, call in method_calls(state):
        found.append(Scenario("%s ok" % label, call, objects))
        for index in failing_indices(label, count_operations(call)):
            found.append(Scenario("%s fails at operation %d" % (label, index),
                                  failing_call(call, index), objects, standins.Boom))
    a = state["analyser"]
    m, d = state["measure"], state["dimension"]
    unknown = {fresh_string("bogus"): m}
    not_a_string = {7: m}
    binding = [
        ("too few", lambda f: f()),
        ("too many", lambda f: f(a, m, d, d, d, d)),
        ("unknown keyword", lambda f: f(a, m, d, d, **unknown)),
        ("second value", lambda f: f(a, m, measure=m)),
        ("key not a string", lambda f: _PyObject_Call(f, (a, m, d, d), not_a_string)),
    ]
    for method in ("__init__", "test_all", "test_anova", "test_against",
                   "test_anova_interaction"):
        target = standins.function(factorpair, method)
        for name, make in binding:
            found.append(Scenario("%s binding: %s" % (method, name),
                                  (lambda t=target, mk=make: mk(t)),
                                  objects + [target, unknown, not_a_string], TypeError))

    # Failures that are not a collaborator raising.
    bare = factorpair.TwoWayAnova(state["frame"], state["helper"])  # no _anova_result
    bare_all = factorpair.TwoWayAnova.__new__(factorpair.TwoWayAnova)  # no attributes
    iterator_dims = lambda: iter(state["dimensions"])  # noqa: E731 - iterable without len

    def with_globals(call, **replacements):
        def run():
            with standins.rebound(factorpair, **replacements):
                call()
        return run

    helper_none = RecordingHelper(state["helper"].measures, state["dimensions"], None)
    helper_negative = RecordingHelper(state["helper"].measures, state["dimensions"], -8)
    analyser_none = factorpair.TwoWayAnova(state["frame"], helper_none)
    analyser_negative = factorpair.TwoWayAnova(state["frame"], helper_negative)
    empty_frame = RecordingFrame(rows=[], label="empty")
    analyser_empty = factorpair.TwoWayAnova(empty_frame, state["helper"])
    others = [
        ("no _anova_result, test_anova", AttributeError,
         lambda: bare.test_anova(m, d)),
        ("no _anova_result, test_anova_interaction", AttributeError,
         lambda: bare.test_anova_interaction(m, d, d)),
        ("dimensions without len", TypeError,
         lambda: a.test_against(m, iterator_dims())),
        ("pd missing", NameError,
         with_globals(lambda: a.test_anova(m, d), pd=standins.DELETE)),
        ("col missing in test_all", NameError,
         with_globals(lambda: a.test_all(state["measures"], state["dimensions"]),
                      col=standins.DELETE)),
        ("row count None", TypeError, lambda: analyser_none.test_all()),
        ("row count negative (complex power)", TypeError, lambda: analyser_negative.test_all()),
        ("collect returns no row", IndexError, lambda: analyser_empty.test_all()),
        ("level count not comparable", TypeError,
         lambda: a.test_all(state["measures"], [Token("x")], None)),
        ("no attributes at all, test_all", AttributeError, lambda: bare_all.test_all()),
        ("__init__ by keyword", None,
         lambda: a.__init__(data_frame=state["frame"], df_helper=state["helper"])),
        ("test_anova by keyword", None, lambda: a.test_anova(measure=m, dimension=d)),
        ("test_all with its defaults", None, lambda: a.test_all()),
        ("bound method binding: too few", TypeError, lambda: a.test_anova(m)),
    ]
    for name, error, call in others:
        found.append(Scenario(name, call, objects + [
            bare, bare_all, helper_none, helper_negative, analyser_none, analyser_negative,
            empty_frame, analyser_empty], error))
    return found


_PyObject_Call = ctypes.pythonapi.PyObject_Call
_PyObject_Call.restype = ctypes.py_object
_PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]

SCENARIOS = scenarios()


@pytest.fixture(scope="module")
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


def growth_over(scenario, calls):
    """Traced and heap growth over ``calls`` calls, in bytes."""
    gc.collect()
    traced_before = tracemalloc.get_traced_memory()[0]
    heap_before = heap_in_use() if heap_in_use else 0
    for _ in range(calls):
        once(scenario)
    gc.collect()
    return (tracemalloc.get_traced_memory()[0] - traced_before,
            (heap_in_use() if heap_in_use else 0) - heap_before)


@pytest.mark.parametrize("scenario", SCENARIOS, ids=[s.name for s in SCENARIOS])
def test_memory_and_references_stay_flat(scenario, traced):
    for _ in range(WARM_UP):
        once(scenario)
    gc.collect()
    references = [sys.getrefcount(o) for o in scenario.objects]
    # Two batches: a leak grows both; a one-off (a cache filling, tracemalloc's own tables
    # growing) grows one.
    first = growth_over(scenario, CALLS)
    second = growth_over(scenario, CALLS)
    after = [sys.getrefcount(o) for o in scenario.objects]
    changed = [(repr(o)[:60], b, c) for o, b, c in zip(scenario.objects, references, after)
               if b != c]
    assert not changed, "reference counts changed: %r" % changed
    limit = SLACK_PER_CALL * CALLS
    traced_growth = min(first[0], second[0])
    heap_growth = min(first[1], second[1])
    assert traced_growth < limit, "traced memory grew by %d bytes over %d calls" % (
        traced_growth, CALLS)
    assert heap_growth < limit, "C heap grew by %d bytes over %d calls" % (heap_growth, CALLS)


@pytest.mark.skipif(
    bool(os.environ.get("TARNWICK_SANITIZER"))
    or any(tool in os.environ.get("LD_PRELOAD", "") for tool in ("libasan", "vgpreload")),
    reason="AddressSanitizer and valgrind hold on to freed memory")
def test_resident_memory_stays_flat_over_all_scenarios(traced):
    """RSS after a second pass over every scenario is within 2 MB of the first pass."""
    for scenario in SCENARIOS:
        for _ in range(50):
            once(scenario)
    gc.collect()
    first = rss_kb()
    for scenario in SCENARIOS:
        for _ in range(300):
            once(scenario)
    gc.collect()
    assert rss_kb() - first < 2048
