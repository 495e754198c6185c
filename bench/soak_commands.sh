#!/usr/bin/env bash
# Command soak: many short runs of the client against one simulated server
# while both cores are also kept busy by two processes that never sleep, so
# that either end is often off its core in the middle of an exchange. The
# runs take turns: put of a small random file (1 to 400 bytes: CONNECT,
# PUT, TIME, ATTR, SIZE and LIST), get of it back (CONNECT, GET), rename
# (CONNECT, RNFR, RNTO) and rm (CONNECT, DEL), 13 commands on the cable in
# four runs. Every run must succeed, every file come back identical, and the
# server must miss no code: a reply whose last code it missed is reported on
# its console ("... FAILED", or CONNECT echoed without "ION ESTABLISHED"; a
# missed "OK" fails the run instead) and costs a 2 s stall. Not a default
# test: on a shared machine a run takes half a second to a second and more.
#   soak_commands.sh <build dir> [runs] [client option]
#     (default 3,080 runs, 10,010 commands; e.g. --long-hold as the option;
#     LPX_SOAK_SECONDS stops it after that long)
source "$(dirname "$0")/../tests/e2e_lib.sh" "$1"
runs=${2:-3080}
option=${3:-}
hogs=
trap 'kill $hogs 2>/dev/null; if [ -n "$server_pid" ]; then kill -KILL "$server_pid"; wait "$server_pid"; fi 2>/dev/null; rm -rf "$work"' EXIT
start_server a || exit 1
cd "$work/local" || exit 1
for _ in 1 2; do
  nice -n 0 sh -c 'while :; do :; done' &
  hogs="$hogs $!"
done

failures=0 different=0 different_runs= slowest=0 slow=
begin=$EPOCHREALTIME
for i in $(seq "$runs"); do
  [ "$SECONDS" -ge "${LPX_SOAK_SECONDS:-999999}" ] && runs=$((i - 1)) && break
  case $((i % 4)) in
    1) random_file f $((1 + RANDOM % 400)) && set -- put f "$remote/f" ;;
    2) set -- get "$remote/f" back ;;
    3) set -- rename "$remote/f" "$remote/g" ;;
    0) set -- rm "$remote/g" ;;
  esac
  t0=$EPOCHREALTIME
  if ! "$client" -q $option "$@" >"$work/out" 2>&1; then
    failures=$((failures + 1))
    echo "run $i ($*): $(cat "$work/out")"
  fi
  ms=$(((${EPOCHREALTIME/./} - ${t0/./}) / 1000))
  [ "$ms" -gt "$slowest" ] && slowest=$ms
  [ "$ms" -gt 1500 ] && slow="$slow $1"
  case $1 in
    put) cmp -s f "$remote/f" || different=$((different + 1)) different_runs="$different_runs $i" ;;
    get) cmp -s f back || different=$((different + 1)) different_runs="$different_runs $i" ;;
  esac
  rm -f back
  [ $((i % 500)) = 0 ] && echo "soak: $i runs in $SECONDS s, $failures failed"
done
seconds=$(awk -v a="$begin" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }')
kill $hogs
hogs=

echoed=$(grep -cE '^(CONNECT|PUT|SIZE|LIST|GET|DEL|RNFR|RNTO)' "$server_log")
puts=$(grep -c '^PUT' "$server_log")
missed=$(($(grep -cE 'FAILED|Still trying' "$server_log") + $(grep -cE '^CONNECT *$' "$server_log")))
echo "soak: $runs runs, $((echoed + 2 * puts)) commands ($echoed echoed by the server, and TIME and ATTR after each PUT) in $seconds s"
echo "soak: slowest run $slowest ms; runs over 1.5 s:$(printf '%s\n' $slow | sort | uniq -c | tr -s ' \n' ' ')"
check "no run failed ($failures)" test "$failures" = 0
check "no file differs from its source ($different:$different_runs)" test "$different" = 0
check "the server missed no code ($missed failed exchanges on its console)" test "$missed" = 0
finish
