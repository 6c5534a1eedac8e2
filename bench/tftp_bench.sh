#!/bin/bash
# TFTP through the library (block size 1024 down, 512 up, as the library asks) vs the
# curl CLI with the same block sizes, and the curl CLI with 1468 for reference, on the
# same file from the loopback tftpd-hpa, measured in the same run.
#
#   bench/tftp_bench.sh [SIZE_MIB] [ROUNDS]     (defaults: 64 MiB, 3 rounds)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
size=${1:-64}
rounds=${2:-3}

. "$root/bench/bench-lib.sh"
bench_enter "$@"
. "$FH_TFTP_ENV"
troot=$TEST_DIR/root
head -c $((size * 1024 * 1024)) /dev/urandom > /var/tmp/src.bin
cp /var/tmp/src.bin "$troot/big.bin"
url=tftp://127.0.0.1:$TFTP_PORT


declare -a dl dc dc1468 ul uc uc1468
for r in $(seq "$rounds"); do
  rm -f /var/tmp/o.bin; dl+=("$(lib get "$url/big.bin" /var/tmp/o.bin)")
  cmp -s /var/tmp/o.bin /var/tmp/src.bin || { echo "library download differs"; exit 1; }
  rm -f /var/tmp/o.bin; dc+=("$(seconds curl -s --tftp-blksize 1024 -o /var/tmp/o.bin "$url/big.bin")")
  rm -f /var/tmp/o.bin; dc1468+=("$(seconds curl -s --tftp-blksize 1468 -o /var/tmp/o.bin "$url/big.bin")")
  rm -f "$troot/up.bin"; ul+=("$(lib put /var/tmp/src.bin "$url/up.bin")")
  cmp -s "$troot/up.bin" /var/tmp/src.bin || { echo "library upload differs"; exit 1; }
  uc+=("$(seconds curl -s --tftp-blksize 512 -T /var/tmp/src.bin "$url/up-curl.bin")")
  uc1468+=("$(seconds curl -s --tftp-blksize 1468 -T /var/tmp/src.bin "$url/up-curl.bin")")
  echo "round $r done" >&2
done
echo "== $size MiB, medians of $rounds rounds (ratio = curl time / library time)"
awk -v l="$(median "${dl[@]}")" -v c="$(median "${dc[@]}")" -v c2="$(median "${dc1468[@]}")" -v m="$size" 'BEGIN {
  printf "download (1024)  library %.3fs (%.1f MB/s), curl %.3fs, ratio %.3f; curl with 1468: %.3fs\n",
    l, m*1048576/l/1e6, c, c/l, c2 }'
awk -v l="$(median "${ul[@]}")" -v c="$(median "${uc[@]}")" -v c2="$(median "${uc1468[@]}")" -v m="$size" 'BEGIN {
  printf "upload (512)     library %.3fs (%.1f MB/s), curl %.3fs, ratio %.3f; curl with 1468: %.3fs\n",
    l, m*1048576/l/1e6, c, c/l, c2 }'
