import os
import shutil
import subprocess
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _cmake():
    # The environment installs cmake and ninja next to the interpreter.
    bin_dir = os.path.dirname(sys.executable)
    for name in ("cmake",):
        candidate = os.path.join(bin_dir, name)
        if os.path.exists(candidate):
            return candidate
    return shutil.which("cmake")


@pytest.fixture(scope="session")
def probe_dir(tmp_path_factory):
    """Directory holding the freshly built test-only extension module ``tarnwick_probe``."""
    cmake = _cmake()
    if cmake is None:
        pytest.skip("cmake is not available to build the probe module")
    build = tmp_path_factory.mktemp("probe-build")
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    configure = [
        cmake,
        "-S", os.path.join(REPO, "tests", "native"),
        "-B", str(build),
        "-G", "Ninja",
        "-DCMAKE_BUILD_TYPE=Debug",
        "-DPython_EXECUTABLE=" + sys.executable,
        "-DTARNWICK_SOURCE_DIR=" + REPO,
        "-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=" + str(build / "out"),
    ]
    for command in (configure, [cmake, "--build", str(build)]):
        done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True)
        assert done.returncode == 0, done.stdout
    out = build / "out"
    assert any(name.startswith("tarnwick_probe") for name in os.listdir(str(out)))
    return out
