#include "client/line_input.h"

#include <cstdio>
#include <cstdlib>

#if LPX_HAVE_LIBEDIT
#include <histedit.h>
#endif

namespace lpx {

namespace {

constexpr const char* kPrompt = "lpxfer> ";

void DropLineEnd(std::string* line) {
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
}

bool ReadPlain(bool prompt, std::string* line) {
  if (prompt) {
    fputs(kPrompt, stdout);
    fflush(stdout);
  }
  char* buffer = nullptr;
  size_t size = 0;
  const ssize_t n = getline(&buffer, &size, stdin);
  if (n >= 0) line->assign(buffer, static_cast<size_t>(n));
  free(buffer);
  DropLineEnd(line);
  return n >= 0;
}

}  // namespace

#if LPX_HAVE_LIBEDIT

struct LineInput::Editor {
  EditLine* el = nullptr;
  History* history = nullptr;
  HistEvent event;
  Completer complete;
  bool dropped = false;  // Ctrl/C: the line just read is no command
  ~Editor() {
    if (el != nullptr) el_end(el);
    if (history != nullptr) history_end(history);
  }
};

namespace {

constexpr int kHistorySize = 500;

const char* Prompt(EditLine*) { return kPrompt; }

LineInput::Editor* EditorOf(EditLine* el) {
  void* data = nullptr;
  el_get(el, EL_CLIENTDATA, &data);
  return static_cast<LineInput::Editor*>(data);
}

// TAB: completes the word before the cursor, or shows the names that fit.
unsigned char CompleteWord(EditLine* el, int) {
  const LineInfo* info = el_line(el);
  const Completion c = EditorOf(el)->complete(
      std::string(info->buffer, static_cast<size_t>(info->cursor - info->buffer)));
  if (!c.choices.empty()) {
    fputc('\n', stdout);
    for (const std::string& choice : c.choices) printf("%s  ", choice.c_str());
    fputc('\n', stdout);
    fflush(stdout);
    return CC_REDISPLAY;
  }
  if (c.erase == 0 && c.insert.empty()) return CC_ERROR;
  el_deletestr(el, static_cast<int>(c.erase));
  if (el_insertstr(el, c.insert.c_str()) != 0) return CC_ERROR;
  return CC_REFRESH;
}

// Ctrl/C while a line is typed (the terminal sends no signal then): shows
// "^C" at the end of the line and ends it; Read drops it.
unsigned char DropLine(EditLine* el, int) {
  EditorOf(el)->dropped = true;
  const LineInfo* info = el_line(el);
  el_cursor(el, static_cast<int>(info->lastchar - info->cursor));
  el_insertstr(el, "^C");
  el_push(el, "\n");
  return CC_REFRESH;
}

}  // namespace

LineInput::LineInput(bool terminal, Completer complete) : prompt_(terminal) {
  if (!terminal) return;
  auto editor = std::make_unique<Editor>();
  editor->complete = std::move(complete);
  editor->el = el_init("lpxfer", stdin, stdout, stderr);
  editor->history = history_init();
  if (editor->el == nullptr || editor->history == nullptr) return;  // plain lines, prompted
  EditLine* el = editor->el;
  history(editor->history, &editor->event, H_SETSIZE, kHistorySize);
  history(editor->history, &editor->event, H_SETUNIQUE, 1);
  el_set(el, EL_CLIENTDATA, editor.get());
  el_set(el, EL_EDITOR, "emacs");
  el_set(el, EL_PROMPT, Prompt);
  el_set(el, EL_HIST, history, editor->history);
  // el_wset: el_set copies the names of an added function and never frees
  // them.
  el_wset(el, EL_ADDFN, L"lpx-complete", L"complete a command or a remote name", CompleteWord);
  el_set(el, EL_BIND, "^I", "lpx-complete", nullptr);
  // While a line is edited Ctrl/C is a key, not a signal: it drops the line
  // and leaves the transfer handler alone.
  el_set(el, EL_SETTY, "-d", "-isig", nullptr);
  el_wset(el, EL_ADDFN, L"lpx-drop", L"drop the line", DropLine);
  el_set(el, EL_BIND, "^C", "lpx-drop", nullptr);
  el_source(el, nullptr);  // ~/.editrc
  editor_ = std::move(editor);
}

LineInput::~LineInput() = default;

bool LineInput::Read(std::string* line) {
  if (editor_ == nullptr) return ReadPlain(prompt_, line);
  for (;;) {
    editor_->dropped = false;
    int count = 0;
    const char* text = el_gets(editor_->el, &count);
    if (text == nullptr || count <= 0) {
      fputc('\n', stdout);  // after the prompt the Ctrl/D ended
      return false;
    }
    if (editor_->dropped) continue;
    line->assign(text, static_cast<size_t>(count));
    DropLineEnd(line);
    if (!line->empty()) history(editor_->history, &editor_->event, H_ENTER, line->c_str());
    return true;
  }
}

#else  // no libedit: plain lines, prompted on a terminal

struct LineInput::Editor {};

LineInput::LineInput(bool terminal, Completer) : prompt_(terminal) {}
LineInput::~LineInput() = default;
bool LineInput::Read(std::string* line) { return ReadPlain(prompt_, line); }

#endif

}  // namespace lpx
