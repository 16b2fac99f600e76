#!/usr/bin/env bash
# The Linux release stage of ./run test:
#   - `cmake --install` into a scratch prefix: the command and the agent
#     show the version, a project built with
#     find_package(Holvanter) issues a card, a C program built with
#     pkg-config reads it back, and the tree still runs once moved;
#   - the Debian packages (CPack): their Depends cover every library their
#     programs need; unpacked by dpkg into a scratch root (dpkg --root) they
#     show the version and take a card round trip with the settings in the
#     package's /etc/holvanter; a reinstall and a purge keep Tavoper.ini.
# HOLVANTER_TEST_CHROOT=1 also installs the packages with apt into a minimal
# Debian made by debootstrap (Debian's mirror; about 5 minutes).
#
#   scripts/test-install.sh BUILD_FOLDER
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: test-install.sh BUILD_FOLDER}" && pwd)
STAGE=test-install
. "$ROOT/scripts/lib/checks.sh"
VERSION=$(sed -n 's/^#define HOLVANTER_VERSION "\(.*\)"$/\1/p' "$BUILD/generated/holvanter/version.h")
started=$(date +%s)

WORK=$(mktemp -d /tmp/holvanter-install.XXXXXX)
cleanup() {
  local status=$?
  umount "$WORK/chroot/proc" 2>/dev/null || true
  rm -rf "$WORK"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
export LYCOMM_SIM_DIR=$WORK/encoder
unset LD_LIBRARY_PATH
mkdir -p "$LYCOMM_SIM_DIR"

read_card() {  # TAVOCARD...: "<card number> <building> <floor> <rooms>" of the card on port 0
  "$@" read --json | python3 -c 'import json, sys; c = json.load(sys.stdin)
print(c["card_no"], c["building"], c["floor"], ",".join(c["rooms"]))' || true
}
# round_trip DATABASE ROOM TAVOCARD...: a hotel, a blank card, a guest card in ROOM.
round_trip() {
  local db=$1 room=$2
  shift 2
  "$@" hotel init "$db" --rooms 1:1:0101-0105 >/dev/null && "$@" encoder insert >/dev/null &&
    "$@" issue --begin "$(date -d yesterday +%Y%m%d)1400" --end "$(date -d '+2 days' +%Y%m%d)1200" \
      --building 1 --floor 1 --room "$room" \
      --name "Release Guest" >/dev/null || failed "card round trip with $*"
}

say "== cmake --install into a scratch prefix"
PREFIX=$WORK/prefix
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
for elf in "$PREFIX"/bin/* "$PREFIX"/lib/lib*.so.*; do
  runpath=$(readelf -d "$elf" | sed -n 's/.*(R\(UN\)\?PATH).*\[\(.*\)\]/\2/p')
  [[ -z "$runpath" || "$runpath" == '$ORIGIN'* ]] || failed "$elf keeps the run path $runpath"
done
check "installed tavocard --version" "tavocard $VERSION" "$("$PREFIX/bin/tavocard" --version)"
port=$(free_port)
"$PREFIX/bin/tavocard" serve --listen-port "$port" --token-file "$WORK/token" >"$WORK/agent.log" 2>&1 &
check "installed agent's health answer" "$VERSION" "$(health_version "$port")"
kill $! && wait $! || true
"$PREFIX/bin/tavocard" hotel init "$WORK/hotel.db" --rooms 1:1:0101-0105 >/dev/null
[ -f "$PREFIX/lib/Tavoper.ini" ] || failed "no Tavoper.ini beside the installed component"
"$PREFIX/bin/tavocard" encoder insert >/dev/null

cmake -S "$ROOT/tests/install/consumer" -B "$WORK/consumer" -DCMAKE_PREFIX_PATH="$PREFIX" \
  >"$WORK/consumer.log" 2>&1 && cmake --build "$WORK/consumer" >>"$WORK/consumer.log" 2>&1 ||
  { cat "$WORK/consumer.log"; failed "the find_package consumer did not build"; }
issued=$("$WORK/consumer/issue_one_card" 1 1 0102 || true)  # "<version> <card number> <room>"
[[ "$issued" =~ ^"$VERSION "[0-9]{8}" 01#01#0102"$ ]] || failed "find_package consumer: $issued"
say "  find_package consumer issued and read: $issued"
export PKG_CONFIG_PATH=$PREFIX/lib/pkgconfig
# shellcheck disable=SC2046
cc -o "$WORK/read_card" "$ROOT/tests/install/read_card.c" $(pkg-config --cflags --libs holvanter) \
  -Wl,-rpath,"$(pkg-config --variable=libdir holvanter)" || failed "the pkg-config consumer did not build"
check "pkg-config consumer reads the card" "${issued#"$VERSION "}" "$("$WORK/read_card" || true)"
mv "$PREFIX" "$WORK/moved"
check "the moved tree reads the card" "$(cut -d' ' -f2 <<<"$issued") 1 1 0102" \
  "$(read_card "$WORK/moved/bin/tavocard")"

say "== Debian packages"
rm -rf "$BUILD/packages"
(cd "$BUILD" && cpack -G DEB) >"$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log"; failed cpack; finish; }
DEBS=("$BUILD"/packages/holvanter_"$VERSION"_*.deb "$BUILD"/packages/holvanter-stand-ins_"$VERSION"_*.deb)
check "package version" "$VERSION" "$(dpkg-deb -f "${DEBS[0]}" Version)"
say "  $(cd "$BUILD/packages" && du -k ./*.deb | xargs) (KiB)"
check "the settings link" "../../etc/holvanter/Tavoper.ini" \
  "$(dpkg-deb -c "${DEBS[0]}" | sed -n 's|.* \./usr/lib/Tavoper.ini -> ||p')"
dpkg-deb -c "${DEBS[0]}" | grep -E '^-.* \./etc/' >/dev/null && failed "the package brings settings"
dpkg-deb -c "${DEBS[0]}" | grep -E ' \./usr/lib/systemd/system/holvanter-agent.service$' >/dev/null ||
  failed "the package brings no systemd unit for the agent"

# Each library a packaged file needs comes with the packages or a package in Depends.
depends=$(for deb in "${DEBS[@]}"; do dpkg-deb -x "$deb" "$WORK/unpacked"; dpkg-deb -f "$deb" Depends; done |
          paste -sd,)
for elf in $(find "$WORK/unpacked" -type f \( -name '*.so*' -o -path '*/bin/*' \)); do
  for soname in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -e "$WORK/unpacked/usr/lib/$soname" ] && continue
    provider=$(dpkg -S "*/$soname" 2>/dev/null | head -n1 | cut -d: -f1)
    [[ -n "$provider" && ",$depends," =~ ,\ ?"$provider"[\ ,] ]] ||
      failed "$(basename "$elf") needs $soname (${provider:-no package}); Depends: $depends"
  done
done

DEBROOT=$WORK/debroot
mkdir -p "$DEBROOT/var/lib/dpkg/info" "$DEBROOT/var/lib/dpkg/updates"
touch "$DEBROOT/var/lib/dpkg/status"
debroot_dpkg() {
  dpkg --root="$DEBROOT" --force-depends --force-script-chrootless --log=/dev/null "$@" \
    >>"$WORK/dpkg.log" 2>&1 || { cat "$WORK/dpkg.log"; failed "dpkg $*"; }
}
debroot_dpkg -i "${DEBS[@]}"
tavocard=$DEBROOT/usr/bin/tavocard
check "packaged tavocard --version" "tavocard $VERSION" "$("$tavocard" --version || true)"
round_trip "$WORK/deb-hotel.db" 0103 "$tavocard"
check "packaged tavocard reads the card" "1 1 0103" "$(read_card "$tavocard" | cut -d' ' -f2-)"
# The manual page and the documents for each reader come with the command.
for doc in usr/share/man/man1/tavocard.1 usr/share/doc/holvanter/installing.md \
           usr/share/doc/holvanter/troubleshooting.md usr/share/doc/holvanter/zh-CN/at-the-desk.md \
           usr/share/doc/holvanter/images/page-board.png usr/share/doc/holvanter/images/zh-CN/page-board.png; do
  [ -s "$DEBROOT/$doc" ] || failed "the package lacks /$doc"
done
grep -q '^\.SS "tavocard serve"' "$DEBROOT/usr/share/man/man1/tavocard.1" ||
  failed "the packaged manual page does not describe tavocard serve"
ini=$DEBROOT/etc/holvanter/Tavoper.ini
printf '; the hotel database on the office server\n' >>"$ini"
cp "$ini" "$WORK/ini.edited"
debroot_dpkg -i "${DEBS[@]}"
cmp -s "$ini" "$WORK/ini.edited" || failed "the reinstall changed Tavoper.ini"
debroot_dpkg --purge holvanter-stand-ins holvanter
cmp -s "$ini" "$WORK/ini.edited" || failed "the purge took Tavoper.ini"
check "left after the purge" "$ini" "$(find "$DEBROOT" -path "$DEBROOT/var" -prune -o ! -type d -print)"

if [ "${HOLVANTER_TEST_CHROOT:-0}" = 1 ]; then
  say "== apt install into a minimal Debian (debootstrap)"
  command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive \
    apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends debootstrap >/dev/null
  CHROOT=$WORK/chroot
  mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p;s/^deb \(\[[^]]*\] \)\?\([^ ]*\) .*/\2/p' \
             /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null | grep -v security | head -n1)
  debootstrap --variant=minbase "$(. /etc/os-release && echo "$VERSION_CODENAME")" "$CHROOT" \
    "$mirror" >"$WORK/debootstrap.log" 2>&1 || { tail "$WORK/debootstrap.log"; failed debootstrap; finish; }
  cp "${DEBS[@]}" "$CHROOT/tmp/"
  mount -t proc proc "$CHROOT/proc"
  chroot "$CHROOT" sh -c 'cd /tmp && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ./*.deb' \
    >"$WORK/apt.log" 2>&1 || { tail "$WORK/apt.log"; failed "apt install in the chroot"; }
  check "tavocard --version in the chroot" "tavocard $VERSION" "$(chroot "$CHROOT" tavocard --version)"
  export LYCOMM_SIM_DIR=/tmp
  round_trip /var/tmp/hotel.db 0104 chroot "$CHROOT" tavocard
  check "the chroot's tavocard reads the card" "1 1 0104" \
    "$(read_card chroot "$CHROOT" tavocard | cut -d' ' -f2-)"
  umount "$CHROOT/proc"
fi

say "$(($(date +%s) - started)) s"
finish
