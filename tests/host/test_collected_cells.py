"""Spark's cells merged in this process against the same cells merged in Spark: the same rows
for levels of every kind and numbers at their ends, and the choice between the two."""
import datetime
import math
from decimal import Decimal

import pytest

from support.queries import sql_plans
from Tarnwick.bi.stats import onescan

SCHEMA = ("s string, f double, d date, bin binary, flag boolean, "
          "x double, big double, dec decimal(30,6), i bigint")


def _rows():
    """Levels: nulls, NaN, -0.0 beside 0.0, dates, bytes that no text holds, booleans.
    Values: NaN and infinities (nulls to the query), squares that overflow, decimals and
    integers beyond a double's digits (exact ends)."""
    strings = ["a", "b", None]
    doubles = [1.5, float("nan"), -0.0, 0.0]
    dates = [datetime.date(2020, 1, 1), datetime.date(2021, 6, 30)]
    blobs = [bytearray(b"x"), bytearray(b"\x00y';--")]
    rows = []
    for r in range(96):
        x = 10.0 + (r % 7) * 0.25 + (r % 3)
        if r % 17 == 0:
            x = float("nan")
        elif r % 23 == 0:
            x = float("inf")
        rows.append((strings[r % 3], doubles[r % 4], dates[r % 2], blobs[(r // 2) % 2],
                     r % 5 == 0, x, 1e300 * (1 + r % 4), Decimal("123456789012345678.%06d" % r),
                     2 ** 62 + r))
    return rows


MEASURES = ["x", "big", "dec", "i"]


def _canonical(rows, k):
    """The rows sorted by their flags and levels, as tuples."""
    def level(value):
        if isinstance(value, float) and math.isnan(value):
            return (2, "nan")
        return (0, repr(value)) if value is not None else (1, "")
    return sorted((tuple(row) for row in rows),
                  key=lambda row: (tuple(row[k:2 * k]), tuple(level(v) for v in row[:k])))


def _same(left, right):
    if isinstance(left, float) or isinstance(right, float):
        if math.isnan(left) or math.isnan(right):
            return math.isnan(left) and math.isnan(right)
        return math.isclose(left, right, rel_tol=1e-12, abs_tol=1e-9 * max(1.0, abs(left)))
    return type(left) is type(right) and left == right


def _shifts(frame, measures):
    types = onescan._exact_types(frame, MEASURES)
    shifts = {"x": onescan.Shift(12.0, types["x"]), "big": onescan.Shift(2e300, types["big"]),
              "dec": onescan.Shift(1e17, types["dec"], Decimal("123456789012345678")),
              "i": onescan.Shift(4e18, types["i"], 2 ** 62)}
    return [shifts[m] for m in measures]


def _assert_same_rows(here, in_spark, k, measures):
    assert len(here) == len(in_spark) > 1 + k
    width = len(onescan.MERGED) + len(onescan.CARRIED)
    offsets = onescan.MERGED.index("so")
    for ours, theirs in zip(_canonical(here, k), _canonical(in_spark, k)):
        assert len(ours) == len(theirs) == 2 * k + 1 + width * len(measures)
        for i, (a, b) in enumerate(zip(ours, theirs)):
            j, what = divmod(i - 2 * k - 1, width)
            if i > 2 * k and what == offsets and a is not None and b is not None:
                # Σ nᶜoᶜ is zero but for rounding, whose sign the order of the sum decides:
                # equal to the rounding of n·|centre|.
                n, centre = ours[i - offsets], ours[i - offsets + 1]
                both_nan = math.isnan(a) and math.isnan(b)
                assert both_nan or abs(a - b) <= 1e-12 * n * abs(centre), (ours, theirs)
                continue
            assert _same(a, b), (ours, theirs)


@pytest.mark.parametrize("dimensions", [["s", "f"], ["d", "bin", "flag"], ["s", "f", "bin"]])
@pytest.mark.parametrize("corrections, exact", [(0, False), (1, False), (0, True)])
def test_collected_cells_merge_to_the_rows_of_the_merge_in_spark(spark, dimensions,
                                                                  corrections, exact):
    frame = spark.createDataFrame(_rows(), SCHEMA)
    names = onescan._Names(frame.columns)
    args = (names, MEASURES, dimensions, _shifts(frame, MEASURES), None, corrections, exact)
    in_spark = onescan._marginal_rows(frame, *args)
    here = onescan.SparkScan(frame).marginal_rows(*args)
    _assert_same_rows(here, in_spark, len(dimensions), MEASURES)


@pytest.mark.parametrize("dimensions", [["s", "f"], ["d", "bin", "flag"]])
@pytest.mark.parametrize("measures", [["x", "dec", "i"], MEASURES])
def test_the_one_pass_merge_in_spark_gives_the_rows_of_the_centred_merge(
        spark, one_pass_kept, dimensions, measures):
    """Cells too many to collect: the one-pass merge's rows, centred on the groups' means in
    this process, are the centred merge's. Values near the largest double make its sums of
    squares overflow: then it gives way to the centred merge. (The shifts are the plan's own,
    from the first rows.)"""
    frame = spark.createDataFrame(_rows(), SCHEMA)
    names = onescan._Names(frame.columns)
    scan = onescan.SparkScan(frame)
    _, shifts, _ = onescan._look_first(scan, names, measures, dimensions)
    args = (names, measures, dimensions, shifts, None, 0, False)
    scan.many_cells = True
    here = scan.marginal_rows(*args)
    assert one_pass_kept == ["big" not in measures]
    _assert_same_rows(here, onescan._marginal_rows(frame, *args), len(dimensions), measures)


def test_the_tables_merge_here_unless_the_first_rows_are_nearly_all_cells(spark, monkeypatch):
    """Few cells: the tables' query is stage 1 alone (no grouping sets in Spark). Nearly a
    cell per row in the first rows: the merge runs in Spark without trying to collect."""
    monkeypatch.setattr(onescan, "SAMPLE_ROWS", 50)
    few = spark.createDataFrame([("a%d" % (r % 3), "b%d" % (r % 2), float(r)) for r in range(60)],
                                "a string, b string, y double")
    many = spark.createDataFrame([("a%d" % r, "b%d" % (r % 2), float(r)) for r in range(60)],
                                 "a string, b string, y double")
    for frame, merged_in_spark in ((few, False), (many, True)):
        before = set(sql_plans(spark))
        result = onescan.one_scan_test_all(frame, ["y"], ["a", "b"], 1000)
        plans = [v for k, v in sorted(sql_plans(spark).items()) if k not in before]
        assert len(plans) == 2  # the first rows, then the tables
        assert ("Expand" in plans[-1]) == merged_in_spark
        assert ("CollectLimit" in plans[-1]) != merged_in_spark
        monkeypatch.setattr(onescan, "COLLECTED_CELLS", 0)  # the merge in Spark, as a check
        again = onescan.one_scan_test_all(frame, ["y"], ["a", "b"], 1000)
        monkeypatch.undo()
        monkeypatch.setattr(onescan, "SAMPLE_ROWS", 50)
        for found, expected in ((result.get_one_way("y", "a"), again.get_one_way("y", "a")),
                                (result.get_two_way("y", "a", "b"),
                                 again.get_two_way("y", "a", "b"))):
            assert list(found.sum_sq) == pytest.approx(list(expected.sum_sq), rel=1e-12)


def test_the_same_cells_in_any_order_merge_to_the_same_rows_bit_for_bit():
    """Spark gives the cells in an order that its shuffle decides; the order of a sum decides
    its last digits, which the stored outputs of the command line would show."""
    import random

    from pyspark.sql.types import DoubleType, LongType, StringType

    from Tarnwick.bi.embedded.merge import CollectedCells

    names = onescan._Names(["y"])
    rng = random.Random(1)
    rows = []
    for a in range(12):
        for b in range(10):
            for c in range(8):
                n = rng.randint(1, 50)
                rows.append(("a%d" % a, "b%d" % b, None if c == 7 else "c%d" % c, n, n, 50.0,
                             rng.gauss(0.0, 3.0), rng.random() * n, 0, 1.0, 9.0))
    fields = [(names.key(i), StringType()) for i in range(3)] + [(names.rows(), LongType())]
    fields += [(names.moment(what, 0), kind) for what, kind in (
        ("n", LongType()), ("c", DoubleType()), ("w", DoubleType()), ("m2", DoubleType()),
        ("inf", LongType()), ("lo", DoubleType()), ("hi", DoubleType()))]
    seen = set()
    for _ in range(6):
        rng.shuffle(rows)
        merged = CollectedCells(rows, fields, 3).merged(names, 1, 1, None)
        seen.add(tuple(sorted(repr(row) for row in merged)))
    assert len(seen) == 1
