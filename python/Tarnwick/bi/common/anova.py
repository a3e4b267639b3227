"""Analysis-of-variance tables from grouped raw terms.

Everything here works on the small per-level and per-cell tables that Spark returns: counts,
means and the sums of squares, never on the rows of the data. The functions are pure (numpy,
pandas and scipy only) so that they can be checked without Spark.

Numerical conventions
---------------------
* Means enter the formulas as deviations from a centre (the weighted grand mean, or the shift a
  refined aggregation used), so the between-group and model sums of squares are sums of squares
  of small numbers, not differences of large ones. Algebraically Σ nᵢ(mᵢ − m)² = Σ var3 − var1.
* The one difference of large sums that cannot be avoided with the raw terms is the within
  (residual) sum of squares, Σx² − Σ nᵢ·mᵢ². :func:`significant_digits` estimates how many
  digits survive it; below :data:`MIN_SIGNIFICANT_DIGITS` the table is marked imprecise and a
  :class:`ImpreciseTableWarning` (a ``RuntimeWarning``) is issued. The refined path (per-group ``var_pop``) avoids the difference.
"""
from __future__ import annotations

import math
from typing import Any, Dict, Hashable, List, Optional, Sequence, Tuple

import numpy as np
import pandas as pd
EPS = float(np.finfo(float).eps)

class ImpreciseTableWarning(RuntimeWarning):
    """A table's residual sum of squares kept fewer than ``MIN_SIGNIFICANT_DIGITS`` digits."""


#: Column of a level or cell table with each group's sum of squared deviations from its mean.
SUMSQ_DEV = "sumsq_dev"

#: Key of ``DataFrame.attrs`` with the group means' deviations from a shift (see
#: :meth:`GroupTerms.from_sums_of_squares`).
MEAN_DEVIATIONS = "mean_deviations"

#: Fewest significant digits the within sum of squares may keep before a table is marked.
MIN_SIGNIFICANT_DIGITS = 6.0

ONE_WAY_COLUMNS = ["sum_sq", "df", "mean_sq", "F", "p_value", "eta_sq", "omega_sq", "note"]
TWO_WAY_COLUMNS = ["sum_sq", "df", "mean_sq", "F", "p_value", "partial_eta_sq", "note"]
RESIDUAL = "Residual"
TOTAL = "Total"
NOT_ESTIMABLE = "not estimable"
NO_VARIATION = "no variation within the cells: F and p are not defined"
OVERFLOW = ("not computed: the sums overflow double precision (values of magnitude above about "
            "1e154, or infinite)")


def as_float(value: Any) -> float:
    """A number as float; None (a null) becomes NaN."""
    if value is None:
        return math.nan
    try:
        return float(value)
    except (TypeError, ValueError):
        return math.nan


def float_column(table: pd.DataFrame, name: str) -> np.ndarray:
    """A table column as a float array, nulls as NaN (object columns of decimals included)."""
    return np.array([as_float(v) for v in table[name].tolist()], dtype=float)


def level_key(value: Any) -> Hashable:
    """The dictionary key of a level: every kind of null (None, NaN, NaT) is one level."""
    try:
        if pd.isna(value):
            return None
    except (TypeError, ValueError):
        pass
    return value


def significant_digits(within_ss: float, scale: float, n: float) -> float:
    """Estimated significant digits of a within sum of squares got as a difference of sums.

    Parameters
    ----------
    within_ss : float
        The difference Σx² − Σ nᵢ·mᵢ² as computed.
    scale : float
        Σx² + Σ nᵢ·mᵢ², the magnitude of the terms whose difference it is.
    n : float
        Number of values summed into Σx²: rounding errors of a running sum grow with about √n.

    Returns
    -------
    float
        log10 of (|within_ss| / estimated absolute error), at most 15.9; 0 when nothing is left
        (a zero or negative difference of non-zero terms).
    """
    if not math.isfinite(scale) or scale <= 0.0:
        return 15.9  # all terms are zero: the difference is exact
    error = EPS * scale * math.sqrt(max(n, 1.0))
    if not math.isfinite(within_ss) or within_ss <= error:
        return 0.0
    return min(15.9, math.log10(within_ss / error))


def rounding_level(values: Sequence[float], total: float, n: float) -> List[float]:
    """``values`` (sums of squares) with those at the rounding level of ``total`` set to 0.

    For the sums whose rounding grows with the total: effects (fitted from the cell means) and
    a within sum formed as a difference of raw sums. A within sum of central moments is exact
    relative to itself, however small beside the total, and is kept as it is.

    A sum of squares below n·eps·total is what rounding leaves of a sum that is zero in exact
    arithmetic (an effect the data do not have, or no variation within the groups): kept, it
    would make an F of astronomic size, or an infinite one, and a p-value of zero.

    Examples
    --------
    >>> rounding_level([6.7e-30, 2.5, 0.0], 60.0, 90)
    [0.0, 2.5, 0.0]
    """
    if not math.isfinite(total) or total <= 0.0:
        return list(values)
    limit = max(n, 1.0) * EPS * total
    return [0.0 if math.isfinite(v) and abs(v) <= limit else v for v in values]


def f_test(ss: float, df: float, ms_resid: float, df_resid: float) -> Tuple[float, float, float]:
    """Mean square, F and its upper-tail p-value; NaN where undefined (a residual mean square
    of zero included: no F is infinite)."""
    if df <= 0 or not math.isfinite(ss):
        return math.nan, math.nan, math.nan
    ms = ss / df
    if df_resid <= 0 or not math.isfinite(ms_resid) or ms_resid <= 0:
        return ms, math.nan, math.nan
    f_value = ms / ms_resid
    # The F distribution's upper tail (what scipy.stats.f.sf computes), from scipy.special:
    # imported on first use, and far lighter to import than scipy.stats.
    from scipy.special import fdtrc

    return ms, f_value, float(fdtrc(df, df_resid, f_value))


class GroupTerms(object):
    """Per-group terms of one test: counts, mean deviations and the within sum of squares.

    Groups with no value (count 0) are dropped: they take no degree of freedom.

    Parameters
    ----------
    keys : list of tuple
        The group's levels (one per dimension).
    counts, deviations : ndarray
        Non-null values per group, and each group's mean minus ``centre``.
    within_ss : float
        Σ over groups of the sum of squared deviations from the group mean.
    digits : float or None
        Estimated significant digits of ``within_ss``; None when it was computed without
        cancellation (refined from central moments).
    """

    def __init__(self, keys, counts, deviations, within_ss, digits=None, overflow=False):
        self.overflow = bool(overflow)
        keep = (counts > 0) & np.isfinite(deviations)
        self.keys: List[Tuple] = [k for k, kept in zip(keys, keep) if kept]
        self.counts = counts[keep]
        self.deviations = deviations[keep]
        self.within_ss = float(within_ss)
        self.digits = digits
        self.n = float(self.counts.sum())
        # Centre the deviations on the weighted grand mean.
        if self.n > 0:
            with np.errstate(all="ignore"):
                self.deviations = (self.deviations
                                   - float(np.dot(self.counts, self.deviations)) / self.n)

    @property
    def imprecise(self) -> bool:
        return self.digits is not None and self.digits < MIN_SIGNIFICANT_DIGITS

    @classmethod
    def from_raw(cls, table: pd.DataFrame, key_columns: Sequence[str], nsq_column: str,
                 sum_sq: float) -> "GroupTerms":
        """Terms from a level or cell table of the analyser and the measure's Σx²."""
        counts = float_column(table, "counts")
        means = float_column(table, "means")
        nsq = float_column(table, nsq_column)
        keys = list(zip(*[[level_key(v) for v in table[c].tolist()] for c in key_columns]))
        occupied = counts > 0
        if occupied.any() and not (math.isfinite(sum_sq) and np.isfinite(means[occupied]).all()
                                   and np.isfinite(nsq[occupied]).all()):
            # A sum that overflowed (or a value that was infinite): no number would mean anything.
            return cls(keys, counts, np.full(len(counts), math.nan), math.nan, None, overflow=True)
        present = (counts > 0) & np.isfinite(means)
        n = float(counts[present].sum())
        centre = float(np.dot(counts[present], means[present]) / n) if n > 0 else 0.0
        total_nsq = float(nsq[present & np.isfinite(nsq)].sum())
        if n <= np.count_nonzero(present):
            # One value per group (or none): no within-group variation by construction.
            return cls(keys, counts, means - centre, 0.0, None)
        within = sum_sq - total_nsq
        digits = significant_digits(within, abs(sum_sq) + abs(total_nsq), n)
        return cls(keys, counts, means - centre, within, digits)

    @classmethod
    def from_sums_of_squares(cls, table: pd.DataFrame, key_columns: Sequence[str],
                             column: str = SUMSQ_DEV) -> "GroupTerms":
        """Terms from a level or cell table that carries each group's sum of squared deviations
        from its own mean (column ``column``): the within sum of squares is their sum, with no
        difference of large sums and so no precision estimate.

        When ``table.attrs[MEAN_DEVIATIONS]`` holds, row by row, each mean's deviation from a
        common shift, the between-group terms use it: a mean of large values rounded to a
        double keeps fewer digits of its distance to the other means than the deviation does.
        """
        counts = float_column(table, "counts")
        means = float_column(table, "means")
        deviations = getattr(table, "attrs", {}).get(MEAN_DEVIATIONS)
        if deviations is not None and len(deviations) == len(means):
            means = np.where(np.isfinite(means), np.asarray(deviations, dtype=float), np.nan)
        sumsq = float_column(table, column)
        keys = list(zip(*[[level_key(v) for v in table[c].tolist()] for c in key_columns]))
        occupied = counts > 0
        with np.errstate(over="ignore", invalid="ignore"):
            # Σ n·d² bounds every between-group sum of squares the tables form from these means.
            spread = float(np.dot(counts[occupied], means[occupied] ** 2))
        if occupied.any() and not (np.isfinite(sumsq[occupied]).all() and math.isfinite(spread)):
            # A sum that overflowed (or a value that was infinite): no number would mean anything.
            return cls(keys, counts, np.full(len(counts), math.nan), math.nan, None, overflow=True)
        present = (counts > 0) & np.isfinite(means)
        n = float(counts[present].sum())
        centre = float(np.dot(counts[present], means[present]) / n) if n > 0 else 0.0
        within = float(np.sum(np.where(present & np.isfinite(sumsq), sumsq, 0.0)))
        return cls(keys, counts, means - centre, within, None)

    @classmethod
    def from_moments(cls, keys, counts, deviations, var_pop) -> "GroupTerms":
        """Terms from per-group counts, mean deviations and population variances."""
        counts = np.asarray(counts, dtype=float)
        var_pop = np.asarray(var_pop, dtype=float)
        ok = counts > 0
        within = float(np.dot(counts[ok], np.where(np.isfinite(var_pop[ok]), var_pop[ok], 0.0)))
        return cls(keys, counts, np.asarray(deviations, dtype=float), within, None)


def precision_note(digits: Optional[float]) -> str:
    if digits is None or digits >= MIN_SIGNIFICANT_DIGITS:
        return ""
    return "imprecise: about %d significant digits left in the residual sum of squares" % max(
        0, int(math.floor(digits))
    )


def one_way_table(dimension: Hashable, terms: GroupTerms) -> pd.DataFrame:
    """One-way ANOVA table: rows ``dimension``, ``Residual``, ``Total`` (see
    :func:`_one_way_table`); floating-point exceptions give inf or NaN, never a warning."""
    with np.errstate(all="ignore"):
        return _one_way_table(dimension, terms)


def _one_way_table(dimension: Hashable, terms: GroupTerms) -> pd.DataFrame:
    """One-way ANOVA table: rows ``dimension``, ``Residual``, ``Total``.

    Sums of squares, degrees of freedom, mean squares, F with its p-value (F distribution),
    eta² = SS_between / SS_total and omega² = (SS_between − df·MS_within) / (SS_total +
    MS_within).
    """
    residual, total = fixed_labels([dimension])
    if terms.overflow:
        table = pd.DataFrame([[math.nan] * 7 + [OVERFLOW]] * 3, index=[dimension, residual, total],
                             columns=ONE_WAY_COLUMNS)
        table.index.name = "source"
        return table
    k = len(terms.counts)
    ss_between = float(np.dot(terms.counts, terms.deviations ** 2))
    ss_within = terms.within_ss
    lost = terms.digits is not None and terms.digits <= 0.0
    if lost:
        ss_within = math.nan  # nothing of the difference is left: do not print a number
    ss_between, rounded_within = rounding_level([ss_between, ss_within],
                                                ss_between + ss_within, terms.n)
    if terms.digits is not None:  # a difference of raw sums: rounding of the total
        ss_within = rounded_within
    df_between = float(max(k - 1, 0))
    df_within = float(max(terms.n - k, 0))
    ms_within = ss_within / df_within if df_within > 0 else math.nan
    ms_between, f_value, p_value = f_test(ss_between, df_between, ms_within, df_within)
    ss_total = ss_between + ss_within
    eta = ss_between / ss_total if ss_total > 0 else math.nan
    omega = math.nan
    if df_between > 0 and math.isfinite(ms_within) and ss_total + ms_within > 0:
        omega = (ss_between - df_between * ms_within) / (ss_total + ms_within)
    note = precision_note(terms.digits) or variation_note(ss_within, df_within)
    rows = [
        [ss_between, df_between, ms_between, f_value, p_value, eta, omega,
         "" if df_between > 0 else NOT_ESTIMABLE],
        [ss_within, df_within, ms_within, math.nan, math.nan, math.nan, math.nan, note],
        [ss_total, float(max(terms.n - 1, 0)), math.nan, math.nan, math.nan, math.nan, math.nan,
         ""],
    ]
    table = pd.DataFrame(rows, index=[dimension, residual, total], columns=ONE_WAY_COLUMNS)
    table.index.name = "source"
    return table


def variation_note(ss_resid: float, df_resid: float) -> str:
    """The residual row's note when the groups have residual df but no variation at all."""
    return NO_VARIATION if df_resid > 0 and ss_resid == 0.0 else ""


def fixed_labels(effects: Sequence[Hashable]) -> Tuple[str, str]:
    """Row labels of the residual and total rows that no effect's label equals: "Residual" and
    "Total", in parentheses (as often as needed) when a dimension has that name."""
    taken = {str(e) for e in effects}
    labels = []
    for label in (RESIDUAL, TOTAL):
        while label in taken:
            label = "(%s)" % label
        labels.append(label)
    return labels[0], labels[1]


def _codes(values: Sequence[Hashable]) -> Tuple[np.ndarray, int]:
    order: Dict[Hashable, int] = {}
    codes = np.array([order.setdefault(v, len(order)) for v in values], dtype=int)
    return codes, len(order)


def _sum_coding(codes: np.ndarray, levels: int) -> np.ndarray:
    """Sum-to-zero (deviation) coding: level j ↦ e_j for j < last, last ↦ −1."""
    columns = np.zeros((len(codes), max(levels - 1, 0)))
    for j in range(levels - 1):
        columns[:, j] = (codes == j).astype(float) - (codes == levels - 1).astype(float)
    return columns


def _interaction(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    if a.shape[1] == 0 or b.shape[1] == 0:
        return np.zeros((a.shape[0], 0))
    return (a[:, :, None] * b[:, None, :]).reshape(a.shape[0], -1)


def _weighted_rss(columns: List[np.ndarray], y: np.ndarray, w: np.ndarray) -> Tuple[float, int]:
    """Residual sum of squares and rank of the weighted least-squares fit of y on the columns."""
    root = np.sqrt(w)
    b = y * root
    design = np.hstack(columns) if columns else np.zeros((len(y), 0))
    if design.shape[1] == 0:
        return float(np.dot(b, b)), 0
    a = design * root[:, None]
    beta, _, rank, _ = np.linalg.lstsq(a, b, rcond=None)
    residual = b - a.dot(beta)
    return float(np.dot(residual, residual)), int(rank)


class TwoWayModel(object):
    """Two-way ANOVA with interaction fitted to cell means by weighted least squares.

    Each non-empty cell contributes its mean with its count as weight; the within-cell sum of
    squares is the residual of the saturated model. Type I (``dimension1`` first), Type II and
    Type III (sum-to-zero coding) sums of squares follow from comparisons of sub-models.

    With empty cells, Type III uses the sum-to-zero coding over the cells that have data, and
    each effect's degrees of freedom are the rank its columns add to the model of the other
    terms; an effect that adds none has 0 df, no F and is marked "not estimable". The Type III
    main effects come from the equivalent constraints on the unweighted marginal means (no fit
    of the large model without the effect; see ``_marginal_contrast``).

    Sub-model fits are made when a table is first asked for and kept.
    """

    def __init__(self, dimension1: Hashable, dimension2: Hashable, terms: GroupTerms) -> None:
        self.dimension1 = dimension1
        self.dimension2 = dimension2
        self.terms = terms
        codes1, self.levels1 = _codes([k[0] for k in terms.keys])
        codes2, self.levels2 = _codes([k[1] for k in terms.keys])
        self._codes1, self._codes2 = codes1, codes2
        self.cells = len(terms.keys)
        self.complete = self.cells == self.levels1 * self.levels2
        self._ones = np.ones((self.cells, 1))
        self._a = _sum_coding(codes1, self.levels1)
        self._b = _sum_coding(codes2, self.levels2)
        self._fits: Dict[str, Tuple[float, int]] = {}
        self._tables: Dict[int, pd.DataFrame] = {}

    def _fit(self, which: str) -> Tuple[float, int]:
        """RSS (between cells) and rank of the model made of the named terms ('1', 'A', 'B',
        'I' for the interaction). The full model is saturated: RSS 0, rank = cells."""
        if which == "1ABI":
            return 0.0, self.cells
        if which not in self._fits:
            parts = {"1": self._ones, "A": self._a, "B": self._b}
            if "I" in which:
                # cells x (levels1 - 1)(levels2 - 1): made only for the fit that needs it, not kept
                parts["I"] = _interaction(self._a, self._b)
            self._fits[which] = _weighted_rss(
                [parts[t] for t in which], self.terms.deviations, self.terms.counts
            )
        return self._fits[which]

    def _effect(self, reduced: str, full: str) -> Tuple[float, float]:
        rss_reduced, rank_reduced = self._fit(reduced)
        rss_full, rank_full = self._fit(full)
        df = float(rank_full - rank_reduced)
        if df <= 0:
            return 0.0, 0.0
        return max(rss_reduced - rss_full, 0.0), df

    def _marginal_contrast(self, codes: np.ndarray, levels: int, other_codes: np.ndarray,
                           other: int) -> Tuple[float, float]:
        """Type III (sum-to-zero coding) of a main effect, without fitting the large model.

        Over the full grid of levels, the sum-coded model without the effect's columns is the
        set of cell means whose unweighted marginal means over the effect's levels are equal:
        L·μ = 0, L the contrasts (level i − last level) of those marginal means. On the cells
        that have data, the constraints that remain are the combinations cᵀL that vanish on
        the empty cells (a small null space); their number is the rank the effect adds, its df.
        The sum of squares is the weighted distance (Lμ)ᵀ (L W⁻¹ Lᵀ)⁻¹ (Lμ), W the cell counts,
        equal to comparing the fits of the model with and without the effect's columns.
        """
        if levels < 2:
            return 0.0, 0.0
        grid = levels * other
        position = codes * other + other_codes  # the cells' places in the grid
        contrasts = np.zeros((levels - 1, grid))
        level_of = np.repeat(np.arange(levels), other)
        for i in range(levels - 1):
            contrasts[i, level_of == i] = 1.0 / other
            contrasts[i, level_of == levels - 1] = -1.0 / other
        empty = np.ones(grid, dtype=bool)
        empty[position] = False
        if empty.any():
            from scipy.linalg import null_space

            keep = null_space(contrasts[:, empty].T)
            if keep.shape[1] == 0:
                return 0.0, 0.0
            contrasts = keep.T.dot(contrasts)
        constraints = contrasts[:, position]
        projected = constraints.dot(self.terms.deviations)
        covariance = (constraints / self.terms.counts).dot(constraints.T)
        ss = float(projected.dot(np.linalg.solve(covariance, projected)))
        return max(ss, 0.0), float(constraints.shape[0])

    def effects(self, typ: int) -> List[Tuple[float, float]]:
        """(SS, df) of dimension1, dimension2 and their interaction for Type 1, 2 or 3."""
        if typ == 1:
            return [self._effect("1", "1A"), self._effect("1A", "1AB"),
                    self._effect("1AB", "1ABI")]
        if typ == 2:
            return [self._effect("1B", "1AB"), self._effect("1A", "1AB"),
                    self._effect("1AB", "1ABI")]
        if typ == 3:
            return [
                self._marginal_contrast(self._codes1, self.levels1, self._codes2, self.levels2),
                self._marginal_contrast(self._codes2, self.levels2, self._codes1, self.levels1),
                self._effect("1AB", "1ABI"),
            ]
        raise ValueError("typ must be 1, 2 or 3, not %r" % (typ,))

    def table(self, typ: int = 2) -> pd.DataFrame:
        """The ANOVA table of Type ``typ``: rows dimension1, dimension2, interaction, Residual."""
        if typ not in self._tables:
            with np.errstate(all="ignore"):
                self._tables[typ] = self._make_table(typ)
        return self._tables[typ]

    def _make_table(self, typ: int) -> pd.DataFrame:
        terms = self.terms
        effects = [self.dimension1, self.dimension2,
                   "%s:%s" % (self.dimension1, self.dimension2)]
        index = effects + [fixed_labels(effects)[0]]
        if terms.overflow:
            table = pd.DataFrame([[math.nan] * 6 + [OVERFLOW]] * 4, index=index,
                                 columns=TWO_WAY_COLUMNS)
            table.index.name = "source"
            return table
        ss_resid = terms.within_ss
        if terms.digits is not None and terms.digits <= 0.0:
            ss_resid = math.nan
        df_resid = float(max(terms.n - self.cells, 0))
        effects = self.effects(typ)
        # The total about the grand mean: the spread of the cell means and the residual.
        between = float(np.dot(terms.counts, terms.deviations ** 2))
        *sums, rounded_resid = rounding_level([ss for ss, _ in effects] + [ss_resid],
                                              between + ss_resid, terms.n)
        if terms.digits is not None:  # a difference of raw sums: rounding of the total
            ss_resid = rounded_resid
        effects = [(ss, df) for ss, (_, df) in zip(sums, effects)]
        ms_resid = ss_resid / df_resid if df_resid > 0 else math.nan
        rows = []
        for ss, df in effects:
            ms, f_value, p_value = f_test(ss, df, ms_resid, df_resid)
            partial = ss / (ss + ss_resid) if df > 0 and ss + ss_resid > 0 else math.nan
            rows.append([ss, df, ms, f_value, p_value, partial, "" if df > 0 else NOT_ESTIMABLE])
        rows.append([ss_resid, df_resid, ms_resid, math.nan, math.nan, math.nan,
                     precision_note(terms.digits) or variation_note(ss_resid, df_resid)])
        table = pd.DataFrame(rows, index=index, columns=TWO_WAY_COLUMNS)
        table.index.name = "source"
        return table


def adjust_p_values(p_values: Sequence[float], method: str) -> np.ndarray:
    """Holm or Benjamini-Hochberg adjusted p-values; NaN stays NaN and is not counted.

    Parameters
    ----------
    p_values : sequence of float
    method : {"holm", "bh"}
    """
    p = np.asarray(p_values, dtype=float)
    out = np.full(p.shape, np.nan)
    valid = np.flatnonzero(np.isfinite(p))
    m = len(valid)
    if m == 0:
        return out
    order = valid[np.argsort(p[valid], kind="mergesort")]
    ranked = p[order]
    if method == "holm":
        adjusted = np.maximum.accumulate((m - np.arange(m)) * ranked)
    elif method in ("bh", "fdr_bh"):
        adjusted = np.minimum.accumulate((m * ranked / np.arange(1, m + 1))[::-1])[::-1]
    else:
        raise ValueError("correction must be 'holm' or 'bh', not %r" % (method,))
    out[order] = np.minimum(adjusted, 1.0)
    return out
