"""Linear models from a formula against statsmodels' fit of every row, and a row-level
least-squares oracle for rank-deficient designs."""
import contextlib
import io
import os
import re

import numpy as np
import pandas as pd
import patsy
import pytest

from test_one_scan import _sql_queries
from Tarnwick.bi.stats import linear_model, models

RTOL = 1e-9
SCHEMA = "a string, b string, c string, d string, k int, x double, z double, y double"


def _data(seed=11, missing=False):
    """An unbalanced design: cell sizes 1 to 5, a numeric k used as a factor, covariates x, z."""
    rng = np.random.RandomState(seed)
    rows = []
    for a in range(3):
        for b in range(4):
            for c in range(3):
                for d in range(2):
                    for _ in range(rng.randint(1, 6)):
                        x, z = rng.normal(2.0, 1.0), rng.normal(-1.0, 2.0)
                        k = int(rng.choice([1, 2, 5]))
                        y = (a - 0.4 * b + 0.3 * c * d + 0.5 * x - 0.2 * z + 0.25 * k
                             + 0.3 * a * x + rng.normal())
                        rows.append(("a%d" % a, "b%d" % b, "c%d" % c, "d%d" % d, k, x, z, y))
    frame = pd.DataFrame(rows, columns=["a", "b", "c", "d", "k", "x", "z", "y"])
    if missing:
        n = len(frame)
        frame.loc[rng.rand(n) < 0.08, "y"] = np.nan
        frame.loc[rng.rand(n) < 0.08, "x"] = np.nan
        frame.loc[3, ["x", "y"]] = [2.0, np.inf]  # a complete row but for an infinite response
    return frame


def _spark(spark, frame, nulls=()):
    records = [tuple(None if (name in nulls and isinstance(v, str) and v.endswith("~"))
                     else v for name, v in zip(frame.columns, row))
               for row in frame.itertuples(index=False)]
    return spark.createDataFrame(records, SCHEMA).repartition(3)


@pytest.fixture(scope="module")
def design(spark):
    frame = _data()
    return frame, _spark(spark, frame)


_FITS = {}


def _fit(df, formula):
    key = (id(df), formula)
    if key not in _FITS:
        _FITS[key] = linear_model(df, formula)
    return _FITS[key]


def _sum_coded(formula):
    """The formula with every factor sum-to-zero coded (statsmodels' Type III convention)."""
    text = re.sub(r"\b([abcde])\b", r"C(\1, Sum)", re.sub(r"C\((\w+)\)", r"\1@", formula))
    return re.sub(r"(\w+)@", r"C(\1, Sum)", text)


def _our_name(name):
    name = re.sub(r"C\(([abcde]), Sum\)", r"\1", name)
    return re.sub(r"C\((\w+), Sum\)", r"C(\1)", name)


def _oracle(frame, formula, typ):
    import statsmodels.formula.api as smf
    from statsmodels.stats.anova import anova_lm

    text = _sum_coded(formula) if typ == 3 else formula
    table = anova_lm(smf.ols(text, frame).fit(), typ=typ)
    table.index = [_our_name(n) for n in table.index]
    return table


def _assert_table(ours, oracle):
    assert list(ours.index) == list(oracle.index)
    for column, theirs in (("sum_sq", "sum_sq"), ("df", "df"), ("F", "F"),
                           ("p_value", "PR(>F)")):
        np.testing.assert_allclose(ours[column].to_numpy(float), oracle[theirs].to_numpy(float),
                                   rtol=RTOL, equal_nan=True, err_msg=column)


FORMULAS = [
    "y ~ a*b*c",                  # three factors with every interaction
    "y ~ a*b*c*d",                # four factors, some cells with one row
    "y ~ (a+b+c)**2 + x",         # two-way interactions and one covariate
    "y ~ a*b + x + z",            # two covariates
    "y ~ a*x + b",                # a factor x covariate interaction
    "y ~ C(k)*a + x",             # a numeric column as a factor
    "y ~ x + z - 1",              # no constant: the response's shift matters
]


def _on(engine, frame, df):
    """The data as ``engine`` takes it: the Spark frame, or the pandas frame (DuckDB)."""
    return df if engine == "spark" else frame


@pytest.mark.parametrize("engine", ["spark", "embedded"])
@pytest.mark.parametrize("typ", [1, 2, 3])
@pytest.mark.parametrize("formula", FORMULAS)
def test_tables_equal_statsmodels(design, formula, typ, engine):
    frame, df = design
    _assert_table(_fit(_on(engine, frame, df), formula).anova(typ), _oracle(frame, formula, typ))


@pytest.mark.parametrize("formula", ["y ~ a*b + x + z", "y ~ C(k)*a + x", "y ~ a*x + b"])
def test_coefficients_and_fit_statistics_equal_statsmodels(design, formula):
    import statsmodels.formula.api as smf

    frame, df = design
    fit = smf.ols(formula, frame).fit()
    result = _fit(df, formula)
    table = result.coefficients(alpha=0.1)
    assert list(table.index) == list(fit.params.index)
    interval = fit.conf_int(alpha=0.1)
    for ours, theirs in ((table.estimate, fit.params), (table.std_err, fit.bse),
                         (table.t, fit.tvalues), (table.p_value, fit.pvalues),
                         (table.ci_lower, interval[0]), (table.ci_upper, interval[1])):
        np.testing.assert_allclose(ours.to_numpy(float), theirs.to_numpy(float), rtol=1e-8)
    assert (result.nobs, result.df_resid) == (fit.nobs, fit.df_resid)
    assert result.r_squared == pytest.approx(fit.rsquared, rel=RTOL)


@pytest.mark.parametrize("engine", ["spark", "embedded"])
def test_missing_values_leave_rows_out_and_a_null_level_is_a_level(spark, engine):
    """Rows with a missing response or covariate drop out of that model; a null factor value
    is a level of its own, last: the same tables as naming it with a level that sorts last."""
    frame = _data(seed=5, missing=True)
    frame.loc[frame.index % 7 == 0, "b"] = "b~"  # "~" sorts after the other levels
    df = _spark(spark, frame, nulls=("b",))
    assert df.filter("b IS NULL").count() > 0
    with_nulls = frame.assign(b=frame.b.where(frame.b != "b~", None))
    kept = frame.replace([np.inf], np.nan).dropna(subset=["y", "x"])
    y_model, z_model = linear_model(_on(engine, with_nulls, df), ["y ~ a*b + x", "z ~ a*b"])
    for typ in (1, 2, 3):
        _assert_table(y_model.anova(typ), _oracle(kept, "y ~ a*b + x", typ))
        _assert_table(z_model.anova(typ), _oracle(frame, "z ~ a*b", typ))
    assert y_model.nobs == len(kept) and z_model.nobs == len(frame)
    assert [i for i in y_model.coefficients().index if "null" in i] == ["b[T.null]",
                                                                         "a[T.a1]:b[T.null]",
                                                                         "a[T.a2]:b[T.null]"]
    assert y_model.cells.b.isnull().any()


# -- rank-deficient designs: a row-level least-squares oracle -----------------------------------

def _row_rss(matrix, y):
    beta, _, rank, _ = np.linalg.lstsq(matrix, y, rcond=None)
    residual = y - matrix.dot(beta)
    return float(residual.dot(residual)), int(rank)


def _row_level(frame, formula, typ):
    """(SS, df) per term from least squares on every row of a patsy design."""
    text = _sum_coded(formula) if typ == 3 else formula
    y, matrix = patsy.dmatrices(text, frame, return_type="dataframe")
    info = matrix.design_info
    terms = list(info.terms)
    x, y = matrix.to_numpy(), y.to_numpy()[:, 0]

    def rss(chosen):
        columns = [i for t in chosen for i in range(info.slice(t).start, info.slice(t).stop)]
        return _row_rss(x[:, columns], y) if columns else (float(y.dot(y)), 0)

    out = {}
    for i, term in enumerate(terms):
        if typ == 1:
            small, large = terms[:i], terms[:i + 1]
        elif typ == 2:
            small = [t for t in terms if t is not term
                     and not set(term.factors) < set(t.factors)]
            large = small + [term]
        else:
            small, large = [t for t in terms if t is not term], terms
        if typ != 3 and not term.factors:
            continue
        (r0, k0), (r1, k1) = rss(small), rss(large)
        out[_our_name(term.name())] = (r0 - r1 if k1 > k0 else 0.0, float(k1 - k0))
    full_rss, rank = rss(terms)
    return out, full_rss, float(len(y) - rank)


def _deficient(name):
    frame = _data(seed=2)
    if name == "empty cells":
        frame = frame[~(((frame.a == "a0") & (frame.b == "b1"))
                        | ((frame.b == "b3") & (frame.c == "c2")))]
        formula = "y ~ a*b*c"
    elif name == "aliased factors":  # e renames the levels of a
        frame = frame.assign(e=frame.a.str.replace("a", "e"))
        formula = "y ~ a + e + b"
    else:  # w is the same in every row of a cell of a x b
        frame = frame.assign(w=frame.a.str[1:].astype(float) * 2 + frame.b.str[1:].astype(float))
        formula = "y ~ a*b + w"
    return frame.reset_index(drop=True), formula


@pytest.mark.parametrize("case, marked", [
    # Type III: the observed cells are fitted exactly without these terms' columns.
    ("empty cells", {3: ["Intercept", "a", "c"]}),
    ("aliased factors", {1: ["e"], 2: ["a", "e"], 3: ["a", "e"]}),
    ("constant covariate", {1: ["w"], 2: ["w"], 3: ["Intercept", "w"]}),  # w = 2a + b
])
def test_rank_deficient_designs_get_the_rank_and_marks(spark, case, marked):
    frame, formula = _deficient(case)
    df = spark.createDataFrame(frame)
    result = linear_model(df, formula)
    for typ in (1, 2, 3):
        table = result.anova(typ)
        expected, full_rss, df_resid = _row_level(frame, formula, typ)
        assert list(table.index[:-1]) == list(expected)
        for term, (ss, dof) in expected.items():
            assert table.loc[term, "df"] == dof, (typ, term)
            assert table.loc[term, "sum_sq"] == pytest.approx(ss, rel=1e-8, abs=1e-8)
        assert table.iloc[-1][["sum_sq", "df"]].tolist() == pytest.approx([full_rss, df_resid])
        not_estimable = table.index[table.note == "not estimable"].tolist()
        assert not_estimable == marked.get(typ, []), typ
        assert table.loc[not_estimable, "F"].isnull().all()
        assert table.loc[[t for t in table.index[:-1] if t not in not_estimable], "F"].notnull().all()


def test_empty_cells_lose_the_interaction_degrees_of_freedom(spark):
    frame, formula = _deficient("empty cells")
    table = linear_model(spark.createDataFrame(frame), formula).anova(2)
    assert table.loc["a:b", "df"] == 5  # 6 for the full grid, one cell of a x b missing
    assert table.loc["a:b:c", "df"] < 12


@pytest.mark.parametrize("typ", [1, 2, 3])
def test_no_variation_within_cells_gives_no_f_from_rounding(spark, typ):
    """y depends on g alone, so g:h and the residual are zero in exact arithmetic."""
    rows = [("g%d" % (i % 3), "h%d" % (i % 2), 1.0 + 0.1 * (i % 3)) for i in range(90)]
    frame = spark.createDataFrame(rows, "g string, h string, y double")
    table = linear_model(frame, "y ~ g * h").anova(typ)
    assert table.loc["g:h", "sum_sq"] == 0.0
    assert table.loc["Residual", "sum_sq"] == 0.0
    assert table["F"].isna().all() and table["p_value"].isna().all()
    assert "no variation" in table.loc["Residual", "note"]


def test_a_response_near_1e9_gives_the_tables_without_the_offset(spark):
    """Values are multiples of 1/8, exactly representable with and without the offset."""
    frame = _data(seed=9)
    frame["y"] = np.round(frame.y * 8) / 8
    frame["x"] = np.round(frame.x * 8) / 8
    shifted = frame.assign(y=frame.y + 1e9)
    formula = "y ~ a*b*c + x"
    plain = linear_model(_spark(spark, frame), formula)
    offset = linear_model(_spark(spark, shifted), formula)
    for typ in (1, 2, 3):
        a, b = plain.anova(typ).drop(index="Intercept", errors="ignore"), offset.anova(typ).drop(
            index="Intercept", errors="ignore")
        for column in ("sum_sq", "df", "F", "p_value"):
            np.testing.assert_allclose(b[column].to_numpy(float), a[column].to_numpy(float),
                                       rtol=RTOL, equal_nan=True)
    slopes = plain.coefficients().estimate.drop("Intercept")
    np.testing.assert_allclose(offset.coefficients().estimate.drop("Intercept"), slopes,
                               rtol=1e-8, atol=1e-10)


@pytest.mark.parametrize("formulas", [["y ~ a*b*c + x"], ["y ~ a*b + x", "z ~ a*b + x"]])
def test_a_fit_is_one_spark_query(design, spark, formulas):
    _, df = design
    before = set(_sql_queries(spark))
    results = linear_model(df, formulas)
    assert len(set(_sql_queries(spark)) - before) == 1
    assert [r.formula for r in results] == formulas


# -- refusals before Spark runs -----------------------------------------------------------------

class _SchemaOnly(object):
    """A frame that has a schema and nothing else: any Spark work would fail."""

    def __init__(self):
        from pyspark.sql import types

        kinds = {"string": types.StringType(), "int": types.IntegerType(),
                 "double": types.DoubleType(), "boolean": types.BooleanType()}
        fields = [field.split() for field in (SCHEMA + ", s string, flag boolean").split(", ")]
        self.schema = types.StructType([types.StructField(name, kinds[kind])
                                        for name, kind in fields])


@pytest.mark.parametrize("formula, words", [
    ("np.log(y) ~ a", "function of a column"),
    ("y ~ np.exp(x) + a", "np.exp(x)"),
    ("y ~ a + x:z", "products of covariates"),
    ("y ~ a + y", "also on the right"),
    ("y ~ a + nosuch", "no column `nosuch`"),
    ("s ~ a", "not numeric"),
    ("y + z ~ a", "exactly one response"),
    ("y ~ a + flag", "C(flag)"),
    ("y ~ C(k) + k", "both as a factor and as a covariate"),
    ("y ~ a +", "cannot read formula"),
])
@pytest.mark.parametrize("engine", ["spark", "embedded"])
def test_what_per_cell_moments_cannot_fit_is_refused_before_spark(formula, words, engine):
    if engine == "spark":
        data = _SchemaOnly()
    else:  # the same columns in a pandas frame: no scan runs before the refusal either
        data = _data().assign(s="text", flag=True)
    with pytest.raises(models.ModelError) as error:
        linear_model(data, formula)
    assert words in str(error.value) and "\n" not in str(error.value)


def test_a_design_too_wide_is_refused_with_its_width(design):
    with pytest.raises(models.ModelError, match=r" 2499 columns, more than the 1000 "):
        linear_model(_SchemaOnly(), "y ~ a*b", levels={"a": 51, "b": 49})
    _, df = design
    with pytest.raises(models.ModelError, match=r" 12 columns, more than the 11 "):
        linear_model(df, "y ~ a*b", max_columns=11)
    with pytest.raises(models.ModelError, match=r"more than 5 cells"):
        linear_model(df, "y ~ a*b", max_cells=5)


def test_exports_and_notebook_view(design):
    _, df = design
    result = _fit(df, "y ~ a*x + b")
    exported = result.to_dict()
    assert [row["source"] for row in exported["anova"]["type_3"]] == [
        "Intercept", "a", "b", "x", "a:x", "Residual"]
    assert exported["coefficients"][0]["estimate"] == pytest.approx(
        result.coefficients().estimate.iloc[0])
    html = result._repr_html_()
    assert "a:x" in html and "a[T.a1]:x" in html


def test_readme_example_gives_the_analysers_two_way_tables(spark):
    """The README's model of the first example's data against the analyser's own tables."""
    readme = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "README.md")
    with open(readme) as handle:
        blocks = re.findall(r"```python\n(.*?)```", handle.read(), re.S)
    analysis = [b for b in blocks if "TwoWayAnova(" in b and "local[2]" in b]
    model = [b for b in blocks if "linear_model(" in b]
    assert len(analysis) == 1 and len(model) == 1
    namespace = {}
    with contextlib.redirect_stdout(io.StringIO()):
        exec(compile(analysis[0] + model[0], "README.md", "exec"), namespace)
    results, result, both = namespace["results"], namespace["result"], namespace["both"]
    assert len(both) == 2
    for typ in (1, 2, 3):
        ours = result.anova(typ).drop(index="Intercept", errors="ignore")
        theirs = results.get_two_way("sales", "region", "day", typ=typ)
        assert list(ours.index) == list(theirs.index)
        for column in ("sum_sq", "df", "F", "p_value", "partial_eta_sq"):
            np.testing.assert_allclose(ours[column].to_numpy(float),
                                       theirs[column].to_numpy(float), rtol=1e-9)


def test_an_intercept_alone_leaves_the_total_sum_of_squares(design):
    frame, df = design
    table = linear_model(df, "y ~ 1").anova(2)
    assert list(table.index) == ["Residual"]
    assert table.df.iloc[0] == len(frame) - 1
    assert table.sum_sq.iloc[0] == pytest.approx(frame.y.var() * (len(frame) - 1), rel=RTOL)


@pytest.mark.parametrize("engine", ["spark", "embedded"])
def test_columns_with_odd_names_are_only_names(design, engine):
    """A dot, a space, double quotes and a back-quote in column names reach the engine only
    as names."""
    frame, df = design
    names = {"a": "re.gion", "x": "unit `price`", "y": 'the "y"'}
    if engine == "spark":
        odd = df
        for old, new in names.items():
            odd = odd.withColumnRenamed(old, new)
    else:
        odd = frame.rename(columns=names)
    plain = _fit(df, "y ~ a*x")
    renamed = linear_model(odd, """Q('the "y"') ~ Q("re.gion") * Q("unit `price`")""")
    for typ in (1, 2, 3):
        ours, theirs = renamed.anova(typ), plain.anova(typ)
        assert ours.index[-2] == 'Q("re.gion"):Q("unit `price`")'
        np.testing.assert_allclose(ours.sum_sq.to_numpy(float), theirs.sum_sq.to_numpy(float),
                                   rtol=RTOL)


def test_the_entry_is_imported_on_first_use(run_python):
    completed = run_python("""
        import sys
        import Tarnwick.bi.stats as stats
        print(sorted(m for m in ("pandas", "patsy", "Tarnwick.bi.stats.models") if m in sys.modules))
        from Tarnwick.bi.stats import linear_model, factorpair
        print(linear_model.__module__, "patsy" in sys.modules, hasattr(factorpair, "TwoWayAnova"))
    """)
    assert completed.stdout.split("\n")[:2] == ["[]", "Tarnwick.bi.stats.models False True"]
