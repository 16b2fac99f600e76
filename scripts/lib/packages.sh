# Debian packages for ./run and its stages, sourced by them:
#
#   as_root COMMAND...        runs COMMAND as root (through sudo when not root)
#   missing_packages NAME...  prints the named packages that are not installed
#   apt_update                refreshes the package lists, at most once in 20
#                             minutes for the same architectures
#   install_packages NAME...  installs the named packages that are missing
#
# A mirror in the middle of a sync serves an index that does not match its
# Release file, and apt-get update then fails for every list although the
# others came in. The update is tried three times, 30 s apart, and then the
# install goes on with the lists there are: a package that cannot be had
# fails its own install, not every later one.

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

APT_UPDATE_STAMP=${TMPDIR:-/tmp}/holvanter-apt-update.$(id -u)
apt_update() {
  local archs try
  archs="$(dpkg --print-architecture) $(dpkg --print-foreign-architectures | xargs)"
  # Each stage of one run installs what it needs: the lists of a few
  # minutes ago serve them all.
  if [ -n "$(find "$APT_UPDATE_STAMP" -mmin -20 2>/dev/null)" ] &&
     [ "$(cat "$APT_UPDATE_STAMP")" = "$archs" ]; then
    return 0
  fi
  for try in 1 2 3; do
    if as_root apt-get -o DPkg::Lock::Timeout=900 update -qq; then break; fi
    if [ "$try" -lt 3 ]; then
      echo "apt-get update failed (try $try of 3); trying again in 30 s" >&2
      sleep 30
    else
      echo "apt-get update failed three times: going on with the package lists there are" >&2
    fi
  done
  echo "$archs" >"$APT_UPDATE_STAMP"
}

install_packages() {
  local missing
  mapfile -t missing < <(missing_packages "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive as_root apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
}
