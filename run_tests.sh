#!/usr/bin/env bash
# Builds the project in its configurations and runs the project's own tests
# with CTest in each: the plain build, the AddressSanitizer +
# UndefinedBehaviorSanitizer build with the whole suite end to end (disabled
# tests included), the ThreadSanitizer build of the threaded parts, the fault
# build with every row of the fault table (tools/faults.tsv: each fault turns
# its tests red on its side, and they pass without it) and of the variants
# table (tools/variants.tsv: the suite stays green with each legal variation
# of the library), and the filter language's fuzz target. Exits non-zero on any failure. Every step is
# bounded in time.
#
# The suite's default run in the plain build is ./run_suite.sh itself (CI runs
# it next); its two CTest entries (label end_to_end) stay for "ctest -L
# end_to_end".
set -euo pipefail
cd "$(dirname "$0")"

# CTest runs the cases in parallel: each is isolated (topics of its own, its
# own peer port); the end-to-end entries hold the peer port's lock and run alone.
jobs="$(nproc)"
./setup.sh
ctest --no-tests=error --test-dir build --output-on-failure --timeout 600 -j"$jobs" -LE end_to_end

# (The match stress test, which loads the machine itself, runs in the plain
# build only.)
./setup.sh --sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:suppressions=$PWD/tests/asan.supp UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --no-tests=error --test-dir build-asan --output-on-failure --timeout 900 -j"$jobs" -E '^(suite_end_to_end|wire_match_stress_test\..*)$'

# The peer link, the conditions and the wait sets, and the reader's autopurge,
# under ThreadSanitizer.
./setup.sh --tsan
ctest --no-tests=error --test-dir build-tsan --output-on-failure --timeout 300 -L tsan

# Every fault of the table, each run in a network namespace of its own, several
# at once; bounded as a whole (the checker stops what still runs at its bound).
./setup.sh --faults
python3 tools/fault_check.py --build-dir build-faults --time-limit 900

# Every variant of the table (tools/variants.tsv): the whole suite, disabled
# tests included, green with each legal variation of the library on, and
# each variant's project tests; all variants at once, each in a namespace of
# its own, bounded as a whole.
python3 tools/variant_check.py --build-dir build-faults --time-limit 600

# The filter language under libFuzzer with ASan+UBSan, bounded in runs and time.
platform/quorvela/src/filter/run_fuzz.sh build-fuzz 100000

# The suite and the peer built against the plain build's library installed in
# a prefix (not from platform/quorvela/), and run end to end with it.
tools/prefix_check.sh build build-prefix
