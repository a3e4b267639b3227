"""Coding rules the compiler cannot check, read off the C++ sources."""
import json
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


FACTORPAIR = [path for path in SOURCES if path.startswith(os.path.join("src", "factorpair"))]


@pytest.mark.parametrize("path", FACTORPAIR)
def test_source_lines_come_from_the_table_never_from_literals(path):
    code = _code(path)
    assert not re.search(r"\bLine\(\s*\d", code)
    assert not re.search(r"\bForEach\(\s*\w+\s*,\s*\d", code)
    assert not re.search(r"\bscope\.line\s*=\s*\d", code)
    assert not re.search(r"\bkDefinitionLine\b", code)


@pytest.mark.parametrize("path", FACTORPAIR)
def test_no_source_file_is_named_like_a_test(path):
    name = os.path.basename(path)
    assert not name.startswith("test_") and not re.search(r"_tests?\.[ch]pp$", name)


def _listing(table):
    """(line, owner, key) of every entry of the source lines table, in table order."""
    rows = [(line, "module", name) for name, line in table["module_globals"].items()]
    for method, entry in table["methods"].items():
        rows.append((entry["line"], method, "def"))
        rows += [(line, method, key) for key, (line, _) in entry["statements"].items()]
    return rows


def test_the_source_lines_table_reads_as_one_source_listing():
    from support.source import METHODS, MODULE_LINES, TABLE

    with open(TABLE) as handle:
        rows = _listing(json.load(handle))
    lines = [line for line, _, _ in rows]
    # In source order: module statements, then each method's def and its statements.
    assert lines == sorted(lines), rows
    definitions = sorted(method.line for method in METHODS.values())
    assert max(MODULE_LINES.values()) < definitions[0]
    for method in METHODS.values():
        following = [line for line in definitions if line > method.line]
        end = following[0] if following else float("inf")
        assert all(method.line < line < end for line, _ in method.statements.values()), method
        texts = [text for _, text in method.statements.values()]
        assert all(texts) and len(set(texts)) == len(texts)
