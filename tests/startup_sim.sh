#!/usr/bin/env bash
# Start-up over the simulated cable, two processes: the server finds a peer
# that raises its busy line on LPT2 (with no argument, and with an empty
# one), and ends on SIGINT and on SIGTERM with the right lines and statuses.
# The hardware build, run without the rights to the port, warns and fails;
# given a device that is none, it says so.
#   startup_sim.sh <build dir>
export LPXFER_CABLE_NS=0
source "$(dirname "$0")/e2e_lib.sh" "$1"

# found_then <signal> <console line> [server argument]
found_then() {
  local sig=$1 line=$2 status=0
  shift 2
  "$build/tests/cable_poke" 2 16
  start_server "$sig" "$build/bin/a/lpxferd-sim" "$@"
  "$build/tests/cable_poke" 2 0
  check "$sig: discovery finds LPT2" grep -qF "port LPT2, port addr 0x378" "$server_log"
  sleep 0.3
  kill -s "$sig" "$server_pid"
  wait "$server_pid" || status=$?
  server_pid=
  check "$sig: $line" grep -qF -- "$line" "$server_log"
  check "$sig: status $status" test "$status" = 0
}
found_then INT "*** You pressed Ctrl/C"
check "INT: DISCONNECT" grep -q DISCONNECT "$server_log"
found_then TERM "*** Signal 15 received" ""

if [ -x "$build/bin/a/lpxferd" ]; then
  as_user=()
  [ "$(id -u)" = 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  status=0
  "${as_user[@]}" "$build/bin/a/lpxferd" >"$work/hw.log" 2>&1 || status=$?
  check "hardware build without the rights: a warning" grep -q WARNING "$work/hw.log"
  check "... the failure line" grep -qF "Failed! -- no response on any port." "$work/hw.log"
  check "... and status 1 ($status)" test "$status" = 1
  # --device on no device and on a plain file: one line that says so.
  for dev in /nonexistent "$work/hw.log"; do
    status=0
    "$build/bin/a/lpxferd" --device "$dev" >"$work/dev.log" 2>&1 || status=$?
    said=$(grep -E "^Failed! -- (no $dev: is the parport_pc module|$dev is not a parallel port)" "$work/dev.log")
    check "--device $dev: a clear line, status 1 ($status)" test -n "$said" -a "$status" = 1
  done
fi
finish
