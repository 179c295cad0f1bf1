#!/usr/bin/env bash
# Reload speed and memory of the registry stand-in under the engine's configuration reader; as the
# standard-tool reference, grep counting the keys of the same file (one plain scan of its text).
# Usage: bench/registry_reload.sh [build folder] [products]
set -euo pipefail
build=${1:-build}
products=${2:-10000}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$build/bench/registry_reload" "$dir" "$products"
cat "$dir/HKEY_CURRENT_USER.reg" > /dev/null
start=$(date +%s.%N)
keys=$(grep -c '^\[' "$dir/HKEY_CURRENT_USER.reg")
echo "grep -c over the same text (reference scan): $(echo "$(date +%s.%N) - $start" | bc) s, $keys keys"
