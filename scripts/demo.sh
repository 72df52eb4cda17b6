#!/usr/bin/env bash
# Sets everything up, builds, then evaluates test-then-train on the electricity stream, with the
# package's command line: the classifiers of demo/classifiers.txt on the class label, then the
# regressors of demo/regressors.txt with feat_2 as the target; then the encoder-led classifiers of
# demo/categorical.txt on two streams with categories (STAGGER with two concept changes, and the
# penguins). A progress bar shows on a terminal. Extra arguments go to every run of
# `python3 -m quelb evaluate` (e.g. --limit 5000).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUELB_BUILD_DIR:-$root/build}"
python="${QUELB_PYTHON:-/usr/bin/python3}"
"$root/scripts/setup.sh" "$build"

model_lines() {  # the model expressions of a list file: comments and blank lines dropped
  sed -e 's/#.*//' -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' -e '/^$/d' "$1"
}
evaluate() {
  PYTHONPATH="$build:$root/python${PYTHONPATH:+:$PYTHONPATH}" "$python" -m quelb evaluate "$@"
}

mapfile -t classifiers < <(model_lines "$root/demo/classifiers.txt")
mapfile -t regressors < <(model_lines "$root/demo/regressors.txt")
mapfile -t categorical < <(model_lines "$root/demo/categorical.txt")
evaluate "${classifiers[@]}" --data electricity \
    --metric Accuracy --metric MacroF1 --metric 'WindowMetric(1000)' "$@"
echo
evaluate "${regressors[@]}" --data "electricity(target='feat_2')" \
    --metric MAE --metric RMSE --metric R2 --metric 'WindowRegressionMetric(1000)' "$@"
for stream in 'STAGGER(drifts=[10000, 20000], n_samples=30000)' penguins; do
  echo
  evaluate "${categorical[@]}" --data "$stream" --metric Accuracy --metric MacroF1 "$@"
done
