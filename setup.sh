#!/usr/bin/env bash
# Installs the Debian packages the project needs (only what is missing; the
# list is in tools/install-packages.sh) and builds the project.
#   ./setup.sh              plain build in ./build
#   ./setup.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in ./build-asan
#   ./setup.sh --tsan       ThreadSanitizer build in ./build-tsan (only the tests run under it)
#   ./setup.sh --faults     the library with its named fault points and points of
#                           legal variation in ./build-faults (tools/faults.tsv,
#                           tools/variants.tsv; QV_FAULT=<name>, QV_VARIANT=<name>
#                           switch one on)
# BUILD_DIR overrides the build directory. CMAKE_BUILD_PARALLEL_LEVEL, when
# set, is the number of parallel build jobs (default: one per core).
set -euo pipefail
cd "$(dirname "$0")"

tools/install-packages.sh

build_dir=build
extra=(-DQV_END_TO_END=ON)
case "${1:-}" in
  "") ;;
  --sanitize) build_dir=build-asan; extra+=(-DQV_SANITIZE=ON) ;;
  --tsan) build_dir=build-tsan; extra=(-DQV_END_TO_END=OFF -DQV_TSAN=ON) ;;
  --faults) build_dir=build-faults; extra=(-DQV_END_TO_END=OFF -DQV_FAULTS=ON) ;;
  *) echo "setup: unknown option $1 (expected --sanitize, --tsan or --faults)" >&2; exit 2 ;;
esac
build_dir=${BUILD_DIR:-$build_dir}

jobs=()
[ -n "${CMAKE_BUILD_PARALLEL_LEVEL:-}" ] || jobs=(-j "$(nproc)")

# The builds share their compilations through ccache: the configurations
# differ in few flags (the fault build only in the library's), and paths are
# taken relative to the tree, so a second build directory compiles little.
if command -v ccache >/dev/null && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
fi

# The Python modules are built for Debian's own interpreter.
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=/usr/bin/python3 "${extra[@]}"
if [ "${1:-}" = --tsan ]; then
  cmake --build "$build_dir" "${jobs[@]}" --target harness_link_test conditions_test reader_lifecycle_test
else
  cmake --build "$build_dir" "${jobs[@]}"
fi
