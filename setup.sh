#!/usr/bin/env bash
# Installs the Debian packages the project needs (only what is missing) and
# builds the project.
#   ./setup.sh              plain build in ./build
#   ./setup.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in ./build-asan
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  cmake make g++ pkg-config
  libgtest-dev libgmock-dev
  cyclonedds-dev cyclonedds-tools
  libpugixml-dev
  swig python3 python3-dev python3-pytest
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

build_dir=build
extra=()
if [ "${1:-}" = "--sanitize" ]; then
  build_dir=build-asan
  extra+=(-DQV_SANITIZE=ON)
fi
build_dir=${BUILD_DIR:-$build_dir}

# The Python modules are built for Debian's own interpreter.
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=/usr/bin/python3 \
  -DQV_END_TO_END=ON "${extra[@]}"
cmake --build "$build_dir" -j"$(nproc)"
