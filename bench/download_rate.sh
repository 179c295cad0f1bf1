#!/usr/bin/env bash
# The download's own rate limit: the mean rate over 30 s, measured from the progress reports after the
# first second (which the limit leaves free), on one connection and on four. nginx sends 10 MiB/s on each
# connection (20 MiB in its first second) so that the free first second stays well short of the file and
# the download is still running when the window ends.
# Usage: bench/download_rate.sh [build folder] [limit in bytes per second] [seconds]
set -euo pipefail
build=${1:-build}
limit=${2:-4000000}
seconds=${3:-30}
. "$(dirname "$0")/download_common.sh"
. "$(dirname "$0")/report.sh"
mib=$(( (6 * 20 * 1048576 + (seconds + 5) * limit) / 1048576 + 1 ))
start_nginx "" "$mib" 10m

printf '%-40s %14s %10s\n' "limit $limit bytes/s, $seconds s" "mean bytes/s" "off by"
rows=()
for connections in 0 4; do
  line=$("$build/bench/download_fetch" "$url" "$out/rate.bin" "$connections" "$limit" "$seconds" | head -1)
  read -r bytes secs <<< "$line"
  mean=$(echo "scale=0; $bytes / $secs" | bc)
  off=$(echo "scale=2; ($mean - $limit) * 100 / $limit" | bc)
  name=$([ "$connections" = 0 ] && echo "one connection" || echo "$connections connections")
  printf '%-40s %14s %9s%%\n' "CHttpDownload, $name" "$mean" "$off"
  rm -f "$out/rate.bin"
  r=$(ratio "$mean" "$limit")
  within=$(awk -v r="$r" 'BEGIN { print ((r >= 0.97 && r <= 1.03) ? "yes" : "no") }')
  rows+=("$(row "Download rate limit, $name, ${seconds} s" "$mean B/s" "the limit itself: $limit B/s" "$r" \
    "0.97 to 1.03" "$within")")
done
echo "target: within 3% of the limit"
printf '%s\n' "${rows[@]}"
