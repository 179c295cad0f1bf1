#!/usr/bin/env bash
# Reload speed and memory of the registry stand-in under the engine's configuration reader; as the
# standard-tool reference, grep counting the keys of the same file (one plain scan of its text).
# Targets: a reload of 10,000 products under 1 s; the peak memory of opening any file under 10 times its size.
# Usage: bench/registry_reload.sh [build folder] [products] [MiB of each memory shape]
set -euo pipefail
build=${1:-build}
products=${2:-10000}
shape_mib=${3:-32}
. "$(dirname "$0")/report.sh"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
result=$("$build/bench/registry_reload" "$dir" "$products" "$shape_mib")
echo "$result"
cat "$dir/HKEY_CURRENT_USER.reg" > /dev/null
start=$(date +%s.%N)
keys=$(grep -c '^\[' "$dir/HKEY_CURRENT_USER.reg")
grep_s=$(echo "$(date +%s.%N) - $start" | bc)
echo "grep -c over the same text (reference scan): $grep_s s, $keys keys"

kept_s=$(awk '/^reload of the kept file:/ { print $6 }' <<< "$result")
worst=$(awk '/MiB peak/ { v = $NF; sub("x", "", v); if (v + 0 > max) max = v + 0 }
             END { printf "%.2f", max }' <<< "$result")
row "Registry reload, $products products, kept file" "$(fixed "$kept_s") s" "grep -c scan: $(fixed "$grep_s") s" \
  "$(ratio "$kept_s" "$grep_s")" "< 1 s (absolute)" "$(meets "$kept_s" "<" 1)"
row "Registry, peak memory of opening ${shape_mib} MiB files, worst shape" "${worst}x the file" "none" "$worst" \
  "< 10x" "$(meets "$worst" "<" 10)"
