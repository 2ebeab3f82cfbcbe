#!/usr/bin/env bash
# Builds the project in its configurations and runs the project's own tests
# with CTest in each: the plain build, the AddressSanitizer +
# UndefinedBehaviorSanitizer build with the whole suite end to end (disabled
# tests included), the ThreadSanitizer build of the threaded parts, and the
# filter language's fuzz target. Exits non-zero on any failure. Every step is
# bounded in time.
#
# The suite's default run in the plain build is ./run_suite.sh itself (CI runs
# it next); its two CTest entries (label end_to_end) stay for "ctest -L
# end_to_end".
set -euo pipefail
cd "$(dirname "$0")"

./setup.sh
ctest --test-dir build --output-on-failure --timeout 600 -LE end_to_end

./setup.sh --sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure --timeout 900 -E '^suite_end_to_end$'

# The peer link, the conditions and the wait sets, and the reader's autopurge,
# under ThreadSanitizer.
./setup.sh --tsan
ctest --test-dir build-tsan --output-on-failure --timeout 300 -L tsan

# The filter language under libFuzzer with ASan+UBSan, bounded in runs and time.
platform/quorvela/src/filter/run_fuzz.sh build-fuzz 100000

# The suite and the peer built against the plain build's library installed in
# a prefix (not from platform/quorvela/), and run end to end with it.
tools/prefix_check.sh build build-prefix
