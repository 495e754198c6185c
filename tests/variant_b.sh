#!/usr/bin/env bash
# Variant B: its programs are statically linked (when the build links B
# statically), and the session of every command gives the same client
# output and the same console log against B as against A.
#   variant_b.sh <build dir> <1 when B is linked statically, else 0>
source "$(dirname "$0")/e2e_lib.sh" "$1"
for program in "$build"/bin/b/*; do
  check "$program asks for no interpreter" test "$2" = 0 -o -z "$(readelf -l "$program" | grep INTERP)"
done
for v in a b; do
  session $v
  mv "$work/transcript" "$work/$v.out"
done
check "the client sees the same from A and B" diff "$work/a.out" "$work/b.out"
check "A and B log the same" diff "$work/server-a.log" "$work/server-b.log"
finish
