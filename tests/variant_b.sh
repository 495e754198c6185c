#!/usr/bin/env bash
# Variant B: both of its programs are statically linked (when the build
# links B statically), and its simulated server behaves exactly like
# variant A's: the same client session against each, on a cable of its own,
# gives the same client output, the same stored files and the same console
# log (paths aside).
#   variant_b.sh <build dir> <1 when B is linked statically, else 0>
set -u
build=$(cd "$1" && pwd)
static=$2
client=$build/bin/lpxfer-sim
work=$(mktemp -d /tmp/lpx-varb.XXXXXX)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
export LPXFER_CABLE_NS=1000 LC_ALL=C
failed=0
ok() { echo "ok: $*"; }
not_ok() {
  echo "FAILED: $*"
  failed=1
}

# A program is statically linked when it asks for no program interpreter.
for program in "$build"/bin/b/*; do
  if readelf -l "$program" | grep -q "INTERP"; then linked=dynamic; else linked=static; fi
  if [ "$static" = 1 ] && [ "$linked" != static ]; then
    not_ok "$(basename "$program") of variant B is linked dynamically"
  else
    ok "$(basename "$program") of variant B is linked $linked"
  fi
done

# session <variant>: the same commands against that variant's server; the
# client's output in $work/<variant>.out, the server's log in
# $work/<variant>.log, both with the working directory's path replaced.
session() {
  local v=$1 dir=$work/$1
  mkdir -p "$dir/remote" "$dir/local"
  export LPXFER_CABLE_DIR=$dir/cable
  "$build/bin/$v/lpxferd-sim" 2 >"$dir/server.log" 2>&1 &
  pid=$!
  for _ in $(seq 200); do
    grep -q "Accepting connections" "$dir/server.log" 2>/dev/null && break
    sleep 0.05
  done
  cp "$work/data" "$work/text" "$dir/local/"
  touch -d "2024-05-06 07:08:09" "$dir/local/data" "$dir/local/text"
  (
    cd "$dir/local" || exit 1
    r=$dir/remote
    for args in "connect" "mkdir $r/sub" "put data $r/sub/data" "-a put text $r/sub/text" \
      "ls $r/sub" "get $r/sub/data back" "-a get $r/sub/text back.txt" \
      "mv $r/sub/data $r/sub/moved" "rm $r/sub/moved" "rm $r/sub/text" "rmdir $r/sub" \
      "get $r/missing" "rmdir $r/missing"; do
      # shellcheck disable=SC2086
      "$client" -q $args
      echo "status $?"
    done
  ) >"$dir/client.out" 2>&1
  kill -INT "$pid"
  wait "$pid"
  echo "server status $?" >>"$dir/server.log"
  pid=
  # The server logs the client's form of a path: backslashes, no leading "/".
  local dos
  dos=$(printf '%s' "${dir#/}" | sed 's|/|\\\\|g')
  sed -e "s|$dir|DIR|g" "$dir/client.out" >"$work/$v.out"
  sed -e "s|$dir|DIR|g" -e "s|$dos|DIR|g" "$dir/server.log" >"$work/$v.log"
}

head -c 20000 /dev/urandom >"$work/data"
printf 'line one\nline two \244 euro\n' >"$work/text"
session a
session b
if cmp -s "$work/a.out" "$work/b.out"; then
  ok "the client sees the same from A and B"
else
  not_ok "the client sees different things from A and B"
  diff "$work/a.out" "$work/b.out"
fi
if cmp -s "$work/a.log" "$work/b.log"; then
  ok "A and B log the same"
else
  not_ok "A and B log differently"
  diff "$work/a.log" "$work/b.log"
fi
for f in back back.txt; do
  if cmp -s "$work/a/local/$f" "$work/b/local/$f" && [ -s "$work/b/local/$f" ]; then
    ok "$f comes back the same from A and B"
  else
    not_ok "$f differs between A and B"
  fi
done
grep -q "status 0" "$work/b.out" || not_ok "no command of the session succeeded"
exit $failed
