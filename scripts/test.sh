#!/usr/bin/env bash
# Builds lpxferd with warnings as errors and runs every test through ctest.
#   scripts/test.sh              normal build in build/
#   LPX_SANITIZE=1 scripts/test.sh   ASan + UBSan build in build-asan/
#   LPX_SKIP_LONG=1 ...          leaves out the long transfer tests over the
#                                cable (e2e_roundtrip, e2e_resume, soak_short)
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
exclude=()
if [ "${LPX_SKIP_LONG:-0}" = 1 ]; then exclude=(-E '^(e2e_roundtrip|e2e_resume|soak_short)$'); fi
ctest --output-on-failure -j "$(nproc)" --timeout 900 "${exclude[@]}"
