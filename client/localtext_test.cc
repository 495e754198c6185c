#include "client/localtext.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace lpx {
namespace {

class LocalTextTest : public ::testing::Test {
 protected:
  void TearDown() override { ResetLocalTextState(); }
  static std::string Path(const char* path) {
    char out[16];
    return RemotePathToClient(path, out, sizeof out) ? out : "<refused>";
  }
  // A local text file sent and fetched back: the wire bytes, the wire and
  // local counts, and the file that the wire bytes make when they arrive one
  // at a time (so that every CR comes apart from its LF).
  static std::string SendAndFetch(std::string local) {
    FILE* file = fmemopen(local.data(), local.size(), "r");
    WireReader reader{file};
    std::string wire;
    for (int c; (c = reader.Next()) >= 0;) wire += static_cast<char>(c);
    uint64_t counts[2];
    rewind(file);
    CountWireBytes(file, &counts[0], &counts[1]);
    fclose(file);
    char* back = nullptr;
    size_t size = 0;
    file = open_memstream(&back, &size);
    TextWriter writer{file};
    for (const char& c : wire) EXPECT_TRUE(writer.Write(reinterpret_cast<const uint8_t*>(&c), 1));
    EXPECT_TRUE(writer.Finish());
    fclose(file);
    const std::string fetched(back, size);
    free(back);
    return wire + "|" + std::to_string(counts[0]) + "/" + std::to_string(counts[1]) + "|" + fetched;
  }
};

TEST_F(LocalTextTest, PathsAndNames) {
  char name[16];
  EXPECT_EQ(Path("/tmp\\a\xA4.txt"), "\\tmp\\a\x80.txt");
  EXPECT_EQ(Path("/abcdefghijklmno"), "<refused>");  // does not fit
  ASSERT_TRUE(ClientNameToLocal("a\x80\xE9\tb\x7F", name, sizeof name));
  EXPECT_STREQ(name, "a\xA4\xE9?b?");
  localCharset = LocalCharset::kUtf8;
  EXPECT_EQ(Path("/caf\xC3\xA9\xE2\x82\xAC"), "\\caf\xE9\x80");
  EXPECT_EQ(Path("/\xCE\xA9"), "<refused>");  // omega has no client byte
  EXPECT_EQ(Path("/\xC3"), "<refused>");      // cut short
  ASSERT_TRUE(ClientNameToLocal("a\x80\xE9", name, sizeof name));
  EXPECT_STREQ(name, "a\xE2\x82\xAC\xC3\xA9");
  EXPECT_STREQ(PathBaseName("/a\\b/c.txt"), "c.txt");
  EXPECT_STREQ(PathBaseName("/a/"), "");
  EXPECT_EQ(WithoutTrailingSeparators("\\/"), "/");
  EXPECT_EQ(JoinPath("", "x", '/'), "/x");
  EXPECT_EQ(JoinPath("\\d\\", "x", '\\'), "\\d\\x");
}

TEST_F(LocalTextTest, TextBothWays) {
  // A CR without its LF stays a CR, also at the end.
  EXPECT_EQ(SendAndFetch("a\nb\r\n\xA4\r"), "a\r\nb\r\r\n\x80\r|9/7|a\nb\r\n\xA4\r");
  localCharset = LocalCharset::kUtf8;
  // U+0080 (its byte is the euro sign's), characters beyond the client's set
  // (of two and of four bytes), an invalid byte, and one cut short by the end
  // of the file, as an interrupted fetch may leave it: that one is not counted.
  EXPECT_EQ(SendAndFetch("\xE2\x82\xAC\n\xC3\xBC\xC2\x80\xCE\xA9\xF0\x9F\x98\x80\xFF\xC3"),
            "\x80\r\n\xFC~~~~~|8/15|\xE2\x82\xAC\n\xC3\xBC~~~~~");
}

}  // namespace
}  // namespace lpx
