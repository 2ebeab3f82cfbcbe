#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing. The one
# list of packages; setup.sh and run_suite.sh both run this step. Needs root,
# or sudo for apt-get.
set -euo pipefail

PACKAGES=(
  cmake make g++ pkg-config
  libgtest-dev libgmock-dev
  cyclonedds-dev cyclonedds-tools
  libpugixml-dev
  swig python3 python3-dev python3-pytest python3-junitparser
  clang libclang-rt-14-dev
  libxml2-utils
  ccache
)

if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${PACKAGES[@]}"
  exit 0
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
((${#missing[@]})) || exit 0

echo "install-packages: installing ${missing[*]}"
SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-packages: not root and no sudo; install them by hand: ${missing[*]}" >&2; exit 1; }
  SUDO=(sudo)
fi
# Bounded, so that a stuck mirror ends the run instead of hanging it.
timeout 900 "${SUDO[@]}" apt-get update
timeout 1800 "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y --no-install-recommends "${missing[@]}"
