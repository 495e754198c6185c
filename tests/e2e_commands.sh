#!/usr/bin/env bash
# Every client command against a simulated server of variant A, with the
# server's error replies and the client's local errors, each with its exit
# status; then a server that is not running.
#   e2e_commands.sh <build dir>
source "$(dirname "$0")/e2e_lib.sh" "$1"
cd "$work/local" || exit 1
start_server a || exit 1

expect 0 "connect" connect
"$client" connect >"$work/out" 2>&1
out=$(cat "$work/out")
expect_text 'answers "OK A"' out "connect names the reply"

# Listing: an empty directory holds only ".", a missing one is DIR ERROR 2.
expect 0 "list an empty directory" ls "$remote"
expect_text "d---            0                       ." out "the directory's own entry"
expect_text "0 directories, 0 files, 0 bytes" out "the summary of an empty directory"
expect 11 "list a missing directory: DIR ERROR 2" ls "$remote/none"
expect_text "DIR ERROR 2" err "the message names the reply"

# Directories.
expect 0 "mkdir" mkdir "$remote/sub"
expect_true "mkdir created the directory" test -d "$remote/sub"
expect 12 "mkdir of an existing directory: DIR ERROR 1" mkdir "$remote/sub"

# A file with a known time and mode shows up in the table.
printf 'hello\n' >small
touch -d '2024-03-05 06:07:08' small
chmod 0644 small
expect 0 "put a small file" put small "$remote/sub/"
expect_same small "$remote/sub/small" "put stored the file"
expect_true "put set the file's time" test "$(stat -c %Y "$remote/sub/small")" = "$(stat -c %Y small)"
expect 0 "list a directory with a file" ls "$remote/sub"
expect_text "---a            6  2024-03-05 06:07:08  small" out "the file's row: attributes, size, time"
chmod 0444 "$remote/sub/small"
run ls "$remote/sub"
expect_text "-r-a            6  2024-03-05 06:07:08  small" out "a read-only file shows r"
chmod 0644 "$remote/sub/small"
expect 0 "list with a Unix path and a trailing slash" ls "$remote/sub/"
expect_text "small" out "trailing slash lists the same directory"
run ls "${remote//\//\\}\\sub"
expect_text "small" out "a DOS-style path lists the same directory"
mkdir "$remote/sub/.hidden"
run ls "$remote/sub"
expect_text "d-h-            0" out "a hidden directory shows d and h"
rmdir "$remote/sub/.hidden"

# Uploads the server cannot store are reported, empty ones too (no frame
# carries an empty file, so the client checks the listing).
: >empty
expect 0 "put an empty file" put empty "$remote/empty"
expect_true "the empty file exists on the server" test -f "$remote/empty" -a ! -s "$remote/empty"
expect 15 "put into a missing directory: not stored" put small "$remote/none/small"
expect 15 "an empty file the server cannot create is reported" put empty "$remote/none/empty"
rm -f "$remote/empty"

# Fetching.
expect 0 "get a file" get "$remote/sub/small" fetched
expect_same small fetched "get fetched the file"
expect_true "get set the file's time" test "$(stat -c %Y fetched)" = "$(stat -c %Y small)"
expect_true "get left no partial file" test ! -e fetched.lpxpart
mkdir into
expect 0 "get into a directory" get "$remote/sub/small" into
expect_same small into/small "get into a directory uses the remote name"
echo "keep me" >keep
expect 10 "get a missing file: FILE ERROR 2" get "$remote/sub/none" keep
expect_text "no such remote file" err "the message says what FILE ERROR 2 means"
expect_true "a failed get leaves the local file alone" grep -q "keep me" keep
expect_true "a failed get leaves no partial file" test ! -e keep.lpxpart
expect 10 "get a directory: FILE ERROR 2" get "$remote/sub" adir
expect_true "a get of a directory creates nothing" test ! -e adir -a ! -e adir.lpxpart
random_file r10k 10000
cp r10k "$remote/r10k"
expect 0 "get from an offset" get -o 5000 "$remote/r10k" tail
tail -c 5000 r10k >tail.want
expect_same tail.want tail "get -o fetches the rest from the offset"
expect 1 "get from an offset beyond the end" get -o 20000 "$remote/r10k" nothing
expect_true "an offset beyond the end creates nothing" test ! -e nothing -a ! -e nothing.lpxpart

# Text mode: LF locally, CR LF on the cable, both ways.
printf 'one\ntwo\n' >lf
expect 0 "put in text mode" put -a lf "$remote/lf"
expect_same lf "$remote/lf" "a text upload is stored with LF"
expect_true "the text upload went out with CR LF (SIZE 10 for 8 bytes)" grep -q "SIZE 10" "$server_log"
expect 0 "get in text mode" get -a "$remote/lf" lf.txt
expect_same lf lf.txt "a text fetch turns the cable's CR LF back into LF"
printf 'one\r\ntwo\r\n' >crlf
cp crlf "$remote/crlf"
expect 0 "get a CR LF file in text mode" get -a "$remote/crlf" crlf.txt
expect_same crlf crlf.txt "a CR before the line end is kept (CR CR LF on the cable)"
expect 0 "get in binary mode" get "$remote/crlf" crlf.bin
expect_same crlf crlf.bin "binary mode keeps the bytes"

# Deleting, removing, renaming.
expect 0 "rename" rename "$remote/sub/small" "$remote/sub/renamed"
expect_true "rename moved the file" test -f "$remote/sub/renamed" -a ! -e "$remote/sub/small"
expect 14 "rename a missing file: RENAME ERROR 2" rename "$remote/sub/none" "$remote/sub/x"
expect 13 "rmdir of a directory that is not empty: DIR ERROR 20" rmdir "$remote/sub"
expect 10 "rm of a missing file: FILE ERROR 2" rm "$remote/sub/none"
expect 0 "rm" rm "$remote/sub/renamed"
expect_true "rm deleted the file" test ! -e "$remote/sub/renamed"
expect 0 "rmdir" rmdir "$remote/sub"
expect_true "rmdir removed the directory" test ! -e "$remote/sub"
expect 0 "delete with an alias" del "$remote/r10k"

# Local errors and the command line.
expect 2 "put a missing local file" put "$work/local/none" "$remote/x"
expect_text "cannot read the local file" err "the message names the local file"
expect_true "a failed put creates nothing remotely" test ! -e "$remote/x"
expect 1 "an unknown command" frobnicate
expect 1 "a bad port" -p 4 connect
expect 1 "a missing argument" get
expect 0 "help" --help
expect_text "Exit status:" out "help lists the exit statuses"
expect_text "rename FROM TO" out "help lists the commands"

# The server still answers after all of that; then it stops.
expect 0 "connect at the end" connect
stop_server

start=$(date +%s)
expect 4 "no server running" connect
expect_text "does not answer" err "the message says the server does not answer"
expect_true "no server is noticed within 10 s" test $(($(date +%s) - start)) -le 10
finish
