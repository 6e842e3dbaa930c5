#!/usr/bin/env bash
# Times Tessel on large generated stream files against cat, cp and (when installed) KLayout,
# plain and gzip-compressed against gzip and igzip, and writes the table to bench/results.md.
#
#   bench/run.sh                      the full run: a 300 MB file, scale checks with 100 MB and
#                                     1 GB files and a million structures (5 to 10 minutes)
#   bench/run.sh --size-mb 300 --quick   fewer runs per command (a few minutes)
#
# Options:
#   --size-mb N          size of the main file (default 300)
#   --seed N             generator seed (default 1)
#   --quick              3 timed runs per command (1 for KLayout) instead of 10 (5 for KLayout)
#   --runs N             timed runs per Tessel/cat/cp command
#   --klayout-runs N     timed runs per KLayout command
#   --scale-mb A,B       sizes of the two scale files (default 100,1000)
#   --structures N       structures in the chain and flat files (default 1000000)
#   --no-scale           skip the scale checks
#   --no-klayout         do not run KLayout even when it is installed
#   --no-gzip            skip the compressed file (made once with gzip -6 beside the main file)
#   --no-build           use the binaries already in build/release
#   --before BINARY      also time -r and -rw of another build (the previous release, say) on the
#                        main file, side by side, for the before/after ratios, and check that
#                        every output of the two builds is the same (bench/check_outputs.sh, on
#                        the main file and the real-file corpus)
#   --regenerate         write the data files again even when they exist
#   --micro              also build and run the micro-benchmarks (tessel-micro) and add their
#                        table to bench/results.md
#
# Every command runs with its input in the page cache (warm-up runs first); the figures are
# hyperfine's medians and the peak resident memory reported by /usr/bin/time -v. Generated files
# go to bench/data/ (not tracked) and are reused by later runs with the same size and seed.
# igzip (Debian: isal) is timed beside gzip when it is installed; the faster of the two is the
# yardstick for inflating and for compressing at level 1, the level Tessel writes .gz files at.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

SIZE_MB=300
SEED=1
RUNS=10
KLAYOUT_RUNS=5
WARMUP=2
SCALE_SMALL=100
SCALE_LARGE=1000
STRUCTURES=1000000
DO_SCALE=1
USE_KLAYOUT=1
DO_GZIP=1
BUILD=1
REGENERATE=0
MICRO=0
BEFORE=""
RUNS_SET=0
KLAYOUT_RUNS_SET=0
QUICK=0

usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; }

while [ $# -gt 0 ]; do
  case "$1" in
    --size-mb) SIZE_MB=$2; shift ;;
    --seed) SEED=$2; shift ;;
    --quick) QUICK=1 ;;
    --runs) RUNS=$2; RUNS_SET=1; shift ;;
    --klayout-runs) KLAYOUT_RUNS=$2; KLAYOUT_RUNS_SET=1; shift ;;
    --scale-mb) SCALE_SMALL=${2%,*}; SCALE_LARGE=${2#*,}; shift ;;
    --structures) STRUCTURES=$2; shift ;;
    --no-scale) DO_SCALE=0 ;;
    --no-klayout) USE_KLAYOUT=0 ;;
    --no-gzip) DO_GZIP=0 ;;
    --before) BEFORE=$(realpath "$2"); shift ;;
    --no-build) BUILD=0 ;;
    --regenerate) REGENERATE=1 ;;
    --micro) MICRO=1 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "bench/run.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
if [ "$QUICK" = 1 ]; then
  WARMUP=1
  [ "$RUNS_SET" = 1 ] || RUNS=3
  [ "$KLAYOUT_RUNS_SET" = 1 ] || KLAYOUT_RUNS=1
fi

# What the script needs; it installs nothing itself.
missing=()
command -v cmake > /dev/null || missing+=("cmake (Debian: apt-get install cmake)")
command -v hyperfine > /dev/null || missing+=("hyperfine (Debian: apt-get install hyperfine)")
if ! /usr/bin/time -v true > /dev/null 2>&1; then
  missing+=("GNU time as /usr/bin/time (Debian: apt-get install time)")
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "bench/run.sh: missing tools:" >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
fi
KLAYOUT=""
if [ "$USE_KLAYOUT" = 1 ]; then
  if command -v klayout > /dev/null; then
    KLAYOUT=$(command -v klayout)
  else
    echo "klayout is not installed: the KLayout comparisons are skipped (Debian: apt-get install klayout)."
  fi
fi

BUILD_DIR="$ROOT/build/release"
TESSEL="$BUILD_DIR/tessel"
GENERATE="$BUILD_DIR/bench/tessel-generate"
DATA="$ROOT/bench/data"
OUT="$DATA/out"
LOG="$DATA/run.log"
mkdir -p "$DATA" "$OUT"
: > "$LOG"

if [ "$BUILD" = 1 ]; then
  echo "Building the release preset (log: $LOG)..."
  if ! { cmake --preset release && cmake --build --preset release -j2 --target tessel tessel-generate $([ "$MICRO" = 1 ] && echo tessel-micro); } >> "$LOG" 2>&1; then
    tail -30 "$LOG" >&2
    echo "bench/run.sh: the build failed" >&2
    exit 1
  fi
fi
for binary in "$TESSEL" "$GENERATE"; do
  [ -x "$binary" ] || { echo "bench/run.sh: $binary is missing (run without --no-build)" >&2; exit 1; }
done

# generate FILE EXPECTED_BYTES ARGS...: writes FILE unless a file of about that size is there.
generate() {
  local file=$1 expected=$2
  shift 2
  if [ "$REGENERATE" = 0 ] && [ -f "$file" ] && [ -f "$file.txt" ]; then
    local size
    size=$(stat -c %s "$file")
    if [ "$expected" = 0 ] || { [ "$size" -ge $((expected * 95 / 100)) ] && [ "$size" -le $((expected * 105 / 100)) ]; }; then
      echo "Reusing $(cat "$file.txt")"
      return
    fi
  fi
  echo "Generating ${file#$ROOT/}..."
  "$GENERATE" "$file" "$@" > "$file.txt"
  cat "$file.txt"
}

MAIN="$DATA/chip-${SIZE_MB}mb-seed${SEED}.gds"
generate "$MAIN" $((SIZE_MB * 1000000)) --size-mb "$SIZE_MB" --seed "$SEED"
MAIN_GZ="$MAIN.gz"
if [ "$DO_GZIP" = 1 ]; then
  if [ "$REGENERATE" = 1 ] || [ ! -f "$MAIN_GZ" ] || [ "$MAIN_GZ" -ot "$MAIN" ]; then
    echo "Compressing ${MAIN_GZ#$ROOT/} with gzip -6..."
    gzip -6 -c "$MAIN" > "$MAIN_GZ"
  else
    echo "Reusing ${MAIN_GZ#$ROOT/}"
  fi
fi
if [ "$DO_SCALE" = 1 ]; then
  SMALL="$DATA/chip-${SCALE_SMALL}mb-seed${SEED}.gds"
  LARGE="$DATA/chip-${SCALE_LARGE}mb-seed${SEED}.gds"
  CHAIN="$DATA/chain-${STRUCTURES}.gds"
  FLAT="$DATA/flat-${STRUCTURES}.gds"
  generate "$SMALL" $((SCALE_SMALL * 1000000)) --size-mb "$SCALE_SMALL" --seed "$SEED"
  generate "$LARGE" $((SCALE_LARGE * 1000000)) --size-mb "$SCALE_LARGE" --seed "$SEED"
  generate "$CHAIN" 0 --chain "$STRUCTURES"
  generate "$FLAT" 0 --flat "$STRUCTURES"
fi

# measure KEY RUNS COMMAND: the median wall time (hyperfine, after warm-up runs) and the peak
# resident memory (one more run under /usr/bin/time -v), kept in MEDIAN[KEY] and PEAK[KEY].
LOAD=$(cut -d' ' -f1-3 /proc/loadavg)
declare -A MEDIAN FASTEST PEAK COMMAND CPU
measure() {
  local key=$1 runs=$2 command=$3
  local csv="$DATA/hyperfine-$key.csv" timefile="$DATA/time-$key.txt"
  echo "Timing: $command"
  hyperfine --style basic --warmup "$WARMUP" --runs "$runs" --export-csv "$csv" "$command" >> "$LOG" 2>&1 || {
    echo "bench/run.sh: this command failed: $command (see $LOG)" >&2
    exit 1
  }
  # command,mean,stddev,median,user,system,min,max: the median is the fifth field from the end,
  # the fastest run the second.
  MEDIAN[$key]=$(tail -1 "$csv" | awk -F, '{ print $(NF-4) }')
  FASTEST[$key]=$(tail -1 "$csv" | awk -F, '{ print $(NF-1) }')
  CPU[$key]=$(tail -1 "$csv" | awk -F, '{ print $(NF-3) + $(NF-2) }')  # mean user + system
  /usr/bin/time -v -o "$timefile" sh -c "$command" > /dev/null 2>> "$LOG" || true
  PEAK[$key]=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$timefile")
  COMMAND[$key]=$command
}

rel() { echo "${1#$ROOT/}"; }
M=$(rel "$MAIN")
T=$(rel "$TESSEL")

measure cat "$RUNS" "cat $M > /dev/null"
measure cp "$RUNS" "cp $M bench/data/out/cp.gds"
measure r "$RUNS" "$T -r $M > /dev/null"
measure rw "$RUNS" "$T -rw $M -o bench/data/out/tessel.gds > /dev/null"
measure i "$RUNS" "$T -i $M > /dev/null"
measure rt "$RUNS" "$T -rt $M > /dev/null"
if [ -n "$BEFORE" ]; then
  measure rbefore "$RUNS" "$BEFORE -r $M > /dev/null"
  measure rwbefore "$RUNS" "$BEFORE -rw $M -o bench/data/out/before.gds > /dev/null"
  mapfile -t corpus < <(find "$ROOT/../shared/corpus" -name '*.gds' -type f 2> /dev/null | sort)
  SAME_OUTPUTS=$("$ROOT/bench/check_outputs.sh" "$BEFORE" "$(realpath "$M")" "${corpus[@]}" |
    tail -1 || true)
fi
if [ -n "$KLAYOUT" ]; then
  measure klread "$KLAYOUT_RUNS" "klayout -b -r bench/klayout_read.py -rd input=$M > /dev/null"
  measure klrewrite "$KLAYOUT_RUNS" "klayout -b -r bench/klayout_rewrite.py -rd input=$M -rd output=bench/data/out/klayout.gds"
fi
if [ "$DO_GZIP" = 1 ]; then
  MZ=$(rel "$MAIN_GZ")
  measure gunzip "$RUNS" "gzip -dc $MZ > /dev/null"
  measure gzip1 "$RUNS" "gzip -1 -c $M > /dev/null"
  INFLATE=gunzip
  COMPRESS=gzip1
  if command -v igzip > /dev/null; then
    measure igunzip "$RUNS" "igzip -dc $MZ > /dev/null"
    measure igzip1 "$RUNS" "igzip -1 -c $M > /dev/null"
    faster() { awk -v a="${MEDIAN[$1]}" -v b="${MEDIAN[$2]}" -v x="$1" -v y="$2" 'BEGIN { print (a <= b) ? x : y }'; }
    INFLATE=$(faster igunzip gunzip)
    COMPRESS=$(faster igzip1 gzip1)
  fi
  measure rgz "$RUNS" "$T -r $MZ > /dev/null"
  measure igz "$RUNS" "$T -i $MZ > /dev/null"
  measure rwgz "$RUNS" "$T -rw $M -o bench/data/out/tessel.gds.gz > /dev/null"
  if [ -n "$KLAYOUT" ]; then
    measure klreadgz "$KLAYOUT_RUNS" "klayout -b -r bench/klayout_read.py -rd input=$MZ > /dev/null"
  fi
fi
if [ "$DO_SCALE" = 1 ]; then
  SCALE_RUNS=$((RUNS < 5 ? RUNS : 5))
  measure small "$SCALE_RUNS" "$T -r $(rel "$SMALL") > /dev/null"
  measure large "$SCALE_RUNS" "$T -r $(rel "$LARGE") > /dev/null"
  measure chain "$SCALE_RUNS" "$T -r $(rel "$CHAIN") > /dev/null"
  measure flat "$SCALE_RUNS" "$T -r $(rel "$FLAT") > /dev/null"
  measure flatrt "$SCALE_RUNS" "$T -rt $(rel "$FLAT") > /dev/null"
fi
rm -f "$OUT"/*.gds "$OUT"/*.gds.gz

# Table helpers (awk does the arithmetic).
seconds() { awk -v t="$1" 'BEGIN { printf(t < 1 ? "%.3f s" : "%.2f s", t) }'; }
mebibytes() { awk -v k="$1" 'BEGIN { printf("%.1f MiB", k / 1024) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf("%.2f", a / b) }'; }
# check VALUE OP LIMIT: "met" or "missed"
check() { awk -v v="$1" -v l="$3" -v op="$2" 'BEGIN { ok = (op == "<=") ? v <= l : (op == ">=") ? v >= l : v < l; print ok ? "met" : "missed" }'; }
row() { printf '| `%s` | %s | %s | %s | %s | %s |\n' "$1" "$2" "$3" "$4" "$5" "$6"; }

main_row() {
  local key=$1 versus=$2 target=$3
  row "${COMMAND[$key]}" "$(seconds "${MEDIAN[$key]}")" "$(seconds "${FASTEST[$key]}")" \
    "$(mebibytes "${PEAK[$key]}")" "$versus" "$target"
}

# The largest structure's bytes: what -rw holds while it encodes a structure kind by kind.
LARGEST_KB=$(python3 - "$MAIN" << 'PY'
import sys
data = open(sys.argv[1], "rb").read()
at = largest = 0
start = None
while at + 4 <= len(data):
    length = (data[at] << 8) | data[at + 1]
    code = (data[at + 2] << 8) | data[at + 3]
    if length < 4:
        break
    if code == 0x0502:
        start = at
    elif code == 0x0700 and start is not None:
        largest = max(largest, at + 4 - start)
        start = None
    at += length
print(largest // 1024)
PY
)
versus_r="$(ratio "${MEDIAN[r]}" "${MEDIAN[cat]}") x cat"
versus_rw="$(ratio "${MEDIAN[rw]}" "${MEDIAN[cp]}") x cp"
versus_i="$(ratio "${MEDIAN[i]}" "${MEDIAN[cat]}") x cat"
r_cpu=$(ratio "${CPU[r]}" "${CPU[i]}")
versus_r+="; processor time $r_cpu x -i"
target_r="memory <= 64 MiB: $(check "${PEAK[r]}" "<=" 65536); processor time <= -i: $(check "$r_cpu" "<=" 1)"
target_rw="<= 4 x cp: $(check "$(ratio "${MEDIAN[rw]}" "${MEDIAN[cp]}")" "<=" 4); memory <= 64 MiB + the largest structure ($((LARGEST_KB / 1024)) MiB): $(check "${PEAK[rw]}" "<=" $((65536 + LARGEST_KB)))"
if [ -n "$BEFORE" ]; then
  versus_r+="; $(ratio "${MEDIAN[r]}" "${MEDIAN[rbefore]}") x before"
  versus_rw+="; $(ratio "${MEDIAN[rw]}" "${MEDIAN[rwbefore]}") x before"
  target_r+="; <= 0.6 x before: $(check "$(ratio "${MEDIAN[r]}" "${MEDIAN[rbefore]}")" "<=" 0.6)"
fi
TEXT_BYTES=$("$T" -i "$M" | wc -c)
text_rate=$(awk -v b="$TEXT_BYTES" -v t="${MEDIAN[i]}" 'BEGIN { printf("%.2f", b / t / 1e9) }')
versus_i+="; $text_rate GB/s of text"
target_i="<= 4 x cat: $(check "$(ratio "${MEDIAN[i]}" "${MEDIAN[cat]}")" "<=" 4); >= 2.5 GB/s of text: $(check "$text_rate" ">=" 2.5); memory < 16 MB: $(check "${PEAK[i]}" "<" 15625)"
if [ -n "$KLAYOUT" ]; then
  r_kl=$(ratio "${MEDIAN[r]}" "${MEDIAN[klread]}")
  rw_kl=$(ratio "${MEDIAN[rw]}" "${MEDIAN[klrewrite]}")
  versus_r+="; $r_kl x KLayout read; memory $(ratio "${PEAK[r]}" "${PEAK[klread]}") x KLayout"
  versus_rw+="; $rw_kl x KLayout read+write; memory $(ratio "${PEAK[rw]}" "${PEAK[klrewrite]}") x KLayout"
  target_r+="; <= 0.04 x KLayout: $(check "$r_kl" "<=" 0.04)"
  target_rw+="; <= 1/6 x KLayout: $(check "$rw_kl" "<=" 0.1667)"
fi

{
  echo "# Tessel benchmark results"
  echo
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); Tessel $(git -C "$ROOT" describe --always --dirty 2>/dev/null || echo '(no git)')"
  echo "- Machine: $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores, $(awk '/MemTotal/ { printf("%.0f GiB", $2 / 1048576) }' /proc/meminfo) memory, $(uname -sr); load average at the start: $LOAD"
  echo "- Tools: $(hyperfine --version)${KLAYOUT:+, $(klayout -v 2>/dev/null)}"
  echo "- Main file: $(cat "$MAIN.txt" | sed 's/ ([0-9.]* s)$//; s|^.*/||')"
  echo "- Medians of $RUNS timed runs ($KLAYOUT_RUNS for KLayout) after $WARMUP warm-up run(s), the file in the page cache; peak memory is the maximum resident set size of one more run (/usr/bin/time -v)."
  echo "- The figures are only as quiet as the machine: on a shared machine, compare the fastest runs too."
  if [ -n "$BEFORE" ]; then
    echo "- Outputs against the build before (bench/check_outputs.sh): ${SAME_OUTPUTS:-not checked}"
  fi
  echo
  echo "| Command | Median time | Fastest | Peak memory | Ratio (medians) | Target |"
  echo "|---|---:|---:|---:|---|---|"
  main_row cat "" ""
  main_row cp "" ""
  main_row r "$versus_r" "$target_r"
  main_row rw "$versus_rw" "$target_rw"
  main_row i "$versus_i" "$target_i"
  main_row rt "$(ratio "${MEDIAN[rt]}" "${MEDIAN[r]}") x -r" ""
  if [ -n "$BEFORE" ]; then
    main_row rbefore "the build before" ""
    main_row rwbefore "the build before" ""
  fi
  if [ -n "$KLAYOUT" ]; then
    main_row klread "" ""
    main_row klrewrite "" ""
  fi
  if [ "$DO_GZIP" = 1 ]; then
    rgz_inflate=$(ratio "${MEDIAN[rgz]}" "${MEDIAN[$INFLATE]}")
    versus_rgz="$rgz_inflate x \`${COMMAND[$INFLATE]%% *} -dc\`; $(ratio "${MEDIAN[rgz]}" "${MEDIAN[r]}") x the plain file"
    target_rgz="<= 1.5 x the fastest inflate: $(check "$rgz_inflate" "<=" 1.5)"
    if [ -n "$KLAYOUT" ]; then
      rgz_kl=$(ratio "${MEDIAN[rgz]}" "${MEDIAN[klreadgz]}")
      versus_rgz+="; $rgz_kl x KLayout reading it"
      target_rgz+="; <= 0.1 x KLayout: $(check "$rgz_kl" "<=" 0.1)"
    fi
    # The yardstick of -rw to .gz: the plain -rw plus the fastest compressor at level 1.
    rw_plus=$(awk -v a="${MEDIAN[rw]}" -v b="${MEDIAN[$COMPRESS]}" 'BEGIN { print a + b }')
    rwgz_ratio=$(ratio "${MEDIAN[rwgz]}" "$rw_plus")
    echo
    echo "Compressed (the main file compressed with gzip -6: $(awk -v s="$(stat -c %s "$MAIN_GZ")" 'BEGIN { printf("%.1f MB", s / 1e6) }'); medians of $RUNS runs):"
    echo
    echo "| Command | Median time | Fastest | Peak memory | Ratio (medians) | Target |"
    echo "|---|---:|---:|---:|---|---|"
    main_row gunzip "" ""
    if [ -n "${MEDIAN[igunzip]:-}" ]; then main_row igunzip "" ""; fi
    main_row gzip1 "" ""
    if [ -n "${MEDIAN[igzip1]:-}" ]; then main_row igzip1 "" ""; fi
    main_row rgz "$versus_rgz" "$target_rgz"
    main_row igz "$(ratio "${MEDIAN[igz]}" "${MEDIAN[i]}") x the plain file" \
      "memory < 16 MB: $(check "${PEAK[igz]}" "<" 15625)"
    main_row rwgz "$rwgz_ratio x (plain \`-rw\` + \`${COMMAND[$COMPRESS]%% *} -1\`)" \
      "<= 1.5 x: $(check "$rwgz_ratio" "<=" 1.5)"
    if [ -n "$KLAYOUT" ]; then main_row klreadgz "" ""; fi
  fi
  if [ "$DO_SCALE" = 1 ]; then
    scale=$(ratio "${MEDIAN[large]}" "${MEDIAN[small]}")
    size_ratio=$(ratio "$(stat -c %s "$LARGE")" "$(stat -c %s "$SMALL")")
    echo
    echo "Scale (medians of $SCALE_RUNS runs):"
    echo
    echo "| Command | Median time | Fastest | Peak memory | Ratio (medians) | Target |"
    echo "|---|---:|---:|---:|---|---|"
    main_row small "" ""
    main_row large "$scale x the ${SCALE_SMALL} MB time (files $size_ratio x)" \
      "8 to 12 x: $(awk -v s="$scale" 'BEGIN { print (s >= 8 && s <= 12) ? "met" : "missed" }')"
    main_row chain "" "< 2 s: $(check "${MEDIAN[chain]}" "<" 2)"
    main_row flat "" "< 2 s: $(check "${MEDIAN[flat]}" "<" 2)"
    main_row flatrt "$(ratio "${MEDIAN[flatrt]}" "${MEDIAN[flat]}") x -r; memory $(ratio "${PEAK[flatrt]}" "${PEAK[flat]}") x -r's" ""
    echo
    echo "Files larger than the machine's memory: \`bench/huge.sh\`."
  fi
  if [ "$MICRO" = 1 ]; then
    echo
    echo "Micro-benchmarks (\`build/release/bench/tessel-micro\`):"
    echo
    echo '```'
    "$BUILD_DIR/bench/tessel-micro" 2>&1 | sed -n '/^Benchmark/,$p'
    echo '```'
  fi
} > "$ROOT/bench/results.md"

echo
cat "$ROOT/bench/results.md"
echo
echo "Written to bench/results.md (hyperfine output: ${LOG#$ROOT/})."
