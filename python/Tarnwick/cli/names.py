"""The data's own column names in the output of a run that renamed columns for the analyser.

The analyser hands each name to Spark as it is, and Spark reads a dot, a back-quote or ``*`` in
it as syntax. The run's selection therefore gives such columns plain names (``selection.original`` maps
them back); once the analysis is done, :func:`restore` files the same tables again under the
data's names, so that every table, summary and export shows the names the user knows.
"""
from __future__ import annotations

import warnings

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
