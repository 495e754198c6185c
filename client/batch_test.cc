#include "client/batch.h"

#include <gtest/gtest.h>

#include "client/exit_status.h"
#include "client/localtext.h"

namespace lpx {
namespace {

TEST(BatchTest, MatchesStarAndQuestionMarkButNotBrackets) {
  const std::tuple<const char*, const char*, bool> kCases[] = {
      {"*.txt", "a.txt", true}, {"*.txt", "a.txt.bak", false}, {"*", ".profile", false},
      {".*", ".profile", true}, {"a?c", "abc", true},          {"a?c", "ac", false},
      {"*ab", "aab", true},     {"*a*b", "xaxxab", true},      {"*a", "*ba", true},
      {"a*", "a", true},        {"?", "\x80", true},           {"[ab]", "a", false},
      {"[ab]", "[ab]", true},   {"a*b?", "ab", false}};
  for (const auto& [pattern, name, match] : kCases) {
    EXPECT_EQ(MatchName(pattern, name), match) << pattern << " " << name;
  }
}

// The plan as "from>to" items (the local directory is "L"), the number
// skipped and the directories listed.
struct Planned {
  std::string files;
  int skipped;
  std::vector<std::string> listed;
};

Planned PlanFetchesOf(const std::vector<std::string>& remotes,
                      const std::vector<ListingEntry>& listing) {
  Planned out{"", 0, {}};
  BatchPlan plan;
  ::testing::internal::CaptureStderr();  // the skipped are reported there
  const int status = PlanFetches(
      remotes, "L",
      [&](const std::string& dir, std::vector<ListingEntry>* entries) {
        out.listed.push_back(dir);
        *entries = listing;
        return dir == "\\gone" ? kExitListError : dir == "\\dead" ? kExitTimeout : 0;
      },
      &plan);
  ::testing::internal::GetCapturedStderr();
  for (const BatchFile& f : plan.files) out.files += f.from + ">" + f.to + " " + f.shown + " ";
  out.skipped = status != 0 ? -status : plan.skipped;
  return out;
}

// A pattern takes the files of one listing per directory, in name order;
// directories, hidden names, names that cannot travel both ways (a tab, a
// backslash) and names listed twice are left out. The euro sign travels as
// byte 0x80 and is named here in UTF-8; messages show a C1 byte escaped.
TEST(BatchTest, PlansFetchesFromOneListingPerDirectory) {
  localCharset = LocalCharset::kUtf8;
  std::vector<ListingEntry> listing;
  for (const char* name : {"b.txt", ".", ".hidden.txt", "sub.txt", "a.txt", "tab\tname.txt",
                           "back\\slash.txt", "twice.txt", "twice.txt", "\x80.txt", "\x9B.txt"}) {
    const bool directory = name == std::string(".") || name == std::string("sub.txt");
    listing.push_back({name, 1, 0, true, directory ? 16u : 32u});
  }
  const Planned p = PlanFetchesOf(
      {"/r/*.txt", "/r/a.txt", "/r/*.none", "/q/x", "/r*/x", "/gone/*", "/gone/?"}, listing);
  EXPECT_EQ(
      p.files,
      "\\r\\a.txt>L/a.txt /r/a.txt \\r\\b.txt>L/b.txt /r/b.txt \\r\\\x80.txt>L/\xE2\x82\xAC.txt "
      "/r/\xE2\x82\xAC.txt \\r\\\x9B.txt>L/\xC2\x9B.txt /r/M-^[.txt \\q\\x>L/x /q/x ");
  // tab, backslash, twice twice, a.txt again, *.none, r*, gone twice.
  EXPECT_EQ(p.skipped, 9);
  EXPECT_EQ(p.listed, (std::vector<std::string>{"\\r", "\\gone"}));
  EXPECT_EQ(PlanFetchesOf({"/q/x", "/dead/*", "/r/*"}, listing).skipped, -kExitTimeout);
  ResetLocalTextState();
}

TEST(BatchTest, PlansStoresUnderTheLocalNamesOnce) {
  BatchPlan plan;
  ::testing::internal::CaptureStderr();
  PlanStores({"a/x", "b/x", "y"}, "/r", &plan);
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(plan.files.size(), 2u);
  EXPECT_EQ(plan.files[0].to + " " + plan.files[1].to, "/r/x /r/y");
  EXPECT_EQ(plan.skipped, 1);
}

}  // namespace
}  // namespace lpx
