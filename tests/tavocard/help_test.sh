#!/usr/bin/env bash
# tavocard's help on an 80-column terminal, and its manual page: every
# command's help fits, and the page has a section for every command.
set -uo pipefail
TAVOCARD=${1:?usage: help_test.sh TAVOCARD MANPAGE}
PAGE=${2:?usage: help_test.sh TAVOCARD MANPAGE}
failures=0

# The commands as the help lists them, depth first: "serve", "hotel init"...
commands() {
  local prefix=$1
  "$TAVOCARD" $prefix --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z0-9-]*\) .*/\1/p' |
    while read -r sub; do
      echo "${prefix:+$prefix }$sub"
      commands "${prefix:+$prefix }$sub"
    done
}

mapfile -t all < <(commands "")
[ "${#all[@]}" -ge 15 ] || { echo "FAIL: only ${#all[@]} commands found"; failures=$((failures + 1)); }
for command in "" "${all[@]}"; do
  # shellcheck disable=SC2086
  wide=$("$TAVOCARD" $command --help | awk 'length($0) > 80')
  [ -z "$wide" ] || { echo "FAIL: tavocard $command --help is wider than 80:"; echo "$wide"; failures=$((failures + 1)); }
  [ -z "$command" ] || grep -qxF ".SS \"tavocard $command\"" "$PAGE" ||
    { echo "FAIL: the manual page has no section for tavocard $command"; failures=$((failures + 1)); }
done
! grep -q "$HOME" "$PAGE" || { echo "FAIL: the manual page names the build's home folder"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] && echo "help and manual page: ${#all[@]} commands checked"
exit $((failures > 0))
