"""Rendering a run's results: readable tables (the default), JSON or one CSV table.

The numbers all come from the host package's result collection (``DFTwoWayAnovaResult``); this
module only chooses, orders and formats them.
"""
from __future__ import annotations

import io
import json
import math
from typing import Any, Dict, List, Optional, Sequence

import pandas as pd

from Tarnwick.bi.common.anova import ImpreciseTableWarning
from Tarnwick.bi.common.results import jsonable
from Tarnwick.cli.output import printable, spreadsheet_safe
from Tarnwick.cli import posthoc_report

TYPE_NAMES = {1: "Type I (sequential)", 2: "Type II", 3: "Type III (sum-to-zero contrasts)"}
CORRECTION_NAMES = {"holm": "Holm", "bh": "Benjamini-Hochberg"}


class Context:
    """What the output says about the run besides the tables."""

    def __init__(self, source: str, rows: int, measures: Sequence[str], dimensions: Sequence[str],
                 levels: Dict[str, int], bound: int, ss_type: int, master: str, tests: int,
                 elapsed: float, correction: str = "holm", refined: int = 0,
                 timings: Dict[str, float] = None, extras=None):
        self.source = source
        self.rows = rows
        self.measures = list(measures)
        self.dimensions = list(dimensions)
        self.levels = dict(levels)
        self.bound = bound
        self.ss_type = ss_type
        self.master = master
        self.tests = tests
        self.elapsed = elapsed
        self.correction = None if correction == "none" else correction
        self.refined = refined
        # Seconds spent starting Spark, reading, checking (and caching) the input, and testing.
        self.timings = dict(timings or {})
        # Pairwise comparisons and variance tests, when asked for (cli.posthoc_report).
        self.extras = extras

    def as_dict(self) -> Dict[str, Any]:
        return {
            "source": self.source,
            "rows": self.rows,
            "measures": self.measures,
            "dimensions": self.dimensions,
            "levels": {d: self.levels[d] for d in self.dimensions},
            "level_bound": self.bound,
            "ss_type": self.ss_type,
            "correction": self.correction,
            "master": self.master,
            "tests": self.tests,
            "refined_tests": self.refined,
            "elapsed_seconds": round(self.elapsed, 3),
            "timings_seconds": {k: round(v, 3) for k, v in self.timings.items()},
        }


# -- precision ----------------------------------------------------------------------------------


def is_precision_warning(caught) -> bool:
    return issubclass(caught.category, ImpreciseTableWarning)


def refine_if_needed(result, frame, caught) -> int:
    """Recompute the tests the precision guard marked, from Spark's central moments.

    Returns the number of tests recomputed (0 when none was marked).
    """
    if not result.imprecise_tests:
        return 0
    return int(result.refine(frame))


def warning_notes(caught, refined: int, debug: bool = False) -> List[str]:
    """Notes for stderr about the warnings raised during the analysis."""
    notes = []
    marked = [w for w in caught if is_precision_warning(w)]
    if marked:
        if refined:
            notes.append(
                "%d test%s lost precision in the raw sums and %s recomputed from Spark's "
                "central moments" % (len(marked), "" if len(marked) == 1 else "s",
                                     "was" if refined == 1 else "were")
            )
        else:
            notes.extend(str(w.message) for w in marked)
    for w in caught:
        if w not in marked and (debug or issubclass(w.category, RuntimeWarning)):
            notes.append("%s: %s" % (w.category.__name__, w.message))
    return notes


# -- summary ------------------------------------------------------------------------------------


def summary_table(result, context: Context) -> pd.DataFrame:
    table = result.summary(correction=context.correction, typ=context.ss_type)
    table["dimensions"] = [" x ".join(str(d) for d in dims) for dims in table["dimensions"]]
    table["effect"] = [str(e) for e in table["effect"]]
    return table


# -- JSON ---------------------------------------------------------------------------------------


def to_json(result, context: Context) -> str:
    summary = summary_table(result, context)
    document = {
        "run": context.as_dict(),
        "results": result.to_dict(),
        "summary": summary.to_dict(orient="records"),
    }
    if context.extras is not None:
        document.update(context.extras.as_dict())
    return json.dumps(jsonable(document), indent=2, allow_nan=False) + "\n"


# -- CSV ----------------------------------------------------------------------------------------

CSV_COLUMNS = [
    "measure", "test", "dimension1", "dimension2", "ss_type", "source", "sum_sq", "df",
    "mean_sq", "F", "p_value", "effect_size", "omega_sq", "note",
]


def long_table(result, context: Context) -> pd.DataFrame:
    """Every row of every ANOVA table of the run, one table: the CSV output."""
    parts = []
    for measure in result.measures:
        record = result[measure]
        for dimension in record.dimensions:
            table = record.get_one_way(dimension).reset_index()
            table = table.rename(columns={"eta_sq": "effect_size"})
            table.insert(0, "measure", measure)
            table.insert(1, "test", "one-way")
            table.insert(2, "dimension1", dimension)
            table.insert(3, "dimension2", None)
            table.insert(4, "ss_type", None)
            parts.append(table)
        for dimension1, dimension2 in record.pairs:
            table = record.get_two_way(dimension1, dimension2, context.ss_type).reset_index()
            table = table.rename(columns={"partial_eta_sq": "effect_size"})
            table.insert(0, "measure", measure)
            table.insert(1, "test", "two-way")
            table.insert(2, "dimension1", dimension1)
            table.insert(3, "dimension2", dimension2)
            table.insert(4, "ss_type", context.ss_type)
            parts.append(table)
    if not parts:
        return pd.DataFrame(columns=CSV_COLUMNS)
    table = pd.concat(parts, ignore_index=True, sort=False)
    for column in CSV_COLUMNS:
        if column not in table.columns:
            table[column] = None
    table["source"] = [str(s) for s in table["source"]]
    if context.extras is not None:
        columns = CSV_COLUMNS + posthoc_report.CSV_EXTRA_COLUMNS
        table = pd.concat([table, context.extras.csv_rows(columns)], ignore_index=True, sort=False)
        return table.reindex(columns=columns)
    return table[CSV_COLUMNS]


def to_csv(result, context: Context) -> str:
    buffer = io.StringIO()
    table = long_table(result, context)
    for column in table.columns:
        # Names and levels come from the data: no text cell may start what a spreadsheet runs
        # as a formula (numbers pass unchanged).
        if table[column].dtype == object:
            table[column] = [spreadsheet_safe(v) for v in table[column]]
    table.to_csv(buffer, index=False)
    return buffer.getvalue()


# -- readable text ------------------------------------------------------------------------------


def format_number(value: Any, digits: int = 6) -> str:
    """``digits`` significant digits, without an exponent between 1e-4 and 1e15 (blank: NaN)."""
    try:
        value = float(value)
    except (TypeError, ValueError):
        return "" if value is None else str(value)
    if math.isnan(value):
        return ""
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if value == 0:
        return "0"
    magnitude = math.floor(math.log10(abs(value)))
    if not -4 <= magnitude < 15:
        return "%.*g" % (digits, value)
    decimals = max(0, digits - 1 - magnitude)
    text = "%.*f" % (decimals, value)
    if decimals:
        text = text.rstrip("0").rstrip(".")
    return text


_number = format_number


def _float_or_none(value: Any) -> Optional[float]:
    """The value as a float, or None where the table has nothing to show (None, NaN, text)."""
    try:
        value = float(value)
    except (TypeError, ValueError):
        return None
    return None if math.isnan(value) else value


def _p_value(value: Any) -> str:
    value = _float_or_none(value)
    if value is None:
        return ""
    if value < 1e-16:
        return "<1e-16"
    return "%.3g" % value


def _count(value: Any) -> str:
    value = _float_or_none(value)
    if value is None:
        return ""
    return "%d" % value if value == int(value) else "%g" % value


_FORMATS = {
    "sum_sq": _number,
    "df": _count,
    "df_resid": _count,
    "mean_sq": _number,
    "F": lambda v: _number(v, 5),
    "p_value": _p_value,
    "p_adjusted": _p_value,
    "eta_sq": lambda v: _number(v, 4),
    "omega_sq": lambda v: _number(v, 4),
    "partial_eta_sq": lambda v: _number(v, 4),
    "effect_size": lambda v: _number(v, 4),
}


def format_table(table: pd.DataFrame, index: bool = True) -> str:
    """A table as aligned text, numbers to a readable number of digits, blanks for undefined."""
    shown = pd.DataFrame(index=[printable(i) for i in table.index])
    for column in table.columns:
        if column == "note" and not any(str(v) for v in table[column] if v is not None):
            continue
        if column == "imprecise":
            if not table[column].any():
                continue
            shown[column] = ["yes" if v else "" for v in table[column]]
            continue
        render = _FORMATS.get(column, lambda v: "" if v is None else printable(v))
        shown[column] = [render(v) for v in table[column]]
    if index:
        shown.index.name = None
    return shown.to_string(index=index, justify="right")


def _indent(text: str, prefix: str = "  ") -> str:
    return "\n".join(prefix + line for line in text.splitlines())


def to_text(result, context: Context) -> str:
    out = io.StringIO()
    w = out.write
    levels = ", ".join("%s %d" % (printable(d), context.levels[d]) for d in context.dimensions)
    w("Two-way analysis of variance of %s\n" % printable(context.source))
    w("%d rows; %d measure%s; dimensions (levels): %s; level bound %d\n" % (
        context.rows, len(context.measures), "" if len(context.measures) == 1 else "s", levels,
        context.bound))
    w("%d tests on Spark %s in %.1f s; two-way tables use %s sums of squares\n" % (
        context.tests, context.master, context.elapsed, TYPE_NAMES[context.ss_type]))
    if context.refined:
        w("%d tests recomputed from central moments for precision\n" % context.refined)
    for measure in result.measures:
        record = result[measure]
        w("\n%s\n" % ("=" * 78))
        w("%s   (n = %s, mean = %s)\n" % (printable(measure), _count(record.n), _number(record.mean)))
        w("%s\n" % ("=" * 78))
        for dimension in record.dimensions:
            w("\nOne-way: %s\n" % printable(dimension))
            w(_indent(format_table(record.get_one_way(dimension))) + "\n")
            if context.extras is not None:
                w(context.extras.text(measure, dimension))
        for dimension1, dimension2 in record.pairs:
            w("\nTwo-way: %s x %s, %s\n" % (printable(dimension1), printable(dimension2),
                                            TYPE_NAMES[context.ss_type]))
            table = record.get_two_way(dimension1, dimension2, context.ss_type)
            w(_indent(format_table(table)) + "\n")
    summary = summary_table(result, context)
    if len(summary):
        w("\n%s\n" % ("=" * 78))
        adjusted = (
            "; p_adjusted: %s over all %d tests" % (CORRECTION_NAMES[context.correction], len(summary))
            if context.correction else ""
        )
        w("Summary: every effect, by p-value (effect size: eta² one-way, partial eta² two-way%s)\n"
          % adjusted)
        w("%s\n" % ("=" * 78))
        columns = ["measure", "test", "dimensions", "effect", "F", "df", "df_resid", "p_value"]
        if "p_adjusted" in summary.columns:
            columns.append("p_adjusted")
        columns += ["effect_size", "imprecise"]
        w(format_table(summary[columns], index=False) + "\n")
    return out.getvalue()
