#include "convert/path.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "convert/variant.h"

namespace lpx {
namespace {

// The mapped path in variant A or C, or "<refused>". A refusal must leave
// no earlier result behind.
std::string Map(const std::string& clientPath, bool c) {
  variantC = c;
  const char* local = FormatUnixName(clientPath.c_str());
  variantC = false;
  if (local == nullptr) return filename[0] == '\0' ? "<refused>" : "<refused, result left>";
  return local;
}

// The result fits its buffer with 699 bytes and the terminator.
TEST(FormatUnixNameTest, ClientPathsInVariantsAAndC) {
  const std::string a(695, 'a');
  // The client path; in variant A; in variant C where it differs.
  const std::tuple<std::string, std::string, std::string> kCases[] = {
      {"\\", "/", ""},
      {"home\\user\\", "/home/user", ""},
      {"\\\\srv\\share", "//srv/share", ""},
      {"\\5\x80\xA4\xE9", "/5\xA4\x80\xE9", "/5\xE2\x82\xAC\xC2\xA4\xC3\xA9"},
      {"aaa" + a + "\\", "/aaa" + a, ""},  // a dropped separator does not count
      {"aaaa" + a, "<refused>", ""},
      {"a" + a + "\xE9", "/a" + a + "\xE9", "/a" + a + "\xC3\xA9"},
      {a + "\x80", "/" + a + "\xA4", "/" + a + "\xE2\x82\xAC"},
      {"a" + a + "\x80", "/a" + a + "\xA4", "<refused>"},
  };
  for (const auto& [client, inA, inC] : kCases) {
    EXPECT_EQ(Map(client, false), inA) << client;
    EXPECT_EQ(Map(client, true), inC.empty() ? inA : inC) << client;
  }
}

}  // namespace
}  // namespace lpx
