"""Which levels differ, and whether their variances agree: pure arithmetic on per-level terms.

Everything here works on a small *level statistics* table, one row per level with the columns
``level``, ``count``, ``mean`` and ``variance`` (the unbiased sample variance, NaN where it is
not known), as :func:`level_statistics` builds it from a level table. Nothing here talks to
Spark: numpy, pandas and scipy only.

* :func:`tukey_kramer`: all pairwise comparisons with a pooled within-level mean square
  (Tukey's honestly significant difference, with Kramer's standard error for unequal counts).
* :func:`games_howell`: all pairwise comparisons with each pair's own variances and
  Welch–Satterthwaite degrees of freedom.
* :func:`welch_anova`: Welch's heteroscedastic one-way analysis of variance.

Both comparison methods refer the studentized range q = |m_j − m_i| / sqrt(SE²/2) to the
package's own distribution (:mod:`.studentized`) with k (the number of levels) and the pair's
df; the simultaneous confidence interval of m_j − m_i is the difference ± q_crit · SE / sqrt(2).
p-values below :data:`.studentized.TAIL_FLOOR` are given as that bound.

Degenerate cases are reported in a ``note`` and left uncomputed (NaN): fewer than two levels
(no pair exists: the table is empty), a level with one value (no variance), no residual degrees
of freedom or no variation within the levels at all; for Games–Howell a pair whose levels both
have zero variance, and for Welch's test any level of zero variance.
"""
from __future__ import annotations

import math
import numbers
from typing import Any, Hashable, List, Optional, Sequence

import numpy as np
import pandas as pd

from . import studentized
from .anova import as_float, float_column, level_key

__all__ = [
    "COMPARISON_COLUMNS",
    "METHODS",
    "STATISTICS_COLUMNS",
    "WELCH_COLUMNS",
    "critical_values",
    "games_howell",
    "level_statistics",
    "marginal_statistics",
    "statistics_note",
    "statistics_table",
    "tukey_kramer",
    "welch_anova",
]

#: Columns of a level statistics table.
STATISTICS_COLUMNS = ["level", "count", "mean", "variance"]
#: Columns of a pairwise comparison table. ``mean_diff`` is mean(group2) − mean(group1).
COMPARISON_COLUMNS = ["group1", "group2", "mean_diff", "std_error", "q", "df", "p_value",
                      "ci_lower", "ci_upper", "reject", "note"]
#: Columns of Welch's table.
WELCH_COLUMNS = ["F", "df1", "df2", "p_value", "note"]
#: Comparison methods by name.
METHODS = ("tukey", "games-howell")

SUMSQ_DEV = "sumsq_dev"


def _sort_key(value: Hashable) -> Any:
    # Nulls last; levels of one column share a type, but fall back to text for safety.
    return (value is None, "" if value is None else value)


def _ordered(table: pd.DataFrame) -> pd.DataFrame:
    levels = list(table["level"])
    try:
        order = sorted(range(len(levels)), key=lambda i: _sort_key(levels[i]))
    except TypeError:
        order = sorted(range(len(levels)), key=lambda i: (levels[i] is None, str(levels[i])))
    return table.iloc[order].reset_index(drop=True)


def statistics_table(levels: Sequence[Hashable], counts: Any, means: Any,
                     variances: Any) -> pd.DataFrame:
    """A level statistics table: levels without a value dropped, rows sorted by level (null
    last)."""
    table = pd.DataFrame({"level": list(levels), "count": np.asarray(counts, dtype=float),
                          "mean": np.asarray(means, dtype=float),
                          "variance": np.asarray(variances, dtype=float)},
                         columns=STATISTICS_COLUMNS)
    keep = (table["count"] > 0) & np.isfinite(table["mean"])
    return _ordered(table[keep])


def level_statistics(level_table: pd.DataFrame, key_column: str = "levels") -> pd.DataFrame:
    """Level statistics from a level table (``levels``, ``counts``, ``means``, ...).

    The variance is ``sumsq_dev / (count − 1)`` when the table has the column ``sumsq_dev`` (the
    within-level sum of squared deviations from the level mean), NaN otherwise and for levels of
    one value. Levels without a value are dropped, as the analysis of variance drops them. Rows
    are sorted by level (a null level last).
    """
    counts = float_column(level_table, "counts")
    means = float_column(level_table, "means")
    variances = np.full(len(counts), np.nan)
    if SUMSQ_DEV in level_table.columns:
        sumsq = float_column(level_table, SUMSQ_DEV)
        more = counts > 1
        variances[more] = np.maximum(sumsq[more], 0.0) / (counts[more] - 1.0)
    levels = [level_key(v) for v in level_table[key_column].tolist()]
    return statistics_table(levels, counts, means, variances)


def marginal_statistics(cell_table: pd.DataFrame, which: int) -> pd.DataFrame:
    """Level statistics of one dimension of a cell table (``which`` 0: ``level1``, 1: ``level2``).

    A level's count and mean are those of all its values (the cells' means weighted by their
    counts). Its variance, when the cells carry ``sumsq_dev``, adds the spread of the cell means
    around the level mean to the cells' own sums of squared deviations.
    """
    key = "level1" if which == 0 else "level2"
    counts = float_column(cell_table, "counts")
    means = float_column(cell_table, "means")
    present = (counts > 0) & np.isfinite(means)
    keys = [level_key(v) for v in cell_table[key].tolist()]
    sumsq = (float_column(cell_table, SUMSQ_DEV) if SUMSQ_DEV in cell_table.columns
             else np.full(len(counts), np.nan))
    order: dict = {}
    for i, k in enumerate(keys):
        if present[i]:
            order.setdefault(k, []).append(i)
    levels, n, m, v = [], [], [], []
    for k, rows in order.items():
        c, mu = counts[rows], means[rows]
        total = float(c.sum())
        mean = float(np.dot(c, mu) / total)
        ss = float(np.sum(sumsq[rows]) + np.dot(c, (mu - mean) ** 2))
        levels.append(k)
        n.append(total)
        m.append(mean)
        v.append(ss / (total - 1.0) if total > 1 and math.isfinite(ss) else math.nan)
    return statistics_table(levels, np.array(n, dtype=float), np.array(m, dtype=float),
                       np.array(v, dtype=float))


def _is_zero_variance(variance: float, mean: float) -> bool:
    # Identical values can leave a variance at the rounding level of their mean, not exactly 0.
    return variance <= (64.0 * np.finfo(float).eps * abs(mean)) ** 2


def _level_problem(level: Hashable, count: float, variance: float, mean: float) -> str:
    if count < 2:
        return "level %s has one value: no variance" % (_shown(level),)
    if _is_zero_variance(variance, mean):
        return "level %s has zero variance" % (_shown(level),)
    return ""


def _shown(level: Hashable) -> str:
    """A level as notes quote it: its repr (control characters escaped), a null as null."""
    if level is None:
        return "null"
    return repr(level.item() if isinstance(level, np.generic) else level)


def statistics_note(stats: pd.DataFrame, need_variances: bool) -> str:
    """Why a table of ``stats`` cannot be computed as a whole, or "" when it can.

    Fewer than two levels always; with ``need_variances``, a level of one value or of zero
    variance (the first one found).
    """
    if len(stats) < 2:
        return "%d level%s: nothing to compare" % (len(stats), "" if len(stats) == 1 else "s")
    if need_variances:
        for row in stats.itertuples(index=False):
            problem = _level_problem(row.level, row.count, row.variance, row.mean)
            if problem:
                return problem
    return ""


def _require_variances(stats: pd.DataFrame, what: str) -> None:
    unknown = stats[(stats["count"] > 1) & ~np.isfinite(stats["variance"].astype(float))]
    if len(unknown):
        raise ValueError(
            "%s needs the per-level variances, which these level tables do not carry: pass the "
            "data frame (one extra aggregation), or use the one-scan plan, whose level tables "
            "have them" % what)


def _check_alpha(alpha: float) -> float:
    if not isinstance(alpha, numbers.Real):  # text such as "0.05" is no level either
        raise ValueError("alpha must be a number between 0 and 1, not %r" % (alpha,))
    alpha = float(alpha)
    if not 0.0 < alpha < 1.0:
        raise ValueError("alpha must be between 0 and 1, not %r" % (alpha,))
    return alpha


def critical_values(k: int, dfs: np.ndarray, alpha: float) -> np.ndarray:
    """Upper ``alpha`` quantiles of the studentized range with ``k`` means, one per df.

    Examples
    --------
    >>> float(critical_values(3, np.array([np.inf]), 0.05)[0])  # doctest: +ELLIPSIS
    3.314...
    """
    return studentized.isf(alpha, k, np.asarray(dfs, dtype=float))


def _pairs_table(stats: pd.DataFrame, std_errors: np.ndarray, dfs: np.ndarray,
                 notes: List[str], alpha: float) -> pd.DataFrame:
    """The comparison table from each pair's standard error of the difference and df."""
    k = len(stats)
    levels = list(stats["level"])
    means = stats["mean"].to_numpy(dtype=float)
    first, second = np.triu_indices(k, 1)
    diffs = means[second] - means[first]
    ok = np.array([not note for note in notes], dtype=bool) & (std_errors > 0) & (dfs > 0)
    q = np.full(len(diffs), np.nan)
    p = np.full(len(diffs), np.nan)
    half = np.full(len(diffs), np.nan)
    if ok.any():
        q[ok] = np.abs(diffs[ok]) / (std_errors[ok] / math.sqrt(2.0))
        p[ok] = studentized.sf(q[ok], k, dfs[ok])
        # The critical value depends on the pair's df only: one quantile per distinct df.
        distinct = np.unique(dfs[ok])
        critical = dict(zip(distinct, critical_values(k, distinct, alpha)))
        half[ok] = [critical[d] for d in dfs[ok]] * std_errors[ok] / math.sqrt(2.0)
    table = pd.DataFrame({
        "group1": [levels[i] for i in first],
        "group2": [levels[j] for j in second],
        "mean_diff": diffs,
        "std_error": np.where(ok, std_errors, np.nan),
        "q": q,
        "df": np.where(ok, dfs, np.nan),
        "p_value": p,
        "ci_lower": diffs - half,
        "ci_upper": diffs + half,
        "reject": [bool(v < alpha) if math.isfinite(v) else None for v in p],
        "note": notes,
    }, columns=COMPARISON_COLUMNS)
    return table


def tukey_kramer(stats: pd.DataFrame, ms_within: float, df_within: float,
                 alpha: float = 0.05) -> pd.DataFrame:
    """Tukey–Kramer comparisons of every pair of levels.

    Parameters
    ----------
    stats : pandas.DataFrame
        Level statistics (``level``, ``count``, ``mean``; the variances are not used).
    ms_within, df_within : float
        The residual mean square and its degrees of freedom of the analysis of variance the
        comparisons belong to (one-way, or the two-way table of a pair for a main effect).
    alpha : float
        The family-wise error rate: intervals at 1 − alpha, ``reject`` where p < alpha.

    Returns
    -------
    pandas.DataFrame
        One row per pair (group1 before group2 in the order of ``stats``), columns
        :data:`COMPARISON_COLUMNS`: ``mean_diff`` = mean(group2) − mean(group1), ``std_error`` =
        sqrt(MS·(1/n₁ + 1/n₂)), the studentized range ``q``, ``df``, ``p_value``, the
        simultaneous interval ``ci_lower``, ``ci_upper``, ``reject`` and ``note``. Empty with
        fewer than two levels.
    """
    alpha = _check_alpha(alpha)
    ms_within, df_within = as_float(ms_within), as_float(df_within)
    counts = stats["count"].to_numpy(dtype=float)
    first, second = np.triu_indices(len(stats), 1)
    note = ""
    if not df_within > 0:
        note = "no residual degrees of freedom"
    elif not math.isfinite(ms_within):
        note = "no residual mean square (lost to rounding: refine the table)"
    elif ms_within <= 0:
        note = "no variation within the levels"
    std_errors = np.sqrt(max(ms_within, 0.0) * (1.0 / counts[first] + 1.0 / counts[second])) \
        if not note else np.full(len(first), np.nan)
    dfs = np.full(len(first), df_within if not note else np.nan)
    return _pairs_table(stats, std_errors, dfs, [note] * len(first), alpha)


def games_howell(stats: pd.DataFrame, alpha: float = 0.05) -> pd.DataFrame:
    """Games–Howell comparisons of every pair of levels, each with its own variances.

    Per pair, SE² = s₁²/n₁ + s₂²/n₂ and the Welch–Satterthwaite degrees of freedom
    df = SE⁴ / ((s₁²/n₁)²/(n₁ − 1) + (s₂²/n₂)²/(n₂ − 1)). A level of zero variance (or one at
    the rounding level of its mean) contributes nothing, and the pair takes the other level's
    variance and df; a pair with a level of one value, or whose levels both have zero variance,
    is reported in its ``note`` and not computed.

    Parameters
    ----------
    stats : pandas.DataFrame
        Level statistics with the variances.
    alpha : float
        As for :func:`tukey_kramer`.

    Returns
    -------
    pandas.DataFrame
        As :func:`tukey_kramer`, ``std_error`` and ``df`` per pair.

    Raises
    ------
    ValueError
        A level of two values or more has no variance in ``stats``.
    """
    alpha = _check_alpha(alpha)
    _require_variances(stats, "Games-Howell")
    counts = stats["count"].to_numpy(dtype=float)
    variances = stats["variance"].to_numpy(dtype=float)
    means = stats["mean"].to_numpy(dtype=float)
    levels = list(stats["level"])
    single = ["level %s has one value: no variance" % (_shown(levels[i]),) if counts[i] < 2
              else "" for i in range(len(stats))]
    # A variance at the rounding level of its mean is zero: the other level's carries the pair.
    zero = np.array([_is_zero_variance(variances[i], means[i]) for i in range(len(stats))],
                    dtype=bool)
    variances = np.where(zero, 0.0, variances)
    first, second = np.triu_indices(len(stats), 1)
    notes = []
    for i, j in zip(first, second):
        note = "; ".join(p for p in (single[i], single[j]) if p)
        if not note and zero[i] and zero[j]:
            note = "levels %s and %s both have zero variance" % (_shown(levels[i]),
                                                                  _shown(levels[j]))
        notes.append(note)
    with np.errstate(divide="ignore", invalid="ignore"):
        a = variances[first] / counts[first]
        b = variances[second] / counts[second]
        std_errors = np.sqrt(a + b)
        dfs = (a + b) ** 2 / (a ** 2 / (counts[first] - 1.0) + b ** 2 / (counts[second] - 1.0))
    return _pairs_table(stats, std_errors, dfs, notes, alpha)


def welch_anova(stats: pd.DataFrame, label: Optional[Hashable] = None) -> pd.DataFrame:
    """Welch's one-way analysis of variance for unequal variances.

    With weights wᵢ = nᵢ/sᵢ², W = Σwᵢ, the weighted mean m = Σwᵢmᵢ/W and
    Λ = Σ (1 − wᵢ/W)² / (nᵢ − 1):
    F = [Σ wᵢ(mᵢ − m)² / (k − 1)] / [1 + 2(k − 2)Λ/(k² − 1)], df1 = k − 1, df2 = (k² − 1)/(3Λ).

    Parameters
    ----------
    stats : pandas.DataFrame
        Level statistics with the variances.
    label : hashable, optional
        The row label (the dimension).

    Returns
    -------
    pandas.DataFrame
        One row, columns :data:`WELCH_COLUMNS`; NaN and a ``note`` where it cannot be computed
        (fewer than two levels, a level of one value or of zero variance).

    Raises
    ------
    ValueError
        A level of two values or more has no variance in ``stats``.
    """
    _require_variances(stats, "Welch's test")
    note = statistics_note(stats, need_variances=True)
    k = float(len(stats))
    f_value = df1 = df2 = p_value = math.nan
    if not note:
        from scipy import stats as distributions

        counts = stats["count"].to_numpy(dtype=float)
        means = stats["mean"].to_numpy(dtype=float)
        weights = counts / stats["variance"].to_numpy(dtype=float)
        total = float(weights.sum())
        centre = float(np.dot(weights, means) / total)
        spread = float(np.dot(weights, (means - centre) ** 2)) / (k - 1.0)
        lam = float(np.sum((1.0 - weights / total) ** 2 / (counts - 1.0)))
        f_value = spread / (1.0 + 2.0 * (k - 2.0) * lam / (k * k - 1.0))
        df1 = k - 1.0
        df2 = (k * k - 1.0) / (3.0 * lam) if lam > 0 else math.inf
        p_value = float(distributions.f.sf(f_value, df1, df2))
    return pd.DataFrame([[f_value, df1, df2, p_value, note]], columns=WELCH_COLUMNS,
                        index=pd.Index([label], name="source"))
