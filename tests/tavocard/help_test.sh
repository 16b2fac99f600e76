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
# No folder of the machine that built it: its home, the build and source
# folders, the state folder of whoever ran the build.
BUILD=$(cd "$(dirname "$PAGE")/.." && pwd)
for folder in "$HOME" "$BUILD" "$(cd "$(dirname "$0")/../.." && pwd)" /root/ /home/; do
  ! grep -qF "$folder" "$PAGE" || { echo "FAIL: the manual page names $folder:"; grep -nF "$folder" "$PAGE"; failures=$((failures + 1)); }
done
# What a reader of a manual page looks for, and the variables that move
# the program's files.
for section in ENVIRONMENT FILES EXAMPLES "EXIT STATUS"; do
  grep -qx "\.SH $section" "$PAGE" || { echo "FAIL: the manual page has no $section section"; failures=$((failures + 1)); }
done
for variable in HOME XDG_STATE_HOME LYCOMM_SIM_DIR; do
  sed -n '/^\.SH ENVIRONMENT/,/^\.SH /p' "$PAGE" | grep -qx "\.B $variable" ||
    { echo "FAIL: the ENVIRONMENT section does not explain $variable"; failures=$((failures + 1)); }
done
# man reads it without a warning.
if command -v man >/dev/null; then
  warnings=$(MANWIDTH=80 man --warnings -l "$PAGE" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "FAIL: man warns about the page:"; echo "$warnings"; failures=$((failures + 1)); }
fi
[ "$failures" -eq 0 ] && echo "help and manual page: ${#all[@]} commands checked"
exit $((failures > 0))
