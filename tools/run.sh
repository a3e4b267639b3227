#!/usr/bin/env bash
# Runs the two-way analysis of variance command line, setting up its environment first.
# Uses CPython 3.7 where it is installed, otherwise the newest supported CPython.
# Arguments go to the command line (try --help); with none it analyses the bundled example.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
for version in ${TARNWICK_PYTHONS:-3.7 3.12}; do
  if bash "$repo/tools/env.sh" --find "$version" >/dev/null 2>&1; then
    venv=$(bash "$repo/tools/env.sh" "$version" | tail -n 1)
    echo "Using CPython $version ($venv)" >&2
    exec "$venv/bin/python" -m Tarnwick "$@"
  fi
done
echo "error: no supported CPython found (looked for ${TARNWICK_PYTHONS:-3.7 3.12}); install one with pyenv, e.g.: pyenv install 3.7" >&2
exit 2
