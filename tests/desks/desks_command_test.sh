#!/usr/bin/env bash
# tavocard desks pair | list | remove as the clerk runs them: their answers,
# their exit statuses, and a registry file its owner alone may read.
set -uo pipefail
TAVOCARD=${1:?usage: desks_command_test.sh TAVOCARD}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
REG=$WORK/state/desks
failures=0

# expect STATUS PATTERN ARGS...: runs tavocard ARGS, and checks its exit
# status and that its output (both streams) matches PATTERN.
expect() {
  local want=$1 pattern=$2 out status
  shift 2
  out=$("$TAVOCARD" "$@" 2>&1)
  status=$?
  if [ "$status" -ne "$want" ] || ! grep -qE -- "$pattern" <<<"$out"; then
    echo "FAIL: tavocard $* -> $status (want $want, /$pattern/):"
    echo "$out"
    failures=$((failures + 1))
  fi
}

code='[2-9A-HJKMNP-TV-Z]{4}(-[2-9A-HJKMNP-TV-Z]{4}){3}'
expect 0 "--join LINK-DESK:PORT --desk FRONT-1 --pair $code" desks pair FRONT-1 --registry "$REG"
mode=$(stat -c %a "$REG")
[ "$mode" = 600 ] || { echo "FAIL: the registry has mode $mode"; failures=$((failures + 1)); }
expect 0 '^FRONT-1 +not paired +code pending until [0-2][0-9]:[0-5][0-9]$' \
  desks list --registry "$REG"
expect 64 'not a desk name: 1 to 32' desks pair 'front desk' --registry "$REG"
expect 64 'not a desk name' desks remove 'a:b' --registry "$REG"
expect 0 'Removed the desk FRONT-1' desks remove FRONT-1 --registry "$REG"
expect 1 "no desk FRONT-1 in $REG" desks remove FRONT-1 --registry "$REG"
expect 0 'No desk is paired' desks list --registry "$REG"
expect 3 "desks registry $WORK is not a file" desks list --registry "$WORK"

# A damaged line does not keep IT from cutting a desk off: it is set aside.
expect 0 'Pairing code' desks pair BACK --registry "$REG"
printf 'garbage\n' >>"$REG"
expect 3 'line 2: not four fields' desks list --registry "$REG"
expect 0 "1 line of the desks registry $REG that no desk can use set aside in $REG.bad" \
  desks remove BACK --registry "$REG"
grep -qx garbage "$REG.bad" || { echo "FAIL: the bad line is not in $REG.bad"; failures=$((failures + 1)); }
expect 0 'No desk is paired' desks list --registry "$REG"
# A registry others may read is refused with the chmod that mends it; a link
# at its path is never followed.
chmod 644 "$REG"
expect 3 "open to other users \(mode 0644\); make it its owner's alone with chmod 600 $REG" \
  desks list --registry "$REG"
chmod 600 "$REG"
ln -s "$REG" "$WORK/linked"
expect 3 'is a symbolic link; it is not followed' desks pair FRONT-2 --registry "$WORK/linked"
[ "$failures" -eq 0 ] && echo "desks command: all checks passed"
exit $((failures > 0))
