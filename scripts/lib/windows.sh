# What the Windows test stages and ./run package share: the Debian packages
# that cross-build and run the Windows component, and one build folder per
# architecture (PREFIX-x86, PREFIX-x64), so that each is built once.
#
# MinGW-w64 with widl, Wine for both architectures, Wine's IDL files (MinGW
# ships the headers of the base interfaces but not their IDL), for the
# 32-bit Wine the i386 ODBC driver manager and PostgreSQL driver, which
# Wine's odbc32 hands its calls to, and NSIS for the installer.
# shellcheck source=scripts/lib/packages.sh
. "$(dirname "${BASH_SOURCE[0]}")/packages.sh"
WINDOWS_PACKAGES=(mingw-w64 mingw-w64-tools wine wine64 wine32:i386 libwine-dev libodbc2:i386
                  odbc-postgresql:i386 nsis)

# windows_ensure_packages: installs what is missing. When the registry cannot
# give the i386 packages (their index is out of sync with the amd64 libraries
# they must match), the rest is installed, WINDOWS_X86_MISSING names what
# could not be had, and windows_runs_x86 says no: both architectures are
# still cross-built, and only the x64 side runs under Wine.
WINDOWS_X86_MISSING=""
windows_ensure_packages() {
  local missing=() p
  mapfile -t missing < <(missing_packages "${WINDOWS_PACKAGES[@]}")
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "windows: installing: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
  fi
  apt_update
  if DEBIAN_FRONTEND=noninteractive as_root apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
       --no-install-recommends "${missing[@]}" >/dev/null 2>"${TMPDIR:-/tmp}/holvanter-apt.err"; then
    return 0
  fi
  local amd64=()
  for p in "${missing[@]}"; do [[ $p == *:i386 ]] || amd64+=("$p"); done
  [ ${#amd64[@]} -eq ${#missing[@]} ] && { cat "${TMPDIR:-/tmp}/holvanter-apt.err" >&2; return 1; }
  [ ${#amd64[@]} -eq 0 ] ||
    DEBIAN_FRONTEND=noninteractive as_root apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
      --no-install-recommends "${amd64[@]}" >/dev/null
  mapfile -t missing < <(missing_packages "${WINDOWS_PACKAGES[@]}")
  WINDOWS_X86_MISSING="${missing[*]}"
}

# windows_runs_x86: whether the 32-bit Wine is there to run the x86 build.
windows_runs_x86() {
  [ -z "$(missing_packages wine32:i386 libodbc2:i386 odbc-postgresql:i386)" ]
}

# windows_x86_not_run STAGE: the one loud line of a stage that could not run x86.
windows_x86_not_run() {
  echo "$1: !!! x86 NOT RUN under Wine: the package registry could not give" \
    "${WINDOWS_X86_MISSING:-wine32:i386} (apt-get update failed or the i386 packages do not" \
    "match the installed amd64 libraries); both architectures were built"
}

# windows_build ROOT ARCH FOLDER: configures and builds one architecture;
# on failure prints the errors and returns 1.
windows_build() {
  local root=$1 arch=$2 build=$3
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DHOLVANTER_BENCH=OFF >/dev/null
  if ! cmake --build "$build" -j "$(nproc)" >"$build/build.log" 2>&1; then
    grep -E 'error|Error' "$build/build.log" | head -n 40
    return 1
  fi
}

# windows_installer ROOT X86_FOLDER X64_FOLDER OUT_DIR [makensis options]:
# makes OUT_DIR/holvanter-setup-VERSION.exe and prints its path.
windows_installer() {
  local root=$1 x86=$2 x64=$3 out=$4
  shift 4
  mkdir -p "$out"
  local log
  log=$(mktemp)
  if ! makensis -V2 -DX86_DIR="$x86" -DX64_DIR="$x64" -DOUT_DIR="$out" "$@" \
       "$root/packaging/windows/holvanter.nsi" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
  ls -t "$out"/holvanter-setup-*.exe | head -n1
}
