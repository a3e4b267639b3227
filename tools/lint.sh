#!/usr/bin/env bash
# Checks the C++ sources: formatting (clang-format) and the checks in .clang-tidy.
# Needs clang-format and clang-tidy (Debian: apt-get install -y clang-format clang-tidy).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
venv=$(bash tools/env.sh "${1:-3.7}" | tail -n 1)
sources=$(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/native/*.cpp')
clang-format --dry-run --Werror $sources
build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT
cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$venv/bin/python" \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
status=0
report=$(clang-tidy -p "$build" --quiet $(git ls-files 'src/*.cpp') 2>&1) || status=$?
# clang-tidy counts the warnings it suppressed in system headers; only the rest is news.
grep -v ' warnings generated\.$' <<<"$report" || true
[ "$status" -eq 0 ] && echo "lint: clean"
exit "$status"
