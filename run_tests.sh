#!/usr/bin/env bash
# Builds the project in both configurations (plain and sanitizers) and runs
# the project's own tests with CTest in each. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"

./setup.sh
ctest --test-dir build --output-on-failure --timeout 600

./setup.sh --sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure --timeout 900 -LE no_sanitize

# The filter language under libFuzzer with ASan+UBSan, bounded in runs and time.
platform/quorvela/src/filter/run_fuzz.sh build-fuzz 100000
