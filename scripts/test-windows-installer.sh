#!/usr/bin/env bash
# The Windows installer stage of ./run test: makes holvanter-setup-VERSION.exe
# with makensis from the two builds of the Windows stage (built here when
# they are not there yet), and in a fresh Wine prefix:
#   - installs it silently (/S), then again with the stand-ins (/S /STANDINS):
#     both components registered, the uninstaller listed among installed
#     programs, the stand-ins only when asked;
#   - a JScript host, as a 32-bit and as a 64-bit process, creates
#     "Holvanter.TavoCard" and issues a card into a throwaway PostgreSQL
#     hotel database;
#   - upgrades with a newer installer over a Tavoper.ini the hotel edited,
#     which stays as it was;
#   - uninstalls: no registry entry of the product left, Tavoper.ini left;
#   - on 32-bit Windows (a win32 prefix) installs the x86 component alone.
#
#   scripts/test-windows-installer.sh LINUX_BUILD_FOLDER
#
# HOLVANTER_WINDOWS_BUILD   prefix of the build folders (default ROOT/build-win)
# HOLVANTER_WINDOWS_KEEP=1  leave the work folder (Wine prefix, logs) in place
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
LINUX_BUILD=$(cd "${1:?usage: test-windows-installer.sh LINUX_BUILD_FOLDER}" && pwd)
BUILD_PREFIX=${HOLVANTER_WINDOWS_BUILD:-$ROOT/build-win}
started=$(date +%s)

say() { echo "test-windows-installer: $*"; }
fail_count=0
failed() {
  echo "test-windows-installer: FAIL $*"
  fail_count=$((fail_count + 1))
}
check() {  # LABEL EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then say "  $1: $3"; else
    echo "    expected: $2"
    echo "    got:      $3"
    failed "$1"
  fi
}

# shellcheck source=scripts/lib/windows.sh
. "$ROOT/scripts/lib/windows.sh"
windows_ensure_packages
for arch in x86 x64; do
  windows_build "$ROOT" "$arch" "$BUILD_PREFIX-$arch" || { say "the $arch build failed"; exit 1; }
done
VERSION=$(sed -n 's/^!define VERSION "\(.*\)"$/\1/p' "$BUILD_PREFIX-x86/holvanter-version.nsh")

WORK=$(mktemp -d /tmp/holvanter-setup.XXXXXX)
chmod 755 "$WORK"  # the database server runs as its own user
export WINEPREFIX=$WORK/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LYCOMM_SIM_DIR_UNIX=$WORK/encoder
mkdir -p "$LYCOMM_SIM_DIR_UNIX"
PG_STARTED=0
cleanup() {
  local status=$?
  wineserver -k >/dev/null 2>&1 || true
  if [ "$PG_STARTED" -eq 1 ]; then pg_stop; fi
  if [ "${HOLVANTER_WINDOWS_KEEP:-0}" = 1 ]; then say "left $WORK in place"; else rm -rf "$WORK"; fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

winpath() { printf 'Z:%s' "${1//\//\\}"; }
export LYCOMM_SIM_DIR
LYCOMM_SIM_DIR=$(winpath "$LYCOMM_SIM_DIR_UNIX")

# ------------------------------------------------------------ installers
# The release, and a newer release of the same files to upgrade to.
SETUP=$(windows_installer "$ROOT" "$BUILD_PREFIX-x86" "$BUILD_PREFIX-x64" "$WORK/dist") ||
  { failed "makensis"; exit 1; }
check "installer" "holvanter-setup-$VERSION.exe" "$(basename "$SETUP")"
say "  $(du -k "$SETUP" | cut -f1) KiB"
NEWER=$(awk -F. '{ print $1 "." $2 "." $3 + 1 }' <<<"$VERSION")
UPGRADE=$(windows_installer "$ROOT" "$BUILD_PREFIX-x86" "$BUILD_PREFIX-x64" "$WORK/dist-newer" \
            -DVERSION="$NEWER") || { failed "makensis (upgrade)"; exit 1; }
made=$(date +%s)

say "making a Wine prefix"
wineboot -i >"$WORK/wineboot.log" 2>&1 || { cat "$WORK/wineboot.log"; exit 1; }
wineserver -w

# The registry of the prefix, one "[key] value" line per value and one
# "[key]" line per key, backslashes as Windows shows them.
registry_dump() {
  wineserver -w
  python3 - "$WINEPREFIX" <<'PY'
import re, sys
for hive in ("system.reg", "user.reg"):
    key = None
    with open(f"{sys.argv[1]}/{hive}", encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n").replace("\\\\", "\\")
            m = re.match(r"^\[(.*)\]( \d+)?$", line)
            if m:
                key = m.group(1)
                print(f"[{key}]")
            elif key and line and not line.startswith(("#", "@time")):
                print(f"[{key}] {line}")
PY
}
# The product's traces: keys and values naming Holvanter, or the GUIDs of
# its class, interface and type library.
product_pattern="holvanter|$(sed -n 's/.*uuid(\([0-9A-Fa-f-]*\)).*/\1/p' \
  "$ROOT/component/com/holvanter.idl" | paste -sd'|')"
registry_traces() { registry_dump | grep -iE "$product_pattern" || true; }
[ -z "$(registry_traces)" ] || failed "the fresh prefix already knows the product"

# ------------------------------------------------------------ silent install
run_setup() {  # INSTALLER ARGS...
  local setup=$1
  shift
  timeout 300 wine "$setup" "$@" >>"$WORK/setup.log" 2>&1 || failed "$(basename "$setup") $* exit $?"
  wineserver -w
}
INSTDIR=$WINEPREFIX/drive_c/Program\ Files/Holvanter
# The stand-ins only when asked: first without, then again with them.
run_setup "$SETUP" /S
[ -f "$INSTDIR/x86/holvanter.dll" ] || failed "the install made no x86/holvanter.dll"
[ -n "$(ls "$INSTDIR"/x*/{lyComm,mwic_32}.dll 2>/dev/null)" ] && failed "stand-ins installed unasked"
run_setup "$SETUP" /S /STANDINS
for file in x86/holvanter.dll x86/lyComm.dll x86/mwic_32.dll x64/holvanter.dll x64/lyComm.dll \
            x64/mwic_32.dll uninstall.exe; do
  [ -f "$INSTDIR/$file" ] || failed "the install made no $file"
done
listed() {  # the DisplayVersion of the product in the installed programs list
  registry_dump | sed -n 's/^\[.*\\CurrentVersion\\Uninstall\\Holvanter\] "DisplayVersion"="\(.*\)"$/\1/p'
}
check "installed programs list" "$VERSION" "$(listed)"
traces=$(registry_traces)
for clsid_root in 'Software\Classes\CLSID' 'Software\Classes\Wow6432Node\CLSID'; do
  grep -qiF "[$clsid_root\{F3B47DE0-66DB-46E4-AFF2-BEEE1139A740}\InprocServer32] @=" <<<"$traces" ||
    failed "no class registration under $clsid_root"
done

# ------------------------------------------------------------ a card through a script host
. "$ROOT/scripts/lib/postgres.sh"
FIXTURE=$LINUX_BUILD/bin/windows_hotel_fixture
issue_with() {  # ARCH CSCRIPT PORT ROOM
  local arch=$1 cscript=$2 port=$3 room=$4 loader=/usr/lib/wine/wine64
  [ "$arch" = x86 ] && loader=/usr/lib/wine/wine
  [ -x "$loader" ] || loader=wine
  { printf '\x5c\x1e\x93\xa7'; head -c 28 /dev/zero | tr '\0' '\377'; } \
    >"$LYCOMM_SIM_DIR_UNIX/port$((port + 1)).card"
  "$loader" "$cscript" //nologo "$(winpath "$ROOT/tests/windows/issue_card.js")" "$port" "$room" \
    "Installer Guest $arch" "$(winpath "$INSTDIR/$arch/holvanter.dll")" 2>&1 |
    tr -d '\r' >"$WORK/js-$arch.log" || true
  check "JScript host ($arch)" \
    "OpenPort=$((port + 1)) WriteCard=0 ReadCard=0 ClosePort=0 FileVersion=$VERSION.0" \
    "$(paste -sd' ' "$WORK/js-$arch.log")"
}
if [ ! -x "$FIXTURE" ] || ! odbcinst -q -d -n "PostgreSQL Unicode" >/dev/null 2>&1 ||
   ! pg_start "$WORK/postgres"; then
  failed "no hotel database for the script host (windows_hotel_fixture, psqlODBC, PostgreSQL)"
else
  PG_STARTED=1
  dsn=$WORK/hotel.dsn
  printf '[ODBC]\nDRIVER=PostgreSQL Unicode\nServername=%s\nPort=%s\nDatabase=postgres\nUID=%s\n' \
    "$PG_HOST" "$PG_PORT" "$PG_DB_USER" >"$dsn"
  "$FIXTURE" setup "$dsn" HOLV1 >"$WORK/fixture.log" 2>&1 || { cat "$WORK/fixture.log"; failed "hotel set-up"; }
  for arch in x86 x64; do
    printf '[Setting]\r\nDataBase=%s\r\n' "$(winpath "$dsn")" >"$INSTDIR/$arch/Tavoper.ini"
  done
  issue_with x86 'C:\windows\syswow64\cscript.exe' 0 0102
  issue_with x64 'C:\windows\system32\cscript.exe' 1 0103
  "$FIXTURE" show "$dsn" >"$WORK/rows" 2>&1 || true
  for expected in "name=Installer Guest x86 building=1 floor=1 rooms=0102" \
                  "name=Installer Guest x64 building=1 floor=1 rooms=0103"; do
    grep -q "$expected" "$WORK/rows" || { cat "$WORK/rows"; failed "CardRecord: $expected"; }
  done
fi

# ------------------------------------------------------------ upgrade
for arch in x86 x64; do
  printf '; the hotel database on the office server\r\n' >>"$INSTDIR/$arch/Tavoper.ini"
  cp "$INSTDIR/$arch/Tavoper.ini" "$WORK/ini-$arch.edited"
done
run_setup "$UPGRADE" /S
check "installed programs list after the upgrade" "$NEWER" "$(listed)"
for arch in x86 x64; do
  cmp -s "$INSTDIR/$arch/Tavoper.ini" "$WORK/ini-$arch.edited" ||
    failed "the upgrade changed $arch\\Tavoper.ini"
  [ -f "$INSTDIR/$arch/lyComm.dll" ] || failed "the upgrade dropped the $arch stand-ins"
done
[ "$PG_STARTED" -eq 1 ] && issue_with x64 'C:\windows\system32\cscript.exe' 1 0104

# ------------------------------------------------------------ uninstall
# The uninstaller copies itself away and returns at once: wineserver -w
# waits for the copy.
run_setup "$INSTDIR/uninstall.exe" /S
left=$(registry_traces)
if [ -n "$left" ]; then
  sed 's/^/    left: /' <<<"$left"
  failed "the uninstall left registry entries of the product"
else
  say "  uninstall: no registry entry of the product left"
fi
for arch in x86 x64; do
  cmp -s "$INSTDIR/$arch/Tavoper.ini" "$WORK/ini-$arch.edited" || failed "the uninstall took $arch\\Tavoper.ini"
done
remaining=$(cd "$INSTDIR" && find . -type f | sort | paste -sd' ')
check "files left in Program Files\\Holvanter" "./x64/Tavoper.ini ./x86/Tavoper.ini" "$remaining"

# ------------------------------------------------------------ 32-bit Windows
# There the installer puts the x86 component alone, registered in the
# system's one registry view.
wineserver -k >/dev/null 2>&1 || true
export WINEPREFIX=$WORK/prefix32 WINEARCH=win32
say "making a 32-bit Wine prefix"
wineboot -i >"$WORK/wineboot32.log" 2>&1 || { cat "$WORK/wineboot32.log"; exit 1; }
wineserver -w
run_setup "$SETUP" /S
INSTDIR=$WINEPREFIX/drive_c/Program\ Files/Holvanter
check "32-bit Windows: components" "./x86/holvanter.dll" \
  "$(cd "$INSTDIR" && find . -name holvanter.dll | sort | paste -sd' ')"
grep -qiF '[Software\Classes\CLSID\{F3B47DE0-66DB-46E4-AFF2-BEEE1139A740}\InprocServer32] @=' \
  <<<"$(registry_traces)" || failed "32-bit Windows: no class registration"
run_setup "$INSTDIR/uninstall.exe" /S
[ -z "$(registry_traces)" ] || failed "32-bit Windows: the uninstall left registry entries"
[ -e "$INSTDIR" ] && failed "32-bit Windows: the uninstall left $INSTDIR"

now=$(date +%s)
say "installers $((made - started)) s, Wine tests $((now - made)) s"
if [ "$fail_count" -ne 0 ]; then
  say "$fail_count checks failed"
  exit 1
fi
say "all passed"
