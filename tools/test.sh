#!/usr/bin/env bash
# Runs the test suite on every supported CPython this machine has (3.7 and 3.12), setting up each
# environment first.  Extra arguments go to pytest.  Exits non-zero if any interpreter fails.
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
versions=${TARNWICK_PYTHONS:-"3.7 3.12"}

failed=()
ran=0
for version in $versions; do
  if ! venv=$(bash "$repo/tools/env.sh" "$version" | tail -n 1); then
    failed+=("$version (set-up)")
    continue
  fi
  ran=$((ran + 1))
  printf '\n=== tests on CPython %s (%s) ===\n' "$version" "$venv" >&2
  (cd "$repo" && "$venv/bin/python" -m pytest "$@") || failed+=("$version")
done

if [ "$ran" -eq 0 ]; then
  echo "no test ran: setting up failed for CPython ${failed[*]:-$versions} (see the messages above)" >&2
  exit 2
fi
if [ "${#failed[@]}" -gt 0 ]; then
  echo "FAILED on CPython: ${failed[*]}" >&2
  exit 1
fi
