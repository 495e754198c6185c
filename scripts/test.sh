#!/usr/bin/env bash
# Builds lpxferd with warnings as errors and runs every test through ctest.
#   scripts/test.sh              normal build in build/
#   LPX_SANITIZE=1 scripts/test.sh   ASan + UBSan build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build=build
flags=(-DLPX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${LPX_SANITIZE:-0}" = 1 ]; then
  build=build-asan
  flags+=(-DLPX_SANITIZE=ON)
fi
cmake -S . -B "$build" "${flags[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 300
