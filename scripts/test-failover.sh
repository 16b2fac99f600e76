#!/usr/bin/env bash
# The hotel database survives the loss of its server: a pg_auto_failover
# monitor and two PostgreSQL nodes of our own on loopback addresses (node 1 on
# 127.0.0.1, node 2 on 127.0.0.2, one port, no Unix sockets), reached by the
# desks through one file data source that lists both nodes; then four desks
# and the PMS key link through a planned switch-over and the loss of the
# primary's machine (tests/failover/failover_test.py).
#
#   scripts/test-failover.sh BUILD_FOLDER
#
# Installs pg_auto_failover (postgresql-NN-auto-failover, pg-auto-failover-cli)
# when missing. HOLVANTER_FAILOVER_KEEP=1 leaves the scratch folder in place.
set -euo pipefail

BUILD=$(cd "${1:?usage: test-failover.sh BUILD_FOLDER}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
STAGE=test-failover

. "$HERE/lib/packages.sh"
PG_BIN=${HOLVANTER_PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)}
[ -x "$PG_BIN/initdb" ] || { echo "$STAGE: no PostgreSQL server programs (package postgresql)" >&2; exit 1; }
PG_MAJOR=$(basename "$(dirname "$PG_BIN")")
need=()
for p in "postgresql-$PG_MAJOR-auto-failover" pg-auto-failover-cli odbc-postgresql; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
[ ${#need[@]} -eq 0 ] || install_packages "${need[@]}"

WORK=$(mktemp -d /tmp/holvanter-failover.XXXXXX)
chmod 755 "$WORK"
PG_USER=$(id -un)
if [ "$(id -u)" -eq 0 ]; then PG_USER=postgres; chown "$PG_USER" "$WORK"; fi
# pg_autoctl keeps its settings and state under XDG folders, by data folder.
as_pg() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u "$PG_USER" -- env XDG_CONFIG_HOME="$WORK/xdg" XDG_DATA_HOME="$WORK/xdg" PATH="$PG_BIN:$PATH" "$@"
  else
    env XDG_CONFIG_HOME="$WORK/xdg" XDG_DATA_HOME="$WORK/xdg" PATH="$PG_BIN:$PATH" "$@"
  fi
}

cleanup() {
  local status=$?
  # Each pg_autoctl run leads its own process group (setsid): end each group.
  local f left
  for f in "$WORK"/*.pgid; do
    if [ -f "$f" ]; then kill -TERM -- "-$(cat "$f")" 2>/dev/null || true; fi
  done
  # A keeper stops its Postgres (a fast shutdown) before it ends.
  for _ in $(seq 1 40); do
    left=0
    for f in "$WORK"/*.pgid; do
      if [ -f "$f" ] && kill -0 -- "-$(cat "$f")" 2>/dev/null; then left=1; fi
    done
    [ "$left" = 0 ] && break
    sleep 0.25
  done
  for f in "$WORK"/*.pgid; do
    if [ -f "$f" ]; then kill -KILL -- "-$(cat "$f")" 2>/dev/null || true; fi
  done
  if [ "${HOLVANTER_FAILOVER_KEEP:-0}" = 1 ] || [ "$status" -ne 0 ]; then
    [ "$status" -ne 0 ] && for log in "$WORK"/*.log; do echo "--- $log"; tail -n 15 "$log"; done
    echo "$STAGE: left $WORK in place"
  else
    rm -rf "$WORK"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# One port for the monitor and one for both nodes (on two addresses), free
# on both addresses.
free_port() {
  python3 - "$@" <<'PY'
import random, socket, sys
for _ in range(50):
    port = random.randrange(20000, 60000)
    try:
        for host in sys.argv[1:]:
            s = socket.socket(); s.bind((host, port)); s.close()
    except OSError:
        continue
    print(port); break
PY
}
MONITOR_PORT=$(free_port 127.0.0.1)
NODE_PORT=$(free_port 127.0.0.1 127.0.0.2)
MONITOR="postgres://autoctl_node@127.0.0.1:$MONITOR_PORT/pg_auto_failover?sslmode=disable"

# run NAME: the keeper (or monitor) of WORK/NAME, in a process group of its own.
run() {
  # Not a group leader, setsid starts no new process: the pid written is
  # pg_autoctl's, and its group holds its Postgres.
  as_pg sh -c 'echo $$ >"$1.pgid"; exec setsid pg_autoctl run --pgdata "$1" >"$1.log" 2>&1' - "$WORK/$1" &
}

# Small servers: three of them share the machine with the test.
small="shared_buffers = 32MB
fsync = off"
as_pg pg_autoctl create monitor --pgdata "$WORK/monitor" --pgport "$MONITOR_PORT" \
  --hostname 127.0.0.1 --auth trust --no-ssl >"$WORK/monitor-create.log" 2>&1
as_pg pg_autoctl config set --pgdata "$WORK/monitor" postgresql.listen_addresses 127.0.0.1 >/dev/null
# The monitor keeps its Unix socket (its port is its own): pg_autoctl reaches
# its own monitor through it.
as_pg sh -c "printf '%s\n' \"\$1\" >>'$WORK/monitor/postgresql.auto.conf'" - "$small"
# The health checks behind the failover time (documented in installing.md,
# "A hotel database that survives its server").
as_pg sh -c "cat >>'$WORK/monitor/postgresql.auto.conf'" <<'EOF'
pgautofailover.health_check_period = 1000
pgautofailover.health_check_timeout = 1000
pgautofailover.health_check_max_retries = 1
pgautofailover.health_check_retry_delay = 500
pgautofailover.node_considered_unhealthy_timeout = 5000
pgautofailover.primary_demote_timeout = 8000
EOF
run monitor

# Node 1: its data folder made here, so that it has no Unix socket from its
# first start (two nodes on one port would share the socket's name) and lets
# the loopback addresses in; node 2 is copied from it and inherits both.
as_pg initdb -D "$WORK/node1" -A trust -E UTF8 --locale=C.UTF-8 >"$WORK/initdb.log" 2>&1
as_pg sh -c "printf '%s\n' \"\$1\" \"unix_socket_directories = ''\" >>'$WORK/node1/postgresql.auto.conf'" - "$small"
as_pg sh -c "printf 'host all all 127.0.0.0/8 trust\nhost replication all 127.0.0.0/8 trust\n' >>'$WORK/node1/pg_hba.conf'"
for _ in $(seq 1 40); do
  as_pg psql -Atq "$MONITOR" -c "SELECT 1" >/dev/null 2>&1 && break
  sleep 0.25
done
create_node() {  # create_node N ADDRESS
  as_pg pg_autoctl create postgres --pgdata "$WORK/node$1" --name "node$1" --pgport "$NODE_PORT" \
    --listen "$2" --pghost "$2" --hostname "$2" --dbname hotel --monitor "$MONITOR" \
    --skip-pg-hba --no-ssl >"$WORK/node$1-create.log" 2>&1
  # The keeper's own waits (seconds): for the replication to stop in a
  # promotion; and, cut off from the monitor and the standby, before a
  # primary demotes itself, which the monitor's primary_demote_timeout must
  # outlast.
  as_pg pg_autoctl config set --pgdata "$WORK/node$1" timeout.prepare_promotion_walreceiver 1 >/dev/null
  as_pg pg_autoctl config set --pgdata "$WORK/node$1" timeout.network_partition_timeout 5 >/dev/null
  run "node$1"
}
create_node 1 127.0.0.1
for _ in $(seq 1 80); do
  as_pg pg_autoctl show state --monitor "$MONITOR" 2>/dev/null | grep -q "| *single *| *single" && break
  sleep 0.25
done
create_node 2 127.0.0.2
for _ in $(seq 1 240); do
  [ "$(as_pg pg_autoctl show state --monitor "$MONITOR" 2>/dev/null | grep -cE '\| *(primary|secondary) *\| *(primary|secondary) *$')" = 2 ] && break
  sleep 0.25
done
as_pg pg_autoctl show state --monitor "$MONITOR"

# What the test does to the pair: the state, a planned switch-over, and the
# primary's machine lost (its keeper and its Postgres killed at once).
cat >"$WORK/cluster.sh" <<EOF
#!/bin/sh
as() { $( [ "$(id -u)" -eq 0 ] && echo "runuser -u $PG_USER --") env XDG_CONFIG_HOME="$WORK/xdg" XDG_DATA_HOME="$WORK/xdg" PATH="$PG_BIN:\$PATH" "\$@"; }
case "\$1" in
  state) as pg_autoctl show state --monitor "$MONITOR" ;;
  primary) as psql -Atq "$MONITOR" -c "SELECT nodename FROM pgautofailover.node WHERE reportedstate IN ('primary','wait_primary','single') AND goalstate = reportedstate LIMIT 1" ;;
  failover) as pg_autoctl perform failover --pgdata "$WORK/monitor" --wait 60 ;;
  lose) kill -s KILL -- "-\$(cat "$WORK/\$2.pgid")" ;;
  *) echo "usage: \$0 state|primary|failover|lose NODE" >&2; exit 2 ;;
esac
EOF
chmod 755 "$WORK/cluster.sh"

DSN=$WORK/hotel.dsn
cat >"$DSN" <<EOF
[ODBC]
DRIVER=PostgreSQL Unicode
SERVER=127.0.0.1,127.0.0.2
PORT=$NODE_PORT
Database=hotel
UID=$PG_USER
PQOPT={target_session_attrs=read-write connect_timeout=2 tcp_user_timeout=5000}
EOF
chmod -R a+rX "$WORK"

python3 "$HERE/../tests/failover/failover_test.py" "$BUILD/bin/tavocard" "$DSN" "$WORK/cluster.sh"
