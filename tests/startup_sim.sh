#!/usr/bin/env bash
# Start-up over the simulated cable, two processes: the server finds a peer
# that raises its busy line on LPT2, and ends on SIGINT and on SIGTERM with
# the right lines and statuses. The hardware build, run without the rights
# to the port, warns and fails.
#   startup_sim.sh <build dir>
set -u
build=$1
server=$build/bin/a/lpxferd-sim
poke=$build/tests/cable_poke
work=$(mktemp -d /tmp/lpx-startup.XXXXXX)
trap 'kill $pid 2>/dev/null; rm -rf "$work"' EXIT
export LPXFER_CABLE_DIR=$work/cable LPXFER_CABLE_NS=0
fail=0
check() {  # check <file> <text> <what>
  if grep -qF -- "$2" "$1"; then echo "ok: $3"; else echo "FAILED: $3"; echo "--- $1:"; cat "$1"; fail=1; fi
}

wait_for() {  # wait_for <file> <text>: up to 20 s
  for _ in $(seq 200); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

run_case() {  # run_case <signal> <expected status> <expected line>
  local sig=$1 want=$2 line=$3 log=$work/server-$1.log
  rm -rf "$LPXFER_CABLE_DIR"
  "$poke" 2 16 || { echo "FAILED: cable_poke"; fail=1; return; }
  "$server" >"$log" 2>&1 &
  pid=$!
  wait_for "$log" "Accepting connections" || true
  "$poke" 2 0
  check "$log" "Accepting connections through port LPT2, port addr 0x378" "$sig: discovery finds LPT2"
  sleep 0.3
  kill -s "$sig" "$pid"
  wait "$pid"
  local status=$?
  check "$log" "$line" "$sig: console line"
  if [ "$status" = "$want" ]; then echo "ok: $sig: exit status $want"; else echo "FAILED: $sig: exit status $status, wanted $want"; fail=1; fi
}

run_case INT 0 "*** You pressed Ctrl/C"
check "$work/server-INT.log" "DISCONNECT" "INT: DISCONNECT line"
run_case TERM 0 "*** Signal 15 received"

hw=$build/bin/a/lpxferd
if [ -x "$hw" ]; then
  log=$work/hw.log
  if [ "$(id -u)" = 0 ]; then
    # Run it as an ordinary user, so that it has no rights to the port.
    setpriv --reuid=65534 --regid=65534 --clear-groups "$hw" >"$log" 2>&1
  else
    "$hw" >"$log" 2>&1
  fi
  status=$?
  check "$log" "WARNING:" "hardware build warns without the rights"
  check "$log" "Failed! -- no response on any port." "hardware build fails without the rights"
  if [ "$status" = 1 ]; then echo "ok: hardware exit status 1"; else echo "FAILED: hardware exit status $status"; fail=1; fi
fi
exit $fail
