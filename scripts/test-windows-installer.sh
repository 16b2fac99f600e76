#!/usr/bin/env bash
# The Windows installer stage of ./run test: makes holvanter-setup-VERSION.exe
# from the builds of the Windows stage (made here when missing) and, in a
# fresh Wine prefix, installs it silently without and then with the
# stand-ins and the agent at logon (whose health answer shows the version),
# issues a card into a throwaway PostgreSQL hotel from a JScript
# host as a 32-bit and a 64-bit process, installs the agent as a Windows
# service (/SERVICE) over a settings file of the hotel's, upgrades to a newer
# release over an edited Tavoper.ini (the service stopped and started again
# with the newer agent) and uninstalls, leaving Tavoper.ini and the settings
# file and no registry entry of the product (the service removed); then
# installs on 32-bit Windows (a win32 prefix).
#
#   scripts/test-windows-installer.sh LINUX_BUILD_FOLDER
#
# HOLVANTER_WINDOWS_BUILD   prefix of the build folders (default ROOT/build-win)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
LINUX_BUILD=$(cd "${1:?usage: test-windows-installer.sh LINUX_BUILD_FOLDER}" && pwd)
BUILD_PREFIX=${HOLVANTER_WINDOWS_BUILD:-$ROOT/build-win}
STAGE=test-windows-installer
started=$(date +%s)
. "$ROOT/scripts/lib/checks.sh"
. "$ROOT/scripts/lib/windows.sh"
. "$ROOT/scripts/lib/postgres.sh"

windows_ensure_packages
for arch in x86 x64; do
  windows_build "$ROOT" "$arch" "$BUILD_PREFIX-$arch" || { say "the $arch build failed"; exit 1; }
done
VERSION=$(sed -n 's/^!define VERSION "\(.*\)"$/\1/p' "$BUILD_PREFIX-x86/holvanter-version.nsh")
NEWER=$(awk -F. '{ print $1 "." $2 "." $3 + 1 }' <<<"$VERSION")

WORK=$(mktemp -d /tmp/holvanter-setup.XXXXXX)
chmod 755 "$WORK"  # the database server runs as its own user
export WINEPREFIX=$WORK/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
PG_STARTED=0
cleanup() {
  local status=$?
  wineserver -k >/dev/null 2>&1 || true
  if [ "$PG_STARTED" -eq 1 ]; then pg_stop; fi
  rm -rf "$WORK"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
winpath() { printf 'Z:%s' "${1//\//\\}"; }
export LYCOMM_SIM_DIR
mkdir -p "$WORK/encoder" && LYCOMM_SIM_DIR=$(winpath "$WORK/encoder")

SETUP=$(windows_installer "$ROOT" "$BUILD_PREFIX-x86" "$BUILD_PREFIX-x64" "$WORK/dist") || exit 1
UPGRADE=$(windows_installer "$ROOT" "$BUILD_PREFIX-x86" "$BUILD_PREFIX-x64" "$WORK/newer" \
            -DVERSION="$NEWER") || exit 1
check "installer" "holvanter-setup-$VERSION.exe" "$(basename "$SETUP")"
say "  $(du -k "$SETUP" | cut -f1) KiB"
# The installer is a 32-bit program: without the 32-bit Wine it is made
# and checked above, and not run.
if ! windows_runs_x86; then
  windows_x86_not_run "$STAGE"
  say "the installer was made but not run: it is a 32-bit program"
  finish
  exit 0
fi
made=$(date +%s)

new_prefix() {
  wineserver -k >/dev/null 2>&1 || true
  wineboot -i >"$WORK/wineboot.log" 2>&1 || { cat "$WORK/wineboot.log"; exit 1; }
  wineserver -w
  INSTDIR=$WINEPREFIX/drive_c/Program\ Files/Holvanter
}
run_setup() {  # INSTALLER ARGS...: the uninstaller returns at once, wineserver -w waits
  timeout 300 wine "$@" >>"$WORK/setup.log" 2>&1 || failed "$(basename "$1") ${*:2}"
  wineserver -w
}
# Registry lines naming the product or the GUIDs of its type library,
# interface and class (Wine's registry files double each backslash).
product="holvanter|$(sed -n 's/.*uuid(\([0-9A-Fa-f-]*\)).*/\1/p' "$ROOT/component/com/holvanter.idl" |
  paste -sd'|')"
registry_traces() { cat "$WINEPREFIX"/{system,user}.reg | grep -iE "$product" || true; }
registered() {  # CLSID_ROOT: the class's InprocServer32 key is there
  grep -qiF "[$1\\\\{F3B47DE0-66DB-46E4-AFF2-BEEE1139A740}\\\\InprocServer32]" "$WINEPREFIX/system.reg"
}
listed() {  # the DisplayVersion under the installed programs
  grep -A12 -F 'CurrentVersion\\Uninstall\\Holvanter]' "$WINEPREFIX/system.reg" |
    sed -n 's/^"DisplayVersion"="\(.*\)"$/\1/p' | head -n1
}

new_prefix
run_setup "$SETUP" /S
[ -f "$INSTDIR/x64/holvanter.dll" ] || failed "the install made no x64/holvanter.dll"
[ -n "$(ls "$INSTDIR"/x*/{lyComm,mwic_32}.dll 2>/dev/null)" ] && failed "stand-ins installed unasked"
run_setup "$SETUP" /S /STANDINS /AGENT
installed() { (cd "$INSTDIR" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs); }
check "installed files" "uninstall.exe x64/holvanter.dll x64/lyComm.dll x64/mwic_32.dll \
x64/tavocard.exe x86/holvanter.dll x86/lyComm.dll x86/mwic_32.dll x86/tavocard.exe" "$(installed)"
grep -F '"Holvanter front-desk agent"=' "$WINEPREFIX/system.reg" |
  grep -qF 'x64\\tavocard.exe\" serve' || failed "the agent does not start at logon"
port=$(free_port)
/usr/lib/wine/wine64 'C:\Program Files\Holvanter\x64\tavocard.exe' serve --listen-port "$port" \
  >"$WORK/agent.log" 2>&1 &
check "installed agent's health answer" "$VERSION" "$(health_version "$port")"
wineserver -k && wait $! || true
check "installed programs list" "$VERSION" "$(listed)"
registered 'Software\\Classes\\CLSID' || failed "x64 class not registered"
registered 'Software\\Classes\\Wow6432Node\\CLSID' || failed "x86 class not registered"

issue_with() {  # ARCH CSCRIPT PORT ROOM: a card from the JScript host
  local arch=$1 port=$3 loader=/usr/lib/wine/wine64
  [ "$arch" = x86 ] && loader=/usr/lib/wine/wine
  { printf '\x5c\x1e\x93\xa7'; head -c 28 /dev/zero | tr '\0' '\377'; } \
    >"$WORK/encoder/port$((port + 1)).card"
  check "JScript host ($arch)" \
    "OpenPort=$((port + 1)) WriteCard=0 ReadCard=0 ClosePort=0 FileVersion=$VERSION.0" \
    "$("$loader" "$2" //nologo "$(winpath "$ROOT/tests/windows/issue_card.js")" "$port" "$4" \
       "Installer Guest $arch" "$(winpath "$INSTDIR/$arch/holvanter.dll")" 2>&1 | tr -d '\r' |
       paste -sd' ')"
}
if [ -x "$LINUX_BUILD/bin/windows_hotel_fixture" ] && pg_start "$WORK/postgres"; then
  PG_STARTED=1
  printf '[ODBC]\nDRIVER=PostgreSQL Unicode\nServername=%s\nPort=%s\nDatabase=postgres\nUID=%s\n' \
    "$PG_HOST" "$PG_PORT" "$PG_DB_USER" >"$WORK/hotel.dsn"
  "$LINUX_BUILD/bin/windows_hotel_fixture" setup "$WORK/hotel.dsn" HOLV1 >/dev/null
  for arch in x86 x64; do
    printf '[Setting]\r\nDataBase=%s\r\n' "$(winpath "$WORK/hotel.dsn")" >"$INSTDIR/$arch/Tavoper.ini"
  done
  issue_with x86 'C:\windows\syswow64\cscript.exe' 0 0102
  issue_with x64 'C:\windows\system32\cscript.exe' 1 0103
  rows=$("$LINUX_BUILD/bin/windows_hotel_fixture" show "$WORK/hotel.dsn" 2>&1 | grep -o 'name=Installer.*rooms=[0-9]*' || true)
  check "CardRecord" "name=Installer Guest x86 building=1 floor=1 rooms=0102 name=Installer Guest x64 building=1 floor=1 rooms=0103" \
    "$(xargs <<<"$rows")"
else
  failed "no hotel database for the script host (windows_hotel_fixture, PostgreSQL)"
fi

# The agent as a Windows service, on a settings file that the hotel wrote
# first. Wine ends its services with the Wine session: a program kept
# running holds the session up while the service is looked at.
service_state() {
  wine sc query HolvanterAgent 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: [0-9] *\([A-Z_]*\).*/\1/p'
}
service_port=$(free_port)
settings=$WINEPREFIX/drive_c/ProgramData/Holvanter/agent.ini
mkdir -p "$(dirname "$settings")"
printf '[serve]\r\nlisten-port = %s\r\n' "$service_port" >"$settings"
cp "$settings" "$WORK/agent.ini"
wine ping -n 3600 127.0.0.1 >/dev/null 2>&1 &
keeper=$!
timeout 300 wine "$SETUP" /S /SERVICE >>"$WORK/setup.log" 2>&1 || failed "$(basename "$SETUP") /S /SERVICE"
check "the service of /SERVICE" "RUNNING $VERSION" "$(service_state) $(health_version "$service_port")"

# The hotel edits its settings; the upgrade keeps them, the stand-ins and
# the service, which it stops and starts again.
for arch in x86 x64; do
  printf '; the hotel database on the office server\r\n' >>"$INSTDIR/$arch/Tavoper.ini"
  cp "$INSTDIR/$arch/Tavoper.ini" "$WORK/$arch.ini"
done
timeout 300 wine "$UPGRADE" /S >>"$WORK/setup.log" 2>&1 || failed "$(basename "$UPGRADE") /S"
# The same binaries in both releases: the service's log tells its two runs apart.
check "the service after the upgrade" "RUNNING $VERSION started stopped started" \
  "$(service_state) $(health_version "$service_port") $(sed -n \
     's/.* service: The Holvanter front-desk agent \(started\|stopped\).*/\1/p' \
     "$WINEPREFIX/drive_c/ProgramData/Holvanter/HolvanterAgent/agent.log" | xargs)"
kill "$keeper" 2>/dev/null || true
wineserver -w
check "installed programs list after the upgrade" "$NEWER" "$(listed)"
[ -f "$INSTDIR/x86/lyComm.dll" ] || failed "the upgrade dropped the stand-ins"
[ "$PG_STARTED" -eq 1 ] && issue_with x64 'C:\windows\system32\cscript.exe' 1 0104

run_setup "$INSTDIR/uninstall.exe" /S
left=$(registry_traces)
[ -z "$left" ] || { sed 's/^/    left: /' <<<"$left"; failed "the uninstall left registry entries"; }
for arch in x86 x64; do
  cmp -s "$INSTDIR/$arch/Tavoper.ini" "$WORK/$arch.ini" || failed "Tavoper.ini ($arch) changed"
done
cmp -s "$settings" "$WORK/agent.ini" || failed "the service's settings file changed"
check "left after the upgrade and uninstall" "x64/Tavoper.ini x86/Tavoper.ini" \
  "$(installed)"

# 32-bit Windows: the x86 component alone, in the system's one registry view.
export WINEPREFIX=$WORK/prefix32 WINEARCH=win32
new_prefix
run_setup "$SETUP" /S
check "32-bit Windows: installed" "uninstall.exe x86/holvanter.dll x86/tavocard.exe" \
  "$(installed)"
registered 'Software\\Classes\\CLSID' || failed "32-bit Windows: class not registered"
run_setup "$INSTDIR/uninstall.exe" /S
[ -z "$(registry_traces)" ] && [ ! -e "$INSTDIR" ] || failed "32-bit Windows: the uninstall left traces"

say "installers $((made - started)) s, Wine $(($(date +%s) - made)) s"
finish
