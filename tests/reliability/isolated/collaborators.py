"""Recording stand-ins for Spark, pandas and the host package, and the analyser's calls on them.

``install()`` registers them as the modules ``pyspark``, ``pyspark.sql``,
``pyspark.sql.functions``, ``pandas``, ``Tarnwick.bi.common`` (with ``decorators`` and
``results``); it runs before the analyser module is imported.  ``accepts`` records the function
objects it is handed and returns them unchanged, so the class holds the plain functions and
``DECORATED`` keeps them by name.

While ``recording()`` is active every call on a stand-in is appended to ``LOG``; outside it the
stand-ins only return (the leak checks call them many thousands of times).
"""
import contextlib
import sys
import types

LOG = []
_state = {"recording": False, "countdown": 0}
DECORATED = {}
ACCEPTS_CALLS = []


class Boom(Exception):
    """What a stand-in raises when ``failing_at`` makes it fail."""


def note(*event):
    """Every operation on a stand-in starts here: it is logged, or made to fail."""
    if _state["countdown"]:
        _state["countdown"] -= 1
        if not _state["countdown"]:
            raise Boom(*event)
    if _state["recording"]:
        LOG.append(event)


def failing_at(index):
    """Makes the ``index``-th stand-in operation from now on (counting from 1) raise Boom."""
    _state["countdown"] = index


def disarm():
    _state["countdown"] = 0


@contextlib.contextmanager
def recording():
    del LOG[:]
    _state["recording"] = True
    try:
        yield LOG
    finally:
        _state["recording"] = False


class Column(object):
    """A column expression; remembers how it was made, for the log."""

    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text

    def alias(self, name):
        note("alias", self.text, name)
        return Column("%s AS %s" % (self.text, name))

    def __pow__(self, other):
        note("pow", self.text, other)
        return Column("%s ** %r" % (self.text, other))

    def __repr__(self):
        return "Column(%s)" % self.text


def col(name):
    note("col", name)
    return Column("col(%s)" % (name,))


def _aggregate(function_name):
    def aggregate(column):
        note(function_name, column.text)
        return Column("%s(%s)" % (function_name, column.text))

    aggregate.__name__ = function_name
    return aggregate


count = _aggregate("count")
mean = _aggregate("mean")
sum = _aggregate("sum")  # noqa: A001 - Spark's aggregate of that name


_ROWS = object()


class Frame(object):
    """A Spark data frame: ``select``/``groupby``/``agg`` give frames, ``collect`` the rows.

    ``collected``, when given, is what ``collect`` returns (as it is) on every frame derived
    from this one.
    """

    def __init__(self, label, rows=((u"a", 1, 1.0),), collected=_ROWS):
        self.label = label
        self.rows = list(rows)
        self.collected = collected

    def _derived(self, suffix):
        return Frame(self.label + suffix, self.rows, self.collected)

    def select(self, *columns):
        note("select", self.label, tuple(c.text for c in columns))
        return self._derived(".select")

    def groupby(self, *columns):
        note("groupby", self.label, columns)
        return self._derived(".groupby")

    def agg(self, *columns):
        note("agg", self.label, tuple(c.text for c in columns))
        return self._derived(".agg")

    def collect(self):
        note("collect", self.label)
        if self.collected is not _ROWS:
            return self.collected
        return list(self.rows)


class Series(object):
    def __init__(self, text):
        self.text = text

    def __mul__(self, other):
        note("mul", self.text, other.text)
        return Series("(%s * %s)" % (self.text, other.text))


class Table(object):
    """A pandas table: column attributes, element-wise products, item assignment."""

    def __init__(self, rows, columns=None):
        note("DataFrame", rows, columns)
        self.columns = list(columns)
        self.assigned = []

    @property
    def means(self):
        note("getattr", "means")
        return Series("means")

    @property
    def counts(self):
        note("getattr", "counts")
        return Series("counts")

    def __setitem__(self, key, value):
        note("setitem", key, value.text)
        self.assigned.append(key)


class Helper(object):
    def __init__(self, measures=("m",), dimensions=("a", "b"), rows=1000, levels=3):
        self.measures = list(measures)
        self.dimensions = list(dimensions)
        self.rows = rows
        self.levels = levels

    def get_numeric_columns(self):
        note("get_numeric_columns")
        return self.measures

    def get_string_columns(self):
        note("get_string_columns")
        return self.dimensions

    def get_num_rows(self):
        note("get_num_rows")
        return self.rows

    def get_num_unique_values(self, column):
        note("get_num_unique_values", column)
        return self.levels


class MeasureAnovaResult(object):
    def __init__(self, row):
        note("MeasureAnovaResult", row)
        self.row = row

    def set_OneWayAnovaResult(self, dimension, table):
        note("set_OneWayAnovaResult", dimension, type(table).__name__)
        return "ignored"

    def set_TwoWayAnovaResult(self, dimension1, dimension2, table):
        note("set_TwoWayAnovaResult", dimension1, dimension2, type(table).__name__)
        return "ignored"


class DFTwoWayAnovaResult(object):
    def __init__(self):
        note("DFTwoWayAnovaResult")
        self.added = []

    def add_measure_result(self, name, record):
        note("add_measure_result", name, type(record).__name__)
        self.added.append((name, record))
        return "ignored"


class DataFrameHelper(object):
    pass


def accepts(*types_, **keyword_types):
    ACCEPTS_CALLS.append((types_, keyword_types))

    def decorate(function):
        DECORATED[function.__name__] = function
        return function

    return decorate


# The run-time collaborators the analyser looks up in its module namespace at each use.
RUNTIME_GLOBALS = dict(
    pd=None,  # set by install()
    col=col,
    count=count,
    mean=mean,
    sum=sum,
    MeasureAnovaResult=MeasureAnovaResult,
    DFTwoWayAnovaResult=DFTwoWayAnovaResult,
)


def _module(name, **attributes):
    module = types.ModuleType(name)
    module.__dict__.update(attributes)
    sys.modules[name] = module
    return module


def install():
    pandas = _module("pandas", DataFrame=Table)
    RUNTIME_GLOBALS["pd"] = pandas
    _module("pyspark", __path__=[])
    _module("pyspark.sql", __path__=[], DataFrame=Frame)
    _module("pyspark.sql.functions", col=col, count=count, mean=mean, sum=sum)
    _module("Tarnwick.bi.common", __path__=[], DataFrameHelper=DataFrameHelper)
    _module("Tarnwick.bi.common.decorators", accepts=accepts)
    _module(
        "Tarnwick.bi.common.results",
        DFTwoWayAnovaResult=DFTwoWayAnovaResult,
        MeasureAnovaResult=MeasureAnovaResult,
    )


@contextlib.contextmanager
def rebound(module, **replacements):
    """Rebinds module globals for the duration; a value of ``DELETE`` removes the name."""
    saved = {name: module.__dict__.get(name, DELETE) for name in replacements}
    try:
        for name, value in replacements.items():
            if value is DELETE:
                module.__dict__.pop(name, None)
            else:
                setattr(module, name, value)
        yield
    finally:
        for name, value in saved.items():
            if value is DELETE:
                module.__dict__.pop(name, None)
            else:
                setattr(module, name, value)


DELETE = object()


def analyser(module, label="self", measures=("m",), dimensions=("a", "b"), rows=1000, levels=3,
             record=True):
    """An analyser over a fresh frame and helper, with a record in ``_anova_result``."""
    instance = module.TwoWayAnova(Frame(label), Helper(measures, dimensions, rows, levels))
    if record:
        instance._anova_result = MeasureAnovaResult((1, 1.0, 1.0))
    return instance
