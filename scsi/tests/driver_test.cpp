// The IO-box driver against an in-process fake bus, with a clock that runs
// 40 times faster than the real one (40-second deadlines pass in one).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "linkman/tether32.h"
#include "platform/clock.h"
#include "scsi/boxlink.h"
#include "scsi/testing.h"
#include "scsi/tests/fake_aspi.h"

namespace {

using fakeaspi::Bus;
using fakeaspi::Data_Frame;
using fakeaspi::Device;
using fakeaspi::Frame;

constexpr std::uint8_t kInquiry = 0x12, kRead = 0x08, kWrite = 0x0A, kAbort = 0xAB;

std::int64_t Fast_Seconds() { return static_cast<std::int64_t>(platform::Monotonic_Ms() / 25); }
std::uint32_t Fast_Tick() { return static_cast<std::uint32_t>(platform::Monotonic_Ms() * 40); }
void Fast_Sleep(std::uint32_t ms) { platform::Sleep_Ms(ms / 40 > 0 ? ms / 40 : 1); }
const boxlink::Clock kFast = {Fast_Seconds, Fast_Tick, Fast_Sleep};

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Bus::Get().Install();
    boxlink::Reset_Driver_State();
    boxlink::Set_Clock(&kFast);
    Gscsi_scan = 0x7F;
    SCSILOG = 0;
    GScanTime = 3000;
    ASSERT_EQ(ch_init(), 0);
  }
  void TearDown() override {
    boxlink::Set_Clock(nullptr);
    boxlink::Use_Real_Back_End();
    Gscsi_scan = 0;
    SCSILOG = 0;
  }
  Bus& bus() { return Bus::Get(); }

  // Opens with an IO box at each of ids; returns the listening channel.
  int Open_Boxes(std::initializer_list<int> ids) {
    for (int id : ids) bus().Set_Device(id, Device::kIoBox);
    return ch_open();
  }
  // The box at id calls and is accepted; returns its channel.
  int Accept(int listener, int id) {
    bus().Queue_Read(id, Frame('0'));
    EXPECT_EQ(ch_listen(listener, 1), 1);
    bus().Queue_Read(id, Frame('2'));
    return ch_accept(listener);
  }
};

TEST_F(DriverTest, DiscoverySortsFoundRejectedAndEmptyIdsAndRejectedIsNotAskedAgainUntilReset) {
  bus().Set_Device(3, Device::kOther);
  const int listener = Open_Boxes({0, 2});
  ASSERT_GE(listener, 1);
  EXPECT_EQ(bus().Count(0, kWrite), 1) << "box 0 greeted";
  EXPECT_EQ(bus().Count(3, kWrite), 0) << "the other device is never greeted";
  EXPECT_EQ(bus().Count(3, kInquiry), 1);
  EXPECT_EQ(bus().Count(5, kInquiry), 1) << "an empty ID is asked and skipped";
  EXPECT_EQ(bus().Count(7, kInquiry), 0) << "the adapter's own ID is never asked";

  bus().Clear_Commands();
  unsigned char mask = 0xFF;
  EXPECT_EQ(chkIoboxOn(&mask), 0);
  EXPECT_EQ(mask, 0x05);
  EXPECT_EQ(bus().Count(0, kInquiry), 0) << "open boxes count as on without a command";
  EXPECT_EQ(bus().Count(3, kInquiry), 0) << "rejected";
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ch_listen(listener, 1), 0);
  EXPECT_EQ(bus().Count(3, kInquiry), 0) << "rejected";

  EXPECT_EQ(ch_close(listener, 0), 0);
  EXPECT_EQ(ch_reset(), 0);
  EXPECT_GE(ch_open(), 1);
  EXPECT_EQ(bus().Count(3, kInquiry), 1) << "asked again after ch_reset";
}

TEST_F(DriverTest, AdapterErrorStopsTheScanAndNoBoxAnywhereGivesMinus22) {
  bus().Set_Device(1, Device::kAdapterError);
  EXPECT_EQ(ch_open(), BL_ASPI_ERROR);
  unsigned char mask = 0;
  EXPECT_EQ(chkIoboxOn(&mask), BL_ASPI_ERROR);
  bus().Install();
  boxlink::Reset_Driver_State();
  EXPECT_EQ(ch_open(), BL_ASPI_ERROR) << "nothing on adapter 0, no adapter 1..6";
  EXPECT_EQ(ch_open(), BL_ASPI_ERROR) << "every adapter passed over";
}

TEST_F(DriverTest, InitAndPowerOnCheckReportTheLibrarysState) {
  bus().Set_Support(SS_FAILED_INIT << 8);
  EXPECT_EQ(ch_init(), BL_NEEDS_RESET);
  unsigned char mask = 9;
  EXPECT_EQ(chkIoboxOn(&mask), BL_NEEDS_RESET);
  EXPECT_EQ(mask, 0);
  boxlink::Set_Back_End(nullptr, nullptr);
  EXPECT_EQ(ch_init(), BL_ASPI_ERROR) << "no GetASPI32SupportInfo";
  boxlink::Set_Back_End(nullptr, nullptr, /*loaded=*/false);
  EXPECT_EQ(ch_init(), 0) << "no library: started, later calls fail";
  EXPECT_EQ(chkIoboxOn(&mask), BL_ASPI_ERROR);
  EXPECT_EQ(ch_open(), BL_ASPI_ERROR);
}

TEST_F(DriverTest, ListenChecksAndDebugLogThroughTheDriveTable) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("boxlink-log-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string saved = std::getenv("TARNEL_DRIVES") ? std::getenv("TARNEL_DRIVES") : "";
  setenv("TARNEL_DRIVES", ("C=" + dir.string()).c_str(), 1);
  const int listener = Open_Boxes({0});
  EXPECT_EQ(ch_listen(listener, 0), BL_BAD_ARGUMENT);
  EXPECT_FALSE(fs::exists(dir / "debug.lst")) << "SCSILOG 0 writes nothing";
  SCSILOG = 1;
  EXPECT_EQ(ch_listen(listener, 0), BL_BAD_ARGUMENT);
  EXPECT_EQ(ch_listen(listener, 8), BL_BAD_ARGUMENT);
  EXPECT_EQ(ch_listen(8, 1), BL_NOT_IN_USE);
  std::ifstream in(dir / "debug.lst");
  std::stringstream text;
  text << in.rdbuf();
  const std::string log = text.str();
  EXPECT_EQ(log.rfind('\n', 0), 0u) << "each entry starts on a new line";
  EXPECT_NE(log.find("ch_listen_2"), std::string::npos);
  EXPECT_NE(log.find("ch_listen_3"), std::string::npos);
  EXPECT_NE(log.find("ch_listen_1"), std::string::npos);
  EXPECT_NE(log.find("[HT:0x001 ERR:0x001]"), std::string::npos) << log;
  setenv("TARNEL_DRIVES", "Q=/nonexistent", 1);
  EXPECT_EQ(ch_listen(listener, 0), BL_BAD_ARGUMENT) << "an unmapped drive means no log, no failure";
  if (saved.empty()) unsetenv("TARNEL_DRIVES"); else setenv("TARNEL_DRIVES", saved.c_str(), 1);
  fs::remove_all(dir);
}

TEST_F(DriverTest, CallAcceptedWithOneTwoExchangeAndMarkCleared) {
  const int listener = Open_Boxes({2});
  EXPECT_EQ(ch_listen(listener, 1), 0) << "listening READ still pending";
  const int ch = Accept(listener, 2);
  ASSERT_GE(ch, 1);
  EXPECT_NE(ch, listener);
  EXPECT_EQ(Gscsi_flag, 0);
  const auto cmds = bus().Commands();
  ASSERT_GE(cmds.size(), 2u);
  EXPECT_EQ(cmds[cmds.size() - 2].data.at(0), '1');
  EXPECT_EQ(cmds.back().op, kRead);
}

TEST_F(DriverTest, GoneBoxIsGreetedAgainAndResetCodeResetsIt) {
  const int listener = Open_Boxes({1, 4});
  bus().Clear_Commands();
  bus().Queue_Read(1, Frame(0x18));
  bus().Queue_Read(4, Frame(0x09));
  bus().Queue_Read(4, Frame(0x00));  // the reset's answer
  EXPECT_EQ(ch_listen(listener, 1), 0);
  EXPECT_EQ(Gscsi_flag, 0);
  EXPECT_EQ(bus().Count(4, kWrite), 1) << "0x0C to the box that asked for a reset";
  EXPECT_EQ(ch_listen(listener, 1), 0);
  EXPECT_EQ(bus().Count(1, kInquiry), 1);
  EXPECT_EQ(bus().Count(1, kWrite), 1) << "greeted again";
  EXPECT_EQ(bus().Count(4, kWrite), 2) << "greeted again after its reset";
}

TEST_F(DriverTest, AcceptDropsAWrongCallAndTimesOutWithoutCaller) {
  const int listener = Open_Boxes({0});
  bus().Queue_Read(0, Frame('0'));
  ASSERT_EQ(ch_listen(listener, 1), 1);
  bus().Queue_Read(0, Frame('9'));  // not '2'
  EXPECT_EQ(ch_accept(listener), BL_TIMED_OUT);
  EXPECT_EQ(Gscsi_flag, 0);
}

TEST_F(DriverTest, SendCutsThirtyThousandBytesAndResendRepeatsOnlyItsChunk) {
  const int ch = Accept(Open_Boxes({2}), 2);
  bus().Clear_Commands();
  bus().Queue_Read(2, Frame(0));
  bus().Queue_Read(2, Frame(0x08));
  bus().Queue_Read(2, Frame(0));
  bus().Queue_Read(2, Frame(0));
  auto data = Bytes(30000, 3);
  EXPECT_EQ(ch_send(ch, data.data(), 30000), 30000);
  std::vector<std::size_t> sizes;
  for (const auto& c : bus().Commands()) {
    if (c.op == kWrite) {
      sizes.push_back(c.data.size() - 8);
      EXPECT_EQ(c.count, c.data.size());
      EXPECT_EQ(c.data[0], 0x10);
    } else {
      EXPECT_EQ(c.count, 8) << "acknowledgement READ asks for 8 bytes";
      EXPECT_EQ(c.buf_len, 17u) << "into a 17-byte buffer";
    }
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{14344, 14344, 14344, 1312}));
  const auto cmds = bus().Commands();
  EXPECT_EQ(cmds[2].data, cmds[4].data) << "the same chunk again";
}

TEST_F(DriverTest, EarlyDataDeliveredOnceAndOversizedCountIgnored) {
  const int ch = Accept(Open_Boxes({2}), 2);
  auto ack = Frame(0);
  ack[1] = 1;
  ack[2] = 4;
  ack.insert(ack.end(), {'E', 1, 2, 3, 99, 99, 99, 99, 99});
  bus().Queue_Read(2, ack);
  unsigned char b[10] = {};
  EXPECT_EQ(ch_send(ch, b, 5), 5);
  unsigned char got[10] = {};
  EXPECT_EQ(ch_recv(ch, got, 10, 1), 4);
  EXPECT_EQ(got[0], 'E');
  EXPECT_EQ(got[3], 3);
  EXPECT_EQ(ch_recv(ch, got, 10, 1), 0) << "once only";
  EXPECT_EQ(ch_recv(ch, got, 11, 1), BL_BAD_ARGUMENT);

  auto big = Frame(0);
  big[1] = 1;
  big[2] = 12;  // more than can follow the frame
  big.insert(big.end(), 9, 0x55);
  bus().Queue_Read(2, big);
  EXPECT_EQ(ch_send(ch, b, 5), 5);
  EXPECT_EQ(ch_recv(ch, got, 10, 1), 0) << "bytes that never arrived are not handed out";
}

TEST_F(DriverTest, LargeFrameIsQueuedAndServedWithoutAnotherCommand) {
  const int ch = Accept(Open_Boxes({2}), 2);
  const auto payload = Bytes(9000, 11);
  bus().Queue_Read(2, Data_Frame(0, payload));
  std::vector<unsigned char> a(4000), b(5000);
  EXPECT_EQ(ch_recv(ch, a.data(), 4000, 0), 4000);
  const std::size_t commands = bus().Commands().size();
  EXPECT_EQ(ch_recv(ch, b.data(), 5000, 0), 5000);
  EXPECT_EQ(bus().Commands().size(), commands) << "served from the queue";
  EXPECT_TRUE(std::equal(a.begin(), a.end(), payload.begin()));
  EXPECT_TRUE(std::equal(b.begin(), b.end(), payload.begin() + 4000));
  EXPECT_EQ(bus().Commands()[commands - 2].data.at(0), 0x20) << "a poll before the READ";
  EXPECT_EQ(bus().Commands()[commands - 1].count, 14344);
}

TEST_F(DriverTest, BadFramesEndTheReceive) {
  const int ch = Accept(Open_Boxes({2}), 2);
  auto lying = Frame(0);
  lying[2] = 0xFF;
  lying[3] = 0xFF;  // 65535 announced
  bus().Queue_Read(2, lying);
  unsigned char buf[100];
  EXPECT_EQ(ch_recv(ch, buf, 100, 0), BL_BAD_ARGUMENT);
  bus().Queue_Read(2, Frame(0x33));
  EXPECT_EQ(ch_recv(ch, buf, 100, 0), BL_BAD_ARGUMENT) << "first byte not 0";
  bus().Queue_Read(2, Data_Frame(0, Bytes(50, 1)), 0, 0x77);
  EXPECT_EQ(ch_recv(ch, buf, 100, 0), BL_ASPI_ERROR) << "a status the ABI does not know";
  bus().Set_Write_Status(0x66);
  EXPECT_EQ(ch_send(ch, buf, 10), BL_ASPI_ERROR);
}

TEST_F(DriverTest, CloseExchangesInBothModes) {
  GScanTime = 500;
  int listener = Open_Boxes({2});
  int ch = Accept(listener, 2);
  bus().Queue_Read(2, Frame('2'));
  bus().Queue_Read(2, Frame('3'));
  bus().Queue_Read(2, Frame(0));
  EXPECT_EQ(ch_close(ch, 0), 0);
  EXPECT_EQ(ch_send(ch, reinterpret_cast<unsigned char*>(&ch), 1), BL_NOT_IN_USE) << "freed";

  EXPECT_EQ(ch_listen(listener, 1), 0) << "greets the released box again";
  ch = Accept(listener, 2);
  ASSERT_GE(ch, 1);
  bus().Queue_Read(2, Data_Frame(0, Bytes(3, 1)));
  bus().Queue_Read(2, Frame(0x18));
  bus().Queue_Read(2, Frame(0));
  EXPECT_EQ(ch_close(ch, 1), 0);

  EXPECT_EQ(ch_listen(listener, 1), 0);
  ch = Accept(listener, 2);
  bus().Queue_Read(2, Frame('2'));
  bus().Queue_Read(2, Frame('3'));
  bus().Queue_Read(2, Frame(0x01));
  EXPECT_EQ(ch_close(ch, 0), BL_WRONG_ANSWER) << "last frame answered wrongly";

  EXPECT_EQ(ch_close(listener, 0), 0) << "the listening channel talks to nobody";
}

TEST_F(DriverTest, HungBoxIsMarkedAbortedBeforeItsResetAndClosedWithMinus51) {
  int listener = Open_Boxes({2});
  int ch = Accept(listener, 2);
  unsigned char buf[20] = {};
  // The acknowledgement READ never completes.
  EXPECT_EQ(ch_send(ch, buf, 20), BL_DEADLINE);
  EXPECT_EQ(Gvp_reset_flag, 0x04);
  EXPECT_EQ(ch_send(ch, buf, 20), BL_NEEDS_RESET);
  EXPECT_EQ(ch_recv(ch, buf, 20, 0), BL_NEEDS_RESET);
  bus().Clear_Commands();
  bus().Set_Auto_Reset_Answer(true);
  EXPECT_EQ(ch_close(ch, 1), 0) << "a box marked for reset is reset and closed";
  const auto cmds = bus().Commands();
  ASSERT_GE(cmds.size(), 2u);
  EXPECT_EQ(cmds[0].op, kAbort) << "the stuck READ is aborted before its block is used again";
  EXPECT_EQ(cmds[1].data.at(0), 0x0C);

  // Stops answering during the close: -51.
  ch_reset();
  listener = ch_open();
  ch = Accept(listener, 2);
  bus().Set_Device(2, Device::kHang);
  EXPECT_EQ(ch_close(ch, 0), BL_RESET_DURING_CLOSE);
}

TEST_F(DriverTest, ResetEmptiesTheOpenSetSoAStartAfterAStopGreetsAgain) {
  int listener = Open_Boxes({0, 2});
  EXPECT_EQ(ch_close(listener, 0), 0);
  EXPECT_EQ(ch_reset(), 0);
  EXPECT_EQ(bus().Count(0, kAbort), 1) << "listening READs aborted";
  bus().Clear_Commands();
  listener = ch_open();
  ASSERT_GE(listener, 1);
  EXPECT_EQ(bus().Count(0, kWrite), 1);
  EXPECT_EQ(bus().Count(2, kWrite), 1);
  EXPECT_GE(Accept(listener, 2), 1) << "a call after the restart is served";
}

TEST_F(DriverTest, ChannelTableRunsOut) {
  std::vector<int> chans;
  for (int i = 0; i < 8; ++i) {
    Bus::Get().Set_Device(0, Device::kIoBox);
    const int ch = ch_open();
    ASSERT_GE(ch, 1);
    chans.push_back(ch);
  }
  EXPECT_EQ(ch_open(), BL_NO_CHANNEL);
  EXPECT_EQ(ch_send(9, reinterpret_cast<unsigned char*>(&chans), 1), BL_NOT_IN_USE);
  EXPECT_EQ(ch_send(chans[0], nullptr, 1), BL_BAD_ARGUMENT);
  EXPECT_EQ(ch_recv(chans[0], reinterpret_cast<unsigned char*>(&chans), 65536, 0), BL_BAD_ARGUMENT);
  EXPECT_EQ(ch_recv(chans[0], reinterpret_cast<unsigned char*>(&chans), 1, -1), BL_BAD_ARGUMENT);
}

}  // namespace
