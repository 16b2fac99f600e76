#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on, leaks counted) and runs them one after the
# other, each from its seed corpus in fuzz/corpus/TARGET.
#
#   scripts/fuzz.sh SECONDS [TARGET...]
#
# HOLVANTER_FUZZ_BUILD  build folder (default ROOT/build-fuzz)
# HOLVANTER_FUZZ_CONFIGURED=1  the folder is configured already (the test run's)
# HOLVANTER_FUZZ_RUNS   also stop each target after this many executions
# Inputs found along the way go to BUILD/corpus/TARGET (the seed corpus in
# the repository is only read), a crashing input to BUILD/crashes/, each
# target's output to BUILD/logs/TARGET.log. Ends with one line per target
# (executions, crashes) and fails when any target crashed or reported.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_EACH=${1:?usage: fuzz.sh SECONDS [TARGET...]}
shift
BUILD=${HOLVANTER_FUZZ_BUILD:-$ROOT/build-fuzz}
if [ $# -gt 0 ]; then
  TARGETS=("$@")
else
  TARGETS=(card_image_fuzzer sql_dialect_fuzzer settings_reader_fuzzer execute_sql_fuzzer
           c_face_fuzzer fias_link_fuzzer desk_protocol_fuzzer desk_answer_fuzzer)
fi

CC_FUZZ=${HOLVANTER_FUZZ_CC:-clang-14}
CXX_FUZZ=${HOLVANTER_FUZZ_CXX:-clang++-14}
started=$(date +%s)
echo "fuzz: building ${TARGETS[*]} in $BUILD"
# The test run configures the folder it shares with the sanitizer stage.
[ "${HOLVANTER_FUZZ_CONFIGURED:-0}" = 1 ] ||
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER="$CC_FUZZ" \
        -DCMAKE_CXX_COMPILER="$CXX_FUZZ" -DHOLVANTER_FUZZ=ON -DHOLVANTER_TESTS=OFF \
        -DHOLVANTER_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target "${TARGETS[@]}" >"$BUILD/fuzz-build.log" 2>&1 || {
  grep -E 'error' "$BUILD/fuzz-build.log" >&2 || tail -20 "$BUILD/fuzz-build.log" >&2
  exit 1
}

echo "fuzz: built in $(($(date +%s) - started)) s"
mkdir -p "$BUILD/corpus" "$BUILD/crashes" "$BUILD/logs" "$BUILD/scratch"
# The profile reader's checks expect the settings as written: no code page
# conversion.
export LC_ALL=C
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
runs=()
[ -n "${HOLVANTER_FUZZ_RUNS:-}" ] && runs=(-runs="$HOLVANTER_FUZZ_RUNS")

summary=()
failed=0
for target in "${TARGETS[@]}"; do
  mkdir -p "$BUILD/corpus/$target"
  log="$BUILD/logs/$target.log"
  # From a scratch folder: a statement may name a file for SQLite to create.
  status=0
  (cd "$BUILD/scratch" &&
     "$BUILD/bin/$target" -max_total_time="$SECONDS_EACH" "${runs[@]}" -timeout=10 \
       -rss_limit_mb=2048 -max_len=1024 -print_final_stats=1 \
       -artifact_prefix="$BUILD/crashes/$target-" \
       "$BUILD/corpus/$target" "$ROOT/fuzz/corpus/$target") >"$log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  crashes=0
  if [ "$status" -ne 0 ]; then
    crashes=1
    failed=1
    echo "fuzz: $target failed (exit $status); the end of $log:" >&2
    tail -40 "$log" >&2
  fi
  summary+=("$(printf '%-24s %12s executions  %d crashes  %ss' "$target" "${executions:-?}" \
              "$crashes" "${took:-?}")")
done
printf 'fuzz: %s\n' "${summary[@]}"
exit "$failed"
