#!/usr/bin/env bash
# The simulated server installed set-user-id and set-group-id root, as
# "chmod +s" on a copy that root installed leaves it, and run by an
# unprivileged user: once the port is open its real, effective and saved
# user and group ids are all the user's, a file it stores belongs to the
# user, and a directory only root may write stays untouched. With the calls
# that give the rights back refused (a seccomp filter), it refuses to serve.
# Needs root; skips (status 77) otherwise.
#   privileges.sh <build dir>
set -u
build=$(cd "$1" && pwd)
if [ "$(id -u)" != 0 ]; then
  echo "skipped: installing a set-user-id root program needs root"
  exit 77
fi
user=65534
group=65534
work=$(mktemp -d /tmp/lpx-priv.XXXXXX)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
# mktemp gives 700; the user must reach the program and its directories.
chmod 755 "$work"
mkdir -p "$work/bin" "$work/store" "$work/rootonly" "$work/cable"
cp "$build/bin/a/lpxferd-sim" "$work/bin/"
chown root:root "$work/bin/lpxferd-sim"
chmod 6755 "$work/bin/lpxferd-sim"
chown "$user:$group" "$work/store"
chmod 777 "$work/cable"
chmod 755 "$work/rootonly"
export LPXFER_CABLE_DIR=$work/cable LPXFER_CABLE_NS=1000 LC_ALL=C

failed=0
ok() { echo "ok: $*"; }
not_ok() {
  echo "FAILED: $*"
  failed=1
}

# wait_for <file> <text>: up to 10 s.
wait_for() {
  for _ in $(seq 200); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

# ids_of <pid> <Uid|Gid>: the four ids of the status line.
ids_of() { awk -v key="$2:" '$1 == key { print $2, $3, $4, $5 }' "/proc/$1/status"; }

log=$work/server.log
setpriv --reuid=$user --regid=$group --clear-groups "$work/bin/lpxferd-sim" 2 >"$log" 2>&1 &
pid=$!
if ! wait_for "$log" "Accepting connections"; then
  not_ok "the set-user-id server did not start"
  cat "$log"
  exit 1
fi
if grep -q "WARNING" "$log"; then not_ok "a set-user-id root server warns"; else ok "no rights warning"; fi
want="$user $user $user $user"
got=$(ids_of "$pid" Uid)
if [ "$got" = "$want" ]; then ok "user ids once the port is open: $got"; else not_ok "user ids: $got, wanted $want"; fi
want="$group $group $group $group"
got=$(ids_of "$pid" Gid)
if [ "$got" = "$want" ]; then ok "group ids once the port is open: $got"; else not_ok "group ids: $got, wanted $want"; fi

head -c 10000 /dev/urandom >"$work/data"
if "$build/bin/lpxfer-sim" -q put "$work/data" "$work/store/data" >"$work/out" 2>&1 &&
  cmp -s "$work/data" "$work/store/data"; then
  ok "upload into the user's directory"
else
  not_ok "upload into the user's directory"
  cat "$work/out"
fi
owner=$(stat -c %u:%g "$work/store/data" 2>/dev/null)
if [ "$owner" = "$user:$group" ]; then ok "the stored file belongs to the user ($owner)"; else not_ok "the stored file belongs to $owner"; fi
if "$build/bin/lpxfer-sim" -q put "$work/data" "$work/rootonly/data" >"$work/out" 2>&1; then
  not_ok "an upload into a directory only root may write succeeded"
elif [ -e "$work/rootonly/data" ]; then
  not_ok "a file appeared in a directory only root may write"
else
  ok "an upload into a directory only root may write is refused"
fi
kill -INT "$pid"
wait "$pid"
status=$?
pid=
if [ "$status" = 0 ]; then ok "Ctrl/C ends the server with status 0"; else not_ok "server status $status"; fi

# The rights cannot be given back: the server must not serve.
log=$work/refused.log
"$build/tests/deny_setid" $user $group "$work/bin/lpxferd-sim" 2 >"$log" 2>&1 &
pid=$!
for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
if kill -0 "$pid" 2>/dev/null; then
  not_ok "the server still runs although its rights could not be given back"
  cat "$log"
else
  wait "$pid"
  status=$?
  pid=
  if [ "$status" = 1 ] && grep -qF "Failed! -- cannot give back root's rights" "$log" &&
    ! grep -q "Accepting connections" "$log"; then
    ok "refuses to serve when the rights cannot be given back (status 1)"
  else
    not_ok "refusal: status $status"
    cat "$log"
  fi
fi
exit $failed
