#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) in build-fuzz/
# and runs them.
#   scripts/fuzz.sh                      every target for 20 s through ctest (CI)
#   scripts/fuzz.sh <target> <seconds>   one target for as long as you like,
#                                        on its corpus in build-fuzz/fuzz/corpus/
# Targets: download_block upload_block command_loop convert listing_record client.
# Findings land in build-fuzz/fuzz/artifacts/; rerun one with
#   build-fuzz/fuzz/<target>_fuzz <file>
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

targets=(download_block upload_block command_loop convert listing_record client)
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DLPX_FUZZ=ON -DLPX_TESTS=OFF \
  -DLPX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]/%/_fuzz}"

if [ $# -eq 0 ]; then
  cd build-fuzz
  ctest -L fuzz --output-on-failure -j "$(nproc)"
  exit
fi

target=$1
seconds=${2:-3600}
corpus=build-fuzz/fuzz/corpus/$target
mkdir -p "$corpus" build-fuzz/fuzz/artifacts
exec "build-fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 \
  -print_final_stats=1 -artifact_prefix="build-fuzz/fuzz/artifacts/$target-" \
  "$corpus" "fuzz/$target/seeds"
