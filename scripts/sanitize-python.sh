#!/usr/bin/env bash
# Builds the Python extension with a sanitizer and runs the package's tests of threads against
# it: one manager called from several threads, managers on threads of their own, work done
# without the GIL beside other threads, log records handed over after released work, log
# handlers that call the package again, and the getters' fast lanes read beside changes.
# Those paths (per-manager locks, GIL release, per-thread record lists, fast lanes) live in
# the binding, which the C++ tests never reach.
#
#   bash scripts/sanitize-python.sh asan|tsan [BUILD_DIR [CMAKE_OPTION...]]
#
# asan: AddressSanitizer and UndefinedBehaviorSanitizer (default BUILD_DIR build-asan);
# tsan: ThreadSanitizer (default BUILD_DIR build-tsan). Extra options go to the configure
# step, so that a build directory shared with the C++ sanitizer tests keeps its settings.
# The interpreter is not instrumented: the sanitizer's runtime is preloaded into it. The first
# report ends the process, so it fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

usage="usage: $0 asan|tsan [BUILD_DIR [CMAKE_OPTION...]]"
kind=${1:?$usage}
shift
case "$kind" in
  asan)
    build=${1:-build-asan}
    options=(-DARVCORE_SANITIZE=ON)
    runtime=libasan.so
    ;;
  tsan)
    build=${1:-build-tsan}
    options=(-DARVCORE_SANITIZE_THREAD=ON)
    runtime=libtsan.so
    ;;
  *)
    echo "$usage" >&2
    exit 2
    ;;
esac
shift || true

# The tests, by name: a renamed or removed one makes pytest fail here rather than go unchecked.
tests=(
  tests/python/test_threads.py
  tests/python/test_fast_lane.py
  tests/python/test_kept_results.py
)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug "${options[@]}" -DARVCORE_PYTHON=ON \
  -DARVCORE_BENCH=OFF "$@" >/dev/null
cmake --build "$build" --target _arvcore _testing

cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
runtime_path=$("$cxx" -print-file-name="$runtime")
if [ ! -e "$runtime_path" ]; then
  echo "$cxx has no $runtime" >&2
  exit 1
fi
# The C++ runtime is preloaded as well: the sanitizer can only wrap its exception throwing
# when it is loaded before the sanitizer starts, and the interpreter itself does not load it.
preload="$runtime_path $("$cxx" -print-file-name=libstdc++.so.6)"

# CPython keeps memory until exit, so the leak checker stays off. Children started by the
# tests (interpreters that must not hang) inherit all of this.
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"

# fd-level capture would swallow the report of a process that the sanitizer ends, so only
# Python's own streams are captured.
LD_PRELOAD="$preload" PYTHONPATH="$build/python" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider --capture=sys "${tests[@]}"
echo "Python thread tests passed under $kind"
