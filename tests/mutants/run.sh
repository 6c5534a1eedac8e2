#!/bin/bash
# Mutant harness: applies each deliberate fault of tests/mutants/list to a copy of the tree,
# rebuilds, runs the tests named for it and tells whether they caught it. The copy is built
# once; the mutants then run inside one private namespace with the test servers up.
#   tests/mutants/run.sh [ID...]      every mutant, or only the ones named
# A test run longer than FH_MUTANT_TIMEOUT seconds (default 300) counts as caught: a hang
# is a failure. FH_MUTANTS_DIR=DIR keeps the copy and its build for a later, incremental
# run (default: a new directory under /tmp). Minutes per mutant: by hand, not in CI.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd) limit=${FH_MUTANT_TIMEOUT:-300}
tree=${FH_MUTANTS_WORK:+$FH_MUTANTS_WORK/src}  # inside: the copy, whose list cannot change

select_mutants() {  # one line a mutant, fields separated by \x01; fails on a bad line
  local line fields n id file find want=" $* "
  while IFS= read -r line; do
    [[ -z $line || $line == \#* ]] && continue
    fields=${line//" | "/$'\x01'}
    n=$(tr -cd '\001' <<<"$fields" | wc -c)
    IFS=$'\x01' read -r id file find _ <<<"$fields"
    [ "$n" = 4 ] || { echo "run.sh: $id: want 5 fields, got $((n + 1))" >&2; return 1; }
    [ $# = 0 ] || [[ $want == *" $id "* ]] || continue
    n=$(python3 -c 'import sys; print(open(sys.argv[1], encoding="latin-1").read().count(
sys.argv[2]))' "${tree:-$root}/$file" "$find")
    [ "$n" = 1 ] || { echo "run.sh: $id: text found $n times in $file: $find" >&2; return 1; }
    printf '%s\n' "$fields"
  done <"${tree:-$root}/tests/mutants/list"
}
selected=$(select_mutants "$@")
for id in "$@"; do
  grep -q "^$id"$'\x01' <<<"$selected" || { echo "run.sh: no mutant $id" >&2; exit 2; }
done
if [ "${FH_MUTANTS_WORK:-}" = "" ]; then
  work=${FH_MUTANTS_DIR:-$(mktemp -d /tmp/fh-mutants.XXXXXX)}
  mkdir -p "$work/src" "$work/logs" && echo "copy and build in $work"
  (cd "$root" && git ls-files -z) | while IFS= read -r -d '' f; do
    cmp -s "$root/$f" "$work/src/$f" || install -D "$root/$f" "$work/src/$f"  # changed ones
  done
  { cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build "$work/build" -j"$(nproc)"; } >"$work/logs/build.log" 2>&1 ||
    { tail -20 "$work/logs/build.log"; exit 1; }
  # A PID namespace of its own too: the tests look at the command line of every process.
  FH_MUTANTS_WORK=$work FH_PRIVATE_NET=1 exec unshare --pid --fork --mount-proc \
    "$root/scripts/in-private-var.sh" "$root/tests/mutants/run.sh" "$@"
fi
work=$FH_MUTANTS_WORK src=$FH_MUTANTS_WORK/src build=$FH_MUTANTS_WORK/build
# shellcheck source=tests/servers/servers.sh disable=SC1091
. "$src/tests/servers/servers.sh"
fh_servers_up
current=""  # restored with a new time stamp, so that the next build compiles it again
restore() { [ -z "$current" ] || cp "$work/orig" "$src/$current"; current=""; }
trap 'restore; exit 130' INT TERM
# Runs one selection of tests; the exit status of the run (124 or 137: timed out). Each run
# starts from the library's state in a fresh namespace: no task table, lock, log, progress
# file or share left by the run before (the servers keep theirs under /var/tmp).
run_tests() {
  local name rc=0
  grep -o ' /var/confbup[^ ]*' /proc/mounts | xargs -r -n1 umount -l 2>/dev/null || true
  rmdir /var/confbup* 2>/dev/null || true  # never rm -r: a share may still hang there
  rm -rf /var/lib/bmcplatform /var/lib/fhredfishd /var/lock/*.lock /var/log/*.log* \
    /var/uploadDownload* /mnt/sdmmc0p2
  cd "$build"
  case $1 in
    cli | redfish) [ "$1" = cli ] && name=fhxfer_cli || name=redfish_service
      timeout -k 10 "$limit" ctest -R "^$name\$" --output-on-failure >"$work/ctest.out" || rc=$?
      cat "$work/ctest.out"  # a skipped test proves nothing: it fails here
      [ "$rc" = 0 ] || return "$rc"
      if grep -q '\*\*\*Skipped\|Not Run' "$work/ctest.out"; then return 1; fi ;;
    *) timeout -k 10 "$limit" "$build/tests/fh_tests" --gtest_filter="$1" ;;
  esac
}
# The unmutated tree must pass every selection (the union of the GoogleTest filters, and
# each script test), or nothing the tests catch means anything.
sel=$(cut -d $'\x01' -f 5 <<<"$selected" | sort -u)
while IFS= read -r f; do  # a filter that matches nothing would pass: a false "missed"
  [[ $f == cli || $f == redfish ]] || "$build/tests/fh_tests" --gtest_list_tests \
    --gtest_filter="$f" | grep -c '^  ' >/dev/null || { echo "run.sh: $f: no test" >&2; exit 1; }
done <<<"$sel"
: >"$work/logs/baseline.log"
while IFS= read -r tests; do
  [ -z "$tests" ] || run_tests "$tests" >>"$work/logs/baseline.log" 2>&1 </dev/null ||
    { echo "run.sh: the unmutated tree fails $tests: $work/logs/baseline.log" >&2; exit 1; }
done < <(grep -vx 'cli\|redfish' <<<"$sel" | paste -sd :; grep -x 'cli\|redfish' <<<"$sel")
total=0 caught=0 missed=0 broken=0
while IFS=$'\x01' read -r -u 3 id file find repl tests; do
  log=$work/logs/$id.log current=$file total=$((total + 1)) rc=0 && cp "$src/$file" "$work/orig"
  python3 -c 'import sys; p, a, b = sys.argv[1:]; s = open(p, encoding="latin-1").read()
open(p, "w", encoding="latin-1").write(s.replace(a, b, 1))' "$src/$file" "$find" "$repl"
  if ! cmake --build "$build" -j"$(nproc)" >"$log" 2>&1; then
    verdict="did not build" broken=$((broken + 1))
  else
    run_tests "$tests" >>"$log" 2>&1 </dev/null || rc=$?
    [ "$rc" = 0 ] && verdict=missed missed=$((missed + 1)) || verdict=caught caught=$((caught + 1))
    [[ $rc != 124 && $rc != 137 ]] || verdict="caught (timed out after $limit s)"
  fi
  restore
  printf '%-28s %-14s %s\n' "$id" "$verdict" "$tests"
done 3<<<"$selected"
cmake --build "$build" -j"$(nproc)" >"$work/logs/final-build.log" 2>&1
echo "$total mutants: $caught caught, $missed missed, $broken did not build (logs: $work/logs)"
