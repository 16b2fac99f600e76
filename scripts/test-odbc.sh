#!/usr/bin/env bash
# Runs the card issue suite against the hotel databases that front desks
# reach through ODBC: a throwaway PostgreSQL server of our own (psqlODBC) and
# an SQLite file (SQLite ODBC driver). Each database is named by a file data
# source in HOLVANTER_TEST_DSN, which the suite's hotel fixture reads.
#
#   scripts/test-odbc.sh BUILD_FOLDER
#
# HOLVANTER_ODBC_SUITE may name the test binaries to run (paths); by default
# the ODBC tests and the issue and check-out suite of the build folder.
# HOLVANTER_ODBC_KEEP=1 leaves the server folder in place for a look after.
set -euo pipefail

BUILD=$(cd "${1:?usage: test-odbc.sh BUILD_FOLDER}" && pwd)
PG_BIN=${HOLVANTER_PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)}
[ -x "$PG_BIN/initdb" ] || { echo "test-odbc: no PostgreSQL server programs (package postgresql)" >&2; exit 1; }

# The driver names that Debian's packages register in /etc/odbcinst.ini.
PG_DRIVER="PostgreSQL Unicode"
SQLITE_DRIVER="SQLite3"
for driver in "$PG_DRIVER" "$SQLITE_DRIVER"; do
  odbcinst -q -d -n "$driver" >/dev/null 2>&1 || {
    echo "test-odbc: ODBC driver \"$driver\" is not registered (packages odbc-postgresql, libsqliteodbc)" >&2
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
fi
for binary in "${SUITE[@]}"; do
  [ -x "$binary" ] || { echo "test-odbc: missing test binary $binary" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/holvanter-odbc.XXXXXX)
PGDATA=$WORK/pgdata
SOCKETS=$WORK/sockets
PG_USER=postgres
server_started=0

as_server_user() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u "$PG_USER" -- "$@"; else "$@"; fi
}

cleanup() {
  local status=$?
  if [ "$server_started" -eq 1 ]; then
    as_server_user "$PG_BIN/pg_ctl" -D "$PGDATA" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  if [ "${HOLVANTER_ODBC_KEEP:-0}" = 1 ]; then
    echo "test-odbc: left $WORK in place"
  else
    rm -rf "$WORK"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$SOCKETS"
if [ "$(id -u)" -eq 0 ]; then
  chown -R "$PG_USER" "$WORK"
else
  PG_USER=$(id -un)
fi
chmod 755 "$WORK"

# A cluster that trusts local connections, speaks UTF-8 and listens on the
# loopback address only.
as_server_user "$PG_BIN/initdb" -D "$PGDATA" -U holvanter -A trust -E UTF8 --locale=C.UTF-8 \
  >"$WORK/initdb.log" 2>&1 || { cat "$WORK/initdb.log" >&2; exit 1; }

# Without ss (iproute2) a taken port shows as a failed start, and the next
# port is tried.
port_in_use() { command -v ss >/dev/null && ss -Htln "sport = :$1" 2>/dev/null | grep -q .; }
for attempt in 1 2 3 4 5 6 7 8; do
  PORT=$((20000 + RANDOM % 40000))
  port_in_use "$PORT" && continue
  if as_server_user "$PG_BIN/pg_ctl" -D "$PGDATA" -l "$WORK/server.log" -w -t 60 \
       -o "-c listen_addresses=127.0.0.1 -p $PORT -k $SOCKETS -c max_connections=50 -c fsync=off" \
       start >/dev/null; then
    server_started=1
    break
  fi
done
[ "$server_started" -eq 1 ] || { echo "test-odbc: the PostgreSQL server did not start" >&2; cat "$WORK/server.log" >&2; exit 1; }
"$PG_BIN/createdb" -h 127.0.0.1 -p "$PORT" -U holvanter -E UTF8 hotel

PG_DSN=$WORK/postgresql.dsn
cat >"$PG_DSN" <<EOF
[ODBC]
DRIVER=$PG_DRIVER
Servername=127.0.0.1
Port=$PORT
Database=hotel
UID=holvanter
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
  local status=0
  HOLVANTER_TEST_DSN=$dsn "$binary" --gtest_brief=1 >"$log" 2>&1 || status=$?
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
done

echo "test-odbc: $passed passed, $failed failed, $skipped skipped over ${#SUITE[@]} binaries x 2 databases"
[ "$runs_failed" -eq 0 ] || { echo "test-odbc: $runs_failed runs failed" >&2; exit 1; }
