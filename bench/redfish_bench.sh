#!/bin/bash
# fhredfishd against the library itself: a SimpleUpdate of one image over HTTP (from POST to
# the task monitor's final answer) vs the library's own timing of the same download
# (fhbench), in alternating order, measured in the same run. bench/run.sh measures the
# service's memory.
#
#   bench/redfish_bench.sh [SIZE_MIB] [ROUNDS]     (defaults: 1024 MiB, 5 rounds)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size=${1:-1024}
rounds=${2:-5}

. "$root/bench/bench-lib.sh"
bench_enter "$@"
files=$TEST_DIR/www/files
images=/var/tmp/rf-images
rf_up /var/tmp/rf-bench "$images"
head -c $((size * 1024 * 1024)) /dev/urandom > "$files/big.bin"
url=http://127.0.0.1:$HTTP_PORT/files/big.bin
out=/var/tmp/bench-out.bin

lib_times=() svc_times=()
for r in $(seq "$rounds"); do
  for who in $([ $((r % 2)) = 1 ] && echo "lib svc" || echo "svc lib"); do
    if [ "$who" = lib ]; then
      line=$("$fhbench" get "$url" "$out")
      l=${line#seconds=}; l=${l%% *}
      cmp -s "$out" "$files/big.bin" || { echo "library download differs"; exit 1; }
      rm -f "$out"
    else
      s=$(rf_client update "$url")
      cmp -s "$images/big.bin" "$files/big.bin" || { echo "service image differs"; exit 1; }
      rm -f "$images/big.bin"
    fi
  done
  echo "round $r: library ${l}s, service ${s}s"
  lib_times+=("$l")
  svc_times+=("$s")
done
med_lib=$(median "${lib_times[@]}")
med_svc=$(median "${svc_times[@]}")
awk -v l="$med_lib" -v s="$med_svc" -v m="$size" 'BEGIN {
  printf "SimpleUpdate of %d MiB over HTTP: median service %.3fs (%.0f MB/s), library %.3fs (%.0f MB/s), time ratio service/library %.3f\n",
    m, s, m*1048576/s/1e6, l, m*1048576/l/1e6, s/l }'
