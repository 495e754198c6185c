#!/usr/bin/env bash
# Builds the benchmarks into build-bench/ (RelWithDebInfo, no tests) and runs
# them all, printing their tables and a summary at the end. Takes about ten
# minutes; the benchmarks report and never fail the run.
#
#   scripts/bench.sh                      everything
#   LPX_BENCH_QUICK=1 scripts/bench.sh    small sizes, for a try-out (~3 min)
#   LPX_BENCH_NICE=0 scripts/bench.sh     do not raise the priority of the
#                                         processes on the cable
#   LPX_BENCH_BEFORE=DIR scripts/bench.sh bench_many also runs the client and
#                                         server of the build in DIR, one run
#                                         per file ("before")
#
# The two ends of every cable run are pinned to cores 0 and 1 and, when the
# script runs as root, run at niceness -10 in session groups of their own,
# so that other work on the machine seldom preempts an end that polls.
# The raw logs are kept in build-bench/bench-logs/.
set -euo pipefail
cd "$(dirname "$0")/.."
LPX_WANT_VALGRIND=1 scripts/setup.sh
if ! command -v strace >/dev/null; then
  echo "bench: installing strace"
  if [ "$(id -u)" = 0 ]; then SUDO=""; else SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq strace >/dev/null
fi

build=build-bench
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLPX_BENCH=ON -DLPX_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null
bench=$build/bench
logs=$build/bench-logs
rm -rf "$logs"
mkdir -p "$logs"

nice_level=${LPX_BENCH_NICE:-}
if [ -z "$nice_level" ]; then
  if [ "$(id -u)" = 0 ]; then nice_level=-10; else nice_level=0; fi
fi
if [ "${LPX_BENCH_QUICK:-0}" = 1 ]; then
  transfer_args=(--slow-bytes 262144 --rounds 2 --fast-bytes 1048576 --cap 10)
  listing_args=(--sizes 1000,10000 --memory-sizes 10,10000 --rounds 3)
  cost_bytes=65536
  idle_seconds=3
  many_args=(--files 20 --large 8192 --connects 3)
else
  transfer_args=(--slow-bytes 1048576 --rounds 4 --fast-bytes 16777216 --cap 20)
  listing_args=(--sizes 1000,10000,100000 --memory-sizes 10,1000,100000 --rounds 5)
  cost_bytes=262144
  idle_seconds=10
  many_args=()
fi

machine() {
  echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores," \
    "$(free -g | awk '/^Mem:/ {print $2}') GiB, Linux $(uname -r)"
  echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg); busiest other processes:"
  ps -eo pcpu,comm --sort=-pcpu | sed -n '2,5p' | sed 's/^/    /'
}

run() {  # name command...: runs a benchmark, shows and keeps its output
  local name=$1
  shift
  echo
  echo "=== $name"
  "$@" 2>&1 | tee "$logs/$name.txt" || true
}

# Runs a command in a session group of its own at the chosen niceness (for
# the benchmarks that do not set it themselves).
prioritized() {
  if [ "$nice_level" = 0 ]; then
    "$@"
  else
    setsid sh -c 'echo "$0" >/proc/self/autogroup 2>/dev/null; exec nice -n "$0" "$@"' \
      "$nice_level" "$@"
  fi
}

# Instructions per payload byte under callgrind: the whole measured call
# (the server's GET, or the bare handshake), and the same without the
# in-process far end's own instructions (the self cost of
# ReactiveReceiver::In and ::Out, which call nothing, wherever callgrind
# files the inlined parts).
cost() {  # mode
  local mode=$1 out=$logs/callgrind.$1
  valgrind --tool=callgrind --callgrind-out-file="$out" --toggle-collect='*Measured*' \
    "$bench/bench_cost" "$mode" "$cost_bytes" >"$logs/cost.$mode.txt" 2>/dev/null || true
  local payload
  payload=$(sed -n 's/.*payload bytes \([0-9]*\).*/\1/p' "$logs/cost.$mode.txt")
  local accesses
  accesses=$(sed -n 's/.*register accesses per payload byte \([0-9.]*\).*/\1/p' \
    "$logs/cost.$mode.txt")
  callgrind_annotate --auto=no --threshold=100 "$out" 2>/dev/null | awk \
    -v mode="$mode" -v payload="${payload:-0}" -v accesses="${accesses:-?}" '
    /PROGRAM TOTALS/ { gsub(",", "", $1); total = $1 }
    /^ *[0-9,]+ .*:lpx::bench::ReactiveReceiver::(In|Out)\(/ { gsub(",", "", $1); peer += $1 }
    END {
      if (payload == 0) { printf "  %-6s no result\n", mode; exit }
      printf "  %-6s %10d %14d %14d %12.1f %14.1f %10s\n", mode, payload, total, peer,
             total / payload, (total - peer) / payload, accesses
    }' | tee -a "$logs/cost.txt"
}

revision=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
git diff --quiet HEAD 2>/dev/null || revision="$revision with local changes"
echo "lpxferd benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), revision $revision, niceness $nice_level"
machine | tee "$logs/machine-before.txt"
start=$(date +%s)

run transfer "$bench/bench_transfer" --nice "$nice_level" "${transfer_args[@]}"
run listing "$bench/bench_listing" --nice "$nice_level" "${listing_args[@]}"
run idle "$bench/bench_idle" --seconds "$idle_seconds"
run many "$bench/bench_many" --nice "$nice_level" ${LPX_BENCH_BEFORE:+--before "$LPX_BENCH_BEFORE"} \
  "${many_args[@]}"

echo
echo "=== cost (callgrind, $cost_bytes bytes; Ir = instructions)"
printf "  %-6s %10s %14s %14s %12s %14s %10s\n" mode bytes "Ir total" "Ir far end" \
  "Ir/byte" "Ir/byte server" "accesses"
: >"$logs/cost.txt"
for mode in get aget raw; do cost "$mode"; done

run link prioritized "$bench/bench_link" 2 0
run convert prioritized "$bench/bench_convert" --benchmark_min_time=0.1

echo
echo "=== summary"
awk '
  /^Transfers at 1000/ { cost = "1 us" } /^Transfers at 0/ { cost = "0 ns" }
  /^  (GET binary|AGET text|PUT binary|APUT text) / {
    printf "  %s:  %-11s %6s of the raw rate (best runs), %s server pauses of 100 ms\n",
           cost, $1 " " $2, $7, $8
  }' "$logs/transfer.txt"
awk '/passes\/ls/ { on = 1; next } on && NF >= 8 && $1 ~ /^[0-9]+$/ {
       printf "  LIST %6d entries: passes %s s, ls -lU %s s, ratio %s\n", $1, $7, $4, $8 }
     /^$/ { on = 0 }' "$logs/listing.txt"
awk '/peak kB/ { on = 1; next } on && NF >= 6 {
       printf "  server %s, %6d entries: VmHWM %s kB (idle %s kB)\n", $1, $2, $6, $5 }' \
  "$logs/listing.txt"
awk '/wake-ups/ { getline; printf "  idle: %s %% of a core\n", $6 }' "$logs/idle.txt"
awk '/^  (put|get) .*after/ || /^  connect, after/ { print }' "$logs/many.txt"
awk '{ printf "  cost %-5s %s instructions per byte (%s without the far end)\n", $1, $5, $6 }' \
  "$logs/cost.txt"
echo
machine | tee "$logs/machine-after.txt"
echo "Took $(($(date +%s) - start)) s after the build. Logs: $logs/"
