#!/usr/bin/env bash
# Builds, then measures every class per sample against the cost of crossing the boundary.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUELB_BUILD_DIR:-$root/build}"
python="${QUELB_PYTHON:-/usr/bin/python3}"
"$root/scripts/setup.sh" "$build"
PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" exec "$python" "$root/bench/bench.py" "$@"
