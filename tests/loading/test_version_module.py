"""The version module: its namespace and the shared loading procedure, one process per scenario."""
import json
import sys

import pytest

REINIT_MESSAGE = "Module 'version' has already been imported. Re-initialisation is not supported."
INTERPRETER_MESSAGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)


def test_namespace(run_python):
    out = run_python(
        """
        import json, sys
        import Tarnwick.version as v
        print(json.dumps({
            "version": v.__version__, "type": type(v.__version__).__name__, "doc": v.__doc__,
            "test": v.__test__, "test_type": type(v.__test__).__name__,
            "builtins": v.__builtins__ is sys.modules["builtins"],
            "registered": sys.modules["Tarnwick.version"] is v,
            "package": v.__package__, "has_path": hasattr(v, "__path__"),
            "file_is_origin": v.__file__ == v.__spec__.origin,
            "loader_is_spec_loader": v.__loader__ is v.__spec__.loader,
        }))
        """
    ).stdout
    assert json.loads(out) == {
        "version": "0.2.9", "type": "str", "doc": None, "test": {}, "test_type": "dict",
        "builtins": True, "registered": True, "package": "Tarnwick", "has_path": False,
        "file_is_origin": True, "loader_is_spec_loader": True,
    }


def test_repeated_import_and_reload_yield_the_same_object_without_rerunning(run_python):
    out = run_python(
        """
        import importlib, sys
        import Tarnwick.version as first
        first.__version__ = "changed"
        del sys.modules["Tarnwick.version"]
        import Tarnwick.version as second
        third = importlib.reload(second)
        print(first is second, second is third, third.__version__)
        """
    ).stdout.split()
    assert out == ["True", "True", "changed"]


def test_importing_loads_nothing_else(run_python):
    out = run_python(
        """
        import sys
        before = set(sys.modules)
        import Tarnwick.version
        new = sorted(set(sys.modules) - before)
        print(" ".join(new))
        """
    ).stdout.split()
    # The parent package is imported first by the import system, as for any submodule.
    assert out == ["Tarnwick", "Tarnwick.version"]


def test_exec_on_another_module_object_is_refused(run_python):
    out = run_python(
        """
        import importlib.util
        spec = importlib.util.find_spec("Tarnwick.version")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        spec.loader.exec_module(first)  # the initialised object itself: accepted, nothing runs
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            print(type(error).__name__ + ": " + str(error))
        """
    ).stdout.strip()
    assert out == "RuntimeError: " + REINIT_MESSAGE


def test_second_interpreter_is_refused(run_python, tmp_path):
    report = tmp_path / "subinterpreter.txt"
    run_python(
        """
        import _testcapi
        import Tarnwick.version
        code = '''
        try:
            import Tarnwick.version
            outcome = "imported"
        except ImportError as error:
            outcome = "ImportError: " + str(error)
        with open(%r, "w") as handle:
            handle.write(outcome)
        '''
        import textwrap
        _testcapi.run_in_subinterp(textwrap.dedent(code))
        """
        % str(report)
    )
    assert report.read_text() == "ImportError: " + INTERPRETER_MESSAGE


def test_no_warning_when_built_for_the_running_interpreter(run_python):
    # Built and run by the same interpreter: no warning, even with warnings turned into errors.
    out = run_python(
        """
        import warnings
        warnings.simplefilter("error")
        import Tarnwick.version as v
        print(v.__version__)
        """
    ).stdout.strip()
    assert out == "0.2.9"


BUILT_FOR = "%d.%d" % sys.version_info[:2]


@pytest.mark.parametrize("running, shown, as_error", [
    # the first three characters of the running version are compared: major and minor digit
    ("3.12", [], False),
    ("3.13", [], False),  # the same third character as 3.12's: quiet
    ("3.9.", ["3.9"], False),
    ("4.12", ["4.1"], False),
    ("3.9.", ["3.9"], True),  # warnings turned into errors: the import fails
])
def test_version_mismatch_warning(run_python, running, shown, as_error):
    if BUILT_FOR != "3.12":
        pytest.skip("needs a build for CPython 3.12 (the running version is set for the test)")
    out = run_python(
        """
        import ctypes, json, warnings
        version = ctypes.pythonapi.Py_GetVersion
        version.restype = ctypes.c_void_p
        running = %r.encode()
        ctypes.memmove(version(), running, len(running))
        assert ctypes.string_at(version(), len(running)) == running
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter(%r)
            try:
                import Tarnwick.version
            except RuntimeWarning as error:
                print(json.dumps(["raised", str(error)]))
            else:
                print(json.dumps([[w.category.__name__, str(w.message)] for w in caught]))
        """
        % (running, "error" if as_error else "always")
    ).stdout
    messages = ["compiletime version %s of module 'Tarnwick.version' does not match runtime "
                "version %s" % (BUILT_FOR, version) for version in shown]
    if as_error:
        assert json.loads(out) == ["raised"] + messages
    else:
        assert json.loads(out) == [["RuntimeWarning", message] for message in messages]
