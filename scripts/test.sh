#!/usr/bin/env bash
# All tests: installs the project into the project environment (.venv, made from the python3
# first on PATH or QUELB_PYTHON) the way `pip install .` does; builds the C++ unit tests and the
# benchmark-only extension (which the boundary tests call) in the CMake tree build and runs the C++
# tests; then runs the Python suite against the installed package. Extra arguments go to pytest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build="${QUELB_BUILD_DIR:-$root/build}"

project_env test
install_project

echo "== C++ unit tests"
tree_build "$build" --target "quelb_cpp_tests _quelb_bench"
ctest --test-dir "$build" --output-on-failure -j2

echo "== Python tests (the package installed in $venv)"
set +e
QUELB_BUILD_DIR="$build" QUELB_TEST_TREE=0 "$venv_python" -m pytest -q "$root/tests/python" "$@"
status=$?
set -e
# pytest exits with 5 when it collected nothing: a suite that silently vanished is a failure.
if [ "$status" -eq 5 ]; then
  echo "pytest collected no tests: treating this as a failure" >&2
  exit 1
fi
exit "$status"
