#!/usr/bin/env bash
# Runs the card issue suite against the hotel databases that front desks
# reach through ODBC: throwaway PostgreSQL (psqlODBC) and MariaDB (MariaDB
# Connector/ODBC) servers of our own, and an SQLite file (SQLite ODBC driver). Each database is named by a file data
# source in HOLVANTER_TEST_DSN, which the suite's hotel fixture reads.
#
#   scripts/test-odbc.sh BUILD_FOLDER
#
# HOLVANTER_ODBC_SUITE may name the test binaries to run (paths); by default
# the ODBC tests and the issue and check-out suite of the build folder.
# HOLVANTER_ODBC_KEEP=1 leaves the server folder in place for a look after.
set -euo pipefail

BUILD=$(cd "${1:?usage: test-odbc.sh BUILD_FOLDER}" && pwd)
# shellcheck source=scripts/lib/postgres.sh
. "$(dirname "$0")/lib/postgres.sh"
# shellcheck source=scripts/lib/mariadb.sh
. "$(dirname "$0")/lib/mariadb.sh"

# The driver names that Debian's packages register in /etc/odbcinst.ini.
PG_DRIVER="PostgreSQL Unicode"
SQLITE_DRIVER="SQLite3"
MDB_DRIVER="MariaDB Unicode"
for driver in "$PG_DRIVER" "$SQLITE_DRIVER" "$MDB_DRIVER"; do
  odbcinst -q -d -n "$driver" >/dev/null 2>&1 || {
    echo "test-odbc: ODBC driver \"$driver\" is not registered (packages odbc-postgresql, libsqliteodbc, odbc-mariadb)" >&2
    exit 1
  }
done

if [ -n "${HOLVANTER_ODBC_SUITE:-}" ]; then
  read -r -a SUITE <<<"$HOLVANTER_ODBC_SUITE"
else
  # The ODBC backend's own tests, then the issue and check-out suite (its
  # hotel fixture follows HOLVANTER_TEST_DSN), the 4 desks x 100 issues
  # numbering test among them.
  SUITE=("$BUILD/bin/odbc_test" "$BUILD/bin/issue_flow_test" "$BUILD/bin/concurrent_issue_test")
  for flow in "$BUILD"/bin/*flow*; do
    [[ " ${SUITE[*]} " == *" $flow "* ]] && continue
    [ -x "$flow" ] && [ -f "$flow" ] && SUITE+=("$flow")
  done
  # Last: it stops and kills the server, and starts it again.
  SUITE+=("$BUILD/bin/fault_test")
fi
for binary in "${SUITE[@]}"; do
  [ -x "$binary" ] || { echo "test-odbc: missing test binary $binary" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/holvanter-odbc.XXXXXX)
chmod 755 "$WORK"

cleanup() {
  local status=$?
  pg_stop
  mdb_stop
  if [ "${HOLVANTER_ODBC_KEEP:-0}" = 1 ]; then
    echo "test-odbc: left $WORK in place"
  else
    rm -rf "$WORK"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

pg_start "$WORK/postgres" || { echo "test-odbc: the PostgreSQL server did not start" >&2; exit 1; }
pg_control_script "$WORK/server.sh"
"$PG_BIN/createdb" -h "$PG_HOST" -p "$PG_PORT" -U "$PG_DB_USER" -E UTF8 hotel
# A second hotel database set as old or hand-tuned servers are: backslashes
# in literals read as escapes. The issue suite runs on it as well.
"$PG_BIN/createdb" -h "$PG_HOST" -p "$PG_PORT" -U "$PG_DB_USER" -E UTF8 hotel_backslash
"$PG_BIN/psql" -q -h "$PG_HOST" -p "$PG_PORT" -U "$PG_DB_USER" -d hotel \
  -c "ALTER DATABASE hotel_backslash SET standard_conforming_strings = off"
scs=$("$PG_BIN/psql" -Atq -h "$PG_HOST" -p "$PG_PORT" -U "$PG_DB_USER" -d hotel_backslash \
  -c "SHOW standard_conforming_strings")
[ "$scs" = off ] || { echo "test-odbc: hotel_backslash reads literals the standard way" >&2; exit 1; }

PG_DSN=$WORK/postgresql.dsn
cat >"$PG_DSN" <<EOF
[ODBC]
DRIVER=$PG_DRIVER
Servername=$PG_HOST
Port=$PG_PORT
Database=hotel
UID=$PG_DB_USER
EOF

PG_BACKSLASH_DSN=$WORK/postgresql-backslash.dsn
sed 's/^Database=hotel$/Database=hotel_backslash/' "$PG_DSN" >"$PG_BACKSLASH_DSN"

mdb_start "$WORK/mariadb" || { echo "test-odbc: the MariaDB server did not start" >&2; exit 1; }
MDB_DSN=$WORK/mariadb.dsn
cat >"$MDB_DSN" <<EOF
[ODBC]
DRIVER=$MDB_DRIVER
SERVER=$MDB_HOST
PORT=$MDB_PORT
DATABASE=hotel
UID=$MDB_DB_USER
PWD=$MDB_DB_PASSWORD
EOF

SQLITE_DSN=$WORK/sqlite.dsn
cat >"$SQLITE_DSN" <<EOF
[ODBC]
DRIVER=$SQLITE_DRIVER
Database=$WORK/hotel.sqlite
EOF
chmod -R a+rwX "$WORK"

passed=0 failed=0 skipped=0 runs_failed=0
# Runs one test binary against one data source and adds up its counts.
run_suite() {
  local label=$1 dsn=$2 binary=$3 log
  log="$WORK/$(basename "$binary")-$label.log"
  echo "-- $(basename "$binary") on $label"
  local status=0 server="" filter=""
  # The fault suite may stop the PostgreSQL server. The 10-second wait for
  # a lock file runs once, on SQLite (ctest), not again through ODBC.
  if [ "$(basename "$binary")" = fault_test ]; then
    [ "$label" = postgresql ] && server=$WORK/server.sh
    [ "$label" = sqlite-odbc ] && filter="-*TurnHeldByAnotherDesk*"
  fi
  HOLVANTER_TEST_DSN=$dsn HOLVANTER_TEST_SERVER=$server GTEST_FILTER=${filter:-*} \
    "$binary" --gtest_brief=1 >"$log" 2>&1 || status=$?
  local p f s
  p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$log" | tail -n 1)
  f=$(grep -cE '^\[  FAILED  \] [^ ]+ \([0-9]+ ms\)$' "$log" || true)
  s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) test.*/\1/p' "$log" | tail -n 1)
  passed=$((passed + ${p:-0})) failed=$((failed + ${f:-0})) skipped=$((skipped + ${s:-0}))
  if [ "$status" -ne 0 ]; then
    runs_failed=$((runs_failed + 1))
    cat "$log"
    echo "   $f failed (exit status $status)"
    [ "$f" -gt 0 ] || failed=$((failed + 1))  # it ended before it could tell
  else
    echo "   ${p:-0} passed, ${s:-0} skipped"
  fi
}

for binary in "${SUITE[@]}"; do
  run_suite postgresql "$PG_DSN" "$binary"
  run_suite sqlite-odbc "$SQLITE_DSN" "$binary"
  run_suite mariadb "$MDB_DSN" "$binary"
  if [ "$(basename "$binary")" = issue_flow_test ]; then
    run_suite postgresql-backslash "$PG_BACKSLASH_DSN" "$binary"
  fi
done

# The PMS key link's key requests end to end on PostgreSQL, and the FIAS
# document's examples (check-outs and stay changes in the records alone).
for mode in keys document; do
  echo "-- fias_test.py $mode on postgresql"
  if HOLVANTER_TEST_DSN=$PG_DSN python3 "$(dirname "$0")/../tests/fias/fias_test.py" "$BUILD/bin/tavocard" \
      "$mode" >"$WORK/fias-$mode-postgresql.log" 2>&1; then
    passed=$((passed + 1)); tail -n 1 "$WORK/fias-$mode-postgresql.log"
  else
    failed=$((failed + 1)) runs_failed=$((runs_failed + 1)); cat "$WORK/fias-$mode-postgresql.log"
  fi
done

# Desks joining the link desk, each card recorded by its own desk, on PostgreSQL.
echo "-- desks_test.py routes on postgresql"
if HOLVANTER_TEST_DSN=$PG_DSN python3 "$(dirname "$0")/../tests/desks/desks_test.py" "$BUILD/bin/tavocard" \
    routes >"$WORK/desks-routes-postgresql.log" 2>&1; then
  passed=$((passed + 1)); tail -n 1 "$WORK/desks-routes-postgresql.log"
else
  failed=$((failed + 1)) runs_failed=$((runs_failed + 1)); cat "$WORK/desks-routes-postgresql.log"
fi

echo "test-odbc: $passed passed, $failed failed, $skipped skipped over ${#SUITE[@]} binaries x 3 databases (and the issue suite on a backslash-escaping server)"
[ "$runs_failed" -eq 0 ] || { echo "test-odbc: $runs_failed runs failed" >&2; exit 1; }
