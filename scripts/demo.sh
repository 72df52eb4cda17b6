#!/usr/bin/env bash
# Installs the project into the project environment (.venv; see scripts/common.sh), then
# evaluates test-then-train with the installed `quelb` command: the classifiers of
# demo/classifiers.txt on the electricity stream's class label, then the regressors of
# demo/regressors.txt with feat_2 as the target; then the encoder-led classifiers of
# demo/categorical.txt on two streams with categories (STAGGER with two concept changes, and the
# penguins). A progress bar shows on a terminal. Extra arguments go to every run of
# `quelb evaluate` (e.g. --limit 5000).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
project_env
install_project

model_lines() {  # the model expressions of a list file: comments and blank lines dropped
  sed -e 's/#.*//' -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' -e '/^$/d' "$1"
}
mapfile -t classifiers < <(model_lines "$root/demo/classifiers.txt")
mapfile -t regressors < <(model_lines "$root/demo/regressors.txt")
mapfile -t categorical < <(model_lines "$root/demo/categorical.txt")
"$venv/bin/quelb" evaluate "${classifiers[@]}" --data electricity \
    --metric Accuracy --metric MacroF1 --metric 'WindowMetric(1000)' "$@"
echo
"$venv/bin/quelb" evaluate "${regressors[@]}" --data "electricity(target='feat_2')" \
    --metric MAE --metric RMSE --metric R2 --metric 'WindowRegressionMetric(1000)' "$@"
for stream in 'STAGGER(drifts=[10000, 20000], n_samples=30000)' penguins; do
  echo
  "$venv/bin/quelb" evaluate "${categorical[@]}" --data "$stream" --metric Accuracy --metric MacroF1 "$@"
done
