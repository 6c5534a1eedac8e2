# shellcheck shell=bash
# Shared by bench/run.sh and bench/redfish_bench.sh (sourced, with root set). bench_enter
# builds fhbench and fhredfishd and re-runs the script in a private mount and network
# namespace (loopback only) with every test server up.
build=${FH_BENCH_BUILD:-$root/build-rel}
fhbench=$build/bench/fhbench

bench_enter() {
  if [ "${FH_PRIVATE_VAR:-}" != 1 ]; then
    "$root/scripts/install-deps.sh"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFH_BUILD_TESTS=OFF >/dev/null
    nice cmake --build "$build" -j2 --target fhbench fhredfishd >/dev/null
    FH_PRIVATE_NET=1 exec "$root/scripts/in-private-var.sh" "$0" "$@"
  fi
  . "$root/tests/servers/servers.sh"
  fh_servers_up
}

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

# rf_up WORKDIR IMAGE_DIR: starts fhredfishd on a free loopback port, with its account in
# a mode-600 file; sets rf_pid and exports RF_URL, RF_USER, RF_PASSWORD for rf_client.
# The service stops on exit, before the servers.
rf_up() {
  local work=$1 images=$2
  mkdir -p "$work" "$images"
  export RF_USER=bench RF_PASSWORD RF_URL
  RF_PASSWORD=$(head -c 12 /dev/urandom | base64 | tr -d '/+=')
  (umask 077 && printf 'user = %s\npassword = %s\nimage-dir = %s\n' "$RF_USER" "$RF_PASSWORD" \
    "$images" > "$work/fhredfishd.conf")
  "$build/tools/fhredfishd/fhredfishd" --config "$work/fhredfishd.conf" --port 0 \
    --log "$work/service.log" 2>>"$work/service.log" &
  rf_pid=$!
  eval "set -- $(trap -p EXIT)"
  # shellcheck disable=SC2064
  trap "kill $rf_pid 2>/dev/null || true; wait $rf_pid 2>/dev/null || true; ${3:-}" EXIT
  for _ in $(seq 100); do
    grep -q 'listening on' "$work/service.log" 2>/dev/null && break
    sleep 0.05
  done
  RF_URL=$(sed -n 's/.*listening on \([^,]*\),.*/\1/p' "$work/service.log" | head -1)
  [ -n "$RF_URL" ] || { echo "service did not start"; cat "$work/service.log"; exit 1; }
}

rf_client() { /usr/bin/python3 "$root/bench/rf_client.py" "$@"; }
rf_status() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$rf_pid/status"; }
