#!/usr/bin/env bash
# Start-up over the simulated cable, two processes: the server, given no
# argument, finds a peer that raises its busy line on LPT2, and ends on
# SIGTERM with its line and status 0. (An empty argument: StartupTest;
# SIGINT ends every e2e script's server.)
# The hardware build, run without the rights to the port, warns and fails;
# given a device that is none, it says so.
#   startup_sim.sh <build dir>
export LPXFER_CABLE_NS=0
source "$(dirname "$0")/e2e_lib.sh" "$1"

"$build/tests/cable_poke" 2 16
start_server TERM "$build/bin/a/lpxferd-sim"
"$build/tests/cable_poke" 2 0
check "discovery finds LPT2" grep -qF "port LPT2, port addr 0x378" "$server_log"
sleep 0.3
kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=
check "SIGTERM: its line, status 0 ($status)" test "$status" = 0 -a -n "$(grep -F '*** Signal 15 received' "$server_log")"

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
