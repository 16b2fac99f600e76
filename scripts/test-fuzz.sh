#!/usr/bin/env bash
# The fuzzing stage of ./run test: every fuzz target for a few seconds from
# its seed corpus, so that an input that once passed and now fails, or a new
# crash close to the seeds, fails the run. Long runs: ./run fuzz SECONDS.
#
#   scripts/test-fuzz.sh BUILD_FOLDER   (the folder is not used: the targets
#                                        build in the sanitizer stage's folder)
# HOLVANTER_FUZZ_SECONDS  seconds per target (default 5)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib/sanitize_build.sh"
sanitize_configure "$ROOT"
HOLVANTER_FUZZ_BUILD=$SANITIZE_BUILD HOLVANTER_FUZZ_CONFIGURED=1 \
  exec "$ROOT/scripts/fuzz.sh" "${HOLVANTER_FUZZ_SECONDS:-5}"
