"""No references leak: thousands of calls of every method, on success and on failure paths,
leave the reference counts of their arguments and collaborators unchanged and the traced memory
flat."""
import gc
import sys
import tracemalloc

import pytest

CALLS = 2000


class Anything(object):
    """Answers every operation the methods perform with itself (no allocation of its own)."""

    def __call__(self, *args, **kwargs):
        return self

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return self

    def __mul__(self, other):
        return self

    def __pow__(self, other):
        return self

    def __getitem__(self, key):
        return self

    def __setitem__(self, key, value):
        pass


class Helper(object):
    def __init__(self, columns):
        self.columns = columns

    def get_numeric_columns(self):
        return self.columns

    def get_string_columns(self):
        return self.columns

    def get_num_rows(self):
        return 1000

    def get_num_unique_values(self, column):
        return 3


class Failure(Exception):
    pass


def failing(*args, **kwargs):
    raise Failure()


@pytest.fixture
def quiet(fp, monkeypatch):
    anything = Anything()
    for name in ("col", "count", "mean", "sum", "pd", "MeasureAnovaResult",
                 "DFTwoWayAnovaResult"):
        monkeypatch.setattr(fp, name, anything)
    return anything


def scenarios(fp, anything):
    """(name, call) pairs; each call makes one method call that succeeds or raises."""
    frame, measure, dimension = Anything(), "measure-%d" % id(object()), ("dimension",)
    helper = Helper([measure])
    analyser = fp.TwoWayAnova.__new__(fp.TwoWayAnova)
    init = fp.TwoWayAnova.__init__.__wrapped__
    init(analyser, frame, helper)
    analyser._anova_result = anything
    bare = fp.TwoWayAnova.__new__(fp.TwoWayAnova)  # no attributes at all
    half = fp.TwoWayAnova.__new__(fp.TwoWayAnova)  # constructed up to a failing step
    dimensions = [dimension, dimension, dimension]
    broken_helper = Helper(None)
    broken_helper.get_num_rows = failing

    def expect(exception, call, *args, **kwargs):
        try:
            call(*args, **kwargs)
        except exception:
            return
        raise AssertionError("no %s" % exception.__name__)

    plans = [
        ("init", lambda: init(analyser, frame, helper)),
        ("init by keyword", lambda: init(analyser, data_frame=frame, df_helper=helper)),
        ("init failing", lambda: expect(Failure, init, half, frame, broken_helper)),
        ("test_anova", lambda: analyser.test_anova(measure, dimension)),
        ("test_anova by keyword", lambda: analyser.test_anova(measure=measure,
                                                              dimension=dimension)),
        ("test_anova failing", lambda: expect(AttributeError, bare.test_anova, measure,
                                              dimension)),
        ("test_anova_interaction", lambda: analyser.test_anova_interaction(
            measure, dimension, dimension)),
        ("test_against", lambda: analyser.test_against(measure, dimensions)),
        ("test_against failing", lambda: expect(TypeError, analyser.test_against, measure,
                                                iter(dimensions))),
        ("test_all", lambda: analyser.test_all([measure], dimensions)),
        ("test_all defaults", lambda: analyser.test_all()),
        ("test_all failing", lambda: expect(AttributeError, bare.test_all)),
        ("binding: count", lambda: expect(TypeError, analyser.test_anova, measure)),
        ("binding: keyword", lambda: expect(TypeError, analyser.test_anova, measure, dimension,
                                            colour=dimension)),
        ("binding: multiple", lambda: expect(TypeError, analyser.test_anova, measure,
                                             dimension=dimension, measure=measure)),
    ]
    watched = {"analyser": analyser, "frame": frame, "helper": helper, "measure": measure,
               "dimension": dimension, "dimensions": dimensions, "anything": anything,
               "bare": bare, "half": half, "class": fp.TwoWayAnova}
    return plans, watched


def test_reference_counts_and_memory_stay_flat(fp, quiet):
    plans, watched = scenarios(fp, quiet)
    for _, call in plans:  # warm up: caches, interned names, code objects
        for _ in range(50):
            call()
    gc.collect()
    before = {name: sys.getrefcount(value) for name, value in watched.items()}
    tracemalloc.start()
    try:
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        for _, call in plans:
            for _ in range(CALLS):
                call()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    after = {name: sys.getrefcount(value) for name, value in watched.items()}
    assert after == before
    # CALLS x 15 scenarios: a leak of even one small object per call would be over 1 MB.
    assert growth < 64 * 1024, growth
