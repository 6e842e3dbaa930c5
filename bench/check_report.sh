#!/usr/bin/env bash
# Checks the structure report against KLayout: for every real file of ../shared/corpus (or the
# files given), `tessel -rt FILE -o report.json` and KLayout's own reading of FILE must agree on
# each cell's shape and instance counts, placements and box, and on each layer's shape count and
# box (bench/klayout_report.py says how KLayout's boxes are built). Not a test: a check against an
# independent reader, run by hand.
#
#   bench/check_report.sh [FILE.gds ...]
#
# Needs klayout (Debian: apt-get install klayout) and the release build of tessel (it builds it).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/corpus_setup.sh" check_report.sh "$@"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
agree=0
differ=0
unreadable=0
for file in "${files[@]}"; do
  if ! "$TESSEL" -rt "$file" -o "$work/report.json" > "$work/tessel.log"; then
    echo "tessel failed: $file"
    differ=$((differ + 1))
    continue
  fi
  klayout -b -r "$ROOT/bench/klayout_report.py" -rd input="$file" \
    -rd report="$work/report.json" > "$work/klayout.log" 2>&1 || true
  verdict=$(tail -1 "$work/klayout.log")
  if [ "$verdict" = agree ]; then
    agree=$((agree + 1))
  elif [ "$verdict" = unreadable ]; then
    echo "KLayout cannot read: $file"
    unreadable=$((unreadable + 1))
  else
    echo "differ: $file"
    sed 's/^/    /' "$work/klayout.log" | head -8
    differ=$((differ + 1))
  fi
done
echo "The report agrees with KLayout on $agree of ${#files[@]} files; $differ differ;" \
  "KLayout cannot read $unreadable."
[ "$differ" = 0 ]
