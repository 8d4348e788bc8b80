#!/usr/bin/env bash
# `make pot`: copies the freshly made template into po/ and merges it into
# every translation (new texts come in untranslated, changed ones fuzzy).
#   update_po.sh BUILT_POT PODIR
set -euo pipefail
pot=$1
podir=$2
cp "$pot" "$podir/tessaly.pot"
shopt -s nullglob
for po in "$podir"/*.po; do
  msgmerge --quiet --update --backup=none "$po" "$podir/tessaly.pot"
done
