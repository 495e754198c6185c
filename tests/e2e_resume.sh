#!/usr/bin/env bash
# Broken transfers: a client killed (SIGKILL) in the middle of an upload and
# of a download, after which the next client resumes at once to a
# byte-identical file; a client stopped with Ctrl/C, whose upload 'put -c'
# finishes.
#   e2e_resume.sh <build dir>
source "$(dirname "$0")/e2e_lib.sh" "$1"
cd "$work/local" || exit 1

# broken <signal> <file to watch> <client args...>: starts the client and
# sends it the signal once the file holds 8,000 bytes; its status in $status.
broken() {
  local sig=$1 watch=$2
  shift 2
  "$client" -q "$@" >/dev/null 2>&1 &
  local pid=$! n=0
  while [ "$(stat -c %s "$watch" 2>/dev/null || echo 0)" -lt 8000 ] && [ $n -lt 600 ]; do
    sleep 0.05
    n=$((n + 1))
  done
  kill -s "$sig" $pid
  status=0
  wait $pid 2>/dev/null || status=$?
  check "$* broken by SIG$sig in the middle ($status)" test $n -lt 600 -a $status != 0
}

start_server a || exit 1
random_file big 40000
broken KILL "$remote/big" put big "$remote/big"
quiet='' expect 0 "put -c" -c put big "$remote/big"
check "it resumes rather than starting again" grep -q "resuming at byte" "$work/out" "$work/err"
check "the resumed upload is byte-identical" cmp -s big "$remote/big"
broken KILL back.lpxpart get "$remote/big" back
expect 0 "get -c" -c get "$remote/big" back
check "the resumed download is byte-identical" cmp -s big back
broken INT "$remote/big2" put big "$remote/big2"
check "Ctrl/C: the client ends with status 130" test $status = 130
expect 0 "put -c after Ctrl/C" -c put big "$remote/big2"
check "the finished upload is byte-identical" cmp -s big "$remote/big2"
finish
