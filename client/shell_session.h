// The session: `lpxfer` with no command (or `lpxfer shell`) reads commands
// from standard input over the one connection it greeted, with a prompt,
// line editing, history and completion on a terminal (line_input.h), and as
// a script otherwise, stopping at the first failure.
#pragma once

#include <string>
#include <vector>

namespace lpx {

// One word of a command line.
struct ShellWord {
  std::string text;     // quotes removed
  size_t start = 0;     // where it begins in the line
  bool quoted = false;  // it held a quote: no wildcard expansion
};

// Splits a line at blanks. '...' and "..." keep blanks and the other quote
// in a word and join with unquoted text next to them ("a b"c is "a bc");
// an unclosed quote runs to the end of the line. The backslash is no
// escape: remote paths may use it as their separator.
std::vector<ShellWord> SplitShellLine(const std::string& line);

// `path` (either separator) made absolute against the remote working
// directory `cwd`, with '/' separators and "." and ".." taken out; a
// trailing separator is kept. "/" is the root.
std::string ResolveRemotePath(const std::string& cwd, const std::string& path);

// What completing the word before the cursor does: take away `erase`
// bytes before the cursor and put `insert` there, or, when nothing can be
// added and several names fit, show `choices`.
struct Completion {
  size_t erase = 0;
  std::string insert;
  std::vector<std::string> choices;
};

// Completes `word` (as typed, `typed` bytes long) against `names`, the
// names of the directory its part up to the last separator names;
// directories end in '/'. A single fit ends with a blank (after a file) or
// stays open (after a directory); a name with a blank or quote is quoted.
Completion CompleteFrom(const ShellWord& word, size_t typed, const std::vector<std::string>& names);

// Runs the session on the open, greeted connection. Returns the exit status
// of the last command, or in a script that of the first failure.
int RunShell();

}  // namespace lpx
