"""Interaction plots of a run written to files; the drawing itself is the host layer's
(``Tarnwick.bi.common.plots``), which notebooks use too."""
from __future__ import annotations

import os
import re
from typing import Iterator, List, Tuple

from Tarnwick.cli.errors import InputError


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


def interaction_plot(measure: str, dimension1: str, dimension2: str, cells, path: str) -> None:
    """Write one PNG: the host layer's interaction figure of the pair (see
    ``Tarnwick.bi.common.plots.interaction_figure``)."""
    from Tarnwick.bi.common.plots import interaction_figure

    interaction_figure(measure, dimension1, dimension2, cells).savefig(path, format="png")


def cell_tables(result) -> Iterator[Tuple[str, str, str, object]]:
    """(measure, dimension1, dimension2, cell table) of every pair the run tested."""
    from Tarnwick.bi.common.plots import cell_tables as record_cell_tables

    for measure in result.measures:
        for (dimension1, dimension2), table in record_cell_tables(result[measure]).items():
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
