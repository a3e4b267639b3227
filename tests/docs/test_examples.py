"""The examples a reader meets, run against the local SparkSession: the README's Python blocks,
in order and in one namespace as a reader would paste them, and the examples in the docstrings
of every module the API reference documents (docs/api.rst), as doctests."""
import contextlib
import doctest
import importlib
import inspect
import io
import os
import re

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
README = os.path.join(REPO, "README.md")
API_PAGE = os.path.join(REPO, "docs", "api.rst")

FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def readme_blocks():
    """The README's ```python blocks, in order."""
    with open(README, encoding="utf-8") as handle:
        return re.findall(r"^```python\n(.*?)^```", handle.read(), flags=re.S | re.M)


def documented_modules():
    """The modules whose members docs/api.rst documents from their docstrings."""
    with open(API_PAGE, encoding="utf-8") as handle:
        text = handle.read()
    return re.findall(r"^\.\. automodule:: (\S+)", text, flags=re.M)


def documented_members(module_name):
    """(name, object) of the members docs/api.rst lists for ``module_name``."""
    with open(API_PAGE, encoding="utf-8") as handle:
        text = handle.read()
    match = re.search(r"^\.\. automodule:: %s\n   :members: ([^\n]+)" % re.escape(module_name),
                      text, flags=re.M)
    module = importlib.import_module(module_name)
    return [(name.strip(), getattr(module, name.strip())) for name in match.group(1).split(",")]


def docstring_examples():
    finder = doctest.DocTestFinder(exclude_empty=True)
    found = {}
    for module_name in documented_modules():
        module = importlib.import_module(module_name)
        for test in finder.find(module):
            if test.examples:
                found[test.name] = test
    return found


EXAMPLES = docstring_examples()


def test_the_readme_examples_run(spark):
    blocks = readme_blocks()
    assert len(blocks) >= 3
    namespace = {"__name__": "readme"}
    for number, block in enumerate(blocks, 1):
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(block, "README.md, Python block %d" % number, "exec"), namespace)
        # Every block shows something: a block that prints nothing has lost its point.
        assert printed.getvalue().strip(), "README block %d printed nothing" % number


@pytest.mark.parametrize("name", sorted(EXAMPLES))
def test_docstring_example(name, spark):
    test = EXAMPLES[name]
    test.globs = dict(test.globs, spark=spark)
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    result = runner.run(test, out=report.write)
    assert result.failed == 0, report.getvalue()


@pytest.mark.parametrize("module_name", documented_modules())
def test_every_documented_function_and_class_shows_an_example(module_name):
    lacking = [name for name, member in documented_members(module_name)
               if (inspect.isfunction(member) or inspect.isclass(member))
               and not is_warning_or_error(member)
               and ">>>" not in (inspect.getdoc(member) or "")]
    assert not lacking, "no Examples section: %s" % ", ".join(lacking)


def is_warning_or_error(member):
    """Warnings and errors are documented by when they are raised, not by an example."""
    return inspect.isclass(member) and issubclass(member, Exception)
