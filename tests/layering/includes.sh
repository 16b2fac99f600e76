#!/usr/bin/env bash
# The layers include only downwards: the store, the card images and the
# platform know nothing of the component or its public face; the front-desk
# hosts reach the core only through the front-desk layer and the public
# headers, and stand on util/ and platform/ (their log escape and their
# owner-only state files), never on the store, the card images or the
# component. Prints every include that crosses a layer and fails on any.
set -uo pipefail
ROOT=${1:?usage: includes.sh SOURCE_FOLDER}
cd "$ROOT" || exit 2

crossings=$(
  # From the bottom: util, platform, card, store; the component above them.
  grep -rnE '#include "(platform|card|store|component|holvanter|hosts|stand_ins)/' util
  grep -rnE '#include "(card|store|component|holvanter|hosts|stand_ins)/' platform
  grep -rnE '#include "(store|component|holvanter|hosts|stand_ins)/' card
  grep -rnE '#include "(component|holvanter|hosts|stand_ins)/' store
  grep -rnE '#include "(store|card|component)/' hosts/tavocard hosts/agent hosts/fias hosts/desks
)
if [ -n "$crossings" ]; then
  echo "includes that cross a layer:"
  echo "$crossings"
  exit 1
fi
echo "layering: no include crosses a layer"
