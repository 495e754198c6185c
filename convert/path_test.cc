#include "convert/path.h"

#include <gtest/gtest.h>

#include <string>

#include "convert/variant.h"

namespace lpx {
namespace {

class FormatUnixNameTest : public ::testing::Test {
 protected:
  void TearDown() override { variantC = false; }
  // The mapped path, or "<refused>".
  std::string Map(const std::string& clientPath) {
    const char* result = FormatUnixName(clientPath.c_str());
    if (result == nullptr) {
      EXPECT_STREQ(filename, "");
      return "<refused>";
    }
    EXPECT_EQ(result, filename);
    return result;
  }
};

TEST_F(FormatUnixNameTest, ShapesOfClientPaths) {
  for (bool c : {false, true}) {
    SCOPED_TRACE(c ? "variant C" : "variant A");
    variantC = c;
    EXPECT_EQ(Map(""), "/");
    EXPECT_EQ(Map("\\"), "/");
    EXPECT_EQ(Map("/"), "/");
    EXPECT_EQ(Map("\\home\\user\\"), "/home/user");
    EXPECT_EQ(Map("home\\user"), "/home/user");
    EXPECT_EQ(Map("/tmp/"), "/tmp");
    EXPECT_EQ(Map("\\\\srv\\share"), "//srv/share");
    EXPECT_EQ(Map("C:\\x"), "/C:/x");
    EXPECT_EQ(Map("/a//"), "/a/");
    EXPECT_EQ(Map("\\a\\..\\b\\.\\c"), "/a/../b/./c");
  }
}

TEST_F(FormatUnixNameTest, VariantAExchangesTheEuroSigns) {
  EXPECT_EQ(Map("\\5\x80.txt"), "/5\xA4.txt");
  EXPECT_EQ(Map("\\5\xA4\xE9"), "/5\x80\xE9");
}

TEST_F(FormatUnixNameTest, VariantARefusesAPathLongerThanTheBuffer) {
  EXPECT_EQ(Map(std::string(698, 'a')), "/" + std::string(698, 'a'));
  EXPECT_EQ(Map(std::string(699, 'a')), "<refused>");
  EXPECT_EQ(Map("/" + std::string(698, 'a')), "/" + std::string(698, 'a'));
  EXPECT_EQ(Map("/" + std::string(699, 'a')), "<refused>");
  // The dropped trailing separator does not count.
  EXPECT_EQ(Map(std::string(698, 'a') + "\\"), "/" + std::string(698, 'a'));
}

TEST_F(FormatUnixNameTest, VariantCEncodesUtf8) {
  variantC = true;
  EXPECT_EQ(Map("\\5\x80"), "/5\xE2\x82\xAC");
  EXPECT_EQ(Map("caf\xE9\\"), "/caf\xC3\xA9");
}

TEST_F(FormatUnixNameTest, VariantCRefusesWhatWouldNotFitEncoded) {
  variantC = true;
  std::string euros232;
  for (int i = 0; i < 232; ++i) euros232 += "\xE2\x82\xAC";
  // 1 + 232 * 3 = 697 bytes fit; 1 + 233 * 3 = 700 leave no room for the terminator.
  EXPECT_EQ(Map("\\" + std::string(232, '\x80')), "/" + euros232);
  EXPECT_EQ(Map("\\" + std::string(233, '\x80')), "<refused>");
  EXPECT_EQ(Map("/" + std::string(233, '\x80')), "<refused>");
  EXPECT_EQ(Map(std::string(349, '\xE9')).size(), 699u);
  EXPECT_EQ(Map(std::string(350, '\xE9')), "<refused>");
  // A refusal leaves no earlier result behind.
  Map("\\old");
  EXPECT_EQ(Map(std::string(350, '\xE9')), "<refused>");
}

}  // namespace
}  // namespace lpx
