#!/usr/bin/env bash
# Unpacking speed of the archive library against `unzip -q` on the same large package, in the same run,
# each judged by its median round. Given a second build folder (an older build, say), its unpack takes its
# turns as well, so that a change is measured against the build before it on the same machine and data.
# Usage: bench/archive_vs_unzip.sh [build folder] [size in MiB] [reference build folder]
set -euo pipefail
build=${1:-build}
mib=${2:-512}
reference=${3:-}
. "$(dirname "$0")/report.sh"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/src/bin" "$dir/src/data"
# An installer-like mix: a few large files that compress a little, many small text files.
head -c "$((mib * 1024 * 1024 / 2))" /dev/urandom > "$dir/src/bin/payload.bin"
{ base64 "$dir/src/bin/payload.bin" || true; } | head -c "$((mib * 1024 * 1024 / 2))" > "$dir/src/data/resources.txt"
for i in $(seq 1 2000); do echo "file $i $(date +%N)" > "$dir/src/data/small-$i.txt"; done
(cd "$dir/src" && zip -q -r -6 "$dir/package.zip" .)

seconds() { local s=$(date +%s.%N); "$@" > /dev/null; echo "$(date +%s.%N) - $s" | bc; }
unpack() {
  case $1 in
    unzip) unzip -q "$dir/package.zip" -d "$2" ;;
    ours) "$build/bench/unpack_package" "$dir/package.zip" "$2" ;;
    reference) "$reference/bench/unpack_package" "$dir/package.zip" "$2" ;;
  esac
}
# One run is at the mercy of the other work on the machine and of the file system (creating a file where
# many were just removed costs more): the contenders take turns, in the order A B B A, for several rounds.
contenders=(unzip ours)
[ -n "$reference" ] && contenders+=(reference)
rounds=${QEL_BENCH_ROUNDS:-5}
for round in $(seq "$rounds"); do
  order=("${contenders[@]}")
  if [ $((round % 2)) = 0 ]; then
    order=()
    for ((i = ${#contenders[@]} - 1; i >= 0; i--)); do order+=("${contenders[$i]}"); done
  fi
  for c in "${order[@]}"; do
    rm -rf "$dir/by-$c"
    seconds unpack "$c" "$dir/by-$c" >> "$dir/$c.times"
  done
  if [ "$round" = 1 ]; then
    for c in "${contenders[@]}"; do
      diff -r "$dir/by-unzip" "$dir/by-$c" > /dev/null || { echo "the trees unpacked by unzip and $c differ"; exit 1; }
    done
  fi
done
median() { sort -n "$dir/$1.times" | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'; }
ref=$(median unzip)
ours=$(median ours)
echo "unzip -q:    ${ref}s for a ${mib} MiB package (median of $rounds rounds: $(tr '\n' ' ' < "$dir/unzip.times"))"
echo "QelCompress: ${ours}s (rounds: $(tr '\n' ' ' < "$dir/ours.times"))"
if [ -n "$reference" ]; then
  older=$(median reference)
  echo "$reference: ${older}s (rounds: $(tr '\n' ' ' < "$dir/reference.times"))"
  echo "speed against it (its time / ours): $(ratio "$older" "$ours")"
fi
r=$(ratio "$ref" "$ours")
echo "speed ratio (unzip time / ours, target >= 0.9): $r"
row "Unpacking a ${mib} MiB zip (median of $rounds)" "$(fixed "$ours") s" "unzip -q: $(fixed "$ref") s" "$r" ">= 0.9" \
  "$(meets "$r" ">=" 0.9)"
