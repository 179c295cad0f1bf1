#!/usr/bin/env bash
# Unpacking speed of the archive library against `unzip -q` on the same large package, in the same run.
# Usage: bench/archive_vs_unzip.sh [build folder] [size in MiB]
set -euo pipefail
build=${1:-build}
mib=${2:-512}
. "$(dirname "$0")/report.sh"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/src/bin" "$dir/src/data"
# An installer-like mix: a few large files that compress a little, many small text files.
head -c "$((mib * 1024 * 1024 / 2))" /dev/urandom > "$dir/src/bin/payload.bin"
{ base64 "$dir/src/bin/payload.bin" || true; } | head -c "$((mib * 1024 * 1024 / 2))" > "$dir/src/data/resources.txt"
for i in $(seq 1 2000); do echo "file $i $(date +%N)" > "$dir/src/data/small-$i.txt"; done
(cd "$dir/src" && zip -q -r -6 "$dir/package.zip" .)

seconds() { local s=$(date +%s.%N); "$@" > /dev/null; echo "$(date +%s.%N) - $s" | bc; }
ref=$(seconds unzip -q "$dir/package.zip" -d "$dir/by-unzip")
ours=$(seconds "$build/bench/unpack_package" "$dir/package.zip" "$dir/by-qel")
diff -r "$dir/by-unzip" "$dir/by-qel" > /dev/null || { echo "the unpacked trees differ"; exit 1; }
echo "unzip -q:    ${ref}s for a ${mib} MiB package"
echo "QelCompress: ${ours}s"
r=$(ratio "$ref" "$ours")
echo "speed ratio (unzip time / ours, target >= 0.9): $r"
row "Unpacking a ${mib} MiB zip" "$(fixed "$ours") s" "unzip -q: $(fixed "$ref") s" "$r" ">= 0.9" "$(meets "$r" ">=" 0.9)"
