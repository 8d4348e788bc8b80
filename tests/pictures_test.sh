#!/usr/bin/env bash
# The picture generator draws the same bytes on every run and exactly the set
# of pictures committed in res/, each at the committed size.
# Usage: pictures_test.sh GENERATOR RES_DIR [GENERATOR...]
set -u
res=$2
generators=("$1" "${@:3}")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tessaly-pictures.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT

for run in a b; do
  for generator in "${generators[@]}"; do
    QT_QPA_PLATFORM=offscreen "$generator" "$scratch/$run" 2>/dev/null || { echo "FAIL: $generator run $run" >&2; exit 1; }
  done
done
failures=0
list() { (cd "$1" && find . -name '*.png' | sort); }
if ! diff -r "$scratch/a" "$scratch/b" >/dev/null; then
  echo "FAIL: two runs differ" >&2; failures=$((failures + 1))
fi
if [ "$(list "$scratch/a")" != "$(list "$res")" ]; then
  echo "FAIL: drawn and committed picture sets differ:" >&2
  diff <(list "$res") <(list "$scratch/a") >&2
  failures=$((failures + 1))
fi
for f in $(list "$res"); do
  [ -f "$scratch/a/$f" ] || continue
  if [ "$(od -An -tu1 -j16 -N8 "$res/$f")" != "$(od -An -tu1 -j16 -N8 "$scratch/a/$f")" ]; then
    echo "FAIL: $f: committed size differs from the drawn one" >&2; failures=$((failures + 1))
  fi
done
echo "$(( $(list "$res" | wc -l) + 2 - failures )) passed, $failures failed"
[ $failures -eq 0 ]
