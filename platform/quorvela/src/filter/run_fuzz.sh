#!/bin/sh
# Builds the filter-language fuzz target with clang and libFuzzer and runs a
# bounded number of inputs from the seed corpus. Exits non-zero when the
# target crashes, leaks or trips a sanitizer.
#
#   run_fuzz.sh [build-dir] [runs]
#
# Needs the Debian packages clang and libclang-rt-14-dev (the fuzzer runtime).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
lib=$(cd "$here/../.." && pwd)
out=${1:-${TMPDIR:-/tmp}/quorvela-filter-fuzz}
runs=${2:-200000}
mkdir -p "$out"
out=$(cd "$out" && pwd)
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$lib/src" -I"$lib/include" \
  "$here/filter_fuzz.cc" "$here/filter.cpp" "$here/type_description.cpp" -o "$out/filter_fuzz"
# New inputs go to a scratch corpus; the seeds in the tree stay untouched.
rm -rf "$out/corpus"
mkdir -p "$out/corpus"
cd "$out"
exec ./filter_fuzz -runs="$runs" -max_len=512 -max_total_time=120 -timeout=10 \
  -artifact_prefix="$out/" "$out/corpus" "$here/fuzz_corpus"
