#!/usr/bin/env bash
# The simulated server installed set-user-id and set-group-id root (what
# "chmod +s" on a copy root installed leaves) and run by nobody: it gives
# the rights back before it opens its cable, so that its real, effective
# and saved user and group ids are all nobody's, the cable is nobody's, a
# file it stores belongs to nobody, and a directory only root may write
# stays untouched. A set-user-id program reads no LPXFER_CABLE_DIR (here
# one only root may write): server and client, the client installed
# set-user-id root too, meet on nobody's default cable. With setresuid and
# setresgid refused (a seccomp filter) the server refuses to serve and opens
# no cable. With --device a plain copy, no set-user-id bit, serves as nobody
# a port nobody may open (the test build whose ppdev calls land on a cable
# file). Needs root; skips (status 77) otherwise.
#   privileges.sh <build dir>
[ "$(id -u)" = 0 ] || { echo "skipped: installing a set-user-id root program needs root"; exit 77; }
source "$(dirname "$0")/e2e_lib.sh" "$1"
server=$work/bin/lpxferd-sim
nobody=65534
cable=/tmp/lpxfer-cable-$nobody
mkdir -p "$work/bin" "$work/rootonly"
install -o root -g root -m 6755 "$build/bin/a/lpxferd-sim" "$server"
install -o root -g root -m 4755 "$client" "$work/bin/lpxfer-sim"
chmod 755 "$work" && chown $nobody:$nobody "$remote"
rm -rf "$cable"
export LPXFER_CABLE_DIR=$work/rootonly/cable

start_server a setpriv --reuid=$nobody --regid=$nobody --clear-groups "$server" 2 || exit 1
check "no rights warning" test -z "$(grep WARNING "$server_log")"
for ids in Uid Gid; do
  got=$(awk -v key=$ids: '$1 == key { print $2, $3, $4, $5 }' "/proc/$server_pid/status")
  check "$ids: all nobody's ($got)" test "$got" = "$nobody $nobody $nobody $nobody"
done
got=$(stat -c '%u %a' "$cable" "$cable/lpt2" | xargs)
check "the cable is nobody's default one, 0700 and 0600 ($got)" test "$got" = "$nobody 700 $nobody 600"
check "the set-user-id client meets it there" setpriv --reuid=$nobody --regid=$nobody --clear-groups "$work/bin/lpxfer-sim" -q connect
LPXFER_CABLE_DIR=$cable
head -c 5000 /dev/urandom >"$work/data"
expect 0 "store a file" put "$work/data" "$remote/data"
check "it belongs to nobody" test "$(stat -c %u:%g "$remote/data")" = $nobody:$nobody
expect 15 "store where only root may write" put "$work/data" "$work/rootonly/data"
check "nothing appeared there" test -z "$(ls -A "$work/rootonly")"
stop_server

rm -rf "$cable"
refused 1 "Failed! -- cannot give back root's rights; refusing to serve files as root." \
  "$build/tests/deny_setid" $nobody $nobody "$server" 2
check "... no service and no cable opened" test -z "$(grep Accepting "$work/refused.log")" \
  -a ! -e "$cable" -a -z "$(ls -A "$work/rootonly")"
# --device: no root needed, none taken, no advice to borrow it.
dev=$work/device
install -d -o $nobody -g $nobody -m 700 "$dev"  # the server, as nobody, makes its cable in it
install -m 755 "$build/tests/ppdev_cable" "$work/bin/ppdev_cable"  # no set-user-id bit
LPXFER_CABLE_DIR=$dev start_server device setpriv --reuid=$nobody --regid=$nobody --clear-groups \
  "$work/bin/ppdev_cable" --device "$dev/lpt2" || exit 1
check "device: no rights warning" test -z "$(grep WARNING "$server_log")"
got=$(awk '$1 == "Uid:" { print $2, $3, $4, $5 }' "/proc/$server_pid/status")
check "device: Uid all nobody's ($got)" test "$got" = "$nobody $nobody $nobody $nobody"
LPXFER_CABLE_DIR=$dev expect 0 "device: store a file" put "$work/data" "$remote/device-data"
check "... byte for byte" cmp -s "$work/data" "$remote/device-data"
check "... owned by nobody" test "$(stat -c %u "$remote/device-data")" = $nobody
stop_server
finish
