# The reporting of the release stages, sourced by them after they set STAGE:
#   say TEXT...           one line of the stage's report
#   failed WHAT           one failed check (counted)
#   check LABEL WANT GOT  a check of one value
#   finish                the stage's verdict and exit status
fail_count=0
say() { echo "$STAGE: $*"; }
failed() {
  echo "$STAGE: FAIL $*"
  fail_count=$((fail_count + 1))
}
check() {
  if [ "$2" = "$3" ]; then say "  $1: $3"; else
    printf '    expected: %s\n    got:      %s\n' "$2" "$3"
    failed "$1"
  fi
}
finish() {
  [ "$fail_count" -eq 0 ] || { say "$fail_count checks failed"; exit 1; }
  say "all passed"
}
