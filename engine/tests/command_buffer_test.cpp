// The command buffer slots: a line goes in whole or not at all, and a
// reader never takes a mix of two lines while others rewrite the slot.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "engine/rox32.h"
#include "platform/clock.h"

namespace {

constexpr int kHt = 9;

std::string Slot_Of(int ht) {
  char line[CMD_BUF_SIZE];
  Read_Command_Buffer(ht, line, sizeof line);
  return line;
}

TEST(CommandBuffer, LineThatDoesNotFitWithItsNulIsRefusedAndTheSlotKept) {
  ASSERT_TRUE(Write_Command_Buffer(kHt, "/1/P before"));
  const std::string longest = "/D " + std::string(CMD_BUF_SIZE - 4, 'x');  // 1999 characters
  const std::string one_more = longest + "y";
  EXPECT_FALSE(Write_Command_Buffer(kHt, one_more.c_str()));
  EXPECT_EQ(Slot_Of(kHt), "/1/P before");
  EXPECT_FALSE(Write_Command_Buffer(kHt, (one_more + std::string(3000, 'z')).c_str()));
  EXPECT_EQ(Slot_Of(kHt), "/1/P before");
  ASSERT_TRUE(Write_Command_Buffer(kHt, longest.c_str()));
  EXPECT_EQ(Slot_Of(kHt), longest);
  // A shorter line replaces a longer one completely.
  ASSERT_TRUE(Write_Command_Buffer(kHt, "/B"));
  EXPECT_EQ(Slot_Of(kHt), "/B");
  // An empty line empties the slot.
  ASSERT_TRUE(Write_Command_Buffer(kHt, ""));
  EXPECT_TRUE(Command_Buffer_Empty(kHt));
  EXPECT_EQ(Slot_Of(kHt), "");
}

TEST(CommandBuffer, SmallerReaderBufferGetsTheLineCut) {
  ASSERT_TRUE(Write_Command_Buffer(kHt, "/P abcdef"));
  char out[5];
  EXPECT_TRUE(Read_Command_Buffer(kHt, out, sizeof out));
  EXPECT_STREQ(out, "/P a");
  Clear_Command_Buffer(kHt);
  EXPECT_FALSE(Read_Command_Buffer(kHt, out, sizeof out));
  EXPECT_STREQ(out, "");
}

TEST(CommandBuffer, ReaderSeesOnlyWholeLinesWhileOthersRewriteAndClearTheSlot) {
  // Two lines that differ in every byte after the first and in length, so
  // any mix of them is seen.
  const std::string a = "/S " + std::string(1500, 'a') + " \\A";
  const std::string b = "/D " + std::string(300, 'b');
  Clear_Command_Buffer(kHt);
  std::atomic<bool> stop{false};
  std::atomic<long> rewrites{0};
  std::thread writer([&] {
    for (long i = 0; !stop.load(); ++i) {
      Write_Command_Buffer(kHt, (i % 2 ? a : b).c_str());
      rewrites.fetch_add(1);
    }
  });
  // A second writer: the engine clearing the slot after it took a line.
  std::thread clearer([&] {
    while (!stop.load()) {
      Clear_Command_Buffer(kHt);
      std::this_thread::yield();
    }
  });
  long reads = 0, whole = 0, bad = 0;
  std::string first_bad;
  const std::uint64_t limit = platform::Monotonic_Ms() + 1500;
  char line[CMD_BUF_SIZE];
  // At least 200000 reads, and on until a whole line was seen (the writers
  // may not have been scheduled yet), within the time limit.
  while ((reads < 200000 || whole == 0) && platform::Monotonic_Ms() < limit) {
    ++reads;
    const bool got = Read_Command_Buffer(kHt, line, sizeof line);
    if (!got) {
      if (line[0] != '\0') ++bad;
      continue;
    }
    if (a == line || b == line) {
      ++whole;
    } else if (++bad == 1) {
      first_bad = line;
    }
  }
  stop = true;
  writer.join();
  clearer.join();
  EXPECT_EQ(bad, 0) << "first mixed line: " << first_bad.substr(0, 80) << "... (" << first_bad.size() << " bytes)";
  EXPECT_GT(whole, 0) << reads << " reads, " << rewrites.load() << " rewrites";
  EXPECT_GT(rewrites.load(), 10);
}

}  // namespace
