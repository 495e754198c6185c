#!/usr/bin/env bash
# Interrupted-transfer soak: one simulated server, many transfers, each
# interrupted at a random moment and then resumed with the client's -c.
# Uploads and downloads, binary and text, take turns; four in a row are
# killed (SIGKILL) outright, the next four first stopped (SIGSTOP) for 3 s,
# longer than the server waits for a silent peer, and then killed, so that
# eight transfers try every pairing. Every file must end byte-identical, and
# the server's count of open file descriptors must not grow.
#   soak.sh <build dir> [transfers] [largest file]
#     (defaults 200 transfers of 5,000 to 150,000 bytes; LPX_SOAK_SEED fixes
#     the random choices)
source "$(dirname "$0")/e2e_lib.sh" "$1"
transfers=${2:-200}
largest=${3:-150000}
seed=${LPX_SOAK_SEED:-$$}
RANDOM=$seed
fds() { ls "/proc/$server_pid/fd" | wc -l; }
start_server a || exit 1
expect 0 "the server answers" connect
baseline=$(fds)
most=$baseline
early=0 modes=(-b -b -a -a)
echo "soak: $transfers transfers, seed $seed, server fds at start: $baseline"
for i in $(seq "$transfers"); do
  kind=$((i % 4)) # 0 put, 1 get, 2 put text, 3 get text
  mode=${modes[kind]}
  size=$((5000 + (RANDOM * 32768 + RANDOM) % (largest - 4999)))
  op=put source=$work/local/f$i result=$remote/f$i
  [ $((kind % 2)) = 1 ] && op=get source=$remote/f$i result=$work/local/f$i
  if [ $mode = -a ]; then text_file "$source" "$size"; else random_file "$source" "$size"; fi
  "$client" -q $mode $op "$source" "$result" >/dev/null 2>&1 &
  victim=$!
  sleep "0.$((100 + RANDOM % 700))"
  if kill -0 $victim 2>/dev/null; then
    [ $((i / 4 % 2)) = 1 ] && kill -STOP $victim && sleep 3
    kill -KILL $victim
  else
    early=$((early + 1))
  fi
  wait $victim 2>/dev/null
  for try in 1 2 3 none; do
    [ $try = none ] && break
    "$client" -q -c $mode $op "$source" "$result" >"$work/out" 2>&1 && cmp -s "$source" "$result" && break
    echo "transfer $i ($op $mode $size bytes), resume try $try: $(cat "$work/out")"
  done
  check "transfer $i ($op $mode $size bytes) resumed to an identical file" test $try != none
  now=$(fds)
  [ "$now" -gt "$most" ] && most=$now
  [ $((i % 10)) = 0 ] && echo "soak: $i transfers in $SECONDS s, server fds $now"
  rm -f "$source" "$result" "$result.lpxpart"
done
echo "soak: $early of $transfers done before the interruption"
check "the server's open files did not grow: $baseline at start, at most $most" test "$most" -le "$baseline"
finish
