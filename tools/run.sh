#!/usr/bin/env bash
# Runs the two-way analysis of variance command line, setting up its environment first.
# Uses CPython 3.7 where it is installed, otherwise the newest supported CPython.
# Arguments go to the command line (try --help); with none it analyses the bundled example.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
for version in ${TARNWICK_PYTHONS:-3.7 3.12}; do
  if venv=$(bash "$repo/tools/env.sh" "$version" 2>/dev/null | tail -n 1) && [ -n "$venv" ]; then
    echo "Using CPython $version ($venv)" >&2
    exec "$venv/bin/python" -m Tarnwick "$@"
  fi
done
echo "error: no supported CPython found; run: bash tools/env.sh 3.7 to see why" >&2
exit 2
