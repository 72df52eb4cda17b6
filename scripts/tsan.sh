#!/usr/bin/env bash
# Builds the extension and the C++ tests with ThreadSanitizer in their own build directory, then
# runs the tests of the code that uses threads under it. Any report fails the run.
# Usage: scripts/tsan.sh      (build directory: $QUELB_TSAN_BUILD_DIR)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build="${QUELB_TSAN_BUILD_DIR:-$root/build-tsan}"
python="$venv_python"  # the project environment: pybind11 for the build, the tests' libraries
cxx="${CXX:-g++}"

project_env test
tree_build "$build" --target "_quelb_core quelb_cpp_tests" -DCMAKE_BUILD_TYPE=Debug -DQUELB_TSAN=ON \
  -DQUELB_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1"

logs="$build/tsan-reports"
rm -rf "$logs"
mkdir -p "$logs"
# Reports go to files, judged after each stage, so that none is lost in captured output.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$logs/report"
judge() {
  if compgen -G "$logs/report*" >/dev/null; then
    cat "$logs"/report* >&2
    echo "ThreadSanitizer reported the above" >&2
    return 1
  fi
}

echo "== C++ thread tests (TSan)"
"$build/quelb_cpp_tests" --gtest_filter='ThreadTeam*:Threads*:ParallelMembers*'
judge

echo "== Python thread tests (TSan)"
# The interpreter is not instrumented: the runtime is loaded first. A forked child that starts
# threads is not followed by TSan, so the fork test runs in the plain suite only.
LD_PRELOAD="$("$cxx" -print-file-name=libtsan.so)" QUELB_BUILD_DIR="$build" QUELB_TEST_TREE=1 QUELB_UNDER_TSAN=1 \
  "$python" -m pytest -q -p no:cacheprovider "$root/tests/python/test_threads.py" "$root/tests/python/test_batch.py" \
  -k "threads or Threads or thread"
judge
