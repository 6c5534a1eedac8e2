#!/bin/bash
# Builds the project and runs the whole test suite against local servers, inside a
# private mount namespace with fresh tmpfs on /var and /mnt (the real ones are never
# touched).
#
#   scripts/run-tests.sh [BUILD_DIR] [extra cmake arguments...]
#
# FH_SANITIZE=address,undefined or FH_SANITIZE=thread builds the suite with sanitizers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true

if [ "${FH_PRIVATE_VAR:-}" != 1 ]; then
  "$root/scripts/install-deps.sh"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DFH_SANITIZE="${FH_SANITIZE:-}" "$@" >/dev/null
  cmake --build "$build" -j"$(nproc)"
  exec "$root/scripts/in-private-var.sh" "$0" "$build"
fi

. "$root/tests/servers/servers.sh"
fh_servers_up
servers=$TEST_DIR
export FH_TEST_SERVERS=$servers/servers.env
export GTEST_OUTPUT=xml:/var/tmp/fh-results.xml
cd "$build"
status=0
ctest --output-on-failure || status=$?
# One closing line with the number of test cases (ctest counts only executables).
if [ -f /var/tmp/fh-results.xml ]; then
  tests=$(grep -m1 -o 'tests="[0-9]*"' /var/tmp/fh-results.xml | tr -dc 0-9)
  failed=$(grep -m1 -o 'failures="[0-9]*"' /var/tmp/fh-results.xml | tr -dc 0-9)
  skipped=$(grep -m1 -o 'skipped="[0-9]*"' /var/tmp/fh-results.xml | tr -dc 0-9)
  echo "fh_tests: $((tests - failed - skipped)) passed, $failed failed, ${skipped:-0} skipped"
fi
exit $status
