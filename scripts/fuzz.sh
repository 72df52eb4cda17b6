#!/usr/bin/env bash
# Coverage-guided fuzzing of every input that comes from outside: saved states (a libFuzzer
# target linked with the native library), and through the built extension, driven by atheris,
# samples converted from Python objects, batches (arrays, CSR matrices, DataFrames) and sequences
# of calls on one learner. Everything is built with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer in its own build directory; any crash, sanitizer report, leak
# through this project's code, time-out or memory blow-up fails the run.
#
# Usage: scripts/fuzz.sh --ci [targets...]      each target for QUELB_FUZZ_CI_SECONDS (60) seconds,
#                                               mutating from seed QUELB_FUZZ_SEED (1)
#        scripts/fuzz.sh HOURS [targets...]     each target for HOURS hours (the state loader
#                                               twice that), two at a time
#
# Targets: state_loader samples batches learners (default: all). Each starts from the seeds in
# tests/fuzz/seeds/TARGET, the inputs of past findings in tests/fuzz/regressions/TARGET (also
# replayed by the ordinary tests), the states tests/fuzz/make_corpus.py writes (state_loader) and the
# corpus that earlier runs kept in $QUELB_FUZZ_BUILD_DIR/corpus/TARGET. Findings go to
# $QUELB_FUZZ_BUILD_DIR/findings/TARGET; a summary per target (executions, edges) is printed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build="${QUELB_FUZZ_BUILD_DIR:-$root/build-fuzz}"
mode="${1:?usage: scripts/fuzz.sh --ci|HOURS [targets...]}"
shift
targets=("$@")
((${#targets[@]})) || targets=(state_loader samples batches learners)
# In CI every run mutates from the same seed, so that a run's outcome depends on the code and not
# on the draw: a commit that passed here passes there. Long runs draw a new seed each time.
seed_option=()
if [ "$mode" = --ci ]; then
  seconds="${QUELB_FUZZ_CI_SECONDS:-60}"
  seed_option=(-seed="${QUELB_FUZZ_SEED:-1}")
else
  seconds="$(python3 -c "import sys; print(max(1, round(float(sys.argv[1]) * 3600)))" "$mode")"
fi

debian_packages clang libclang-rt-dev
project_env test
"$venv_python" -m pip install -q "atheris>=2.3"

# -O1 keeps reports exact and the build quick; no tests or benchmarks in this tree.
CXX=clang++ tree_build "$build" --target "quelb_fuzz_state_loader _quelb_core" \
  -DCMAKE_CXX_COMPILER=clang++ -DQUELB_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
  -DQUELB_BUILD_TESTS=OFF -DQUELB_BUILD_BENCH=OFF

# The extension runs in the uninstrumented interpreter with atheris's runtime (libFuzzer with
# AddressSanitizer and UBSan's handlers) loaded first; PYTHONMALLOC=malloc puts Python objects in
# the sanitizer's heap too.
atheris_dir="$("$venv_python" -c 'import atheris, os; print(os.path.dirname(os.path.dirname(atheris.__file__)))')"
python_env=(env LD_PRELOAD="$atheris_dir/asan_with_fuzzer.so" PYTHONMALLOC=malloc
            PYTHONPATH="$build:$root/python:$root/tests/python:$root/tests/fuzz")

reports="$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports" "$build/seeds/state_loader"

echo "== Seed states"
QUELB_FUZZ_LIST_CLASSES=1 "$build/quelb_fuzz_state_loader" >"$build/seeds/state_loader.classes"
ASAN_OPTIONS="detect_leaks=0" "${python_env[@]}" "$venv_python" "$root/tests/fuzz/make_corpus.py" \
  "$build/seeds/state_loader.classes" "$build/seeds/state_loader"

# halt_on_error: the first report ends the process. Leaks: libFuzzer's own check after each input
# for the native target; for the Python targets the interpreter keeps objects alive by design,
# so their leaks are judged at exit by scripts/sanitizer_reports.py (only those allocated through
# this project's code count). A long run goes on after a finding, from the corpus so far, until
# its time is up; --ci stops at the first.
run_target() {
  local target="$1" duration="$2" log="$build/logs/$1.log" corpus="$build/corpus/$1" findings="$build/findings/$1"
  mkdir -p "$corpus" "$findings" "$build/logs"
  : >"$log"
  local seeds=() dir
  for dir in "$root/tests/fuzz/seeds/$target" "$root/tests/fuzz/regressions/$target" "$build/seeds/$target"; do
    [ -d "$dir" ] && seeds+=("$dir")
  done
  local command=("${python_env[@]}" "$venv_python" "$root/tests/fuzz/$target.py" -detect_leaks=0)
  # The native target: the entropic schedule's bookkeeping would take half its time.
  [ "$target" = state_loader ] && command=("$build/quelb_fuzz_state_loader" -entropic=0)
  local status=0 end=$((SECONDS + duration)) left
  while left=$((end - SECONDS)); ((left > 0)); do
    # No input may grow memory far beyond its own size: an allocation over 1 GiB fails
    # (bad_alloc, which the state loader accepts only from learning with huge options), and so
    # does a process over 3 GiB.
    local run_status=0
    ASAN_OPTIONS="halt_on_error=1:allocator_may_return_null=1:max_allocation_size_mb=1024:detect_leaks=1:log_path=$reports/report-$target" \
      UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/report-$target" \
      LSAN_OPTIONS="exitcode=0" \
      nice -n 10 "${command[@]}" "${seed_option[@]}" -max_total_time="$left" -timeout=20 -rss_limit_mb=3072 -malloc_limit_mb=4096 \
      -artifact_prefix="$findings/" -print_final_stats=1 -max_len=262144 "$corpus" "${seeds[@]}" >>"$log" 2>&1 ||
      run_status=$?
    ((run_status == 0)) || status=$run_status
    [ "$mode" = --ci ] && break
  done
  echo "$status" >"$build/logs/$target.status"
}

# Two at a time: a target starts when one before it ends. In a long run the state loader, by far
# the cheapest per input, runs twice as long as the others.
echo "== Fuzzing ${targets[*]} for ${seconds}s each, two at a time"
for target in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= 2)); do wait -n || true; done
  duration="$seconds"
  [ "$mode" != --ci ] && [ "$target" = state_loader ] && duration=$((2 * seconds))
  run_target "$target" "$duration" &
done
wait

failed=0
for target in "${targets[@]}"; do
  log="$build/logs/$target.log"
  status="$(cat "$build/logs/$target.status")"
  executions="$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' |
                awk '{n += $1} END {print n}' || true)"
  edges="$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | grep -oE '[0-9]+' || true)"
  findings="$(find "$build/findings/$target" -type f | wc -l)"
  printf '%-13s %12s executions %7s edges %3s findings (exit %s)\n' "$target" "${executions:-?}" "${edges:-?}" \
    "$findings" "$status"
  if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
    failed=1
    echo "--- $log (tail)" >&2
    tail -n 60 "$log" >&2
  fi
done
"$venv_python" "$root/scripts/sanitizer_reports.py" "$reports" "$root" || failed=1
exit "$failed"
