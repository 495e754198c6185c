# shellcheck shell=bash
# Shared steps of the tests over the simulated cable: a work directory with
# its own cable, a server started and stopped, the client run and checked.
#   source e2e_lib.sh <build dir>
set -u
build=$(cd "$1" && pwd)
client=$build/bin/lpxfer-sim
quiet=-q
work=$(mktemp -d /tmp/lpx-e2e.XXXXXX)
remote=$work/remote
mkdir -p "$remote" "$work/local"
# 1 µs per access, as on the ISA bus: the server polls in bursts of about
# 10 ms. At no cost a burst lasts some 30 µs, and a client that is not on a
# core at that moment (the machine is shared) costs a 100 ms pause a step.
export LPXFER_CABLE_DIR=$work/cable LPXFER_CABLE_NS=${LPXFER_CABLE_NS:-1000} LC_ALL=C
server_pid=
passed=0
failed=0
trap 'if [ -n "$server_pid" ]; then kill -KILL "$server_pid"; wait "$server_pid"; fi 2>/dev/null; rm -rf "$work"' EXIT

# check <what> <command...>: one check; it passes when the command succeeds.
check() {
  if "${@:2}"; then passed=$((passed + 1)) && echo "ok: $1" && return; fi
  failed=$((failed + 1)) && echo "FAILED: $1" && return 1
}

# wait_for <file> <text>: until the file holds the text (at most 10 s).
wait_for() {
  for _ in $(seq 200); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  return 1
}

# start_server <name> [command...]: starts the simulated server of variant
# <name> on LPT2, or the command given, its console in $work/server-<name>.log,
# and waits until it accepts connections.
start_server() {
  server_log=$work/server-$1.log
  [ $# = 1 ] && set -- "$1" "$build/bin/$1/lpxferd-sim" 2
  "${@:2}" >"$server_log" 2>&1 &
  server_pid=$!
  check "server $1 starts" wait_for "$server_log" "Accepting connections" || cat "$server_log"
}

# stop_server [signal line]: Ctrl/C (or that signal); the server logs
# DISCONNECT (or that line) and ends with status 0.
stop_server() {
  local signal=${1:-INT} line=${2:-DISCONNECT} status=0
  kill -"$signal" "$server_pid"
  wait "$server_pid" || status=$?
  server_pid=
  check "SIG$signal ends the server with \"$line\", status 0 ($status)" test "$status" = 0 -a -n "$(grep -F -- "$line" "$server_log")"
}

# expect <status> <what> <client args...>: runs the client (its output in
# $work/out and $work/err, both kept in $work/transcript) and checks its status.
expect() {
  local want=$1 what=$2 rc=0
  shift 2
  "$client" $quiet "$@" >"$work/out" 2>"$work/err" || rc=$?
  echo "$* -> $rc" | cat - "$work/out" "$work/err" >>"$work/transcript"
  check "$what (status $rc)" test "$rc" = "$want" || cat "$work/out" "$work/err"
}

# refused <status> <line> <command...>: the command (at most 10 s) ends with
# that status and prints that whole line; its output stays in $work/refused.log.
refused() {
  local status=0
  timeout 10 "${@:3}" >"$work/refused.log" 2>&1 || status=$?
  check "status $1 ($status), \"$2\"" test "$status" = "$1" -a -n "$(grep -xF -- "$2" "$work/refused.log")"
}

# random_file <path> <bytes>
random_file() { head -c "$2" /dev/urandom >"$1"; }

# text_file <path> <bytes>: ISO 8859-15 text with LF line ends, the euro
# sign (0xA4) and accented letters, no CR and no bytes 0x80..0x9F.
text_file() { head -c $(($2 * 3)) /dev/urandom | tr -dc 'a-zA-Z0-9 .,;\n\244\300-\377' | head -c "$2" >"$1"; }

# The name "café € Öl" in ISO 8859-15 and in UTF-8.
latin=$(printf 'caf\351 \244 \326l')
utf8=$(printf 'caf\303\251 \342\202\254 \303\226l')

# session <variant>: every command once against that variant's server, with
# names carrying the euro sign and accented letters typed in both character
# sets, one error reply and one local error; then Ctrl/C ends the server.
session() {
  local v=$1 name=$latin
  [ "$v" = c ] && name=$utf8
  rm -rf "${remote:?}"/* "$work"/local/*
  cd "$work/local" && printf 'euro\n' >data && touch -d '2024-03-05 06:07:08' data
  start_server "$v" || return
  expect 0 "$v: connect" connect
  expect 0 "$v: mkdir" --charset=utf8 mkdir "$remote/$utf8.d"
  expect 0 "$v: put" --charset=latin9 put data "$remote/$latin.d/$latin"
  check "$v: stored under the server's name" cmp -s data "$remote/$name.d/$name"
  expect 0 "$v: ls" --charset=utf8 ls "$remote/$utf8.d"
  check "$v: the file's row" grep -qF -- "---a            5  2024-03-05 06:07:08  $utf8" "$work/out"
  expect 0 "$v: get" --charset=utf8 get "$remote/$utf8.d/$utf8" back
  check "$v: fetched with its time" test "$(stat -c %Y back)" = "$(stat -c %Y data)" -a "$(cat back)" = euro
  expect 0 "$v: rename" --charset=latin9 rename "$remote/$latin.d/$latin" "$remote/$latin.d/x"
  expect 0 "$v: rm" --charset=utf8 rm "$remote/$utf8.d/x"
  expect 0 "$v: rmdir" --charset=utf8 rmdir "$remote/$utf8.d"
  check "$v: all gone" test -z "$(ls -A "$remote")"
  expect 10 "$v: get a missing remote file" get "$remote/none"
  expect 2 "$v: put a missing local file" put none "$remote/none"
  stop_server
}

finish() {
  if [ -n "$server_pid" ]; then stop_server; fi
  if [ "$failed" != 0 ]; then tail -n 30 "$work"/server-*.log 2>/dev/null; fi
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
}
