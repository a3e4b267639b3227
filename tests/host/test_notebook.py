"""Notebook views of the results: the HTML (content and escaping) and the interaction figures."""
import html.parser
import math

import numpy as np
import pytest

from host_terms import make_data, pandas_record
from Tarnwick.bi.common.results import DFTwoWayAnovaResult

MEASURE = '<script>alert("m")</script>'
SHIFTED = "big & <b>"
D1 = "a&b<"
D2 = "<i>d</i>"
LEVEL = r"$\frac$"  # a bad mathtext formula: drawn literally or not at all
ALLOWED_TAGS = {"div", "h4", "p", "b", "table", "thead", "tbody", "tr", "th", "td", "ul", "li",
                "details", "summary"}


@pytest.fixture(scope="module")
def frame():
    data = make_data("nulls").rename(columns={"a": D1, "b": D2, "y": MEASURE})
    data[SHIFTED] = data[MEASURE] + 1e9
    data[D1] = data[D1].replace({"a0": LEVEL})
    return data


@pytest.fixture(scope="module")
def results(frame):
    collection = DFTwoWayAnovaResult()
    with pytest.warns(RuntimeWarning):  # the shifted measure is marked imprecise
        for name in (MEASURE, SHIFTED):
            collection.add_measure_result(
                name, pandas_record(frame, name, [D1, D2], [(D1, D2)]))
    return collection


class Page(html.parser.HTMLParser):
    """Tags, and the text of every cell, row by row."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.tags, self.texts, self.rows, self._row, self._cell = set(), [], [], None, None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)
        if tag == "tr":
            self._row = []
        elif tag in ("td", "th"):
            self._cell = ""

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self._row is not None:
            self._row.append(self._cell.strip())
            self._cell = None
        elif tag == "tr":
            self.rows.append(self._row)
            self._row = None

    def handle_data(self, data):
        self.texts.append(data)
        if self._cell is not None:
            self._cell += data


@pytest.mark.parametrize("view", ["collection", "record"])
def test_html_escapes_every_name_and_shows_them_as_text(results, view):
    shown = results._repr_html_() if view == "collection" else results[MEASURE]._repr_html_()
    page = Page(shown)
    assert page.tags <= ALLOWED_TAGS  # no markup from the data
    text = "".join(page.texts)
    for name in (MEASURE, D1, D2):
        assert name in text  # read back exactly, as text
    assert "<script" not in shown and "<i>d" not in shown and "a&b<" not in shown


def rows_starting(page, first):
    return [row for row in page.rows if row and row[0] == first]


def test_collection_html_holds_summary_notes_and_every_table(results):
    page = Page(results._repr_html_())
    text = "".join(page.texts)
    summary = results.summary(correction="holm")
    # The summary table: a header row and one row per effect, in p-value order, with p_adjusted.
    header = next(row for row in page.rows if "p_adjusted" in row)
    assert header[:4] == ["measure", "test", "effect", "dimensions"]
    body = [row for row in page.rows if len(row) == len(header) and row[1] in ("one-way", "two-way")]
    assert len(body) == len(summary) == 2 * (2 + 3)
    assert [row[0] for row in body] == list(summary.measure)
    column = header.index("F")
    shown = [float(row[column]) if row[column] else math.nan for row in body]
    assert shown == pytest.approx(list(summary.F), rel=1e-4, nan_ok=True)
    assert any(math.isnan(f) for f in shown) and not all(math.isnan(f) for f in shown)
    # The note names the marked tests of the shifted measure only, and what to do.
    assert "3 tests marked imprecise" in text and "refine(spark_df)" in text
    assert text.count("marked imprecise") == 2  # the notes, and the measure's own section
    assert SHIFTED + ": 3 tests" in text
    # Per measure, every one-way and two-way table: rows for the effects and the residual.
    assert len(rows_starting(page, "Residual")) == 2 * (2 + 1)
    assert len(rows_starting(page, "%s:%s" % (D1, D2))) == 2
    record = results[MEASURE]
    assert "n = %d" % record.n in text


def test_record_html_numbers_are_readable_and_undefined_ones_blank(results):
    record = results[MEASURE]
    page = Page(record._repr_html_())
    one_way = record.get_one_way(D1)
    header = next(row for row in page.rows if "omega_sq" in row)
    effect = rows_starting(page, D1)[0]
    residual = rows_starting(page, "Residual")[0]
    assert effect[header.index("F")] == "%.5g" % one_way.F[D1]
    assert effect[header.index("df")] == "%d" % one_way.df[D1]
    assert residual[header.index("F")] == ""  # NaN in the table
    assert "note" not in header  # nothing to say for a precise table
    assert "marked imprecise" not in "".join(page.texts)


def test_empty_collection_html():
    assert "no measures" in DFTwoWayAnovaResult()._repr_html_()


def expected_lines(frame, measure, x_dimension, line_dimension):
    """{line level: (x labels, means)} of the cells that have a value, levels sorted, null last."""
    data = frame[[x_dimension, line_dimension, measure]].dropna(subset=[measure])
    data = data.fillna({x_dimension: "(missing)", line_dimension: "(missing)"})
    means = data.groupby([line_dimension, x_dimension])[measure].mean()
    return {line: means[line] for line in means.index.get_level_values(0).unique()}


@pytest.mark.parametrize("order", ["as tested", "swapped"])
def test_interaction_figure_axes_and_lines(frame, results, order):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    first, second = (D1, D2) if order == "as tested" else (D2, D1)
    figure = results.plot_interaction(MEASURE, first, second)
    axes, = figure.axes
    assert axes.get_xlabel() == first
    assert axes.get_ylabel() == "mean of " + MEASURE
    assert axes.get_legend().get_title().get_text() == second
    ticks = [t.get_text().replace("\\$", "$") for t in axes.get_xticklabels()]
    assert ticks[-1] == "(missing)" and ticks[:-1] == sorted(ticks[:-1])
    lines = expected_lines(frame, MEASURE, first, second)
    drawn = {text.get_text().replace("\\$", "$"): line
             for text, line in zip(axes.get_legend().get_texts(), axes.get_lines())}
    assert set(drawn) == {str(k) for k in lines}
    for level, means in lines.items():
        line = drawn[str(level)]
        assert list(line.get_xdata()) == sorted(line.get_xdata())  # left to right
        expected = dict(zip((str(k) for k in means.index), means.to_numpy()))
        got = {ticks[int(x)]: y for x, y in zip(line.get_xdata(), line.get_ydata())}
        assert got == pytest.approx(expected, rel=1e-12)
    figure.canvas.draw()  # the formula-like level is drawn as plain text


def test_interaction_figure_unknown_pair_and_missing_matplotlib(results, run_python):
    with pytest.raises(KeyError, match="tested pairs"):
        results.plot_interaction(MEASURE, D1, "nope")
    completed = run_python(
        """
        import sys
        sys.modules["matplotlib"] = None  # as if not installed
        import pandas as pd
        from Tarnwick.bi.common.results import DFTwoWayAnovaResult, MeasureAnovaResult
        record = MeasureAnovaResult((2, 1.5, 5.0))
        cells = pd.DataFrame([["x", "u", 1, 1.0], ["y", "u", 1, 2.0]],
                             columns=["level1", "level2", "counts", "means"])
        cells["total"] = cells.means * cells.counts
        cells["var5"] = cells.counts * cells.means * cells.means
        record.set_TwoWayAnovaResult("a", "b", cells)
        results = DFTwoWayAnovaResult()
        results.add_measure_result("m", record)
        try:
            results.plot_interaction("m", "a", "b")
        except ImportError as exc:
            print(exc)
        """)
    assert "need matplotlib, which is not installed" in completed.stdout
    assert "pip install 'Tarnwick[plot]'" in completed.stdout


def test_no_cell_with_a_value_gives_an_empty_labelled_figure():
    pytest.importorskip("matplotlib")
    import pandas as pd

    from Tarnwick.bi.common.plots import interaction_figure

    cells = pd.DataFrame([["x", "u", 0, math.nan]], columns=["level1", "level2", "counts", "means"])
    axes, = interaction_figure("m", "a", "b", cells).axes
    assert axes.get_lines() == [] and axes.get_legend() is None
    assert "no cell has a value" in [t.get_text() for t in axes.texts]
    assert np.isfinite(axes.get_xlim()).all()


def test_record_html_shows_the_comparisons_computed_so_far():
    from host_terms import pandas_level_table, with_sumsq_dev
    from Tarnwick.bi.common.results import MeasureAnovaResult

    rng = np.random.RandomState(3)
    levels = np.repeat(["<x>", "y&", "z"], [4, 5, 6])
    frame = __import__("pandas").DataFrame({"g": levels, "y": rng.normal(size=len(levels))})
    record = MeasureAnovaResult((len(frame), frame.y.mean(), float((frame.y ** 2).sum())))
    table = with_sumsq_dev(pandas_level_table(frame, "y", "g"), frame, "y", ["levels"], ["g"])
    record.set_OneWayAnovaResult("g", table)
    before = Page(record._repr_html_())
    assert not any("comparisons" in t for t in before.texts)

    record.post_hoc("g", method="tukey", alpha=0.1)
    record.post_hoc("g", method="tukey", alpha=0.1)  # the same table again is shown once
    record.welch("g")
    page = Page(record._repr_html_())
    titles = [t for t in page.texts if "comparisons" in t or "Welch" in t]
    assert titles == ["Tukey-Kramer comparisons, 90% intervals", "Welch's ANOVA"]
    pairs = [row[:2] for row in page.rows if row and row[0] in ("<x>", "y&")]
    assert sorted(pairs) == [["<x>", "y&"], ["<x>", "z"], ["y&", "z"]]
    assert page.tags <= ALLOWED_TAGS | {"i"}
