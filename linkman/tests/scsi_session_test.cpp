// The SCSI link manager against a scripted IO-box driver (installed with
// Set_Channel_Driver(1, ...)) and scripted engine runs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "channel/mux32.h"
#include "engine/rox32.h"
#include "linkman/testing.h"
#include "linkman/tests/fake_net.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "scsi/boxlink.h"
#include "testsupport/recording_target.h"

namespace {

// One scripted call: Gscsi_flag as Listen leaves it, and as Accept leaves it.
struct Call {
  unsigned char marks_at_listen;
  unsigned char marks_after_accept;
  int channel;
  unsigned char hung;  // Gvp_reset_flag bits to show from this listen on
};

struct Script {
  std::mutex mu;
  std::deque<Call> calls;
  std::vector<std::pair<int, int>> closes;
  std::vector<int> runs;  // HT numbers the runner saw
  int close_result = 0;
  int resets = 0;
} g;

int Init() { return 0; }
int Open() { return 9; }
int Nothing2(int, int) { return 0; }
int Listen(int, int) {
  std::lock_guard<std::mutex> lock(g.mu);
  if (g.calls.empty()) return 0;
  platform::Store(Gscsi_flag, g.calls.front().marks_at_listen);
  platform::Store(Gvp_reset_flag, static_cast<unsigned char>(platform::Load(Gvp_reset_flag) | g.calls.front().hung));
  return 1;
}
int Accept(int) {
  std::lock_guard<std::mutex> lock(g.mu);
  if (g.calls.empty()) return -5;
  const Call c = g.calls.front();
  g.calls.pop_front();
  platform::Store(Gscsi_flag, c.marks_after_accept);
  return c.channel;
}
long Io(int, unsigned char*, std::uint32_t) { return -1; }
long Recv(int, unsigned char*, std::uint32_t, int) { return -1; }
int Close(int channel, unsigned char mode) {
  std::lock_guard<std::mutex> lock(g.mu);
  g.closes.emplace_back(channel, mode);
  return channel == 9 ? 0 : g.close_result;
}
int Reset() {
  std::lock_guard<std::mutex> lock(g.mu);
  ++g.resets;
  platform::Store(Gvp_reset_flag, static_cast<unsigned char>(0));
  return 0;
}
int Nothing1(int) { return 0; }
const ChannelDriver kDriver = {Init, Open, Nothing2, Nothing2, Listen, Accept, Io, Recv, Close, Reset, Nothing1, Nothing1};

short Runner(RS232_ROX& engine, int) {
  std::lock_guard<std::mutex> lock(g.mu);
  g.runs.push_back(engine.HTNumber);
  return 73;
}

class ScsiSession : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(g.mu);
      g.calls.clear();
      g.closes.clear();
      g.runs.clear();
      g.close_result = 0;
      g.resets = 0;
    }
    Set_Channel_Driver(1, &kDriver);
    tether::Set_Session_Runner(Runner);
    tether::Set_Listen_Pause_Ms(5);
    tether::Set_Box_Reset_Pause_Ms(10);
    dir_ = std::make_unique<fakenet::ProgramDir>("IF=SCSI\r\n[SCSI]\r\nScantime=1\r\n");
    HandleForTetherToMainWindow = &window_;
    for (int& v : TCPIP_Connections) platform::Store(v, 0);
    Gscsi_flag = 0;
    Gvp_reset_flag = 0;
  }
  void TearDown() override {
    if (Session_Running(LINK_SCSI)) Stop_A_Session(LINK_SCSI, 0);
    EXPECT_EQ(End_Remaining_Sessions(5000), 0);
    Set_Channel_Driver(1, nullptr);
    tether::Set_Session_Runner(nullptr);
    tether::Set_Listen_Pause_Ms(1000);
    tether::Set_Box_Reset_Pause_Ms(15000);
    HandleForTetherToMainWindow = nullptr;
    dir_.reset();
  }
  void Queue(Call c) {
    std::lock_guard<std::mutex> lock(g.mu);
    g.calls.push_back(c);
  }
  bool Drained(int ms) {
    const std::uint64_t end = platform::Monotonic_Ms() + static_cast<std::uint64_t>(ms);
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(g.mu);
        if (g.calls.empty()) break;
      }
      if (platform::Monotonic_Ms() > end) return false;
      platform::Sleep_Ms(2);
    }
    platform::Sleep_Ms(100);
    return true;
  }
  std::vector<long> Codes() {
    platform::Pump_Messages();
    std::vector<long> out;
    for (const auto& m : window_.Messages())
      if (m.wParam == 0) out.push_back(static_cast<long>(m.lParam));
    return out;
  }
  int Mode_Of(int channel) {
    std::lock_guard<std::mutex> lock(g.mu);
    for (auto [c, m] : g.closes)
      if (c == channel) return m;
    return -1;
  }

  std::unique_ptr<fakenet::ProgramDir> dir_;
  testsupport::RecordingTarget window_;
};

TEST_F(ScsiSession, TheOneChangedBitNamesTheHtAndOtherChangesAreRefused) {
  Queue({0x04, 0x00, 3, 0});  // box 2 -> HT 3
  Queue({0x05, 0x00, 4, 0});  // two bits changed
  Queue({0x02, 0x02, 5, 0});  // none changed
  ASSERT_EQ(Start_A_Session(LINK_SCSI, 0), 1);
  EXPECT_EQ(Start_A_Session(LINK_SCSI, 0), -1);
  ASSERT_TRUE(Drained(3000));
  {
    std::lock_guard<std::mutex> lock(g.mu);
    EXPECT_EQ(g.runs, std::vector<int>{3});
  }
  EXPECT_EQ(Mode_Of(3), 1) << "ordinary close after ending 73";
  EXPECT_EQ(Mode_Of(4), 1) << "refused";
  EXPECT_EQ(Mode_Of(5), 1) << "refused";
  const auto codes = Codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 81), 2);
  EXPECT_EQ(Stop_A_Session(LINK_SCSI, 0), 1);
  EXPECT_EQ(Stop_A_Session(LINK_SCSI, 0), -1);
  EXPECT_EQ(Mode_Of(9), 0) << "the listening channel closed at the stop";
  EXPECT_EQ(Gscsi_scan, 0);
}

TEST_F(ScsiSession, ResetDuringCloseIsReportedWith95AndHangUpsOncePerBoxUntilTheStop) {
  g.close_result = BL_RESET_DURING_CLOSE;
  Queue({0x02, 0x00, 6, 0x08});  // box 1 -> HT 2; box 3 hung up
  Queue({0x01, 0x00, 7, 0x08});
  ASSERT_EQ(Start_A_Session(LINK_SCSI, 0), 1);
  ASSERT_TRUE(Drained(3000));
  auto codes = Codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 95), 2);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 90), 1) << "box 4 (SCSI ID 3) once";
  ASSERT_EQ(Stop_A_Session(LINK_SCSI, 0), 1);
  window_.Clear();
  Queue({0x00, 0x00, 0, 0x08});
  ASSERT_EQ(Start_A_Session(LINK_SCSI, 0), 1);
  ASSERT_TRUE(Drained(3000));
  codes = Codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 90), 1) << "reported again after the stop";
}

TEST_F(ScsiSession, StartFailurePostsStartupError) {
  dir_ = std::make_unique<fakenet::ProgramDir>("IF=SCSI\r\n[ETHERNET]\r\nPORTNO=1\r\n");  // no [SCSI]
  EXPECT_EQ(Start_A_Session(LINK_SCSI, 0), -1);
  EXPECT_EQ(Codes(), std::vector<long>{78});
  EXPECT_EQ(Session_Running(LINK_SCSI), 0);
}

}  // namespace
