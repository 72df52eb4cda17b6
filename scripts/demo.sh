#!/usr/bin/env bash
# Sets everything up, builds, then evaluates every learner listed in demo/learners.txt
# test-then-train on the electricity stream with the package's command line:
# accuracy, macro F1 and samples per second per learner, a progress bar on a terminal.
# Extra arguments go to `python3 -m quelb evaluate` (e.g. --limit 5000, --plot curves.png).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUELB_BUILD_DIR:-$root/build}"
python="${QUELB_PYTHON:-/usr/bin/python3}"
"$root/scripts/setup.sh" "$build"
mapfile -t learners < <(sed -e 's/#.*//' -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' -e '/^$/d' \
                            "$root/demo/learners.txt")
PYTHONPATH="$build:$root/python${PYTHONPATH:+:$PYTHONPATH}" exec "$python" -m quelb evaluate \
    "${learners[@]}" --data electricity --metric Accuracy --metric MacroF1 "$@"
