#!/bin/bash
# The main job: build the library and its command-line tool, start local servers and
# move files through them with fhxfer, then print what happened. Runs in a private
# mount namespace with fresh tmpfs on /var and /mnt; the machine's own are untouched.
#
#   scripts/demo.sh [SIZE_MIB]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
size_mib=${1:-64}

if [ "${FH_PRIVATE_VAR:-}" != 1 ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)" --target fhxfer >/dev/null
  exec "$root/scripts/in-private-var.sh" "$0" "$@"
fi

. "$root/scripts/servers.sh"
fh_servers_up
servers=$TEST_DIR

fhxfer=$build/fhxfer
work=/var/tmp/fh-demo
mkdir -p "$work"
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$servers/www/files/demo.bin"
cp "$servers/www/files/demo.bin" "$work/upload.bin"
bytes=$(stat -c %s "$work/upload.bin")

rows=()
failed=0
run() {  # protocol direction check-file expected-file fhxfer-args...
  local proto=$1 dir=$2 got=$3 want=$4
  shift 4
  local t0 t1 result=ok
  t0=$(date +%s.%N)
  if ! "$fhxfer" "$@"; then result=FAILED; fi
  t1=$(date +%s.%N)
  if [ "$result" = ok ] && ! cmp -s "$got" "$want"; then result="FAILED (content)"; fi
  [ "$result" = ok ] || failed=1
  rows+=("$(awk -v p="$proto" -v d="$dir" -v b="$bytes" -v a="$t0" -v z="$t1" -v r="$result" \
    'BEGIN { s = z - a; printf "%-6s %-9s %12d %8.2f %9.1f  %s", p, d, b, s, b / s / 1e6, r }')")
}

echo "== fhxfer against local servers (HTTP on $HTTP_PORT, HTTPS on $HTTPS_PORT)"
run HTTP download "$work/dl-http.bin" "$servers/www/files/demo.bin" \
  get "http://127.0.0.1:$HTTP_PORT/files/demo.bin" "$work/dl-http.bin"
run HTTPS download "$work/dl-https.bin" "$servers/www/files/demo.bin" \
  download "https://127.0.0.1:$HTTPS_PORT/files/demo.bin" "$work/dl-https.bin" \
  --cacert "$servers/pki/ca.pem"
run HTTP upload "$servers/uploads/demo-http.bin" "$work/upload.bin" \
  put "$work/upload.bin" "http://127.0.0.1:$HTTP_PORT/upload/demo-http.bin"
run HTTPS upload "$servers/uploads/demo-https.bin" "$work/upload.bin" \
  upload "$work/upload.bin" "https://127.0.0.1:$HTTPS_PORT/upload/demo-https.bin" \
  --cacert "$servers/pki/ca.pem"

echo
printf '%-6s %-9s %12s %8s %9s  %s\n' protocol direction bytes seconds MB/s result
printf '%s\n' "${rows[@]}"
left=$(ls /var/uploadDownload*.progress 2>/dev/null | wc -l)
if [ "$left" != 0 ]; then
  echo "progress files left behind: $left"
  failed=1
fi
exit $failed
