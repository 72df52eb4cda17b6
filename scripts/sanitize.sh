#!/usr/bin/env bash
# Builds a second copy of everything with AddressSanitizer and UndefinedBehaviorSanitizer, in its
# own build directory, then runs the C++ unit tests and the whole Python suite under them. Any
# sanitizer report fails the run, even one from a process whose exit status was ignored.
# Usage: scripts/sanitize.sh [pytest args...]      (build directory: $QUELB_SANITIZE_BUILD_DIR)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build="${QUELB_SANITIZE_BUILD_DIR:-$root/build-sanitize}"
python="$venv_python"  # the project environment: pybind11 for the build, the tests' libraries
cxx="${CXX:-g++}"

# -O1 compiles quickly and keeps reports exact; _GLIBCXX_ASSERTIONS adds bounds checks to the
# standard containers, which catch an index past size() that is still inside the allocation.
"$root/scripts/setup.sh" "$build" \
  -DQUELB_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1 -D_GLIBCXX_ASSERTIONS"

logs="$build/sanitizer-reports"
rm -rf "$logs"
mkdir -p "$logs"
# Reports go to files, judged after each stage, so that none is lost in captured output.
# halt_on_error: stop at the first report. allocator_may_return_null: an impossible allocation
# throws std::bad_alloc (MemoryError in Python) as in the normal build, instead of a report.
export ASAN_OPTIONS="halt_on_error=1:allocator_may_return_null=1:detect_leaks=1:log_path=$logs/report"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/report"
judge() { "$python" "$root/scripts/sanitizer_reports.py" "$logs" "$root"; }

echo "== C++ unit tests (ASan, UBSan, LeakSanitizer)"
status=0
ctest --test-dir "$build" --output-on-failure -j2 || status=$?
judge || exit 1
[ "$status" -eq 0 ] || exit "$status"

echo "== Python tests (ASan, UBSan, LeakSanitizer)"
# The interpreter is not instrumented: the sanitizer runtime must be loaded before anything else,
# and the C++ runtime with it so that exceptions thrown by the module pass through the runtime's
# interceptor. PYTHONMALLOC=malloc puts Python objects in the sanitizer's heap too, so a Python
# object used after the module let it go is caught. The interpreter leaves objects behind at exit
# by design, so leaks do not set the exit status; the judge counts only those whose allocation
# passed through this project's code. The suite runs against this tree build (QUELB_TEST_TREE=1);
# the install test builds an uninstrumented copy and is left to the plain run.
runtime="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libstdc++.so)"
status=0
LD_PRELOAD="$runtime" PYTHONMALLOC=malloc LSAN_OPTIONS="exitcode=0" QUELB_BUILD_DIR="$build" QUELB_TEST_TREE=1 \
  QUELB_SKIP_INSTALL_TEST=1 \
  "$python" -m pytest -q -p no:cacheprovider "$root/tests/python" "$@" || status=$?
judge || exit 1
# As in scripts/test.sh: a run that collected nothing (status 5) is a failure too.
exit "$status"
