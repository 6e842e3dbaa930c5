#!/usr/bin/env bash
# A stream file larger than the machine's memory: -r, -rs and -rw -o /dev/null each read it
# through, with their peak memory, and -r from a cold page cache against cat from a cold page
# cache. The file is generated on local disk and deleted afterwards; the table goes to
# bench/huge-results.md.
#
#   bench/huge.sh                 a 30 GB file in bench/data/huge/ (about 10 minutes)
#
# Options:
#   --size-gb N      size of the file (default 30; choose more than the machine's memory)
#   --dir DIR        where to write it (default bench/data/huge; it needs N GB free)
#   --keep           keep the file afterwards
#   --no-build       use the binaries already in build/release
#
# Dropping the page cache (sync; echo 3 > /proc/sys/vm/drop_caches) needs root; without it the
# cold-cache rows are left out. Peak memory is /usr/bin/time -v's maximum resident set size.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
SIZE_GB=30
DIR="$ROOT/bench/data/huge"
KEEP=0
BUILD=1
while [ $# -gt 0 ]; do
  case "$1" in
    --size-gb) SIZE_GB=$2; shift ;;
    --dir) DIR=$2; shift ;;
    --keep) KEEP=1 ;;
    --no-build) BUILD=0 ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "bench/huge.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
/usr/bin/time -v true > /dev/null 2>&1 || { echo "bench/huge.sh: needs GNU time as /usr/bin/time" >&2; exit 1; }
if [ "$BUILD" = 1 ]; then
  cmake --preset release > /dev/null
  cmake --build --preset release -j2 --target tessel tessel-generate > /dev/null
fi
TESSEL="$ROOT/build/release/tessel"
mkdir -p "$DIR"
FILE="$DIR/chip-${SIZE_GB}gb.gds"
WORK=$(mktemp -d)
cleanup() {
  rm -rf "$WORK"
  [ "$KEEP" = 1 ] || rm -f "$FILE" "$FILE.txt"
}
trap cleanup EXIT
if [ ! -f "$FILE" ] || [ ! -f "$FILE.txt" ]; then
  echo "Generating $FILE..."
  "$ROOT/build/release/bench/tessel-generate" "$FILE" --size-mb $((SIZE_GB * 1000)) --seed 1 > "$FILE.txt"
fi
cat "$FILE.txt"

declare -A SECONDS_OF PEAK_OF
# run KEY COMMAND...: wall time and peak memory of one run, in the working folder.
run() {
  local key=$1
  shift
  echo "Running: $*"
  (cd "$WORK" && /usr/bin/time -v -o "$WORK/$key.time" "$@" > "$WORK/$key.out")
  SECONDS_OF[$key]=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + t[i]; print s }' "$WORK/$key.time")
  PEAK_OF[$key]=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/$key.time")
}
COLD=0
if [ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ]; then COLD=1; fi
dropCaches() { sync; echo 3 > /proc/sys/vm/drop_caches; }

if [ "$COLD" = 1 ]; then
  dropCaches
  run catcold cat "$FILE"
  dropCaches
  run rcold "$TESSEL" -r "$FILE"
fi
run r "$TESSEL" -r "$FILE"
run rs "$TESSEL" -rs "$FILE"
run rw "$TESSEL" -rw "$FILE" -o /dev/null

seconds() { awk -v t="$1" 'BEGIN { printf("%.1f s", t) }'; }
mebibytes() { awk -v k="$1" 'BEGIN { printf("%.0f MiB", k / 1024) }'; }
{
  echo "# Tessel on a file larger than memory"
  echo
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); Tessel $(git -C "$ROOT" describe --always --dirty 2>/dev/null || echo '(no git)')"
  echo "- Machine: $(nproc) cores, $(awk '/MemTotal/ { printf("%.0f GiB", $2 / 1048576) }' /proc/meminfo) memory"
  echo "- File: $(sed 's/ ([0-9.]* s)$//; s|^.*/||' "$FILE.txt")"
  echo
  echo "| Command | Time | Peak memory | Target |"
  echo "|---|---:|---:|---|"
  if [ "$COLD" = 1 ]; then
    ratio=$(awk -v a="${SECONDS_OF[rcold]}" -v b="${SECONDS_OF[catcold]}" 'BEGIN { printf("%.2f", a / b) }')
    echo "| \`cat\`, cold cache | $(seconds "${SECONDS_OF[catcold]}") | $(mebibytes "${PEAK_OF[catcold]}") | |"
    echo "| \`tessel -r\`, cold cache | $(seconds "${SECONDS_OF[rcold]}") | $(mebibytes "${PEAK_OF[rcold]}") | $ratio x cat: <= 1.2 x $(awk -v r="$ratio" 'BEGIN { print r <= 1.2 ? "met" : "missed" }') |"
  fi
  for key in r rs rw; do
    case $key in r) what="tessel -r" ;; rs) what="tessel -rs" ;; rw) what="tessel -rw -o /dev/null" ;; esac
    echo "| \`$what\` | $(seconds "${SECONDS_OF[$key]}") | $(mebibytes "${PEAK_OF[$key]}") | under 1 GiB: $(awk -v k="${PEAK_OF[$key]}" 'BEGIN { print k < 1048576 ? "met" : "missed" }') |"
  done
} > "$ROOT/bench/huge-results.md"
echo
cat "$ROOT/bench/huge-results.md"
