"""The embedded reader against the command line's Spark reader, file by file.

Every file of the corpus is read by both: the same column names, the same kind of every column
(integer, floating, decimal, string, boolean) and the same rows (counts exactly, numbers to
1e-12, with nulls, NaN, both infinities and -0.0 told apart). Files the embedded reader cannot
read as Spark does must be refused with the reason.
"""
import gzip
import json
import math
import os
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest

from Tarnwick.bi.embedded.reader import Unsupported
from Tarnwick.bi.embedded.reader import read_file as read_embedded
from Tarnwick.cli import reader as spark_reader
from Tarnwick.cli.errors import InputError

HOSTILE_NAMES = ["g.x", "`v`", "*", "a,b", 'say "hi"', "it's", "größe", "日本", "\x1b[31mred",
                 "=1+2", "x; DROP TABLE t; --", "$.key", "a/b~c"]

SPARK_KINDS = {
    "tinyint": "integer", "smallint": "integer", "int": "integer", "bigint": "integer",
    "float": "floating", "double": "floating", "string": "string", "boolean": "boolean",
}


def spark_kind(type_name):
    return "decimal" if type_name.startswith("decimal") else SPARK_KINDS.get(type_name, "other")


def normal(value):
    """A value with its kind of missingness, sign and class spelled out."""
    if value is None:
        return ("null",)
    if isinstance(value, bool):
        return ("bool", value)
    if isinstance(value, str):
        return ("text", value)
    if isinstance(value, int):
        return ("int", value)
    number = float(value)
    if math.isnan(number):
        return ("nan",)
    if math.isinf(number):
        return ("inf", number > 0)
    return ("number", number, math.copysign(1.0, number))


def sort_key(row):
    return [repr(v[:2] if v[0] != "number" else (v[0], float("%.9g" % v[1]))) for v in row]


def rows_of(values):
    return sorted(([normal(v) for v in row] for row in values), key=sort_key)


def assert_same_rows(got, expected):
    assert len(got) == len(expected)
    for got_row, expected_row in zip(got, expected):
        for a, b in zip(got_row, expected_row):
            if a[0] == "number" and b[0] == "number":
                assert math.isclose(a[1], b[1], rel_tol=1e-12, abs_tol=0.0) and a[2] == b[2], (a, b)
            else:
                assert a == b


def write(path, text, encoding="utf-8"):
    os.makedirs(os.path.dirname(str(path)), exist_ok=True)
    with open(str(path), "w", encoding=encoding, newline="") as handle:
        handle.write(text)
    return str(path)


@pytest.fixture(scope="module")
def corpus(tmp_path_factory, spark):
    root = tmp_path_factory.mktemp("corpus")
    rng = np.random.RandomState(5)
    rows = 24
    names = pd.DataFrame({name: (rng.choice(["p", "q"], rows) if k % 2 else
                                 np.round(rng.normal(size=rows), 6))
                          for k, name in enumerate(HOSTILE_NAMES)})
    names.to_csv(str(root / "names.csv"), index=False)
    names.to_json(str(root / "names.json"), orient="records", lines=True, force_ascii=False)
    spark.createDataFrame(names).coalesce(1).write.parquet(str(root / "names.parquet"))
    special = [("a", 1.5, 3), ("b", float("nan"), -4), ("a", float("inf"), None),
               ("b", float("-inf"), 2 ** 40), ("a", -0.0, 0), ("b", None, 7)]
    values = spark.createDataFrame(special, "g string, v double, n bigint")
    values.coalesce(1).write.parquet(str(root / "values.parquet"))
    spark.createDataFrame([("a", 1.25, 7, True, Decimal("10000000000000000000000000000000000001"))],
                          "g string, f float, s smallint, b boolean, d decimal(38,0)") \
        .coalesce(1).write.parquet(str(root / "types.parquet"))
    spark.sql("SELECT 'a' AS g, TIMESTAMP'2020-01-01 00:00:00' AS t") \
        .coalesce(1).write.parquet(str(root / "timestamp.parquet"))
    with open(str(root / "values.json"), "w") as handle:
        for g, v, n in special:
            handle.write(json.dumps({"g": g, "v": v, "n": n, "é ü": "ü∑" + g, "none": None}) + "\n")
    write(root / "array.json", json.dumps([{"g": "a", "v": 1}, {"g": "b", "v": 2.5}]))
    write(root / "pretty.json", json.dumps([{"g": "a", "v": 1}, {"g": "b", "w": True}], indent=2))
    write(root / "values.csv",
          "g,d,i,l,e,w\n"
          "a,1.5,3,2147483648,1e5,NaN\n"
          "b,-0.0,+5,-9223372036854775808,2.5E-3,Inf\n"
          '"x,""y""",.25,,12,-1.e2,-Inf\n'
          "ü ∑,,-0,0,,Infinity\n"
          "NaN,+.5,2147483647,,3,-Infinity\n"
          ',7,-2147483648,1,"",+Infinity\n')
    write(root / "missing.csv", 'g;v;s;n\nNA;NA;"NA";1\n"";;"";\nx;1;y;"NA"\nz;2;"";NA\n')
    with gzip.open(str(root / "values.csv.gz"), "wt", newline="") as handle:
        handle.write(open(str(root / "values.csv")).read())
    write(root / "text.csv", 'g\tn\tempty\tq\n a \t"5"\t\tback\\slash\n"b\tc"\t-7\t\t"say ""x"""\n'
                             '日本\t"+0"\t""\tit\'s\n')
    write(root / "bom.csv", "\ufeffg,v\r\nä,1\r\nö,2\r\n")
    write(root / "dup.csv", "a,A,a,,b,B,NA\n1,x,2.5,3,4,5,6\n")
    write(root / "words.csv", "g,w\na,nan\nb,inf\nc,Infinity\n")
    write(root / "signed.csv", "g,w,x\na,-NaN,+Infinity\nb,+NaN,-Inf\nc,1.5,Inf\n")
    for part, text in (("part-0.csv", "g,v\na,1\nb,2\n"), ("part-1.csv", "g,v\nc,3.5\n"),
                       ("_SUCCESS", ""), (".hidden.csv", "g,v\nz,99\n")):
        write(root / "parts" / part, text)
    for name, count in [("data[1].csv", 5), ("data1.csv", 2), ("brace{a,b}.csv", 3),
                        ("star*.csv", 4), ("stars.csv", 6), ("_hidden.csv", 9)]:
        write(root / "paths" / name, "g,v\n" + "".join("x,%d\n" % i for i in range(count)))
    write(root / "it's \"odd\" dir" / "d.csv", "g,v\na,1\n")
    write(root / "odd" / "nan.csv", "g,v,w\n" + "".join(
        "%s,NaN,%d.5\n" % ("xy"[i % 2], i) for i in range(20)))
    big = "g,big\n" + "".join("%s,%d\n" % ("abc"[i % 3], 2 ** 63 - 1 - 4096 * (i % 7)) for i in range(12))
    write(root / "odd" / "big.csv", big)
    # The hostile values of the command line's hardening tests: huge and near-2**63 numbers.
    noise = np.sin(np.arange(60))
    hostile = pd.DataFrame({"g": ["a", "b", "c"] * 20, "y": noise, "huge": 1e200 * (1 + noise),
                            "big": [2 ** 63 - 1 - 4096 * (i % 7) for i in range(60)]})
    lines = hostile.to_csv(index=False).splitlines()
    lines[3] = lines[3].replace(lines[3].split(",")[1], "Infinity", 1)
    write(root / "hostile" / "values.csv", "\n".join(lines) + "\n")
    spark.createDataFrame([("abc"[i % 3], Decimal(10 ** 37 + 10 ** 30 * (i % 5))) for i in range(12)],
                          "g string, d decimal(38,0)").coalesce(1).write.parquet(
        str(root / "hostile" / "decimals.parquet"))
    # Files neither reader reads.
    write(root / "broken" / "broken.parquet", "this is not a parquet file\n")
    write(root / "broken" / "clash.csv", "a,,_c1\n1,2,3\n")
    # Files the embedded reader refuses, each with the reason it gives.
    write(root / "refused" / "multiline.csv", 'g,v\n"a\nb",1\nc,2\n')
    write(root / "refused" / "decimal.csv", "g,v\na,1.\nb,2\n")
    write(root / "refused" / "wide.csv", "g,v\na,99999999999999999999\nb,2\n")
    write(root / "refused" / "date.csv", "g,v\na,2020-01-01\nb,2020-01-02\n")
    write(root / "refused" / "padded.csv", "g,v\na, 5\nb,2\n")
    write(root / "refused" / "mixed.csv", "g,v\na,TRUE\nb,1\n")
    write(root / "refused" / "header.csv", 'g,"v\nw"\na,1\n')
    write(root / "refused" / "blank.csv", '\ng,v\na,1\n')
    write(root / "refused" / "ragged.csv", "g,v\na,1,9\nb\n")
    write(root / "refused" / "case.csv", "a1,A,a\n1,2,3\n")
    write(root / "refused" / "corrupt.json", '{"g": "a", "v": 1}\nnot json\n')
    write(root / "refused" / "nested.json", '{"g": "a", "v": {"x": 1}}\n')
    write(root / "refused" / "wide.json", '{"g": "a", "v": 99999999999999999999}\n{"g": "b", "v": 2}\n')
    write(root / "refused" / "textnum.json", '{"g": "a", "v": "x"}\n{"g": "b", "v": 3}\n')
    write(root / "refused" / "nested" / "sub" / "a.csv", "g,v\na,1\n")
    return root


SAME = [
    ("{bundled}", "csv", {}),
    ("{bundled}", "csv", {"null_value": "NA"}),
    ("names.csv", "csv", {}),
    ("names.json", "json", {}),
    ("names.parquet", "parquet", {}),
    ("values.parquet", "parquet", {}),
    ("types.parquet", "parquet", {}),
    ("values.json", "json", {}),
    ("array.json", "json", {}),
    ("pretty.json", "json", {}),
    ("values.csv", "csv", {}),
    ("missing.csv", "csv", {"sep": ";", "null_value": "NA"}),
    ("missing.csv", "csv", {"sep": ";"}),
    ("values.csv.gz", "csv", {}),
    ("text.csv", "csv", {"sep": "\t"}),
    ("bom.csv", "csv", {}),
    ("dup.csv", "csv", {}),
    ("dup.csv", "csv", {"null_value": "NA"}),
    ("words.csv", "csv", {}),
    ("signed.csv", "csv", {}),
    ("parts", "csv", {}),
    ("paths/data[1].csv", "csv", {}),
    ("paths/star*.csv", "csv", {}),
    ("paths/brace{a,b}.csv", "csv", {}),
    ("paths/data*.csv", "csv", {"glob": True}),
    ("paths/sta?s.csv", "csv", {"glob": True}),
    ("paths/{data1,stars}.csv", "csv", {"glob": True}),
    ("paths/[!d]*.csv", "csv", {"glob": True}),
    ("paths/*.csv", "csv", {"glob": True}),
    ("it's \"odd\" dir", "csv", {}),
    ("odd/nan.csv", "csv", {}),
    ("odd/big.csv", "csv", {}),
    ("hostile/values.csv", "csv", {}),
    ("hostile/decimals.parquet", "parquet", {}),
]


def _path(corpus, name):
    return name.format(bundled=spark_reader.bundled_path()) if "{bundled}" in name else str(corpus / name)


@pytest.mark.parametrize("name, fmt, options", SAME, ids=["%s-%s" % (n, "-".join(map(str, o.values())))
                                                          for n, _, o in SAME])
def test_both_readers_give_the_same_frame(spark, corpus, name, fmt, options):
    path = _path(corpus, name)
    expected = spark_reader.read_file(spark, path, fmt, **options)
    got = read_embedded(path, fmt, **options)
    assert got.columns == list(expected.columns)
    assert [got.kind(c) for c in got.columns] == [spark_kind(t) for _, t in expected.dtypes]
    assert_same_rows(rows_of(got.relation.fetchall()), rows_of(tuple(r) for r in expected.collect()))


REFUSED = [
    ("refused/multiline.csv", "csv", "quoted field across lines"),
    ("refused/decimal.csv", "csv", "decimal type (a value like '1.')"),
    ("refused/wide.csv", "csv", "decimal type"),
    ("refused/date.csv", "csv", "a value like '2020-01-01'"),
    ("refused/padded.csv", "csv", "a value like ' 5'"),
    ("refused/mixed.csv", "csv", "booleans mixed with numbers"),
    ("refused/header.csv", "csv", "header line has a quoted field across lines"),
    ("refused/blank.csv", "csv", "first line is blank"),
    ("refused/ragged.csv", "csv", "DuckDB cannot read it as Spark does"),
    ("refused/case.csv", "csv", "the same when case is ignored"),
    ("refused/nested", "csv", "subdirectories"),
    ("refused/corrupt.json", "json", "_corrupt_record"),
    ("refused/nested.json", "json", "member 'v' holds OBJECT"),
    ("refused/wide.json", "json", "member 'v' holds"),
    ("refused/textnum.json", "json", "member 'v' holds"),
    ("paths/_hidden.csv", "csv", "leading '_' or '.'"),
    ("timestamp.parquet", "parquet", "column 't' has type TIMESTAMP"),
]


@pytest.mark.parametrize("name, fmt, reason", REFUSED, ids=[n for n, _, _ in REFUSED])
def test_refused_with_the_reason(corpus, name, fmt, reason):
    with pytest.raises(Unsupported) as refusal:
        read_embedded(str(corpus / name), fmt)
    assert reason in refusal.value.reason


@pytest.mark.parametrize("name, fmt, glob", [
    ("broken/broken.parquet", "parquet", False),
    ("broken/clash.csv", "csv", False),
    ("broken/missing.csv", "csv", False),
    ("paths/nothing*.csv", "csv", True),
])
def test_what_spark_cannot_read_gives_no_frame(spark, corpus, name, fmt, glob):
    path = str(corpus / name)
    with pytest.raises(InputError):
        spark_reader.read_file(spark, path, fmt, glob=glob).collect()
    with pytest.raises((InputError, Unsupported)):
        read_embedded(path, fmt, glob=glob)


def test_a_pattern_that_matches_nothing_is_said_as_spark_says_it(spark, corpus):
    pattern = str(corpus / "paths" / "nothing*.csv")
    messages = []
    for read in (lambda: spark_reader.read_file(spark, pattern, "csv", glob=True),
                 lambda: read_embedded(pattern, "csv", glob=True)):
        with pytest.raises(InputError) as error:
            read()
        messages.append(str(error.value))
    assert messages[0] == messages[1]
