#!/bin/bash
# Builds everything for the 32-bit ARM target (armhf), runs the unit tests that need no
# servers under qemu-arm (in a private mount namespace, like every test run), and
# reports the stripped size of libfilehandle.so for armhf and, when given a native
# build directory, for x86-64.
#
#   scripts/cross-test.sh [NATIVE_BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-}
sysroot=/opt/filehandle-armhf-sysroot
build=$root/build-armhf

"$root/scripts/cross-deps.sh" "$sysroot"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-linux-gnueabihf.cmake" \
  -DFH_ARMHF_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
file -bL "$build/libfilehandle.so" | cut -d, -f1-2

# Without FH_TEST_SERVERS and the other server variables the server cases skip.
unset FH_TEST_SERVERS FH_SSH_FTP_ENV FH_SHARE_ENV FH_TFTP_ENV
qemu=(qemu-arm -L "$sysroot")
"$root/scripts/in-private-var.sh" "${qemu[@]}" "$build/tests/fh_tests" --gtest_brief=1 \
  > "$build/qemu-tests.log" 2>&1 || { tail -60 "$build/qemu-tests.log"; exit 1; }
grep -E '^\[  (PASSED|SKIPPED) *\] [0-9]+ test' "$build/qemu-tests.log"
for corpus in "$root"/tests/fuzz/corpus/*/; do
  name=$(basename "$corpus")
  "$root/scripts/in-private-var.sh" "${qemu[@]}" "$build/tests/${name}_corpus_replay" "$corpus"
done

stripped_size() {  # STRIP LIB
  local out
  out=$(mktemp)
  "$1" --strip-all -o "$out" "$2"
  stat -c %s "$out"
  rm -f "$out"
}
echo "libfilehandle.so stripped, armhf: $(stripped_size arm-linux-gnueabihf-strip "$build/libfilehandle.so") bytes"
if [ -n "$native" ] && [ -f "$native/libfilehandle.so" ]; then
  echo "libfilehandle.so stripped, x86-64: $(stripped_size strip "$native/libfilehandle.so") bytes"
fi
