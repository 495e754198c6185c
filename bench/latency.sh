#!/usr/bin/env bash
# Time per command and the server's processor time over the simulated cable
# (LPXFER_CABLE_NS, default 1000: 1 µs per register access). Reports; it
# does not pass or fail, and is no default test (it takes about a minute).
#   latency.sh <build dir> [runs] [idle seconds]
#     (defaults 7 runs of connect, put, get and rm of a 200-byte file, each
#     timed from start to exit of lpxfer, the median and the range printed;
#     20 s of processor time with no client; the same time in slices of
#     1.8 s, each right after a command)
#   LPX_CLIENT=<path> runs another client against the build's server.
source "$(dirname "$0")/../tests/e2e_lib.sh" "$1"
runs=${2:-7}
idle=${3:-20}
client=${LPX_CLIENT:-$client}
start_server a || exit 1
cd "$work/local" && head -c 200 /dev/urandom >small

ticks() { awk '{ print $14 + $15 }' "/proc/$server_pid/stat"; }
hz=$(getconf CLK_TCK)
percent() { awk -v t="$1" -v s="$2" -v hz="$hz" 'BEGIN { printf "%.2f", 100 * t / hz / s }'; }

# Milliseconds that one run of the client takes.
timed() {
  local start end
  start=$(date +%s%N)
  "$client" -q "$@" >/dev/null 2>"$work/err" || echo "lpxfer $* failed: $(cat "$work/err")" >&2
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}

for what in connect put get rm; do : >"$work/$what.ms"; done
for _ in $(seq "$runs"); do
  timed connect >>"$work/connect.ms"
  timed put small "$remote/small" >>"$work/put.ms"
  timed get "$remote/small" back >>"$work/get.ms"
  rm -f back
  timed rm "$remote/small" >>"$work/rm.ms"
done
echo "per command, ms over $runs runs (median, fastest-slowest), cable ${LPXFER_CABLE_NS} ns/access:"
for what in connect put get rm; do
  sort -n "$work/$what.ms" | awk -v what="$what" '{ v[NR] = $1 }
    END { printf "  %-8s %6d   %d-%d\n", what, v[int((NR + 1) / 2)], v[1], v[NR] }'
done

sleep 3  # past the quick polling after the last command
before=$(ticks)
sleep "$idle"
echo "server with no client: $(percent $(($(ticks) - before)) "$idle") % of a core over $idle s"

slices=$(awk -v s="$idle" 'BEGIN { printf "%d", s / 1.8 + 0.5 }')
sum=0
for _ in $(seq "$slices"); do
  "$client" -q connect >/dev/null 2>&1
  before=$(ticks)
  sleep 1.8
  sum=$((sum + $(ticks) - before))
  sleep 0.5
done
seconds=$(awk -v n="$slices" 'BEGIN { print n * 1.8 }')
echo "server in the 1.8 s after a command: $(percent "$sum" "$seconds") % of a core over $seconds s"
stop_server >/dev/null
