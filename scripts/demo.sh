#!/usr/bin/env bash
# A first look at TavoCard: a demo hotel on the embedded SQLite database, a
# simulated encoder, and one guest card and one villa card taken through
# issue, read and check-out.
set -euo pipefail
BUILD=${1:?usage: demo.sh BUILD_FOLDER}
TAVOCARD=$BUILD/bin/tavocard
DEMO=$BUILD/demo
DB=$DEMO/hotel.db
export LYCOMM_SIM_DIR=$DEMO/encoder
rm -rf "$DEMO" && mkdir -p "$LYCOMM_SIM_DIR"

bold=; plain=
if [ -t 1 ]; then bold=$(tput bold 2>/dev/null || true); plain=$(tput sgr0 2>/dev/null || true); fi
note() { printf '   %s\n' "$@"; }
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
# Shows each command as a person would type it, then runs it.
run() {
  local shown=() arg
  for arg in "$@"; do
    if [[ -z "$arg" || "$arg" == *" "* ]]; then shown+=("\"$arg\""); else shown+=("$arg"); fi
  done
  printf '$ tavocard %s\n' "${shown[*]}"
  "$TAVOCARD" "$@" || true
}
tables() {
  echo "-- CardRecord"
  sqlite3 -header -column "$DB" "SELECT InfoNo, CardNo, cardName, Name_F, BuildNo, FloorNo, RoomNo,
         ChkOutMark, Date_F, ChkOutDate, BeginDate, EndDate FROM CardRecord ORDER BY InfoNo"
  echo "-- RoomList (rooms that have seen a card)"
  sqlite3 -header -column "$DB" "SELECT BuildNo, FloorNo, RoomNo, State, CardQTY, SetCard
         FROM RoomList WHERE CardQTY IS NOT NULL OR State <> '' ORDER BY BuildNo, FloorNo, RoomNo"
}

today=$(date +%Y%m%d); checkout_day=$(date -d '+2 days' +%Y%m%d)

step "A demo hotel: building 1 (floors 1-2) and building 2 (floor 3), in $DB"
run hotel init "$DB" --rooms 1:1:0101-0110,1:2:0201-0210,2:3:0301-0310 --force
tables

step "A blank card lies on the encoder (simulated in $LYCOMM_SIM_DIR)"
run encoder insert
run read

step "Issue a guest card: building 1, floor 2, room 0203, until ${checkout_day} 12:00"
run issue --begin "${today}1400" --end "${checkout_day}1200" --building 1 --floor 2 --room 0203 --name "Li Wei"
tables
note "The card is recorded in CardRecord and room 0203 is marked: State 1, one card out."

step "A live card is not written over unasked: the first card is still on the encoder"
run issue --begin "${today}1400" --end "${checkout_day}1200" --building 1 --floor 2 --room 0203 --name "Li Na"

step "A second key for the same room, on a second blank card"
run encoder insert
run issue --begin "${today}1400" --end "${checkout_day}1200" --building 1 --floor 2 --room 0203 --name "Li Na"
tables
note "Room 0203 now has two cards out."

step "Read it back"
run read

step "Check it out: the room is released, the record closed, the card erased"
run checkout
tables
note "The second key's record is closed (ChkOutMark #1) and room 0203 counts one card fewer." \
     "A room whose last card comes back keeps its count: the hotel clears it at the front desk."
run read

step "A clerk who leaves the room empty is refused (room 0000 would check the card out)"
run issue --begin "${today}1400" --end "${checkout_day}1200" --building 1 --floor 2 --room "" --name "Li Wei"

step "Issue a villa card: building 2, floor 3, rooms 0301 and 0302"
run villa --begin "${today}1400" --end "${checkout_day}1200" --building 2 --floor 3 --rooms 03010302 --name "Zhang Min"
tables

step "Read it back (a villa card names its second room first)"
run read

step "Check it out"
run checkout
tables

step "Every card this hotel issued, newest first"
run hotel cards
