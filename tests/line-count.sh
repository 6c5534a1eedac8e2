#!/bin/bash
# Prints the size of the test suite against the size of the code, in lines (wc -l) of the
# files git tracks:
#   test lines    the test cases and their support code under tests/, without the fuzz
#                 corpora, without tests/servers/ (the loopback servers and mount helpers
#                 the suite runs against) and without tests/mutants/ (the deliberate faults
#                 and their harness, which test the tests), each printed on a line of its own;
#                 of them, the reliability harnesses (the torture, stress and hostile-server
#                 tests and the fuzz targets) are printed once more on a line of their own;
#   code lines    common, frontend, task, workers, logo, platform, tools and bench, and the
#                 scripts a user runs (scripts/).
# The aim is a ratio of at most 0.40.
set -euo pipefail
cd "$(dirname "$0")/.."
lines() { git ls-files -- "$@" | xargs -r cat | wc -l; }
tests=$(lines tests ':!tests/fuzz/corpus' ':!tests/servers' ':!tests/mutants')
servers=$(lines tests/servers)
mutants=$(lines tests/mutants)
harnesses=$(lines tests/torture_test.cpp tests/stress_test.cpp tests/hostile_test.cpp tests/fuzz \
  ':!tests/fuzz/corpus')
code=$(lines common frontend task workers logo platform tools bench scripts)
echo "test lines:    $tests"
echo "  of which reliability harnesses: $harnesses (torture, stress, hostile, fuzz)"
echo "server lines:  $servers (tests/servers, not counted as tests)"
echo "mutant lines:  $mutants (tests/mutants, not counted as tests)"
echo "code lines:    $code"
awk -v t="$tests" -v h="$harnesses" -v c="$code" 'BEGIN {
  printf "ratio:         %.2f (%.2f without the reliability harnesses)\n", t / c, (t - h) / c }'
