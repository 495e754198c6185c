# Shared helpers of the end-to-end tests: a simulated server and the client
# on a cable in a temporary directory of their own. Every remote path the
# tests use lies inside that directory.
#   source e2e_lib.sh <build dir>
set -u
build=$(cd "$1" && pwd)
client=$build/bin/lpxfer-sim
work=$(mktemp -d /tmp/lpx-e2e.XXXXXX)
remote=$work/remote
mkdir -p "$remote" "$work/local"
# The default access cost of 1 µs, as on the ISA bus: the server then polls
# in bursts of about 10 ms, as on real hardware. At no cost a burst lasts
# some 30 µs, and a client that is not on a core at that moment (the machine
# is shared) costs the server a 100 ms pause per handshake step.
export LPXFER_CABLE_DIR=$work/cable LPXFER_CABLE_NS=1000
# The C locale: the client takes ISO 8859-15 unless told otherwise.
export LC_ALL=C
server_pid=
passed=0
failed=0

cleanup() {
  if [ -n "$server_pid" ]; then kill -KILL "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

ok() { passed=$((passed + 1)); echo "ok: $*"; }
not_ok() { failed=$((failed + 1)); echo "FAILED: $*"; }

# start_server <variant a|b|c>: starts the simulated server on LPT2 and waits
# until it accepts connections.
start_server() {
  server_log=$work/server-$1.log
  "$build/bin/$1/lpxferd-sim" 2 >"$server_log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    grep -q "Accepting connections" "$server_log" 2>/dev/null && return 0
    sleep 0.05
  done
  not_ok "server $1 did not start"
  cat "$server_log"
  return 1
}

# stop_server: Ctrl/C; the server must log DISCONNECT and end with status 0.
stop_server() {
  local status=0
  if ! kill -INT "$server_pid" 2>/dev/null; then
    echo "the server had ended before"
  fi
  wait "$server_pid" || status=$?
  server_pid=
  if [ "$status" = 0 ] && grep -q "DISCONNECT" "$server_log"; then
    ok "SIGINT ends the server with DISCONNECT and status 0"
  else
    not_ok "SIGINT: server status $status"
    cat "$server_log"
  fi
}

# run <args...>: the client, quiet, its output in $out and $err, status in $rc.
run() {
  rc=0
  "$client" -q "$@" >"$work/out" 2>"$work/err" || rc=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}

# expect <status> <what> <client args...>
expect() {
  local want=$1 what=$2
  shift 2
  run "$@"
  if [ "$rc" = "$want" ]; then
    ok "$what"
  else
    not_ok "$what: status $rc, wanted $want"
    echo "  stdout: $out"
    echo "  stderr: $err"
  fi
}

# expect_text <text> <where: out|err> <what>: the last run printed text.
expect_text() {
  local text=$1 where=$2 what=$3 got
  if [ "$where" = out ]; then got=$out; else got=$err; fi
  if printf '%s' "$got" | grep -qF -- "$text"; then
    ok "$what"
  else
    not_ok "$what: \"$text\" not in $where"
    echo "  $where: $got"
  fi
}

# expect_same <file a> <file b> <what>
expect_same() {
  if cmp -s "$1" "$2"; then ok "$3"; else not_ok "$3: $1 and $2 differ"; fi
}

# expect_true <what> <test...>
expect_true() {
  local what=$1
  shift
  if "$@"; then ok "$what"; else not_ok "$what"; fi
}

# random_file <path> <bytes>
random_file() { head -c "$2" /dev/urandom >"$1"; }

# text_file <path> <bytes>: ISO 8859-15 text with LF line ends, the euro
# sign (0xA4) and accented letters, no CR and no bytes 0x80..0x9F.
text_file() {
  head -c $(($2 * 3)) /dev/urandom |
    LC_ALL=C tr -dc 'a-zA-Z0-9 .,;\n\244\300-\377' | head -c "$2" >"$1"
}

finish() {
  [ -n "$server_pid" ] && stop_server
  if [ "$failed" != 0 ]; then
    for log in "$work"/server-*.log; do
      echo "--- last lines of $log:"
      tail -n 30 "$log"
    done
  fi
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
}
