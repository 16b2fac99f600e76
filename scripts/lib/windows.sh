# What the Windows test stages and ./run package share: the Debian packages
# that cross-build and run the Windows component, and one build folder per
# architecture (PREFIX-x86, PREFIX-x64), so that each is built once.
#
# MinGW-w64 with widl, Wine for both architectures, Wine's IDL files (MinGW
# ships the headers of the base interfaces but not their IDL), for the
# 32-bit Wine the i386 ODBC driver manager and PostgreSQL driver, which
# Wine's odbc32 hands its calls to, and NSIS for the installer.
WINDOWS_PACKAGES=(mingw-w64 mingw-w64-tools wine wine64 wine32:i386 libwine-dev libodbc2:i386
                  odbc-postgresql:i386 nsis)

windows_ensure_packages() {
  local missing=() p
  for p in "${WINDOWS_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "windows: installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
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
