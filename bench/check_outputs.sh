#!/usr/bin/env bash
# Compares every output of this build with that of another build (the previous release, say) on
# the real-file corpus and the generated bench file: the lines of -r, -rt, -rs and -i, the image
# -rs draws, the report -rt writes as JSON and the bytes -rw writes (the run's time in BGNLIB
# and BGNSTR masked). Not a test: run by hand after a change that must not change any output.
#
#   bench/check_outputs.sh BEFORE_BINARY [FILE.gds ...]
#
# Without files it checks every .gds file of ../shared/corpus and the .gds files of bench/data.
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: bench/check_outputs.sh BEFORE_BINARY [FILE.gds ...]" >&2; exit 2; }
BEFORE=$(realpath "$1")
shift
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
cmake --preset release > /dev/null && cmake --build --preset release -j2 --target tessel > /dev/null
AFTER=$ROOT/build/release/tessel
files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <({ find "$ROOT/../shared/corpus" -name '*.gds' -type f
    find "$ROOT/bench/data" -maxdepth 1 -name '*.gds' -type f; } 2> /dev/null | sort)
fi
[ ${#files[@]} -gt 0 ] || { echo "no files to check" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/before" "$work/after"

# Runs one build on one file in its own folder and leaves a digest of every output there.
outputs() {
  local binary=$1 file=$2 dir=$3
  (
    cd "$dir"
    rm -f ./*
    for option in -r -rt -i; do
      "$binary" "$option" "$file" | sha256sum > "lines$option" || true
      echo "status ${PIPESTATUS[0]}" >> "lines$option"
    done
    "$binary" -rt "$file" -o report.json > /dev/null || true
    if "$binary" -rw "$file" -o rewrite.gds > /dev/null; then
      python3 "$ROOT/bench/mask_dates.py" rewrite.gds rewrite.masked
      rm rewrite.gds
    fi
    if command -v dot > /dev/null; then
      "$binary" -rs "$file" > lines-rs || true
    fi
  )
}

same=0
different=0
for file in "${files[@]}"; do
  outputs "$BEFORE" "$file" "$work/before"
  outputs "$AFTER" "$file" "$work/after"
  if diff -r "$work/before" "$work/after" > /dev/null; then
    same=$((same + 1))
  else
    echo "different: $file"
    diff -rq "$work/before" "$work/after" | sed 's/^/  /' || true
    different=$((different + 1))
  fi
done
echo "$same of ${#files[@]} files give the same outputs from both builds; $different differ."
[ "$different" = 0 ]
