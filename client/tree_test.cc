#include "client/tree.h"

#include <gtest/gtest.h>

#include "convert/fattime.h"

namespace lpx {
namespace {

constexpr uint32_t kTime = 0x58654321;
constexpr auto kSend = TreeStep::kSend;
constexpr auto kContinue = TreeStep::kContinue;
constexpr auto kSkip = TreeStep::kSkip;

ListingEntry File(uint32_t size, uint32_t time = kTime) { return {"f", size, time, true, 32}; }

// A 100-byte local file with time kTime against the server's copy: only a
// copy with the same time is complete (same size) or a broken upload
// (fewer bytes); only -c looks at it.
TEST(TreeTest, PutSkipsCompleteFilesAndContinuesBrokenOnes) {
  const ListingEntry directory{"f", 0, kTime, true, kAttrDirectory};
  const ListingEntry noTime{"f", 100, 0, false, 32};
  const std::tuple<bool, ListingEntry, bool, TreeStep> kCases[] = {
      {true, File(100), true, kSkip},
      {false, File(100), true, kSend},
      {true, File(40), true, kContinue},
      {true, File(0), true, kContinue},
      {true, File(40, kTime + 1), true, kSend},
      {true, File(100, kTime - 1), true, kSend},
      {true, File(140), true, kSend},
      {true, directory, true, kSend},
      {true, noTime, true, kSend},
      {true, File(100), false, kSend}};
  for (const auto& [resume, entry, listed, step] : kCases) {
    EXPECT_EQ(ChoosePutStep(resume, listed ? &entry : nullptr, 100, kTime), step)
        << resume << " " << entry.size << " " << entry.fatTime << " " << listed;
  }
}

// The server's 100-byte file with time kTime against the local target
// (size, time; -1: none) and a .lpxpart beside it.
TEST(TreeTest, GetSkipsCompleteFilesAndContinuesPartialOnes) {
  const std::tuple<bool, int64_t, uint32_t, bool, TreeStep> kCases[] = {
      {true, 100, kTime, false, kSkip},     {true, 100, kTime, true, kSkip},
      {false, 100, kTime, false, kSend},    {false, -1, 0, true, kSend},
      {true, -1, 0, true, kContinue},       {true, -1, 0, false, kSend},
      {true, 100, kTime + 1, false, kSend}, {true, 99, kTime, true, kContinue}};
  for (const auto& [resume, size, time, partial, step] : kCases) {
    EXPECT_EQ(ChooseGetStep(resume, File(100), size, time, partial), step)
        << resume << " " << size << " " << time << " " << partial;
  }
}

}  // namespace
}  // namespace lpx
