#!/usr/bin/env bash
# The HTTP client of one build against another build's (say, the last release), fetching the same file from
# one local nginx in alternating rounds (A B, then B A), each judged by its median round. Not part of
# bench/run, which has no second build; for checking that a change lost no speed.
# Usage: bench/http_vs_build.sh <build folder> <other build folder> [size in MiB] [rounds]
set -euo pipefail
build=${1:?build folder}
other=${2:?other build folder}
mib=${3:-1024}
rounds=${4:-21}
. "$(dirname "$0")/download_common.sh"
. "$(dirname "$0")/report.sh"
start_nginx "" "$mib"

# Appends "<wall seconds> <cpu seconds>" of one fetch to a file.
measure() { { /usr/bin/time -f "%e %U %S" "$1" "$url" > /dev/null; } 2>&1 | tail -1 | awk '{print $1, $2 + $3}' >> "$2"; }
: > "$dir/ours.times"
: > "$dir/other.times"
for i in $(seq "$rounds"); do
  if [ $((i % 2)) = 1 ]; then
    measure "$build/bench/http_fetch" "$dir/ours.times"
    measure "$other/bench/http_fetch" "$dir/other.times"
  else
    measure "$other/bench/http_fetch" "$dir/other.times"
    measure "$build/bench/http_fetch" "$dir/ours.times"
  fi
done
column_median() { sort -n -k"$2","$2" "$1" | awk -v k="$2" '{ v[NR] = $k } END { print v[int((NR + 1) / 2)] }'; }
faster=$(paste "$dir/ours.times" "$dir/other.times" | awk '$1 <= $3 { n++ } END { print n + 0 }')
printf '%-40s %12s %12s\n' "$mib MiB" "median s" "median CPU s"
printf '%-40s %12s %12s\n' "$build" "$(column_median "$dir/ours.times" 1)" "$(column_median "$dir/ours.times" 2)"
printf '%-40s %12s %12s\n' "$other" "$(column_median "$dir/other.times" 1)" "$(column_median "$dir/other.times" 2)"
r=$(ratio "$(column_median "$dir/other.times" 1)" "$(column_median "$dir/ours.times" 1)")
echo "speed ratio ($build / $other, target >= 1.0): $r; $build as fast or faster in $faster of $rounds rounds"
row "HTTP client against $other, ${mib} MiB (median of $rounds)" "$(column_median "$dir/ours.times" 1) s" \
  "$other: $(column_median "$dir/other.times" 1) s" "$r" ">= 1.0" "$(meets "$r" ">=" 1.0)"
