#!/usr/bin/env bash
# The session through a pseudo-terminal: commands, history (up-arrow), a
# remote name completed with TAB, Ctrl/C dropping a typed line and stopping
# a transfer, after which the session goes on; then scripts on standard
# input, which stop at the first failure unless its line begins with '-'.
#   e2e_shell.sh <build dir>
source "$(dirname "$0")/e2e_lib.sh" "$1"
mkdir "$remote/sub" && printf 'alpha\n' >"$remote/sub/alpha.txt"
random_file "$remote/big" 2000000  # half a minute on the cable: Ctrl/C comes long before the end
start_server a
cd "$work/local" || exit 1
# A build without libedit (-m32 beside a 64-bit libedit only) has no line
# editing to drive: its session is tested as a script alone.
if grep -q '^LPX_EDIT_LIBRARY:FILEPATH=.*NOTFOUND' "$build/CMakeCache.txt"; then
  echo "skipped: the session on a terminal (no libedit)"
else
  check "session: cd, pwd, history, completion, Ctrl/C twice, a fetch after them" \
    env TERM=vt100 python3 - "$client" "$remote" <<'PY'
import os, pty, select, sys, termios, time
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], [sys.argv[1]])
seen, end, P = b'', time.time() + 300, 'lpxfer> '
def expect(text):  # waits for the text in the output, then reads on after it
    global seen
    while text.encode() not in seen:
        data = os.read(fd, 4096) if select.select([fd], [], [], max(0, end - time.time()))[0] else b''
        if not data: sys.exit(f'waited for {text!r}, got {seen[-300:]!r}')
        seen += data
    seen = seen[seen.index(text.encode()) + len(text):]
    # libedit draws the prompt before it takes the terminal: keys go in once it has
    while text == P and termios.tcgetattr(fd)[3] & termios.ICANON and time.time() < end:
        time.sleep(0.01)
steps = [('', P), (f'cd {sys.argv[2]}/sub\r', P), ('pwd\r', '/sub\r\n'), ('', P), ('\x1b[A\r', '/sub\r\n'),
         ('', P), ('get al\t', 'pha.txt '), ('\r', 'received'), ('', P), ('rm alpha.txt\x03', P),
         ('get ../big\r', '/2000000 bytes'), ('\x03', 'get: interrupted'), ('', P),
         ('get alpha.txt again\r', 'received'), ('', P), ('\x04', '')]
for typed, shown in steps:
    os.write(fd, typed.encode())
    expect(shown)
status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
sys.exit(f'exit status {status}' if status else 0)
PY
  check "the line dropped with Ctrl/C did not run; both fetches arrived whole" \
    test -f "$remote/sub/alpha.txt" -a "$(cat alpha.txt again)" = "$(printf 'alpha\nalpha')"
fi
touch a.x b.x
printf 'cd %s\n-mkdir one\ncd one\nput *.x\nget -a a.x\nget b.x\nrm none\nmkdir two\n' "$remote" >script
expect 10 "a script stops at its first failure" <script
check "... after the files the wildcard named, before the next line" \
  test -f "$remote/one/a.x" -a -f "$remote/one/b.x" -a ! -e "$remote/one/two"
check "... a line's option held for its command alone" \
  test -n "$(grep -E '^AGET .*a\.x ' "$server_log")" -a -z "$(grep -E '^AGET .*b\.x ' "$server_log")"
sed -i 's/^rm/-rm/' script
expect 0 "failures on lines marked '-' (mkdir, rm) do not stop it" <script
check "... and the last line ran" test -d "$remote/one/two"
finish
