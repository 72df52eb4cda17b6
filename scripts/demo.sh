#!/usr/bin/env bash
# Sets everything up, builds, then runs the prequential demo on the electricity stream.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUELB_BUILD_DIR:-$root/build}"
python="${QUELB_PYTHON:-/usr/bin/python3}"
"$root/scripts/setup.sh" "$build"
PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" exec "$python" "$root/demo/prequential.py" "$@"
