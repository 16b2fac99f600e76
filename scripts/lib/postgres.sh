# A throwaway PostgreSQL server for the test stages, sourced by them:
#
#   pg_start WORKDIR   initdb into WORKDIR (trust, UTF-8), listen on 127.0.0.1
#                      at a free port; sets PG_HOST, PG_PORT, PG_DB_USER
#                      (a superuser); returns non-zero when no server starts
#   pg_stop            stops it again (safe to call when none runs)
#   pg_control_script FILE
#                      writes a script FILE stop|kill|start that stops the
#                      running server (fast shutdown), kills it (immediate
#                      shutdown, as a crash) or starts it again on its port
#
# As root the server runs as the user postgres, which must be able to reach
# WORKDIR: its parent folders need their x bits for others.

pg_as() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u "$PG_USER" -- "$@"; else "$@"; fi
}

pg_start() {
  PG_BIN=${HOLVANTER_PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)}
  if [ ! -x "$PG_BIN/initdb" ]; then
    echo "postgres: no PostgreSQL server programs (package postgresql)" >&2
    return 1
  fi
  PG_WORK=$1
  PG_USER=postgres
  mkdir -p "$PG_WORK/sockets"
  if [ "$(id -u)" -eq 0 ]; then chown -R "$PG_USER" "$PG_WORK"; else PG_USER=$(id -un); fi
  if ! pg_as "$PG_BIN/initdb" -D "$PG_WORK/data" -U holvanter -A trust -E UTF8 \
         --locale=C.UTF-8 >"$PG_WORK/initdb.log" 2>&1; then
    cat "$PG_WORK/initdb.log" >&2
    return 1
  fi
  # Without ss (iproute2) a taken port shows as a failed start, and the next
  # port is tried.
  local attempt
  for attempt in 1 2 3 4 5 6 7 8; do
    PG_PORT=$((20000 + RANDOM % 40000))
    if command -v ss >/dev/null && ss -Htln "sport = :$PG_PORT" 2>/dev/null | grep -q .; then
      continue
    fi
    # Room for more sessions than the 100 that the idle host threads test
    # allows its desk role, so that the role's limit is the one that binds.
    PG_OPTIONS="-c listen_addresses=127.0.0.1 -p $PG_PORT -k $PG_WORK/sockets -c max_connections=150 -c fsync=off"
    if pg_as "$PG_BIN/pg_ctl" -D "$PG_WORK/data" -l "$PG_WORK/server.log" -w -t 60 \
         -o "$PG_OPTIONS" start >/dev/null; then
      PG_HOST=127.0.0.1
      PG_DB_USER=holvanter
      PG_RUNNING=1
      return 0
    fi
  done
  cat "$PG_WORK/server.log" >&2
  return 1
}

pg_stop() {
  if [ "${PG_RUNNING:-0}" = 1 ]; then
    pg_as "$PG_BIN/pg_ctl" -D "$PG_WORK/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  PG_RUNNING=0
}

pg_control_script() {
  local as=""
  [ "$(id -u)" -eq 0 ] && as="runuser -u $PG_USER --"
  cat >"$1" <<EOF
#!/bin/sh
case "\$1" in
  stop) exec $as "$PG_BIN/pg_ctl" -D "$PG_WORK/data" -m fast -w stop ;;
  kill) exec $as "$PG_BIN/pg_ctl" -D "$PG_WORK/data" -m immediate -w stop ;;
  start) chmod 0700 "$PG_WORK/data"  # the server starts only on a folder of its own
         exec $as "$PG_BIN/pg_ctl" -D "$PG_WORK/data" -l "$PG_WORK/server.log" -w -t 60 \\
           -o "$PG_OPTIONS" start ;;
  *) echo "usage: \$0 stop|kill|start" >&2; exit 2 ;;
esac
EOF
  chmod 755 "$1"
}
