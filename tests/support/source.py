"""The analyser module's source as its traceback entries and code objects report it: the module
statements, the five methods with their parameters, and the line of every statement a method
runs.  The tests and the reliability cases read their lines from here, never as bare numbers.
"""
import traceback
from typing import Dict, NamedTuple, Optional, Tuple

#: The file name of every traceback entry and code object of the analyser module.
TRACE_FILE = "Tarnwick\\bi\\stats\\factorpair"
MODULE = "Tarnwick.bi.stats.factorpair"
#: The function name of the traceback entry of a failed module initialisation.
INIT_ENTRY = "init " + MODULE

#: Module statements: the line that sets each global of the module namespace.
MODULE_LINES = {
    "range": 1,
    "__test__": 1,
    "object": 2,
    "pd": 3,
    "DataFrame": 4,
    "mean": 5,
    "sum": 5,
    "col": 5,
    "count": 5,
    "DataFrameHelper": 7,
    "accepts": 8,
    "DFTwoWayAnovaResult": 9,
    "MeasureAnovaResult": 10,
    "TwoWayAnova": 19,
}


class Method(NamedTuple):
    line: int  # the definition line (co_firstlineno)
    parameters: Tuple[str, ...]
    defaults: Optional[tuple]
    variables: Tuple[str, ...]  # co_varnames
    statements: Dict[str, Tuple[int, str]]  # key: (line, statement)


METHODS = {
    "__init__": Method(29, ("self", "data_frame", "df_helper"), None,
                       ("self", "data_frame", "df_helper"), {
        "frame": (30, "self._data_frame = data_frame"),
        "helper": (31, "self._dataframe_helper = df_helper"),
        "measures": (32, "self._measure_columns = self._dataframe_helper.get_numeric_columns()"),
        "dimensions": (33,
                       "self._dimension_columns = self._dataframe_helper.get_string_columns()"),
        "rows": (34, "self._df = self._dataframe_helper.get_num_rows()"),
        "mean": (35, "self._mean = {}"),
    }),
    "test_all": Method(38, ("self", "measure_columns", "dimension_columns", "max_num_levels"),
                       (None, None, 40),
                       ("self", "measure_columns", "dimension_columns", "max_num_levels",
                        "measures", "dimensions", "DF_Anova_Result", "dimensions_to_test", "m",
                        "var", "dim"), {
        "measures": (41, "measures = self._measure_columns"),
        "dimensions": (44, "dimensions = self._dimension_columns"),
        "bound": (45, "max_num_levels = min(max_num_levels, "
                      "round(self._dataframe_helper.get_num_rows() ** 0.35))"),
        "collection": (46, "DF_Anova_Result = DFTwoWayAnovaResult()"),
        "filter": (47, "dimensions_to_test = [dim for dim in dimensions if "
                       "self._dataframe_helper.get_num_unique_values(dim) <= max_num_levels]"),
        "loop": (49, "for m in measures:"),
        "aggregate": (51, "var = self._data_frame.select(col(m).alias('x'), "
                          "(col(m) ** 2).alias('x2')).agg(count(col('x')), mean(col('x')), "
                          "sum(col('x2'))).collect()"),
        "record": (52, "self._anova_result = MeasureAnovaResult(var[0])"),
        "against": (53, "self.test_against(m, dimensions_to_test)"),
        "add": (54, "DF_Anova_Result.add_measure_result(m, self._anova_result)"),
    }),
    "test_anova": Method(57, ("self", "measure", "dimension"), None,
                         ("self", "measure", "dimension", "var"), {
        "aggregate": (58, "var = self._data_frame.groupby(dimension)"
                          ".agg(count(col(measure)), mean(col(measure))).collect()"),
        "table": (59, "var = pd.DataFrame(var, columns=['levels', 'counts', 'means'])"),
        "total": (60, "var['total'] = var.means * var.counts"),
        "square": (61, "var['var3'] = var.counts * var.means * var.means"),
        "record": (62, "self._anova_result.set_OneWayAnovaResult(dimension, var)"),
    }),
    "test_against": Method(64, ("self", "measure", "dimensions"), None,
                           ("self", "measure", "dimensions", "dimension", "i", "j"), {
        "loop": (65, "for dimension in dimensions:"),
        "one": (66, "self.test_anova(measure, dimension)"),
        "outer": (67, "for i in range(0, len(dimensions) - 1):"),
        "inner": (68, "for j in range(i + 1, len(dimensions)):"),
        "two": (69, "self.test_anova_interaction(measure, dimensions[i], dimensions[j])"),
    }),
    "test_anova_interaction": Method(71, ("self", "measure", "dimension1", "dimension2"), None,
                                     ("self", "measure", "dimension1", "dimension2", "var"), {
        "aggregate": (72, "var = self._data_frame.groupby(dimension1, dimension2)"
                          ".agg(count(col(measure)), mean(col(measure))).collect()"),
        "table": (73, "var = pd.DataFrame(var, columns=['level1', 'level2', 'counts', "
                      "'means'])"),
        "total": (74, "var['total'] = var.means * var.counts"),
        "square": (75, "var['var5'] = var.counts * var.means * var.means"),
        "record": (76, "self._anova_result.set_TwoWayAnovaResult(dimension1, dimension2, var)"),
    }),
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
