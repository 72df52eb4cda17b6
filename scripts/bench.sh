#!/usr/bin/env bash
# Builds, then measures every class per sample against the cost of crossing the boundary.
# scikit-learn, the reference for the comparison column, comes from the system's packages when
# it can be installed; without it the benchmark leaves that column out.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUELB_BUILD_DIR:-$root/build}"
python="${QUELB_PYTHON:-/usr/bin/python3}"
if ! "$python" -c "import sklearn" 2>/dev/null && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  apt-get install -y -q python3-sklearn >/dev/null 2>&1 || echo "bench: could not install python3-sklearn" >&2
fi
"$root/scripts/setup.sh" "$build"
PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" exec "$python" "$root/bench/bench.py" "$@"
