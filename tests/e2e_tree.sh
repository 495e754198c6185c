#!/usr/bin/env bash
# Whole trees through the simulated server of variant C (names in UTF-8 on
# both sides): put -r and get -r round trips byte for byte with times and
# an empty directory; names the cable cannot carry and symbolic links left
# alone; then each direction broken off by SIGKILL in the middle of its
# largest file and finished with -c, which moves only what was missing.
#   e2e_tree.sh <build dir>
source "$(dirname "$0")/e2e_lib.sh" "$1"
cd "$work/local" || exit 1
quiet=''
euro=$(printf '\342\202\254')

# Three levels, files of 0, 1, 4096, 4097 and 100,000 bytes, one named with
# the euro sign, an empty directory; the big one is not the last to travel.
mkdir -p tree/sub/deep tree/zempty
random_file tree/0 0
random_file tree/1 1
random_file tree/sub/4096 4096
random_file "tree/sub/pr${euro}is" 4097
random_file tree/sub/deep/big 100000
random_file tree/sub/deep/tail 1
# The cable keeps times to 2 s.
find tree -type f -exec touch -d '2024-03-05 06:07:08' {} +
total=$((0 + 1 + 4096 + 4097 + 100000 + 1))

# same_tree <a> <b>: the same names, bytes, sizes and file times.
same_tree() {
  diff -r "$1" "$2" >/dev/null &&
    diff <(cd "$1" && find . -type f -printf '%p %s %T@\n' | sort) \
      <(cd "$2" && find . -type f -printf '%p %s %T@\n' | sort) >/dev/null
}

# crossed: the bytes in the client's summary line.
crossed() { sed -n 's/^[a-z]* [0-9]* of [0-9]* files, \([0-9]*\) bytes.*/\1/p' "$work/out"; }

# kill_when <file> <bytes> <command...>: runs the client in the background
# and kills it (SIGKILL) once <file> holds at least <bytes> bytes. Its end
# of the cable costs 5 µs an access, which slows the transfer about three
# times: the kill lands halfway, seconds before the end of the big file,
# however fast or loaded the machine.
kill_when() {
  local file=$1 bytes=$2
  shift 2
  LPXFER_CABLE_NS=5000 "$client" -q "$@" >/dev/null 2>&1 &
  local pid=$!
  for _ in $(seq 2400); do [ "$(stat -c %s "$file" 2>/dev/null || echo 0)" -ge "$bytes" ] && break; sleep 0.05; done
  kill -KILL $pid
  wait $pid 2>/dev/null
}

start_server c || exit 1
expect 0 "put -r stores the tree" --charset=utf8 put -r tree "$remote/in"
check "the server's tree is the same, with times" same_tree tree "$remote/in/tree"
check "the empty directory is made" test -d "$remote/in/tree/zempty"
expect 0 "get -r fetches it back" --charset=utf8 get -r "$remote/in/tree" back
check "the fetched tree is the same, with times" same_tree tree back/tree
check "the empty directory comes back" test -d back/tree/zempty
check "all the bytes crossed once ($(crossed) of $total)" test "$(crossed)" = $total

# A name outside the cable's character set and a symbolic link are left
# alone on the way out; a listed name with a backslash is refused on the
# way in, never taken apart.
mkdir odd && echo x >"odd/$(printf '\346\227\245')" && echo y >odd/fine && ln -s /etc odd/link
expect 9 "put -r skips what it cannot carry" --charset=utf8 put -r odd "$remote"
check "the name is reported" grep -q "odd/$(printf '\346\227\245'): the name cannot travel" "$work/err"
check "the link is reported, not followed" grep -q 'odd/link: a symbolic link, not followed' "$work/err"
check "only the plain name is stored" test "$(ls "$remote/odd")" = fine
printf z >"$remote/odd/a\\b"
expect 9 "get -r refuses a listed name that holds a backslash" --charset=utf8 get -r "$remote/odd" back
check "it is reported" grep -qF 'odd/a\b: the name cannot travel the cable unchanged' "$work/err"
check "nothing is made of their parts" test "$(ls back/odd)" = fine
rm -rf back "$remote"/*

# put -r broken off in the middle of the big file, then put -r -c.
kill_when "$remote/in/tree/sub/deep/big" 50000 --charset=utf8 put -r tree "$remote/in"
check "the first put stopped in the middle" test "$(stat -c %s "$remote/in/tree/sub/deep/big")" -lt 100000
expect 0 "put -r -c finishes the tree" --charset=utf8 -c put -r tree "$remote/in"
at=$(sed -n 's/^resuming at byte \([0-9]*\) of 100000$/\1/p' "$work/out")
echo "put -c moved $(crossed) of $total bytes (the big file resumed at byte $at)"
check "the complete files are skipped" test "$(grep -c '^complete already' "$work/out")" = 4
check "only the missing bytes crossed" test -n "$at" -a "$(crossed)" = $((100000 - at + 1))
check "the resumed tree is the same" same_tree tree "$remote/in/tree"

# get -r broken off in the middle of the big file, then get -r -c.
kill_when back/tree/sub/deep/big.lpxpart 50000 --charset=utf8 get -r "$remote/in/tree" back
part=$(stat -c %s back/tree/sub/deep/big.lpxpart)
check "the first get stopped in the middle ($part bytes)" test "$part" -lt 100000
expect 0 "get -r -c finishes the tree" --charset=utf8 -c get -r "$remote/in/tree" back
echo "get -c moved $(crossed) of $total bytes (the big file continued at byte $part)"
check "the complete files are skipped" test "$(grep -c '^complete already' "$work/out")" = 4
check "only the missing bytes crossed" test "$(crossed)" = $((100000 - part + 1))
check "the continued tree is the same" same_tree tree back/tree
check "no .lpxpart is left" test -z "$(find back -name '*.lpxpart')"
finish
