#!/usr/bin/env bash
# Demonstration: a short session over the simulated cable. Starts the
# variant A server on LPT2 of a cable in a temporary directory, and drives
# it with the client: connect, list, store a binary and a text file, break
# off an upload with Ctrl/C and resume it, fetch the files back and compare
# them, move ten files each way in one run, rename, delete, list again,
# and stop the server with Ctrl/C. After each client command the server's
# new console lines follow, marked "server|". Exits 0 only when every step
# worked.
#
# The cable runs at its default cost of 1 µs per register access, as on the
# ISA bus: the server then polls in bursts of about 10 ms as on real
# hardware, and the run takes about half a minute on an idle machine. (At no
# cost the server's bursts shrink to some 30 µs, and on a busy machine every
# handshake step that the client cannot answer within them costs a 100 ms
# pause.)
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh || exit 1
echo "Building (cmake, build/) ..."
cmake -S . -B build -DLPX_WERROR=ON >/dev/null || exit 1
cmake --build build -j "$(nproc)" --target lpxferd_a_sim lpxfer_sim >/dev/null || exit 1

root=$PWD
server_bin=$root/build/bin/a/lpxferd-sim
client_bin=$root/build/bin/lpxfer-sim
work=$(mktemp -d /tmp/lpx-demo.XXXXXX)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill -KILL "$server_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
export LPXFER_CABLE_DIR=$work/cable LPXFER_CABLE_NS=1000
remote=$work/server-files
mkdir -p "$remote" "$work/here"
cd "$work/here" || exit 1

failures=0
log=$work/server.log
if locale charmap 2>/dev/null | grep -qi utf-8; then utf8_terminal=1; else utf8_terminal=0; fi

# What the server wrote to its console since the last look, each line
# marked. Its echo of a command stays open until the next event (the OK
# column closes it), so a line may go on in the next look ("server|...").
# Variant A writes its console in ISO 8859-15; a UTF-8 terminal gets it
# converted.
shown_bytes=0
open_line=0
server_says() {
  sleep 0.2
  local size chunk
  size=$(stat -c %s "$log")
  [ "$size" -gt "$shown_bytes" ] || return 0
  chunk=$(tail -c +$((shown_bytes + 1)) "$log" | head -c $((size - shown_bytes)); echo x)
  chunk=${chunk%x}
  shown_bytes=$size
  if [ "$utf8_terminal" = 1 ]; then chunk=$(printf '%s' "$chunk" | iconv -f ISO-8859-15 -t UTF-8; echo x); chunk=${chunk%x}; fi
  local first=1 line
  while IFS= read -r line || [ -n "$line" ]; do
    if [ "$first" = 1 ] && [ "$open_line" = 1 ]; then
      printf '    server|...%s\n' "$line"
    else
      printf '    server| %s\n' "$line"
    fi
    first=0
  done <<<"${chunk%$'\n'}"
  if [ "${chunk: -1}" = $'\n' ]; then open_line=0; else open_line=1; fi
}

say() { printf '\n== %s\n' "$*"; }

# client <expected status> <arguments...>: shows the command, runs it with
# its output on the terminal, then the server's side. With standard input
# redirected, client_input names the file for the command line shown.
client() {
  local want=$1
  shift
  printf '$ lpxfer'
  if [ $# -gt 0 ]; then printf ' %q' "$@"; fi
  if [ -n "${client_input:-}" ]; then printf ' <%s' "$client_input"; fi
  printf '\n'
  local status=0
  "$client_bin" --charset=utf8 "$@" || status=$?
  server_says
  if [ "$status" != "$want" ]; then
    echo "!! exit status $status, expected $want"
    failures=$((failures + 1))
  fi
}

check() {  # check <what> <test...>
  local what=$1
  shift
  if "$@"; then echo "   ok: $what"; else echo "!! FAILED: $what"; failures=$((failures + 1)); fi
}

say "Start the server (variant A, LPT2) on a simulated cable in $work"
"$server_bin" 2 >"$log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do grep -q "Accepting connections" "$log" && break; sleep 0.05; done
server_says

say "Files to send"
head -c 150000 /dev/urandom >photo.bin
cat >notes.txt <<'EOF'
Einkaufsliste für Grüße aus Köln
  Käse ........ 4,50 €
  Brötchen .... 1,20 €
Ça coûte cher, n'est-ce pas ?
EOF
head -c 300000 /dev/urandom >archive.bin
ls -l photo.bin notes.txt archive.bin

say "Connect and list the (empty) directory on the server"
client 0 connect
client 0 ls "$remote"

say "Store a binary file and a text file (text mode: CR LF and ISO 8859-15 on the server's side)"
client 0 put photo.bin "$remote/"
client 0 -a put notes.txt "$remote/"
check "the server holds photo.bin unchanged" cmp -s photo.bin "$remote/photo.bin"
check "the server holds notes.txt in ISO 8859-15" cmp -s <(iconv -f UTF-8 -t ISO-8859-15 notes.txt) "$remote/notes.txt"

say "Store a larger file, break it off with Ctrl/C, and resume it"
printf '$ lpxfer put archive.bin %q   (Ctrl/C after about 60000 bytes)\n' "$remote/"
"$client_bin" put archive.bin "$remote/" &
pid=$!
for _ in $(seq 1200); do
  [ "$(stat -c %s "$remote/archive.bin" 2>/dev/null || echo 0)" -ge 60000 ] && break
  sleep 0.05
done
kill -INT "$pid"
status=0
wait "$pid" || status=$?
server_says
check "the interrupted client ended with status 130 (it did: $status)" test "$status" = 130
echo "   the server holds $(stat -c %s "$remote/archive.bin") of 300000 bytes"
client 0 -c put archive.bin "$remote/"
check "the resumed archive.bin is complete and unchanged" cmp -s archive.bin "$remote/archive.bin"

say "Fetch the files back and compare them with the originals"
mkdir back
client 0 get "$remote/photo.bin" back/
client 0 -a get "$remote/notes.txt" back/
client 0 get "$remote/archive.bin" back/
check "photo.bin came back byte for byte" cmp -s photo.bin back/photo.bin
check "notes.txt came back byte for byte (UTF-8, LF)" cmp -s notes.txt back/notes.txt
check "archive.bin came back byte for byte" cmp -s archive.bin back/archive.bin
# Times cross the cable as FAT date/time words, which count seconds in
# steps of two: a fetched time may differ from the original's by 1 s.
same_time() { [ $((($(stat -c %Y "$1") - $(stat -c %Y "$2")) / 2)) = 0 ]; }
check "the fetched files keep their times (to the cable's 2-second steps)" same_time back/photo.bin photo.bin

say "Many files in one run each way: a line per file, and a summary with the time per file"
mkdir many
for i in $(seq -w 1 10); do head -c 200 /dev/urandom >"many/note$i.bin"; done
client 0 mkdir "$remote/many"
client 0 put many/* "$remote/many/"
mkdir back/many
client 0 get "$remote/many/note*.bin" back/many
check "the ten files came back byte for byte" diff -r many back/many
check "... with their times (to the cable's 2-second steps)" same_time back/many/note07.bin many/note07.bin

say "A folder tree each way (-r); run again with -c, it finds every file complete"
mkdir -p tree/docs/old tree/empty
printf 'top\n' >tree/readme.txt
head -c 5000 /dev/urandom >tree/docs/report.bin
head -c 1 /dev/urandom >"tree/docs/old/€uro.bin"
client 0 put -r tree "$remote/"
client 0 get -r "$remote/tree" back/
check "the tree came back byte for byte, the empty folder with it" diff -r tree back/tree
check "... with its times" same_time "back/tree/docs/old/€uro.bin" "tree/docs/old/€uro.bin"
client 0 put -r -c tree "$remote/"

say "A session, here a script on standard input (typed at a terminal it edits lines)"
printf 'cd %s/tree\npwd\nls docs\nget docs/report.bin back/report-again.bin\n' "$remote" >session.txt
cat session.txt
client_input=session.txt client 0 <session.txt
check "the session's fetch arrived whole" cmp tree/docs/report.bin back/report-again.bin

say "Errors are reported, with an exit status of their own"
client 10 get "$remote/no-such-file" back/
client 2 put no-such-file "$remote/"

say "Rename, delete, list again"
client 0 rename "$remote/notes.txt" "$remote/Notizen-€.txt"
client 0 rm "$remote/photo.bin"
client 0 ls "$remote"
check "the server holds Notizen-€.txt under its ISO 8859-15 name" test -f "$remote/$(printf 'Notizen-\244.txt')"

say "Stop the server with Ctrl/C"
kill -INT "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=
server_says
check "the server ended with status 0 (it did: $status)" test "$status" = 0
check "the server logged DISCONNECT" grep -q DISCONNECT "$log"

say "The server's whole console log"
if [ "$utf8_terminal" = 1 ]; then iconv -f ISO-8859-15 -t UTF-8 "$log"; else cat "$log"; fi

echo
if [ "$failures" = 0 ]; then
  echo "Demonstration complete: every step worked."
  exit 0
fi
echo "Demonstration FAILED: $failures step(s) did not work."
exit 1
