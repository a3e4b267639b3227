"""The command line's comparisons and variance tests: options, the three outputs, a real run."""
import argparse
import io
import json
import math
import os
import sys

import numpy as np
import pandas as pd
import pytest
from scipy import stats
from statsmodels.stats.multicomp import pairwise_tukeyhsd
from statsmodels.stats.oneway import anova_oneway

from cli_helpers import run_cli
from Tarnwick.bi.common.results import DFTwoWayAnovaResult
from Tarnwick.cli import analysis, options, present

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "host"))
from host_terms import pandas_level_table, pandas_record, with_sumsq_dev  # noqa: E402


@pytest.mark.parametrize("argv, message", [
    (["--post-hoc-all"], "--post-hoc-all needs --post-hoc"),
    (["--post-hoc", "scheffe"], "invalid choice"),
    (["--post-hoc", "tukey", "--alpha", "0"], "between 0 and 1"),
    (["--alpha", "1.5"], "between 0 and 1"),
    (["--alpha", "x"], "not a number"),
])
def test_bad_comparison_options_exit_2(argv, message, capsys):
    with pytest.raises(SystemExit) as stop:
        options.parse_args(argv)
    assert stop.value.code == 2
    assert message in capsys.readouterr().err


def frame_of(seed=4):
    """Dimension g with a clear effect and unequal spreads (a level of two values), h without."""
    rng = np.random.RandomState(seed)
    sizes = {"g0": 9, "g1": 2, "g2": 12, "g3": 7}
    rows = []
    for i, (level, size) in enumerate(sizes.items()):
        for v in rng.normal(3.0 * i, 0.5 + i, size):
            rows.append((level, "h%d" % rng.randint(3), float(v)))
    return pd.DataFrame(rows, columns=["g", "h", "y"])


def one_scan_results(frame):
    record = pandas_record(frame, "y")
    for d in ("g", "h"):
        record.set_OneWayAnovaResult(d, with_sumsq_dev(pandas_level_table(frame, "y", d), frame,
                                                       "y", ["levels"], [d]))
    results = DFTwoWayAnovaResult()
    results.add_measure_result("y", record)
    return results


def arguments(**given):
    defaults = dict(post_hoc=None, post_hoc_all=False, welch=False, levene=False,
                    brown_forsythe=False, alpha=0.05)
    defaults.update(given)
    return argparse.Namespace(**defaults)


def context(extras):
    return present.Context(source="test", rows=30, measures=["y"], dimensions=["g", "h"],
                          levels={"g": 4, "h": 3}, bound=8, ss_type=2, master="local", tests=2,
                          elapsed=1.0, extras=extras)


@pytest.mark.parametrize("method", ["tukey", "games-howell"])
@pytest.mark.parametrize("everything", [False, True])
def test_comparisons_go_to_the_significant_tests_and_to_every_output(method, everything):
    frame = frame_of()
    results = one_scan_results(frame)
    extras = analysis.compare(results, None, arguments(post_hoc=method, welch=True,
                                                             post_hoc_all=everything), "holm")
    summary = results.summary(correction="holm")
    significant = {d[0] for d, p in zip(summary.dimensions, summary.p_adjusted) if p < 0.05}
    assert significant == {"g"}  # the data are made so: h has no effect
    compared = {"g", "h"} if everything else significant
    assert {d for _, d in extras.pairs} == compared

    table, note = extras.pairs[("y", "g")]
    assert note == ""
    if method == "tukey":
        expected = pairwise_tukeyhsd(frame.y, frame.g)
        np.testing.assert_allclose(table.p_value, expected.pvalues, rtol=1e-6)
    welch = anova_oneway(frame.y, frame.g, use_var="unequal")
    np.testing.assert_allclose(extras.tests[("y", "g")]["welch"].F, welch.statistic, rtol=1e-9)

    ctx = context(extras)
    document = json.loads(present.to_json(results, ctx))
    entry = [e for e in document["post_hoc"] if e["dimension"] == "g"][0]
    assert entry["method"] == method
    np.testing.assert_allclose([p["ci_lower"] for p in entry["pairs"]], table.ci_lower, rtol=1e-12)
    assert [t["test"] for t in document["variance_tests"]] == ["welch", "welch"]

    csv = pd.read_csv(io.StringIO(present.to_csv(results, ctx)), keep_default_na=False,
                      na_values=[""])
    rows = csv[csv.test == method]
    assert len(rows) == sum({"g": 6, "h": 3}[d] for d in compared)  # k(k - 1)/2 pairs
    g_rows = rows[rows.dimension1 == "g"]
    np.testing.assert_allclose(g_rows.mean_diff, table.mean_diff, rtol=1e-12)
    assert list(g_rows.group1 + "-" + g_rows.group2) == list(table.group1 + "-" + table.group2)
    assert len(csv[csv.test == "welch"]) == 2
    np.testing.assert_allclose(csv[csv.test == "welch"].df2.iloc[0], welch.df[1], rtol=1e-9)

    text = present.to_text(results, ctx)
    title = "%s comparisons of g (95%% simultaneous intervals" % present.METHOD_NAMES[method]
    assert text.count(title) == 1
    assert text.index("One-way: g") < text.index(title) < text.index("One-way: h")
    assert ("comparisons of h" in text) == everything


def test_a_single_level_is_reported_in_the_text():
    frame = frame_of()
    frame["one"] = "only"
    record = pandas_record(frame, "y", ["one"])
    results = DFTwoWayAnovaResult()
    results.add_measure_result("y", record)
    extras = analysis.compare(results, None, arguments(post_hoc="tukey",
                                                             post_hoc_all=True), None)
    ctx = present.Context(source="test", rows=30, measures=["y"], dimensions=["one"],
                         levels={"one": 1}, bound=8, ss_type=2, master="local", tests=1,
                         elapsed=1.0, extras=extras)
    assert ("Tukey-Kramer comparisons of one (95% simultaneous intervals; mean_diff = group2 - "
            "group1): not computed: 1 level: nothing to compare") in present.to_text(results, ctx)


def test_default_outputs_keep_their_shape():
    results = one_scan_results(frame_of())
    ctx = context(None)
    assert list(pd.read_csv(io.StringIO(present.to_csv(results, ctx))).columns) == \
        present.CSV_COLUMNS
    assert "post_hoc" not in json.loads(present.to_json(results, ctx))


def test_command_line_run_matches_scipy_and_statsmodels(data_files, tmp_path):
    out = tmp_path / "result.json"
    completed = run_cli([data_files["csv"], "-m", "y", "-d", "a,c", "--json", "-o", out, "-q",
                         "--post-hoc", "games-howell", "--post-hoc-all", "--welch", "--levene",
                         "--brown-forsythe", "--alpha", "0.1"])
    assert completed.returncode == 0, completed.stderr
    document = json.loads(out.read_text())
    frame = data_files["frame"].dropna(subset=["y"])
    for dimension in ("a", "c"):
        groups = [g.y.to_numpy() for _, g in frame.groupby(dimension)]
        tests = {t["test"]: t for t in document["variance_tests"] if t["dimension"] == dimension}
        for name, center in (("levene", "mean"), ("brown-forsythe", "median")):
            expected = stats.levene(*groups, center=center)
            assert math.isclose(tests[name]["F"], expected.statistic, rel_tol=1e-9)
            assert math.isclose(tests[name]["p_value"], expected.pvalue, rel_tol=1e-9)
        welch = anova_oneway(frame.y, frame[dimension], use_var="unequal")
        assert math.isclose(tests["welch"]["p_value"], welch.pvalue, rel_tol=1e-6)
        entry = [e for e in document["post_hoc"] if e["dimension"] == dimension][0]
        assert entry["alpha"] == 0.1 and entry["method"] == "games-howell"
        names = sorted(frame[dimension].unique())
        assert [(p["group1"], p["group2"]) for p in entry["pairs"]] == [
            (names[i], names[j]) for i in range(len(names)) for j in range(i + 1, len(names))]
        for pair in entry["pairs"]:
            x = frame.y[frame[dimension] == pair["group1"]]
            y = frame.y[frame[dimension] == pair["group2"]]
            assert math.isclose(pair["mean_diff"], y.mean() - x.mean(), rel_tol=1e-9)
            se = math.sqrt(x.var() / len(x) + y.var() / len(y))
            assert math.isclose(pair["std_error"], se, rel_tol=1e-9)
            assert pair["ci_lower"] < pair["mean_diff"] < pair["ci_upper"]


def test_levels_reach_the_terminal_as_text_only():
    frame = pd.DataFrame({"g": ["a\nb"] * 3 + ["\x1b[2Jx"] * 3 + ["plain"] * 3,
                          "y": [1.0, 2.0, 3.5, 7.0, 8.0, 6.5, 4.0, 4.5, 3.0]})
    results = DFTwoWayAnovaResult()
    results.add_measure_result("y", pandas_record(frame, "y", ["g"]))
    extras = analysis.compare(results, None, arguments(post_hoc="tukey",
                                                             post_hoc_all=True), None)
    text = present.comparisons_text(extras, "y", "g")
    assert "\x1b" not in text and "a\nb" not in text
    assert "a\\x0ab" in text and "\\x1b[2Jx" in text


@pytest.mark.parametrize("alpha", ["0.05", b"0.05", None, 0.0, 1.0, float("nan")])
@pytest.mark.parametrize("method", ["tukey", "games-howell"])
def test_a_bad_alpha_is_a_value_error(alpha, method):
    results = one_scan_results(frame_of())
    with pytest.raises(ValueError, match="alpha"):
        results.post_hoc("y", "g", method=method, alpha=alpha)


@pytest.mark.parametrize("output", ["csv", "text"])
def test_control_characters_of_levels_are_escaped_in_every_text_output(output):
    levels = ["\x1b[31mred", "so\x01h", "plain"]
    frame = pd.DataFrame({"g": [level for level in levels for _ in range(3)],
                          "y": [1.0, 2.0, 3.5, 7.0, 8.0, 6.5, 4.0, 4.5, 3.0]})
    results = DFTwoWayAnovaResult()
    results.add_measure_result("y", pandas_record(frame, "y", ["g"]))
    extras = analysis.compare(results, None, arguments(post_hoc="tukey", post_hoc_all=True), None)
    ctx = present.Context(source="test", rows=9, measures=["y"], dimensions=["g"],
                          levels={"g": 3}, bound=8, ss_type=2, master="local", tests=2,
                          elapsed=1.0, extras=extras)
    shown = present.to_csv(results, ctx) if output == "csv" else present.to_text(results, ctx)
    assert "\x1b" not in shown and "\x01" not in shown
    assert "\\x1b[31mred" in shown and "so\\x01h" in shown
    if output == "csv":  # still one row per compared pair, each naming its levels
        table = pd.read_csv(io.StringIO(shown))
        pairs = table[table.test == "tukey"]
        assert set(pairs.group1) | set(pairs.group2) == {"\\x1b[31mred", "so\\x01h", "plain"}
