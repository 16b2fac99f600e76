#!/usr/bin/env bash
# The Linux release stage of ./run test:
#   - `cmake --install` into a scratch prefix; a project built against it
#     with find_package(Holvanter) issues a card, a C program built with
#     pkg-config alone reads it back; the tree still runs once moved
#     elsewhere (run paths relative to the programs);
#   - the Debian packages made by CPack: their dependencies cover every
#     library their programs need, and, unpacked by dpkg into a scratch root
#     (dpkg --root), tavocard shows the version and takes a card round trip
#     with Tavoper.ini in the package's /etc/holvanter; a reinstall and a
#     removal leave Tavoper.ini as the hotel wrote it.
# With HOLVANTER_TEST_CHROOT=1 the packages are also installed with apt into
# a minimal Debian made by debootstrap (needs Debian's package mirror; a few
# minutes), and tavocard runs there.
#
#   scripts/test-install.sh BUILD_FOLDER
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: test-install.sh BUILD_FOLDER}" && pwd)
VERSION=$(sed -n 's/^#define HOLVANTER_VERSION "\(.*\)"$/\1/p' \
  "$BUILD/generated/holvanter/version.h")
started=$(date +%s)

say() { echo "test-install: $*"; }
fail_count=0
failed() {
  echo "test-install: FAIL $*"
  fail_count=$((fail_count + 1))
}
# check LABEL EXPECTED ACTUAL
check() {
  if [ "$2" = "$3" ]; then say "  $1: $3"; else
    echo "    expected: $2"
    echo "    got:      $3"
    failed "$1"
  fi
}

WORK=$(mktemp -d /tmp/holvanter-install.XXXXXX)
cleanup() {
  local status=$?
  [ -d "$WORK/chroot/proc" ] && umount "$WORK/chroot/proc" 2>/dev/null
  rm -rf "$WORK"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
export LYCOMM_SIM_DIR=$WORK/encoder
unset LD_LIBRARY_PATH

# read_card TAVOCARD: the card on port 0 as "<card number> <building> <floor> <rooms>".
read_card() {
  "$1" read --json |
    python3 -c 'import json, sys; c = json.load(sys.stdin)
print(c["card_no"], c["building"], c["floor"], ",".join(c["rooms"]))' || true
}

# Every card round trip here: a hotel with a few rooms, a blank card on port
# 0, one guest card for building 1, floor 1, room 0102.
hotel_rooms=1:1:0101-0105

# ------------------------------------------------------------ cmake --install
say "== cmake --install into a scratch prefix"
PREFIX=$WORK/prefix
cmake --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log"
for program in "$PREFIX"/bin/* "$PREFIX"/lib/lib*.so.*; do
  runpath=$(readelf -d "$program" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p;s/.*(RPATH).*\[\(.*\)\]/\1/p')
  case "$runpath" in
    "" | '$ORIGIN'*) ;;
    *) failed "$(basename "$program") keeps the run path $runpath" ;;
  esac
done
check "installed tavocard --version" "tavocard $VERSION" "$("$PREFIX/bin/tavocard" --version)"

"$PREFIX/bin/tavocard" hotel init "$WORK/hotel.db" --rooms "$hotel_rooms" >/dev/null
[ -f "$PREFIX/lib/Tavoper.ini" ] || failed "hotel init wrote no Tavoper.ini beside the installed component"
"$PREFIX/bin/tavocard" encoder insert >/dev/null

say "== a consumer with find_package(Holvanter)"
if cmake -S "$ROOT/tests/install/consumer" -B "$WORK/consumer" -DCMAKE_PREFIX_PATH="$PREFIX" \
     >"$WORK/consumer.log" 2>&1 &&
   cmake --build "$WORK/consumer" >>"$WORK/consumer.log" 2>&1; then
  issued=$("$WORK/consumer/issue_one_card" 1 1 0102) || issued="(failed)"
  # "<version> <8-figure card number> <building#floor#room>"
  if [[ "$issued" =~ ^"$VERSION "[0-9]{8}" 01#01#0102"$ ]]; then say "  issued and read: $issued"; else
    failed "the find_package consumer printed: $issued"
  fi
else
  cat "$WORK/consumer.log"
  failed "the find_package consumer did not build"
fi

say "== a consumer with pkg-config"
export PKG_CONFIG_PATH=$PREFIX/lib/pkgconfig
check "pkg-config --modversion holvanter" "$VERSION" "$(pkg-config --modversion holvanter)"
# shellcheck disable=SC2046
if cc -o "$WORK/read_card" "$ROOT/tests/install/read_card.c" $(pkg-config --cflags --libs holvanter) \
     -Wl,-rpath,"$(pkg-config --variable=libdir holvanter)"; then
  check "the C consumer reads the card" "${issued#"$VERSION "}" "$("$WORK/read_card" || echo failed)"
else
  failed "the pkg-config consumer did not build"
fi

# The tree found its component through relative run paths: moved, it still runs.
mv "$PREFIX" "$WORK/moved"
card_no=$(cut -d' ' -f2 <<<"$issued")
check "the moved tree reads the card" "$card_no 1 1 0102" "$(read_card "$WORK/moved/bin/tavocard")"

# ------------------------------------------------------------ Debian packages
say "== Debian packages"
rm -rf "$BUILD/packages"
if ! (cd "$BUILD" && cpack -G DEB) >"$WORK/cpack.log" 2>&1; then
  cat "$WORK/cpack.log"
  failed "cpack"
  exit 1
fi
DEB=$(ls "$BUILD"/packages/holvanter_"$VERSION"_*.deb)
STANDINS_DEB=$(ls "$BUILD"/packages/holvanter-stand-ins_"$VERSION"_*.deb)
check "package version" "$VERSION" "$(dpkg-deb -f "$DEB" Version)"
say "  $(basename "$DEB") $(du -k "$DEB" | cut -f1) KiB, $(basename "$STANDINS_DEB") $(du -k "$STANDINS_DEB" | cut -f1) KiB"
check "the settings link" "../../etc/holvanter/Tavoper.ini" \
  "$(dpkg-deb -c "$DEB" | sed -n 's|.* \./usr/lib/Tavoper.ini -> ||p')"
if dpkg-deb -c "$DEB" | grep -E '^-.* \./etc/holvanter/Tavoper.ini$' >/dev/null; then
  failed "the package brings a Tavoper.ini of its own"
fi

# Every library a packaged program needs comes with the packages or with a
# package named in their Depends.
for deb in "$DEB" "$STANDINS_DEB"; do
  dpkg-deb -x "$deb" "$WORK/unpacked"
done
depends="$(dpkg-deb -f "$DEB" Depends), $(dpkg-deb -f "$STANDINS_DEB" Depends)"
for elf in $(find "$WORK/unpacked" -type f \( -name '*.so*' -o -path '*/bin/*' \)); do
  for soname in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -e "$WORK/unpacked/usr/lib/$soname" ] && continue
    provider=$(dpkg -S "*/$soname" 2>/dev/null | head -n1 | cut -d: -f1)
    # "name (>= version)" or a bare "name" in the comma-separated list
    if [ -z "$provider" ] || [[ ", $depends," != *", $provider ("* &&
                                ", $depends," != *", $provider,"* ]]; then
      failed "$(basename "$elf") needs $soname (${provider:-no package}), not in Depends: $depends"
    fi
  done
done

# dpkg into a scratch root: the files land where the package says, and the
# programs there run on this machine's libraries.
DEBROOT=$WORK/debroot
mkdir -p "$DEBROOT/var/lib/dpkg/info" "$DEBROOT/var/lib/dpkg/updates"
touch "$DEBROOT/var/lib/dpkg/status"
debroot_dpkg() {
  dpkg --root="$DEBROOT" --force-depends --force-script-chrootless --log=/dev/null "$@" \
    >>"$WORK/dpkg.log" 2>&1 || { cat "$WORK/dpkg.log"; failed "dpkg $*"; }
}
debroot_dpkg -i "$DEB" "$STANDINS_DEB"
tavocard=$DEBROOT/usr/bin/tavocard
check "packaged tavocard --version" "tavocard $VERSION" "$("$tavocard" --version || true)"
rm -f "$LYCOMM_SIM_DIR"/*
"$tavocard" hotel init "$WORK/deb-hotel.db" --rooms "$hotel_rooms" >/dev/null || failed "hotel init"
ini=$DEBROOT/etc/holvanter/Tavoper.ini
[ -f "$ini" ] || failed "hotel init wrote no /etc/holvanter/Tavoper.ini"
"$tavocard" encoder insert >/dev/null
"$tavocard" issue --begin 202612071400 --end 202612091200 --building 1 --floor 1 --room 0103 \
  --name "Package Guest" >"$WORK/deb-issue.log" || { cat "$WORK/deb-issue.log"; failed "issue"; }
check "packaged tavocard reads the card" "1 1 0103" "$(read_card "$tavocard" | cut -d' ' -f2-)"

# The hotel edits its settings; a reinstall and a removal leave them.
printf '; the hotel database on the office server\n' >>"$ini"
cp "$ini" "$WORK/ini.edited"
debroot_dpkg -i "$DEB" "$STANDINS_DEB"
cmp -s "$ini" "$WORK/ini.edited" || failed "the reinstall changed Tavoper.ini"
debroot_dpkg --purge holvanter-stand-ins holvanter
cmp -s "$ini" "$WORK/ini.edited" || failed "the removal took Tavoper.ini"
[ -e "$DEBROOT/usr/bin/tavocard" ] && failed "the removal left tavocard"
left=$(find "$DEBROOT" -path "$DEBROOT/var" -prune -o \( -type f -o -type l \) -print |
       grep -v "^$ini$" || true)
[ -z "$left" ] || failed "the removal left: $left"
say "  reinstall and removal: Tavoper.ini kept, nothing else left"

# ------------------------------------------------------------ apt in a chroot
if [ "${HOLVANTER_TEST_CHROOT:-0}" = 1 ]; then
  say "== apt install into a minimal Debian (debootstrap)"
  command -v debootstrap >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
      --no-install-recommends debootstrap >/dev/null
  CHROOT=$WORK/chroot
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p;s/^deb \(\[[^]]*\] \)\?\([^ ]*\) .*/\2/p' \
             /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null |
           grep -v security | head -n1)
  chroot_started=$(date +%s)
  if debootstrap --variant=minbase "$codename" "$CHROOT" "$mirror" >"$WORK/debootstrap.log" 2>&1; then
    cp "$DEB" "$STANDINS_DEB" "$CHROOT/tmp/"
    mount -t proc proc "$CHROOT/proc"
    if chroot "$CHROOT" sh -c 'cd /tmp && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
         ./holvanter_*.deb ./holvanter-stand-ins_*.deb' >"$WORK/chroot-apt.log" 2>&1; then
      check "tavocard --version in the chroot" "tavocard $VERSION" \
        "$(chroot "$CHROOT" tavocard --version)"
      chroot "$CHROOT" sh -c "export LYCOMM_SIM_DIR=/tmp/encoder; mkdir -p \$LYCOMM_SIM_DIR &&
        tavocard hotel init /var/tmp/hotel.db --rooms $hotel_rooms >/dev/null &&
        tavocard encoder insert >/dev/null &&
        tavocard issue --begin 202612071400 --end 202612091200 --building 1 --floor 1 \
          --room 0104 --name 'Chroot Guest' >/dev/null && tavocard read" >"$WORK/chroot-card.log" 2>&1 ||
        { cat "$WORK/chroot-card.log"; failed "card round trip in the chroot"; }
      [ -f "$CHROOT/etc/holvanter/Tavoper.ini" ] || failed "no /etc/holvanter/Tavoper.ini in the chroot"
    else
      tail -n 20 "$WORK/chroot-apt.log"
      failed "apt install in the chroot"
    fi
    umount "$CHROOT/proc"
  else
    tail -n 20 "$WORK/debootstrap.log"
    failed "debootstrap"
  fi
  say "  chroot: $(($(date +%s) - chroot_started)) s"
fi

say "$(($(date +%s) - started)) s"
if [ "$fail_count" -ne 0 ]; then
  say "$fail_count checks failed"
  exit 1
fi
say "all passed"
