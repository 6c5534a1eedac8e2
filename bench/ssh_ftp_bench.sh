#!/bin/bash
# FTP, SFTP and SCP through the library vs the curl CLI (and OpenSSH's own sftp and scp
# clients for the SSH protocols), on the same 1 GiB file from loopback servers, measured
# in the same run. Prints the median seconds of each and the throughput ratios.
#
#   bench/ssh_ftp_bench.sh [SIZE_MIB] [ROUNDS]     (defaults: 1024 MiB, 3 rounds)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
size=${1:-1024}
rounds=${2:-3}

. "$root/bench/bench-lib.sh"
bench_enter "$@"
. "$FH_SSH_FTP_ENV"
home=$FTP_HOME
head -c $((size * 1024 * 1024)) /dev/urandom > "$home/big.bin"
cp "$home/big.bin" /var/tmp/up.bin
out=/var/tmp/bench-out.bin
ssh_opts=(-q -P "$SSH_PORT" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null)
cred=$FTP_USER:$FTP_PASS

check() { cmp -s "$1" "$2" || { echo "content differs: $1" >&2; exit 1; }; }

report() {  # name lib-times -- peer-name peer-times [-- peer2-name peer2-times]
  local name=$1; shift
  local l=() p1n p1=() p2n="" p2=()
  while [ "$1" != -- ]; do l+=("$1"); shift; done; shift
  p1n=$1; shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do p1+=("$1"); shift; done
  if [ $# -gt 0 ]; then shift; p2n=$1; shift; p2=("$@"); fi
  local ml mp1 mp2
  ml=$(median "${l[@]}"); mp1=$(median "${p1[@]}")
  awk -v n="$name" -v l="$ml" -v p="$mp1" -v pn="$p1n" -v m="$size" 'BEGIN {
    printf "%-14s library %.3fs (%.0f MB/s), %s %.3fs, ratio %.3f", n, l, m*1048576/l/1e6, pn, p, p/l }'
  if [ -n "$p2n" ]; then
    mp2=$(median "${p2[@]}")
    awk -v l="$ml" -v p="$mp2" -v pn="$p2n" 'BEGIN { printf "; %s %.3fs, ratio %.3f", pn, p, p/l }'
  fi
  echo
}

ftp_uri=ftp://$cred@127.0.0.1:$FTP_PORT
sftp_uri=sftp://$cred@127.0.0.1:$SSH_PORT$home
scp_uri=scp://$cred@127.0.0.1:$SSH_PORT$home
declare -a fl fc ul uc sl sc so cl cc co
for r in $(seq "$rounds"); do
  rm -f "$out"; fl+=("$(lib get "$ftp_uri/big.bin" "$out")"); check "$out" "$home/big.bin"
  rm -f "$out"; fc+=("$(seconds curl -s -o "$out" -u "$cred" "ftp://127.0.0.1:$FTP_PORT/big.bin")")
  rm -f "$home/incoming/up.bin"; ul+=("$(lib put /var/tmp/up.bin "$ftp_uri/incoming/up.bin")")
  check "$home/incoming/up.bin" /var/tmp/up.bin
  rm -f "$home/incoming/up.bin"
  uc+=("$(seconds curl -s -T /var/tmp/up.bin -u "$cred" "ftp://127.0.0.1:$FTP_PORT/incoming/up.bin")")
  rm -f "$out"; sl+=("$(lib get "$sftp_uri/big.bin" "$out")"); check "$out" "$home/big.bin"
  rm -f "$out"; sc+=("$(seconds curl -s -k -o "$out" -u "$cred" "sftp://127.0.0.1:$SSH_PORT$home/big.bin")")
  rm -f "$out"; so+=("$(seconds sshpass -p "$FTP_PASS" sftp "${ssh_opts[@]}" "$FTP_USER@127.0.0.1:$home/big.bin" "$out")")
  rm -f "$out"; cl+=("$(lib get "$scp_uri/big.bin" "$out")"); check "$out" "$home/big.bin"
  rm -f "$out"; cc+=("$(seconds curl -s -k -o "$out" -u "$cred" "scp://127.0.0.1:$SSH_PORT$home/big.bin")")
  rm -f "$out"; co+=("$(seconds sshpass -p "$FTP_PASS" scp "${ssh_opts[@]}" "$FTP_USER@127.0.0.1:$home/big.bin" "$out")")
  echo "round $r done" >&2
done
echo "== $size MiB over loopback, medians of $rounds rounds (ratio = peer time / library time)"
report "FTP download" "${fl[@]}" -- "curl" "${fc[@]}"
report "FTP upload" "${ul[@]}" -- "curl" "${uc[@]}"
report "SFTP download" "${sl[@]}" -- "curl" "${sc[@]}" -- "OpenSSH-sftp" "${so[@]}"
report "SCP download" "${cl[@]}" -- "curl" "${cc[@]}" -- "OpenSSH-scp" "${co[@]}"
