"""Interaction plots drawn from a cell table (counts and means per cell; no data row needed).

matplotlib is optional (``pip install 'Tarnwick[plot]'``): it is imported only when a figure is
drawn, and its absence is reported with what to install. Figures are made with matplotlib's
object interface and the Agg canvas, never through ``pyplot``: drawing one opens no window and
touches no global figure state, and a notebook shows the returned figure as it shows any other.
"""
from __future__ import annotations

import math
from typing import Any, Dict, Hashable, List, Tuple

__all__ = ["MISSING_LEVEL", "cell_tables", "interaction_figure", "record_figure",
           "require_matplotlib"]

#: How a null level is labelled in a plot.
MISSING_LEVEL = "(missing)"


def require_matplotlib() -> None:
    """Raise ImportError, saying what to install, when matplotlib is not available."""
    try:
        import matplotlib  # noqa: F401
    except ImportError as exc:
        raise ImportError(
            "interaction plots need matplotlib, which is not installed: "
            "pip install 'Tarnwick[plot]' (or pip install matplotlib)"
        ) from exc


def level_label(level: Any) -> str:
    """The text shown for a level: the value as text, or MISSING_LEVEL for a null."""
    if level is None or (isinstance(level, float) and math.isnan(level)):
        return MISSING_LEVEL
    return str(level)


def plain_text(name: Any) -> str:
    """``name`` as text matplotlib shows literally: a dollar sign would start math mode."""
    return str(name).replace("$", r"\$")


def _sort_key(label: str) -> Tuple[bool, str]:
    return (label == MISSING_LEVEL, label)


def cell_points(cells: Any, swap: bool = False) -> List[Tuple[str, str, int, float]]:
    """(x level, line level, count, mean) of every cell that has a value of the measure.

    ``cells`` has the columns ``level1``, ``level2``, ``counts``, ``means``; with ``swap`` the
    second dimension's levels go on the x axis.
    """
    first, second = ("level2", "level1") if swap else ("level1", "level2")
    points = []
    for x, line, count, mean in zip(cells[first], cells[second], cells["counts"], cells["means"]):
        if mean is None or count is None or int(count) == 0:
            continue
        if isinstance(mean, float) and math.isnan(mean):
            continue
        points.append((level_label(x), level_label(line), int(count), float(mean)))
    return points


def cell_tables(record: Any) -> Dict[Tuple[Hashable, Hashable], Any]:
    """The latest cell table of every pair a record received, by (dimension1, dimension2)."""
    latest: Dict[Tuple[Hashable, Hashable], Any] = {}
    for kind, dimensions, table in record.tables:
        if kind == "two-way":
            latest[tuple(dimensions)] = table
    return latest


def interaction_figure(measure: Hashable, dimension1: Hashable, dimension2: Hashable, cells: Any,
                       swap: bool = False) -> Any:
    """Draw the interaction plot of one pair: cell means across ``dimension1``'s levels (x axis),
    one line per level of ``dimension2``, each point labelled with its cell count.

    Parameters
    ----------
    measure, dimension1, dimension2 : str
        Names shown on the axes, the title and the legend.
    cells : pandas.DataFrame
        The pair's cell table (``level1``, ``level2``, ``counts``, ``means``). Cells with no value
        of the measure are left out; a null level is shown as ``"(missing)"``, after the others.
    swap : bool
        The table's ``level2`` belongs to ``dimension1`` (the pair was filed the other way round).

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ImportError
        matplotlib is not installed.
    """
    require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    points = cell_points(cells, swap)
    x_levels = sorted({p[0] for p in points}, key=_sort_key)
    line_levels = sorted({p[1] for p in points}, key=_sort_key)
    position = {level: i for i, level in enumerate(x_levels)}

    figure = Figure(figsize=(max(5.0, 1.2 * len(x_levels) + 3.0), 4.5), dpi=100)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot(1, 1, 1)
    for index, line_level in enumerate(line_levels):
        series = sorted((position[p[0]], p[3], p[2]) for p in points if p[1] == line_level)
        axes.plot([s[0] for s in series], [s[1] for s in series], marker="o",
                  label=plain_text(line_level))
        # Stagger the labels of the lines so that points close together stay readable.
        offset = 4 + 9 * (index % 3)
        for x, y, n in series:
            axes.annotate("n=%d" % n, (x, y), textcoords="offset points", xytext=(4, offset),
                          fontsize=7)
    axes.set_xticks(list(range(len(x_levels))))
    axes.set_xticklabels([plain_text(x) for x in x_levels],
                         rotation=30 if len(x_levels) > 6 else 0)
    axes.set_xlabel(plain_text(dimension1))
    axes.set_ylabel("mean of %s" % plain_text(measure))
    axes.set_title("%s by %s and %s" % tuple(plain_text(n) for n in (measure, dimension1, dimension2)))
    if line_levels:
        axes.legend(title=plain_text(dimension2), fontsize=8, title_fontsize=8)
    else:
        axes.text(0.5, 0.5, "no cell has a value", ha="center", va="center",
                  transform=axes.transAxes)
    axes.grid(True, alpha=0.3)
    figure.tight_layout()
    return figure


def record_figure(record: Any, measure: Hashable, dimension1: Hashable,
                  dimension2: Hashable) -> Any:
    """The interaction figure of a pair of a measure's record, ``dimension1`` on the x axis.

    The pair may have been tested in either order: the cell table is the same, read the other
    way round.

    Raises
    ------
    KeyError
        The record has no two-way test of the pair; the message lists the pairs it has.
    ImportError
        matplotlib is not installed.
    """
    tables = cell_tables(record)
    if (dimension1, dimension2) in tables:
        return interaction_figure(measure, dimension1, dimension2,
                                  tables[(dimension1, dimension2)])
    if (dimension2, dimension1) in tables:
        return interaction_figure(measure, dimension1, dimension2,
                                  tables[(dimension2, dimension1)], swap=True)
    raise KeyError("no two-way test of %r x %r for measure %r; tested pairs: %s" % (
        dimension1, dimension2, measure,
        ", ".join("%r x %r" % pair for pair in tables) or "none"))
