#!/usr/bin/env bash
# Digest speed of QEL::MD5 against md5sum on the same large file, in the same run.
# Usage: bench/md5_vs_md5sum.sh [build folder] [size in MiB]
set -euo pipefail
build=${1:-build}
mib=${2:-1024}
. "$(dirname "$0")/report.sh"
file=$(mktemp)
trap 'rm -f "$file"' EXIT
head -c "$((mib * 1024 * 1024))" /dev/urandom > "$file"
cat "$file" > /dev/null  # both runs read from the page cache

seconds() { local s=$(date +%s.%N); "$@" > /dev/null; echo "$(date +%s.%N) - $s" | bc; }
ours=$(seconds "$build/bench/md5_digest" "$file")
ref=$(seconds md5sum "$file")
[ "$("$build/bench/md5_digest" "$file" | cut -c1-32)" = "$(md5sum "$file" | cut -c1-32 | tr a-f A-F)" ] \
  || { echo "digests differ"; exit 1; }
echo "md5sum:   ${ref}s for ${mib} MiB"
echo "QEL::MD5: ${ours}s for ${mib} MiB"
r=$(ratio "$ref" "$ours")
echo "speed ratio (md5sum time / ours, target >= 0.9): $r"
row "MD5 digest, ${mib} MiB file" "$(fixed "$ours") s" "md5sum: $(fixed "$ref") s" "$r" ">= 0.9" "$(meets "$r" ">=" 0.9)"
