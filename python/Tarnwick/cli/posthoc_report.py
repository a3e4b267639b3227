"""Which levels differ, for the command line: ``--post-hoc``, ``--welch``, ``--levene``,
``--brown-forsythe``.

:func:`compute` runs what the options ask for once, after the analysis, and keeps the tables in
a :class:`Comparisons`; the text, JSON and CSV outputs each take their part of it from there.
The pairwise comparisons are made for the one-way tests whose F is significant at ``--alpha``
after the run's multiple-testing correction (all of them with ``--post-hoc-all``).

Costs in Spark: Tukey–Kramer none; Games–Howell and Welch's test one aggregation per measure and
dimension for the per-level variances (shared by the two, and none when the level tables carry
them); Levene's and Brown–Forsythe's tests one aggregation each per measure and dimension.
"""
from __future__ import annotations

from typing import Any, Dict, Hashable, List, Optional, Tuple

import pandas as pd

from Tarnwick.bi.common import posthoc
from Tarnwick.bi.common.results import jsonable
from Tarnwick.cli.output import printable

METHOD_NAMES = {"tukey": "Tukey-Kramer", "games-howell": "Games-Howell"}
CENTER_TESTS = {"mean": "levene", "median": "brown-forsythe"}
TEST_NAMES = {"levene": "Levene (deviations from level means)",
              "brown-forsythe": "Brown-Forsythe (deviations from level medians)",
              "welch": "Welch's ANOVA (unequal variances)"}
#: Columns the CSV output gains when any of these tables is asked for.
CSV_EXTRA_COLUMNS = ["df2", "group1", "group2", "mean_diff", "std_error", "q", "ci_lower",
                     "ci_upper", "reject"]

Key = Tuple[Any, Hashable]


def requested(args: Any) -> bool:
    """Whether the options ask for any of the tables of this module."""
    return bool(args.post_hoc or args.welch or args.levene or args.brown_forsythe)


class Comparisons:
    """The comparison and variance tables of a run, by (measure, dimension).

    Attributes
    ----------
    method : str or None
        "tukey" or "games-howell" when comparisons were asked for.
    alpha : float
    tests : dict
        (measure, dimension) -> {test name: one-row table}; test names "welch", "levene",
        "brown-forsythe".
    pairs : dict
        (measure, dimension) -> (comparison table, note); note says why there are no pairs.
    """

    def __init__(self, method: Optional[str], alpha: float) -> None:
        self.method = method
        self.alpha = alpha
        self.tests: Dict[Key, Dict[str, pd.DataFrame]] = {}
        self.pairs: Dict[Key, Tuple[pd.DataFrame, str]] = {}

    # -- text ---------------------------------------------------------------------------------

    def text(self, measure: Any, dimension: Hashable) -> str:
        """The lines shown under the one-way table of ``measure`` by ``dimension``."""
        from Tarnwick.cli.present import format_number, format_table

        lines = []
        tests = self.tests.get((measure, dimension), {})
        if tests:
            rows = pd.concat([table for table in tests.values()], ignore_index=True)
            shown = pd.DataFrame({"F": rows["F"], "df": rows["df1"], "df_resid": rows["df2"],
                                  "p_value": rows["p_value"], "note": rows["note"]})
            shown.index = [TEST_NAMES[name] for name in tests]
            lines.append("  Variances and unequal-variance F:")
            lines.append("\n".join("    " + line for line in format_table(shown).splitlines()))
        if (measure, dimension) in self.pairs:
            table, note = self.pairs[(measure, dimension)]
            title = "  %s comparisons of %s (%s%% simultaneous intervals; mean_diff = group2 - group1)" % (
                METHOD_NAMES[self.method], _printable(dimension), format_number(100 * (1 - self.alpha), 4))
            if note:
                lines.append("%s: not computed: %s" % (title, note))
            else:
                lines.append(title + ":")
                lines.append("\n".join("    " + line for line in
                                       format_table(_shown(table), index=False).splitlines()))
        return "\n".join(lines) + "\n" if lines else ""

    # -- JSON ---------------------------------------------------------------------------------

    def as_dict(self) -> Dict[str, Any]:
        """The JSON output's part: ``post_hoc`` (one entry per comparison table) and
        ``variance_tests`` (one entry per test), each naming its measure and dimension."""
        document: Dict[str, Any] = {}
        if self.method:
            document["post_hoc"] = [
                {"measure": m, "dimension": d, "method": self.method, "alpha": self.alpha,
                 "note": note, "pairs": table.to_dict(orient="records")}
                for (m, d), (table, note) in self.pairs.items()
            ]
        tests = []
        for (m, d), by_name in self.tests.items():
            for name, table in by_name.items():
                row = table.iloc[0]
                tests.append({"measure": m, "dimension": d, "test": name, "F": row["F"],
                              "df1": row["df1"], "df2": row["df2"], "p_value": row["p_value"],
                              "note": row["note"]})
        if tests:
            document["variance_tests"] = tests
        return jsonable(document)

    # -- CSV ----------------------------------------------------------------------------------

    def csv_rows(self, columns: List[str]) -> pd.DataFrame:
        """Rows for the CSV output: a row per test and per compared pair, in ``columns``
        (the ANOVA columns followed by :data:`CSV_EXTRA_COLUMNS`)."""
        rows = []
        for (m, d), by_name in self.tests.items():
            for name, table in by_name.items():
                row = table.iloc[0]
                rows.append({"measure": m, "test": name, "dimension1": d, "source": str(d),
                             "F": row["F"], "df": row["df1"], "df2": row["df2"],
                             "p_value": row["p_value"], "note": row["note"]})
        for (m, d), (table, note) in self.pairs.items():
            if note:
                rows.append({"measure": m, "test": self.method, "dimension1": d,
                             "source": str(d), "note": note})
            for pair in table.to_dict(orient="records"):
                entry = {"measure": m, "test": self.method, "dimension1": d, "source": str(d)}
                entry.update(pair)
                rows.append(entry)
        return pd.DataFrame(rows, columns=columns)


def _shown(table: pd.DataFrame) -> pd.DataFrame:
    """A comparison table with its numbers as readable text, for the text output."""
    from Tarnwick.cli.present import format_number

    shown = pd.DataFrame({"group1": [_printable(v) for v in table["group1"]],
                          "group2": [_printable(v) for v in table["group2"]]})
    shown["mean_diff"] = [format_number(v) for v in table["mean_diff"]]
    shown["std_error"] = [format_number(v) for v in table["std_error"]]
    shown["q"] = [format_number(v, 5) for v in table["q"]]
    shown["df"] = table["df"].to_numpy()
    shown["p_value"] = table["p_value"].to_numpy()
    shown["ci_lower"] = [format_number(v) for v in table["ci_lower"]]
    shown["ci_upper"] = [format_number(v) for v in table["ci_upper"]]
    shown["reject"] = ["" if v is None else ("yes" if v else "no") for v in table["reject"]]
    shown["note"] = list(table["note"])
    return shown


def _printable(level: Any) -> str:
    """A level as text for the terminal: null as "null", control characters escaped."""
    return "null" if level is None else printable(level)


def _significant(result: Any, correction: Optional[str], alpha: float) -> List[Key]:
    """(measure, dimension) of the one-way tests significant after the correction."""
    summary = result.summary(correction=correction)
    p = summary["p_adjusted"] if correction else summary["p_value"]
    chosen = summary[(summary["test"] == "one-way") & (p.astype(float) < alpha)]
    return [(m, dims[0]) for m, dims in zip(chosen["measure"], chosen["dimensions"])]


def compute(result: Any, frame: Any, args: Any, correction: Optional[str]) -> Comparisons:
    """Run the comparisons and tests that ``args`` ask for on the run's ``result``.

    Parameters
    ----------
    result : DFTwoWayAnovaResult
    frame : pyspark.sql.DataFrame
        The frame the run analysed (for the variances and Levene's deviations).
    args : argparse.Namespace
        ``post_hoc``, ``post_hoc_all``, ``welch``, ``levene``, ``brown_forsythe``, ``alpha``.
    correction : {"holm", "bh", None}
        The run's correction, which decides the significant tests.
    """
    found = Comparisons(args.post_hoc, args.alpha)
    everything = [(m, d) for m in result.measures for d in result[m].dimensions]
    variances: Dict[Key, pd.DataFrame] = {}

    def level_statistics(key: Key) -> pd.DataFrame:
        if key not in variances:
            variances[key] = result[key[0]].level_statistics(key[1], frame)
        return variances[key]

    for key in everything:
        record = result[key[0]]
        tests: Dict[str, pd.DataFrame] = {}
        if args.welch:
            tests["welch"] = posthoc.welch_anova(level_statistics(key), label=key[1])
        for center, wanted in (("mean", args.levene), ("median", args.brown_forsythe)):
            if wanted:
                tests[CENTER_TESTS[center]] = record.levene(key[1], frame, center)
        if tests:
            found.tests[key] = tests
    if args.post_hoc:
        chosen = everything if args.post_hoc_all else _significant(result, correction, args.alpha)
        for key in chosen:
            record = result[key[0]]
            if args.post_hoc == "tukey":
                stats = record.level_statistics(key[1])
                table = record.post_hoc(key[1], "tukey", args.alpha)
            else:
                stats = level_statistics(key)
                table = posthoc.games_howell(stats, args.alpha)
            found.pairs[key] = (table, posthoc.statistics_note(stats, need_variances=False))
    return found

