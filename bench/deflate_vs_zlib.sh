#!/usr/bin/env bash
# The zip writer and its deflater against zlib's deflate at level 8 and against `zip -8 -r`, on the same
# mix of text, programs and already-compressed files taken from this machine, in the same run.
# Targets: compressed size at most 1.005 times zlib level 8's, and at least zlib level 8's speed.
# Usage: bench/deflate_vs_zlib.sh [build folder] [size in MiB]
set -euo pipefail
build=${1:-build}
mib=${2:-128}
. "$(dirname "$0")/report.sh"
dir=$(mktemp -d "$(cd "$build" && pwd)/deflate-bench.XXXXXX")  # below the build, away from /tmp cleaners
trap 'rm -rf "$dir"' EXIT
mix=$dir/mix
mkdir -p "$mix/text" "$mix/programs" "$mix/packed"

# Copies files of the sorted list (size<TAB>path lines) into a folder until the share is filled; files over
# 8 MiB are left out so that no single file dominates.
fill() {
  local dest=$1 budget=$2
  sort -t$'\t' -k2 | awk -F'\t' -v budget="$budget" '
    $1 > 0 && $1 <= 8388608 && total + $1 <= budget { total += $1; print $2 }' |
    awk -v dest="$dest" '{ n = split($0, part, "/"); printf "%s\t%s/%06d-%s\n", $0, dest, NR, part[n] }' |
    while IFS=$'\t' read -r from to; do cp "$from" "$to"; done
}
share=$((mib * 1024 * 1024 / 8))
find /usr/include /usr/share/doc /usr/lib/python3* -type f \
  \( -name '*.h' -o -name '*.hpp' -o -name '*.py' -o -name '*.txt' -o -name '*.html' -o -name 'copyright' \) \
  -printf '%s\t%p\n' 2>/dev/null | fill "$mix/text" $((share * 3))
find /usr/bin /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -printf '%s\t%p\n' 2>/dev/null |
  fill "$mix/programs" $((share * 3))
find /usr/share /usr/lib -type f \( -name '*.gz' -o -name '*.png' -o -name '*.jpg' -o -name '*.xz' \
  -o -name '*.bz2' -o -name '*.zip' -o -name '*.jar' -o -name '*.whl' \) \
  -printf '%s\t%p\n' 2>/dev/null | fill "$mix/packed" $((share * 2))
for part in text programs packed; do
  printf '%-10s %6.1f MiB\n' "$part:" "$(du -sb "$mix/$part" | awk '{ print $1 / 1048576 }')"
done

cat "$mix"/text/* > /dev/null  # the tree in the page cache for both sides
result=$("$build/bench/deflate_vs_zlib" "$mix" "$dir/ours.zip") || status=$?
grep -v '^ROW|' <<< "$result" || true
unzip -tq "$dir/ours.zip" > /dev/null || { echo "unzip -t rejects the archive"; exit 1; }
start=$(date +%s.%N)
(cd "$dir" && zip -q -8 -r "$dir/by-zip.zip" mix)
end=$(date +%s.%N)
zip_s=$(echo "$end - $start" | bc)
zip_bytes=$(stat -c %s "$dir/by-zip.zip")
printf '%-28s %12d bytes %8.3f s\n' "zip -8 -r, whole archive:" "$zip_bytes" "$zip_s"

# The whole archive beside zip's: no target of its own, shown for reference.
read -r ours_bytes ours_s < <(awk '/^QELCompress, whole archive:/ { print $4, $6 }' <<< "$result")
grep '^ROW|' <<< "$result" || true
row "Zip writer, whole archive, speed" "$(fixed "$ours_s") s" "zip -8 -r: $(fixed "$zip_s") s" \
  "$(ratio "$zip_s" "$ours_s")" "none (reference)" "n/a"
row "Zip writer, whole archive, size" "$ours_bytes bytes" "zip -8 -r: $zip_bytes bytes" \
  "$(fixed "$(ratio "$ours_bytes" "$zip_bytes")" 4)" "none (reference)" "n/a"
exit "${status:-0}"
