#!/usr/bin/env bash
# Builds, then measures every class per sample against the cost of crossing the boundary.
# scikit-learn, the reference for the comparison column, is installed into the project
# environment when it can be; without it the benchmark leaves that column out.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build="${QUELB_BUILD_DIR:-$root/build}"
"$root/scripts/setup.sh" "$build"
if ! "$venv_python" -c "import sklearn" 2>/dev/null; then
  "$venv_python" -m pip install -q scikit-learn || echo "bench: could not install scikit-learn" >&2
fi
PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" exec "$venv_python" "$root/bench/bench.py" "$@"
