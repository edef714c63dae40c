// Error table, protocol-pair mapping, error log records and status updates.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "channel/mux32.h"
#include "engine/bounded.h"
#include "engine/rox32.h"
#include "platform/clock.h"
#include "testsupport/recording_target.h"

namespace {

TEST(ErrorTable, TextsAndPairs) {
  EXPECT_STREQ(ErrorTable[0].Message, "Normal Ending");
  EXPECT_STREQ(ErrorTable[77].Message, "Option Error ");
  EXPECT_STREQ(ErrorTable[75].Message, "Command Timout Error");
  EXPECT_STREQ(ErrorTable[108].Message, "File Being Accessed");
  EXPECT_EQ(ErrorTable[95].Class, 0x05);
  EXPECT_EQ(ErrorTable[95].Detail, 0x18);
  EXPECT_EQ(ErrorTable[107].Class, 0xF5);
  EXPECT_EQ(ErrorTable[107].Detail, 0x0A);
  for (int i = 0; i < ERROR_COUNT; ++i) EXPECT_LT(strnlen(ErrorTable[i].Message, 40), 40u) << i;
}

TEST(ErrorTable, EveryPairTheHtCanSendMapsBackToItsCode) {
  for (short code = 0; code < ERROR_COUNT; ++code) {
    const ErrorEntry& e = ErrorTable[code];
    bool from_ht = e.Class <= 4 || (e.Class == 5 && e.Detail <= 4) || e.Class >= 0xDC;
    if (e.Class == 0xF5 && e.Detail != 0) from_ht = false;  // child program codes
    short expect = from_ht ? code : static_cast<short>(E_UNKNOWN);
    EXPECT_EQ(RS232_ROX::Get_Error_Message(e.Class, e.Detail), expect) << "code " << code;
  }
}

TEST(ErrorTable, PairsWithoutEntryGiveUnknown) {
  EXPECT_EQ(RS232_ROX::Get_Error_Message(0xED, 0), 18);
  EXPECT_EQ(RS232_ROX::Get_Error_Message(0xF8, 0), 29);
  EXPECT_EQ(RS232_ROX::Get_Error_Message(0xF8, 1), E_UNKNOWN);
  EXPECT_EQ(RS232_ROX::Get_Error_Message(5, 0x18), E_UNKNOWN);
  EXPECT_EQ(RS232_ROX::Get_Error_Message(0xDB, 0), E_UNKNOWN);
  EXPECT_EQ(RS232_ROX::Get_Error_Message(0xF9, 0), E_UNKNOWN);
  EXPECT_EQ(RS232_ROX::Get_Error_Message(0, 1), E_UNKNOWN);
  EXPECT_EQ(RS232_ROX::Get_Error_Message(1, 0x11), E_UNKNOWN);
  EXPECT_EQ(RS232_ROX::Get_Error_Message(3, 0x1F), E_UNKNOWN);  // 64's own pair
  EXPECT_EQ(RS232_ROX::Get_Error_Message(4, 1), E_UNKNOWN);
}

// --- Error log -------------------------------------------------------------------

struct ErrorLogTest : ::testing::Test {
  std::string dir;
  std::string path;
  char saved_log[1024];
  int saved_interface = GInterface;
  testsupport::RecordingTarget window;
  platform::HWND saved_window = HandleForROXToMainWindow;
  RS232_ROX rox;

  void SetUp() override {
    std::random_device rd;
    dir = (std::filesystem::temp_directory_path() / ("qvrlog" + std::to_string(rd()))).string();
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    path = dir + "/ERROR.LOG";
    std::memcpy(saved_log, DefErrorFile, sizeof saved_log);
    bounded::Copy(DefErrorFile, path.c_str());
    HandleForROXToMainWindow = &window;
    rox.HTNumber = 3;
    rox.SessionInfo.Session = 17;
    std::memset(&Info_Of(3), 0, sizeof(InfoHT));
  }
  void TearDown() override {
    std::filesystem::remove_all(dir);
    std::memcpy(DefErrorFile, saved_log, sizeof saved_log);
    GInterface = saved_interface;
    HandleForROXToMainWindow = saved_window;
  }
  std::string Log() const {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The head of a record for ht and session 17 at time t.
  static std::string Head(int ht, const platform::LocalTime& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "\n%3d  17  %2d-%2d-%4d  %2d-%2d-%2d", ht, t.day, t.month, t.year, t.hour,
                  t.minute, t.second);
    return buf;
  }
  // True when log is one record for ht with the given tail, stamped between
  // the two times.
  bool Is_Record(const std::string& log, int ht, const std::string& tail, const platform::LocalTime& before,
                 const platform::LocalTime& after) const {
    return log == Head(ht, before) + tail || log == Head(ht, after) + tail;
  }
};

TEST_F(ErrorLogTest, RecordOnTcpIp) {
  GInterface = 2;
  auto before = platform::Get_Local_Time();
  rox.Error(3, E_END_FROM_HT);
  auto after = platform::Get_Local_Time();
  std::string log = Log();
  EXPECT_TRUE(Is_Record(log, 3, "  0x01\t0x05\tEnd Indication from HT", before, after)) << log;
}

TEST_F(ErrorLogTest, ScsiWritesIoBoxPositionAndRecordsAppend) {
  GInterface = 1;
  auto before = platform::Get_Local_Time();
  rox.Error(3, E_END_FROM_HT);
  rox.Error(3, E_OPTION);
  auto after = platform::Get_Local_Time();
  std::string log = Log();
  std::string first = "  0x01\t0x05\tEnd Indication from HT";
  std::string second = "  0x06\t0x05\tOption Error ";
  EXPECT_TRUE(log == Head(2, before) + first + Head(2, before) + second ||
              log == Head(2, before) + first + Head(2, after) + second ||
              log == Head(2, after) + first + Head(2, after) + second)
      << log;
}

TEST_F(ErrorLogTest, CodeZeroWritesNothing) {
  rox.Error(3, 0);
  EXPECT_EQ(Log(), "");
  EXPECT_TRUE(std::filesystem::exists(path));  // opened and closed all the same
}

TEST_F(ErrorLogTest, UnknownErrorShowsTheReceivedPair) {
  GInterface = 2;
  unsigned char pkt[PACKET_BUF_SIZE] = {1, 'E', 0, 2, 0, 0x07, 0xC3};
  rox.PacketBuf = pkt;
  rox.Error(3, E_UNKNOWN);
  EXPECT_NE(Log().find("  0x07\t0xC3\tUnknown Error"), std::string::npos) << Log();
  // Without a packet buffer the table's own pair is written.
  rox.PacketBuf = nullptr;
  rox.Error(3, E_UNKNOWN);
  EXPECT_NE(Log().find("  0x1F\t0x03\tUnknown Error"), std::string::npos) << Log();
}

TEST_F(ErrorLogTest, UnopenableLogReportsCode76) {
  bounded::Copy(DefErrorFile, (dir + "/missing/ERROR.LOG").c_str());
  rox.PostStatus = 0;
  rox.Error(3, E_END_FROM_HT);
  EXPECT_EQ(Info_Of(3).Index, E_ERRORLOG_OPEN);
  ASSERT_EQ(window.Messages().size(), 1u);
  EXPECT_EQ(window.Messages()[0].msg, WM_HT_STATUS);
}

// --- Status updates -----------------------------------------------------------------

struct StatusTest : ::testing::Test {
  testsupport::RecordingTarget window;
  platform::HWND saved_window = HandleForROXToMainWindow;
  RS232_ROX rox;
  void SetUp() override {
    HandleForROXToMainWindow = &window;
    rox.HTNumber = 5;
    std::memset(&Info_Of(5), 0, sizeof(InfoHT));
  }
  void TearDown() override { HandleForROXToMainWindow = saved_window; }
  std::string File() const { return std::string(Info_Of(5).File, sizeof Info_Of(5).File); }
};

TEST_F(StatusTest, ProgressFillsRecordWithBlankPaddedText) {
  EXPECT_EQ(rox.Update_Status(12, "ABCDEFGHIJ", 1, 40, 0, 1), 0);
  const InfoHT& info = Info_Of(5);
  EXPECT_EQ(File(), "ABCDEFGHIJ" + std::string(1014, ' '));
  EXPECT_EQ(info.HTNo, 5);
  EXPECT_EQ(info.SNo, 12);
  EXPECT_EQ(info.Mode, 1);
  EXPECT_EQ(info.Cent, 40);
  EXPECT_EQ(info.Index, 0);
  EXPECT_EQ(info.OPMode, 1);
  auto m = window.Messages();  // sent: handled before Update_Status returned
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].msg, 1029u);
  EXPECT_EQ(m[0].wParam, 5u);
  EXPECT_EQ(m[0].lParam, 40);
}

TEST_F(StatusTest, EndingCodeKeepsTextAndPercentage) {
  rox.Update_Status(1, "C:\\DATA\\X.DAT", 2, 70, 0, 1);
  rox.Update_Status(2, nullptr, 0, 0, E_OPEN, 0);
  const InfoHT& info = Info_Of(5);
  EXPECT_EQ(File(), "C:\\DATA\\X.DAT" + std::string(1011, ' '));
  EXPECT_EQ(info.Cent, 70);
  EXPECT_EQ(info.Index, E_OPEN);
  EXPECT_EQ(info.Mode, 0);
  EXPECT_EQ(info.SNo, 2);
  EXPECT_EQ(window.Messages().size(), 2u);
}

TEST_F(StatusTest, NegativeCodeChangesAndSendsNothing) {
  rox.Update_Status(1, "X", 1, 10, 0, 1);
  rox.Update_Status(9, "Y", 2, 20, -1, 0);
  EXPECT_EQ(Info_Of(5).SNo, 1);
  EXPECT_EQ(File()[0], 'X');
  EXPECT_EQ(window.Messages().size(), 1u);
}

TEST_F(StatusTest, OverlongTextIsCutAndLeavesNeighboursAlone) {
  Info_Of(5).index = 0x7777;
  std::string text(2000, 'L');
  rox.Update_Status(1, text.c_str(), 1, 0, 0, 0);
  EXPECT_EQ(File(), std::string(1023, 'L') + " ");
  EXPECT_EQ(Info_Of(5).index, 0x7777);
}

TEST_F(StatusTest, RsEnginePostsInsteadOfSending) {
  rox.PostStatus = 1;
  rox.Update_Status(1, "X", 1, 10, 0, 1);
  EXPECT_TRUE(window.Messages().empty());  // queued, not yet handled
  EXPECT_EQ(window.Pump(), 1);
  ASSERT_EQ(window.Messages().size(), 1u);
  EXPECT_EQ(window.Messages()[0].lParam, 10);
}

}  // namespace
