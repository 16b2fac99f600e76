#!/usr/bin/env bash
# The layers include only downwards: the store, the card images and the
# platform know nothing of the component or its public face; the front-desk
# hosts reach the core only through the front-desk layer and the public
# headers, and stand on the floor of util/, crypto/ and platform/ (their
# encodings, cryptography, log escape, owner-only state files and locks),
# never on the store, the card images or the component. crypto/ is a leaf:
# it includes nothing of the product but itself. Prints every include that
# crosses a layer and fails on any.
set -uo pipefail
ROOT=${1:?usage: includes.sh SOURCE_FOLDER}
cd "$ROOT" || exit 2

crossings=$(
  # The leaf: nothing of the product's own folders.
  grep -rnE '#include "[^"]+/' crypto | grep -vE '#include "crypto/'
  # From the bottom: util, platform, card, store; the component above them.
  grep -rnE '#include "(platform|crypto|card|store|component|holvanter|hosts|stand_ins)/' util
  grep -rnE '#include "(crypto|card|store|component|holvanter|hosts|stand_ins)/' platform
  grep -rnE '#include "(store|component|holvanter|hosts|stand_ins)/' card
  grep -rnE '#include "(component|holvanter|hosts|stand_ins)/' store
  # Every host but the front-desk layer, which is their one way to the core.
  grep -rnE --exclude-dir=frontdesk '#include "(store|card|component)/' hosts
)
if [ -n "$crossings" ]; then
  echo "includes that cross a layer:"
  echo "$crossings"
  exit 1
fi
echo "layering: no include crosses a layer"
