"""The models' part of a run: ``--formula`` fits linear models instead of the batch tests.

Each formula is read before the engine starts (a formula that cannot be read, or that asks for
something other than columns, ends the run with one line and exit status 2); the columns it
names are checked against the data once it is read, still before any scan. The backend then
fits every formula in as few scans as the factors allow
(:func:`Tarnwick.bi.stats.linear_model` with the list of formulas: those with the same factors
share one grouped aggregation), and :mod:`.present` prints each model's tables.

A formula names the data's columns by their own names: a name that is not a plain word is
written ``Q("name")``, which reaches the engine only as a column name (never through the renaming
of the batch tests), and the output writes the terms with the data's names again.
"""
from __future__ import annotations

from typing import Any, List, Sequence

from Tarnwick.cli.errors import InputError


def check(formulas: Sequence[str]) -> None:
    """Refuse, before the engine starts, a formula that cannot be read or fitted from columns.

    Raises
    ------
    InputError
        The model's one-line reason, for the first formula that fails.

    Examples
    --------
    >>> check(["y ~ a * b + x"])
    >>> check(["np.log(y) ~ a"])
    Traceback (most recent call last):
    ...
    Tarnwick.cli.errors.InputError: the response 'np.log(y)' is a function of a column: only a column can be fitted from per-cell moments
    """
    from Tarnwick.bi.stats.models import ModelError, formula_columns

    for formula in formulas:
        try:
            formula_columns(formula)
        except ModelError as error:
            raise InputError(str(error))


def fit(backend: Any, frame: Any, formulas: Sequence[str]) -> List[Any]:
    """The fitted models of ``formulas`` (in their order) through the run's backend; a model
    the data cannot give (a column it lacks, a design too wide) is an InputError."""
    from Tarnwick.bi.stats.models import ModelError

    try:
        return backend.fit_models(frame, list(formulas))
    except ModelError as error:
        raise InputError(str(error))


def context(args: Any, backend: Any, source: str, elapsed: float, timings: Any) -> Any:
    """What the output says about the run besides the models' tables."""
    from Tarnwick.cli.present import ModelsContext

    return ModelsContext(source=source, master=backend.location, ss_type=args.ss_type,
                         correction=args.correction, alpha=args.alpha, elapsed=elapsed,
                         timings=timings)
