"""Linear models from a formula (N-way analysis of variance and covariance) in one scan.

Every model whose terms are factors, their interactions of any order, covariates and
factor × covariate interactions is fitted exactly from per-cell sufficient statistics: over the
full cross of the formula's factors, each cell's row count and, for the response and every
covariate, the mean and the central (co-)moments. One grouped aggregation gives them (in Spark,
or in DuckDB for a pandas frame or a local file); only these cells reach the driver, whatever
the number of rows.

The fit
-------
Within a cell every design column is a constant or a constant times one covariate, so a row's
design is ``A_c z`` with ``z = (1, x_1 .. x_p)``. The cross products of the rows of a cell are
therefore ``B_c (n w̄ w̄ᵀ + M_c) B_cᵀ`` for ``w = (1, x, y)`` and ``M_c`` the cell's co-moment
matrix of ``(x, y)``: one pseudo-row ``√n · B_c w̄`` and one per column of a square root of
``M_c`` have exactly the Gram matrix of the cell's rows. Factor-only models are thus weighted
least squares on the cell means plus the within-cell sum of squares. The pseudo-rows are
reduced by a QR factorisation, block by block, to one triangle ``R`` of the design, a column of
ones and the response; every sub-model that an ANOVA table compares is a least-squares problem
on columns of ``R``, so no cross-product matrix of raw sums is ever formed.

The response enters as deviations from a shift (the mean of the first rows, computed inside
the same query), so responses near 1e9 with a spread of 1 lose no digits; when the shift
matters (a model without a constant) its contribution is added back through the column of
ones.

Missing values
--------------
A row whose response or any covariate of the model is null, NaN or infinite is left out of
that model (and only that model: several models share one scan). A null factor value is a
level of its own, listed after the other levels, as in the batch tables.
"""
from __future__ import annotations

import ast
import math
from typing import Any, Dict, Hashable, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd

from Tarnwick.bi.common import anova, columns

__all__ = ["MAX_CELLS", "MAX_DESIGN_COLUMNS", "LinearModelResult", "ModelError", "formula_columns",
           "linear_model"]

#: The most design columns a model may have. Each table of a model solves a few least-squares
#: problems of this width on the driver (a second or so each at 1000 columns).
MAX_DESIGN_COLUMNS = 1000
#: The most cells (combinations of the factors' levels present in the data) brought back to
#: the driver by one scan.
MAX_CELLS = 1000000
#: Design rows reduced per QR step (rows × columns is bounded, not the number of cells).
_BLOCK_ELEMENTS = 4000000
#: Relative size below which a singular value of the column-scaled design counts as zero.
_RANK_TOLERANCE = 1e-10
#: Relative size of the residual of the column of ones below which the design holds a constant.
_CONSTANT_TOLERANCE = 1e-9


class ModelError(ValueError):
    """A formula or design that cannot be fitted from per-cell moments; raised before the
    scan runs (or, for a design too large, before the cells reach the driver's solver)."""


class _NullLevel(object):
    """The level that a null factor value makes: sorts after every other level."""

    def __repr__(self) -> str:
        return "null"

    __str__ = __repr__


NULL_LEVEL = _NullLevel()

#: A column's kind as a formula reads it: a number (a covariate unless in ``C()``), text (a
#: factor) or anything else (a factor only in ``C()``).
NUMERIC, STRING, OTHER = "numeric", "string", "other"


# -- formulas ---------------------------------------------------------------------------------

def _reference(node: ast.AST) -> Optional[str]:
    """The column a factor's code names: a bare name or ``Q("name")``; None otherwise."""
    if isinstance(node, ast.Name):
        return node.id
    if (isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "Q"
            and len(node.args) == 1 and not node.keywords):
        argument = node.args[0]
        # A string literal: ast.Constant from CPython 3.8 on, ast.Str before.
        value = argument.value if hasattr(argument, "value") else getattr(argument, "s", None)
        if isinstance(value, str):
            return value
    return None


def _factor_column(code: str) -> Tuple[str, bool]:
    """(column, wrapped in ``C(...)``) of a formula factor, or :class:`ModelError`."""
    try:
        node = ast.parse(code.strip(), mode="eval").body
    except SyntaxError:
        node = None
    name = _reference(node) if node is not None else None
    if name is not None:
        return name, False
    if (isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "C"
            and len(node.args) == 1 and not node.keywords):
        name = _reference(node.args[0])
        if name is not None:
            return name, True
    raise ModelError("%r is not a column, C(column) or Q(name): only columns can be fitted "
                     "from per-cell moments" % code)


def _read_formula(formula: str) -> Tuple[Any, str]:
    """The formula's patsy description and its response column, checked without any data."""
    import patsy

    try:
        description = patsy.ModelDesc.from_formula(formula)
    except patsy.PatsyError as error:
        raise ModelError("cannot read formula %r: %s" % (formula, str(error).splitlines()[0]))
    left = description.lhs_termlist
    if len(left) != 1 or len(left[0].factors) != 1:
        raise ModelError("formula %r needs exactly one response column on the left of ~"
                         % formula)
    code = left[0].factors[0].code
    try:
        response, wrapped = _factor_column(code)
    except ModelError:
        raise ModelError("the response %r is a function of a column: only a column can be "
                         "fitted from per-cell moments" % code)
    if wrapped:
        raise ModelError("the response %r cannot be a factor" % code)
    return description, response


def formula_columns(formula: str) -> Dict[str, Tuple[str, bool]]:
    """What a formula's right side names, checked before any data is read.

    Parameters
    ----------
    formula : str
        A model formula, such as ``'y ~ a * Q("unit price")'``.

    Returns
    -------
    dict
        Each factor code of the right side, as the term names write it, mapped to the column
        it names and whether it is wrapped in ``C(...)``.

    Raises
    ------
    ModelError
        A formula that cannot be read, or that uses something other than columns (a function
        of a column, a response that is not a column).

    Examples
    --------
    >>> formula_columns('y ~ a + C(Q("year.x")):z')
    {'a': ('a', False), 'C(Q("year.x"))': ('year.x', True), 'z': ('z', False)}
    """
    description, _ = _read_formula(formula)
    return {factor.code: _factor_column(factor.code)
            for term in description.rhs_termlist for factor in term.factors}


class _Model(object):
    """A parsed formula: its response, factors, covariates and right-hand-side terms."""

    def __init__(self, formula: str, kinds: Mapping[str, str]) -> None:
        self.formula = formula
        description, self.response = _read_formula(formula)
        self._known(kinds, self.response)
        if kinds[self.response] != NUMERIC:
            raise ModelError("the response %s is not numeric" % columns.quoted(self.response))
        self.terms = list(description.rhs_termlist)
        self.factors: List[str] = []  # columns grouped by, in order of appearance
        self.covariates: List[str] = []
        roles: Dict[str, str] = {}
        for term in self.terms:
            in_term = []
            for factor in term.factors:
                name, wrapped = _factor_column(factor.code)
                self._known(kinds, name)
                role = self._role(name, wrapped, kinds[name])
                if roles.setdefault(name, role) != role:
                    raise ModelError("%s is used both as a factor and as a covariate"
                                     % columns.quoted(name))
                if name == self.response:
                    raise ModelError("the response %s is also on the right of ~"
                                     % columns.quoted(name))
                (self.factors if role == "factor" else self.covariates).append(name)
                if role == "covariate":
                    in_term.append(name)
            if len(in_term) > 1:
                raise ModelError("term %s multiplies covariates (%s): products of covariates "
                                 "need moments beyond the second" % (
                                     term.name(), ", ".join(map(columns.quoted, in_term))))
        self.factors = list(dict.fromkeys(self.factors))
        self.covariates = list(dict.fromkeys(self.covariates))
        self.values = self.covariates + [self.response]  # the moments' order

    @staticmethod
    def _known(kinds: Mapping[str, str], name: str) -> None:
        if name not in kinds:
            raise ModelError("the data has no column %s" % columns.quoted(name))

    @staticmethod
    def _role(name: str, wrapped: bool, kind: str) -> str:
        if wrapped or kind == STRING:
            return "factor"
        if kind == NUMERIC:
            return "covariate"
        raise ModelError("%s is neither a string nor a number: write C(%s) to use it as a "
                         "factor" % (columns.quoted(name), name))

    def right_side(self) -> Any:
        import patsy

        return patsy.ModelDesc([], self.terms)


# -- the scan ---------------------------------------------------------------------------------

class _SparkData(object):
    """A Spark data frame as the scan reads it: its columns' kinds, and the rows of the scan's
    query over its projected rows."""

    quote = staticmethod(columns.quoted)

    def __init__(self, frame: Any) -> None:
        self.frame = frame
        self.columns = [field.name for field in frame.schema.fields]
        self.kinds = {field.name: NUMERIC if columns.is_numeric(field.dataType)
                      else STRING if columns.is_string(field.dataType) else OTHER
                      for field in frame.schema.fields}

    def rows(self, text: str, keys: Sequence[Tuple[str, str]],
             values: Sequence[Tuple[str, str]]) -> List[Dict[str, Any]]:
        """The rows of ``text`` with ``{rows}`` the frame's rows projected to the factors as
        they are (``keys``: column, alias) and the values as doubles, missing unless finite
        (``values``)."""
        projected = self.frame.select(
            *[columns.column(name).alias(alias) for name, alias in keys],
            *[columns.measure_value(name).alias(alias) for name, alias in values])
        return [row.asDict() for row in self.frame.sparkSession.sql(text, rows=projected)
                .collect()]


def _data_of(data_frame: Any) -> Any:
    """The scan's view of ``data_frame``: a Spark data frame, or for a pandas frame, an
    embedded frame or a file path, the embedded engine's."""
    from Tarnwick.bi.embedded import tables

    if tables.is_embedded(data_frame):
        return tables.EmbeddedModelData(data_frame)
    return _SparkData(data_frame)


class _Scan(object):
    """One grouped aggregation for models that share their factors: per cell the row count and
    per model the complete rows' count, the values' mean deviations from their shifts and their
    central co-moments (``covar_pop``), as SQL text that Spark and DuckDB both read."""

    def __init__(self, data: Any, factors: Sequence[str], models: Sequence[_Model]) -> None:
        self.data = data
        self.factors = list(factors)
        self.models = list(models)
        self.values = list(dict.fromkeys(v for m in models for v in m.values))
        self.prefix = columns.fresh_prefix(data.columns)

    def _name(self, what: str, *numbers: int) -> str:
        return "%s%s%s" % (self.prefix, what, "_".join(str(n) for n in numbers))

    def _slots(self, j: int) -> List[int]:
        return [self.values.index(v) for v in self.models[j].values]

    def text(self, most: int) -> str:
        """The aggregation's text, over ``{rows}`` (the projected rows), bounded to
        ``most + 1`` cells. Every name in it is the scan's own: the data's names stay in the
        projection."""
        from Tarnwick.bi.stats.onescan import SAMPLE_ROWS

        q, name = self.data.quote, self._name
        keys = [name("k", i) for i in range(len(self.factors))]
        raw = [name("v", u) for u in range(len(self.values))]
        shifts = [name("s", u) for u in range(len(self.values))]
        sample = "SELECT %s FROM (SELECT %s FROM {rows} LIMIT %d) AS %s" % (
            ", ".join("COALESCE(AVG(%s), CAST(0 AS DOUBLE)) AS %s" % (q(r), q(s))
                      for r, s in zip(raw, shifts)),
            ", ".join(q(r) for r in raw), SAMPLE_ROWS, q(name("first")))
        masked, aggregates = [], ["COUNT(1) AS %s" % q(name("rows"))]
        aggregates += ["MAX(%s) AS %s" % (q(s), q(s)) for s in shifts]
        for j in range(len(self.models)):
            slots = self._slots(j)
            complete = " AND ".join("%s IS NOT NULL" % q(raw[u]) for u in slots)
            for u in slots:
                masked.append("CASE WHEN %s THEN %s - %s END AS %s" % (
                    complete, q(raw[u]), q(shifts[u]), q(name("m", j, u))))
            first = q(name("m", j, slots[0]))
            aggregates.append("COUNT(%s) AS %s" % (first, q(name("n", j))))
            aggregates += ["AVG(%s) AS %s" % (q(name("m", j, u)), q(name("d", j, u)))
                           for u in slots]
            for a, u in enumerate(slots):
                for w in slots[a:]:
                    aggregates.append("COVAR_POP(%s, %s) AS %s" % (
                        q(name("m", j, u)), q(name("m", j, w)), q(name("c", j, u, w))))
        return ("WITH {shift} AS ({sample}), {rows2} AS (SELECT {keys}{masked}, {shifts} "
                "FROM {{rows}} CROSS JOIN {shift}) SELECT {keys}{aggregates} FROM {rows2}"
                "{group} LIMIT {most}").format(
            shift=q(name("shift")), sample=sample, rows2=q(name("masked")),
            keys="".join("%s, " % q(k) for k in keys), masked=", ".join(masked),
            shifts=", ".join(q(s) for s in shifts), aggregates=", ".join(aggregates),
            group=(" GROUP BY " + ", ".join(q(k) for k in keys)) if keys else "",
            most=int(most) + 1)

    def rows(self, most: int) -> List[Dict[str, Any]]:
        """The cells' rows, at most ``most + 1`` of them."""
        keys = [(f, self._name("k", i)) for i, f in enumerate(self.factors)]
        values = [(v, self._name("v", u)) for u, v in enumerate(self.values)]
        return self.data.rows(self.text(most), keys, values)

    def cells(self, rows: Sequence[Mapping[str, Any]], j: int) -> "_Cells":
        """The cells of model ``j`` from the collected rows (cells without complete rows
        dropped)."""
        k, slots = len(self.factors), self._slots(j)
        record = list(rows)
        shift = np.array([anova.as_float(record[0][self._name("s", u)]) if record else 0.0
                          for u in slots])
        counts = np.array([anova.as_float(r[self._name("n", j)]) for r in record])
        keep = counts > 0
        record = [r for r, kept in zip(record, keep) if kept]
        m = len(slots)
        deviations = np.array([[anova.as_float(r[self._name("d", j, u)]) for u in slots]
                               for r in record]).reshape(-1, m)
        moments = np.zeros((len(record), m, m))
        for a, u in enumerate(slots):
            for b in range(a, m):
                value = np.array([anova.as_float(r[self._name("c", j, u, slots[b])])
                                  for r in record])
                moments[:, a, b] = moments[:, b, a] = np.nan_to_num(value) * counts[keep]
        keys = [tuple(anova.level_key(r[self._name("k", i)]) for i in range(k)) for r in record]
        return _Cells(self.factors, keys, counts[keep], shift, deviations, moments)


class _Cells(object):
    """The per-cell statistics of one model: factor levels, counts, each value's shift and mean
    deviation, and the co-moment matrices (covariates first, the response last)."""

    def __init__(self, factors: Sequence[str], keys: List[Tuple], counts: np.ndarray,
                 shift: np.ndarray, deviations: np.ndarray, moments: np.ndarray) -> None:
        self.factors = list(factors)
        self.keys = keys
        self.counts = counts
        self.shift = shift
        self.deviations = deviations
        self.moments = moments

    def levels(self, i: int) -> List[Hashable]:
        """Levels of factor ``i`` in the cells, sorted, the null level last."""
        present = set(key[i] for key in self.keys)
        levels = sorted(v for v in present if v is not None)
        return levels + ([NULL_LEVEL] if None in present else [])

    def table(self, values: Sequence[str]) -> pd.DataFrame:
        """The cells as a table: factor columns, ``counts``, ``mean(v)`` per value and
        ``comoment(v, w)`` (sum of products of deviations from the cell means) per pair."""
        table = pd.DataFrame([list(key) for key in self.keys], columns=self.factors,
                             index=pd.RangeIndex(len(self.keys)))
        table["counts"] = self.counts.astype(np.int64)
        for a, v in enumerate(values):
            table["mean(%s)" % v] = self.shift[a] + self.deviations[:, a]
        for a, v in enumerate(values):
            for b in range(a, len(values)):
                table["comoment(%s, %s)" % (v, values[b])] = self.moments[:, a, b]
        return table


# -- the solve --------------------------------------------------------------------------------

def _design_data(model: _Model, cells: _Cells, covariates: np.ndarray, coding: Any) -> Any:
    """The data patsy evaluates the terms on: one row per cell, factors as categoricals with
    the cells' levels (null last), covariates as given."""
    from patsy.categorical import C

    data: Dict[str, Any] = {}
    for i, factor in enumerate(cells.factors):
        levels = cells.levels(i)
        values = [NULL_LEVEL if key[i] is None else key[i] for key in cells.keys]
        categorical = pd.Categorical(values, categories=levels)
        data[factor] = categorical if coding is None else C(categorical, coding)
    for a, covariate in enumerate(model.covariates):
        data[covariate] = covariates[:, a]
    if not data:  # an intercept alone: a frame tells patsy the number of rows
        return pd.DataFrame(index=pd.RangeIndex(len(cells.keys)))
    return data


class _Design(object):
    """One coding of a model's design reduced to a triangle ``R`` whose Gram matrix is that of
    [design, ones, response deviations] over the rows of the data."""

    def __init__(self, model: _Model, cells: _Cells, coding: Any = None) -> None:
        import patsy

        environment = patsy.EvalEnvironment([{}])
        p = len(model.covariates)
        rows = len(cells.keys)
        zero = np.zeros((rows, p))
        matrix = patsy.dmatrix(model.right_side(), _design_data(model, cells, zero, coding),
                               eval_env=environment, NA_action="raise")
        self.info = matrix.design_info
        base = np.asarray(matrix, dtype=float)
        slopes = []
        for a in range(p):
            unit = zero.copy()
            unit[:, a] = 1.0
            (evaluated,) = patsy.build_design_matrices(
                [self.info], _design_data(model, cells, unit, coding), NA_action="raise")
            slopes.append(np.asarray(evaluated, dtype=float) - base)
        self.width = base.shape[1]
        self.r = self._reduce(cells, base, slopes)
        norms = np.sqrt(np.sum(self.r[:, :self.width] ** 2, axis=0))
        self.scale = np.where(norms > 0, norms, 1.0)
        self.scaled = self.r[:, :self.width] / self.scale
        self.ones = self.r[:, self.width]
        self.response = self.r[:, self.width + 1]
        self.shift = float(cells.shift[-1])
        self.nobs = float(cells.counts.sum())
        self._fits: Dict[Tuple[int, ...], Tuple[float, int]] = {}

    def _reduce(self, cells: _Cells, base: np.ndarray, slopes: List[np.ndarray]) -> np.ndarray:
        """QR of the pseudo-rows, block by block of cells."""
        p = len(slopes)
        width = self.width + 2
        block = max(1, _BLOCK_ELEMENTS // (width * (p + 2)))
        r = np.zeros((0, width))
        for start in range(0, len(cells.keys), block):
            part = slice(start, start + block)
            rows = self._pseudo_rows(cells, base[part], [s[part] for s in slopes], part)
            r = np.linalg.qr(np.vstack([r, rows]), mode="r")
        return r

    @staticmethod
    def _pseudo_rows(cells: _Cells, base: np.ndarray, slopes: List[np.ndarray],
                     part: slice) -> np.ndarray:
        """Per cell: √n · (design at the covariate means, 1, response deviation), then one row
        per column of a square root of the co-moment matrix (design slopes times the
        covariates' part, 0, the response's part)."""
        counts = cells.counts[part]
        deviations = cells.deviations[part]
        p = len(slopes)
        covariate_means = cells.shift[:p] + deviations[:, :p]
        root = np.sqrt(counts)[:, None]
        design = base + sum((slopes[a] * covariate_means[:, a:a + 1] for a in range(p)),
                            np.zeros_like(base))
        mean_rows = np.hstack([design, np.ones((len(counts), 1)), deviations[:, p:]]) * root
        eigenvalues, vectors = np.linalg.eigh(cells.moments[part])
        factor = vectors * np.sqrt(np.clip(eigenvalues, 0.0, None))[:, None, :]
        spread_rows = []
        for column in range(p + 1):
            part_of = factor[:, :, column]  # cells × (covariates, response)
            slope_sum = sum((slopes[a] * part_of[:, a:a + 1] for a in range(p)),
                            np.zeros_like(base))
            spread_rows.append(np.hstack([slope_sum, np.zeros((len(counts), 1)),
                                          part_of[:, p:]]))
        return np.vstack([mean_rows] + spread_rows)

    def columns_of(self, terms: Sequence[Any]) -> Tuple[int, ...]:
        selected: List[int] = []
        for term in terms:
            part = self.info.term_slices[term]
            selected.extend(range(part.start, part.stop))
        return tuple(sorted(selected))

    def _solve(self, selected: Tuple[int, ...]) -> Tuple[np.ndarray, np.ndarray, int, bool]:
        """Least squares of the response deviations and of the ones on the selected columns:
        (coefficients of both, scaled; residual of the response; rank; constant in span)."""
        targets = np.column_stack([self.response, self.ones])
        if not selected:
            return np.zeros((0, 2)), targets, 0, False
        a = self.scaled[:, list(selected)]
        solution, _, rank, _ = np.linalg.lstsq(a, targets, rcond=_RANK_TOLERANCE)
        residual = targets - a.dot(solution)
        constant = (np.linalg.norm(residual[:, 1])
                    <= _CONSTANT_TOLERANCE * math.sqrt(max(self.nobs, 1.0)))
        return solution, residual, int(rank), bool(constant)

    def fit(self, selected: Tuple[int, ...]) -> Tuple[float, int]:
        """(residual sum of squares, rank) of the model of the selected columns."""
        if selected not in self._fits:
            _, residual, rank, constant = self._solve(selected)
            if constant:
                total = residual[:, 0]
            else:
                total = residual[:, 0] + self.shift * residual[:, 1]
            self._fits[selected] = (float(np.dot(total, total)), rank)
        return self._fits[selected]

    def has_constant(self) -> bool:
        return self._solve(tuple(range(self.width)))[3]

    def coefficients(self) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Minimum-norm coefficients (in the scaled columns' sense), the unscaled (XᵀX)⁺ and
        which coefficients are estimable."""
        every = tuple(range(self.width))
        solution, _, _, constant = self._solve(every)
        intercept = [self.info.term_slices[t].start for t in self.info.terms if not t.factors]
        if constant and intercept:
            # The intercept column is the ones: the shift goes to it exactly (a coefficient
            # that this changes is not estimable, and is not shown).
            beta = solution[:, 0] / self.scale
            beta[intercept[0]] += self.shift
        else:
            beta = (solution[:, 0] + self.shift * solution[:, 1]) / self.scale
        pseudo = np.linalg.pinv(self.scaled, rcond=_RANK_TOLERANCE)
        covariance = pseudo.dot(pseudo.T) / np.outer(self.scale, self.scale)
        _, singular, vt = np.linalg.svd(self.scaled, full_matrices=False)
        kept = singular > _RANK_TOLERANCE * (singular[0] if len(singular) else 0.0)
        reach = np.sum(vt[kept] ** 2, axis=0)
        return beta, covariance, reach > 1.0 - 1e-8


# -- the result -------------------------------------------------------------------------------

def _contains(outer: Any, inner: Any) -> bool:
    return set(inner.factors) < set(outer.factors)


class LinearModelResult(object):
    """A fitted linear model: ANOVA tables of Types I, II and III, coefficients and the cells.

    Made by :func:`linear_model`. Tables and coefficients are computed on first use and kept.

    Attributes
    ----------
    formula : str
    response : str
    nobs : float
        Rows used (complete in the response and every covariate).
    df_resid : float
        ``nobs`` minus the rank of the design.
    r_squared : float
        1 − RSS / total sum of squares (about the mean when the design holds a constant, as
        with an intercept, otherwise about zero).
    cells : pandas.DataFrame
        The per-cell table the model was fitted from: the factors' levels, ``counts``,
        ``mean(v)`` of the response and each covariate and ``comoment(v, w)``, each cell's sum
        of products of deviations from its means.

    Examples
    --------
    >>> from Tarnwick.bi.stats import linear_model
    >>> df = spark.createDataFrame([("a", 1.0), ("a", 2.0), ("b", 4.0), ("b", 6.0)],
    ...                            "group string, y double")
    >>> model = linear_model(df, "y ~ group")
    >>> table = model.anova(typ=1)
    >>> [round(float(ss), 9) for ss in table["sum_sq"]]
    [12.25, 2.5]
    >>> model.cells["counts"].tolist()
    [2, 2]
    """

    def __init__(self, model: _Model, cells: _Cells) -> None:
        self.formula = model.formula
        self.response = model.response
        self._model = model
        self._cells = cells
        self._treatment = _Design(model, cells)
        self._sum_coded: Optional[_Design] = None
        self._tables: Dict[int, pd.DataFrame] = {}
        self._coefficients: Dict[float, pd.DataFrame] = {}
        design = self._treatment
        self.terms = [term.name() for term in design.info.terms]
        self.nobs = design.nobs
        rss, rank = design.fit(tuple(range(design.width)))
        self.ssr = rss
        self.rank = rank
        self.df_resid = float(self.nobs - rank)
        self.cells = cells.table(model.values)
        self.r_squared = 1.0 - rss / self._total_sum_of_squares() if self.nobs else math.nan

    def _total_sum_of_squares(self) -> float:
        cells = self._cells
        within = float(np.sum(cells.moments[:, -1, -1]))
        deviations = cells.deviations[:, -1]
        if self._treatment.has_constant():
            centre = float(np.dot(cells.counts, deviations)) / self.nobs
            return within + float(np.dot(cells.counts, (deviations - centre) ** 2))
        means = cells.shift[-1] + deviations
        return within + float(np.dot(cells.counts, means ** 2))

    def _effects(self, typ: int) -> List[Tuple[str, float, float]]:
        design = self._treatment
        terms = list(design.info.terms)
        effects = []
        if typ == 1:
            for i, term in enumerate(terms):
                if term.factors:
                    effects.append((term.name(),) + self._compare(design, terms[:i],
                                                                  terms[:i + 1]))
        elif typ == 2:
            for term in terms:
                if term.factors:
                    others = [t for t in terms if t is not term and not _contains(t, term)]
                    effects.append((term.name(),) + self._compare(design, others,
                                                                  others + [term]))
        elif typ == 3:
            if self._sum_coded is None:
                from patsy.contrasts import Sum

                self._sum_coded = _Design(self._model, self._cells, Sum)
            design = self._sum_coded
            terms = list(design.info.terms)
            for term in terms:
                others = [t for t in terms if t is not term]
                effects.append((term.name(),) + self._compare(design, others, terms))
        else:
            raise ValueError("typ must be 1, 2 or 3, not %r" % (typ,))
        return effects

    @staticmethod
    def _compare(design: _Design, smaller: Sequence[Any],
                 larger: Sequence[Any]) -> Tuple[float, float]:
        rss_small, rank_small = design.fit(design.columns_of(smaller))
        rss_large, rank_large = design.fit(design.columns_of(larger))
        df = float(rank_large - rank_small)
        if df <= 0:
            return 0.0, 0.0
        return max(rss_small - rss_large, 0.0), df

    def anova(self, typ: int = 2) -> pd.DataFrame:
        """The ANOVA table of Type ``typ``.

        Parameters
        ----------
        typ : {1, 2, 3}
            1: sequential, in the order the terms are expanded (main effects, then interactions
            by degree); 2: each term against the model of every term that does not contain it;
            3: each term dropped from the full model with every factor sum-to-zero coded
            (covariates as given), an ``Intercept`` row first.

        Returns
        -------
        pandas.DataFrame
            One row per term and ``Residual``; columns ``sum_sq``, ``df``, ``mean_sq``, ``F``,
            ``p_value``, ``partial_eta_sq``, ``note`` ("not estimable" for a term to which the
            design gives no degree of freedom).

        Examples
        --------
        >>> result.anova(typ=3).loc["a:b", "F"]  # doctest: +SKIP
        """
        if typ not in self._tables:
            with np.errstate(all="ignore"):
                self._tables[typ] = self._table(typ)
        return self._tables[typ]

    def _table(self, typ: int) -> pd.DataFrame:
        df_resid = self.df_resid
        effects = self._effects(typ)
        # Sums of squares that are rounding left of zero are zero: no F from rounding.
        *sums, ss_resid = anova.rounding_level([ss for _, ss, _ in effects] + [self.ssr],
                                               self._total_sum_of_squares(), self.nobs)
        ms_resid = ss_resid / df_resid if df_resid > 0 else math.nan
        rows = []
        for ss, (_, _, df) in zip(sums, effects):
            ms, f_value, p_value = anova.f_test(ss, df, ms_resid, df_resid)
            partial = ss / (ss + ss_resid) if df > 0 and ss + ss_resid > 0 else math.nan
            rows.append([ss, df, ms, f_value, p_value, partial,
                         "" if df > 0 else anova.NOT_ESTIMABLE])
        rows.append([ss_resid, df_resid, ms_resid, math.nan, math.nan, math.nan,
                     anova.variation_note(ss_resid, df_resid)])
        names = [name for name, _, _ in effects]
        table = pd.DataFrame(rows, index=names + [anova.fixed_labels(names)[0]],
                             columns=anova.TWO_WAY_COLUMNS)
        table.index.name = "source"
        return table

    def coefficients(self, alpha: float = 0.05) -> pd.DataFrame:
        """The coefficients of the treatment-coded design (first level as reference).

        Parameters
        ----------
        alpha : float, default 0.05
            The confidence intervals' level is 1 − alpha.

        Returns
        -------
        pandas.DataFrame
            Indexed by the design's column names; columns ``estimate``, ``std_err``, ``t``,
            ``p_value``, ``ci_lower``, ``ci_upper``, ``note`` ("not estimable" where the
            design cannot separate the coefficient; its numbers are then NaN).

        Examples
        --------
        >>> result.coefficients().loc["x", "estimate"]  # doctest: +SKIP
        """
        if alpha not in self._coefficients:
            with np.errstate(all="ignore"):
                self._coefficients[alpha] = self._coefficient_table(alpha)
        return self._coefficients[alpha]

    def _coefficient_table(self, alpha: float) -> pd.DataFrame:
        from scipy import stats

        beta, covariance, estimable = self._treatment.coefficients()
        scale = self.ssr / self.df_resid if self.df_resid > 0 else math.nan
        error = np.sqrt(np.clip(np.diag(covariance), 0.0, None) * scale)
        t_value = beta / error
        p_value = 2.0 * stats.t.sf(np.abs(t_value), self.df_resid)
        quantile = stats.t.ppf(1.0 - alpha / 2.0, self.df_resid)
        table = pd.DataFrame({
            "estimate": beta, "std_err": error, "t": t_value, "p_value": p_value,
            "ci_lower": beta - quantile * error, "ci_upper": beta + quantile * error,
        }, index=self._treatment.info.column_names)
        table.loc[~estimable, :] = math.nan
        table["note"] = np.where(estimable, "", anova.NOT_ESTIMABLE)
        return table

    def to_dict(self) -> Dict[str, Any]:
        """Plain Python structure: formula, counts, R², the three tables and the coefficients."""
        from Tarnwick.bi.common.results import jsonable, table_records

        return jsonable({
            "formula": self.formula,
            "response": self.response,
            "nobs": self.nobs,
            "df_resid": self.df_resid,
            "r_squared": self.r_squared,
            "anova": {"type_%d" % typ: table_records(self.anova(typ)) for typ in (1, 2, 3)},
            "coefficients": table_records(self.coefficients()),
        })

    def _repr_html_(self) -> str:
        """Notebook view: the Type II table and the coefficients (names HTML-escaped)."""
        from Tarnwick.bi.common.display import model_html

        return model_html(self)

    def __repr__(self) -> str:
        return "LinearModelResult(%r, nobs=%d, df_resid=%d, r_squared=%.4g)" % (
            self.formula, self.nobs, self.df_resid, self.r_squared)


# -- the entry --------------------------------------------------------------------------------

def _column_count(model: _Model, levels: Mapping[str, int]) -> Optional[int]:
    """Design columns of the model for the given level counts; None when a factor's count is
    unknown."""
    if any(f not in levels for f in model.factors):
        return None
    most = max([int(levels[f]) for f in model.factors] + [1])
    keys = [tuple(min(i, int(levels[f]) - 1) for f in model.factors) for i in range(most)]
    cells = _Cells(model.factors, keys, np.ones(most), np.zeros(len(model.values)),
                   np.zeros((most, len(model.values))), np.zeros((most, 0, 0)))
    import patsy

    data = _design_data(model, cells, np.zeros((most, len(model.covariates))), None)
    return len(patsy.dmatrix(model.right_side(), data, eval_env=patsy.EvalEnvironment([{}]),
                             NA_action="raise").design_info.column_names)


def _check_width(model: _Model, width: Optional[int], limit: int) -> None:
    if width is not None and width > limit:
        raise ModelError("the design of %r has %d columns, more than the %d the driver solves"
                         % (model.formula, width, limit))


def linear_model(data_frame: Any, formula: Union[str, Sequence[str]], *,
                 levels: Optional[Mapping[str, int]] = None,
                 max_columns: int = MAX_DESIGN_COLUMNS,
                 max_cells: int = MAX_CELLS) -> Union[LinearModelResult,
                                                     List[LinearModelResult]]:
    """Fit linear models (N-way ANOVA, ANCOVA) from formulas, one scan of the data per set of
    factors.

    A string column is a factor; a numeric column is a covariate unless written ``C(column)``;
    ``Q("name")`` names a column that is not an identifier. Terms may be main effects,
    interactions of factors of any order (``a*b*c``, ``(a+b+c)**2``, ``a:b``), covariates and
    factor × covariate interactions. The tables equal those of an ordinary least-squares fit of
    every row: one grouped aggregation gives per cell (each combination of the factors' levels
    present) the counts, means and central co-moments of the response and the covariates, and
    the driver solves from these cells only.

    Parameters
    ----------
    data_frame : pyspark.sql.DataFrame, pandas.DataFrame or str
        The data. A Spark data frame is scanned by Spark (cache it first when it is expensive
        to compute); a pandas frame, or the path of a CSV, Parquet or JSON file, by the
        embedded engine (DuckDB) in this process, with the same results.
    formula : str or sequence of str
        ``"y ~ a * b * c + x"``; several formulas (one per response, say) are fitted from one
        scan when they have the same factors.
    levels : mapping of str to int, optional
        Known level counts of factor columns (a null counting as one), for example a
        ``Profile``'s ``levels``: a design too wide is then refused before the scan.
    max_columns : int, default :data:`MAX_DESIGN_COLUMNS` (1000)
        The most design columns a model may have.
    max_cells : int, default :data:`MAX_CELLS` (10⁶)
        The most cells one scan may bring back.

    Returns
    -------
    LinearModelResult, or a list of them (in the formulas' order) for a sequence of formulas

    Raises
    ------
    ModelError
        A one-line reason, before the scan runs, for what cannot be fitted from per-cell moments:
        a function of a column (``np.log(y)``), a product of covariates, a response on both
        sides, a column that does not exist; a design wider than ``max_columns`` (before the
        scan when ``levels`` covers its factors, otherwise before the solve), or more cells
        than ``max_cells``.

    Notes
    -----
    Missing values: a row whose response or any covariate of the model is null, NaN or
    infinite is left out of that model only. A null factor value is a level of its own,
    after the other levels. Levels are sorted; the first is the reference of the coefficients.

    Rank-deficient designs (empty cells, a covariate constant within cells, aliased terms)
    give each term the degrees of freedom the design's rank allows; a term with none is marked
    "not estimable".

    Examples
    --------
    >>> from Tarnwick.bi.stats import linear_model
    >>> df = spark.createDataFrame(
    ...     [("north", "mon", 12.0), ("north", "tue", 14.5), ("south", "mon", 9.0),
    ...      ("south", "tue", 11.0), ("north", "mon", 13.0), ("south", "tue", 10.5),
    ...      ("north", "tue", 15.0), ("south", "mon", 8.5), ("north", "mon", 12.5)],
    ...     "region string, day string, sales double")
    >>> result = linear_model(df, "sales ~ region * day")
    >>> table = result.anova(typ=2)
    >>> list(table.index)
    ['region', 'day', 'region:day', 'Residual']
    >>> [round(float(f), 3) for f in table["F"][:3]]
    [187.662, 57.377, 0.195]
    >>> result.nobs, result.df_resid, round(result.r_squared, 4)
    (9.0, 5.0, 0.9784)
    >>> round(float(result.coefficients().loc["region[T.south]", "estimate"]), 6)
    -3.75

    The same rows in a pandas frame are fitted in this process (DuckDB), with the same tables:

    >>> local = linear_model(df.toPandas(), "sales ~ region * day")
    >>> [round(float(f), 3) for f in local.anova(typ=2)["F"][:3]]
    [187.662, 57.377, 0.195]
    """
    single = isinstance(formula, str)
    formulas = [formula] if single else list(formula)
    data = _data_of(data_frame)
    models = [_Model(text, data.kinds) for text in formulas]
    for model in models:
        _check_width(model, _column_count(model, levels or {}), max_columns)
    groups: Dict[Tuple[str, ...], List[int]] = {}
    for index, model in enumerate(models):
        groups.setdefault(tuple(sorted(model.factors)), []).append(index)
    results: List[Optional[LinearModelResult]] = [None] * len(models)
    for factors, members in groups.items():
        scan = _Scan(data, factors, [models[i] for i in members])
        rows = scan.rows(max_cells)
        if len(rows) > max_cells:
            raise ModelError("the factors %s make more than %d cells, the most brought back "
                             "to the driver" % (", ".join(map(columns.quoted, factors)),
                                                max_cells))
        for j, index in enumerate(members):
            cells = scan.cells(rows, j)
            if not cells.keys:
                raise ModelError("no row has a value of the response and of every covariate "
                                 "of %r" % models[index].formula)
            width = _column_count(models[index], {f: len(cells.levels(i))
                                                  for i, f in enumerate(cells.factors)})
            _check_width(models[index], width, max_columns)
            results[index] = LinearModelResult(models[index], cells)
    return results[0] if single else list(results)  # type: ignore[return-value]
