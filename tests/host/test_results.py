"""Result record and collection: filing policy, summaries, exports and the precision guard."""
import json
import math
import warnings

import numpy as np
import pandas as pd
import pytest
from statsmodels.stats.multitest import multipletests

from host_terms import pandas_cell_table, pandas_level_table, pandas_measure_row, pandas_record
from Tarnwick.bi.common.anova import adjust_p_values
from Tarnwick.bi.common.results import DFTwoWayAnovaResult, MeasureAnovaResult


def data(seed=3, n=90, shift=0.0):
    rng = np.random.RandomState(seed)
    frame = pd.DataFrame({"a": rng.choice(["x", "y", "z"], n), "b": rng.choice(["p", "q"], n),
                          "c": rng.choice([1, 2, 3, 4], n)})
    frame["y"] = shift + rng.normal(size=n) + (frame.a == "x") * 0.9
    frame["w"] = shift + rng.normal(size=n) + (frame.b == "p") * 0.2
    return frame


def collection(frame, measures=("y", "w")):
    results = DFTwoWayAnovaResult()
    for m in measures:
        results.add_measure_result(m, pandas_record(frame, m, ["a", "b", "c"],
                                                    [("a", "b"), ("a", "c"), ("b", "c")]))
    return results


def test_record_keeps_every_table_in_order_without_copying():
    frame = data()
    record = MeasureAnovaResult(pandas_measure_row(frame, "y"))
    first = pandas_level_table(frame, "y", "a")
    again = pandas_level_table(frame, "y", "a")
    cells = pandas_cell_table(frame, "y", "a", "b")
    record.set_OneWayAnovaResult("a", first)
    record.set_TwoWayAnovaResult("a", "b", cells)
    record.set_OneWayAnovaResult("a", again)
    assert [(kind, dims) for kind, dims, _ in record.tables] == [
        ("one-way", ("a",)), ("two-way", ("a", "b")), ("one-way", ("a",))]
    assert all(x is y for x, y in zip([t for _, _, t in record.tables], [first, cells, again]))
    # A repeated test counts once in look-ups and summaries.
    assert record.dimensions == ["a"] and record.pairs == [("a", "b")]
    assert list(record.summary().effect) == ["a", "a", "b", "a:b"]


def test_a_measure_added_twice_keeps_both_records_and_answers_with_the_latest():
    frame = data()
    results = DFTwoWayAnovaResult()
    old = pandas_record(frame, "y", ["a"])
    new = pandas_record(frame, "y", ["a", "b"])
    other = pandas_record(frame, "w", ["a"])
    results.add_measure_result("y", old)
    results.add_measure_result("w", other)
    results.add_measure_result("y", new)
    assert [(n, r) for n, r in results.records] == [("y", old), ("w", other), ("y", new)]
    assert results.measures == ["y", "w"] and len(results) == 2 and list(results) == ["y", "w"]
    assert results["y"] is new and results.get_measure_result("w") is other
    assert new.measure == "y"
    summary = results.summary()
    assert sorted(summary.measure) == ["w", "y", "y"]


def test_summary_is_sorted_by_p_value_and_covers_every_effect():
    results = collection(data())
    summary = results.summary()
    assert len(summary) == 2 * (3 + 3 * 3)
    p = summary.p_value.to_numpy(dtype=float)
    assert np.all(np.diff(p) >= 0)
    # The strong effect (a on y) leads, and rows carry their tables' values.
    best = summary.iloc[0]
    assert (best.measure, best.effect) == ("y", "a")
    if best.test == "one-way":
        assert best.F == results.get_one_way("y", "a").F["a"]
    else:
        assert best.F == results.get_two_way("y", *best.dimensions).F["a"]
    assert set(summary.columns) >= {"measure", "effect", "F", "p_value", "effect_size"}


@pytest.mark.parametrize("correction,method", [("holm", "holm"), ("bh", "fdr_bh")])
def test_summary_corrections_agree_with_statsmodels(correction, method):
    summary = collection(data()).summary(correction=correction)
    expected = multipletests(summary.p_value.to_numpy(dtype=float), method=method)[1]
    np.testing.assert_allclose(summary.p_adjusted.to_numpy(dtype=float), expected, rtol=1e-12)
    assert np.all(summary.p_adjusted >= summary.p_value - 1e-15)


def test_adjustment_leaves_missing_p_values_out():
    p = [0.01, float("nan"), 0.04, 0.03]
    holm = adjust_p_values(p, "holm")
    assert math.isnan(holm[1])
    np.testing.assert_allclose(holm[[0, 2, 3]], multipletests([0.01, 0.04, 0.03], method="holm")[1])
    with pytest.raises(ValueError):
        adjust_p_values(p, "bonferroni")


def test_summary_uses_the_requested_sum_of_squares_type():
    results = collection(data(n=70))
    t1 = results.summary(typ=1).set_index(["measure", "effect"]).sort_index()
    t3 = results.summary(typ=3).set_index(["measure", "effect"]).sort_index()
    two = t1.test == "two-way"
    assert not np.allclose(t1.F[two].to_numpy(dtype=float), t3.F[two].to_numpy(dtype=float))


def test_to_json_round_trips_with_missing_numbers_as_null():
    frame = data()
    frame.loc[frame.a == "z", "y"] = np.nan  # level z has count 0
    results = collection(frame)
    payload = json.loads(results.to_json())
    assert [m["measure"] for m in payload["measures"]] == ["y", "w"]
    y = payload["measures"][0]
    one_way = {entry["dimension"]: entry["table"] for entry in y["one_way"]}
    assert one_way["a"][0]["df"] == 1.0  # z takes no degree of freedom
    assert one_way["a"][2]["F"] is None  # the Total row has no F
    pair = y["two_way"][0]
    assert (pair["dimension1"], pair["dimension2"]) == ("a", "b")
    assert {"type_1", "type_2", "type_3"} <= set(pair)
    assert pair["type_2"][0]["F"] == pytest.approx(results.get_two_way("y", "a", "b").F["a"])
    assert results.to_dict() == json.loads(results.to_json())


def test_a_measure_without_values_gives_empty_tests():
    frame = data(n=12)
    frame["y"] = np.nan
    record = pandas_record(frame, "y", ["a"], [("a", "b")])
    assert record.n == 0
    one_way = record.get_one_way("a")
    assert one_way.df.tolist() == [0.0, 0.0, 0.0] and np.isnan(one_way.F["a"])
    two_way = record.get_two_way("a", "b", typ=3)
    assert (two_way.note[:3] == "not estimable").all()
    assert "n=0" in repr(record)


def test_lookups_and_types():
    results = collection(data())
    with pytest.raises(KeyError):
        results.get_two_way("y", "b", "a")  # pairs keep the order they were filed in
    with pytest.raises(KeyError):
        results.get_one_way("nope", "a")
    with pytest.raises(ValueError, match="typ"):
        results.get_two_way("y", "a", "b", typ=4)
    table = results.get_two_way("y", "a", "b")
    table.loc["a", "F"] = -1.0  # callers get their own copy
    assert results.get_two_way("y", "a", "b").F["a"] > 0


def test_repr_lists_the_tests():
    results = collection(data())
    text = repr(results)
    assert text.startswith("DFTwoWayAnovaResult(2 measures)")
    assert "MeasureAnovaResult('y', n=90" in text
    assert "a:b" in text and "F(2, 84)" in text
    assert repr(DFTwoWayAnovaResult()) == "DFTwoWayAnovaResult(no measures)"


@pytest.mark.parametrize("shift,marked", [(0.0, False), (1e3, False), (1e7, True), (1e9, True)])
def test_precision_guard_marks_tables_whose_residual_lost_its_digits(shift, marked):
    frame = data(n=60, shift=shift)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        record = pandas_record(frame, "y", ["a"], [("a", "b")])
    warned = [w for w in caught if issubclass(w.category, RuntimeWarning)]
    assert len(warned) == (2 if marked else 0)
    assert bool(record.imprecise_tests) == marked
    one_way = record.get_one_way("a")
    assert one_way.note["Residual"].startswith("imprecise") == marked
    if not marked:
        reference = pandas_record(data(n=60), "y", ["a"]).get_one_way("a")
        np.testing.assert_allclose(one_way.F["a"], reference.F["a"], rtol=1e-6)
    elif np.isfinite(one_way.F["a"]):
        assert record.summary().imprecise.all()
    else:
        # Nothing is left of the difference: no residual and no F rather than a wrong one.
        assert np.isnan(one_way.sum_sq["Residual"])


def test_refine_needs_a_measure_name():
    frame = data(n=30, shift=1e9)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        record = pandas_record(frame, "y", ["a"])
    with pytest.raises(ValueError, match="measure"):
        record.refine(object())


def test_one_value_per_cell_has_no_residual_and_no_warning():
    frame = pd.DataFrame({"a": ["x", "x", "y", "y"], "b": ["p", "q", "p", "q"],
                          "y": [1e9 + 0.1, 1e9 + 0.7, 1e9 + 0.3, 1e9 + 0.2]})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        record = pandas_record(frame, "y", pairs=[("a", "b")])
    table = record.get_two_way("a", "b", typ=2)
    assert table.loc["Residual", "df"] == 0 and table.loc["Residual", "sum_sq"] == 0
    assert table.F.isna().all() and record.imprecise_tests == []


def test_empty_collection_summaries():
    results = DFTwoWayAnovaResult()
    for correction in (None, "holm", "bh"):
        summary = results.summary(correction=correction)
        assert len(summary) == 0 and "p_value" in summary.columns
    assert results.to_dict() == {"measures": []} and results.refine(object()) == 0
