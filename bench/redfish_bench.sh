#!/bin/bash
# fhredfishd against the library itself: a SimpleUpdate of one image over HTTP (from POST to
# the task monitor's final answer) vs the library's own timing of the same download
# (fhbench), measured in the same run; then the service's resident memory idle and with ten
# running tasks.
#
#   bench/redfish_bench.sh [SIZE_MIB] [ROUNDS]     (defaults: 1024 MiB, 5 rounds)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-rf-bench
size=${1:-1024}
rounds=${2:-5}

if [ "${FH_PRIVATE_VAR:-}" != 1 ]; then
  "$root/scripts/install-deps.sh"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFH_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target fhredfishd >/dev/null
fi
. "$root/bench/bench-lib.sh"
bench_enter "$@"
files=$TEST_DIR/www/files
images=/var/tmp/rf-images
work=/var/tmp/rf-bench
mkdir -p "$work" "$images"
head -c $((size * 1024 * 1024)) /dev/urandom > "$files/big.bin"
url=http://127.0.0.1:$HTTP_PORT/files/big.bin
out=/var/tmp/bench-out.bin

# The service, on a free loopback port, with its account in a mode-600 file.
export RF_USER=bench RF_PASSWORD
RF_PASSWORD=$(head -c 12 /dev/urandom | base64 | tr -d '/+=')
(umask 077 && printf 'user = %s\npassword = %s\nimage-dir = %s\n' "$RF_USER" "$RF_PASSWORD" \
  "$images" > "$work/fhredfishd.conf")
"$build/tools/fhredfishd/fhredfishd" --config "$work/fhredfishd.conf" --port 0 \
  --log "$work/service.log" 2>>"$work/service.log" &
pid=$!
# Stop the service first, then the servers as their own exit trap does.
eval "set -- $(trap -p EXIT)"
trap "kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true; ${3:-}" EXIT
for _ in $(seq 100); do
  grep -q 'listening on' "$work/service.log" 2>/dev/null && break
  sleep 0.05
done
export RF_URL
RF_URL=$(sed -n 's/.*listening on \([^,]*\),.*/\1/p' "$work/service.log" | head -1)
[ -n "$RF_URL" ] || { echo "service did not start"; cat "$work/service.log"; exit 1; }

# client update URI: one SimpleUpdate, polling its task monitor every 5 ms; prints the
# seconds from POST to the final answer and deletes the task.
client() {
  /usr/bin/python3 - "$@" <<'EOF'
import os, sys, time, requests
s = requests.Session()
s.auth = (os.environ["RF_USER"], os.environ["RF_PASSWORD"])
s.trust_env = False
base = os.environ["RF_URL"]
cmd = sys.argv[1]
if cmd == "update":
    t0 = time.monotonic()
    r = s.post(base + "/redfish/v1/UpdateService/Actions/UpdateService.SimpleUpdate",
               json={"ImageURI": sys.argv[2]})
    if r.status_code != 202:
        sys.exit(f"update refused: {r.status_code} {r.text}")
    monitor = r.headers["Location"]
    while True:
        m = s.get(base + monitor)
        if m.status_code != 202:
            break
        time.sleep(0.005)
    secs = time.monotonic() - t0
    if m.status_code != 200 or m.json()["TaskState"] != "Completed":
        sys.exit(f"update failed: {m.status_code} {m.text}")
    s.delete(base + m.json()["@odata.id"])
    print(f"{secs:.3f}")
elif cmd == "start":  # start the URIs, wait until each has moved data
    tasks = []
    for uri in sys.argv[2:]:
        r = s.post(base + "/redfish/v1/UpdateService/Actions/UpdateService.SimpleUpdate",
                   json={"ImageURI": uri})
        if r.status_code != 202:
            sys.exit(f"update refused: {r.status_code} {r.text}")
        tasks.append(r.json()["@odata.id"])
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        states = [s.get(base + t).json() for t in tasks]
        if all(t["TaskState"] == "Running" and t["PercentComplete"] > 0 for t in states):
            print(len(states))
            sys.exit(0)
        time.sleep(0.2)
    sys.exit("tasks did not all start moving data")
elif cmd == "delete-all":
    for m in s.get(base + "/redfish/v1/TaskService/Tasks").json()["Members"]:
        s.delete(base + m["@odata.id"])
else:  # touch: one authenticated read
    s.get(base + "/redfish/v1/TaskService/Tasks").raise_for_status()
EOF
}
rss() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$pid/status"; }

client touch
idle_rss=$(rss VmRSS)

lib_times=() svc_times=()
for r in $(seq "$rounds"); do
  rm -f "$out" "$images/big.bin"
  line=$("$fhbench" get "$url" "$out")
  l=${line#seconds=}; l=${l%% *}
  cmp -s "$out" "$files/big.bin" || { echo "library download differs"; exit 1; }
  rm -f "$out"
  s=$(client update "$url")
  cmp -s "$images/big.bin" "$files/big.bin" || { echo "service image differs"; exit 1; }
  rm -f "$images/big.bin"
  echo "round $r: library ${l}s, service ${s}s"
  lib_times+=("$l")
  svc_times+=("$s")
done
after_rss=$(rss VmRSS)
med_lib=$(median "${lib_times[@]}")
med_svc=$(median "${svc_times[@]}")
awk -v l="$med_lib" -v s="$med_svc" -v m="$size" 'BEGIN {
  printf "SimpleUpdate of %d MiB over HTTP: median service %.3fs (%.0f MB/s), library %.3fs (%.0f MB/s), time ratio service/library %.3f\n",
    m, s, m*1048576/s/1e6, l, m*1048576/l/1e6, s/l }'
rm -f "$files/big.bin"

# Ten running tasks: /stall/ sends half of each file, then holds the connection open.
uris=()
for i in $(seq 0 9); do
  head -c $((64 * 1024 * 1024)) /dev/urandom > "$files/run$i.bin"
  uris+=("http://127.0.0.1:$HTTP_PORT/stall/run$i.bin")
done
client start "${uris[@]}" >/dev/null
busy_rss=$(rss VmRSS)
threads=$(rss Threads)
client delete-all
hwm=$(rss VmHWM)
echo "service RSS: idle ${idle_rss} KiB, after the updates ${after_rss} KiB, ten running tasks ${busy_rss} KiB ($threads threads), peak ${hwm} KiB"
rm -f "$files"/run*.bin
