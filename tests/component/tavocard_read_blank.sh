#!/usr/bin/env bash
# A blank card laid on the simulated encoder reads as "no guest or villa
# card" (-700), and tavocard read then ends with a non-zero status.
set -u
tavocard=$1
# The card and the settings folder (no Tavoper.ini: no hotel, no log) are
# the test's own.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LYCOMM_SIM_DIR=$work/encoder HOLVANTER_SETTINGS_FOLDER=$work
unset LYCOMM_SIM_FAIL

fail() { echo "FAIL: $*" >&2; exit 1; }

"$tavocard" encoder insert --port 1 || fail "encoder insert"
shown=$("$tavocard" encoder show --port 1) || fail "encoder show"
grep -q "password  5C 1E 93 A7" <<<"$shown" || fail "password bytes: $shown"
grep -q "bytes     FF FF FF FF FF FF FF FF FF FF FF FF FF FF" <<<"$shown" || fail "blank bytes: $shown"

output=$("$tavocard" read --port 1)
status=$?
echo "$output"
[ "$status" -ne 0 ] || fail "tavocard read exited 0 on a blank card"
grep -q -- "-700: no guest or villa card was read" <<<"$output" || fail "no -700 meaning"

json=$("$tavocard" read --port 1 --json)
[ $? -ne 0 ] || fail "tavocard read --json exited 0 on a blank card"
grep -q '"result": -700' <<<"$json" || fail "json result: $json"

# No card at all on port 0: the encoder cannot read it (-128).
output=$("$tavocard" read --port 0)
[ $? -ne 0 ] || fail "tavocard read exited 0 without a card"
grep -q -- "-128" <<<"$output" || fail "no -128 without a card: $output"

"$tavocard" encoder remove --port 1 || fail "encoder remove"
"$tavocard" encoder show --port 1 && fail "encoder show found a removed card"
echo "ok"
