"""Stand-ins for Spark, pandas and the host package: everything the analyser module touches.

Two flavours of the same shapes:

* quiet (``Frame``, ``Helper``, ``Table``, ``col`` ...): every operation returns at once, the
  benchmarks' floor;
* recording (``RecordingFrame``, ``RecordingHelper``, ``RecordingTable``, ``recording_col`` ...):
  every operation goes through :func:`note`, which appends it as a tuple to the active log (see
  :func:`recording`) or raises :class:`Boom` when :func:`failing_at` armed it.  Expressions are
  their text (``count(col(m))``), frames carry the chain that made them (``self.groupby.agg``),
  so one comparison checks operations, arguments, grouping and order.

:func:`install` puts stand-in modules (``pyspark``, ``pyspark.sql``, ``pyspark.sql.functions``,
``pandas``, ``Tarnwick.bi.common`` with ``decorators`` and ``results``) into ``sys.modules``
before the analyser module is imported; for import scenarios it can also watch attribute reads,
leave modules or names out, and record what the import system is asked.  :func:`bind` puts
the recording flavour into an imported module's globals instead.
"""
import builtins
import contextlib
import json
import sys
import types

from support.source import entries

# --- the log ------------------------------------------------------------------------------------


class Boom(Exception):
    """What a recording stand-in raises when :func:`failing_at` makes it fail."""


class _Hooks(object):
    log = None  # the active log (a list), or None
    countdown = 0


def note(*event):
    """Every operation on a recording stand-in starts here: it fails, or is logged."""
    if _Hooks.countdown:
        _Hooks.countdown -= 1
        if not _Hooks.countdown:
            raise Boom(*event)
    if _Hooks.log is not None:
        _Hooks.log.append(event)


def failing_at(index):
    """Makes the ``index``-th recording operation from now on (counting from 1) raise Boom."""
    _Hooks.countdown = index


def disarm():
    _Hooks.countdown = 0


@contextlib.contextmanager
def recording():
    """Logs every recording operation into a new list (yielded) while active."""
    log, previous = [], _Hooks.log
    _Hooks.log = log
    try:
        yield log
    finally:
        _Hooks.log = previous


def record_from_now():
    """Starts a new active log that stays active; returns it."""
    _Hooks.log = []
    return _Hooks.log


# --- quiet stand-ins ----------------------------------------------------------------------------


class Column(object):
    """A Spark column expression."""

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
    """A Spark data frame, its grouped data and its aggregate at once; collect() gives ``rows``
    itself."""

    __slots__ = ("rows",)

    def __init__(self, rows=((u"a", 1, 1.0),)):
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
    """DataFrameHelper with fixed answers."""

    __slots__ = ("measures", "dimensions", "rows", "levels")

    def __init__(self, measures=("m",), dimensions=("a", "b"), rows=1000, levels=3):
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
    __slots__ = ("row", "__dict__")  # tests replace a setter on one instance

    def __init__(self, row):
        self.row = row

    def set_OneWayAnovaResult(self, dimension, table):
        return "ignored"

    def set_TwoWayAnovaResult(self, dimension1, dimension2, table):
        return "ignored"


class KeepingResult(MeasureAnovaResult):
    """MeasureAnovaResult that keeps every table it is given, as ("one" or "two", arguments)."""

    def __init__(self, row=None):
        self.row = row
        self.received = []

    def set_OneWayAnovaResult(self, *arguments):
        self.received.append(("one", arguments))

    def set_TwoWayAnovaResult(self, *arguments):
        self.received.append(("two", arguments))


class DFTwoWayAnovaResult(object):
    __slots__ = ()

    def add_measure_result(self, name, record):
        return "ignored"


class DataFrameHelper(object):
    pass


# --- recording stand-ins ------------------------------------------------------------------------


class RecordingColumn(object):
    """A column expression that remembers how it was made."""

    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text

    def alias(self, name):
        note("alias", self.text, name)
        return RecordingColumn("%s AS %s" % (self.text, name))

    def __pow__(self, other):
        note("pow", self.text, other)
        return RecordingColumn("(%s ** %r)" % (self.text, other))

    def __repr__(self):
        return "Column(%s)" % self.text


def recording_col(name):
    note("col", name)
    return RecordingColumn("col(%s)" % (name,))


def _aggregate(name):
    def aggregate(column):
        note(name, column.text)
        return RecordingColumn("%s(%s)" % (name, column.text))

    aggregate.__name__ = name
    return aggregate


recording_count = _aggregate("count")
recording_mean = _aggregate("mean")
recording_sum = _aggregate("sum")

_ROWS = object()


class RecordingFrame(Frame):
    """A frame named by the chain that made it; ``collect`` returns ``collected`` as it is when
    given (on every frame derived from this one), else a new list of ``rows``."""

    __slots__ = ("label", "collected")

    def __init__(self, rows=((u"a", 1, 1.0),), label="self", collected=_ROWS):
        Frame.__init__(self, rows)
        self.label = label
        self.collected = collected

    def _derived(self, suffix):
        return RecordingFrame(self.rows, self.label + suffix, self.collected)

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


class RecordingSeries(object):
    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text

    def __mul__(self, other):
        note("mul", self.text, other.text)
        return RecordingSeries("(%s * %s)" % (self.text, other.text))


class RecordingTable(object):
    """A pandas table: the column names come by keyword only, as ``pd.DataFrame`` is called."""

    def __init__(self, rows, *, columns):
        note("DataFrame", rows, columns)

    @property
    def means(self):
        note("getattr", "means")
        return RecordingSeries("means")

    @property
    def counts(self):
        note("getattr", "counts")
        return RecordingSeries("counts")

    def __setitem__(self, key, value):
        note("setitem", key, value.text)


class RecordingHelper(Helper):
    """The helper; ``levels`` may also be a dict of counts by column."""

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
        return self.levels[column] if isinstance(self.levels, dict) else self.levels


class RecordingResult(MeasureAnovaResult):
    """MeasureAnovaResult; its setters log the table's type (a new table at every call)."""

    def __init__(self, row):
        note("MeasureAnovaResult", row)
        self.row = row

    def set_OneWayAnovaResult(self, dimension, table):
        note("set_OneWayAnovaResult", dimension, type(table).__name__)
        return "ignored"

    def set_TwoWayAnovaResult(self, dimension1, dimension2, table):
        note("set_TwoWayAnovaResult", dimension1, dimension2, type(table).__name__)
        return "ignored"


class RecordingCollection(object):
    """DFTwoWayAnovaResult: keeps the records in the order they are added."""

    def __init__(self):
        note("DFTwoWayAnovaResult")
        self.added = []

    def add_measure_result(self, name, record):
        note("add_measure_result", name, type(record).__name__)
        self.added.append((name, record))
        return "ignored"


#: The run-time collaborators the analyser looks up in its module namespace at each use.
RECORDING_GLOBALS = dict(
    pd=types.SimpleNamespace(DataFrame=RecordingTable),
    col=recording_col,
    count=recording_count,
    mean=recording_mean,
    sum=recording_sum,
    MeasureAnovaResult=RecordingResult,
    DFTwoWayAnovaResult=RecordingCollection,
)
QUIET_GLOBALS = dict(
    pd=types.SimpleNamespace(DataFrame=Table),
    col=col,
    count=count,
    mean=mean,
    sum=sum,
    MeasureAnovaResult=MeasureAnovaResult,
    DFTwoWayAnovaResult=DFTwoWayAnovaResult,
)

DELETE = object()


@contextlib.contextmanager
def rebound(module, **replacements):
    """Rebinds module globals for the duration; a value of ``DELETE`` removes the name."""
    saved = {name: module.__dict__.get(name, DELETE) for name in replacements}

    def put(values):
        for name, value in values.items():
            if value is DELETE:
                module.__dict__.pop(name, None)
            else:
                setattr(module, name, value)

    try:
        put(replacements)
        yield
    finally:
        put(saved)


def bind(module):
    """Rebinds ``module``'s run-time collaborators to the recording stand-ins."""
    for name, value in RECORDING_GLOBALS.items():
        setattr(module, name, value)


def analyser(module, label="self", measures=("m",), dimensions=("a", "b"), rows=1000, levels=3,
             record=True):
    """A recording analyser over a fresh frame and helper, with a record in ``_anova_result``
    unless ``record`` is false.  Made through the function handed to ``accepts``."""
    instance = module.TwoWayAnova.__new__(module.TwoWayAnova)
    function(module, "__init__")(instance, RecordingFrame(label=label),
                                 RecordingHelper(list(measures), list(dimensions), rows, levels))
    if record:
        instance._anova_result = RecordingResult((1, 1.0, 1.0))
    return instance


def function(module, method):
    """The method's own function object: for the decorated two, the one handed to ``accepts``."""
    stored = vars(module.TwoWayAnova)[method]
    return HANDED.get(method, getattr(stored, "__wrapped__", stored))


# --- the host's decorator -----------------------------------------------------------------------

ACCEPTS_CALLS = []  # (types, keyword types) of every call of accepts
HANDED = {}  # method name: the function handed to the decorator
RETURNED = {}  # method name: what the decorator returned
IMPORT_EVENTS = []  # attribute reads of watched modules, accepts and decorate calls
_options = {"wrap": False}


def _name(value):
    if isinstance(value, tuple):
        return [_name(item) for item in value]
    return getattr(value, "__name__", repr(value))


def accepts(*types_, **keyword_types):
    """Records its arguments and the functions it decorates; returns them unchanged, or wrapped
    in a new function when ``install(wrap=True)`` asked for it."""
    ACCEPTS_CALLS.append((types_, keyword_types))
    IMPORT_EVENTS.append(["accepts", _name(types_),
                          [[k, _name(v)] for k, v in keyword_types.items()]])

    def decorate(function):
        IMPORT_EVENTS.append(["decorate", function.__name__, function.__defaults__])
        HANDED[function.__name__] = function
        result = function
        if _options["wrap"]:
            def result(*args, **kwargs):
                return function(*args, **kwargs)
        RETURNED[function.__name__] = result
        return result

    return decorate


# --- installing the stand-in modules ------------------------------------------------------------

FOUND = []  # names the import system was asked to find (watch=True)
REPLACEMENT_IMPORTS = []  # names that went through builtins.__import__ (replace_import=True)


class WatchedModule(types.ModuleType):
    """A module that records every read of a public attribute."""

    def __getattribute__(self, name):
        if not name.startswith("__"):
            IMPORT_EVENTS.append(
                ["getattr", types.ModuleType.__getattribute__(self, "__name__"), name])
        return types.ModuleType.__getattribute__(self, name)


class RecordingFinder(object):
    """Records the names the import system looks for; raises for names in ``raising``."""

    def __init__(self, raising=()):
        self.raising = raising

    def find_spec(self, name, path=None, target=None):
        FOUND.append(name)
        if name in self.raising:
            raise ValueError("finder failure for " + name)
        return None


def install(recording=False, watch=False, wrap=False, missing_modules=(), missing_names=(),
            raising=(), replace_import=False):
    """Registers the stand-in modules; returns the stand-in ``pandas``.

    ``recording``: the recording flavour instead of the quiet one.  ``watch``: modules that log
    attribute reads, and a finder that logs the names looked for (raising ValueError for names
    in ``raising``).  ``wrap``: ``accepts`` returns a new function.  ``missing_modules`` cannot
    be imported; ``missing_names`` (as ``"module:name"``) are left out of their module.
    ``replace_import``: ``builtins.__import__`` is replaced by one that logs the names.
    """
    import Tarnwick.bi.stats  # noqa: F401 - the real parent packages

    chosen = RECORDING_GLOBALS if recording else QUIET_GLOBALS
    functions = {name: chosen[name] for name in ("col", "count", "mean", "sum")}
    frame = RecordingFrame if recording else Frame
    _options["wrap"] = wrap
    contents = {
        "pandas": {"DataFrame": chosen["pd"].DataFrame},
        "pyspark": {},
        "pyspark.sql": {"DataFrame": frame},
        "pyspark.sql.functions": functions,
        "Tarnwick.bi.common": {"DataFrameHelper": DataFrameHelper},
        "Tarnwick.bi.common.decorators": {"accepts": accepts},
        "Tarnwick.bi.common.results": {
            "DFTwoWayAnovaResult": chosen["DFTwoWayAnovaResult"],
            "MeasureAnovaResult": chosen["MeasureAnovaResult"]},
    }
    for name, attributes in contents.items():
        if name in missing_modules:
            sys.modules[name] = None  # the import system reports it as missing
            continue
        module = (WatchedModule if watch else types.ModuleType)(name)
        module.__dict__.update((key, value) for key, value in attributes.items()
                               if "%s:%s" % (name, key) not in missing_names)
        sys.modules[name] = module
    if watch:
        sys.meta_path.insert(0, RecordingFinder(raising))
    if replace_import:
        original = builtins.__import__

        def replacement(name, *args, **kwargs):
            REPLACEMENT_IMPORTS.append(name)
            return original(name, *args, **kwargs)

        builtins.__import__ = replacement
    return sys.modules["pandas"]


def failure(error):
    """What an import scenario compares about a failed import."""
    return {"type": type(error).__name__, "message": str(error), "entries": entries(error)}


def report(**values):
    """Prints ``values`` as the scenario's last line of output."""
    print(json.dumps(values))


class Recorder(object):
    """The recording stand-ins as one object: ``bind(module)`` rebinds the module's run-time
    collaborators to them, ``log`` receives every call from then on (a new list per recorder),
    so that the calls of two implementations can be compared."""

    Frame = RecordingFrame
    Helper = RecordingHelper
    MeasureAnovaResult = RecordingResult
    globals = RECORDING_GLOBALS

    def __init__(self):
        self.log = record_from_now()

    def bind(self, module):
        bind(module)


class Token(list):
    """Stands for any argument value and can be told apart in the log by its label.

    A one-item list holding its label (for column lists), comparable with anything (for the
    level bound: it always claims to be the larger, and logs the comparison), and a helper with
    one measure ``m`` and no dimensions (for ``df_helper``).
    """

    def __init__(self, label):
        list.__init__(self, [label])
        self.label = label

    __hash__ = object.__hash__

    def __gt__(self, other):
        note("compared", self.label)
        return True

    def __ge__(self, other):
        note("compared", self.label)
        return True

    def get_numeric_columns(self):
        return ["m"]

    def get_string_columns(self):
        return []

    def get_num_rows(self):
        return 10

    def __repr__(self):
        return "Token(%s)" % self.label
