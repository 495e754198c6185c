#!/usr/bin/env bash
# The simulated server installed set-user-id and set-group-id root (what
# "chmod +s" on a copy root installed leaves) and run by nobody: once the
# port is open its real, effective and saved user and group ids are all
# nobody's, a file it stores belongs to nobody, and a directory only root
# may write stays untouched. With setresuid and setresgid refused (a seccomp
# filter) it refuses to serve. Needs root; skips (status 77) otherwise.
#   privileges.sh <build dir>
[ "$(id -u)" = 0 ] || { echo "skipped: installing a set-user-id root program needs root"; exit 77; }
source "$(dirname "$0")/e2e_lib.sh" "$1"
server=$work/bin/lpxferd-sim
nobody=65534
mkdir -p "$work/bin" "$work/rootonly" "$LPXFER_CABLE_DIR"
install -o root -g root -m 6755 "$build/bin/a/lpxferd-sim" "$server"
chmod 755 "$work" && chmod 777 "$LPXFER_CABLE_DIR" && chown $nobody:$nobody "$remote"

start_server a setpriv --reuid=$nobody --regid=$nobody --clear-groups "$server" 2 || exit 1
check "no rights warning" test -z "$(grep WARNING "$server_log")"
for ids in Uid Gid; do
  got=$(awk -v key=$ids: '$1 == key { print $2, $3, $4, $5 }' "/proc/$server_pid/status")
  check "$ids: all nobody's ($got)" test "$got" = "$nobody $nobody $nobody $nobody"
done
head -c 5000 /dev/urandom >"$work/data"
expect 0 "store a file" put "$work/data" "$remote/data"
check "it belongs to nobody" test "$(stat -c %u:%g "$remote/data")" = $nobody:$nobody
expect 15 "store where only root may write" put "$work/data" "$work/rootonly/data"
check "nothing appeared there" test ! -e "$work/rootonly/data"
stop_server

status=0
timeout 10 "$build/tests/deny_setid" $nobody $nobody "$server" 2 >"$work/refused.log" 2>&1 || status=$?
check "rights that cannot be given back: status 1 ($status)" test $status = 1
check "... the refusal" grep -qF "Failed! -- cannot give back root's rights" "$work/refused.log"
check "... and no service" test -z "$(grep Accepting "$work/refused.log")"
finish
