#!/bin/sh
# The component's shared library exports its two faces and nothing else:
# the C face (tavo_*), the C++ class TavoCard and its exception TavoError.
# Anything more is the core showing through, which a host could come to
# depend on.
#   component_exports.sh LIBHOLVANTER_SO
set -u
exports=$(nm -DC --defined-only "$1" | cut -d' ' -f3-) || exit 1
printf '%s\n' "$exports" | grep -q '^tavo_card_create$' || { echo "no C face in $1"; exit 1; }
printf '%s\n' "$exports" | grep -q '^holvanter::TavoCard::WriteCard(' || { echo "no C++ face in $1"; exit 1; }
extra=$(printf '%s\n' "$exports" | grep -Ev '^(tavo_[a-z_]+|holvanter::TavoCard::.+|(typeinfo|typeinfo name|vtable) for holvanter::TavoError)$')
[ -z "$extra" ] || { echo 'exported beyond the faces:'; printf '%s\n' "$extra" | cut -c1-160; exit 1; }
