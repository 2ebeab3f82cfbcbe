#!/usr/bin/env bash
# Builds the project in its configurations and runs the project's own tests
# with CTest in each: the plain build, the AddressSanitizer +
# UndefinedBehaviorSanitizer build with the whole suite end to end (disabled
# tests included), the ThreadSanitizer build of the threaded parts, the fault
# build with every row of the fault table (tools/faults.tsv: each fault turns
# its tests red on its side, and they pass without it) and of the variants
# table (tools/variants.tsv: the suite stays green with each legal variation
# of the library), the filter language's fuzz target, and the suite built
# against the plain build's library installed in a prefix. Exits non-zero on
# any failure. Every step is bounded in time.
#
# First what needs the CPU, one step after the other with every core: the
# builds, the CTest runs, the fuzz run. Then the runs of the whole suite,
# which mostly wait on the tests' own pauses and DDS timers, side by side,
# each in network namespaces of its own (so this needs root, as unshare -n
# does): the sanitizer build's suite, the suite against the installed prefix,
# the fault checker and then the variants checker. Each side-by-side step's
# output is printed whole once it has ended.
#
# The suite's default run in the plain build is ./run_suite.sh itself (CI runs
# it next); its two CTest entries (label end_to_end) stay for "ctest -L
# end_to_end".
set -euo pipefail
cd "$(dirname "$0")"

jobs="$(nproc)"
started=$SECONDS
stage() { echo "run_tests: [$((SECONDS - started)) s] $*"; }

ASAN_ENV=(ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:suppressions=$PWD/tests/asan.supp
          UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)

# ---- what needs the CPU ------------------------------------------------------

stage "plain build and its tests"
./setup.sh
# CTest runs the cases in parallel: each is isolated (topics of its own, its
# own peer port); the match stress test, which loads the machine itself,
# runs alone (the plain build only).
ctest --no-tests=error --test-dir build --output-on-failure --timeout 600 -j"$jobs" -LE end_to_end

stage "ASan+UBSan build and its tests"
./setup.sh --sanitize
env "${ASAN_ENV[@]}" ctest --no-tests=error --test-dir build-asan --output-on-failure --timeout 900 -j"$jobs" \
  -LE end_to_end -E '^wire_match_stress_test\..*$'

# The peer link, the conditions and the wait sets, and the reader's autopurge,
# under ThreadSanitizer.
stage "ThreadSanitizer build and its tests"
./setup.sh --tsan
ctest --no-tests=error --test-dir build-tsan --output-on-failure --timeout 300 -j"$jobs" -L tsan

stage "fault build"
./setup.sh --faults

# The filter language under libFuzzer with ASan+UBSan, bounded in runs and time.
stage "filter fuzz target"
platform/quorvela/src/filter/run_fuzz.sh build-fuzz 100000

# The suite and the peer built against the plain build's library installed in
# a prefix (not from platform/quorvela/); its end-to-end run comes below.
stage "the suite built against an installed prefix"
tools/prefix_check.sh --no-suite build build-prefix

# ---- the whole suite, side by side -----------------------------------------

logs="$(mktemp -d "${TMPDIR:-/tmp}/run_tests.XXXXXX")"
trap 'rm -rf "$logs"' EXIT
in_namespace() { unshare -n bash -c 'ip link set lo up && exec "$@"' run_tests "$@"; }

# Runs each "name|command" at once, the output of each in a log of its own;
# prints every log once all have ended, and fails when one did.
side_by_side() {
  local -A pids=()
  local entry name failed=()
  for entry in "$@"; do
    name="${entry%%|*}"
    bash -c "${entry#*|}" >"$logs/$name.log" 2>&1 &
    pids[$name]=$!
  done
  for name in "${!pids[@]}"; do
    wait "${pids[$name]}" || failed+=("$name")
  done
  for entry in "$@"; do
    name="${entry%%|*}"
    echo "---- $name ----"
    cat "$logs/$name.log"
  done
  ((${#failed[@]} == 0)) || { echo "run_tests: FAILED: ${failed[*]}" >&2; return 1; }
}
export -f in_namespace
export ASAN_ENV_LINE="${ASAN_ENV[*]}"

# The sanitizer build's suite (disabled tests included) and the suite against
# the prefix, each in its own namespace, beside the fault checker (which
# makes a namespace for each of its runs); bounded as a whole, each.
stage "side by side: the sanitizer build's suite, the prefix's suite, the fault checker"
side_by_side \
  "asan_suite|in_namespace env $ASAN_ENV_LINE ctest --no-tests=error --test-dir build-asan --output-on-failure --timeout 1500 -R '^suite_end_to_end_with_disabled\$'" \
  "prefix_suite|in_namespace timeout 1500 build-prefix/source/run_suite.sh --no-build --build-dir build-prefix/build --time-limit 900" \
  "fault_check|python3 tools/fault_check.py --build-dir build-faults --time-limit 900"

# Every variant of the table (tools/variants.tsv): the whole suite, disabled
# tests included, green with each legal variation of the library on, and
# each variant's project tests; all variants at once, each in a namespace of
# its own, bounded as a whole.
stage "the variants checker"
python3 tools/variant_check.py --build-dir build-faults --time-limit 600

stage "passed"
