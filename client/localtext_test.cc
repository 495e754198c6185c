#include "client/localtext.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace lpx {
namespace {

class LocalTextTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetLocalTextState(); }
  void TearDown() override {
    if (file_ != nullptr) fclose(file_);
  }

  FILE* FileWith(const std::string& bytes) {
    file_ = tmpfile();
    fwrite(bytes.data(), 1, bytes.size(), file_);
    rewind(file_);
    return file_;
  }
  std::string FileBytes() {
    fflush(file_);
    rewind(file_);
    std::string out;
    for (int c; (c = getc(file_)) != EOF;) out += static_cast<char>(c);
    return out;
  }
  std::string WireOf(const std::string& local) {
    WireReader reader{FileWith(local)};
    std::string wire;
    for (int c; (c = reader.Next()) >= 0;) wire += static_cast<char>(c);
    return wire;
  }
  static std::string ClientPath(const char* path) {
    char out[64];
    return RemotePathToClient(path, out, sizeof out) ? out : "<refused>";
  }

  FILE* file_ = nullptr;
};

TEST_F(LocalTextTest, RemotePathsGetBackslashesAndClientBytes) {
  EXPECT_EQ(ClientPath("/tmp/a\xA4.txt"), "\\tmp\\a\x80.txt");  // ISO 8859-15 euro
  EXPECT_EQ(ClientPath("\\tmp\\x"), "\\tmp\\x");
  localCharset = LocalCharset::kUtf8;
  EXPECT_EQ(ClientPath("/caf\xC3\xA9 \xE2\x82\xAC"), "\\caf\xE9 \x80");
  EXPECT_EQ(ClientPath("/\xCE\xA9"), "<refused>");  // Greek omega has no client byte
  EXPECT_EQ(ClientPath("/\xC3"), "<refused>");      // cut short
  char tiny[4];
  EXPECT_FALSE(RemotePathToClient("/abcd", tiny, sizeof tiny));
}

TEST_F(LocalTextTest, ClientNamesBecomeLocal) {
  char out[32];
  ASSERT_TRUE(ClientNameToLocal("a\x80\xE9\tb", out, sizeof out));
  EXPECT_STREQ(out, "a\xA4\xE9?b");
  localCharset = LocalCharset::kUtf8;
  ASSERT_TRUE(ClientNameToLocal("a\x80\xE9", out, sizeof out));
  EXPECT_STREQ(out, "a\xE2\x82\xAC\xC3\xA9");
}

TEST_F(LocalTextTest, UploadTextGetsCrLfAndClientBytes) {
  EXPECT_EQ(WireOf("a\nb\xA4\n"), "a\r\nb\x80\r\n");
  EXPECT_EQ(WireOf(""), "");
  localCharset = LocalCharset::kUtf8;
  EXPECT_EQ(WireOf("\xE2\x82\xAC\n\xC3\xBC\xCE\xA9\xFF"), "\x80\r\n\xFC~~");
}

TEST_F(LocalTextTest, FetchedTextGetsLfEvenWhenCrAndLfArriveApart) {
  TextWriter writer{FileWith("")};
  ASSERT_TRUE(writer.Write(reinterpret_cast<const uint8_t*>("a\r"), 2));
  ASSERT_TRUE(writer.Write(reinterpret_cast<const uint8_t*>("\nb\r\r\n\x80"), 6));
  ASSERT_TRUE(writer.Write(reinterpret_cast<const uint8_t*>("\r"), 1));
  ASSERT_TRUE(writer.Finish());
  EXPECT_EQ(FileBytes(), "a\nb\r\n\xA4\r");
}

TEST_F(LocalTextTest, FetchedTextInUtf8) {
  localCharset = LocalCharset::kUtf8;
  TextWriter writer{FileWith("")};
  ASSERT_TRUE(writer.Write(reinterpret_cast<const uint8_t*>("\x80\xE9\r\n"), 4));
  EXPECT_EQ(FileBytes(), "\xE2\x82\xAC\xC3\xA9\n");
}

TEST_F(LocalTextTest, CountsTheWireBytesOfWholeCharacters) {
  uint64_t wire = 0, local = 0;
  CountWireBytes(FileWith("ab\ncd"), &wire, &local);
  EXPECT_EQ(wire, 6u);
  EXPECT_EQ(local, 5u);
  fclose(file_);
  localCharset = LocalCharset::kUtf8;
  // A euro sign, an LF, and the first byte of an e-acute cut off by a break.
  CountWireBytes(FileWith("\xE2\x82\xAC\n\xC3"), &wire, &local);
  EXPECT_EQ(wire, 3u);
  EXPECT_EQ(local, 4u);
}

TEST_F(LocalTextTest, BaseNames) {
  EXPECT_STREQ(PathBaseName("/a/b.txt"), "b.txt");
  EXPECT_STREQ(PathBaseName("\\a\\b"), "b");
  EXPECT_STREQ(PathBaseName("/a/"), "");
  EXPECT_STREQ(PathBaseName("x"), "x");
}

}  // namespace
}  // namespace lpx
