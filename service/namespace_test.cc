#include <filesystem>
#include <regex>

#include "convert/variant.h"
#include "testing/server_session.h"

namespace lpx {
namespace {

using NamespaceTest = ServerSessionTest;

const std::string kNoWrite = "\nProbably no write permission in parent directory";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Namespace, ServerSessionTest, ::testing::Values(
    Story{.given = {"d/", "f=F"}, .session = {"MD @d", "MD @f"},
          .replies = {"DIR ERROR 1", "DIR ERROR 1"}, .after = {"f=F"},
          .logged = "MD @d\n(a) No write permission in parent directory, or\n"
                    "(b) File exists but is not a directory\nMD @f\n(a)"},
    // DEL takes files and empty directories, RD empty directories only.
    Story{.given = {"f", "g=G", "e/", "e2/", "full/", "full/x=X"},
          .session = {"DEL @f", "DEL @e", "DEL @full", "RD @full", "RD @g", "RD @e2"},
          .replies = {"OK", "OK", "FILE ERROR 2", "DIR ERROR 20", "DIR ERROR 20", "OK"},
          .after = {"f", "g=G", "e", "e2", "full/x=X"},
          .logged = "DEL @e\nDEL @full" + kNoWrite + "\nRD @full" + kNoWrite},
    // RNTO replaces its target; the source stays the source for a second
    // target, which then fails (the source is gone). Without RNFR, RNTO is
    // not answered.
    Story{.given = {"a=A", "b=B"}, .session = {"RNTO @a", "RNFR @a", "RNTO @b", "RNTO @c"},
          .replies = {"OK", "RENAME ERROR 2"}, .after = {"a", "b=A", "c"},
          .logged = "RNTO @a\nRNFR @a\nRNTO @b\nRNTO @c" + kNoWrite},
    Story{.given = {"d/", "d/x=X", "f=F"}, .session = {"RNFR @d", "RNTO @f"},  // no directory for a file
          .replies = {"RENAME ERROR 2"}, .after = {"f=F", "d/x=X"}, .logged = "RNTO @f" + kNoWrite}));
// clang-format on

TEST_F(NamespaceTest, MakeDirectoryGivesTheOwnerWriteAndSearchEntersItAndKeepsTheMask) {
  const std::filesystem::path cwd = std::filesystem::current_path();
  const mode_t mask = umask(0277);
  EXPECT_EQ(Run({"MD @d", "MD @e"}), (Replies{"OK", "OK"}));
  EXPECT_EQ(umask(mask), 0277u);  // and so "e" is made under it too
  for (const char* name : {"d", "e"}) {
    EXPECT_EQ(std::filesystem::status(dir_.Local(name)).permissions(),
              std::filesystem::perms::owner_all);
  }
  EXPECT_EQ(std::filesystem::current_path(), dir_.Local("e"));
  std::filesystem::current_path(cwd);
}

// A path whose local form does not fit is refused, never cut: in UTF-8 each
// 0x80 takes three bytes, 228 of them more than the 700 a path may have.
TEST_F(NamespaceTest, PathsTooLongForTheLocalBufferAreRefused) {
  variantC = true;
  const std::string tooLong = "@" + std::string(228, '\x80');
  Given({"a=A"});
  EXPECT_EQ(Run({"MD " + tooLong, "DEL " + tooLong, "RD " + tooLong, "RNFR @a", "RNTO " + tooLong,
                 "RNFR " + tooLong, "RNTO @b", "PUT " + tooLong, "REST ?", "SIZE 3", "#abc"}),
            (Replies{"DIR ERROR 1", "FILE ERROR 2", "DIR ERROR 20", "RENAME ERROR 2",
                     "RENAME ERROR 2", "REST ERROR 2"}));
  EXPECT_EQ(File("a") + File("b"), "a=Ab");  // a refused source is not replaced by the one before
  const std::string console = Console();
  const std::regex refusal("\nPath too long -- refused");
  EXPECT_EQ(std::distance(std::sregex_iterator(console.begin(), console.end(), refusal), {}), 5);
  EXPECT_THAT(console, ::testing::HasSubstr("\nUPLOAD FAILED"));
}

}  // namespace
}  // namespace lpx
