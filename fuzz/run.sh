#!/usr/bin/env bash
# Builds the fuzz targets and runs each for SECONDS from its seeds; exits non-zero when a target
# finds a fault. Usage: fuzz/run.sh SECONDS
# Working corpora grow in fuzz/corpus-<target>/ and faults are saved under build/fuzz/artifacts/,
# both outside version control.
set -euo pipefail
seconds=${1:?usage: fuzz/run.sh SECONDS}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

build=$root/build/fuzz
seeds=$build/seeds
artifacts=$build/artifacts
rm -rf "$seeds"
mkdir -p "$seeds" "$artifacts"

# Seeds: the real files of the shared corpus when present, and the two example libraries.
corpus=$root/../shared/corpus
if [ -d "$corpus" ]; then
  find "$corpus" -name '*.gds' -type f -exec cp {} "$seeds"/ \;
fi
examples=$(mktemp -d)
trap 'rm -rf "$examples"' EXIT
(cd "$examples" && "$build/tessel" -g >/dev/null)
cp "$examples"/example1.gds "$examples"/example2.gds "$seeds"/
# The compressed path starts from the same files gzip-compressed, and one of several members.
gzip_seeds=$build/seeds-gzip
rm -rf "$gzip_seeds"
mkdir -p "$gzip_seeds"
for seed in "$seeds"/*.gds; do
  gzip -c "$seed" > "$gzip_seeds/$(basename "$seed").gz"
done
{ gzip -c "$examples"/example1.gds; gzip -c "$examples"/example2.gds; } > "$gzip_seeds/members.gds.gz"

targets=(fuzz_interpreter fuzz_import fuzz_round_trip fuzz_copier fuzz_gzip)
status=0
run_target() {
  local target=$1
  local target_seeds=$seeds
  [ "$target" = fuzz_gzip ] && target_seeds=$gzip_seeds
  mkdir -p "fuzz/corpus-$target"
  "$build/fuzz/$target" "fuzz/corpus-$target" "$target_seeds" \
    -max_total_time="$seconds" -max_len=140000 -timeout=10 -rss_limit_mb=2048 \
    -malloc_limit_mb=512 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
    >"$build/$target.log" 2>&1
}

# Two at a time: the machine has two cores.
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for target in "${targets[@]:i:2}"; do
    run_target "$target" &
    pids+=("$!")
  done
  for j in "${!pids[@]}"; do
    target=${targets[i + j]}
    if wait "${pids[j]}"; then
      echo "$target: clean ($(grep -E '^#[0-9]+.*(DONE|cov:)' "$build/$target.log" | tail -1))"
    else
      echo "$target: FAILED, see $build/$target.log and $artifacts/"
      tail -40 "$build/$target.log"
      status=1
    fi
  done
done
exit $status
