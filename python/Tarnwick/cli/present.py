"""Presenting a run's results: readable tables (the default), JSON or one CSV table.

Every piece of text, JSON and CSV the command line prints about its results is made here. The
numbers all come from the host package's result collection (``DFTwoWayAnovaResult``) and the
run's comparisons (:class:`Tarnwick.cli.analysis.Comparisons`); this module only chooses, orders
and formats them, with the number and p-value formatters the notebook view uses
(:mod:`Tarnwick.bi.common.display`).
"""
from __future__ import annotations

import io
import json
from typing import Any, Dict, Hashable, List, Sequence

import numpy as np
import pandas as pd

from Tarnwick.bi.common import anova
from Tarnwick.bi.common.anova import ImpreciseTableWarning
from Tarnwick.bi.common.display import NUMBER_FORMATS, format_count, format_number
from Tarnwick.bi.common.results import jsonable, table_records
from Tarnwick.cli.output import printable, spreadsheet_safe

TYPE_NAMES = {1: "Type I (sequential)", 2: "Type II", 3: "Type III (sum-to-zero contrasts)"}
CORRECTION_NAMES = {"holm": "Holm", "bh": "Benjamini-Hochberg"}


class Context:
    """What the output says about the run besides the tables."""

    def __init__(self, source: str, rows: int, measures: Sequence[str], dimensions: Sequence[str],
                 levels: Dict[str, int], bound: int, ss_type: int, master: str, tests: int,
                 elapsed: float, correction: str = "holm", refined: int = 0,
                 timings: Dict[str, float] = None, extras=None, engine: str = "Spark"):
        self.source = source
        self.engine = engine  # "Spark", or "embedded" (then ``master`` names its DuckDB)
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
        # Pairwise comparisons and variance tests, when asked for (analysis.Comparisons).
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
            **seconds(self.elapsed, self.timings),
        }


def seconds(elapsed: float, timings: Dict[str, float]) -> Dict[str, Any]:
    """The run record's seconds: in all, and per phase."""
    return {"elapsed_seconds": round(elapsed, 3),
            "timings_seconds": {k: round(v, 3) for k, v in timings.items()}}


# -- notes ------------------------------------------------------------------------------------------


def is_precision_warning(caught) -> bool:
    return issubclass(caught.category, ImpreciseTableWarning)


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
        document.update(comparisons_document(context.extras))
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
        columns = CSV_COLUMNS + CSV_EXTRA_COLUMNS
        table = pd.concat([table, comparisons_rows(context.extras, columns)], ignore_index=True,
                          sort=False)
        return table.reindex(columns=columns)
    return table[CSV_COLUMNS]


def csv_text(value: Any) -> Any:
    """A CSV cell: text escaped for the terminal and kept from reading as a formula; any other
    value unchanged."""
    if isinstance(value, str):
        return spreadsheet_safe(printable(value))
    return value


def to_csv(result, context: Context) -> str:
    return _csv_document(long_table(result, context))


def _csv_document(table: pd.DataFrame) -> str:
    """``table`` as CSV text, its text cells made safe (see :func:`csv_text`)."""
    buffer = io.StringIO()
    for column in table.columns:
        # Names and levels come from the data: a text cell shows its control characters escaped,
        # as the text output does, and may not start what a spreadsheet runs as a formula
        # (numbers pass unchanged).
        if table[column].dtype == object:
            table[column] = [csv_text(v) for v in table[column]]
    table.to_csv(buffer, index=False)
    return buffer.getvalue()


# -- readable text ------------------------------------------------------------------------------


def format_table(table: pd.DataFrame, index: bool = True,
                 formats: Dict[str, Any] = NUMBER_FORMATS) -> str:
    """A table as aligned text, numbers to a readable number of digits, blanks for undefined
    (``formats``: how each numeric column is shown)."""
    texts: Dict[Any, List[str]] = {}  # the frame made at once: a column at a time is slow
    for column in table.columns:
        if column == "note" and not any(str(v) for v in table[column] if v is not None):
            continue
        if column == "imprecise":
            if not table[column].any():
                continue
            texts[column] = ["yes" if v else "" for v in table[column]]
            continue
        render = formats.get(column, lambda v: "" if v is None else printable(v))
        texts[column] = [render(v) for v in table[column]]
    shown = pd.DataFrame(texts, index=[printable(i) for i in table.index],
                         columns=list(texts))
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
    w("%d tests on %s %s in %.1f s; two-way tables use %s sums of squares\n" % (
        context.tests, context.engine, context.master, context.elapsed,
        TYPE_NAMES[context.ss_type]))
    if context.refined:
        w("%d tests recomputed from central moments for precision\n" % context.refined)
    for measure in result.measures:
        record = result[measure]
        w("\n%s\n" % ("=" * 78))
        w("%s   (n = %s, mean = %s)\n" % (printable(measure), format_count(record.n), format_number(record.mean)))
        w("%s\n" % ("=" * 78))
        for dimension in record.dimensions:
            w("\nOne-way: %s\n" % printable(dimension))
            w(_indent(format_table(record.get_one_way(dimension))) + "\n")
            if context.extras is not None:
                w(comparisons_text(context.extras, measure, dimension))
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


# -- comparisons and variance tests -------------------------------------------------------------

METHOD_NAMES = {"tukey": "Tukey-Kramer", "games-howell": "Games-Howell"}
TEST_NAMES = {"levene": "Levene (deviations from level means)",
              "brown-forsythe": "Brown-Forsythe (deviations from level medians)",
              "welch": "Welch's ANOVA (unequal variances)"}
#: Columns the CSV output gains when any comparison or variance test is asked for.
CSV_EXTRA_COLUMNS = ["df2", "group1", "group2", "mean_diff", "std_error", "q", "ci_lower",
                     "ci_upper", "reject"]


def comparisons_text(found, measure: Any, dimension: Hashable) -> str:
    """The lines shown under the one-way table of ``measure`` by ``dimension``: its variance
    tests and its pairwise comparisons, from the run's ``Comparisons``."""
    lines = []
    tests = found.tests.get((measure, dimension), {})
    if tests:
        rows = pd.concat([table for table in tests.values()], ignore_index=True)
        shown = pd.DataFrame({"F": rows["F"], "df": rows["df1"], "df_resid": rows["df2"],
                              "p_value": rows["p_value"], "note": rows["note"]})
        shown.index = [TEST_NAMES[name] for name in tests]
        lines.append("  Variances and unequal-variance F:")
        lines.append(_indent(format_table(shown), "    "))
    if (measure, dimension) in found.pairs:
        table, note = found.pairs[(measure, dimension)]
        title = "  %s comparisons of %s (%s%% simultaneous intervals; mean_diff = group2 - group1)" % (
            METHOD_NAMES[found.method], _level_text(dimension),
            format_number(100 * (1 - found.alpha), 4))
        if note:
            lines.append("%s: not computed: %s" % (title, note))
        else:
            lines.append(title + ":")
            lines.append(_indent(format_table(_pairs_shown(table), index=False), "    "))
    return "\n".join(lines) + "\n" if lines else ""


def comparisons_document(found) -> Dict[str, Any]:
    """The JSON output's part: ``post_hoc`` (one entry per comparison table) and
    ``variance_tests`` (one entry per test), each naming its measure and dimension."""
    document: Dict[str, Any] = {}
    if found.method:
        document["post_hoc"] = [
            {"measure": m, "dimension": d, "method": found.method, "alpha": found.alpha,
             "note": note, "pairs": table.to_dict(orient="records")}
            for (m, d), (table, note) in found.pairs.items()
        ]
    tests = []
    for (m, d), by_name in found.tests.items():
        for name, table in by_name.items():
            row = table.iloc[0]
            tests.append({"measure": m, "dimension": d, "test": name, "F": row["F"],
                          "df1": row["df1"], "df2": row["df2"], "p_value": row["p_value"],
                          "note": row["note"]})
    if tests:
        document["variance_tests"] = tests
    return jsonable(document)


def comparisons_rows(found, columns: List[str]) -> pd.DataFrame:
    """Rows for the CSV output: a row per test and per compared pair, in ``columns`` (the ANOVA
    columns followed by :data:`CSV_EXTRA_COLUMNS`)."""
    rows = []
    for (m, d), by_name in found.tests.items():
        for name, table in by_name.items():
            row = table.iloc[0]
            rows.append({"measure": m, "test": name, "dimension1": d, "source": str(d),
                         "F": row["F"], "df": row["df1"], "df2": row["df2"],
                         "p_value": row["p_value"], "note": row["note"]})
    for (m, d), (table, note) in found.pairs.items():
        if note:
            rows.append({"measure": m, "test": found.method, "dimension1": d,
                         "source": str(d), "note": note})
        for pair in table.to_dict(orient="records"):
            entry = {"measure": m, "test": found.method, "dimension1": d, "source": str(d)}
            entry.update(pair)
            rows.append(entry)
    return pd.DataFrame(rows, columns=columns)


def _pairs_shown(table: pd.DataFrame) -> pd.DataFrame:
    """A comparison table with its numbers as readable text, for the text output."""
    shown = pd.DataFrame({"group1": [_level_text(v) for v in table["group1"]],
                          "group2": [_level_text(v) for v in table["group2"]]})
    shown["mean_diff"] = [format_number(v) for v in table["mean_diff"]]
    shown["std_error"] = [format_number(v) for v in table["std_error"]]
    shown["q"] = [format_number(v, 5) for v in table["q"]]
    shown["df"] = table["df"].to_numpy()
    shown["p_value"] = table["p_value"].to_numpy()
    shown["ci_lower"] = [format_number(v) for v in table["ci_lower"]]
    shown["ci_upper"] = [format_number(v) for v in table["ci_upper"]]
    shown["reject"] = ["" if v is None else ("yes" if v else "no") for v in table["reject"]]
    shown["note"] = list(table["note"])
    return shown


def _level_text(level: Any) -> str:
    """A level as text for the terminal: null as "null", control characters escaped."""
    return "null" if level is None else printable(level)


# -- linear models (--formula) ------------------------------------------------------------------

#: How the coefficient tables' numbers are shown.
COEFFICIENT_FORMATS = dict(NUMBER_FORMATS, estimate=format_number, std_err=format_number,
                           t=lambda v: format_number(v, 5), ci_lower=format_number,
                           ci_upper=format_number)
#: Columns of the models' CSV output: one row per row of every model's ANOVA table.
MODEL_CSV_COLUMNS = ["model", "formula", "response", "ss_type", "source", "sum_sq", "df",
                     "mean_sq", "F", "p_value", "partial_eta_sq", "note"]
MODEL_SUMMARY_COLUMNS = ["model", "response", "term", "F", "df", "df_resid", "p_value",
                         "p_adjusted", "partial_eta_sq"]


class ModelsContext:
    """What the output of a ``--formula`` run says besides the tables."""

    def __init__(self, source: str, master: str, ss_type: int, correction: str, alpha: float,
                 elapsed: float, timings: Dict[str, float] = None):
        self.source = source
        self.master = master
        self.ss_type = ss_type
        self.correction = None if correction == "none" else correction
        self.alpha = alpha
        self.elapsed = elapsed
        self.timings = dict(timings or {})

    def as_dict(self) -> Dict[str, Any]:
        return dict(source=self.source, ss_type=self.ss_type, correction=self.correction,
                    alpha=self.alpha, master=self.master, **seconds(self.elapsed, self.timings))


def model_tables(result, context: ModelsContext):
    """The model's ANOVA table of the run's type and its coefficients, their row names written
    with the data's column names."""
    from Tarnwick.cli.names import model_labels

    label = model_labels(result.formula)
    table = result.anova(context.ss_type).copy()
    coefficients = result.coefficients(context.alpha).copy()
    table.index = pd.Index([label(n) for n in table.index], name="source", dtype=object)
    coefficients.index = pd.Index([label(n) for n in coefficients.index], dtype=object)
    return table, coefficients


def models_summary(results, context: ModelsContext) -> pd.DataFrame:
    """Every term of every model (not the residual, nor the Type III intercept), by p-value,
    with the run's correction over all of them in ``p_adjusted``."""
    parts = []
    for number, result in enumerate(results, 1):
        table = model_tables(result, context)[0].iloc[:-1]  # the last row is the residual
        if context.ss_type == 3:
            table = table[[i > 0 or name != "Intercept" for i, name in enumerate(table.index)]]
        parts.append(pd.DataFrame({
            "model": number, "response": result.response, "term": list(table.index),
            "F": table["F"].to_numpy(float), "df": table["df"].to_numpy(float),
            "df_resid": result.df_resid, "p_value": table["p_value"].to_numpy(float),
            "partial_eta_sq": table["partial_eta_sq"].to_numpy(float)}))
    summary = pd.concat(parts, ignore_index=True) if parts else pd.DataFrame(
        columns=MODEL_SUMMARY_COLUMNS)
    summary["p_adjusted"] = (anova.adjust_p_values(summary["p_value"], context.correction)
                             if context.correction else np.nan)
    order = np.argsort(summary["p_value"].astype(float).fillna(np.inf).to_numpy(),
                       kind="mergesort")
    columns = [c for c in MODEL_SUMMARY_COLUMNS if context.correction or c != "p_adjusted"]
    return summary.iloc[order].reset_index(drop=True)[columns]


def models_to_text(results, context: ModelsContext) -> str:
    out = io.StringIO()
    w = out.write
    w("Linear models of %s\n" % printable(context.source))
    w("%d model%s on Spark %s in %.1f s; ANOVA tables use %s sums of squares\n" % (
        len(results), "" if len(results) == 1 else "s", context.master, context.elapsed,
        TYPE_NAMES[context.ss_type]))
    for number, result in enumerate(results, 1):
        table, coefficients = model_tables(result, context)
        w("\n%s\n" % ("=" * 78))
        w("Model %d: %s\n" % (number, printable(result.formula)))
        w("response %s; n = %s, df_resid = %s, R² = %s\n" % (
            printable(result.response), format_count(result.nobs), format_count(result.df_resid),
            format_number(result.r_squared, 4)))
        w("%s\n" % ("=" * 78))
        w("\nANOVA, %s:\n" % TYPE_NAMES[context.ss_type])
        w(_indent(format_table(table)) + "\n")
        w("\nCoefficients (treatment coding; %s%% confidence intervals):\n"
          % format_number(100 * (1 - context.alpha), 4))
        w(_indent(format_table(coefficients, formats=COEFFICIENT_FORMATS)) + "\n")
    summary = models_summary(results, context)
    if len(summary):
        adjusted = ("; p_adjusted: %s over all %d tests" % (
            CORRECTION_NAMES[context.correction], len(summary)) if context.correction else "")
        w("\n%s\n" % ("=" * 78))
        w("Summary: every term of every model, by p-value (effect size: partial eta²%s)\n"
          % adjusted)
        w("%s\n" % ("=" * 78))
        w(format_table(summary, index=False) + "\n")
    return out.getvalue()


def models_to_json(results, context: ModelsContext) -> str:
    models = []
    for result in results:
        table, coefficients = model_tables(result, context)
        models.append({
            "formula": result.formula, "response": result.response, "nobs": result.nobs,
            "df_resid": result.df_resid, "r_squared": result.r_squared,
            "anova": table_records(table),
            "coefficients": [dict(coefficient=r.pop("source"), **r)
                             for r in table_records(coefficients)],
        })
    document = {"run": context.as_dict(), "models": models,
                "summary": models_summary(results, context).to_dict(orient="records")}
    return json.dumps(jsonable(document), indent=2, allow_nan=False) + "\n"


def models_to_csv(results, context: ModelsContext) -> str:
    parts = []
    for number, result in enumerate(results, 1):
        table = model_tables(result, context)[0].reset_index()
        for position, (column, value) in enumerate((
                ("model", number), ("formula", result.formula), ("response", result.response),
                ("ss_type", context.ss_type))):
            table.insert(position, column, value)
        parts.append(table)
    table = pd.concat(parts, ignore_index=True, sort=False)[MODEL_CSV_COLUMNS]
    return _csv_document(table)


#: The output formats of a run, by option: the batch tests' and the models'.
FORMATS = {"text": to_text, "json": to_json, "csv": to_csv}
MODEL_FORMATS = {"text": models_to_text, "json": models_to_json, "csv": models_to_csv}
