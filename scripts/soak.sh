#!/usr/bin/env bash
# Builds, then streams a million samples through each ensemble and reports peak memory and the
# memory left after reset (see bench/soak.py for the options, e.g. --classes all --samples 100000).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build="${QUELB_BUILD_DIR:-$root/build}"
"$root/scripts/setup.sh" "$build"
PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" exec "$venv_python" "$root/bench/soak.py" "$@"
