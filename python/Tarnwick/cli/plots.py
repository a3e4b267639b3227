"""Interaction plots drawn from the cell tables of a run (cell counts and means, no raw rows)."""
from __future__ import annotations

import math
import os
import re
from typing import Iterator, List, Tuple

from Tarnwick.cli.errors import InputError

MISSING_LEVEL = "(missing)"


def require_matplotlib() -> None:
    """Fail early, before any Spark work, when the plot extra is not installed."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise InputError(
            "--plot needs matplotlib, which is not installed: pip install 'Tarnwick[plot]' "
            "(or pip install matplotlib)"
        )


def prepare_directory(directory: str) -> None:
    """Check, before any Spark work, that the plot directory can be written or created.

    The directory itself is made only when the plots are written (:func:`write_plots`), so that
    a run that fails leaves no empty directory behind.
    """
    existing = directory
    while not os.path.exists(existing or "."):
        existing = os.path.dirname(existing.rstrip(os.sep))
    existing = existing or "."
    if not os.path.isdir(existing):
        raise InputError(
            "cannot create the plot directory %s: %s is not a directory" % (directory, existing)
        )
    if not os.access(existing, os.W_OK | os.X_OK):
        what = "write to" if existing == directory else "create"
        raise InputError("cannot %s the plot directory %s: permission denied" % (what, directory))


#: Longest part of a plot file name taken from one column name (characters).
_NAME_PART = 60


def file_name(measure: str, dimension1: str, dimension2: str) -> str:
    """``interaction_<measure>__<dimension1>__<dimension2>.png``: letters and digits of any
    script kept, other characters as ``_``, each part at most 60 characters."""

    def clean(text: str) -> str:
        return re.sub(r"[^\w.-]+", "_", str(text))[:_NAME_PART].strip("._") or "column"

    return "interaction_%s__%s__%s.png" % (clean(measure), clean(dimension1), clean(dimension2))


def unique_names(names: List[str]) -> List[str]:
    """``names`` made distinct, ignoring case (some file systems do): a repeat gets ``_2``,
    ``_3``... before its extension."""
    taken = set()
    unique = []
    for name in names:
        stem, extension = os.path.splitext(name)
        candidate, number = name, 1
        while candidate.casefold() in taken:
            number += 1
            candidate = "%s_%d%s" % (stem, number, extension)
        taken.add(candidate.casefold())
        unique.append(candidate)
    return unique


def _label(level) -> str:
    if level is None or (isinstance(level, float) and math.isnan(level)):
        return MISSING_LEVEL
    return str(level)


def _sort_key(label: str):
    return (label == MISSING_LEVEL, label)


def interaction_plot(measure: str, dimension1: str, dimension2: str, cells, path: str) -> None:
    """Write one PNG: cell means across ``dimension1``'s levels, a line per ``dimension2`` level.

    ``cells`` is the cell table of the pair (columns ``level1``, ``level2``, ``counts``,
    ``means``); cells with no value of the measure are left out, and each point is labelled
    with its cell count.
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    points = []
    for level1, level2, count, mean in zip(cells["level1"], cells["level2"], cells["counts"], cells["means"]):
        if mean is None or count is None or int(count) == 0 or (isinstance(mean, float) and math.isnan(mean)):
            continue
        points.append((_label(level1), _label(level2), int(count), float(mean)))
    x_levels = sorted({p[0] for p in points}, key=_sort_key)
    line_levels = sorted({p[1] for p in points}, key=_sort_key)
    position = {level: i for i, level in enumerate(x_levels)}

    figure = Figure(figsize=(max(5.0, 1.2 * len(x_levels) + 3.0), 4.5), dpi=100)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot(1, 1, 1)
    for line_level in line_levels:
        series = sorted((position[p[0]], p[3], p[2]) for p in points if p[1] == line_level)
        xs = [s[0] for s in series]
        ys = [s[1] for s in series]
        axes.plot(xs, ys, marker="o", label=line_level)
        for x, y, n in series:
            # Stagger the labels of the lines so that points close together stay readable.
            offset = 4 + 9 * (line_levels.index(line_level) % 3)
            axes.annotate(
                "n=%d" % n, (x, y), textcoords="offset points", xytext=(4, offset), fontsize=7
            )
    axes.set_xticks(list(range(len(x_levels))))
    axes.set_xticklabels(x_levels, rotation=30 if len(x_levels) > 6 else 0)
    axes.set_xlabel(dimension1)
    axes.set_ylabel("mean of %s" % measure)
    axes.set_title("%s by %s and %s" % (measure, dimension1, dimension2))
    if line_levels:
        axes.legend(title=dimension2, fontsize=8, title_fontsize=8)
    else:
        axes.text(0.5, 0.5, "no cell has a value", ha="center", va="center", transform=axes.transAxes)
    axes.grid(True, alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, format="png")


def cell_tables(result) -> Iterator[Tuple[str, str, str, object]]:
    """(measure, dimension1, dimension2, cell table) of every pair the run tested."""
    for measure in result.measures:
        latest = {}
        for kind, dimensions, table in result[measure].tables:
            if kind == "two-way":
                latest[tuple(dimensions)] = table
        for (dimension1, dimension2), table in latest.items():
            yield measure, dimension1, dimension2, table


def write_plots(directory: str, result) -> List[str]:
    """Write one interaction plot per measure and pair of the run's results; returns the paths."""
    plots = list(cell_tables(result))
    names = unique_names([file_name(m, d1, d2) for m, d1, d2, _ in plots])
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as exc:
        raise InputError("cannot create the plot directory %s: %s" % (directory, exc.strerror))
    written = []
    for (measure, dimension1, dimension2, cells), name in zip(plots, names):
        path = os.path.join(directory, name)
        interaction_plot(measure, dimension1, dimension2, cells, path)
        written.append(path)
    return written
