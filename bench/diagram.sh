#!/usr/bin/env bash
# Times `tessel -rs` (graphviz included) on the shapes of hierarchy a diagram has to cope with and
# measures the images: their sides from the JPEG header, the smallest label in pixels from the
# layout `dot` gives the DOT text. Prints a Markdown table.
#
#   bench/diagram.sh                  the 300 MB chip, 50 parents of 300 childless children, a
#                                     chain of a million structures, a one-block chip and the
#                                     largest library of ../shared/corpus
#   bench/diagram.sh --before OTHER   the same with another tessel binary beside this one (an
#                                     older build, say), --before-runs times (default 1); runs of
#                                     either end after --timeout
#   bench/diagram.sh --limits         times `dot` alone on random hierarchies of growing size
#                                     with Tessel's layout, to see where the whole picture stops
#
# Options: --runs N (hyperfine runs, default 3), --timeout S (seconds per run, default 300),
# --no-build, --regenerate. Needs hyperfine, graphviz and python3. Data go to bench/data/.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

RUNS=3
TIMEOUT=300
BUILD=1
REGENERATE=0
BEFORE=""
BEFORE_RUNS=1
LIMITS=0
usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; }
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift ;;
    --timeout) TIMEOUT=$2; shift ;;
    --before) BEFORE=$(realpath "$2"); shift ;;
    --before-runs) BEFORE_RUNS=$2; shift ;;
    --limits) LIMITS=1 ;;
    --no-build) BUILD=0 ;;
    --regenerate) REGENERATE=1 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "bench/diagram.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
for tool in hyperfine dot python3; do
  command -v "$tool" > /dev/null || { echo "bench/diagram.sh: $tool is missing" >&2; exit 1; }
done

DATA="$ROOT/bench/data"
WORK="$DATA/diagram"
LOG="$DATA/diagram.log"
mkdir -p "$WORK"
: > "$LOG"
if [ "$BUILD" = 1 ]; then
  echo "Building the release preset (log: ${LOG#$ROOT/})..." >&2
  { cmake --preset release && cmake --build --preset release -j2 --target tessel tessel-generate; } \
    >> "$LOG" 2>&1 || { tail -30 "$LOG" >&2; exit 1; }
fi
TESSEL="$ROOT/build/release/tessel"
GENERATE="$ROOT/build/release/bench/tessel-generate"
MEASURE="$ROOT/bench/diagram_measure.py"

# A `dot` first on PATH that keeps a copy of the DOT text it is given, then runs graphviz.
REAL_DOT=$(command -v dot)
mkdir -p "$WORK/bin"
cat > "$WORK/bin/dot" << EOF
#!/bin/sh
cp "\$2" "$WORK/last.dot"
exec "$REAL_DOT" "\$@"
EOF
chmod +x "$WORK/bin/dot"

generate() {
  local file=$1
  shift
  if [ "$REGENERATE" = 1 ] || [ ! -f "$file" ]; then
    echo "Generating ${file#$ROOT/}..." >&2
    "$GENERATE" "$file" "$@" >> "$LOG"
  fi
}

if [ "$LIMITS" = 1 ]; then
  # The layout lines Tessel writes, from a small library.
  generate "$DATA/families-2x3.gds" --parents 2 --children 3
  (cd "$WORK" && PATH="$WORK/bin:$PATH" "$TESSEL" -rs "$DATA/families-2x3.gds" >> "$LOG")
  echo "| Boxes | Arrows | \`dot -Tjpg\` time (median of $RUNS) |"
  echo "|---:|---:|---:|"
  for boxes in 250 500 1000 1500 2000 3000; do
    python3 "$MEASURE" hierarchy "$WORK/last.dot" "$boxes" $((2 * boxes)) 8 1 > "$WORK/h.dot"
    hyperfine --style none --runs "$RUNS" --export-json "$WORK/h.json" \
      "dot -Tjpg $WORK/h.dot -o $WORK/h.jpg" >> "$LOG" 2>&1
    median=$(python3 -c "import json,sys; print('%.2f s' % json.load(open(sys.argv[1]))['results'][0]['median'])" "$WORK/h.json")
    echo "| $boxes | $((2 * boxes)) | $median |"
  done
  exit 0
fi

generate "$DATA/chip-300mb-seed1.gds" --size-mb 300 --seed 1
generate "$DATA/families-50x300.gds" --parents 50 --children 300
generate "$DATA/chain-1000000.gds" --chain 1000000
generate "$DATA/chip-1mb-seed1.gds" --size-mb 1 --seed 1
FILES=("$DATA/chip-300mb-seed1.gds" "$DATA/families-50x300.gds" "$DATA/chain-1000000.gds"
       "$DATA/chip-1mb-seed1.gds")
# The corpus library with the most references, when the corpus is there.
CORPUS="$ROOT/../shared/corpus"
if [ -d "$CORPUS" ]; then
  largest=$(for file in "$CORPUS"/*/*.gds; do
    (cd "$WORK" && PATH="$WORK/bin:$PATH" "$TESSEL" -rs "$file" > /dev/null 2>&1) || true
    echo "$(grep -c -- '->' "$WORK/last.dot" 2> /dev/null || echo 0) $file"
  done | sort -n | tail -1 | cut -d' ' -f2-)
  [ -n "$largest" ] && FILES+=("$largest")
fi

# row BINARY RUNS FILE: one table row for one binary on one file.
row() {
  local binary=$1 runs=$2 file=$3 name
  name=$(basename "$file")
  rm -f "$WORK/diagram.jpg" "$WORK/last.dot"
  local command="cd $WORK && PATH=$WORK/bin:\$PATH timeout $TIMEOUT $binary -rs $file > $WORK/out.txt"
  if ! hyperfine --style none --runs "$runs" --export-json "$WORK/run.json" "$command" >> "$LOG" 2>&1 ||
    [ ! -f "$WORK/diagram.jpg" ]; then
    echo "| $name | $(basename "$(dirname "$binary")") | no image within $TIMEOUT s | | | |"
    return
  fi
  local median drawn sides
  median=$(python3 -c "import json,sys; print('%.2f s' % json.load(open(sys.argv[1]))['results'][0]['median'])" "$WORK/run.json")
  drawn=$(grep -E '^Drawing' "$WORK/out.txt" | sed 's/ with dot//' || true)
  read -r width height smallest < <(python3 "$MEASURE" picture "$WORK/last.dot" "$WORK/diagram.jpg")
  echo "| $name | $(basename "$(dirname "$binary")") | $median | $width x $height | $smallest px | ${drawn:-} |"
}

echo "| File | Build | \`tessel -rs\` (median) | Image | Smallest label | Drawn |"
echo "|---|---|---:|---:|---:|---|"
for file in "${FILES[@]}"; do
  if [ -n "$BEFORE" ]; then row "$BEFORE" "$BEFORE_RUNS" "$file"; fi
  row "$TESSEL" "$RUNS" "$file"
done
