"""HTML views of the result objects, for notebooks (``_repr_html_``).

A collection shows its summary first (every effect by p-value, with Holm-adjusted p-values) and
its notes, then one folded section per measure; a record shows its summary, notes and every
ANOVA table. Numbers get a readable number of digits and undefined ones stay blank, formatted
by the functions below, which the command line's text output shares. Every name
from the data (measures, dimensions, effects) is HTML-escaped: it is only ever shown as text.
"""
from __future__ import annotations

import html
import math
from typing import Any, Callable, Dict, List, Optional

import pandas as pd

__all__ = ["collection_html", "model_html", "record_html", "table_html", "format_number",
           "format_p_value", "format_count", "NUMBER_FORMATS"]

#: Two-way tables shown in the HTML views: Type II, as :meth:`summary` uses by default.
SHOWN_TYPE = 2
#: Adjustment shown in the collection's summary.
SHOWN_CORRECTION = "holm"


def format_number(value: Any, digits: int = 6) -> str:
    """``value`` to ``digits`` significant digits, without an exponent between 1e-4 and 1e15.

    Undefined numbers (NaN, None) are blank; text that is not a number is shown as it is.

    Examples
    --------
    >>> format_number(1234.56789), format_number(0.000012345), format_number(float("nan"))
    ('1234.57', '1.2345e-05', '')
    """
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


def _float_or_none(value: Any) -> Optional[float]:
    """The value as a float, or None where a table has nothing to show (None, NaN, text)."""
    try:
        value = float(value)
    except (TypeError, ValueError):
        return None
    return None if math.isnan(value) else value


def format_p_value(value: Any) -> str:
    """A p-value to three significant digits; below 1e-16, beyond double precision's reach
    next to 1, it shows as ``<1e-16``.

    Examples
    --------
    >>> format_p_value(0.012345), format_p_value(3e-20), format_p_value(None)
    ('0.0123', '<1e-16', '')
    """
    value = _float_or_none(value)
    if value is None:
        return ""
    if value < 1e-16:
        return "<1e-16"
    return "%.3g" % value


def format_count(value: Any) -> str:
    """A count or degrees of freedom: a whole number without decimals, else ``%g``.

    Examples
    --------
    >>> format_count(12.0), format_count(17.25), format_count(float("nan"))
    ('12', '17.25', '')
    """
    value = _float_or_none(value)
    if value is None:
        return ""
    return "%d" % value if value == int(value) else "%g" % value


#: How each numeric column of an ANOVA, summary or comparison table is shown, in the notebook
#: view and on the command line alike.
NUMBER_FORMATS: Dict[str, Callable[[Any], str]] = {
    "sum_sq": format_number,
    "df": format_count,
    "df_resid": format_count,
    "mean_sq": format_number,
    "F": lambda v: format_number(v, 5),
    "p_value": format_p_value,
    "p_adjusted": format_p_value,
    "eta_sq": lambda v: format_number(v, 4),
    "omega_sq": lambda v: format_number(v, 4),
    "partial_eta_sq": lambda v: format_number(v, 4),
    "effect_size": lambda v: format_number(v, 4),
}

_HTML_FORMATS: Dict[str, Callable[[Any], str]] = dict(
    NUMBER_FORMATS,
    imprecise=lambda v: "yes" if v else "",
    dimensions=lambda v: " x ".join(str(d) for d in v) if isinstance(v, tuple) else str(v),
)


def table_html(table: pd.DataFrame, index: bool = True) -> str:
    """``table`` as an HTML table of text cells, names escaped, undefined numbers blank.

    A ``note`` or ``imprecise`` column that says nothing is left out.
    """
    shown = pd.DataFrame(index=[str(i) for i in table.index])
    for column in table.columns:
        values = list(table[column])
        if column == "note" and not any(str(v) for v in values if v is not None):
            continue
        if column == "imprecise" and not any(bool(v) for v in values):
            continue
        render = _HTML_FORMATS.get(column, str)
        shown[str(column)] = ["" if v is None else render(v) for v in values]
    # pandas escapes <, > and & in every cell, header and index label.
    return shown.to_html(index=index, escape=True, border=0)


def _heading(level: int, text: str) -> str:
    return "<h%d>%s</h%d>" % (level, html.escape(text), level)


def _notes_html(notes: List[str]) -> str:
    if not notes:
        return ""
    return "<ul>%s</ul>" % "".join("<li>%s</li>" % html.escape(n) for n in notes)


def record_notes(record: Any) -> List[str]:
    """What a reader should know besides the tables: tests marked imprecise."""
    notes = []
    marked = record.imprecise_tests
    if marked:
        notes.append(
            "%d test%s marked imprecise (%s): the residual sum of squares lost digits to "
            "cancellation; refine(spark_df) recomputes %s from Spark's central moments"
            % (len(marked), "" if len(marked) == 1 else "s",
               ", ".join(" x ".join(str(d) for d in dims) for dims in marked),
               "it" if len(marked) == 1 else "them"))
    return notes


def _record_body(record: Any) -> str:
    parts = []
    summary = record.summary(SHOWN_TYPE)
    if len(summary):
        parts.append("<p><b>Summary</b> (effect size: eta² one-way, partial eta² two-way; "
                     "two-way effects Type II)</p>")
        parts.append(table_html(summary, index=False))
    parts.append(_notes_html(record_notes(record)))
    for dimension in record.dimensions:
        parts.append("<p><b>One-way:</b> %s</p>" % html.escape(str(dimension)))
        parts.append(table_html(record.get_one_way(dimension)))
        for (compared, title), table in getattr(record, "comparisons", {}).items():
            if compared == dimension:
                parts.append("<p><i>%s</i></p>" % html.escape(title))
                parts.append(table_html(table, index=False))
    for dimension1, dimension2 in record.pairs:
        parts.append("<p><b>Two-way:</b> %s x %s, Type II</p>"
                     % (html.escape(str(dimension1)), html.escape(str(dimension2))))
        parts.append(table_html(record.get_two_way(dimension1, dimension2, SHOWN_TYPE)))
    return "".join(parts)


def _record_title(record: Any, name: Any = None) -> str:
    name = record.measure if name is None else name
    n = record.n
    return "%s (n = %s, mean = %s)" % (
        "measure" if name is None else str(name),
        "%d" % n if math.isfinite(n) else "?", format_number(record.mean))


def record_html(record: Any) -> str:
    """The HTML view of one measure's record: summary, notes and every table."""
    return "<div>%s%s</div>" % (_heading(4, _record_title(record)), _record_body(record))


def collection_html(collection: Any) -> str:
    """The HTML view of a result collection: the summary of every test, the notes, and one
    folded section per measure with its tables."""
    measures = collection.measures
    if not measures:
        return "<div>%s</div>" % _heading(4, "Two-way analysis of variance: no measures")
    parts = [_heading(4, "Two-way analysis of variance: %d measure%s" % (
        len(measures), "" if len(measures) == 1 else "s"))]
    summary = collection.summary(correction=SHOWN_CORRECTION, typ=SHOWN_TYPE)
    if len(summary):
        parts.append("<p><b>Summary</b>: every effect by p-value; p_adjusted: Holm over all %d "
                     "tests; two-way effects Type II</p>" % len(summary))
        parts.append(table_html(summary, index=False))
    notes = []
    for name in measures:
        notes.extend("%s: %s" % (name, note) for note in record_notes(collection[name]))
    parts.append(_notes_html(notes))
    for name in measures:
        record = collection[name]
        parts.append("<details><summary>%s</summary>%s</details>"
                     % (html.escape(_record_title(record, name)), _record_body(record)))
    return "<div>%s</div>" % "".join(parts)


def model_html(result: Any) -> str:
    """The HTML view of a fitted linear model: its Type II table and its coefficients."""
    title = "%s (n = %s, R² = %s)" % (result.formula, format_number(result.nobs, 12),
                                      format_number(result.r_squared, 4))
    return "<div>%s<p><b>Type II</b></p>%s<p><b>Coefficients</b></p>%s</div>" % (
        _heading(4, title), table_html(result.anova(SHOWN_TYPE)),
        table_html(result.coefficients()))
