#!/usr/bin/env bash
# The suite against an installed library: installs the library, its Python
# binding and the peer of a built tree into a fresh prefix ("cmake
# --install"), builds the suite and the peer against that prefix
# (-DQUORVELA_ROOT) from a copy of the sources without platform/quorvela/,
# checks that nothing of that build points into the library's sources or the
# first build and that its programs load the prefix's library, runs its
# list-order and peer registry checks and the Python delivery tests with
# FlatRecord over the prefix's binding, and runs the suite end to end with the
# peer built against the prefix. Exits non-zero on
# any failure; every step is bounded in time.
#
#   tools/prefix_check.sh [--no-suite] [BUILD [WORK]]
#
# --no-suite: everything but the suite's end-to-end run, which its caller
# then makes itself (WORK/source/run_suite.sh --no-build --build-dir
# WORK/build), say beside other runs, each in its own network namespace.
#
# BUILD: a built tree of this project (default ./build). WORK: a scratch
# directory, emptied first (default ./build-prefix): WORK/prefix (the
# installed library), WORK/source (the copied sources), WORK/build (the build
# against the prefix, its suite run's results in WORK/build/suite-results).
# Opens DDS participants and the peer port: one run per network namespace.
set -euo pipefail
SUITE=1
if [ "${1:-}" = --no-suite ]; then SUITE=0; shift; fi
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
abs() { case "$1" in /*) printf '%s\n' "$1" ;; *) printf '%s\n' "$PWD/$1" ;; esac; }
BUILD="$(abs "${1:-$ROOT/build}")"
WORK="$(abs "${2:-$ROOT/build-prefix}")"
PREFIX="$WORK/prefix"
SOURCE="$WORK/source"
OUT="$WORK/build"

fail() { echo "prefix_check: FAILED: $*" >&2; exit 1; }
step() { echo "prefix_check: [$((SECONDS - start)) s] $*"; }
start=$SECONDS

[ -f "$BUILD/CMakeCache.txt" ] || fail "$BUILD is no configured build"
case "$WORK/" in "$BUILD/"*) fail "the scratch directory $WORK lies inside $BUILD" ;; esac
rm -rf "$WORK"
mkdir -p "$PREFIX" "$SOURCE"

step "installing $BUILD into $PREFIX"
timeout 300 cmake --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log" || { cat "$WORK/install.log" >&2; fail "cmake --install"; }

# The sources without the library, its build trees and the repository.
tar -C "$ROOT" --anchored --exclude=./platform/quorvela --exclude='./build*' --exclude=./.git -cf - . |
  tar -C "$SOURCE" -xf -
[ ! -e "$SOURCE/platform/quorvela" ] || fail "the copied sources hold platform/quorvela"

step "building the suite and the peer against $PREFIX"
jobs=()
[ -n "${CMAKE_BUILD_PARALLEL_LEVEL:-}" ] || jobs=(-j "$(nproc)")
timeout 600 cmake -S "$SOURCE" -B "$OUT" -DQUORVELA_ROOT="$PREFIX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython3_EXECUTABLE=/usr/bin/python3 -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$WORK/configure.log" 2>&1 ||
  { cat "$WORK/configure.log" >&2; fail "configuring against the prefix"; }
timeout 3600 cmake --build "$OUT" "${jobs[@]}" >"$WORK/build.log" 2>&1 ||
  { tail -n 40 "$WORK/build.log" >&2; fail "building against the prefix (log: $WORK/build.log)"; }

# No compile or link line may name the library's sources or the first build;
# the prefix's headers must be the ones used.
positive="$OUT/src/dds_positive_tests"
peer_tests="$OUT/platform/peer/dds_peer_tests"
flatrecord="$OUT/python/pkg/_FlatRecord.so"
for f in "$positive" "$OUT/platform/peer/dds_peer" "$peer_tests" "$flatrecord"; do
  [ -f "$f" ] || fail "$f was not built"
done
[ ! -e "$OUT/platform/quorvela" ] || fail "the build against the prefix built platform/quorvela"
mapfile -t lines < <(printf '%s\n' "$OUT/compile_commands.json"; find "$OUT" -name link.txt)
if grep -n -F -e "$ROOT/platform/quorvela" -e "$BUILD/" -e platform/quorvela "${lines[@]}" >"$WORK/leaks.txt"; then
  head -n 5 "$WORK/leaks.txt" >&2
  fail "compile or link lines point into the library's sources or $BUILD (all: $WORK/leaks.txt)"
fi
grep -q -F -e "-isystem $PREFIX/include" -e "-I$PREFIX/include" "$OUT/compile_commands.json" ||
  fail "no compile line uses $PREFIX/include"

# Each program loads the prefix's library, found through its run path.
want="$(realpath "$PREFIX/lib/libquorvela.so.1")"
for f in "$positive" "$peer_tests" "$flatrecord"; do
  runpath="$(readelf -d "$f" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\2/p')"
  case ":$runpath:" in *":$PREFIX/lib:"*) ;; *) fail "$(basename "$f"): run path '$runpath' lacks $PREFIX/lib" ;; esac
  case ":$runpath:" in *":$BUILD:"*|*":$BUILD/"*) fail "$(basename "$f"): run path '$runpath' names $BUILD" ;; esac
  got="$(ldd "$f" | awk '$1 ~ /^libquorvela\.so/ {print $3}')"
  [ -n "$got" ] || fail "$(basename "$f") does not load libquorvela"
  [ "$(realpath "$got")" = "$want" ] || fail "$(basename "$f") loads $got, not $want"
done
step "the build against the prefix uses only $PREFIX (run paths and loaded library checked)"

# Its own checks: the listed order against the catalogue, the peer's registry.
timeout 300 ctest --test-dir "$OUT" --output-on-failure >"$WORK/ctest.log" 2>&1 ||
  { cat "$WORK/ctest.log" >&2; fail "the list-order and registry checks of the build against the prefix"; }

step "Python: FlatRecord over the prefix's binding"
binding="$(sed -n 's/^QV_PY_BINDING_DIR:INTERNAL=//p' "$OUT/CMakeCache.txt")"
case "$binding" in "$PREFIX"/*) ;; *) fail "the Python binding in use, '$binding', is not the prefix's" ;; esac
PYTHONPATH="$OUT/python/pkg:$binding" PYTHONDONTWRITEBYTECODE=1 \
  timeout 300 /usr/bin/python3 -m pytest -q -p no:cacheprovider "$SOURCE/tests/python/test_delivery.py" ||
  fail "the Python delivery tests against the prefix"

if [ "$SUITE" = 0 ]; then
  step "passed (the suite's run end to end left to the caller: $SOURCE/run_suite.sh --no-build --build-dir $OUT)"
  exit 0
fi
step "the suite end to end with the peer built against the prefix"
timeout 1500 "$SOURCE/run_suite.sh" --no-build --build-dir "$OUT" --time-limit 900 ||
  fail "the suite run against the prefix (results: $OUT/suite-results)"
step passed
