"""Hostile input refused or neutralised before Spark starts: output targets, data paths,
options, master URLs, and how names from the data are shown."""
import os
import socket

import pytest

from cli_helpers import said
from Tarnwick.cli import main, output, plots, reader
from Tarnwick.cli.errors import InputError
from Tarnwick.cli.session import check_master


def refused(capsys, args, message):
    """main(args) exits 2 with one error line containing ``message``, printing nothing else."""
    status = main([str(a) for a in args])
    captured = capsys.readouterr()
    lines = said(captured.err)
    assert status == 2, captured.err
    assert len(lines) == 1 and lines[0].startswith("tarnwick-anova: error: "), captured.err
    assert message in lines[0]
    assert captured.out == ""
    return lines[0]


@pytest.fixture
def tree(tmp_path):
    """A CSV file, a data directory, and the odd things an output path can be."""
    (tmp_path / "data.csv").write_text("g,v\na,1\nb,2\n")
    folder = tmp_path / "folder"
    folder.mkdir()
    (folder / "part1.csv").write_text("g,v\na,1\n")
    os.symlink("data.csv", str(tmp_path / "link-to-data"))
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(tmp_path / "sock"))
    yield tmp_path
    server.close()


# -- --output ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, target, message",
    [
        ("data.csv", "data.csv", "is the input data itself"),
        ("data.csv", "link-to-data", "is the input data itself"),
        ("folder", "folder/result.json", "inside the input directory"),
        ("data.csv", "folder", "is a directory"),
        ("data.csv", "sock", "neither a regular file"),
    ],
)
def test_output_targets_refused(capsys, tree, data, target, message):
    before = (tree / "data.csv").read_text()
    refused(capsys, [tree / data, "-o", tree / target], message)
    assert (tree / "data.csv").read_text() == before
    assert not (tree / "folder" / "result.json").exists()


@pytest.mark.parametrize("kind", ["new", "regular", "link", "fifo", "device"])
def test_output_written_as_the_target_allows(tree, kind):
    path = tree / "out"
    if kind == "regular":
        path.write_text("old")
        os.chmod(str(path), 0o640)
    elif kind == "link":
        (tree / "real").write_text("old")
        os.symlink("real", str(path))
    elif kind == "fifo":
        os.mkfifo(str(path))
    elif kind == "device":
        path = "/dev/null"
    output.check_output_target(str(path), str(tree / "data.csv"))
    if kind == "fifo":
        reader_fd = os.open(str(path), os.O_RDONLY | os.O_NONBLOCK)
        try:
            output.write_output(str(path), "result\n")
            assert os.read(reader_fd, 100) == b"result\n"
        finally:
            os.close(reader_fd)
        assert os.path.exists(str(path)) and not os.path.isfile(str(path))
        return
    output.write_output(str(path), "result\n")
    if kind == "device":
        assert os.path.exists("/dev/null") and not os.path.isfile("/dev/null")
        return
    assert open(str(path)).read() == "result\n"
    if kind == "link":
        assert os.path.islink(str(path)) and (tree / "real").read_text() == "result\n"
    if kind == "regular":
        assert os.stat(str(path)).st_mode & 0o777 == 0o640
    assert not [n for n in os.listdir(str(tree)) if n.endswith(".tmp")]


# -- data paths ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "path, literal",
    [
        ("/d/x[1]{a,b}*?.csv", "/d/x\\[1\\]\\{a,b\\}\\*\\?.csv"),
        ("back\\slash.csv", "back\\\\slash.csv"),
        ("hdfs://[::1]:8020/d/x[1].csv", "hdfs://[::1]:8020/d/x\\[1\\].csv"),
    ],
)
def test_literal_path_escapes_glob_characters(path, literal):
    assert reader.literal_path(path) == literal


def test_directory_checks(tmp_path, capsys):
    loop = tmp_path / "loop"
    (loop / "sub").mkdir(parents=True)
    (loop / "a.csv").write_text("g,v\na,1\n")
    os.symlink("..", str(loop / "sub" / "up"))
    refused(capsys, [loop], "reached twice through symbolic links")

    twice = tmp_path / "twice"
    (twice / "real").mkdir(parents=True)
    (twice / "real" / "a.csv").write_text("g,v\na,1\n")
    os.symlink("real", str(twice / "again"))
    refused(capsys, [twice], "reached twice through symbolic links")

    mixed = tmp_path / "mixed"
    mixed.mkdir()
    (mixed / "a.csv").write_text("g,v\na,1\n")
    for name in ("b.json", "c.json"):
        (mixed / name).write_text('{"g": "a", "v": 1}\n')
    line = refused(capsys, [mixed, "--format", "json"], "mixes formats")
    assert "csv: 1 file, json: 2 files" in line


# -- options and master URLs ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, message",
    [
        (["--sep", ""], "separator cannot be empty"),
        (["-m", "a,,b"], "empty column name"),
        (["--measure", ""], "empty column name"),
        (["--conf", "=1"], "expected KEY=VALUE"),
    ],
)
def test_bad_options(capsys, args, message):
    with pytest.raises(SystemExit) as stop:
        main(args)
    assert stop.value.code == 2
    assert message in capsys.readouterr().err


def test_literal_names_and_lists_combine_in_order():
    from Tarnwick.cli.options import parse_args

    args = parse_args(["-m", "a,b", "--measure", " c,d ", "-m", "e", "--dimension", "x,y"])
    assert args.measures == ["a", "b", " c,d ", "e"]
    assert args.dimensions == ["x,y"]


@pytest.mark.parametrize(
    "master, message",
    [
        ("junk", "is not a Spark master URL"),
        ("local[0]", "at least one thread"),
        ("local[0,2]", "at least one thread"),
        ("spark://nohost", "is not HOST:PORT"),
        ("spark://127.0.0.1:1", "cannot reach the Spark master spark://127.0.0.1:1"),
    ],
)
def test_bad_masters_refused_before_spark(master, message, capsys):
    refused(capsys, ["--master", master], message)


@pytest.mark.parametrize("master", ["local", "local[2]", "local[*]", "local[4,2]", "yarn", "k8s://https://h:443"])
def test_good_masters_pass(master):
    check_master(master)


def test_reachable_standalone_master_passes():
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    try:
        check_master("spark://127.0.0.1:1,127.0.0.1:%d" % server.getsockname()[1])
    finally:
        server.close()


# -- names as text -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, shown",
    [
        ("plain name", "plain name"),
        ("\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"),
        ("two\nlines\tand\rreturn", "two\\x0alines\\x09and\\x0dreturn"),
        ("c1\x9bcontrol", "c1\\x9bcontrol"),
        ("abc\u202edcba", "abc\\u202edcba"),
        ("ünïcode ∑", "ünïcode ∑"),
    ],
)
def test_printable(text, shown):
    assert output.printable(text) == shown


def test_message_line_is_bounded():
    line = output.message_line("x" * 10 ** 6 + "\n")
    assert len(line) == output.MAX_MESSAGE and line.endswith("...")


@pytest.mark.parametrize(
    "cell, safe",
    [("=1+2", "'=1+2"), ("+1", "'+1"), ("-x", "'-x"), ("@SUM(A1)", "'@SUM(A1)"), ("\tx", "'\tx"),
     ("\rx", "'\rx"), ("a=1", "a=1"), (-1.5, -1.5), (None, None)],
)
def test_spreadsheet_safe(cell, safe):
    assert output.spreadsheet_safe(cell) == safe


# -- plots ---------------------------------------------------------------------------------------


def test_plot_file_names_never_collide():
    names = [plots.file_name(m, "a", "b") for m in ("größe", "höhe", "日本", "中国", "x/y", "x?y", "X?Y")]
    unique = plots.unique_names(names)
    assert len({n.casefold() for n in unique}) == len(names)
    assert unique[0] == "interaction_größe__a__b.png" and unique[2] == "interaction_日本__a__b.png"
    assert unique[5] == "interaction_x_y__a__b_2.png" and unique[6] == "interaction_X_Y__a__b_3.png"
    assert all(len(n) < 200 for n in plots.unique_names([plots.file_name("m" * 5000, "a", "b")]))


def test_plot_directory_is_only_checked_before_the_run(tmp_path):
    target = tmp_path / "new" / "plots"
    plots.prepare_directory(str(target))
    assert not (tmp_path / "new").exists()
    (tmp_path / "file").write_text("")
    with pytest.raises(InputError, match="not a directory"):
        plots.prepare_directory(str(tmp_path / "file" / "plots"))


def _zstd_frame(data):
    """A zstd frame header and raw payload: enough to carry the format's first bytes."""
    return b"\x28\xb5\x2f\xfd" + data


@pytest.mark.parametrize("kind, compress", [
    ("gzip", lambda data: __import__("gzip").compress(data)),
    ("bzip2", lambda data: __import__("bz2").compress(data)),
    ("xz", lambda data: __import__("lzma").compress(data)),
    ("zstd", _zstd_frame),
])
@pytest.mark.parametrize("name", ["data.csv", "data.json"])
def test_compressed_bytes_under_a_plain_name_are_refused(tmp_path, kind, compress, name):
    content = compress(b"g,y\na,1\nb,2\n")
    plain = tmp_path / name
    plain.write_bytes(content)
    with pytest.raises(InputError) as caught:
        reader.check_and_detect(str(plain), None)
    assert "looks compressed (%s)" % kind in str(caught.value)
    suffix = {"gzip": ".gz", "bzip2": ".bz2", "xz": ".xz", "zstd": ".zst"}[kind]
    named = tmp_path / (name + suffix)
    named.write_bytes(content)
    assert reader.check_and_detect(str(named), None) == name.split(".")[1]


def test_errors_whose_text_fails_still_give_one_line():
    from Tarnwick.cli.errors import first_line

    class JvmBound(Exception):
        desc = "spark.sql.shuffle.partitions must be positive"

        def __str__(self):
            raise RuntimeError("the JVM refused")

    assert first_line(JvmBound()) == JvmBound.desc
    assert first_line(type("Bare", (JvmBound,), {"desc": None})()) == "Bare"


@pytest.mark.parametrize("url", ["sc://", "sc:///;token=secret"])
def test_a_server_url_without_host_is_named_whole(url):
    from Tarnwick.cli import remote

    with pytest.raises(InputError) as caught:
        remote.choose_url(url, None, {})
    assert str(caught.value) == "--remote sc:// names no host"


def test_an_invalid_sql_setting_is_refused_in_one_line(tmp_path):
    from cli_helpers import run_cli

    completed = run_cli(["--conf", "spark.sql.shuffle.partitions=-1", "-q"], cwd=str(tmp_path))
    assert completed.returncode == 2, completed.stderr
    lines = said(completed.stderr)
    assert len(lines) == 1 and "Traceback" not in completed.stderr
    assert lines[0].startswith("tarnwick-anova: error: invalid --conf "
                               "spark.sql.shuffle.partitions=-1")
