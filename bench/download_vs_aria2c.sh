#!/usr/bin/env bash
# Several connections against one, and against `aria2c -x4 -s4`, from a local nginx that sends at most
# 10 MiB/s on each connection (after the first second's allowance of each connection), in the same run.
# Usage: bench/download_vs_aria2c.sh [build folder] [size in MiB]
set -euo pipefail
build=${1:-build}
mib=${2:-300}
. "$(dirname "$0")/download_common.sh"
. "$(dirname "$0")/report.sh"
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
by_one=$(ratio "$one_s" "$four_s")
by_aria=$(ratio "$aria_s" "$four_s")
echo "four / one (target >= 3.6): $by_one"
echo "four / aria2c (target >= 1.0): $by_aria"
row "Download, four connections against one, ${mib} MiB at 10 MiB/s each" "four: $(rate "$four_s") MiB/s" \
  "ours, one connection: $(rate "$one_s") MiB/s" "$by_one" ">= 3.6" "$(meets "$by_one" ">=" 3.6)"
row "Download, four connections, ${mib} MiB at 10 MiB/s each" "$(rate "$four_s") MiB/s" \
  "aria2c -x4 -s4: $(rate "$aria_s") MiB/s" "$by_aria" ">= 1.0" "$(meets "$by_aria" ">=" 1.0)"
