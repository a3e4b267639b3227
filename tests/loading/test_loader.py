"""The shared loading procedure and traceback entries, through a test-only module built on the core."""
import pytest

from support.source import TRACE_FILE, line, qualified


@pytest.mark.parametrize(
    "function, file, line",
    [
        ("init Tarnwick.version", "Tarnwick\\version", 1),
        (qualified("test_anova"), TRACE_FILE, line("test_anova", "record")),
        ("f", "x", 100000),
    ],
)
def test_traceback_entry_reads_back_exactly(run_python, probe_dir, function, file, line):
    out = run_python(
        """
        import traceback, tarnwick_probe
        for attempt in range(2):  # the second use of an entry comes from the cache
            try:
                tarnwick_probe.raise_with_entry(%r, %r, %d)
            except ValueError as error:
                entry = traceback.extract_tb(error.__traceback__)[-1]
                print(repr((entry.name, entry.filename, entry.lineno)))
        """
        % (function, file, line),
        extra_paths=[probe_dir],
    ).stdout.splitlines()
    assert out == [repr((function, file, line))] * 2


@pytest.mark.parametrize("fail_line", [1, 2, 3])
def test_failed_body_reports_its_line_and_a_later_import_starts_again(run_python, probe_dir, fail_line):
    out = run_python(
        """
        import sys, traceback
        sys._tarnwick_probe_fail_line = %d
        try:
            import tarnwick_probe
        except ValueError as error:
            entry = traceback.extract_tb(error.__traceback__)[-1]
            print(repr((str(error), entry.name, entry.filename, entry.lineno)))
        print("tarnwick_probe" in sys.modules)
        del sys._tarnwick_probe_fail_line
        import tarnwick_probe
        print(tarnwick_probe.body_runs(), tarnwick_probe.state)
        """
        % fail_line,
        extra_paths=[probe_dir],
    ).stdout.splitlines()
    assert out == [
        repr(("probe failure", "init tarnwick_probe", "tarnwick\\probe", fail_line)),
        "False",
        "2 ready",
    ]


def test_spec_attributes_are_copied_and_missing_ones_skipped(run_python, probe_dir):
    out = run_python(
        """
        import importlib.util, sys

        real = importlib.util.find_spec("tarnwick_probe")

        class BareSpec:
            # Only what loading the file requires; loader, parent and the search locations
            # are absent.
            name = "tarnwick_probe"
            origin = real.origin

        class ListedSpec:
            name = "tarnwick_probe"
            origin = real.origin
            loader = None
            parent = None
            submodule_search_locations = ["somewhere"]

        bare = real.loader.create_module(BareSpec())
        listed = real.loader.create_module(ListedSpec())
        print(bare.__loader__, bare.__package__, bare.__file__ == real.origin, hasattr(bare, "__path__"))
        print(listed.__loader__, listed.__file__ == real.origin, listed.__package__, listed.__path__)
        """,
        extra_paths=[probe_dir],
    ).stdout.splitlines()
    # A spec that lacks an attribute contributes nothing for it (a new module's own None stays);
    # None is copied except for the search locations.
    assert out == ["None None True False", "None True None ['somewhere']"]


def test_spec_without_name_fails_the_create_step(run_python, probe_dir):
    out = run_python(
        """
        import importlib.util
        loader = importlib.util.find_spec("tarnwick_probe").loader

        class Nameless:
            origin = importlib.util.find_spec("tarnwick_probe").origin

        try:
            loader.create_module(Nameless())
        except AttributeError as error:
            print("AttributeError")
        """,
        extra_paths=[probe_dir],
    ).stdout.strip()
    assert out == "AttributeError"


def test_spec_attribute_error_other_than_missing_fails_the_create_step(run_python, probe_dir):
    out = run_python(
        """
        import importlib.util
        real = importlib.util.find_spec("tarnwick_probe")

        class Broken:
            name = "tarnwick_probe"
            origin = real.origin

            @property
            def parent(self):
                raise KeyError("parent")

        try:
            real.loader.create_module(Broken())
        except KeyError as error:
            print("KeyError", error)
        """,
        extra_paths=[probe_dir],
    ).stdout.strip()
    assert out == "KeyError 'parent'"
