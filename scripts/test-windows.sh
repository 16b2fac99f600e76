#!/usr/bin/env bash
# The Windows stage of ./run test: cross-builds holvanter.dll and the
# stand-in vendor DLLs for x86 and x64 with MinGW-w64, registers each build
# in a fresh Wine prefix with regsvr32, and runs under Wine:
#   - the C++ COM client (type library, every method through IDispatch, the
#     errors a host sees, per-thread port state, a missing lyComm.dll);
#   - end to end against throwaway PostgreSQL and MariaDB servers, each
#     through an ODBC file data source: guest and villa cards issued, read
#     and checked out through COM and through a VBScript host (cscript),
#     with the CardRecord and RoomList rows checked;
#   - the front-desk agent tavocard.exe serve: /v1/health, and a guest card
#     issued through HTTP and recorded on PostgreSQL;
#   - desks across the two systems on that database: tavocard.exe as a desk
#     of a Linux link desk, and as the link desk of a Linux desk, each with a
#     key request cut on the desk's encoder (tests/windows/desks_across.py);
#   - (x64) a hotel in a Chinese folder under code page 936: Tavoper.ini and
#     the data source file in that code page, the Linux SQLite driver;
#   - regsvr32 /u, which must remove every registry key registration wrote.
# Wine programs exit 0 even when they could not start or a script failed,
# so every check reads what was printed.
#
#   scripts/test-windows.sh LINUX_BUILD_FOLDER
#
# HOLVANTER_WINDOWS_ARCHES  architectures to test (default "x86 x64")
# HOLVANTER_WINDOWS_BUILD   prefix of the build folders (default ROOT/build-win;
#                           the folders are PREFIX-x86 and PREFIX-x64)
# HOLVANTER_WINDOWS_KEEP=1  leave the work folder (Wine prefix, logs) in place
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
LINUX_BUILD=$(cd "${1:?usage: test-windows.sh LINUX_BUILD_FOLDER}" && pwd)
read -r -a ARCHES <<<"${HOLVANTER_WINDOWS_ARCHES:-x86 x64}"
BUILD_PREFIX=${HOLVANTER_WINDOWS_BUILD:-$ROOT/build-win}
started=$(date +%s)

say() { echo "test-windows: $*"; }
fail_count=0
failed() {
  echo "test-windows: FAIL $*"
  fail_count=$((fail_count + 1))
}

# ------------------------------------------------------------ packages
# shellcheck source=scripts/lib/windows.sh
. "$ROOT/scripts/lib/windows.sh"
# Besides the cross-build and Wine: the code page 936 locale, the library
# that the i386 MariaDB driver needs (the driver itself: see below), a
# throwaway MariaDB server and curl for the agent.
WINDOWS_PACKAGES+=(locales libmariadb3:i386 odbc-mariadb mariadb-server-core mariadb-client-core
                   curl)
windows_ensure_packages
# Both are built whatever runs: a registry outage must not hide a build error.
BUILD_ARCHES=("${ARCHES[@]}")
X86_NOT_RUN=0
if [[ " ${ARCHES[*]} " == *" x86 "* ]] && ! windows_runs_x86; then
  ARCHES=(x64)
  X86_NOT_RUN=1
  windows_x86_not_run test-windows
fi

# ------------------------------------------------------------ builds
for arch in "${BUILD_ARCHES[@]}"; do
  build="$BUILD_PREFIX-$arch"
  say "building $arch in $build"
  windows_build "$ROOT" "$arch" "$build" || { say "the $arch build failed"; exit 1; }
  for file in holvanter.dll lyComm.dll mwic_32.dll com_client.exe tavocard.exe; do
    [ -f "$build/bin/$file" ] || { say "the $arch build made no $file"; exit 1; }
  done
done
built=$(date +%s)

# ------------------------------------------------------------ Wine prefix
WORK=$(mktemp -d /tmp/holvanter-wine.XXXXXX)
chmod 755 "$WORK"  # the database server runs as its own user
export WINEPREFIX=$WORK/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LYCOMM_SIM_DIR_UNIX=$WORK/encoder
mkdir -p "$LYCOMM_SIM_DIR_UNIX"
PG_STARTED=0
MDB_STARTED=0

cleanup() {
  local status=$?
  wineserver -k >/dev/null 2>&1 || true
  if [ "$PG_STARTED" -eq 1 ]; then pg_stop; fi
  if [ "$MDB_STARTED" -eq 1 ]; then mdb_stop; fi
  if [ "${HOLVANTER_WINDOWS_KEEP:-0}" = 1 ]; then
    say "left $WORK in place"
  else
    rm -rf "$WORK"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A Linux path as Wine's drive Z: sees it.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
export LYCOMM_SIM_DIR
LYCOMM_SIM_DIR=$(winpath "$LYCOMM_SIM_DIR_UNIX")

say "making a Wine prefix"
wineboot -i >"$WORK/wineboot.log" 2>&1 || { cat "$WORK/wineboot.log"; exit 1; }
# A service has the system's environment only (Wine's services.exe reads it
# when it starts): the stand-in encoder's folder is a variable of the
# system's too, as on a Windows desk.
wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
  /v LYCOMM_SIM_DIR /d "$LYCOMM_SIM_DIR" /f >/dev/null 2>&1
wineserver -w

# ------------------------------------------------------------ PostgreSQL
# A throwaway server on the loopback address, as scripts/test-odbc.sh runs one.
# shellcheck source=scripts/lib/postgres.sh
. "$ROOT/scripts/lib/postgres.sh"

E2E=0
FIXTURE="$LINUX_BUILD/bin/windows_hotel_fixture"
if [ ! -x "$FIXTURE" ]; then
  say "end to end SKIPPED: $FIXTURE was not built"
elif ! odbcinst -q -d -n "PostgreSQL Unicode" >/dev/null 2>&1; then
  say "end to end SKIPPED: ODBC driver \"PostgreSQL Unicode\" not registered"
elif pg_start "$WORK/postgres"; then
  PG_STARTED=1
  E2E=1
  say "PostgreSQL on $PG_HOST:$PG_PORT"
else
  say "end to end SKIPPED: no PostgreSQL server could be started"
fi

# ------------------------------------------------------------ MariaDB
# shellcheck source=scripts/lib/mariadb.sh
. "$ROOT/scripts/lib/mariadb.sh"

MDB_E2E=0
if [ ! -x "$FIXTURE" ]; then
  :
elif ! odbcinst -q -d -n "MariaDB Unicode" >/dev/null 2>&1; then
  say "end to end on MariaDB SKIPPED: ODBC driver \"MariaDB Unicode\" not registered"
elif mdb_start "$WORK/mariadb"; then
  MDB_STARTED=1
  MDB_E2E=1
  say "MariaDB on $MDB_HOST:$MDB_PORT"
else
  say "end to end on MariaDB SKIPPED: no MariaDB server could be started"
fi

# Debian's i386 MariaDB driver cannot be installed beside the amd64 one that
# the Linux side uses (the packages conflict), so it is unpacked into the x86
# build folder once and named, with the i386 PostgreSQL driver, in an
# odbcinst.ini of the 32-bit Wine's own (ODBCSYSINI): the data source files
# stay the same for both architectures.
X86_ODBC=()
if [ "$MDB_E2E" -eq 1 ] && [[ " ${ARCHES[*]} " == *" x86 "* ]]; then
  driver_root="$BUILD_PREFIX-x86/odbc-mariadb-i386"
  driver="$driver_root/usr/lib/i386-linux-gnu/odbc/libmaodbc.so"
  if [ ! -f "$driver" ]; then
    mkdir -p "$WORK/deb"
    (cd "$WORK/deb" && apt-get -o DPkg::Lock::Timeout=900 download odbc-mariadb:i386 \
       >"$WORK/deb/download.log" 2>&1) && dpkg-deb -x "$WORK"/deb/odbc-mariadb_*_i386.deb "$driver_root"
  fi
  if [ -f "$driver" ]; then
    mkdir -p "$WORK/odbc-x86"
    cat >"$WORK/odbc-x86/odbcinst.ini" <<EOF
[PostgreSQL Unicode]
Driver=/usr/lib/i386-linux-gnu/odbc/psqlodbcw.so
[MariaDB Unicode]
Driver=$driver
EOF
    X86_ODBC=(env "ODBCSYSINI=$WORK/odbc-x86")
  else
    say "end to end on MariaDB SKIPPED for x86: the i386 driver could not be fetched"
    cat "$WORK/deb/download.log" 2>/dev/null || true
  fi
fi

# ------------------------------------------------------------ helpers
# Runs a Windows program, keeps its output in LOG and checks it: a closing
# "RESULT OK" line and no "FAIL" line.
run_client() {
  local label=$1 log=$2
  shift 2
  timeout 300 "$@" >"$log" 2>&1 || true
  tr -d '\r' <"$log" >"$log.txt"
  local passed
  passed=$(grep -c '^PASS ' "$log.txt" || true)
  if grep -q '^FAIL ' "$log.txt" || ! grep -q '^RESULT OK ' "$log.txt"; then
    grep -E '^(FAIL|RESULT)' "$log.txt" || tail -n 20 "$log.txt"
    failed "$label"
  else
    say "  $label: $passed checks passed"
  fi
}

# Every line of standard input must be printed, exactly, in OUTPUT.
expect_lines() {
  local label=$1 output=$2 expected line ok=1
  expected=$(cat)
  while IFS= read -r line; do
    [ -z "$line" ] && continue
    grep -qxF -- "$line" "$output" || { echo "    missing: $line"; ok=0; }
  done <<<"$expected"
  if [ "$ok" -eq 1 ]; then say "  $label: as expected"; else
    sed 's/^/    got: /' "$output"
    failed "$label"
  fi
}

# The registry keys and values under Software\Classes of the prefix, one
# per line; every key also stands for its ancestors.
registry_snapshot() {
  wineserver -w
  python3 - "$WINEPREFIX" >"$1" <<'PY'
import re, sys
prefix = sys.argv[1]
entries = set()
for hive in ("system.reg", "user.reg"):
    key = None
    with open(f"{prefix}/{hive}", encoding="utf-8", errors="replace") as f:
        for line in f:
            # Wine doubles every backslash in its registry files.
            line = line.rstrip("\n").replace("\\\\", "\\")
            m = re.match(r"^\[(.*)\]( \d+)?$", line)
            if m:
                key = m.group(1) if m.group(1).lower().startswith("software\\classes") else None
                if key:
                    parts = key.split("\\")
                    for i in range(2, len(parts) + 1):
                        entries.add(f"{hive}:[" + "\\".join(parts[:i]) + "]")
                continue
            if key and line and not line.startswith("#"):
                entries.add(f"{hive}:[{key}] {line}")
print("\n".join(sorted(entries)))
PY
}

# tavocard.exe serve under Wine, beside holvanter.dll with the same
# Tavoper.ini: /v1/health answers, and a guest card issued through HTTP is
# recorded in the hotel database of the data source DSN.
agent_check() {  # ARCH DEPLOY LOADER DSN
  local arch=$1 deploy=$2 loader=$3 dsn=$4 port pid health="" token answer card
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  # The PMS key link of tavocard.exe: a PMS interface of the tests' own,
  # which waits for the link, lays a blank card and sends one key request.
  local fias_port_file="$WORK/fias-port-$arch" fias_pid
  rm -f "$fias_port_file"
  python3 - "$ROOT/tests/fias" "$fias_port_file" "$LYCOMM_SIM_DIR_UNIX" \
    >"$WORK/fias-$arch.log" 2>&1 <<'PY' &
import sys, time
sys.path.insert(0, sys.argv[1])
import pms_interface as pms
ifc = pms.Interface()
with open(sys.argv[2] + ".new", "w") as f:
    f.write(str(ifc.port))
import os; os.rename(sys.argv[2] + ".new", sys.argv[2])
if not ifc.wait_up(timeout=120):
    sys.exit("no link:\n" + ifc.transcript())
time.sleep(3)  # the HTTP card of the check goes first
with open(sys.argv[3] + "/port1.card", "wb") as f:
    f.write(bytes.fromhex("5c1e93a7") + b"\xff" * 28)
answer, took = ifc.request("KR", {"KC": "1", "KT": "N", "RN": "0104", "GD": "301231",
                                  "GN": "Link Guest", "G#": "7001"}, timeout=60)
print("ANSWER", answer.text() if answer else "none", "%.3f s" % took)
print(ifc.transcript())
PY
  fias_pid=$!
  for _ in $(seq 50); do [ -s "$fias_port_file" ] && break; sleep 0.1; done
  "$loader" "$deploy/tavocard.exe" serve --listen-port "$port" \
    --token-file "$(winpath "$WORK/token-$arch")" \
    --fias "127.0.0.1:$(cat "$fias_port_file" 2>/dev/null)" >"$WORK/agent-$arch.log" 2>&1 &
  pid=$!
  for _ in $(seq 150); do
    health=$(curl -sf "http://127.0.0.1:$port/v1/health") && break
    sleep 0.2
  done
  if grep -q '"open":true' <<<"$health" && grep -q '"reachable":true' <<<"$health"; then
    say "  agent /v1/health: encoder open, database reachable"
  else
    failed "agent /v1/health ($arch): ${health:-no answer}"
  fi
  lay_blank_card 1
  token=$(tr -d '\r\n' <"$WORK/token-$arch" 2>/dev/null || true)
  answer=$(curl -s -H "Authorization: Bearer $token" "http://127.0.0.1:$port/v1/cards/guest" \
    -d '{"begin":"'"$(date -d yesterday +%Y%m%d)"'1400","end":"'"$(date -d '+2 days' +%Y%m%d)"'1200","building":1,"floor":1,"room":"0105","holder":"Agent Guest"}' || true)
  card=$(sed -n 's/.*"card_no":"\([0-9]\{8\}\)".*/\1/p' <<<"$answer")
  "$FIXTURE" show "$dsn" >"$WORK/rows-agent-$arch" 2>&1 || true
  if grep -q '"result":0' <<<"$answer" && [ -n "$card" ] &&
     grep -qx "CARD $card kind=宾客卡 name=Agent Guest building=1 floor=1 rooms=0105 checkout=" \
       "$WORK/rows-agent-$arch"; then
    say "  agent: guest card $card issued through HTTP and recorded"
  else
    failed "agent guest card ($arch): ${answer:-no answer}"
  fi
  wait "$fias_pid" 2>/dev/null || true
  local kr_card
  kr_card=$(sed -n 's/^ANSWER KA|ASOK|CTcard \([0-9]\{8\}\) room 0104|.*/\1/p' "$WORK/fias-$arch.log")
  if [ -n "$kr_card" ]; then
    say "  key link: link set up, a key request cut card $kr_card for room 0104"
  else
    failed "key link ($arch): $(cat "$WORK/fias-$arch.log")"
  fi
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# tavocard.exe as a service of the Service Control Manager (Wine's
# services.exe), on the hotel database of the loop's Tavoper.ini: what the
# service command refuses, then installed and started with a settings file,
# RUNNING as sc sees it, its health answer, a key request cut through its key
# link, sc stop (the PMS interface sees LE, the service has stopped within
# 10 s), its start and stop in its log and the event log, and removed.
service_check() {  # ARCH DEPLOY LOADER DSN
  local arch=$1 deploy=$2 loader=$3 dsn=$4 port state health="" status took name=HolvanterAgent
  local exe ini="$WORK/service-$arch.ini" fias_port_file="$WORK/service-fias-port-$arch"
  exe=$(winpath "$deploy/tavocard.exe")
  state="$WINEPREFIX/drive_c/ProgramData/Holvanter/$name"
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  rm -f "$fias_port_file"
  python3 - "$ROOT/tests/fias" "$fias_port_file" "$LYCOMM_SIM_DIR_UNIX" \
    >"$WORK/service-fias-$arch.log" 2>&1 <<'PY' &
import os, sys
sys.path.insert(0, sys.argv[1])
import pms_interface as pms
ifc = pms.Interface()
with open(sys.argv[2] + ".new", "w") as f:
    f.write(str(ifc.port))
os.rename(sys.argv[2] + ".new", sys.argv[2])
if not ifc.wait_up(timeout=120):
    sys.exit("no link:\n" + ifc.transcript())
with open(sys.argv[3] + "/port1.card", "wb") as f:
    f.write(bytes.fromhex("5c1e93a7") + b"\xff" * 28)
answer, took = ifc.request("KR", {"KC": "1", "KT": "N", "RN": "0204", "GD": "301231",
                                  "GN": "Service Guest", "G#": "7002"}, timeout=60)
print("ANSWER", answer.text() if answer else "none", flush=True)
# Then the service is stopped: the key link ends with LE.
print("LE" if ifc.wait(lambda: any(r.id == "LE" for r in ifc.inbox), 90) else "no LE")
print(ifc.transcript())
PY
  local pms_pid=$!
  for _ in $(seq 50); do [ -s "$fias_port_file" ] && break; sleep 0.1; done
  printf '[serve]\r\nlisten-port = %s\r\nfias = 127.0.0.1:%s\r\n' "$port" \
    "$(cat "$fias_port_file" 2>/dev/null)" >"$ini"

  # Wine's event log keeps nothing: it traces each event on the standard
  # error of services.exe, which the first program of a Wine session gives
  # it, with its WINEDEBUG. So a session of its own, begun by a program that
  # keeps it up until the end (Wine ends the services with the session).
  wineserver -k >/dev/null 2>&1 || true
  WINEDEBUG=-all,+eventlog "$loader" ping -n 3600 127.0.0.1 >/dev/null \
    2>"$WORK/service-events-$arch.log" &
  local keeper=$!
  for _ in $(seq 300); do
    grep -q 'starting Event Log Service' "$WORK/service-events-$arch.log" && break
    sleep 0.1
  done

  # What the command refuses, with the exit status of each.
  local refusals=(
    "1|service start --name $name|there is no service named $name"
    "64|service install --config Z:\\nowhere\\agent.ini|the settings file"
    "64|service install --name bad/name|cannot be a service name"
    "64|service run|the entry that the Service Control Manager starts"
    "1|service remove --name Spooler|is not a Holvanter agent"
    # A line the argument parser cannot take ends as usage, as on Linux.
    "64|service install --bogus|--bogus"
    "64|frobnicate|unknown command 'frobnicate'"
    "64|serve --checkin-time 25:00|--checkin-time '25:00' is not HH:MM"
  )
  local row expected words said
  for row in "${refusals[@]}"; do
    IFS='|' read -r expected words said <<<"$row"
    status=0
    # shellcheck disable=SC2086
    "$loader" "$deploy/tavocard.exe" $words >"$WORK/service-refused.log" 2>&1 || status=$?
    if [ "$status" -eq "$expected" ] && grep -qF -- "$said" "$WORK/service-refused.log"; then
      say "  tavocard ${words%% --*}: refused with exit $status"
    else
      failed "tavocard $words ($arch) exited $status: $(tr -d '\r' <"$WORK/service-refused.log")"
    fi
  done

  status=0
  timeout 120 "$loader" "$deploy/tavocard.exe" service install --config "$(winpath "$ini")" \
    --start >"$WORK/service-install-$arch.log" 2>&1 || status=$?
  if [ "$status" -eq 0 ] && "$loader" sc query "$name" 2>&1 | tr -d '\r' |
       grep -qE '^ +STATE +: 4 +RUNNING'; then
    say "  service installed and started: sc query says RUNNING"
  else
    failed "service install --start ($arch, exit $status): $(tr -d '\r' <"$WORK/service-install-$arch.log")"
  fi
  health=$(curl -sf --max-time 5 "http://127.0.0.1:$port/v1/health" || true)
  if grep -q '"open":true' <<<"$health" && grep -q '"reachable":true' <<<"$health"; then
    say "  service /v1/health: encoder open, database reachable"
  else
    failed "service /v1/health ($arch): ${health:-no answer}"
  fi
  for _ in $(seq 600); do grep -q '^ANSWER' "$WORK/service-fias-$arch.log" && break; sleep 0.1; done
  local card
  card=$(sed -n 's/^ANSWER KA|ASOK|CTcard \([0-9]\{8\}\) room 0204|.*/\1/p' "$WORK/service-fias-$arch.log")
  "$FIXTURE" show "$dsn" >"$WORK/rows-service-$arch" 2>&1 || true
  if [ -n "$card" ] && grep -qx "CARD $card kind=宾客卡 name=Service Guest building=1 floor=2 rooms=0204 checkout=" \
       "$WORK/rows-service-$arch"; then
    say "  service key link: a key request cut card $card for room 0204, recorded"
  else
    failed "service key link ($arch): $(cat "$WORK/service-fias-$arch.log")"
  fi

  took=$(date +%s%N)
  "$loader" sc stop "$name" >/dev/null 2>&1 || true
  for _ in $(seq 150); do
    "$loader" sc query "$name" 2>&1 | grep -qE 'STATE +: 1 +STOPPED' && break
    sleep 0.1
  done
  took=$((($(date +%s%N) - took) / 1000000))
  wait "$pms_pid" 2>/dev/null || true
  if grep -qx LE "$WORK/service-fias-$arch.log" && [ "$took" -lt 10000 ]; then
    say "  sc stop: stopped in $took ms, the key link ended with LE"
  else
    failed "sc stop ($arch, $took ms): $(cat "$WORK/service-fias-$arch.log")"
  fi
  # A service whose settings are wrong fails its start, and says why.
  printf '[serve]\r\ncheckin-time = 25:00\r\n' >"$WORK/service-broken.ini"
  status=0
  "$loader" "$deploy/tavocard.exe" service install --name HolvanterBroken --start \
    --config "$(winpath "$WORK/service-broken.ini")" >"$WORK/service-broken-$arch.log" 2>&1 ||
    status=$?
  "$loader" "$deploy/tavocard.exe" service remove --name HolvanterBroken >/dev/null 2>&1 || true
  if [ "$status" -eq 3 ] && grep -qF 'did not start (exit status 64)' "$WORK/service-broken-$arch.log"; then
    say "  a service with wrong settings: did not start (exit status 64)"
  else
    failed "a service with wrong settings ($arch, exit $status): $(tr -d '\r' <"$WORK/service-broken-$arch.log")"
  fi
  tr -d '\r' <"$state/agent.log" >"$WORK/service-agent-$arch.log" 2>/dev/null || true
  expect_texts "service log ($arch)" "$WORK/service-agent-$arch.log" <<TEXTS
service: The Holvanter front-desk agent started: it answers on http://127.0.0.1:$port/ (settings
stopping on a stop from the Service Control Manager
service: The Holvanter front-desk agent stopped
TEXTS
  sed -nE 's/^.*:(trace|err):eventlog:ReportEventW L"(.*)"$/\2/p' "$WORK/service-events-$arch.log" |
    sed 's/\\\\/\\/g' >"$WORK/service-events-$arch.txt"
  expect_texts "service events in the event log ($arch)" "$WORK/service-events-$arch.txt" <<TEXTS
The Holvanter front-desk agent started: it answers on http://127.0.0.1:$port/ (settings $(winpath "$ini"))
The Holvanter front-desk agent stopped
The Holvanter front-desk agent failed (exit status 64): tavocard serve: --checkin-time
TEXTS
  [ -s "$state/agent-token" ] || failed "no token in the service's state folder ($arch)"

  status=0
  "$loader" "$deploy/tavocard.exe" service remove >"$WORK/service-remove-$arch.log" 2>&1 || status=$?
  if [ "$status" -eq 0 ] && ! "$loader" sc query "$name" >/dev/null 2>&1; then
    say "  service removed"
  else
    failed "service remove ($arch, exit $status): $(tr -d '\r' <"$WORK/service-remove-$arch.log")"
  fi
  kill "$keeper" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
}

# Desks across the two systems on the hotel database of DSN: a Windows desk
# (tavocard.exe of the loop's architecture) joins a Linux link desk, and a
# Linux desk joins a Windows link desk; each cuts the card of a key request
# for its coder on its own encoder.
desks_check() {  # DSN
  if [ ! -x "$LINUX_BUILD/bin/tavocard" ]; then
    say "  desks across Linux and Windows SKIPPED: $LINUX_BUILD/bin/tavocard was not built"
    return
  fi
  run_client "desks across Linux and Windows" "$WORK/desks-$arch.log" \
    python3 "$ROOT/tests/windows/desks_across.py" "$LINUX_BUILD" "$1" "$WORK/desks-$arch" \
    "$LYCOMM_SIM_DIR_UNIX" "${wine_run[@]}" "$deploy/tavocard.exe"
  sed -n 's/^TOOK /    /p' "$WORK/desks-$arch.log.txt"
}

# Every line of standard input must be found in a line of OUTPUT.
expect_texts() {
  local label=$1 output=$2 line ok=1
  while IFS= read -r line; do
    [ -z "$line" ] && continue
    grep -qF -- "$line" "$output" || { echo "    missing: $line"; ok=0; }
  done
  if [ "$ok" -eq 1 ]; then say "  $label: as expected"; else
    sed 's/^/    got: /' "$output" | tail -n 20
    failed "$label"
  fi
}

lay_blank_card() {  # PORT (1-based)
  { printf '\x5c\x1e\x93\xa7'; head -c 28 /dev/zero | tr '\0' '\377'; } \
    >"$LYCOMM_SIM_DIR_UNIX/port$1.card"
}

# The card round trip on one server, for the architecture of the loop below
# (arch, deploy, system, wine_run, vbs_port): the hotel set up anew through
# the data source file whose text comes on standard input, guest and villa
# cards issued and read through COM, a VBScript card, all checked out, and
# the rows checked after each step.
end_to_end() {  # LABEL DSN_FILE
  local db=$1 dsn=$2 tag="$1-$arch"
  cat >"$dsn"
  if ! "$FIXTURE" setup "$dsn" HOLV1 >"$WORK/setup-$tag.log" 2>&1; then
    cat "$WORK/setup-$tag.log"
    failed "hotel database set-up ($db, $arch)"
    return
  fi
  say "  -- on $db"
  printf '[Setting]\r\nDataBase=%s\r\n' "$(winpath "$dsn")" >"$deploy/Tavoper.ini"
  run_client "end to end: issue and read" "$WORK/issue-$tag.log" \
    "${wine_run[@]}" "$deploy/com_client.exe" e2e-issue
  local guest villa
  guest=$(sed -n 's/^GUEST_CARD \([0-9]*\)$/\1/p' "$WORK/issue-$tag.log.txt")
  villa=$(sed -n 's/^VILLA_CARD \([0-9]*\)$/\1/p' "$WORK/issue-$tag.log.txt")
  "$FIXTURE" show "$dsn" >"$WORK/rows-issued-$tag" 2>&1 || true
  expect_lines "CardRecord and RoomList after issue" "$WORK/rows-issued-$tag" <<EOF
CARD ${guest:-?} kind=宾客卡 name=Anna Lindqvist building=1 floor=1 rooms=0101 checkout=
CARD ${villa:-?} kind=别墅卡 name=Villa O'Brien building=1 floor=2 rooms=0201,0202 checkout=
ROOM 1/1/0101 state=1 cards=1
ROOM 1/1/0103 state=1 cards=1
ROOM 1/2/0201 state=1 cards=1
ROOM 1/2/0202 state=1 cards=1
EOF
  lay_blank_card $((vbs_port + 1))
  "${wine_run[@]}" "$system\\cscript.exe" //nologo "$(winpath "$deploy/tavo_card.vbs")" "$vbs_port" \
    2>&1 | tr -d '\r' >"$WORK/vbs-$tag.log" || true
  expect_lines "VBScript host" "$WORK/vbs-$tag.log" <<EOF
ClosePort fresh=0
OpenPort=$((vbs_port + 1))
OpenPort with baud=$((vbs_port + 1))
OpenPort(255) Err.Number=6 Source=Holvanter.TavoCard
WriteCard=0
ReadCard=0
WriteCard checkout=0
ReadCard after checkout=-700
ClosePort=0
done
EOF
  run_client "end to end: check-out" "$WORK/checkout-$tag.log" \
    "${wine_run[@]}" "$deploy/com_client.exe" e2e-checkout
  "$FIXTURE" show "$dsn" >"$WORK/rows-out-$tag" 2>&1 || true
  expect_lines "CardRecord and RoomList after check-out" "$WORK/rows-out-$tag" <<EOF
CARD ${guest:-?} kind=宾客卡 name=Anna Lindqvist building=1 floor=1 rooms=0101 checkout=#1
CARD ${villa:-?} kind=别墅卡 name=Villa O'Brien building=1 floor=2 rooms=0201,0202 checkout=#1
ROOM 1/1/0101 state=1 cards=1
ROOM 1/2/0201 state=1 cards=1
ROOM 1/2/0202 state=1 cards=1
ROOM 1/2/0203 state=1 cards=1
EOF
  if grep -qE '^CARD [0-9]{8} kind=宾客卡 name=VBScript Guest building=1 floor=2 rooms=0203 checkout=#1$' \
       "$WORK/rows-out-$tag"; then
    say "  VBScript card recorded and checked out"
  else
    failed "VBScript card in CardRecord ($db)"
  fi
  if [ "$db" = postgresql ]; then
    agent_check "$arch" "$deploy" "$loader" "$dsn"
    service_check "$arch" "$deploy" "$loader" "$dsn"
    desks_check "$dsn"
  fi
  rm -f "$deploy/Tavoper.ini"
}

# ------------------------------------------------------------ per architecture
for arch in "${ARCHES[@]}"; do
  build="$BUILD_PREFIX-$arch"
  deploy="$WORK/$arch"
  mkdir -p "$deploy"
  cp "$build"/bin/{holvanter.dll,lyComm.dll,mwic_32.dll,com_client.exe,tavocard.exe} "$deploy/"
  cp "$ROOT/tests/windows/tavo_card.vbs" "$deploy/"
  # Each architecture's programs start with its own loader: Debian's wine
  # command takes the 32-bit loader, which sees system32 as syswow64.
  if [ "$arch" = x86 ]; then
    system='C:\windows\syswow64' bits=32 loader=/usr/lib/wine/wine
  else
    system='C:\windows\system32' bits=64 loader=/usr/lib/wine/wine64
  fi
  [ -x "$loader" ] || loader=wine
  wine_run=("$loader")
  [ "$arch" = x86 ] && wine_run=("${X86_ODBC[@]}" "$loader")
  vbs_port=3
  dll=$(winpath "$deploy/holvanter.dll")
  say "== $arch"

  # Registration.
  registry_snapshot "$WORK/reg-$arch-before"
  "$loader" "$system\\regsvr32.exe" /s "$dll" >"$WORK/regsvr32-$arch.log" 2>&1 || true
  registry_snapshot "$WORK/reg-$arch-registered"
  comm -13 "$WORK/reg-$arch-before" "$WORK/reg-$arch-registered" >"$WORK/reg-$arch-written"
  clsid_root='Software\Classes\CLSID'
  [ "$arch" = x86 ] && clsid_root='Software\Classes\Wow6432Node\CLSID'
  expect_lines "regsvr32 registration" "$WORK/reg-$arch-written" <<EOF
system.reg:[$clsid_root\{F3B47DE0-66DB-46E4-AFF2-BEEE1139A740}] @="Holvanter.TavoCard"
system.reg:[$clsid_root\{F3B47DE0-66DB-46E4-AFF2-BEEE1139A740}\InprocServer32] @="$dll"
system.reg:[$clsid_root\{F3B47DE0-66DB-46E4-AFF2-BEEE1139A740}\InprocServer32] "ThreadingModel"="Apartment"
system.reg:[$clsid_root\{F3B47DE0-66DB-46E4-AFF2-BEEE1139A740}\ProgID] @="Holvanter.TavoCard"
system.reg:[Software\Classes\Holvanter.TavoCard\CLSID] @="{F3B47DE0-66DB-46E4-AFF2-BEEE1139A740}"
system.reg:[Software\Classes\Interface\{6C2305BD-69A4-44ED-86CB-45B8A51B45A6}] @="_TavoCard"
system.reg:[Software\Classes\Typelib\{652C87A6-852B-48DD-8D04-2E11263381AF}\1.0] @="Holvanter"
system.reg:[Software\Classes\Typelib\{652C87A6-852B-48DD-8D04-2E11263381AF}\1.0\0\win$bits] @="$dll"
EOF

  # The COM client without a database, then without lyComm.dll.
  rm -f "$deploy/Tavoper.ini"
  run_client "COM client checks" "$WORK/client-$arch.log" "$loader" "$deploy/com_client.exe" checks
  grep -qx "com_client checks ($bits-bit)" "$WORK/client-$arch.log.txt" ||
    failed "the $arch client did not run as a $bits-bit process"
  mv "$deploy/lyComm.dll" "$deploy/lyComm.dll.away"
  run_client "missing lyComm.dll" "$WORK/missing-$arch.log" \
    "$loader" "$deploy/com_client.exe" missing-lycomm
  mv "$deploy/lyComm.dll.away" "$deploy/lyComm.dll"

  # End to end on each server, with the VBScript host in the middle.
  if [ "$E2E" -eq 1 ]; then
    end_to_end postgresql "$WORK/hotel-$arch.dsn" <<EOF
[ODBC]
DRIVER=PostgreSQL Unicode
Servername=$PG_HOST
Port=$PG_PORT
Database=postgres
UID=$PG_DB_USER
EOF
  fi
  if [ "$MDB_E2E" -eq 1 ] && { [ "$arch" = x64 ] || [ ${#X86_ODBC[@]} -gt 0 ]; }; then
    end_to_end mariadb "$WORK/hotel-mariadb-$arch.dsn" <<EOF
[ODBC]
DRIVER=MariaDB Unicode
SERVER=$MDB_HOST
PORT=$MDB_PORT
DATABASE=hotel
UID=$MDB_DB_USER
PWD=$MDB_DB_PASSWORD
EOF
  fi
  if [ "$E2E" -eq 0 ]; then
    # Without a database the script host still shows the port and errors.
    lay_blank_card $((vbs_port + 1))
    "${wine_run[@]}" "$system\\cscript.exe" //nologo "$(winpath "$deploy/tavo_card.vbs")" "$vbs_port" \
      2>&1 | tr -d '\r' >"$WORK/vbs-$arch.log" || true
    expect_lines "VBScript host (no database: issue -800)" "$WORK/vbs-$arch.log" <<EOF
OpenPort=$((vbs_port + 1))
OpenPort(255) Err.Number=6 Source=Holvanter.TavoCard
WriteCard=-800
done
EOF
  fi

  # Code page 936 (LANG=zh_CN.UTF-8, the locale compiled into the work
  # folder): Tavoper.ini and a data source file in that code page name a
  # hotel in a folder 酒店, reached through the (64-bit) Linux SQLite driver.
  cn=$WORK/cn-$arch
  if [ "$arch" = x64 ] && [ -x "$FIXTURE" ] && odbcinst -q -d -n SQLite3 >/dev/null 2>&1 &&
     { [ -d "$WORK/locale/zh_CN.UTF-8" ] ||
       { mkdir -p "$WORK/locale" &&
         localedef -i zh_CN -f UTF-8 "$WORK/locale/zh_CN.UTF-8" >/dev/null 2>&1; }; }; then
    mkdir -p "$cn/酒店"
    printf '[ODBC]\r\nDRIVER=SQLite3\r\nDatabase=%s\r\n' "$cn/酒店/hotel.db" >"$cn/utf8.dsn"
    if "$FIXTURE" setup "$cn/utf8.dsn" HOLV1 >"$cn/setup.log" 2>&1; then
      iconv -f UTF-8 -t GBK "$cn/utf8.dsn" >"$cn/酒店/hotel.dsn"
      printf '[Setting]\r\nDataBase=%s\r\n' "$(winpath "$cn/酒店/hotel.dsn")" |
        iconv -f UTF-8 -t GBK >"$deploy/Tavoper.ini"
      for port in 1 2 3; do lay_blank_card "$port"; done
      wineserver -k >/dev/null 2>&1 || true
      LOCPATH=$WORK/locale LANG=zh_CN.UTF-8 run_client "code page 936: a hotel in a Chinese folder" \
        "$WORK/cn-$arch.log" "$loader" "$deploy/com_client.exe" e2e-issue
      wineserver -k >/dev/null 2>&1 || true
      rm -f "$deploy/Tavoper.ini"
    else
      cat "$cn/setup.log"
      failed "hotel in a Chinese folder set-up ($arch)"
    fi
  elif [ "$arch" = x64 ]; then
    say "  code page 936 SKIPPED: no SQLite3 ODBC driver or no zh_CN locale source"
  fi

  # ---- The COM examples that docs/integrating.md shows (docs/examples/), x64:
  # each run as its header says, on a hotel of its own (the Linux SQLite
  # driver) with a blank card on port 0. Each must exit 0, print check-out=0
  # and leave its card recorded and checked out.
  examples=$ROOT/docs/examples ex=$WORK/docs-examples-$arch
  if [ "$arch" = x64 ] && [ -d "$examples" ] && [ -x "$FIXTURE" ] &&
     odbcinst -q -d -n SQLite3 >/dev/null 2>&1; then
    mkdir -p "$ex"
    printf '[ODBC]\r\nDRIVER=SQLite3\r\nDatabase=%s\r\n' "$ex/hotel.db" >"$ex/hotel.dsn"
    if [ -f "$examples/com_client.cpp" ] &&
       ! x86_64-w64-mingw32-g++ -static "$examples/com_client.cpp" -lole32 -loleaut32 -luuid \
           -o "$ex/com_client.exe" >"$ex/build.log" 2>&1; then
      cat "$ex/build.log"
      failed "docs/examples/com_client.cpp does not build as its header says"
    fi
    for example in issue_card.vbs issue_card.js com_client.cpp; do
      [ -f "$examples/$example" ] || continue
      if [ "$example" = com_client.cpp ]; then
        [ -f "$ex/com_client.exe" ] || continue
        command=("$loader" "$ex/com_client.exe")
      else
        command=("$loader" "$system\\cscript.exe" //nologo "$(winpath "$examples/$example")")
      fi
      rm -f "$ex/hotel.db"
      "$FIXTURE" setup "$ex/hotel.dsn" HOLV1 >"$ex/setup.log" 2>&1 || cat "$ex/setup.log"
      printf '[Setting]\r\nDataBase=%s\r\n' "$(winpath "$ex/hotel.dsn")" >"$deploy/Tavoper.ini"
      lay_blank_card 1
      status=0
      timeout 120 "${command[@]}" 2>&1 | tr -d '\r' >"$ex/$example.log" || status=$?
      "$FIXTURE" show "$ex/hotel.dsn" >"$ex/$example.rows" 2>&1 || true
      if [ "$status" -eq 0 ] && grep -qx 'check-out=0' "$ex/$example.log" &&
         grep -qE '^CARD [0-9]{8} .* checkout=#1$' "$ex/$example.rows"; then
        say "  docs/examples/$example: card issued, read and checked out"
      else
        sed 's/^/    /' "$ex/$example.log" "$ex/$example.rows"
        failed "docs/examples/$example (exit $status)"
      fi
    done
    rm -f "$deploy/Tavoper.ini"
  elif [ "$arch" = x64 ] && [ -d "$examples" ]; then
    say "  docs/examples SKIPPED: no hotel fixture or no SQLite3 ODBC driver"
  fi

  # Unregistration removes every key and value registration wrote.
  "$loader" "$system\\regsvr32.exe" /u /s "$dll" >>"$WORK/regsvr32-$arch.log" 2>&1 || true
  registry_snapshot "$WORK/reg-$arch-after"
  comm -12 "$WORK/reg-$arch-written" "$WORK/reg-$arch-after" >"$WORK/reg-$arch-left"
  if [ -s "$WORK/reg-$arch-left" ]; then
    sed 's/^/    left: /' "$WORK/reg-$arch-left"
    failed "regsvr32 /u ($arch)"
  else
    say "  regsvr32 /u: all $(wc -l <"$WORK/reg-$arch-written") registry entries written were removed"
  fi
done

now=$(date +%s)
say "build $((built - started)) s, Wine tests $((now - built)) s; end to end on PostgreSQL: $([ "$E2E" -eq 1 ] && echo ran || echo SKIPPED), on MariaDB: $([ "$MDB_E2E" -eq 1 ] && echo ran || echo SKIPPED)"
if [ "$fail_count" -ne 0 ]; then
  say "$fail_count checks failed"
  exit 1
fi
say "all passed for ${ARCHES[*]}"
[ "$X86_NOT_RUN" -eq 0 ] || windows_x86_not_run test-windows
