#!/usr/bin/env bash
# Round trips through the simulated servers of variants A and C, stored and
# fetched back byte for byte: random data in binary mode and text in text
# mode, at and around the frame size (4096 bytes on the cable) and beyond.
#   e2e_roundtrip.sh <build dir>
source "$(dirname "$0")/e2e_lib.sh" "$1"
cd "$work/local" || exit 1

# roundtrip <variant> <file> <server's form of it> [mode options]: put,
# compare the server's copy, get back, compare.
roundtrip() {
  local v=$1 file=$2 stored=$3
  shift 3
  expect 0 "$v: put $file $*" "$@" put "$file" "$remote/$file" &&
    check "$v: $file stored as it should be" cmp -s "$stored" "$remote/$file" &&
    expect 0 "$v: get $file $*" "$@" get "$remote/$file" back &&
    check "$v: $file comes back unchanged" cmp -s "$file" back &&
    check "$v: no back.lpxpart is left" test ! -e back.lpxpart
  rm -f back "$remote/$file"
}

start_server a || exit 1
for size in 0 4095 4096 4097 10000; do
  random_file "bin$size" "$size"
  roundtrip a "bin$size" "bin$size"
done
# Text on the cable (a line end counts two): 4095, 4096, then 4097 bytes
# with the CR ending frame 1 and the LF starting frame 2; then many frames.
for n in 4095 4096 4097; do printf "%$((n - 2))s\n" x >text$n; done
text_file text10000 10000
for file in text4095 text4096 text4097 text10000; do roundtrip a $file $file -a --charset=latin9; done
# Many files in one run each way, one of them missing: the others still
# travel, with their times, and the status tells.
mkdir many back && touch -d '2024-03-05 06:07:08' bin4097 && cp -p bin0 bin4097 bin10000 many/
expect 9 "a: put of four files, one missing" put many/bin0 many/none many/bin4097 many/bin10000 "$remote"
expect 9 "a: get of a pattern and a missing file" get "$remote/bin*" "$remote/none" back
check "a: three came back" diff -r many back
for f in bin0 bin4097 bin10000; do
  check "a: $f with its time (within the cable's 2 s)" test $((($(stat -c %Y back/$f) - $(stat -c %Y many/$f)) / 2)) = 0
done
rm -rf many back "$remote"/*
stop_server

# Variant C keeps text in UTF-8 and returns it in the client's character set.
start_server c || exit 1
for file in text4097 text10000; do
  iconv -f ISO-8859-15 -t UTF-8 $file >$file.utf8
  roundtrip c $file $file.utf8 -a --charset=latin9
  roundtrip c $file.utf8 $file.utf8 -a --charset=utf8
done
roundtrip c bin4097 bin4097
finish
