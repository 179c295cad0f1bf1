#!/usr/bin/env bash
# One connection of the download (as the engine runs it) against `curl -o`, both writing a file on the
# same filesystem, from the same local nginx, in the same run. Best of a few rounds each.
# Usage: bench/download_vs_curl.sh [build folder] [size in MiB] [rounds]
set -euo pipefail
build=${1:-build}
mib=${2:-1024}
rounds=${3:-3}
. "$(dirname "$0")/download_common.sh"
. "$(dirname "$0")/report.sh"
start_nginx "" "$mib"

best() { sort -n | head -1; }
curl_s=$(for _ in $(seq "$rounds"); do rm -f "$out/curl.bin"; wall curl -s -o "$out/curl.bin" "$url"; done | best)
same "$out/curl.bin"
rm -f "$out/curl.bin"
ours_s=$(for _ in $(seq "$rounds"); do rm -f "$out/ours.bin"; wall "$build/bench/download_fetch" "$url" "$out/ours.bin" 0; done | best)
same "$out/ours.bin"

rate() { echo "scale=1; $mib / $1" | bc; }
printf '%-36s %10s %10s\n' "$mib MiB, one connection, to a file" "seconds" "MiB/s"
printf '%-36s %10.3f %10s\n' "curl -o" "$curl_s" "$(rate "$curl_s")"
printf '%-36s %10.3f %10s\n' "CHttpDownload (single connection)" "$ours_s" "$(rate "$ours_s")"
r=$(ratio "$curl_s" "$ours_s")
echo "throughput ratio (ours / curl, target >= 0.8): $r"
row "Download, one connection, ${mib} MiB to a file" "$(rate "$ours_s") MiB/s" "curl -o: $(rate "$curl_s") MiB/s" \
  "$r" ">= 0.8" "$(meets "$r" ">=" 0.8)"
