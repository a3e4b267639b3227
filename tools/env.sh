#!/usr/bin/env bash
# Creates or refreshes the virtual environment for one CPython version and builds the package
# into it.  Usage: tools/env.sh VERSION   (VERSION: 3.7 or 3.12)
#                  tools/env.sh --find VERSION   (only prints the interpreter, or fails)
# Prints the environment's directory as the last line of stdout; progress goes to stderr.
# Idempotent: dependencies are reinstalled only when their requirements file changed, and the
# package is rebuilt (incrementally, see build-dir in pyproject.toml) only when a source changed.
set -euo pipefail

find_only=false
if [ "${1:-}" = "--find" ]; then
  find_only=true
  shift
fi
version=${1:?usage: tools/env.sh [--find] VERSION (3.7 or 3.12)}
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
requirements="$repo/requirements/py$version.txt"
venv_root=${TARNWICK_VENV_ROOT:-$repo/.venv}
venv="$venv_root/py$version"

say() { printf '[env %s] %s\n' "$version" "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 2; }

[ -f "$requirements" ] || die "no requirements file for CPython $version ($requirements); supported: $(cd "$repo/requirements" && ls py*.txt | sed 's/^py//; s/\.txt$//' | tr '\n' ' ')"

find_python() {
  local root candidate
  if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root)
  else
    root=${PYENV_ROOT:-$HOME/.pyenv}
  fi
  # Newest patch release of this minor version that pyenv has, then whatever PATH offers.
  candidate=$(ls -d "$root"/versions/"$version".* 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$candidate" ] && [ -x "$candidate/bin/python$version" ]; then
    echo "$candidate/bin/python$version"
    return 0
  fi
  command -v "python$version" 2>/dev/null && return 0
  return 1
}

python=$(find_python) || die "CPython $version not found (neither through pyenv nor as python$version on PATH). Install it, for example: pyenv install $version"
if $find_only; then
  echo "$python"
  exit 0
fi

# Local files run on the embedded engine without Java; Spark (and the test suite) need it.
command -v java >/dev/null 2>&1 ||
  say "note: 'java' is not on PATH: local files run on the embedded engine, but Spark (--engine spark, --master, the test suite) needs a Java runtime (JDK 17; pyspark 3.4 also runs on 8 or 11), for example: apt-get update && apt-get install -y openjdk-17-jre-headless"

if [ ! -x "$venv/bin/python" ]; then
  say "creating $venv with $python"
  "$python" -m venv "$venv"
fi
py="$venv/bin/python"

stamp_of() { cat "$@" | sha256sum | cut -c1-16; }

deps_stamp=$(stamp_of "$requirements")
if [ "$(cat "$venv/.deps-stamp" 2>/dev/null)" != "$deps_stamp" ]; then
  say "installing dependencies from ${requirements#$repo/} (first time: a few minutes)"
  # This machine's pip configuration lists local indexes that may be absent: hide that noise.
  quiet_pip() {
    local status=0
    "$py" -m pip "$@" >"$venv/.pip.log" 2>&1 || status=$?
    grep -v 'is ignored: it is neither a file nor a directory' "$venv/.pip.log" >&2 || true
    return "$status"
  }
  quiet_pip install --quiet --upgrade pip || true
  quiet_pip install --quiet -r "$requirements"
  echo "$deps_stamp" >"$venv/.deps-stamp"
  rm -f "$venv/.build-stamp"
fi

sources=$(cd "$repo" && find pyproject.toml CMakeLists.txt src python README.md -type f \
  ! -name '*.pyc' ! -path '*/__pycache__/*' | LC_ALL=C sort)
build_stamp=$(cd "$repo" && { echo "$sources"; stamp_of $sources; } | sha256sum | cut -c1-16)
if [ "$(cat "$venv/.build-stamp" 2>/dev/null)" != "$build_stamp" ]; then
  say "building Tarnwick into $venv"
  (cd "$repo" && "$py" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall . >&2)
  echo "$build_stamp" >"$venv/.build-stamp"
fi

echo "$venv"
