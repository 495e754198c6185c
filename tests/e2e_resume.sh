#!/usr/bin/env bash
# Broken transfers: a client killed (SIGKILL) in the middle of an upload and
# of a download, in binary and in text mode, after which the server still
# answers and the transfer resumes to byte-identical files; a client stopped
# with Ctrl/C; a resume that does not fit the far side's copy.
#   e2e_resume.sh <build dir>
source "$(dirname "$0")/e2e_lib.sh" "$1"
cd "$work/local" || exit 1

# size_of <file>: its size, 0 when missing.
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }

# wait_size <file> <bytes>: until the file holds that much (at most 60 s).
wait_size() {
  for _ in $(seq 1200); do
    [ "$(size_of "$1")" -ge "$2" ] && return 0
    sleep 0.05
  done
  return 1
}

# wait_log <text> <count>: until the server log holds the text that often.
wait_log() {
  for _ in $(seq 200); do
    [ "$(grep -c -- "$1" "$server_log")" -ge "$2" ] && return 0
    sleep 0.05
  done
  return 1
}

# killed <what> <file to watch> <bytes> <client args...>: starts the client,
# kills it once the file holds the bytes.
killed() {
  local what=$1 watch=$2 bytes=$3
  shift 3
  "$client" -q "$@" >/dev/null 2>&1 &
  local pid=$!
  if wait_size "$watch" "$bytes"; then
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    ok "$what: killed in the middle"
  else
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    not_ok "$what: the transfer did not get going"
  fi
}

start_server a || exit 1
random_file big 120000
text_file text 80000

# Binary upload, killed; the next client (at once, while the server is
# still waiting for the dead one's frame) resumes it.
killed "binary upload" "$remote/big" 40000 put big "$remote/big"
expect_true "binary upload: the stored part is shorter" test "$(size_of "$remote/big")" -lt 120000
"$client" -c put big "$remote/big" >"$work/out" 2>"$work/err"
rc=$?
out=$(cat "$work/out")
expect_true "binary upload: put -c succeeds (status $rc: $(cat "$work/err"))" test "$rc" = 0
expect_text "resuming at byte" out "binary upload: it resumes instead of starting again"
expect_same big "$remote/big" "binary upload: the resumed file is byte-identical"

# Binary download, killed; the target is never created until complete.
killed "binary download" back.lpxpart 40000 get "$remote/big" back
expect_true "binary download: no target after the kill" test ! -e back
expect 0 "binary download: get -c continues" -c get "$remote/big" back
expect_same big back "binary download: the resumed file is byte-identical"
expect_true "binary download: the partial file is gone" test ! -e back.lpxpart

# Text mode, both ways (variant A keeps ISO 8859-15 with LF).
killed "text upload" "$remote/text" 30000 -a put text "$remote/text"
expect 0 "text upload: put -a -c resumes" -a -c put text "$remote/text"
expect_same text "$remote/text" "text upload: the resumed file is byte-identical"
killed "text download" tback.lpxpart 30000 -a get "$remote/text" tback
expect 0 "text download: get -a -c continues" -a -c get "$remote/text" tback
expect_same text tback "text download: the resumed file is byte-identical"

# A client that vanished: the server gives up its exchange and still
# answers the next client.
wait_log "UPLOAD FAILED" 2
wait_log "DOWNLOAD FAILED" 2
expect 0 "the server still answers after clients vanished" connect

# Ctrl/C stops a transfer at a frame boundary; the next put -c finishes it.
"$client" -q put big "$remote/big2" >/dev/null 2>"$work/err" &
pid=$!
wait_size "$remote/big2" 30000
kill -INT "$pid"
status=0
wait "$pid" || status=$?
expect_true "Ctrl/C: the client ends with status 130 (got $status)" test "$status" = 130
expect 0 "Ctrl/C: put -c finishes the upload" -c put big "$remote/big2"
expect_same big "$remote/big2" "Ctrl/C: the finished file is byte-identical"

# Resumes that do not fit: a remote copy that differs where the two
# overlap, and a local partial file longer than the remote file.
random_file other 120000
head -c 60000 big >"$remote/differs"
expect 16 "a remote copy that differs is not resumed" -c put other "$remote/differs"
expect_true "the differing remote copy is left as it was" cmp -s "$remote/differs" <(head -c 60000 big)
head -c 1000 big >"$remote/short"
cp big long.lpxpart
expect 16 "a local part longer than the remote file is not resumed" -c get "$remote/short" long
expect_true "nothing was changed locally" cmp -s big long.lpxpart
finish
