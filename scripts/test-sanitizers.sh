#!/usr/bin/env bash
# The sanitizer stage of ./run test: builds everything with AddressSanitizer
# and UndefinedBehaviorSanitizer (HOLVANTER_SANITIZE) in a build folder of its
# own and runs the whole ctest suite under them, then the ODBC stage on that
# build, so that the libraries loaded at run time (the stand-in encoder and
# card-reader libraries, the ODBC driver manager and the PostgreSQL and
# SQLite drivers) run under them too. Any memory fault, leak or undefined
# behaviour ends the program that made it, and the stage fails.
#
#   scripts/test-sanitizers.sh BUILD_FOLDER   (the folder is not used)
# HOLVANTER_ASAN_BUILD  the sanitizer build folder (default ROOT/build-asan),
#                       shared with the fuzz stage (scripts/lib/sanitize_build.sh)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib/sanitize_build.sh"
started=$(date +%s)

sanitize_configure "$ROOT"
BUILD=$SANITIZE_BUILD
echo "test-sanitizers: building in $BUILD"
cmake --build "$BUILD" -j "$(nproc)" >"$BUILD/sanitize-build.log" 2>&1 || {
  grep -E 'error' "$BUILD/sanitize-build.log" >&2 || tail -20 "$BUILD/sanitize-build.log" >&2
  exit 1
}
built=$(date +%s)

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export LSAN_OPTIONS=suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Side by side like ./run test, one test per processor, but no more than
# the memory holds: a sanitized agent or link test with its programs takes up
# to about 1 GiB resident (shadow memory and the quarantine of freed blocks).
jobs=$(nproc)
available_gib=$(awk '/^MemAvailable:/ { print int($2 / 1048576) }' /proc/meminfo)
[ "$available_gib" -ge 1 ] || available_gib=1
[ "$jobs" -le "$available_gib" ] || jobs=$available_gib
echo "test-sanitizers: ctest -j $jobs"
(cd "$BUILD" && ctest --output-on-failure --timeout 300 -j "$jobs")
"$ROOT/scripts/test-odbc.sh" "$BUILD"
echo "test-sanitizers: build $((built - started)) s, tests $(($(date +%s) - built)) s"
