"""Coding rules the compiler cannot check, read off the C++ sources."""
import os
import re

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_DIRS = [os.path.join(REPO, "src"), os.path.join(REPO, "tests", "native")]


def _sources():
    for top in SOURCE_DIRS:
        for folder, _, files in os.walk(top):
            for name in sorted(files):
                if name.endswith((".cpp", ".hpp")):
                    yield os.path.relpath(os.path.join(folder, name), REPO)


def _code(path):
    with open(os.path.join(REPO, path)) as handle:
        text = handle.read()
    # Comments may talk about anything; rules apply to code.
    text = re.sub(r"//[^\n]*", "", text)
    return re.sub(r"/\*.*?\*/", "", text, flags=re.S)


SOURCES = list(_sources())
# Reference counts are changed only by the reference types.
REFCOUNT_OWNERS = {os.path.join("src", "core", "ref.hpp")}


@pytest.mark.parametrize("path", SOURCES)
def test_reference_counts_change_only_inside_the_reference_types(path):
    if path in REFCOUNT_OWNERS:
        return
    assert not re.search(r"\bPy_X?(INC|DEC)REF\b|\bPy_CLEAR\b", _code(path))


@pytest.mark.parametrize("path", SOURCES)
def test_no_goto_and_entry_points_are_exported(path):
    code = _code(path)
    assert not re.search(r"\bgoto\b", code)
    # PyMODINIT_FUNC leaves the entry hidden on 3.7 under -fvisibility=hidden.
    assert "PyMODINIT_FUNC" not in code


def test_rules_see_the_sources():
    assert len(SOURCES) >= 8


def _factorpair_code():
    folder = os.path.join("src", "factorpair")
    return "".join(_code(os.path.join(folder, name))
                   for name in sorted(os.listdir(os.path.join(REPO, folder)))
                   if name.endswith(".cpp"))


def test_statement_lines_of_the_methods_are_the_table_s():
    from support.source import METHODS

    code = _factorpair_code()
    traced = set(int(n) for n in re.findall(r"\bLine\((\d+)\)", code))
    traced |= set(int(n) for n in re.findall(r"\bForEach\(\s*\w+\s*,\s*(\d+)", code))
    defined = set(int(n) for n in re.findall(r"\bkDefinitionLine\s*=\s*(\d+)", code))
    assert traced == set(number for method in METHODS.values()
                         for number, _ in method.statements.values())
    assert defined == set(method.line for method in METHODS.values())
