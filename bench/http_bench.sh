#!/bin/bash
# HTTP download through the library vs the curl CLI, on the same file from loopback nginx,
# measured in the same run; then the memory of ten concurrent downloads.
#
#   bench/http_bench.sh [SIZE_MIB] [ROUNDS]     (defaults: 1024 MiB, 3 rounds)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
size=${1:-1024}
rounds=${2:-3}

. "$root/bench/bench-lib.sh"
bench_enter "$@"
servers=$TEST_DIR
files=$servers/www/files
head -c $((size * 1024 * 1024)) /dev/urandom > "$files/big.bin"
head -c $((100 * 1024 * 1024)) /dev/urandom > "$files/100m.bin"
url=http://127.0.0.1:$HTTP_PORT/files/big.bin
out=/var/tmp/bench-out.bin

lib_times=() curl_times=() writes=0
for r in $(seq "$rounds"); do
  rm -f "$out"
  line=$("$fhbench" get "$url" "$out")
  s=${line#seconds=}; s=${s%% *}
  writes=${line##*progress_writes=}
  cmp -s "$out" "$files/big.bin" || { echo "library download differs"; exit 1; }
  rm -f "$out"
  # Wall time of the whole curl process, as the library's figure covers its whole task.
  t0=$(date +%s.%N)
  curl -s -o "$out" "$url"
  t1=$(date +%s.%N)
  c=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  cmp -s "$out" "$files/big.bin" || { echo "curl download differs"; exit 1; }
  echo "round $r: library ${s}s (progress writes: $writes), curl ${c}s"
  lib_times+=("$s")
  curl_times+=("$c")
done
rm -f "$out"
best_lib=$(median "${lib_times[@]}")
best_curl=$(median "${curl_times[@]}")
awk -v l="$best_lib" -v c="$best_curl" -v m="$size" 'BEGIN {
  printf "download %d MiB: median library %.3fs (%.0f MB/s), curl %.3fs (%.0f MB/s), throughput ratio library/curl %.3f\n",
    m, l, m*1048576/l/1e6, c, m*1048576/c/1e6, c/l }'

mkdir -p /var/tmp/conc
"$fhbench" concurrent 10 "http://127.0.0.1:$HTTP_PORT/files/100m.bin" /var/tmp/conc
for i in $(seq 0 9); do
  cmp -s "/var/tmp/conc/c$i.bin" "$files/100m.bin" || { echo "concurrent download $i differs"; exit 1; }
done
