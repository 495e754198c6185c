// The session's lines: on a terminal with a prompt, line editing, history
// and completion (libedit: its BSD licence leaves lpxfer's own open), and
// as plain lines from standard input otherwise.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "client/shell_session.h"

namespace lpx {

// Completes the word that ends `beforeCursor`, the line up to the cursor.
using Completer = std::function<Completion(const std::string& beforeCursor)>;

class LineInput {
 public:
  // `terminal`: prompt and edit (standard input is a terminal).
  LineInput(bool terminal, Completer complete);
  ~LineInput();
  LineInput(const LineInput&) = delete;
  LineInput& operator=(const LineInput&) = delete;

  // Reads the next line, without its end, into `line`; false at the end of
  // the input. On a terminal, Ctrl/C drops the line being typed and prompts
  // afresh, and each line read goes into the history.
  bool Read(std::string* line);

  struct Editor;  // libedit's state (line_input.cc)

 private:
  std::unique_ptr<Editor> editor_;  // null: plain lines
  bool prompt_ = false;             // plain lines on a terminal (no libedit)
};

}  // namespace lpx
