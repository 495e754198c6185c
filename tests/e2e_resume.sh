#!/usr/bin/env bash
# A client stopped with Ctrl/C in the middle of an upload ends with status
# 130, and 'put -c' resumes where the server's copy ends to a byte-identical
# file. (Clients killed outright in either direction: soak.sh.)
#   e2e_resume.sh <build dir>
source "$(dirname "$0")/e2e_lib.sh" "$1"
cd "$work/local" || exit 1
start_server a || exit 1
random_file big 40000
"$client" -q put big "$remote/big" >/dev/null 2>&1 &
pid=$!
for _ in $(seq 600); do [ "$(stat -c %s "$remote/big" 2>/dev/null || echo 0)" -ge 8000 ] && break; sleep 0.05; done
kill -INT $pid
status=0
wait $pid 2>/dev/null || status=$?
check "Ctrl/C in the middle of a put: the client ends with status 130 ($status)" test $status = 130
quiet='' expect 0 "put -c after Ctrl/C" -c put big "$remote/big"
check "it resumes rather than starting again" grep -q "resuming at byte" "$work/out" "$work/err"
check "the finished upload is byte-identical" cmp -s big "$remote/big"
finish
