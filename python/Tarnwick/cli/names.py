"""The data's own column names in the output of a run that renamed columns for the analyser.

The analyser hands each name to Spark as it is, and Spark reads a dot, a back-quote or ``*`` in
it as syntax. The run's selection therefore gives such columns plain names (``selection.original`` maps
them back); once the analysis is done, :func:`restore` files the same tables again under the
data's names, so that every table, summary and export shows the names the user knows.
:func:`model_labels` does the same for a model's terms, which a formula names through
``Q("name")``.
"""
from __future__ import annotations

import re
import warnings
from typing import Callable

from Tarnwick.bi.common.results import DFTwoWayAnovaResult, MeasureAnovaResult


def restore(result, selection):
    """``result`` under the data's column names, and ``selection`` updated to match.

    ``selection.measures``, ``selection.dimensions`` and ``selection.levels`` take the data's
    names, and ``selection.frame`` becomes the same cached data with its columns named as in the data (for
    recomputing tests later). Without renamed columns both are returned as they are.

    Parameters
    ----------
    result : DFTwoWayAnovaResult
        The analyser's results, filed under the run's names.
    selection : Selection
        What the run tests; ``selection.original`` maps run names to data names.

    Returns
    -------
    DFTwoWayAnovaResult
    """
    original = dict(selection.original)
    if not original:
        return result

    def name(n):
        return original.get(n, n)

    restored = DFTwoWayAnovaResult()
    with warnings.catch_warnings():
        # The tables were checked, and warned about, when the analyser filed them.
        warnings.simplefilter("ignore")
        for measure, record in result.records:
            again = MeasureAnovaResult(record.measure_row)
            for kind, dimensions, table in record.tables:
                if kind == "one-way":
                    again.set_OneWayAnovaResult(name(dimensions[0]), table)
                else:
                    again.set_TwoWayAnovaResult(name(dimensions[0]), name(dimensions[1]), table)
            restored.add_measure_result(name(measure), again)
    from Tarnwick.cli.prepare import AS_IS, SparkFrames

    frames = getattr(selection, "frames", None) or SparkFrames()
    selection.frame = frames.project(selection.frame, [(c, name(c), AS_IS)
                                                       for c in selection.frame.columns])
    selection.measures = [name(m) for m in selection.measures]
    selection.dimensions = [name(d) for d in selection.dimensions]
    selection.levels = {name(d): n for d, n in selection.levels.items()}
    selection.original = {}
    return restored


def model_labels(formula: str) -> Callable[[str], str]:
    """A function that writes the term and coefficient names of ``formula``'s model with the
    data's column names: ``Q("unit price")`` shows as ``unit price`` and ``C(Q("year.x"))`` as
    ``C(year.x)``; other names are returned as they are.

    Parameters
    ----------
    formula : str
        A formula that :func:`Tarnwick.bi.stats.models.formula_columns` reads.

    Returns
    -------
    callable
        str -> str.

    Examples
    --------
    >>> label = model_labels('y ~ a * Q("unit price")')
    >>> label('a:Q("unit price")'), label('a[T.b]:Q("unit price")'), label("Residual")
    ('a:unit price', 'a[T.b]:unit price', 'Residual')
    """
    from Tarnwick.bi.stats.models import formula_columns

    shown = {}
    for code, (name, wrapped) in formula_columns(formula).items():
        label = "C(%s)" % name if wrapped else name
        if label != code:
            shown[code] = label
    if not shown:
        return str
    # One pass over the name, longest code first, so that a label is never rewritten again.
    pattern = re.compile("|".join(re.escape(code) for code in sorted(shown, key=len, reverse=True)))
    return lambda text: pattern.sub(lambda found: shown[found.group(0)], str(text))
