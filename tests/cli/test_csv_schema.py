"""Small CSV files typed on the driver: the schema is Spark's own inference, or none at all."""
import pytest

from Tarnwick.cli import csv_schema

# (file text, null text, whether the driver must type it without Spark)
CASES = {
    "ints, doubles, text": ("a,b,c\n1,2.5,x\n-3,+4,y\n", None, True),
    "bigint": ("a,b\n2147483648,1\n-5,2\n", None, True),
    "int bound": ("a\n2147483647\n-2147483648\n", None, True),
    "nulls and empty column": ("a,b,c\n1,,x\n,,\n2,,z\n", None, True),
    "null text": ("a,b\nNA,1.25\n3,NA\n", "NA", True),
    "NA without null text": ("a,b\nNA,1.25\n3,NA\n", None, True),
    "leading point and zeros": ("a,b\n.5,007\n-0.25,010\n", None, True),
    "crlf and blank lines": ("a;b\r\n1;x\r\n\r\n2;y\r\n", None, True),
    "text beats numbers": ("a\n1\n2.5\nmany\n", None, True),
    "unicode digits": ("a\n\u0661\u0662\n3\n", None, False),
    "exponent": ("a\n1e5\n2\n", None, False),
    "trailing point": ("a\n1.\n2\n", None, False),
    "huge integer": ("a\n123456789012345678901234\n", None, False),
    "booleans": ("a\ntrue\nfalse\n", None, False),
    "nan words": ("a\nNaN\n1.5\n", None, False),
    "dates": ("a\n2024-01-31\n2024-02-01\n", None, False),
    "timestamps": ("a\n2024-01-31T10:00:00\n", None, False),
    "spaces around a number": ("a,b\n 1,x\n2 ,y\n", None, False),
    "quoted": ('a,b\n"1",x\n2,"y,z"\n', None, False),
    "backslash": ("a,b\n1,x\\y\n", None, False),
    "short row": ("a,b\n1,x\n2\n", None, False),
    "repeated header": ("a,A\n1,2\n", None, False),
    "empty header name": ("a,\n1,2\n", None, False),
    "byte-order mark": ("\ufeffa\n1\n", None, False),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_driver_schema_is_sparks_inference(spark, tmp_path, name):
    text, null_value, typed_here = CASES[name]
    sep = ";" if ";" in text.splitlines()[0] else ","
    path = tmp_path / "data.csv"
    path.write_bytes(text.encode("utf-8"))
    ours = csv_schema.infer(str(path), sep, null_value)
    assert (ours is not None) == typed_here
    reader = spark.read.option("header", "true").option("sep", sep)
    if null_value is not None:
        reader = reader.option("nullValue", null_value)
    inferred = reader.option("inferSchema", "true").csv(str(path))
    if ours is not None:
        assert ours == inferred.schema
        assert reader.schema(ours).csv(str(path)).collect() == inferred.collect()


@pytest.mark.parametrize("setting", ["large", "not utf-8", "multi-character separator",
                                     "missing"])
def test_left_to_spark(tmp_path, monkeypatch, setting):
    path = tmp_path / "data.csv"
    path.write_bytes(b"a,b\n1,x\n")
    sep = ","
    if setting == "large":
        monkeypatch.setattr(csv_schema, "LIMIT_BYTES", 4)
    elif setting == "not utf-8":
        path.write_bytes(b"a,b\n1,\xe9\n")
    elif setting == "multi-character separator":
        sep = "||"
    else:
        path = tmp_path / "absent.csv"
    assert csv_schema.infer(str(path), sep) is None
