"""The analyser module's source as its traceback entries and code objects report it: the module
statements, the five methods with their parameters, and the line of every statement a method
runs.  The lines come from the table the C++ is built from (src/factorpair/source_lines.json);
the tests and the reliability cases read them from here, never as bare numbers.
"""
import json
import os
import traceback
from typing import Dict, NamedTuple, Optional, Tuple

#: The file name of every traceback entry and code object of the analyser module.
TRACE_FILE = "Tarnwick\\bi\\stats\\factorpair"
MODULE = "Tarnwick.bi.stats.factorpair"
#: The function name of the traceback entry of a failed module initialisation.
INIT_ENTRY = "init " + MODULE

#: The one table of the module's source lines, which the build turns into the C++ header.
TABLE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                     "src", "factorpair", "source_lines.json")
with open(TABLE) as _handle:
    _TABLE = json.load(_handle)

#: Module statements: the line that sets each global of the module namespace.
MODULE_LINES: Dict[str, int] = dict(_TABLE["module_globals"])


class Method(NamedTuple):
    line: int  # the definition line (co_firstlineno)
    parameters: Tuple[str, ...]
    defaults: Optional[tuple]
    variables: Tuple[str, ...]  # co_varnames
    statements: Dict[str, Tuple[int, str]]  # key: (line, statement)


# Each method's parameters, defaults and local variables (co_varnames).
_SIGNATURES = {
    "__init__": (("self", "data_frame", "df_helper"), None,
                 ("self", "data_frame", "df_helper")),
    "test_all": (("self", "measure_columns", "dimension_columns", "max_num_levels"),
                 (None, None, 40),
                 ("self", "measure_columns", "dimension_columns", "max_num_levels", "measures",
                  "dimensions", "DF_Anova_Result", "dimensions_to_test", "m", "var", "dim")),
    "test_anova": (("self", "measure", "dimension"), None,
                   ("self", "measure", "dimension", "var")),
    "test_against": (("self", "measure", "dimensions"), None,
                     ("self", "measure", "dimensions", "dimension", "i", "j")),
    "test_anova_interaction": (("self", "measure", "dimension1", "dimension2"), None,
                               ("self", "measure", "dimension1", "dimension2", "var")),
}

METHODS = {
    name: Method(entry["line"], *_SIGNATURES[name],
                 {key: (line, text) for key, (line, text) in entry["statements"].items()})
    for name, entry in _TABLE["methods"].items()
}


def line(method: str, statement: Optional[str] = None) -> int:
    """The line of ``method``'s ``statement``; without one, the method's definition line."""
    if statement is None:
        return METHODS[method].line
    return METHODS[method].statements[statement][0]


def qualified(method: str) -> str:
    """The function name of ``method``'s traceback entries."""
    return MODULE + ".TwoWayAnova." + method


def entries(error: BaseException):
    """(method, line) of the traceback entries the module added to ``error``, outermost first;
    method entries by their short name, the module's initialisation entry as it is."""
    prefix = qualified("")
    return [
        (entry.name[len(prefix):] if entry.name.startswith(prefix) else entry.name,
         entry.lineno)
        for entry in traceback.extract_tb(error.__traceback__)
        if entry.filename == TRACE_FILE
    ]
