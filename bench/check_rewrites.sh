#!/usr/bin/env bash
# Rewrites every real file of ../shared/corpus (or the files given) with `tessel -rw` and has
# KLayout compare each rewrite with its original: cells, shapes, instances, properties and text
# details. Not a test: a check against an independent reader, run by hand.
#
#   bench/check_rewrites.sh [FILE.gds ...]
#
# Needs klayout (Debian: apt-get install klayout) and the release build of tessel (it builds it).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/corpus_setup.sh" check_rewrites.sh "$@"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
same=0
different=0
unreadable=0
for file in "${files[@]}"; do
  if ! "$TESSEL" -rw "$file" -o "$work/rewrite.gds" > "$work/tessel.log"; then
    echo "tessel failed: $file"
    different=$((different + 1))
    continue
  fi
  verdict=$(klayout -b -r "$ROOT/bench/klayout_compare.py" -rd left="$file" \
    -rd right="$work/rewrite.gds" 2>&1 | tail -1 || true)
  if [ "$verdict" = same ]; then
    same=$((same + 1))
  elif [ "$verdict" = unreadable ]; then
    echo "KLayout cannot read the original: $file"
    unreadable=$((unreadable + 1))
  else
    echo "different: $file"
    different=$((different + 1))
  fi
done
echo "$same of ${#files[@]} files hold the same layout after -rw; $different differ;" \
  "KLayout cannot read $unreadable of the originals."
[ "$different" = 0 ]
