#!/usr/bin/env bash
# Build the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer
# and run the whole test suite against that build. Fails on a failing test and
# on any sanitizer report, also one written by a subprocess of a test.
#
#   tools/sanitize.sh [pytest arguments...]      (default: the whole suite)
#
# The build lives in build/sanitize/ (its own copy of the package tree under
# build/sanitize/python), so the modules of the normal development build in
# python/ stay as they are. Needs GCC or Clang with the sanitizer runtimes
# (Debian: libasan8, libubsan1) and the Python environment of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
python="${PYTHON:-python}"
build="$root/build/sanitize"
tree="$build/python"
reports="$build/reports"

# A fresh copy of the package sources; the sanitized modules are built into it.
rm -rf "$tree" "$reports"
mkdir -p "$tree" "$reports"
tar -C python --exclude='*.so' --exclude='__pycache__' -cf - . | tar -C "$tree" -xf -

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$(command -v "$python")" \
  -DVORN_SANITIZE=ON -DVORN_PACKAGE_ROOT="$tree" >/dev/null
cmake --build "$build" -j"${JOBS:-2}"

# The interpreter is not instrumented, so the runtime goes first into every
# process. libstdc++ is preloaded with it: ASan's interceptor of __cxa_throw
# must find the real one at start-up (the interpreter does not load it), or
# the first C++ exception aborts.
compiler="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")"
runtime() { readlink -f "$("$compiler" -print-file-name="$1")"; }
preload="$(runtime libasan.so) $(runtime libstdc++.so)"
for library in $preload; do
  [[ -e "$library" ]] || { echo "sanitizer runtime not found: $library" >&2; exit 1; }
done

# Reports go to files (one per process), so that a report of a subprocess
# whose failure a test expects cannot pass unseen. The interpreter's own
# allocations are never freed at exit: leak detection stays off.
export LD_PRELOAD="$preload"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
export PYTHONMALLOC=malloc
export PYTHONPATH="$tree"
export VORN_SANITIZED_BUILD=1
# Under the sanitizers every Python allocation goes through ASan's malloc, and
# the fuzz and leak campaigns (allocation-heavy hypothesis draws) run tens of
# times slower: they run here with short counts unless given.
export VORN_FUZZ_EXAMPLES="${VORN_FUZZ_EXAMPLES:-20}"
export VORN_LEAK_CALLS="${VORN_LEAK_CALLS:-40}"

status=0
"$python" -m pytest -p no:cacheprovider "${@:-tests}" || status=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "sanitizer reports:" >&2
  for report in "$reports"/*; do
    echo "== $report" >&2
    head -n 60 "$report" >&2
  done
  exit 1
fi
exit "$status"
