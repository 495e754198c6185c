#!/usr/bin/env bash
# Demonstration over the simulated cable: starts the variant A server on a
# cable in a temporary directory, lets a short-lived peer raise its busy line
# so that the search finds LPT2, and stops the server with Ctrl/C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DLPX_WERROR=ON >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
work=$(mktemp -d /tmp/lpx-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
export LPXFER_CABLE_DIR=$work/cable
build/tests/cable_poke 2 16
build/bin/a/lpxferd-sim > "$work/server.log" &
pid=$!
for _ in $(seq 100); do grep -q Accepting "$work/server.log" && break; sleep 0.1; done
build/tests/cable_poke 2 0
sleep 1
kill -INT $pid
wait $pid
status=$?
cat "$work/server.log"
echo
echo "server exit status: $status"
exit $status
