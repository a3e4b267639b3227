"""Where the results go, and how text that came from the data is shown.

``--output PATH`` is checked before Spark starts and written only when the run succeeded:

* a new path, or an existing regular file, is written through a temporary file beside it that
  is renamed over it when complete (all or nothing); a symbolic link is followed and its target
  replaced, so the link itself stays a link; an existing file keeps its permissions;
* a character device or a FIFO (``/dev/stdout``, a named pipe) is opened and written as it is,
  since it cannot be replaced;
* anything else (a directory, a socket, a block device), the input data itself, or a path inside
  an input directory is refused.

Names and levels come from the data and are shown as text only: :func:`printable` escapes the
characters a terminal would act on, and :func:`spreadsheet_safe` keeps a CSV cell from starting
like a spreadsheet formula.
"""
from __future__ import annotations

import os
import stat
import unicodedata
from typing import Optional

from Tarnwick.cli.errors import InputError

#: Longest message line printed on stderr; longer ones are cut (a header line can be megabytes).
MAX_MESSAGE = 500

# Unicode format characters that reorder or hide text on a terminal (bidirectional overrides,
# isolates and marks), escaped like the control characters.
_BIDI = {0x200E, 0x200F, 0x061C} | set(range(0x202A, 0x202F)) | set(range(0x2066, 0x206A))
_FORMULA_START = ("=", "+", "-", "@", "\t", "\r")


def printable(text: object) -> str:
    """``text`` with control characters (newlines and tabs too) and bidirectional controls
    escaped as ``\\xNN`` / ``\\uNNNN``, so that it shows as what it is, on one line."""
    out = []
    for char in str(text):
        code = ord(char)
        if unicodedata.category(char) == "Cc" or code in _BIDI:
            out.append("\\x%02x" % code if code < 0x100 else "\\u%04x" % code)
        else:
            out.append(char)
    return "".join(out)


def message_line(text: object, limit: int = MAX_MESSAGE) -> str:
    """One printable line of at most ``limit`` characters (a longer one ends with ``...``)."""
    line = printable(text)
    if len(line) > limit:
        line = line[: limit - 3] + "..."
    return line


def spreadsheet_safe(value: object) -> object:
    """A text cell that a spreadsheet would read as a formula (leading ``= + - @``, tab or
    carriage return) gets a leading apostrophe; other values are returned unchanged."""
    if isinstance(value, str) and value.startswith(_FORMULA_START):
        return "'" + value
    return value


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _inside(path: str, directory: str) -> bool:
    real_dir = os.path.realpath(directory)
    real = os.path.realpath(path)
    return os.path.commonpath([real, real_dir]) == real_dir


def check_output_target(path: str, data: Optional[str] = None) -> None:
    """Refuse an ``--output`` PATH that cannot or must not be written (see the module notes).

    Parameters
    ----------
    path : str
        The ``--output`` argument.
    data : str, optional
        The local input path (file or directory), when there is one.
    """
    if data is not None and data.startswith("file://"):
        data = data[len("file://"):]
    if data is not None and os.path.exists(data):
        if os.path.exists(path) and _same_file(path, data):
            raise InputError("--output %s is the input data itself; give another file name" % path)
        if os.path.isdir(data) and _inside(path, data):
            raise InputError(
                "--output %s is inside the input directory %s; write it elsewhere" % (path, data)
            )
    try:
        mode = os.stat(path).st_mode  # follows a symbolic link to its target
    except FileNotFoundError:
        mode = None
    except OSError as exc:
        raise InputError("cannot write --output %s: %s" % (path, exc.strerror or exc))
    if mode is not None:
        if stat.S_ISDIR(mode):
            raise InputError("--output %s is a directory; give a file name" % path)
        if stat.S_ISCHR(mode) or stat.S_ISFIFO(mode):
            if not os.access(path, os.W_OK):
                raise InputError("cannot write --output %s: permission denied" % path)
            return
        if not stat.S_ISREG(mode):
            raise InputError(
                "--output %s is neither a regular file, a character device nor a FIFO; give a "
                "file name" % path
            )
    target = os.path.realpath(path)
    directory = os.path.dirname(target)
    if not os.path.isdir(directory):
        raise InputError("cannot write --output %s: directory %s does not exist" % (path, directory))
    if not os.access(directory, os.W_OK | os.X_OK):
        raise InputError("cannot write --output %s: permission denied" % path)


def write_output(path: str, text: str) -> None:
    """Write ``text`` to ``path`` as :func:`check_output_target` allowed it: the whole output or
    nothing for a file, a plain write for a device or FIFO."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        mode = None
    if mode is not None and (stat.S_ISCHR(mode) or stat.S_ISFIFO(mode)):
        try:
            with open(path, "w", encoding="utf-8", newline="") as handle:
                handle.write(text)
        except OSError as exc:
            raise InputError("cannot write --output %s: %s" % (path, exc.strerror or exc))
        return
    target = os.path.realpath(path)  # a link stays a link: its target is replaced
    directory = os.path.dirname(target)
    temporary = os.path.join(directory, ".%s.%d.tmp" % (os.path.basename(target), os.getpid()))
    try:
        with open(temporary, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
        if mode is not None:
            os.chmod(temporary, stat.S_IMODE(mode))
        os.replace(temporary, target)
    except BaseException as exc:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(exc, OSError):
            raise InputError("cannot write --output %s: %s" % (path, exc.strerror or exc))
        raise
