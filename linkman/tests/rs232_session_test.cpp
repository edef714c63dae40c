// The RS-232C link: one engine whose session loop runs again and again until
// the stop.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "engine/rox32.h"
#include "linkman/testing.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "platform/clock.h"

namespace {

std::atomic<int> g_calls{0};
std::atomic<int> g_aborts_seen{0};

// One line session that lasts until the operator aborts it.
short Session_Until_Abort(RS232_ROX& engine) {
  g_calls.fetch_add(1);
  EXPECT_EQ(engine.HTNumber, 0);  // the loop sets it itself
  const std::uint64_t limit = platform::Monotonic_Ms() + 10000;
  while (platform::Load(Info_Of(1).AbortFromGUI) == 0 && platform::Monotonic_Ms() < limit)
    platform::Sleep_Ms(2);
  g_aborts_seen.fetch_add(1);
  Set_Abort_From_GUI(1, 0);
  return E_BREAK_KEY;
}

// A line that cannot be opened: the loop returns at once.
short Line_Fails(RS232_ROX&) {
  g_calls.fetch_add(1);
  return -1;
}

class Rs232Session : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls = 0;
    g_aborts_seen = 0;
    std::memset(&Info_Of(1), 0, sizeof(InfoHT));
  }
  void TearDown() override {
    if (Session_Running(LINK_RS232C)) Stop_A_Session(LINK_RS232C, 2);
    tether::Set_Line_Runner(nullptr);
  }
};

TEST_F(Rs232Session, StopEndsTheRunningSessionAndTheThread) {
  tether::Set_Line_Runner(Session_Until_Abort);
  ASSERT_EQ(Start_A_Session(LINK_RS232C, 2), 1);
  EXPECT_EQ(Start_A_Session(LINK_RS232C, 2), -1);
  const std::uint64_t limit = platform::Monotonic_Ms() + 5000;
  while (g_calls.load() == 0 && platform::Monotonic_Ms() < limit) platform::Sleep_Ms(2);
  ASSERT_EQ(g_calls.load(), 1);

  EXPECT_EQ(Stop_A_Session(LINK_RS232C, 2), 1);
  EXPECT_EQ(g_aborts_seen.load(), 1);
  EXPECT_EQ(g_calls.load(), 1);  // not called again after the stop
  EXPECT_EQ(Session_Running(LINK_RS232C), 0);
  EXPECT_EQ(Stop_A_Session(LINK_RS232C, 2), -1);
  // It can be started again.
  EXPECT_EQ(Start_A_Session(LINK_RS232C, 2), 1);
}

TEST_F(Rs232Session, LineThatCannotBeOpenedIsRetriedWithoutSpinning) {
  tether::Set_Line_Runner(Line_Fails);
  ASSERT_EQ(Start_A_Session(LINK_RS232C, 2), 1);
  platform::Sleep_Ms(500);
  EXPECT_GE(g_calls.load(), 1);
  EXPECT_LE(g_calls.load(), 2);
  const std::uint64_t start = platform::Monotonic_Ms();
  EXPECT_EQ(Stop_A_Session(LINK_RS232C, 2), 1);
  EXPECT_LT(platform::Monotonic_Ms() - start, 3000u);
}

}  // namespace
