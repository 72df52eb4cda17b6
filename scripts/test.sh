#!/usr/bin/env bash
# Sets everything up, builds, then runs the C++ unit tests and the Python test suite.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUELB_BUILD_DIR:-$root/build}"
python="${QUELB_PYTHON:-/usr/bin/python3}"

"$root/scripts/setup.sh" "$build"

echo "== C++ unit tests"
ctest --test-dir "$build" --output-on-failure -j2

echo "== Python tests"
set +e
QUELB_BUILD_DIR="$build" "$python" -m pytest -q "$root/tests/python" "$@"
status=$?
set -e
# pytest exits with 5 when it collected nothing: a suite that silently vanished is a failure.
if [ "$status" -eq 5 ]; then
  echo "pytest collected no tests: treating this as a failure" >&2
  exit 1
fi
exit "$status"
