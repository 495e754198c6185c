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

# The client's end of LPT2 (offset 1 of its cable file) raises its busy line.
(umask 077 && mkdir "$LPXFER_CABLE_DIR" && head -c 64 /dev/zero >"$LPXFER_CABLE_DIR/lpt2")
poke() { printf "$1" | dd of="$LPXFER_CABLE_DIR/lpt2" bs=1 seek=1 conv=notrunc status=none; }
poke '\020'
start_server TERM "$build/bin/a/lpxferd-sim"
poke '\000'
check "discovery finds LPT2" grep -qF "port LPT2, port addr 0x378" "$server_log"
sleep 0.3
stop_server TERM "*** Signal 15 received"

if [ -x "$build/bin/a/lpxferd" ]; then
  as_user=()
  [ "$(id -u)" = 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  refused 1 "Failed! -- no response on any port." "${as_user[@]}" "$build/bin/a/lpxferd"
  check "hardware build without the rights: a warning" grep -q WARNING "$work/refused.log"
  # --device on no device and on a plain file: one line that says so.
  refused 1 "Failed! -- no /nonexistent: is the parport_pc module loaded? (modprobe parport_pc ppdev)" \
    "$build/bin/a/lpxferd" --device /nonexistent
  refused 1 "Failed! -- $server_log is not a parallel port device (give one such as /dev/parport0)" \
    "$build/bin/a/lpxferd" --device "$server_log"
fi
finish
