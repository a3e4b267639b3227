"""Result objects of the two-way analysis of variance.

The analyser files its raw terms here: per measure a :class:`MeasureAnovaResult` made from the
measure row (count n, mean, Σx²), which then receives one level table per dimension
(``set_OneWayAnovaResult``) and one cell table per pair of dimensions
(``set_TwoWayAnovaResult``); the records of a run are collected, by measure name, in a
:class:`DFTwoWayAnovaResult`. The records turn the terms into ANOVA tables:

* one-way, per dimension: SS between (Σ var3 − var1, computed as Σ nᵢ(mᵢ − m)²), SS within
  (var2 − Σ var3), SS total, df, mean squares, F, p-value, eta² and omega²;
* two-way with interaction, per pair: Type I (the first dimension first), Type II and Type III
  (sum-to-zero coding) sums of squares, df, mean squares, F, p-value and partial eta², fitted
  by weighted least squares over the non-empty cells. With empty cells Type III uses the
  sum-to-zero coding over the cells that have data and gives each effect the rank it adds as its
  df (0 df: "not estimable", no F);
* a precision guard: the within sum of squares is a difference of large sums. When too few
  significant digits survive it (fewer than ``anova.MIN_SIGNIFICANT_DIGITS``, judged from the
  magnitudes of the terms and the number of values), the test is marked, its residual row says
  so, and an ``anova.ImpreciseTableWarning`` (a ``RuntimeWarning``) is issued. :meth:`DFTwoWayAnovaResult.refine` recomputes marked
  tests from Spark's central moments.

Repeated filings: every table and record received is kept, in arrival order (``tables``,
``records``). Look-ups by name, the summaries and the exports use the latest filing of a name,
so a test repeated in a run (a measure or dimension listed twice) counts once.
"""
from __future__ import annotations

import json
import math
import warnings
from typing import Any, Dict, Hashable, Iterator, List, Optional, Tuple

import numpy as np
import pandas as pd

from . import anova, comparisons
from .columns import column, measure_value

__all__ = ["MeasureAnovaResult", "DFTwoWayAnovaResult", "jsonable", "table_records"]

Pair = Tuple[Hashable, Hashable]


def _refined_terms(spark_df: Any, measure: str, dimensions: List[Hashable],
                   centre: float) -> anova.GroupTerms:
    """One grouped aggregation: per group the count, the mean's deviation from ``centre`` and
    the population variance (Spark's central-moment aggregates, no difference of large sums)."""
    from Tarnwick.bi.embedded import tables

    if tables.is_embedded(spark_df):
        rows = tables.group_moments(spark_df, measure, dimensions, centre)
    else:
        from pyspark.sql import functions as F

        value = measure_value(measure)
        shifted = value - F.lit(float(centre))
        rows = (
            spark_df.groupby(*[column(d) for d in dimensions])
            .agg(F.count(value), F.avg(shifted), F.var_pop(shifted))
            .collect()
        )
    k = len(dimensions)
    keys = [tuple(anova.level_key(row[i]) for i in range(k)) for row in rows]
    counts = [anova.as_float(row[k]) for row in rows]
    deviations = [anova.as_float(row[k + 1]) for row in rows]
    variances = [anova.as_float(row[k + 2]) for row in rows]
    return anova.GroupTerms.from_moments(keys, counts, deviations, variances)


def _columns_of(data: Any) -> List[str]:
    from Tarnwick.bi.embedded import tables

    return tables.columns_of(data) if tables.is_embedded(data) else list(data.columns)


def jsonable(value: Any) -> Any:
    """``value`` made JSON-ready: NaN and infinities as None, numpy scalars as Python numbers,
    tuples as lists, dictionary keys as text; anything else unknown as its text.

    Examples
    --------
    >>> import numpy as np
    >>> from Tarnwick.bi.common.results import jsonable
    >>> jsonable({1: (np.float64(2.5), float("nan")), "n": np.int64(3)})
    {'1': [2.5, None], 'n': 3}
    """
    if isinstance(value, dict):
        return {str(k): jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [jsonable(v) for v in value]
    if isinstance(value, (np.integer, np.bool_)):
        return value.item()
    if isinstance(value, (float, np.floating)):
        value = float(value)
        return value if math.isfinite(value) else None
    if value is None or isinstance(value, (str, int, bool)):
        return value
    return str(value)


def table_records(table: pd.DataFrame) -> List[Dict[str, Any]]:
    """One JSON-ready record per row of ``table``, its index label as ``source``."""
    records = []
    for source, row in table.iterrows():
        entry = {"source": source}
        entry.update(row.to_dict())
        records.append(jsonable(entry))
    return records


class MeasureAnovaResult(object):
    """The analysis-of-variance record of one measure.

    Parameters
    ----------
    measure_row : sequence
        The measure's count n, mean and sum of squares Σx², in this order (a Spark ``Row``;
        kept as given in ``measure_row``).

    Attributes
    ----------
    measure_row : sequence
        As given.
    measure : str or None
        The measure's name, set when the record is added to a :class:`DFTwoWayAnovaResult`.
    tables : list of tuple
        Every table received, in order: ``("one-way", (dimension,), level_table)`` or
        ``("two-way", (dimension1, dimension2), cell_table)``, the tables themselves (no copies).

    Examples
    --------
    The analyser files a record like this one; three values per level of ``region``
    (north: 12, 14.5, 13; south: 9, 11, 10.5):

    >>> import pandas as pd
    >>> from Tarnwick.bi.common.results import MeasureAnovaResult
    >>> record = MeasureAnovaResult((6, 70.0 / 6, 835.5))  # count, mean, sum of squares
    >>> levels = pd.DataFrame({"levels": ["north", "south"], "counts": [3, 3],
    ...                        "means": [39.5 / 3, 30.5 / 3]})
    >>> levels["total"] = levels.means * levels.counts
    >>> levels["var3"] = levels.counts * levels.means * levels.means
    >>> record.set_OneWayAnovaResult("region", levels)
    >>> table = record.get_one_way("region")
    >>> table.loc["region", ["sum_sq", "df", "F"]].astype(float).round(3).tolist()
    [13.5, 1.0, 10.125]
    """

    def __init__(self, measure_row: Any) -> None:
        self.measure_row = measure_row
        values = list(measure_row)
        self.n = anova.as_float(values[0]) if len(values) > 0 else math.nan
        self.mean = anova.as_float(values[1]) if len(values) > 1 else math.nan
        self.sum_sq = anova.as_float(values[2]) if len(values) > 2 else math.nan
        if not self.n > 0:
            self.sum_sq = 0.0 if math.isnan(self.sum_sq) else self.sum_sq
        self.measure: Optional[str] = None
        self.tables: List[Tuple[str, Tuple, Any]] = []
        self._one_way: Dict[Hashable, anova.GroupTerms] = {}
        self._two_way: Dict[Pair, anova.TwoWayModel] = {}
        #: Comparison and variance tables computed so far, by (dimension, title), latest last:
        #: what the notebook view shows beside each one-way table.
        self.comparisons: Dict[Tuple[Hashable, str], pd.DataFrame] = {}

    # -- filing (called by the analyser) ---------------------------------------------------

    def set_OneWayAnovaResult(self, dimension: Hashable, level_table: pd.DataFrame) -> None:
        """File the level table of ``dimension`` (columns levels, counts, means, total, var3,
        and optionally sumsq_dev: each level's sum of squared deviations from its mean)."""
        self.tables.append(("one-way", (dimension,), level_table))
        terms = self._terms(level_table, ["levels"], "var3")
        self._one_way[dimension] = terms
        self._warn_if_imprecise(terms, "one-way test of %r" % (dimension,))

    def set_TwoWayAnovaResult(self, dimension1: Hashable, dimension2: Hashable,
                              cell_table: pd.DataFrame) -> None:
        """File the cell table of ``dimension1`` × ``dimension2`` (columns level1, level2, counts,
        means, total, var5, and optionally sumsq_dev as in :meth:`set_OneWayAnovaResult`)."""
        self.tables.append(("two-way", (dimension1, dimension2), cell_table))
        terms = self._terms(cell_table, ["level1", "level2"], "var5")
        self._two_way[(dimension1, dimension2)] = anova.TwoWayModel(dimension1, dimension2, terms)
        self._warn_if_imprecise(terms, "two-way test of %r x %r" % (dimension1, dimension2))

    def _terms(self, table: pd.DataFrame, keys: List[str], nsq: str) -> anova.GroupTerms:
        """A table with the groups' sums of squared deviations (``sumsq_dev``) gives the within
        sum of squares directly; otherwise it is Σx² less the n·mean² column."""
        if anova.SUMSQ_DEV in table.columns:
            return anova.GroupTerms.from_sums_of_squares(table, keys)
        return anova.GroupTerms.from_raw(table, keys, nsq, self.sum_sq)

    def _warn_if_imprecise(self, terms: anova.GroupTerms, what: str) -> None:
        if terms.imprecise:
            warnings.warn(
                "%s%s: the residual sum of squares is a difference of large sums that keeps "
                "about %d significant digits (fewer than %d); its table is marked imprecise. "
                "Recompute it with DFTwoWayAnovaResult.refine(spark_df)."
                % ("measure with n=%s, mean=%.10g, " % (_df_text(self.n), self.mean)
                   if self.measure is None else "measure %r, " % (self.measure,), what,
                   max(0, int(math.floor(terms.digits or 0.0))),
                   int(anova.MIN_SIGNIFICANT_DIGITS)),
                anova.ImpreciseTableWarning,
                stacklevel=3,
            )

    # -- reading ---------------------------------------------------------------------------

    @property
    def dimensions(self) -> List[Hashable]:
        """Dimensions with a one-way table, in the order first filed."""
        return list(self._one_way)

    @property
    def pairs(self) -> List[Pair]:
        """Pairs (dimension1, dimension2) with a two-way table, in the order first filed."""
        return list(self._two_way)

    def get_one_way(self, dimension: Hashable) -> pd.DataFrame:
        """One-way ANOVA table of ``dimension``.

        Returns
        -------
        pandas.DataFrame
            Rows ``dimension``, ``Residual``, ``Total``; columns ``sum_sq``, ``df``, ``mean_sq``,
            ``F``, ``p_value``, ``eta_sq``, ``omega_sq``, ``note`` (empty, "not estimable", or
            the precision mark on the residual row). A new frame on each call.

        Raises
        ------
        KeyError
            No table was filed for ``dimension``.
        """
        return anova.one_way_table(dimension, self._one_way[dimension])

    def get_two_way(self, dimension1: Hashable, dimension2: Hashable, typ: int = 2) -> pd.DataFrame:
        """Two-way ANOVA table with interaction of the pair, as filed (order matters for Type I).

        Parameters
        ----------
        dimension1, dimension2 : str
        typ : {1, 2, 3}
            Sequential (``dimension1`` first), Type II, or Type III with sum-to-zero coding.

        Returns
        -------
        pandas.DataFrame
            Rows ``dimension1``, ``dimension2``, ``"dimension1:dimension2"``, ``Residual``;
            columns ``sum_sq``, ``df``, ``mean_sq``, ``F``, ``p_value``, ``partial_eta_sq``,
            ``note``. A new frame on each call.

        Raises
        ------
        KeyError
            No table was filed for this pair in this order.
        ValueError
            ``typ`` is not 1, 2 or 3.
        """
        return self._two_way[(dimension1, dimension2)].table(typ).copy()

    @property
    def imprecise_tests(self) -> List[Tuple]:
        """Tests marked by the precision guard: ``(dimension,)`` or ``(dimension1, dimension2)``."""
        marked: List[Tuple] = [(d,) for d, t in self._one_way.items() if t.imprecise]
        marked += [pair for pair, m in self._two_way.items() if m.terms.imprecise]
        return marked

    def refine(self, spark_df: Any, measure: Optional[str] = None) -> int:
        """Recompute the marked tests from central moments, one Spark aggregation per test.

        Parameters
        ----------
        spark_df : pyspark.sql.DataFrame, pandas.DataFrame, EmbeddedFrame or str
            The frame the record was computed from.
        measure : str, optional
            The measure column; defaults to ``measure``.

        Returns
        -------
        int
            The number of tests recomputed.
        """
        measure = self.measure if measure is None else measure
        if measure is None:
            raise ValueError("refine() needs the measure's column name")
        centre = self.mean if math.isfinite(self.mean) else 0.0
        marked = self.imprecise_tests
        missing = sorted({str(c) for dims in marked for c in (measure,) + tuple(dims)}
                         - set(_columns_of(spark_df))) if marked else []
        if missing:
            raise ValueError(
                "refine(): the frame has no column %s; give the frame the results were "
                "computed from" % ", ".join(map(repr, missing))
            )
        recomputed = []
        for dims in marked:
            terms = _refined_terms(spark_df, measure, list(dims), centre)
            before = self._one_way[dims[0]] if len(dims) == 1 else self._two_way[dims].terms
            if terms.n != before.n or set(terms.keys) != set(before.keys):
                raise ValueError(
                    "refine(): the frame is not the one analysed: measure %r by %s has %d values "
                    "in %d groups there, %d in %d groups in the results"
                    % (measure, " x ".join(map(repr, dims)), terms.n, len(terms.keys), before.n,
                       len(before.keys))
                )
            recomputed.append((dims, terms))
        for dims, terms in recomputed:  # all checked first: a refused frame changes nothing
            if len(dims) == 1:
                self._one_way[dims[0]] = terms
            else:
                self._two_way[dims] = anova.TwoWayModel(dims[0], dims[1], terms)
        return len(recomputed)

    # -- which levels differ (see the comparisons module) ----------------------------------

    def level_statistics(self, dimension: Hashable, data_frame: Any = None) -> pd.DataFrame:
        """Per level of ``dimension``: ``level``, ``count``, ``mean``, ``variance``.

        The variance comes from the level table's ``sumsq_dev`` where it has one, else from one
        Spark aggregation over ``data_frame`` when given, else it is NaN.
        """
        return comparisons.level_statistics(self, dimension, data_frame)

    def post_hoc(self, dimension: Hashable, method: str = "tukey", alpha: float = 0.05,
                 data_frame: Any = None, pair: Optional[Pair] = None) -> pd.DataFrame:
        """Pairwise comparisons of the levels of ``dimension``.

        Parameters
        ----------
        dimension : str
        method : {"tukey", "games-howell"}
            Tukey–Kramer with the residual mean square of the ANOVA table, or Games–Howell
            with each level's variance (from the level table's ``sumsq_dev`` or, given
            ``data_frame``, one extra Spark aggregation).
        alpha : float
            Intervals at confidence 1 − alpha; ``reject`` where p < alpha.
        data_frame : pyspark.sql.DataFrame, pandas.DataFrame, EmbeddedFrame or str, optional
            The frame the record was computed from (Games–Howell without ``sumsq_dev``).
        pair : tuple of two str, optional
            Compare the main effect of ``dimension`` in the two-way table of this pair, with its
            residual mean square and df (Tukey–Kramer only).

        Returns
        -------
        pandas.DataFrame
            One row per pair of levels: ``group1``, ``group2``, ``mean_diff`` (mean of group2
            minus mean of group1), ``std_error``, ``q``, ``df``, ``p_value``, ``ci_lower``,
            ``ci_upper``, ``reject``, ``note`` (why a pair is not computed).

        Raises
        ------
        ValueError
            Games–Howell without variances and without ``data_frame``; a bad ``method``.
        """
        table = comparisons.post_hoc(self, dimension, method, alpha, data_frame, pair)
        title = "%s comparisons, %g%% intervals%s" % (
            {"tukey": "Tukey-Kramer"}.get(method, "Games-Howell"), 100 * (1 - alpha),
            "" if pair is None else " (two-way residual of %s x %s)" % tuple(pair))
        return self._kept(dimension, title, table)

    def welch(self, dimension: Hashable, data_frame: Any = None) -> pd.DataFrame:
        """Welch's one-way ANOVA of ``dimension``: one row, ``F``, ``df1``, ``df2``,
        ``p_value``, ``note``. Needs the variances, as Games–Howell does (see :meth:`post_hoc`)."""
        return self._kept(dimension, "Welch's ANOVA",
                          comparisons.welch(self, dimension, data_frame))

    def levene(self, dimension: Hashable, data_frame: Any, center: str = "mean") -> pd.DataFrame:
        """Levene's (``center="mean"``) or Brown–Forsythe's (``"median"``) test of equal
        variances across the levels of ``dimension``: one Spark aggregation over
        ``data_frame``. One row: ``center``, ``F``, ``df1``, ``df2``, ``p_value``, ``note``."""
        title = "Brown-Forsythe test" if center == "median" else "Levene's test"
        return self._kept(dimension, title, comparisons.levene(self, dimension, data_frame, center))

    def _kept(self, dimension: Hashable, title: str, table: pd.DataFrame) -> pd.DataFrame:
        """Keep ``table`` for the notebook view (the latest of a title replaces the earlier one)
        and return it."""
        self.comparisons.pop((dimension, title), None)
        self.comparisons[(dimension, title)] = table
        return table

    def summary(self, typ: int = 2) -> pd.DataFrame:
        """One row per effect tested: one-way dimensions, then the effects of every pair.

        Columns: ``test`` ("one-way" or "two-way"), ``effect``, ``dimensions`` (tuple), ``F``,
        ``df``, ``df_resid``, ``p_value``, ``effect_size`` (eta² for one-way, partial eta² for
        two-way), ``imprecise``.
        """
        rows = []
        for dimension in self._one_way:
            table = self.get_one_way(dimension)
            effect = table.iloc[0]
            rows.append(["one-way", dimension, (dimension,), effect["F"], effect["df"],
                         table.iloc[1]["df"], effect["p_value"], effect["eta_sq"],
                         self._one_way[dimension].imprecise])
        for pair, model in self._two_way.items():
            table = model.table(typ)
            for i in range(3):
                effect = table.iloc[i]
                rows.append(["two-way", table.index[i], pair, effect["F"], effect["df"],
                             table.iloc[3]["df"], effect["p_value"], effect["partial_eta_sq"],
                             model.terms.imprecise])
        columns = ["test", "effect", "dimensions", "F", "df", "df_resid", "p_value",
                   "effect_size", "imprecise"]
        return pd.DataFrame(rows, columns=columns)

    def to_dict(self) -> Dict[str, Any]:
        """Plain Python structure of the record: terms and every table (all three types)."""
        return jsonable({
            "measure": self.measure,
            "n": self.n,
            "mean": self.mean,
            "sum_sq": self.sum_sq,
            "one_way": [
                {"dimension": d, "imprecise": t.imprecise,
                 "table": table_records(self.get_one_way(d))}
                for d, t in self._one_way.items()
            ],
            "two_way": [
                dict({"dimension1": p[0], "dimension2": p[1], "imprecise": m.terms.imprecise},
                     **{"type_%d" % typ: table_records(m.table(typ)) for typ in (1, 2, 3)})
                for p, m in self._two_way.items()
            ],
        })

    def _repr_html_(self) -> str:
        """Notebook view: the summary, the notes and every table (names HTML-escaped)."""
        from .display import record_html

        return record_html(self)

    def plot_interaction(self, dimension1: Hashable, dimension2: Hashable) -> Any:
        """Interaction plot of a tested pair: cell means across ``dimension1``'s levels, one
        line per level of ``dimension2`` (either order of a tested pair).

        Returns
        -------
        matplotlib.figure.Figure

        Raises
        ------
        KeyError
            The pair was not tested.
        ImportError
            matplotlib is not installed (``pip install 'Tarnwick[plot]'``).
        """
        from .plots import record_figure

        return record_figure(self, self.measure, dimension1, dimension2)

    def __repr__(self) -> str:
        lines = ["MeasureAnovaResult(%s n=%s, mean=%.6g)" % (
            "" if self.measure is None else "%r," % (self.measure,),
            "%d" % self.n if math.isfinite(self.n) else "?", self.mean)]
        for _, row in self.summary().iterrows():
            label = str(row["effect"])
            if row["test"] == "two-way":
                label = "%s [%s x %s]" % ((label,) + tuple(str(d) for d in row["dimensions"]))
            lines.append("  %-8s %-30s F(%s, %s) = %-10.4g p = %.4g%s" % (
                row["test"], label, _df_text(row["df"]), _df_text(row["df_resid"]),
                row["F"], row["p_value"], "  [imprecise]" if row["imprecise"] else ""))
        return "\n".join(lines)


def _df_text(value: float) -> str:
    return "%d" % value if math.isfinite(value) else "?"


class DFTwoWayAnovaResult(object):
    """The result records of a batch run, one per measure, in the order added.

    A measure name added again replaces the earlier record in look-ups, :meth:`summary` and the
    exports (keeping the name's first position); ``records`` keeps every addition in order.

    Examples
    --------
    >>> from Tarnwick.bi.common import DataFrameHelper
    >>> from Tarnwick.bi.stats.factorpair import TwoWayAnova
    >>> df = spark.createDataFrame(
    ...     [("north", "mon", 12.0), ("north", "tue", 14.5), ("south", "mon", 9.0),
    ...      ("south", "tue", 11.0), ("north", "mon", 13.0), ("south", "tue", 10.5)],
    ...     "region string, day string, sales double")
    >>> results = TwoWayAnova(df, DataFrameHelper(df)).test_all()
    >>> results.measures
    ['sales']
    >>> summary = results.summary(correction="holm")
    >>> summary[["test", "effect"]].values.tolist()[:2]  # the smallest p-values first
    [['two-way', 'region'], ['one-way', 'region']]
    >>> one_way = summary[summary.test == "one-way"].set_index("effect")
    >>> round(float(one_way.loc["region", "F"]), 3)
    10.125
    >>> comparison = results.post_hoc("sales", "region", method="tukey")
    >>> comparison[["group1", "group2", "mean_diff", "reject"]].values.tolist()
    [['north', 'south', -3.0, True]]
    """

    def __init__(self) -> None:
        self.records: List[Tuple[Any, MeasureAnovaResult]] = []
        self._by_name: Dict[Any, MeasureAnovaResult] = {}

    def add_measure_result(self, name: Any, record: MeasureAnovaResult) -> None:
        """File the record of measure ``name``."""
        self.records.append((name, record))
        self._by_name[name] = record
        if isinstance(record, MeasureAnovaResult) and record.measure is None:
            record.measure = name

    @property
    def measures(self) -> List[Any]:
        """Measure names, in the order first added."""
        return list(self._by_name)

    def get_measure_result(self, name: Any) -> MeasureAnovaResult:
        """The (latest) record of measure ``name``; KeyError if there is none."""
        return self._by_name[name]

    def __getitem__(self, name: Any) -> MeasureAnovaResult:
        return self._by_name[name]

    def __len__(self) -> int:
        return len(self._by_name)

    def __iter__(self) -> Iterator[Any]:
        return iter(list(self._by_name))

    def get_one_way(self, measure: Any, dimension: Hashable) -> pd.DataFrame:
        """One-way table of ``measure`` against ``dimension`` (see MeasureAnovaResult).

        Examples
        --------
        >>> from Tarnwick.bi.stats.onescan import one_scan_test_all
        >>> df = spark.createDataFrame([("a", 1.0), ("a", 2.0), ("a", 4.0), ("b", 6.0),
        ...                             ("b", 7.0), ("b", 9.0)], "g string, y double")
        >>> results = one_scan_test_all(df)
        >>> table = results.get_one_way("y", "g")
        >>> table.loc["g", ["sum_sq", "df", "F"]].astype(float).round(3).tolist()
        [37.5, 1.0, 16.071]
        """
        return self._by_name[measure].get_one_way(dimension)

    def get_two_way(self, measure: Any, dimension1: Hashable, dimension2: Hashable,
                    typ: int = 2) -> pd.DataFrame:
        """Two-way table of ``measure`` for the pair (see MeasureAnovaResult)."""
        return self._by_name[measure].get_two_way(dimension1, dimension2, typ)

    def post_hoc(self, measure: Any, dimension: Hashable, method: str = "tukey",
                 alpha: float = 0.05, data_frame: Any = None,
                 pair: Optional[Pair] = None) -> pd.DataFrame:
        """Pairwise comparisons of ``measure`` across ``dimension`` (see MeasureAnovaResult)."""
        return self._by_name[measure].post_hoc(dimension, method, alpha, data_frame, pair)

    def welch(self, measure: Any, dimension: Hashable, data_frame: Any = None) -> pd.DataFrame:
        """Welch's one-way ANOVA of ``measure`` across ``dimension`` (see MeasureAnovaResult).

        Examples
        --------
        >>> from Tarnwick.bi.stats.onescan import one_scan_test_all
        >>> df = spark.createDataFrame([("a", 1.0), ("a", 2.0), ("a", 4.0), ("b", 6.0),
        ...                             ("b", 7.0), ("b", 9.0)], "g string, y double")
        >>> results = one_scan_test_all(df)
        >>> welch = results.welch("y", "g", data_frame=df)
        >>> welch.loc["g", ["F", "df1", "df2"]].astype(float).round(3).tolist()
        [16.071, 1.0, 4.0]
        """
        return self._by_name[measure].welch(dimension, data_frame)

    def levene(self, measure: Any, dimension: Hashable, data_frame: Any,
               center: str = "mean") -> pd.DataFrame:
        """Levene's or Brown–Forsythe's test of ``measure`` across ``dimension``.

        The two levels below are spread alike about their medians:

        Examples
        --------
        >>> from Tarnwick.bi.stats.onescan import one_scan_test_all
        >>> df = spark.createDataFrame([("a", 1.0), ("a", 2.0), ("a", 4.0), ("b", 6.0),
        ...                             ("b", 7.0), ("b", 9.0)], "g string, y double")
        >>> results = one_scan_test_all(df)
        >>> test = results.levene("y", "g", df, center="median")
        >>> test.loc["g", ["F", "p_value"]].astype(float).round(6).tolist()
        [0.0, 1.0]
        """
        return self._by_name[measure].levene(dimension, data_frame, center)

    def summary(self, correction: Optional[str] = None, typ: int = 2) -> pd.DataFrame:
        """All tests of all measures, sorted by p-value (undefined p-values last).

        Parameters
        ----------
        correction : {None, "holm", "bh"}
            Multiple-testing adjustment over all the tests of the summary: Holm's step-down
            (family-wise error) or Benjamini-Hochberg (false discovery rate). Adds the column
            ``p_adjusted``. Tests without a p-value are not counted.
        typ : {1, 2, 3}
            Sum-of-squares type of the two-way effects.

        Returns
        -------
        pandas.DataFrame
            Columns ``measure``, ``test``, ``effect``, ``dimensions``, ``F``, ``df``,
            ``df_resid``, ``p_value``, ``effect_size``, ``imprecise`` (and ``p_adjusted``).
        """
        parts = []
        for name, record in self._by_name.items():
            part = record.summary(typ)
            part.insert(0, "measure", [name] * len(part))
            parts.append(part)
        if parts:
            table = pd.concat(parts, ignore_index=True)
        else:
            table = pd.DataFrame(columns=["measure", "test", "effect", "dimensions", "F", "df",
                                          "df_resid", "p_value", "effect_size", "imprecise"])
        if correction is not None:
            table["p_adjusted"] = anova.adjust_p_values(table["p_value"].astype(float), correction)
        order = np.argsort(table["p_value"].astype(float).fillna(np.inf).to_numpy(),
                           kind="mergesort")
        return table.iloc[order].reset_index(drop=True)

    @property
    def imprecise_tests(self) -> List[Tuple[Any, Tuple]]:
        """(measure, dimensions) of every test marked by the precision guard."""
        return [(name, dims) for name, record in self._by_name.items()
                for dims in record.imprecise_tests]

    def refine(self, spark_df: Any) -> int:
        """Recompute every marked test from Spark's central moments (``var_pop`` per level or
        cell, with means taken relative to the measure's mean): one aggregation per marked test.

        Parameters
        ----------
        spark_df : pyspark.sql.DataFrame, pandas.DataFrame, EmbeddedFrame or str
            The frame the results were computed from.

        Returns
        -------
        int
            The number of tests recomputed.

        Examples
        --------
        >>> from Tarnwick.bi.stats.onescan import one_scan_test_all
        >>> df = spark.createDataFrame([("a", 1.0), ("a", 2.0), ("a", 4.0), ("b", 6.0),
        ...                             ("b", 7.0), ("b", 9.0)], "g string, y double")
        >>> results = one_scan_test_all(df)
        >>> results.imprecise_tests, results.refine(df)  # the one-scan plan marks none
        ([], 0)
        """
        return sum(record.refine(spark_df, name) for name, record in self._by_name.items())

    def to_dict(self) -> Dict[str, Any]:
        """Plain Python structure: ``{"measures": [record.to_dict(), ...]}`` in measure order."""
        measures = []
        for name, record in self._by_name.items():
            entry = record.to_dict()
            entry["measure"] = jsonable(name)
            measures.append(entry)
        return {"measures": measures}

    def to_json(self, **kwargs: Any) -> str:
        """:meth:`to_dict` as JSON (undefined numbers as null); ``kwargs`` go to ``json.dumps``.

        Examples
        --------
        >>> from Tarnwick.bi.stats.onescan import one_scan_test_all
        >>> df = spark.createDataFrame([("a", 1.0), ("a", 2.0), ("a", 4.0), ("b", 6.0),
        ...                             ("b", 7.0), ("b", 9.0)], "g string, y double")
        >>> results = one_scan_test_all(df)
        >>> import json
        >>> exported = json.loads(results.to_json())["measures"][0]
        >>> exported["measure"], exported["n"], exported["one_way"][0]["dimension"]
        ('y', 6.0, 'g')
        """
        return json.dumps(self.to_dict(), allow_nan=False, **kwargs)

    def _repr_html_(self) -> str:
        """Notebook view: the summary of every test, the notes, and each measure's tables in a
        folded section (names HTML-escaped)."""
        from .display import collection_html

        return collection_html(self)

    def plot_interaction(self, measure: Any, dimension1: Hashable, dimension2: Hashable) -> Any:
        """Interaction plot of ``measure`` for a tested pair of dimensions (see
        :meth:`MeasureAnovaResult.plot_interaction`); returns a matplotlib figure."""
        from .plots import record_figure

        return record_figure(self._by_name[measure], measure, dimension1, dimension2)

    def __repr__(self) -> str:
        if not self._by_name:
            return "DFTwoWayAnovaResult(no measures)"
        return "DFTwoWayAnovaResult(%d measures)\n%s" % (
            len(self._by_name), "\n".join(repr(r) for r in self._by_name.values()))
