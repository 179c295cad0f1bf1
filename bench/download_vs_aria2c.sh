#!/usr/bin/env bash
# Several connections against one, and against `aria2c -x4 -s4`, from a local nginx that sends at most
# 10 MiB/s on each connection (after the first second's allowance of each connection), in the same run.
# Usage: bench/download_vs_aria2c.sh [build folder] [size in MiB]
set -euo pipefail
build=${1:-build}
mib=${2:-300}
. "$(dirname "$0")/download_common.sh"
start_nginx "" "$mib" 10m

one_s=$(wall "$build/bench/download_fetch" "$url" "$out/one.bin" 0)
same "$out/one.bin"
rm -f "$out/one.bin"
four_s=$(wall "$build/bench/download_fetch" "$url" "$out/four.bin" 4)
same "$out/four.bin"
rm -f "$out/four.bin"
aria_s=$(wall aria2c -q -x4 -s4 --min-split-size=1M --file-allocation=none --allow-overwrite=true \
  --auto-file-renaming=false -d "$out" -o aria.bin "$url")
same "$out/aria.bin"

rate() { echo "scale=1; $mib / $1" | bc; }
printf '%-44s %10s %10s\n' "$mib MiB, 10 MiB/s per connection" "seconds" "MiB/s"
printf '%-44s %10.3f %10s\n' "CHttpDownload, one connection" "$one_s" "$(rate "$one_s")"
printf '%-44s %10.3f %10s\n' "CHttpDownload, four connections" "$four_s" "$(rate "$four_s")"
printf '%-44s %10.3f %10s\n' "aria2c -x4 -s4" "$aria_s" "$(rate "$aria_s")"
echo "four / one (target >= 3.6): $(echo "scale=3; $one_s / $four_s" | bc)"
echo "four / aria2c (target >= 1.0): $(echo "scale=3; $aria_s / $four_s" | bc)"
