# Sourced by the scripts that check Tessel against KLayout on the real-file corpus: builds the
# release tessel ($TESSEL) and lists the files to check ($files: the arguments given, or every
# .gds file of ../shared/corpus). $1 is the calling script's name for its messages.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
command -v klayout > /dev/null || { echo "$1: klayout is not installed" >&2; exit 1; }
cmake --preset release > /dev/null && cmake --build --preset release -j2 --target tessel > /dev/null
TESSEL=$ROOT/build/release/tessel
shift
files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <(find "$ROOT/../shared/corpus" -name '*.gds' -type f | sort)
fi
[ ${#files[@]} -gt 0 ] || { echo "no files to check" >&2; exit 1; }
