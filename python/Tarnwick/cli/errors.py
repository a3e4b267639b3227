"""The one exception type the command line turns into a short message and exit status 2, and
the one way it shortens any error text to a line."""


class InputError(Exception):
    """Something about the input, the options or the machine that the user can fix.

    The message is one line that says what is wrong and what to do; the command line prints it
    after ``error:`` on stderr and exits with status 2 (the traceback only with ``--debug``).
    """

    exit_status = 2


def safe_text(value: object) -> str:
    """``str(value)``, or for an error whose text cannot be made (pyspark builds some errors'
    text by asking the JVM, which may refuse, say under an invalid SQL setting) its ``desc``
    or its type's name."""
    try:
        return str(value)
    except Exception:
        return getattr(value, "desc", None) or type(value).__name__


def first_line(text: object, default: str = "") -> str:
    """The first non-blank line of ``text`` (an exception or a message), stripped."""
    for line in safe_text(text).splitlines():
        if line.strip():
            return line.strip()
    return default
