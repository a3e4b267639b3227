"""The analyser over a real local Spark session: the worked examples of the measure row, the
level tables, the cell table, nulls, and a batch run end to end with the host package."""
import math
import warnings

import pytest

from support import standins

SIX_ROWS = [("x", "p", 1.0), ("x", "p", 2.0), ("x", "p", 3.0), ("x", "q", 4.0),
            ("y", "p", 10.0), ("y", "p", 20.0)]
SCHEMA = "A string, B string, measure double"


@pytest.fixture
def recorded(fp, monkeypatch):
    """Result classes that keep what they receive, patched into the module's globals."""
    records = []

    def record(row):
        made = standins.KeepingResult(row)
        records.append(made)
        return made

    monkeypatch.setattr(fp, "MeasureAnovaResult", record)
    monkeypatch.setattr(fp, "DFTwoWayAnovaResult", standins.RecordingCollection)
    return records


def analyser_over(fp, spark, rows, schema=SCHEMA):
    from Tarnwick.bi.common import DataFrameHelper

    frame = spark.createDataFrame(rows, schema)
    analyser = fp.TwoWayAnova(frame, DataFrameHelper(frame))
    analyser._anova_result = standins.KeepingResult()
    return analyser


def rows_of(table):
    """The table's rows as a set of tuples, a null mean (NaN) written as None."""
    def value(v):
        return None if isinstance(v, float) and math.isnan(v) else v
    return {tuple(value(v) for v in row) for row in table.itertuples(index=False)}


@pytest.mark.parametrize("method, dimensions", [
    ("test_anova", ("A",)),
    ("test_anova_interaction", ("A", "B")),
])
def test_table_columns_are_added_without_warnings(fp, spark, method, dimensions):
    """pandas counts a frame's references to spot chained assignment: the analyser's column
    assignments must hold the table as the interpreter would, or every test warns."""
    analyser = analyser_over(fp, spark, SIX_ROWS)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        getattr(analyser, method)("measure", *dimensions)
    # (py4j's unclosed-socket ResourceWarnings are the gateway's business, not the analyser's)
    assert [str(w.message).splitlines()[0] for w in caught
            if not issubclass(w.category, ResourceWarning)] == []


def test_measure_row(fp, spark, recorded):
    analyser = analyser_over(fp, spark, [(1.0,), (2.0,), (3.0,), (None,)], "m double")
    analyser.test_all(["m"], [])
    assert tuple(recorded[0].row) == (3, 2.0, 14.0)


@pytest.mark.parametrize("dimension, expected", [
    ("A", {("x", 4, 2.5, 10.0, 25.0), ("y", 2, 15.0, 30.0, 450.0)}),
    ("B", {("p", 5, 7.2, 36.0, 259.2), ("q", 1, 4.0, 4.0, 16.0)}),
])
def test_level_tables(fp, spark, dimension, expected):
    analyser = analyser_over(fp, spark, SIX_ROWS)
    assert analyser.test_anova("measure", dimension) is None
    [(kind, (given_dimension, table))] = analyser._anova_result.received
    assert kind == "one" and given_dimension == dimension
    assert list(table.columns) == ["levels", "counts", "means", "total", "var3"]
    assert rows_of(table) == expected  # 259.2 exactly: (5 * 7.2) * 7.2


@pytest.mark.parametrize("dimensions, expected", [
    (("A", "B"), {("x", "p", 3, 2.0, 6.0, 12.0), ("x", "q", 1, 4.0, 4.0, 16.0),
                  ("y", "p", 2, 15.0, 30.0, 450.0)}),
    (("B", "A"), {("p", "x", 3, 2.0, 6.0, 12.0), ("q", "x", 1, 4.0, 4.0, 16.0),
                  ("p", "y", 2, 15.0, 30.0, 450.0)}),
])
def test_cell_table(fp, spark, dimensions, expected):
    analyser = analyser_over(fp, spark, SIX_ROWS)
    assert analyser.test_anova_interaction("measure", *dimensions) is None
    [(kind, (first, second, table))] = analyser._anova_result.received
    assert kind == "two" and (first, second) == dimensions
    assert list(table.columns) == ["level1", "level2", "counts", "means", "total", "var5"]
    assert rows_of(table) == expected  # no row for the absent cell (y, q)


def test_nulls(fp, spark):
    rows = SIX_ROWS + [(None, "p", 5.0), (None, "q", 7.0), ("z", "q", None), ("x", "q", None)]
    analyser = analyser_over(fp, spark, rows)
    analyser.test_anova("measure", "A")
    analyser.test_anova_interaction("measure", "A", "B")
    (_, (_, levels)), (_, (_, _, cells)) = analyser._anova_result.received
    by_level = {row[0]: row[1:] for row in rows_of(levels)}
    assert by_level[None] == (2, 6.0, 12.0, 72.0)  # null dimension values: a level of their own
    assert by_level["x"] == (4, 2.5, 10.0, 25.0)  # a null measure value is not counted
    assert by_level["z"][:2] == (0, None)  # all values null: count 0, null mean
    by_cell = {row[:2]: row[2:4] for row in rows_of(cells)}
    assert by_cell[("z", "q")] == (0, None) and by_cell[(None, "q")] == (1, 7.0)


def test_test_all_end_to_end(fp, spark, monkeypatch):
    from Tarnwick.bi.common import DataFrameHelper

    rows = [(str(i % 11), str(i % 12), str(i % 5), float(i % 7), float(i * 3 % 13))
            for i in range(1000)]
    frame = spark.createDataFrame(rows, "d11 string, d12 string, d5 string, m1 double, m2 double")
    helper = DataFrameHelper(frame)
    analyser = fp.TwoWayAnova(frame, helper)
    helper.get_num_rows()  # the helper profiles the frame once; keep its job out of the count

    collects = []
    # pyspark 4 runs a subclass of pyspark.sql.DataFrame: count on the class the frames really have.
    frame_class = type(frame)
    original = frame_class.collect

    def counting_collect(self):
        collects.append(self)
        return original(self)

    monkeypatch.setattr(frame_class, "collect", counting_collect)
    result = analyser.test_all()

    m, d = 2, 2  # d11 and d5 pass round(1000 ** 0.35) = 11; d12 does not
    assert len(collects) == m * (1 + d + d * (d - 1) // 2)
    assert result.measures == ["m1", "m2"]
    for measure in ("m1", "m2"):
        record = result[measure]
        assert record.dimensions == ["d11", "d5"] and record.pairs == [("d11", "d5")]
        assert [kind for kind, _, _ in record.tables] == ["one-way", "one-way", "two-way"]
    assert analyser._anova_result is result["m2"]
    assert tuple(result["m1"].measure_row) == (
        1000, sum(i % 7 for i in range(1000)) / 1000.0, float(sum((i % 7) ** 2 for i in range(1000))))


def test_init_through_the_class_with_keywords(fp, spark):
    from Tarnwick.bi.common import DataFrameHelper

    frame = spark.createDataFrame([("x", 1.0)], ["d", "m"])
    helper = DataFrameHelper(frame)
    by_keyword = fp.TwoWayAnova(data_frame=frame, df_helper=helper)
    by_position = fp.TwoWayAnova(frame, helper)
    assert vars(by_keyword) == vars(by_position)
    assert by_keyword._measure_columns == ["m"] and by_keyword._dimension_columns == ["d"]
    assert not hasattr(by_keyword, "_anova_result")


def test_empty_frame(fp, spark):
    analyser = analyser_over(fp, spark, [])
    analyser.test_anova("measure", "A")
    analyser.test_anova_interaction("measure", "A", "B")
    (_, (_, levels)), (_, (_, _, cells)) = analyser._anova_result.received
    assert list(levels.columns) == ["levels", "counts", "means", "total", "var3"]
    assert list(cells.columns) == ["level1", "level2", "counts", "means", "total", "var5"]
    assert len(levels) == len(cells) == 0
