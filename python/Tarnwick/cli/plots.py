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
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as exc:
        raise InputError("cannot create the plot directory %s: %s" % (directory, exc.strerror))
    if not os.access(directory, os.W_OK | os.X_OK):
        raise InputError("cannot write to the plot directory %s: permission denied" % directory)


def file_name(measure: str, dimension1: str, dimension2: str) -> str:
    def clean(text: str) -> str:
        return re.sub(r"[^A-Za-z0-9_.-]+", "_", str(text)).strip("._") or "column"

    return "interaction_%s__%s__%s.png" % (clean(measure), clean(dimension1), clean(dimension2))


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
    written = []
    for measure, dimension1, dimension2, cells in cell_tables(result):
        path = os.path.join(directory, file_name(measure, dimension1, dimension2))
        interaction_plot(measure, dimension1, dimension2, cells, path)
        written.append(path)
    return written
