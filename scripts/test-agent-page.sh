#!/usr/bin/env bash
# The front-desk page in a real browser: a stage of ./run test. Starts
# `tavocard serve` on the stand-in encoder, opens its page in Debian's
# headless Chromium through the DevTools protocol, issues a guest card from
# the page and checks the number it shows against the hotel database.
#
#   scripts/test-agent-page.sh BUILD_FOLDER [SCREENSHOT.png]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: test-agent-page.sh BUILD_FOLDER [SCREENSHOT.png]}" && pwd)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
PACKAGES=(chromium python3 python3-websocket)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "test-agent-page: installing ${missing[*]}"
  as_root apt-get -o DPkg::Lock::Timeout=900 update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
fi
# Debian's own interpreter, which sees Debian's python3-websocket.
exec /usr/bin/python3 "$ROOT/tests/agent/agent_test.py" "$BUILD/bin/tavocard" page "${2:-}"
