#!/usr/bin/env bash
# Two desk users share one hotel database file. The lock file that the first
# user's issue creates beside it takes the database's permissions and group,
# so the second user's issue gets its turn too (a 0644 lock file of the
# first user once locked the second one out with "Could not lock").
#
#   lock_file_two_users.sh BUILD_FOLDER
#
# Makes the system group holvanter-desk and the user holvanter-desk2 when
# they are missing; needs root for that (exit 77: skipped).
set -u
build=$1
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "skipped: a second desk user needs root"; exit 77; }

group=holvanter-desk user=holvanter-desk2
getent group "$group" >/dev/null || groupadd --system "$group" || fail "groupadd"
id -u "$user" >/dev/null 2>&1 ||
  useradd --system --no-create-home --gid "$group" --shell /usr/sbin/nologin "$user" ||
  fail "useradd"

# The desk's own copy of the command and component, with its own
# Tavoper.ini, in a folder both users can reach (the build folder may lie
# where the second user cannot). The component goes with its soname, the
# name tavocard asks the loader for; else the loader takes the build
# folder's and its Tavoper.ini, which the agent tests rewrite meanwhile.
work=$(mktemp -d /tmp/holvanter-desks.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -p "$work/desk/bin" "$work/desk/lib" "$work/hotel" "$work/encoder"
cp "$build/bin/tavocard" "$work/desk/bin/" && cp -P "$build"/lib/*.so* "$work/desk/lib/" || fail "copy"
chgrp "$group" "$work/hotel" "$work/encoder" && chmod 2770 "$work/hotel" "$work/encoder"
export LD_LIBRARY_PATH=$work/desk/lib LYCOMM_SIM_DIR=$work/encoder
# Both users read the Tavoper.ini beside the copy, whatever the caller names.
unset LYCOMM_SIM_FAIL HOLVANTER_SETTINGS_FOLDER
tavocard=$work/desk/bin/tavocard
issue=(issue --begin "$(date -d yesterday +%Y%m%d)1400" --end "$(date -d '+2 days' +%Y%m%d)1200"
       --building 1 --floor 2 --room 0201 --name Li)

umask 022
"$tavocard" hotel init "$work/hotel/hotel.db" --rooms 1:2:0201-0205 >/dev/null || fail "hotel init"
chmod 0660 "$work/hotel/hotel.db"
"$tavocard" encoder insert >/dev/null && chmod 0660 "$work"/encoder/* || fail "encoder insert"
"$tavocard" "${issue[@]}" >/dev/null || fail "the first user's issue"

lock=$work/hotel/hotel.db.lock
[ "$(stat -c '%a %G' "$lock")" = "660 $group" ] || fail "lock file: $(stat -c '%a %U:%G' "$lock")"

# The second user's card is another blank one: a live card is not written over.
"$tavocard" encoder insert >/dev/null && chmod 0660 "$work"/encoder/* || fail "encoder insert"
runuser -u "$user" -- env LD_LIBRARY_PATH="$LD_LIBRARY_PATH" LYCOMM_SIM_DIR="$LYCOMM_SIM_DIR" \
  "$tavocard" "${issue[@]}" || fail "the second user's issue"
[ "$(sqlite3 "$work/hotel/hotel.db" 'SELECT count(*) FROM CardRecord')" = 2 ] || fail "two cards"
echo "ok"
