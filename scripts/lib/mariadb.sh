# A throwaway MariaDB server for the test stages, sourced by them:
#
#   mdb_start WORKDIR   installs a fresh data folder in WORKDIR, listens on
#                       127.0.0.1 at a free port and on a socket in WORKDIR;
#                       creates the database "hotel" and the user MDB_DB_USER
#                       (password MDB_DB_PASSWORD) that desks connect as over
#                       the loopback address; sets MDB_HOST, MDB_PORT,
#                       MDB_SOCKET; returns non-zero when no server starts
#   mdb_sql STATEMENTS  runs statements as the server's root over the socket
#   mdb_stop            stops it again (safe to call when none runs)
#
# The server keeps its compiled-in settings (no my.cnf is read): latin1 as
# the server's character set and backslash escapes in string literals, as an
# old or untuned hotel server has them; the component must hold on it. As
# root it runs as the user nobody, which must be able to reach WORKDIR: its
# parent folders need their x bits for others.

mdb_start() {
  MDB_SERVER=${HOLVANTER_MARIADB_SERVER:-$(command -v mariadbd || echo /usr/sbin/mariadbd)}
  MDB_INSTALL=$(command -v mariadb-install-db || command -v mysql_install_db || true)
  if [ ! -x "$MDB_SERVER" ] || [ -z "$MDB_INSTALL" ]; then
    echo "mariadb: no MariaDB server programs (package mariadb-server-core)" >&2
    return 1
  fi
  MDB_WORK=$1
  mkdir -p "$MDB_WORK"
  local user_option=()
  if [ "$(id -u)" -eq 0 ]; then
    user_option=(--user=nobody)
    chown nobody "$MDB_WORK"
  fi
  MDB_SOCKET=$MDB_WORK/mysqld.sock
  if ! "$MDB_INSTALL" --no-defaults "${user_option[@]}" --datadir="$MDB_WORK/data" \
         --auth-root-authentication-method=normal --skip-test-db \
         >"$MDB_WORK/install.log" 2>&1; then
    cat "$MDB_WORK/install.log" >&2
    return 1
  fi
  # Without ss (iproute2) a taken port shows as a failed start, and the next
  # port is tried.
  local attempt waited
  for attempt in 1 2 3 4 5 6 7 8; do
    MDB_PORT=$((20000 + RANDOM % 40000))
    if command -v ss >/dev/null && ss -Htln "sport = :$MDB_PORT" 2>/dev/null | grep -q .; then
      continue
    fi
    rm -f "$MDB_SOCKET"
    "$MDB_SERVER" --no-defaults "${user_option[@]}" --datadir="$MDB_WORK/data" \
      --socket="$MDB_SOCKET" --pid-file="$MDB_WORK/mysqld.pid" --log-error="$MDB_WORK/server.log" \
      --bind-address=127.0.0.1 --port="$MDB_PORT" --skip-name-resolve --max-connections=60 \
      --innodb-buffer-pool-size=64M --innodb-log-file-size=32M \
      --innodb-flush-log-at-trx-commit=0 --skip-log-bin >/dev/null 2>&1 &
    MDB_PID=$!
    MDB_RUNNING=1
    # Up to 60 s for the socket to answer; a server that ends early has
    # found its port taken.
    for waited in $(seq 1 120); do
      if mdb_sql "SELECT 1" >/dev/null 2>&1; then
        MDB_HOST=127.0.0.1
        MDB_DB_USER=frontdesk
        MDB_DB_PASSWORD=desk-pw
        mdb_sql "CREATE DATABASE hotel;
                 CREATE USER '$MDB_DB_USER'@'127.0.0.1' IDENTIFIED BY '$MDB_DB_PASSWORD';
                 GRANT ALL ON *.* TO '$MDB_DB_USER'@'127.0.0.1'" || { mdb_stop; return 1; }
        return 0
      fi
      kill -0 "$MDB_PID" 2>/dev/null || break
      sleep 0.5
    done
    mdb_stop
  done
  cat "$MDB_WORK/server.log" >&2
  return 1
}

mdb_sql() {
  "$(command -v mariadb || echo mysql)" --no-defaults --protocol=socket --socket="$MDB_SOCKET" \
    -u root --batch --skip-column-names -e "$1"
}

mdb_stop() {
  if [ "${MDB_RUNNING:-0}" = 1 ]; then
    kill -TERM "$MDB_PID" 2>/dev/null || true
    # A clean shutdown takes a second or two; after 30 s it is killed.
    local waited
    for waited in $(seq 1 60); do
      kill -0 "$MDB_PID" 2>/dev/null || break
      sleep 0.5
    done
    kill -KILL "$MDB_PID" 2>/dev/null || true
    wait "$MDB_PID" 2>/dev/null || true
  fi
  MDB_RUNNING=0
}
