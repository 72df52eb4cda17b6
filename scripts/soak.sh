#!/usr/bin/env bash
# Builds, then streams a million samples through each ensemble and reports peak memory and the
# memory left after reset (see bench/soak.py for the options, e.g. --classes all --samples 100000).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUELB_BUILD_DIR:-$root/build}"
python="${QUELB_PYTHON:-/usr/bin/python3}"
"$root/scripts/setup.sh" "$build"
PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" exec "$python" "$root/bench/soak.py" "$@"
