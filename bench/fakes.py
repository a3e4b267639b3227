"""Collaborators that return at once: stand-ins for Spark, pandas and the host package.

``install()`` puts fake ``pandas``, ``pyspark.sql``, ``pyspark.sql.functions`` and host modules
(``Tarnwick.bi.common`` and its ``decorators`` and ``results``) into ``sys.modules``; it must run
before the analyser module (or the peer) is imported, because ``accepts`` and ``DataFrame`` are
used when the class is built.  ``accepts`` here is the identity decorator.

Every fake does as little as a Python-level call can: the frame's ``select``/``groupby``/``agg``
return the frame itself, ``collect`` returns a prepared list, column arithmetic returns the
column.  ``Recorder`` rebinds a module's collaborators to logging versions of the same fakes, to
compare the calls two implementations make.
"""
import sys
import types


class Column(object):
    __slots__ = ()

    def alias(self, name):
        return self

    def __pow__(self, other):
        return self


COLUMN = Column()


def col(name):
    return COLUMN


def count(column):
    return column


def mean(column):
    return column


def sum(column):  # noqa: A001 - Spark's aggregate of that name
    return column


class Frame(object):
    """A Spark data frame, its grouped data and its aggregates all at once."""

    __slots__ = ("rows",)

    def __init__(self, rows):
        self.rows = rows

    def select(self, *columns):
        return self

    def groupby(self, *columns):
        return self

    def agg(self, *expressions):
        return self

    def collect(self):
        return self.rows


class Series(object):
    __slots__ = ()

    def __mul__(self, other):
        return self


SERIES = Series()


class Table(object):
    """A pandas table: two columns to read, item assignment that stores nothing."""

    __slots__ = ()
    means = SERIES
    counts = SERIES

    def __init__(self, rows, columns=None):
        pass

    def __setitem__(self, key, value):
        pass


class Helper(object):
    __slots__ = ("measures", "dimensions", "rows", "levels")

    def __init__(self, measures, dimensions, rows=1000, levels=3):
        self.measures = measures
        self.dimensions = dimensions
        self.rows = rows
        self.levels = levels

    def get_numeric_columns(self):
        return self.measures

    def get_string_columns(self):
        return self.dimensions

    def get_num_rows(self):
        return self.rows

    def get_num_unique_values(self, column):
        return self.levels


class MeasureAnovaResult(object):
    __slots__ = ("row",)

    def __init__(self, row):
        self.row = row

    def set_OneWayAnovaResult(self, dimension, table):
        pass

    def set_TwoWayAnovaResult(self, dimension1, dimension2, table):
        pass


class DFTwoWayAnovaResult(object):
    __slots__ = ()

    def add_measure_result(self, name, record):
        pass


class DataFrameHelper(object):
    pass


def accepts(*types_, **keyword_types):
    def decorate(function):
        return function

    return decorate


def _module(name, **attributes):
    module = types.ModuleType(name)
    module.__dict__.update(attributes)
    sys.modules[name] = module
    return module


def install():
    """Registers the fake modules; returns the fake ``pandas`` module."""
    pandas = _module("pandas", DataFrame=Table)
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
    return pandas


# --- call recording, to check that two implementations make the same calls -------------------


class Recorder(object):
    """Logs every collaborator call as (operation, arguments) into ``self.log``."""

    def __init__(self):
        self.log = []
        recorder = self

        def note(operation, *arguments, **keywords):
            recorder.log.append((operation, arguments, tuple(sorted(keywords.items()))))

        class RecColumn(object):
            def alias(self, name):
                note("Column.alias", name)
                return self

            def __pow__(self, other):
                note("Column.__pow__", other)
                return self

        column = RecColumn()

        def rec_function(name):
            def function(argument):
                note(name, argument if isinstance(argument, str) else type(argument).__name__)
                return column

            function.__name__ = name
            return function

        class RecFrame(Frame):
            __slots__ = ()

            def select(self, *columns):
                note("Frame.select", len(columns))
                return self

            def groupby(self, *columns):
                note("Frame.groupby", *columns)
                return self

            def agg(self, *expressions):
                note("Frame.agg", len(expressions))
                return self

            def collect(self):
                note("Frame.collect")
                return self.rows

        class RecSeries(object):
            def __mul__(self, other):
                note("Series.__mul__")
                return self

        series = RecSeries()

        class RecTable(object):
            def __init__(self, rows, columns=None):
                note("pd.DataFrame", len(rows), columns=columns)

            @property
            def means(self):
                note("Table.means")
                return series

            @property
            def counts(self):
                note("Table.counts")
                return series

            def __setitem__(self, key, value):
                note("Table.__setitem__", key)

        class RecHelper(Helper):
            __slots__ = ()

            def get_numeric_columns(self):
                note("Helper.get_numeric_columns")
                return self.measures

            def get_string_columns(self):
                note("Helper.get_string_columns")
                return self.dimensions

            def get_num_rows(self):
                note("Helper.get_num_rows")
                return self.rows

            def get_num_unique_values(self, column):
                note("Helper.get_num_unique_values", column)
                return self.levels

        class RecRecord(MeasureAnovaResult):
            __slots__ = ()

            def __init__(self, row):
                note("MeasureAnovaResult", row)
                self.row = row

            def set_OneWayAnovaResult(self, dimension, table):
                note("set_OneWayAnovaResult", dimension, type(table).__name__)

            def set_TwoWayAnovaResult(self, dimension1, dimension2, table):
                note("set_TwoWayAnovaResult", dimension1, dimension2, type(table).__name__)

        class RecCollection(object):
            def __init__(self):
                note("DFTwoWayAnovaResult")

            def add_measure_result(self, name, record):
                note("add_measure_result", name, type(record).__name__)

        self.Frame = RecFrame
        self.Helper = RecHelper
        self.MeasureAnovaResult = RecRecord
        self.globals = dict(
            pd=types.SimpleNamespace(DataFrame=RecTable),
            col=rec_function("col"),
            count=rec_function("count"),
            mean=rec_function("mean"),
            sum=rec_function("sum"),
            MeasureAnovaResult=RecRecord,
            DFTwoWayAnovaResult=RecCollection,
        )

    def bind(self, module):
        """Rebinds ``module``'s run-time collaborators to the recording ones."""
        for name, value in self.globals.items():
            setattr(module, name, value)
