"""Recording stand-ins for the modules that importing the analyser pulls in, for fresh
interpreters (see test_import.py): pyspark.sql, pyspark.sql.functions, pandas and the three host
modules, installed in sys.modules, plus a meta-path finder that records what the import system
is asked to find and a replacement builtins.__import__ that records whether it is consulted.
"""
import builtins
import json
import sys
import traceback
import types

EVENTS = []
FOUND = []
REPLACEMENT_IMPORTS = []
TRACE_FILE = "Tarnwick\\bi\\stats\\factorpair"


class RecordingModule(types.ModuleType):
    """A module that records every read of a public attribute."""

    def __getattribute__(self, name):
        if not name.startswith("__"):
            EVENTS.append(["getattr", types.ModuleType.__getattribute__(self, "__name__"), name])
        return types.ModuleType.__getattribute__(self, name)


class RecordingFinder(object):
    """Records the names the import system looks for; raises for names in `raising`."""

    def __init__(self, raising=()):
        self.raising = raising

    def find_spec(self, name, path=None, target=None):
        FOUND.append(name)
        if name in self.raising:
            raise ValueError("finder failure for " + name)
        return None


def _name(value):
    if isinstance(value, tuple):
        return [_name(item) for item in value]
    return getattr(value, "__name__", repr(value))


def accepts(*types_, **keywords):
    EVENTS.append(["accepts", _name(types_), [[k, _name(v)] for k, v in keywords.items()]])
    ACCEPTS_CALLS.append((types_, keywords))

    def decorator(function):
        EVENTS.append(["decorate", function.__name__, function.__defaults__])
        wrapper = lambda *args, **kwargs: function(*args, **kwargs)  # noqa: E731
        wrapper.wrapped = function
        DECORATED.append(wrapper)
        return wrapper

    return decorator


ACCEPTS_CALLS = []
DECORATED = []


class DataFrame(object):
    pass


def _module(name, **attributes):
    module = RecordingModule(name)
    module.__dict__.update(attributes)
    sys.modules[name] = module
    return module


def install(missing_modules=(), missing_names=(), raising=(), replace_import=True):
    """Puts the stand-ins in place. `missing_modules` cannot be imported, `missing_names` (as
    "module:name") are left out of their module, the finder raises ValueError for `raising`."""
    contents = {
        "pyspark": {},
        "pyspark.sql": {"DataFrame": DataFrame},
        "pyspark.sql.functions": {name: (lambda *a: None) for name in
                                  ("mean", "sum", "col", "count")},
        "pandas": {},
        "Tarnwick.bi.common": {"DataFrameHelper": type("DataFrameHelper", (), {})},
        "Tarnwick.bi.common.decorators": {"accepts": accepts},
        "Tarnwick.bi.common.results": {
            "DFTwoWayAnovaResult": type("DFTwoWayAnovaResult", (), {}),
            "MeasureAnovaResult": type("MeasureAnovaResult", (), {})},
    }
    import Tarnwick.bi.stats  # noqa: F401  (the real parent packages)
    for name, attributes in contents.items():
        if name in missing_modules:
            sys.modules[name] = None  # the import system reports it as missing
            continue
        attributes = {k: v for k, v in attributes.items()
                      if "%s:%s" % (name, k) not in missing_names}
        _module(name, **attributes)
    sys.meta_path.insert(0, RecordingFinder(raising))
    if replace_import:
        original = builtins.__import__

        def replacement(name, *args, **kwargs):
            REPLACEMENT_IMPORTS.append(name)
            return original(name, *args, **kwargs)

        builtins.__import__ = replacement


def failure(error):
    """What a test compares about a failed import."""
    entries = [[e.name, e.filename, e.lineno] for e in traceback.extract_tb(error.__traceback__)
               if e.filename == TRACE_FILE]
    return {"type": type(error).__name__, "message": str(error), "entries": entries}


def report(**values):
    print(json.dumps(values))
