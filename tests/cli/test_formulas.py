"""``--formula``: linear models from the command line against statsmodels' fit of every row.

Each run calls ``Tarnwick.cli.main`` in this process (joining the test session's Spark) on a
small generated CSV file whose column names Spark would misread (a dot, a space, a back-quote,
a leading ``=``); the oracle is statsmodels on the same file read by pandas under plain names.
"""
import io
import json
import re

import numpy as np
import pandas as pd
import pytest

from support.queries import sql_queries
from Tarnwick.cli import main
from Tarnwick.bi.common.display import format_number

RTOL = 1e-9
#: The data's names, and the plain names the oracle's formulas use for them.
NAMES = {"re.gion": "g", "b": "b", "=c": "c", "unit `price`": "x", "y": "y",
         "sales.usd": "s", "k": "k"}
NAMES_BACK = {plain: name for name, plain in NAMES.items()}
RIGHT = 'Q("re.gion") * b * Q("=c") + Q("unit `price`")'
FORMULAS = ["y ~ " + RIGHT, 'Q("sales.usd") ~ ' + RIGHT]
ORACLE_RIGHT = {1: "g * b * c + x", 2: "g * b * c + x",
                3: "C(g, Sum) * C(b, Sum) * C(c, Sum) + x"}


def _frame(rows=240, seed=5):
    """Three factors (3, 3 and 2 levels, unbalanced), a covariate, two responses with gaps."""
    rng = np.random.RandomState(seed)
    g = rng.choice(["east", "north", "south"], size=rows, p=[0.5, 0.3, 0.2])
    b = rng.choice(["p", "q", "r"], size=rows)
    c = rng.choice(["off", "on"], size=rows)
    x = np.round(rng.normal(5.0, 2.0, rows), 4)
    shift = pd.Series(g).map({"east": 0.0, "north": 1.2, "south": -0.6}).to_numpy()
    y = np.round(3.0 + shift + 0.4 * (b == "q") * (c == "on") + 0.3 * x
                 + rng.normal(0.0, 1.0, rows), 6)
    s = np.round(100.0 - 2.0 * shift + 0.9 * x * (g == "south") + rng.normal(0, 3.0, rows), 6)
    y[rng.rand(rows) < 0.06] = np.nan
    x[rng.rand(rows) < 0.03] = np.nan
    return pd.DataFrame({"re.gion": g, "b": b, "=c": c, "unit `price`": x, "y": y,
                         "sales.usd": s, "k": rng.choice([1, 2, 4], size=rows)})


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    path = tmp_path_factory.mktemp("formulas") / "models.csv"
    _frame().to_csv(str(path), index=False, na_rep="")
    plain = pd.read_csv(str(path)).rename(columns=NAMES)
    return str(path), plain


def _run(capsys, arguments):
    status = main(list(arguments) + ["-q"])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def _oracle(plain, response, typ):
    import statsmodels.formula.api as smf
    from statsmodels.stats.anova import anova_lm

    fit = smf.ols("%s ~ %s" % (response, ORACLE_RIGHT[typ]), data=plain).fit()
    table = anova_lm(fit, typ=typ)
    table.index = [_data_name(name) for name in table.index]
    return fit, table


def _data_name(term):
    """A statsmodels term name under the data's names: ``C(g, Sum):x`` is ``re.gion:unit `price```."""
    parts = [re.sub(r"^C\((\w+), Sum\)$", r"\1", part) for part in term.split(":")]
    return ":".join(NAMES_BACK.get(part, part) for part in parts)


def _oracle_summary(plain, typ, correction):
    """Every term of both models (no residual, no intercept), with the correction over all."""
    from statsmodels.stats.multitest import multipletests

    rows = []
    for response in ("y", "s"):
        _, table = _oracle(plain, response, typ)
        effects = table.drop(["Residual", "Intercept"], errors="ignore")
        rows += [(response, term, p) for term, p in effects["PR(>F)"].items()]
    p = np.array([r[2] for r in rows])
    adjusted = multipletests(p, method={"holm": "holm", "bh": "fdr_bh"}[correction])[1]
    return {(NAMES_BACK[r[0]], r[1]): (r[2], a) for r, a in zip(rows, adjusted)}


def _close(ours, theirs):
    np.testing.assert_allclose(np.asarray(ours, float), np.asarray(theirs, float), rtol=RTOL)


def _check_table(rows, oracle):
    """``rows``: (source, sum_sq, df, F, p_value) as printed; ``oracle``: statsmodels' table."""
    assert [r[0] for r in rows] == list(oracle.index)
    for position, column in enumerate(["sum_sq", "df", "F", "PR(>F)"], 1):
        values = [r[position] for r in rows]
        expected = oracle[column].to_numpy(float)
        finite = np.isfinite(expected)
        _close(np.asarray(values, float)[finite], expected[finite])


@pytest.mark.parametrize("engine", ["spark", "embedded"])
@pytest.mark.parametrize("typ", [1, 2, 3])
def test_json_tables_coefficients_and_summary_equal_statsmodels(data, capsys, typ, engine):
    path, plain = data
    status, out, err = _run(capsys, [path, "--json", "--type", str(typ), "--correction", "bh",
                                     "--engine", engine]
                            + [a for f in FORMULAS for a in ("--formula", f)])
    assert status == 0, err
    document = json.loads(out)
    assert document["run"]["master"].startswith("DuckDB ") == (engine == "embedded")
    assert [m["formula"] for m in document["models"]] == FORMULAS
    for model, response in zip(document["models"], ("y", "s")):
        fit, table = _oracle(plain, response, typ)
        assert model["response"] == NAMES_BACK[response]
        _check_table([(r["source"], r["sum_sq"], r["df"], r["F"], r["p_value"])
                      for r in model["anova"]], table)
        assert model["nobs"] == fit.nobs and model["df_resid"] == fit.df_resid
        assert model["r_squared"] == pytest.approx(fit.rsquared, rel=RTOL)
        if typ != 3:  # the coefficients are the treatment-coded ones whatever the type
            _close([c["estimate"] for c in model["coefficients"]], fit.params)
            _close([c["std_err"] for c in model["coefficients"]], fit.bse)
    expected = _oracle_summary(plain, typ, "bh")
    summary = document["summary"]
    assert len(summary) == len(expected)
    for row in summary:
        p_value, adjusted = expected[(row["response"], row["term"])]
        _close([row["p_value"], row["p_adjusted"]], [p_value, adjusted])
    assert [r["p_value"] for r in summary] == sorted(r["p_value"] for r in summary)


@pytest.mark.parametrize("typ", [1, 3])
def test_csv_is_one_table_of_every_models_rows(data, capsys, typ):
    path, plain = data
    status, out, err = _run(capsys, [path, "--csv", "-t", str(typ)]
                            + [a for f in FORMULAS for a in ("--formula", f)])
    assert status == 0, err
    table = pd.read_csv(io.StringIO(out), keep_default_na=False, na_values=[""])
    for number, response in ((1, "y"), (2, "s")):
        rows = table[table["model"] == number]
        assert set(rows["ss_type"]) == {typ}
        assert set(rows["response"]) == {NAMES_BACK[response]}
        _, oracle = _oracle(plain, response, typ)
        # A source that would start a spreadsheet formula is kept as text.
        oracle.index = ["'" + s if s.startswith("=") else s for s in oracle.index]
        _check_table(list(rows[["source", "sum_sq", "df", "F", "p_value"]]
                          .itertuples(index=False)), oracle)


def test_text_shows_each_table_under_the_data_names(data, capsys):
    path, plain = data
    status, out, err = _run(capsys, [path, "--formula", FORMULAS[0], "--type", "2"])
    assert status == 0, err
    fit, oracle = _oracle(plain, "y", 2)
    assert "Model 1: %s" % FORMULAS[0] in out
    assert "n = %d, df_resid = %d" % (fit.nobs, fit.df_resid) in out
    anova_part = out.split("ANOVA, Type II:\n")[1].split("\n\n")[0].splitlines()[1:]
    for line, (term, row) in zip(anova_part, oracle.iterrows()):
        assert line.startswith("  " + term + " ")
        assert format_number(row["F"], 5) in line.split() or term == "Residual"
    assert len(anova_part) == len(oracle)
    coefficients = out.split("confidence intervals):\n")[1].split("\n\n")[0].splitlines()[1:]
    assert [line.split()[0] for line in coefficients][:3] == ["Intercept", "re.gion[T.north]",
                                                              "re.gion[T.south]"]
    assert 'Q("' not in out.split("Model 1:")[1].split("\n", 1)[1]  # only in the formula line


def _executions(spark):
    return len(sql_queries(spark))


def test_formulas_with_the_same_factors_share_one_scan(data, capsys, spark):
    path, _ = data
    counted = []
    for formulas in ([FORMULAS[0]], FORMULAS, FORMULAS + ["y ~ C(k) + Q(\"=c\")"]):
        before = _executions(spark)
        status, _, err = _run(capsys, [path, "--json", "--engine", "spark"]
                              + [a for f in formulas for a in ("--formula", f)])
        assert status == 0, err
        counted.append(_executions(spark) - before)
    # Reading costs the same each time; a second response adds nothing, other factors a scan.
    assert counted[1] == counted[0] and counted[2] == counted[0] + 1


@pytest.mark.parametrize("arguments, words", [
    (["missing.csv", "--formula", "np.log(y) ~ b"], "is a function of a column"),
    (["missing.csv", "--formula", "y ~ b +"], "cannot read formula 'y ~ b +'"),
    (["missing.csv", "--formula", "y ~ b", "--formula", "y ~ re.gion"], "'re.gion' is not a column"),
    (["{data}", "--formula", "y ~ b + nosuch"], "the data has no column `nosuch`"),
    (["{data}", "--formula", 'y ~ b + Q("unit `price`"):k'], "products of covariates"),
    (["{data}", "--formula", "y ~ b", "-d", "b"], "leave out -d/--dimension"),
    (["{data}", "--formula", "y ~ b", "--post-hoc", "tukey", "--plot", "p"],
     "leave out --post-hoc, --plot"),
])
def test_a_refused_formula_is_one_line_and_exit_status_2(data, capsys, arguments, words):
    """A formula that cannot be read is refused before the input is looked at (missing.csv
    does not exist); one that the data cannot give, before any scan."""
    path, _ = data
    try:
        status = main([a.format(data=path) for a in arguments] + ["-q"])
    except SystemExit as exit:  # the option parser's refusals
        status = exit.code
    err = capsys.readouterr().err.splitlines()
    assert status == 2 and words in err[-1], err
    assert err[-1].startswith("tarnwick-anova: error: ")
    assert len([line for line in err if "error" in line]) == 1
