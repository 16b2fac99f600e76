#!/usr/bin/env bash
# The front-desk page in a real browser: a stage of ./run test. Starts
# `tavocard serve` on the stand-in encoder, opens its page in Debian's
# headless Chromium through the DevTools protocol and works it as a clerk
# would, in Chinese and English, with an axe-core accessibility audit in
# each state. With a folder, it leaves screenshots of both languages there.
#
#   scripts/test-agent-page.sh BUILD_FOLDER [SCREENSHOT_FOLDER]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: test-agent-page.sh BUILD_FOLDER [SCREENSHOT_FOLDER]}" && pwd)
SHOTS=${2:+$(cd "$2" && pwd)}

. "$ROOT/scripts/lib/packages.sh"
# fonts-noto-cjk: Chinese in the screenshots, not boxes.
PACKAGES=(chromium python3 python3-websocket fonts-noto-cjk)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# npm may come with another Node.js package than Debian's.
command -v npm >/dev/null || missing+=(npm)
[ ${#missing[@]} -eq 0 ] || install_packages "${missing[@]}"

# axe-core, the accessibility audit the test injects into the page: one
# pinned release from the npm registry, kept in the build folder.
AXE_VERSION=4.14.1
AXE=$BUILD/page-tools/axe-core-$AXE_VERSION/axe.min.js
if [ ! -f "$AXE" ]; then
  mkdir -p "$BUILD/page-tools"
  (cd "$BUILD/page-tools" && npm pack --silent "axe-core@$AXE_VERSION" >/dev/null &&
     mkdir -p "axe-core-$AXE_VERSION" &&
     tar -xzf "axe-core-$AXE_VERSION.tgz" -C "axe-core-$AXE_VERSION" --strip-components=1 package/axe.min.js)
fi

# Debian's own interpreter, which sees Debian's python3-websocket.
HOLVANTER_AXE=$AXE exec /usr/bin/python3 "$ROOT/tests/agent/agent_test.py" "$BUILD/bin/tavocard" page \
  ${SHOTS:+"$SHOTS"}
