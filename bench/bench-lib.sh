# Shared by the benchmark scripts (sourced, with root, build and the script's arguments
# set). bench_enter builds fhbench and re-runs the script in the private namespace with
# every test server up; the helpers time commands and take medians.
bench_enter() {
  if [ "${FH_PRIVATE_VAR:-}" != 1 ]; then
    "$root/scripts/install-deps.sh"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFH_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" -j"$(nproc)" --target fhbench >/dev/null
    exec "$root/scripts/in-private-var.sh" "$0" "$@"
  fi
  . "$root/tests/servers/servers.sh"
  fh_servers_up
  fhbench=$build/bench/fhbench
}

# seconds CMD...: runs a command, prints its wall time.
seconds() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}

# lib get|put ...: the library's own timing of one transfer (fhbench).
lib() {
  local line
  line=$("$fhbench" "$@" 2>/dev/null) || { echo "library failed: $*" >&2; exit 1; }
  line=${line#seconds=}
  echo "${line%% *}"
}

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
