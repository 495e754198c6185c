#!/usr/bin/env bash
# Names with the euro sign and accented letters through variants A (ISO
# 8859-15 on the server) and C (UTF-8 on the server), typed by a client in
# ISO 8859-15 and in UTF-8.
#   e2e_names.sh <build dir>
source "$(dirname "$0")/e2e_lib.sh" "$1"
cd "$work/local" || exit 1

latin=$(printf 'caf\351 \244 \326l') # "café € Öl" in ISO 8859-15
utf8=$(printf 'caf\303\251 \342\202\254 \303\226l')
printf 'euro\n' >data

# names <variant> <server's name for "café € Öl">
names() {
  local variant=$1 stored=$2
  start_server "$variant" || return
  expect 0 "$variant: put with an ISO 8859-15 name" --charset=latin9 put data "$remote/$latin"
  expect_true "$variant: the server stores the name in its character set" test -f "$remote/$stored"
  expect 0 "$variant: list" --charset=latin9 ls "$remote"
  expect_text "$latin" out "$variant: the listing shows the name in ISO 8859-15"
  expect 0 "$variant: list" --charset=utf8 ls "$remote"
  expect_text "$utf8" out "$variant: the listing shows the name in UTF-8"
  expect 0 "$variant: get with a UTF-8 name" --charset=utf8 get "$remote/$utf8" back
  expect_same data back "$variant: the file comes back"
  expect 0 "$variant: mkdir with accents" --charset=utf8 mkdir "$remote/$utf8.d"
  expect_true "$variant: the directory has the server's name" test -d "$remote/$stored.d"
  expect 0 "$variant: rename into it" --charset=latin9 rename "$remote/$latin" "$remote/$latin.d/$latin"
  expect_true "$variant: renamed" test -f "$remote/$stored.d/$stored"
  expect 0 "$variant: rm" --charset=utf8 rm "$remote/$utf8.d/$utf8"
  expect 0 "$variant: rmdir" --charset=utf8 rmdir "$remote/$utf8.d"
  expect 1 "$variant: a character the cable cannot carry is refused" --charset=utf8 put data "$remote/$(printf '\316\251')"
  stop_server
}

names a "$latin"
names c "$utf8"
finish
