#!/usr/bin/env bash
# Builds the documentation (the API reference from the installed package's docstrings, the
# getting-started page and the manuals) into build/docs/html, on CPython 3.12, with every
# warning an error.  Sets up the environment first, like tools/test.sh.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=$(bash "$repo/tools/env.sh" "${TARNWICK_DOCS_PYTHON:-3.12}" | tail -n 1)
out="$repo/build/docs"
rm -rf "$out"
"$venv/bin/python" -m sphinx -W --keep-going -n -q -b html -d "$out/doctrees" "$repo/docs" \
  "$out/html"
echo "docs: built $out/html/index.html"
