#!/usr/bin/env bash
# ./run tsan: the hosts' tests under ThreadSanitizer, in a build folder of
# their own. The agent, the PMS key link, the desks and the connection shell
# run the card calls on encoder worker threads beside their network threads;
# a data race or a lock-order inversion among them ends the program that made
# it, and the run fails. A job of its own, not a stage of ./run test (it is
# not named test-*.sh): ThreadSanitizer cannot share a build with
# AddressSanitizer, so it takes a build folder of its own.
#
#   scripts/tsan.sh
# HOLVANTER_TSAN_BUILD  the build folder (default ROOT/build-tsan)
#
# The tests are those labelled "hosts" (tests/CMakeLists.txt,
# tests/docs/CMakeLists.txt): the hosts' own tests and the documents' tests
# that start tavocard. The Python end-to-end tests start the built tavocard,
# so a race in the agent's threads is reported there.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${HOLVANTER_TSAN_BUILD:-$ROOT/build-tsan}
started=$(date +%s)

# -O1 and line tables only, as in the AddressSanitizer build: what the
# reports need. The stand-in vendor libraries are built with it too, so the
# encoder calls they take on worker threads are seen.
flags="-O1 -g1 -fsanitize=thread"
echo "tsan: building in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE= \
      -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
      -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
      -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
      -DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread -DHOLVANTER_BENCH=OFF >/dev/null
: >"$BUILD/tsan-build.log"
# Only what the hosts' tests run: tavocard with its manual page, the
# stand-in vendor libraries and the test programs of the hosts' test folders
# (each folder's Makefile builds its targets and what they link).
for dir in hosts/tavocard stand_ins tests/agent tests/fias tests/desks tests/net \
           tests/frontdesk tests/tavocard tests/docs; do
  nice -n 5 make -C "$BUILD/$dir" -j "$(nproc)" >>"$BUILD/tsan-build.log" 2>&1 || {
    grep -E 'error' "$BUILD/tsan-build.log" >&2 || tail -20 "$BUILD/tsan-build.log" >&2
    exit 1
  }
done
built=$(date +%s)

# Every report goes to a file of REPORTS as well as ending its program: a
# tavocard that a Python test starts and stops may end without the test
# showing its standard error. No suppressions: no report so far came from
# the third-party code in the processes (Boost.Asio, SQLite, the ODBC driver
# manager).
REPORTS=$BUILD/tsan-reports
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$REPORTS/report"
status=0
(cd "$BUILD" && ctest -L '^hosts$' --output-on-failure --timeout 600 -j "$(nproc)") || status=$?
for report in "$REPORTS"/report*; do
  [ -e "$report" ] || continue
  echo "== $report"
  cat "$report"
  status=1
done
echo "tsan: build $((built - started)) s, tests $(($(date +%s) - built)) s"
exit "$status"
