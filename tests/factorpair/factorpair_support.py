"""Reading the traceback entries the analyser module adds to exceptions."""
import traceback

TRACE_FILE = "Tarnwick\\bi\\stats\\factorpair"


def module_entries(error):
    """(name, line) of the traceback entries the module added to `error`, outermost first."""
    return [(entry.name, entry.lineno) for entry in traceback.extract_tb(error.__traceback__)
            if entry.filename == TRACE_FILE]


def qualified(method):
    return "Tarnwick.bi.stats.factorpair.TwoWayAnova." + method
