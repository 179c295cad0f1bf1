#!/usr/bin/env bash
# Digest speed of QEL::MD5 against md5sum on the same large file, in the same run.
# Usage: bench/md5_vs_md5sum.sh [build folder] [size in MiB] [rounds]
# Both digest the file from the page cache, in alternating rounds; each keeps its best round, so a burst of
# load on a shared machine does not decide the ratio.
set -euo pipefail
build=${1:-build}
mib=${2:-1024}
rounds=${3:-3}
. "$(dirname "$0")/report.sh"
file=$(mktemp)
trap 'rm -f "$file"' EXIT
head -c "$((mib * 1024 * 1024))" /dev/urandom > "$file"
cat "$file" > /dev/null  # both runs read from the page cache

seconds() { local s=$(date +%s.%N); "$@" > /dev/null; echo "$(date +%s.%N) - $s" | bc; }
least() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }
ours=
ref=
for ((round = 1; round <= rounds; ++round)); do
  o=$(seconds "$build/bench/md5_digest" "$file")
  r=$(seconds md5sum "$file")
  echo "round $round: md5sum ${r}s, QEL::MD5 ${o}s"
  ours=$(least "$o" "$ours")
  ref=$(least "$r" "$ref")
done
[ "$("$build/bench/md5_digest" "$file" | cut -c1-32)" = "$(md5sum "$file" | cut -c1-32 | tr a-f A-F)" ] \
  || { echo "digests differ"; exit 1; }
echo "md5sum:   ${ref}s for ${mib} MiB (best of $rounds)"
echo "QEL::MD5: ${ours}s for ${mib} MiB (best of $rounds)"
r=$(ratio "$ref" "$ours")
echo "speed ratio (md5sum time / ours, target >= 1.0): $r"
row "MD5 digest, ${mib} MiB file" "$(fixed "$ours") s" "md5sum: $(fixed "$ref") s" "$r" ">= 1.0" "$(meets "$r" ">=" 1.0)"
