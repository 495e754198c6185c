#include "client/shell_session.h"

#include <gtest/gtest.h>

namespace lpx {
namespace {

// Words as "text@start", a '*' after a quoted one.
TEST(ShellSessionTest, SplitsAtBlanksOutsideQuotes) {
  std::string split;
  for (const ShellWord& w : SplitShellLine(" get \"a b\"c 'd\"e'\tx\\y \"open end")) {
    split += w.text + "@" + std::to_string(w.start) + (w.quoted ? "* " : " ");
  }
  EXPECT_EQ(split, "get@1 a bc@5* d\"e@12* x\\y@18 open end@22* ");
}

TEST(ShellSessionTest, ResolvesRemotePathsAgainstTheWorkingDirectory) {
  const char* const kCases[][3] = {{"/", "x", "/x"},      {"/a/b", "../c", "/a/c"},
                                   {"/a", "/", "/"},      {"/a", "..\\..\\x", "/x"},
                                   {"/a", "d/", "/a/d/"}, {"/a", "./x/.", "/a/x"},
                                   {"/a/b", "", "/a/b"},  {"/a", "\\y\\*.txt", "/y/*.txt"}};
  for (const auto& [cwd, path, resolved] : kCases) {
    EXPECT_EQ(ResolveRemotePath(cwd, path), resolved) << cwd << " " << path;
  }
}

// What TAB does to the word: "=insert", "?choice choice", or "" (nothing).
TEST(ShellSessionTest, CompletesTheLongestCommonStartOrShowsTheChoices) {
  const std::vector<std::string> names = {"alpha.txt", "alps/", "beta", "my file", "q\"x"};
  const char* const kCases[][2] = {{"al", "=alp"},
                                   {"alph", "=alpha.txt "},
                                   {"alps", "=alps/"},
                                   {"sub/be", "=sub/beta "},
                                   {"my", "=\"my file\" "},
                                   {"q", "='q\"x' "},
                                   {"alp", "?alpha.txt alps/"},
                                   {"x", ""}};
  for (const auto& [typed, want] : kCases) {
    const ShellWord word = {typed, 0, false};
    const Completion c = CompleteFrom(word, strlen(typed) + 1, names);
    std::string got = c.insert.empty() ? "" : "=" + c.insert;
    for (const std::string& choice : c.choices) got += (got.empty() ? "?" : " ") + choice;
    EXPECT_EQ(got, want) << typed;
    EXPECT_EQ(c.erase, c.insert.empty() ? 0 : strlen(typed) + 1) << typed;
  }
}

}  // namespace
}  // namespace lpx
