#!/usr/bin/env bash
# The HTTP client of one build against another build's (say, the last release), from one local nginx in
# alternating rounds (A B, then B A), each judged by its median round: the fetch (synchronous road, as the
# update check reads) and the one-connection download through CHttpDownload to a file (as the engine
# downloads a package). Not part of bench/run, which has no second build; for checking that a change lost
# no speed.
# Usage: bench/http_vs_build.sh <build folder> <other build folder> [size in MiB] [rounds]
set -euo pipefail
build=${1:?build folder}
other=${2:?other build folder}
mib=${3:-1024}
rounds=${4:-21}
. "$(dirname "$0")/download_common.sh"
. "$(dirname "$0")/report.sh"
start_nginx "" "$mib"

# Appends "<wall seconds> <cpu seconds>" of one command to a file.
measure() {
  local times=$1
  shift
  { /usr/bin/time -f "%e %U %S" "$@" > /dev/null; } 2>&1 | tail -1 | awk '{print $1, $2 + $3}' >> "$times"
}
fetch() { measure "$2" "$1/bench/http_fetch" "$url"; }
# Into a fresh file each time, checked against the served one.
download() {
  rm -f "$out/dl.bin" "$out/dl.bin.meta"
  measure "$2" "$1/bench/download_fetch" "$url" "$out/dl.bin" 0
  same "$out/dl.bin"
  rm -f "$out/dl.bin"
}
column_median() { sort -n -k"$2","$2" "$1" | awk -v k="$2" '{ v[NR] = $k } END { print v[int((NR + 1) / 2)] }'; }

# One kind of run in alternating rounds, then its report and its ROW line.
compare() {
  local kind=$1 title=$2
  : > "$dir/ours.times"
  : > "$dir/other.times"
  for i in $(seq "$rounds"); do
    if [ $((i % 2)) = 1 ]; then
      "$kind" "$build" "$dir/ours.times"
      "$kind" "$other" "$dir/other.times"
    else
      "$kind" "$other" "$dir/other.times"
      "$kind" "$build" "$dir/ours.times"
    fi
  done
  local faster r
  faster=$(paste "$dir/ours.times" "$dir/other.times" | awk '$1 <= $3 { n++ } END { print n + 0 }')
  printf '%-40s %12s %12s\n' "$title, $mib MiB" "median s" "median CPU s"
  printf '%-40s %12s %12s\n' "$build" "$(column_median "$dir/ours.times" 1)" "$(column_median "$dir/ours.times" 2)"
  printf '%-40s %12s %12s\n' "$other" "$(column_median "$dir/other.times" 1)" "$(column_median "$dir/other.times" 2)"
  r=$(ratio "$(column_median "$dir/other.times" 1)" "$(column_median "$dir/ours.times" 1)")
  echo "speed ratio ($build / $other, target >= 1.0): $r; $build as fast or faster in $faster of $rounds rounds"
  row "$title against $other, ${mib} MiB (median of $rounds)" "$(column_median "$dir/ours.times" 1) s" \
    "$other: $(column_median "$dir/other.times" 1) s" "$r" ">= 1.0" "$(meets "$r" ">=" 1.0)"
}

compare fetch "HTTP client fetch"
compare download "Download, one connection"
