#!/usr/bin/env bash
# Round trips through the simulated servers of variants A and C: random data
# in binary mode and text in text mode, stored and fetched back byte for
# byte, at sizes around the frame size (4096) and twice it.
#   e2e_roundtrip.sh <build dir>
source "$(dirname "$0")/e2e_lib.sh" "$1"
cd "$work/local" || exit 1

# roundtrip <mode option or ""> <file> <what>: put, get back, compare.
roundtrip() {
  local mode=$1 file=$2 what=$3
  rm -f back "$remote/$file"
  run $mode put "$file" "$remote/$file"
  if [ "$rc" != 0 ]; then not_ok "$what: put status $rc: $err"; return; fi
  run $mode get "$remote/$file" back
  if [ "$rc" != 0 ]; then not_ok "$what: get status $rc: $err"; return; fi
  expect_same "$file" back "$what"
}

start_server a || exit 1
for size in 0 1 4095 4096 4097 8191 8192 8193 200000; do
  random_file "bin$size" "$size"
  roundtrip "" "bin$size" "A binary $size bytes"
  expect_same "bin$size" "$remote/bin$size" "A binary $size bytes stored unchanged"
done

# Text: sizes on the cable (LF counts two) at the frame boundaries, a line
# break split between two frames, and a long text.
for size in 0 1 4095 4096 4097 8192 30000; do text_file "text$size" "$size"; done
printf '%4094s\n' x >wire4096          # 4095 bytes: exactly 4096 on the cable
printf '%4095s\n' x >crlfsplit         # the CR ends frame 1, the LF starts frame 2
{ printf '%4094s\n' x; printf '%4094s\n' y; } >wire8192
for file in text0 text1 text4095 text4096 text4097 text8192 text30000 wire4096 crlfsplit wire8192; do
  roundtrip "-a --charset=latin9" "$file" "A text $file"
  expect_same "$file" "$remote/$file" "A text $file stored as it is locally (ISO 8859-15, LF)"
done
stop_server

# Variant C keeps text in UTF-8: the same ISO 8859-15 text comes back
# unchanged, and the server holds its UTF-8 form.
start_server c || exit 1
for file in text0 text4096 crlfsplit text8192; do
  roundtrip "-a --charset=latin9" "$file" "C text $file"
  iconv -f ISO-8859-15 -t UTF-8 "$file" >"$file.utf8"
  expect_same "$file.utf8" "$remote/$file" "C text $file stored in UTF-8"
  roundtrip "-a --charset=utf8" "$file.utf8" "C text $file.utf8 from a UTF-8 client"
done
roundtrip "" bin8193 "C binary 8193 bytes"
finish
