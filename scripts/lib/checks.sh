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
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# health_version PORT: the version in the front-desk agent's health answer on
# PORT, once it answers (within 20 s); empty when it never does.
health_version() {
  python3 - "$1" <<'PY'
import json, sys, time, urllib.request
for _ in range(80):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/v1/health", timeout=2) as r:
            print(json.load(r)["version"])
            break
    except OSError:
        time.sleep(0.25)
PY
}
