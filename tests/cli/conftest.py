"""Fixtures of the command-line tests."""
import pytest

from cli_helpers import make_frame


@pytest.fixture(scope="session")
def data_files(tmp_path_factory, spark):
    """The generated table as a CSV file (empty field: missing) and as a Parquet directory."""
    folder = tmp_path_factory.mktemp("cli-data")
    frame = make_frame()
    csv_path = folder / "generated.csv"
    frame.to_csv(str(csv_path), index=False, na_rep="")
    parquet_path = folder / "generated.parquet"
    (
        spark.read.option("header", "true").option("inferSchema", "true").csv(str(csv_path))
        .coalesce(1).write.parquet(str(parquet_path))
    )
    return {"frame": frame, "csv": csv_path, "parquet": parquet_path, "folder": folder}
