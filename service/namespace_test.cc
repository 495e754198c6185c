#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "convert/variant.h"
#include "service/command_loop.h"
#include "testing/server_session.h"

namespace lpx {
namespace {

constexpr char kNoWritePermission[] = "\nProbably no write permission in parent directory";
constexpr char kDirErrorLines[] =
    "\n(a) No write permission in parent directory, or"
    "\n(b) File exists but is not a directory";

class NamespaceTest : public ServerSessionTest {
 protected:
  void SetUp() override {
    ServerSessionTest::SetUp();
    mask_ = umask(0022);
  }
  void TearDown() override {
    umask(mask_);
    ServerSessionTest::TearDown();
  }

  std::string Command(const std::string& command, const std::string& name) {
    return command + " " + dir_.Client(name);
  }
  mode_t ModeOf(const std::string& name) {
    struct stat st;
    return stat(dir_.Local(name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  std::string Cwd() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
  }
  // A path inside the test's directory whose local UTF-8 form does not fit
  // the 700-byte path buffer, in a line of 255 characters.
  std::string Unmappable(const std::string& command) {
    std::string line = command + " " + dir_.Client("") + '\\';
    line.resize(255, '\x80');
    return line;
  }

  mode_t mask_ = 0;
};

TEST_F(NamespaceTest, MakeDirectoryEntersItAndKeepsTheMask) {
  umask(0277);
  EXPECT_EQ(Run({Command("MD", "d"), Command("MD", "e")}), (Replies{"OK", "OK"}));
  // 0777 less the mask, plus owner write and search; the mask is put back,
  // so the second directory gets the same.
  EXPECT_EQ(ModeOf("d"), 0700u);
  EXPECT_EQ(ModeOf("e"), 0700u);
  EXPECT_EQ(umask(0022), 0277u);
  EXPECT_EQ(Cwd(), dir_.Local("e"));
  EXPECT_EQ(Console(), Command("MD", "d") + "\n" + Command("MD", "e"));
  EXPECT_EQ(lastResult, 1);
}

TEST_F(NamespaceTest, MakeDirectoryOverAnExistingEntryFails) {
  ASSERT_TRUE(dir_.MakeDir("d"));
  ASSERT_TRUE(dir_.Write("f", "F"));
  const std::string cwd = Cwd();
  EXPECT_EQ(Run({Command("MD", "d"), Command("MD", "f")}), (Replies{"DIR ERROR 1", "DIR ERROR 1"}));
  EXPECT_EQ(Console(),
            Command("MD", "d") + kDirErrorLines + "\n" + Command("MD", "f") + kDirErrorLines);
  EXPECT_EQ(dir_.Read("f"), "F");
  EXPECT_EQ(Cwd(), cwd);
  EXPECT_EQ(lastResult, 1);  // the error reply was delivered
}

TEST_F(NamespaceTest, DeleteRemovesFilesAndEmptyDirectoriesOnly) {
  ASSERT_TRUE(dir_.Write("f", "F"));
  ASSERT_TRUE(dir_.MakeDir("empty"));
  ASSERT_TRUE(dir_.MakeDir("full"));
  ASSERT_TRUE(dir_.Write("full/x", "X"));
  EXPECT_EQ(Run({Command("DEL", "f"), Command("DEL", "empty"), Command("DEL", "full")}),
            (Replies{"OK", "OK", "FILE ERROR 2"}));
  EXPECT_FALSE(dir_.Exists("f"));
  EXPECT_FALSE(dir_.Exists("empty"));
  EXPECT_EQ(dir_.Read("full/x"), "X");
  EXPECT_EQ(Console(), Command("DEL", "f") + "\n" + Command("DEL", "empty") + "\n" +
                           Command("DEL", "full") + kNoWritePermission);
}

TEST_F(NamespaceTest, RemoveDirectoryTakesOnlyEmptyDirectories) {
  ASSERT_TRUE(dir_.MakeDir("empty"));
  ASSERT_TRUE(dir_.MakeDir("full"));
  ASSERT_TRUE(dir_.Write("full/x", "X"));
  ASSERT_TRUE(dir_.Write("f", "F"));
  EXPECT_EQ(Run({Command("RD", "full"), Command("RD", "f"), Command("RD", "empty")}),
            (Replies{"DIR ERROR 20", "DIR ERROR 20", "OK"}));
  EXPECT_EQ(dir_.Read("full/x"), "X");
  EXPECT_EQ(dir_.Read("f"), "F");
  EXPECT_FALSE(dir_.Exists("empty"));
  EXPECT_TRUE(Logged(Command("RD", "f") + kNoWritePermission));
}

TEST_F(NamespaceTest, RenameReplacesAnExistingTarget) {
  ASSERT_TRUE(dir_.Write("a", "A"));
  ASSERT_TRUE(dir_.Write("b", "B"));
  EXPECT_EQ(Run({Command("RNFR", "a"), Command("RNTO", "b")}), Replies{"OK"});
  EXPECT_FALSE(dir_.Exists("a"));
  EXPECT_EQ(dir_.Read("b"), "A");
  EXPECT_EQ(Console(), Command("RNFR", "a") + "\n" + Command("RNTO", "b"));
}

TEST_F(NamespaceTest, FailedRenameIsAnswered) {
  ASSERT_TRUE(dir_.MakeDir("d"));
  ASSERT_TRUE(dir_.Write("d/x", "X"));
  ASSERT_TRUE(dir_.Write("f", "F"));
  // A directory cannot replace a file.
  EXPECT_EQ(Run({Command("RNFR", "d"), Command("RNTO", "f")}), Replies{"RENAME ERROR 2"});
  EXPECT_EQ(dir_.Read("f"), "F");
  EXPECT_EQ(dir_.Read("d/x"), "X");
  EXPECT_TRUE(Logged(Command("RNTO", "f") + kNoWritePermission));
}

TEST_F(NamespaceTest, PathsTooLongForTheLocalBufferAreRefused) {
  variantC = true;
  EXPECT_EQ(Run({Unmappable("MD"), Unmappable("DEL"), Unmappable("RD")}),
            (Replies{"DIR ERROR 1", "FILE ERROR 2", "DIR ERROR 20"}));
  ASSERT_TRUE(dir_.Write("a", "A"));
  EXPECT_EQ(Run({Command("RNFR", "a"), Unmappable("RNTO")}), Replies{"RENAME ERROR 2"});
  EXPECT_EQ(dir_.Read("a"), "A");
  const std::string console = Console();
  size_t refusals = 0;
  for (size_t at = 0; (at = console.find("\nPath too long -- refused", at)) != std::string::npos;
       ++at) {
    ++refusals;
  }
  EXPECT_EQ(refusals, 4u);
}

TEST_F(NamespaceTest, UndeliveredReplyStillLeavesTheOperationDone) {
  ASSERT_TRUE(dir_.Write("f", "F"));
  Client().GoSilentAfterFrames(0);
  EXPECT_EQ(Run({Command("DEL", "f")}), Replies{});
  EXPECT_FALSE(dir_.Exists("f"));
  EXPECT_EQ(lastResult, -1);
  EXPECT_EQ(port_.Register(0x378), 0);
}

}  // namespace
}  // namespace lpx
