#!/usr/bin/env bash
# Memory-error checks of the extension modules, on demand (not part of CI).
#
#   tools/sanitize.sh asan [VERSION] [PYTEST ARGS...]
#       Builds both extension modules with AddressSanitizer and UndefinedBehaviorSanitizer
#       (CMake option TARNWICK_SANITIZE) in build/asan-pyVERSION, installs them with the Python
#       package into a separate environment .venv/asan-pyVERSION (which borrows the
#       dependencies of .venv/pyVERSION), and runs pytest there with the sanitizer runtime
#       preloaded.  Default tests: tests/.  Any sanitizer report fails the run.
#
#   tools/sanitize.sh valgrind [VERSION] [PYTEST ARGS...]
#       Runs pytest under valgrind's memcheck with PYTHONMALLOC=malloc, on the ordinary build
#       in .venv/pyVERSION.  Valgrind is slow (30-100 times): by default it runs the isolated
#       reliability cases (binding fuzz, hostile collaborators, leak scenarios) in one process
#       with fewer iterations; pass other pytest arguments to choose another subset.
#
# VERSION defaults to 3.7.  Exit status: pytest's, or 99 when valgrind reported an error.
set -euo pipefail

mode=${1:?usage: tools/sanitize.sh asan|valgrind [VERSION] [PYTEST ARGS...]}
shift
version=3.7
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+\.[0-9]+$ ]]; then
  version=$1
  shift
fi
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
isolated="$repo/tests/reliability/isolated"
say() { printf '[sanitize %s %s] %s\n' "$mode" "$version" "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 2; }

base=$(bash "$repo/tools/env.sh" "$version" | tail -n 1)
site_of() { "$1/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])'; }

run_asan() {
  command -v gcc >/dev/null || die "gcc is needed for the sanitizer runtime"
  local libasan libstdcxx build venv site
  libasan=$(gcc -print-file-name=libasan.so)
  [ -f "$libasan" ] || die "no libasan.so next to gcc (install the gcc sanitizer runtime)"
  # The interpreter does not link the C++ runtime; preloaded after libasan, it is there when
  # ASan sets up its interceptors (otherwise the first C++ throw aborts in __cxa_throw).
  libstdcxx=$(g++ -print-file-name=libstdc++.so.6)
  build="$repo/build/asan-py$version"
  venv="$repo/.venv/asan-py$version"

  say "building with -DTARNWICK_SANITIZE=ON in ${build#$repo/}"
  PATH="$base/bin:$PATH" cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DTARNWICK_SANITIZE=ON -DPython_EXECUTABLE="$base/bin/python" >/dev/null
  PATH="$base/bin:$PATH" cmake --build "$build" >&2

  if [ ! -x "$venv/bin/python" ]; then
    say "creating ${venv#$repo/}"
    "$base/bin/python" -m venv --without-pip "$venv"
  fi
  site="$venv/lib/python$version/site-packages"
  # The dependencies come from the ordinary environment, after this one's own site-packages,
  # so the sanitized package found here shadows the ordinary one.
  site_of "$base" >"$site/tarnwick-base-environment.pth"
  rm -rf "$site/Tarnwick"
  cp -r "$repo/python/Tarnwick" "$site/Tarnwick"
  find "$site/Tarnwick" -name __pycache__ -prune -exec rm -rf {} +
  local module
  for module in version factorpair; do
    local built target
    built=$(find "$build/src" -name "$module.*.so" | head -n 1)
    [ -n "$built" ] || die "the build made no $module module"
    case $module in
      version) target="$site/Tarnwick/" ;;
      factorpair) target="$site/Tarnwick/bi/stats/" ;;
    esac
    cp "$built" "$target"
  done

  # Python processes (this one and the fresh interpreters the tests start) run with the
  # sanitizer runtime preloaded; everything else they start (the shell scripts and the JVM of
  # Spark, ps) must not inherit it: some of those hang under ASan. So the environment's
  # python is a wrapper that preloads, and a .pth file removes LD_PRELOAD from os.environ as
  # soon as the interpreter starts.
  local real
  real=$(readlink -f "$base/bin/python")
  local name
  for name in python python3 "python$version"; do
    rm -f "$venv/bin/$name"
    cat >"$venv/bin/$name" <<WRAPPER
#!/usr/bin/env bash
export LD_PRELOAD="$libasan $libstdcxx" TARNWICK_SANITIZER=asan
export ASAN_OPTIONS="\${ASAN_OPTIONS:-detect_leaks=0}"
exec -a "\$0" "$real" "\$@"
WRAPPER
    chmod +x "$venv/bin/$name"
  done
  echo 'import os; os.environ.pop("LD_PRELOAD", None)' >"$site/tarnwick-sanitizer-preload.pth"

  local log="$build/sanitizer"
  rm -f "$log".*
  say "running pytest ${*:-tests} with $libasan and $libstdcxx preloaded"
  set +e
  (
    cd "$repo"
    # detect_leaks=0: the interpreter keeps objects alive at exit by design; leaks are the
    # reliability cases' business.  UBSan stops at the first report so that it fails the run.
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:halt_on_error=1:log_path=$log:allow_user_segv_handler=1:handle_segv=0" \
      UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$log" \
      PYTHONMALLOC=malloc \
      "$venv/bin/python" -m pytest -p no:cacheprovider "${@:-tests}"
  )
  local status=$?
  set -e
  if compgen -G "$log.*" >/dev/null; then
    say "sanitizer reports:"
    cat "$log".* >&2
    exit 99
  fi
  say "no sanitizer report; pytest exit status $status"
  exit $status
}

run_valgrind() {
  command -v valgrind >/dev/null || die "valgrind is not installed (apt-get install -y valgrind)"
  local args=("$@")
  if [ ${#args[@]} -eq 0 ]; then
    args=(-p fake_host -o "python_files=case_*.py" --rootdir "$isolated" "$isolated")
    export PYTHONPATH="$repo/tests:$isolated" TARNWICK_LEAK_CALLS=${TARNWICK_LEAK_CALLS:-30}
    export TARNWICK_FUZZ_EXAMPLES=${TARNWICK_FUZZ_EXAMPLES:-150}
  fi
  say "running pytest ${args[*]} under valgrind (slow)"
  cd "$repo"
  PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --leak-check=no \
    --track-origins=yes --num-callers=30 --trace-children=no \
    --suppressions="$repo/tools/valgrind-python.supp" \
    "$base/bin/python" -m pytest -p no:cacheprovider "${args[@]}"
}

case $mode in
  asan) run_asan "$@" ;;
  valgrind) run_valgrind "$@" ;;
  *) die "unknown mode '$mode' (asan or valgrind)" ;;
esac
