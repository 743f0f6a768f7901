#!/usr/bin/env bash
# Configures and builds into ${BUILD_DIR:-build}. Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${BUILD_DIR:-build}
extra=()
[ "${CI:-}" = "true" ] && extra+=(-DVELL_WERROR=ON)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "${extra[@]}" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
