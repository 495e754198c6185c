#!/usr/bin/env bash
# Two local users and the simulated cable. The first user's server makes a
# cable (0700 directory, 0600 file) that the second user can neither open
# (the client refuses it, naming it), read, write nor replace; the first
# user's own client and root may use it. A cable directory the second user
# prepared is refused. (A symbolic link in place of the cable file, and
# every other state of the cable: CableTest.PrivateToItsUser.) Needs root
# to switch users; skips (status 77) otherwise.
#   cable_users.sh <build dir>
[ "$(id -u)" = 0 ] || { echo "skipped: switching between two users needs root"; exit 77; }
source "$(dirname "$0")/e2e_lib.sh" "$1"
one=65533 two=65534  # by number: no accounts are needed
first=(setpriv --reuid=$one --regid=$one --clear-groups)
second=(setpriv --reuid=$two --regid=$two --clear-groups)
chmod 711 "$work" && chown $one:$one "$remote"
install -d -o $one -g $one -m 755 "$work/one"
export LPXFER_CABLE_DIR=$work/one/cable cable=$work/one/cable
fails() { ! "$@" >/dev/null 2>&1; }

start_server a "${first[@]}" "$build/bin/a/lpxferd-sim" 2 || exit 1
got=$(stat -c '%u %a' "$cable" "$cable/lpt2" | xargs)
check "the cable is the first user's, 0700 and 0600 ($got)" test "$got" = "$one 700 $one 600"
check "the first user's client connects" "${first[@]}" "$client" -q connect
check "so does root's" "$client" -q connect
refused 3 "lpxfer: cannot open LPT2: access refused: the cable directory $cable belongs to another user (uid $one)" \
  "${second[@]}" "$client" -q connect
check "the second user cannot read the cable" fails "${second[@]}" cat "$cable/lpt2"
check "... write it" fails "${second[@]}" sh -c 'printf x >"$1"' - "$cable/lpt2"
check "... nor replace it" fails "${second[@]}" ln -sf "$work" "$cable/lpt2"
stop_server

install -d -o $two -g $two -m 777 "$work/trap"
LPXFER_CABLE_DIR=$work/trap refused 1 "Access refused: the cable directory $work/trap belongs to another user (uid $two)" \
  "${first[@]}" "$build/bin/a/lpxferd-sim" 2
check "... nothing made in it" test -z "$(ls -A "$work/trap")"
finish
