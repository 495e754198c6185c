#!/usr/bin/env bash
# Interrupted-transfer soak: one simulated server, many transfers, each
# interrupted at a random moment and then resumed with the client's -c.
# Uploads and downloads, binary and text, take turns; odd transfers are
# killed (SIGKILL) outright, even ones are first stopped (SIGSTOP) for 3 s,
# longer than the server waits for a silent peer, and then killed. Every
# file must end byte-identical, and the server's count of open file
# descriptors must not grow.
#   soak.sh <build dir> [transfers] [largest file]
#     (defaults 200 transfers of 5,000 to 150,000 bytes; LPX_SOAK_SEED fixes
#     the random choices)
set -u
build=$(cd "$1" && pwd)
transfers=${2:-200}
largest=${3:-150000}
seed=${LPX_SOAK_SEED:-$$}
RANDOM=$seed
client=$build/bin/lpxfer-sim
server=$build/bin/a/lpxferd-sim
work=$(mktemp -d /tmp/lpx-soak.XXXXXX)
remote=$work/remote
local=$work/local
mkdir -p "$remote" "$local" "$work/src"
# The cable at its default cost of 1 us per access, as on the ISA bus. At no
# cost (LPXFER_CABLE_NS=0) a server's burst of 9,999 status reads lasts
# some 30 us, and a client that is not polling at that moment costs a 100 ms
# pause per handshake step: a few hundred bytes a second on a busy machine.
export LPXFER_CABLE_DIR=$work/cable LPXFER_CABLE_NS=${LPXFER_CABLE_NS:-1000} LC_ALL=C
pid=
cleanup() {
  if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

fds() { ls "/proc/$pid/fd" 2>/dev/null | wc -l; }

# random_between <low> <high>
random_between() { echo $(($1 + (RANDOM * 32768 + RANDOM) % ($2 - $1 + 1))); }

# make_file <path> <bytes> <text 0|1>: random bytes, or ASCII lines with LF.
make_file() {
  if [ "$3" = 1 ]; then
    head -c "$2" /dev/urandom | base64 -w 0 | fold -w 61 | head -c "$2" >"$1"
  else
    head -c "$2" /dev/urandom >"$1"
  fi
}

log=$work/server.log
"$server" 2 >"$log" 2>&1 &
pid=$!
for _ in $(seq 200); do
  grep -q "Accepting connections" "$log" 2>/dev/null && break
  sleep 0.05
done
if ! "$client" -q connect >/dev/null 2>&1; then
  echo "FAILED: the server does not answer"
  cat "$log"
  exit 1
fi
baseline=$(fds)
most=$baseline
echo "soak: $transfers transfers, seed $seed, server fds at start: $baseline"

start=$(date +%s)
passed=0
failed=0
killed=0
stopped=0
finished_early=0
retries=0
for i in $(seq "$transfers"); do
  kind=$((i % 4))  # 0 put, 1 get, 2 put text, 3 get text
  text=$((kind / 2))
  mode=()
  [ "$text" = 1 ] && mode=(-a)
  size=$(random_between 5000 "$largest")
  name=f$i
  if [ $((kind % 2)) = 0 ]; then
    make_file "$work/src/$name" "$size" "$text"
    args=(put "$work/src/$name" "$remote/$name")
    source=$work/src/$name
    result=$remote/$name
  else
    make_file "$remote/$name" "$size" "$text"
    args=(get "$remote/$name" "$local/")
    source=$remote/$name
    result=$local/$name
  fi

  "$client" -q "${mode[@]}" "${args[@]}" >/dev/null 2>&1 &
  victim=$!
  delay=$(random_between 20 700)
  sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
  if ! kill -0 "$victim" 2>/dev/null; then
    finished_early=$((finished_early + 1))
  elif [ $((i % 2)) = 1 ]; then
    kill -KILL "$victim" 2>/dev/null && killed=$((killed + 1))
  else
    kill -STOP "$victim" 2>/dev/null && stopped=$((stopped + 1))
    sleep 3
    kill -KILL "$victim" 2>/dev/null
  fi
  wait "$victim" 2>/dev/null

  ok=0
  for try in 1 2 3; do
    if "$client" -q -c "${mode[@]}" "${args[@]}" >"$work/out" 2>&1 && cmp -s "$source" "$result"; then
      ok=1
      break
    fi
    retries=$((retries + 1))
    echo "transfer $i (${args[0]}, text $text, $size bytes), resume try $try: $(cat "$work/out")"
  done
  if [ "$ok" = 1 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: transfer $i (${args[0]}, text $text, $size bytes) does not end identical"
  fi
  now=$(fds)
  [ "$now" -gt "$most" ] && most=$now
  if [ $((i % 10)) = 0 ]; then
    echo "soak: $i transfers in $(($(date +%s) - start)) s, $passed identical, server fds $now"
  fi
  rm -f "$work/src/$name" "$remote/$name" "$local/$name" "$local/$name.lpxpart"
done
elapsed=$(($(date +%s) - start))

fd_end=$(fds)
kill -INT "$pid"
wait "$pid"
status=$?
pid=
echo "soak: $transfers transfers in $elapsed s: $killed killed, $stopped stopped then killed," \
  "$finished_early done before the interruption; $retries resume retries"
echo "soak: server fds at start $baseline, at most $most, at the end $fd_end"
if [ "$most" -gt "$baseline" ]; then
  echo "FAILED: the server's open file descriptors grew"
  failed=$((failed + 1))
fi
if [ "$status" != 0 ] || ! grep -q DISCONNECT "$log"; then
  echo "FAILED: the server ended with status $status"
  failed=$((failed + 1))
fi
echo "soak: $passed passed, $failed failed"
[ "$failed" = 0 ]
