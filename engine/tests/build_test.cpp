// Packet builders: the exact bytes of every packet the PC sends, checked
// against frames built independently (testsupport::Packet), and the bound of
// the packet buffer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "engine/rox32.h"
#include "platform/pcfs.h"
#include "testsupport/fake_channel.h"

namespace fs = std::filesystem;

namespace {

using testsupport::Bytes;
using testsupport::Cat;
using testsupport::Chars;
using testsupport::FakeChannel;
using testsupport::Hex;
using testsupport::Le16;
using testsupport::Le32;
using testsupport::Packet;
using testsupport::Text;

// An engine with a packet buffer of exactly PACKET_BUF_SIZE bytes, so the
// address sanitizer catches any write behind it.
class Builders : public ::testing::Test {
 protected:
  void SetUp() override {
    rox_ = std::make_unique<RS232_ROX>();
    buf_ = std::make_unique<unsigned char[]>(PACKET_BUF_SIZE);
    std::memset(buf_.get(), 0xAA, PACKET_BUF_SIZE);
  }
  // The packet in the buffer, by its own length field.
  Bytes Built() const {
    return Bytes(buf_.get(), buf_.get() + RS232_ROX::Get_DataLength(buf_.get()));
  }
  unsigned char* Out() { return buf_.get(); }

  std::unique_ptr<RS232_ROX> rox_;
  std::unique_ptr<unsigned char[]> buf_;
};

TEST_F(Builders, EndIndicationForChildCodesCarriesTheConfiguredBase) {
  FakeChannel fake;
  const std::int32_t saved = GErrCode;
  GErrCode = 500;
  EXPECT_EQ(rox_->Send_End_Indication_Packet(fake.Channel(), 100), 9);
  GErrCode = 0x1F0;
  rox_->Send_End_Indication_Packet(fake.Channel(), 100);
  GErrCode = saved;
  rox_->Send_End_Indication_Packet(fake.Channel(), E_CHECKSUM);
  rox_->Send_End_Indication_Packet(fake.Channel(), 500);  // outside the table
  auto sent = fake.Sent_Packets();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], Packet(1, 'E', 0, {0xF6, 0x01})) << Hex(sent[0]);
  EXPECT_EQ(sent[1], Packet(1, 'E', 0, {0xF2, 0x01})) << Hex(sent[1]);
  EXPECT_EQ(sent[2], Packet(1, 'E', 0, {0x03, 0x01})) << Hex(sent[2]);
  EXPECT_EQ(sent[3], Packet(1, 'E', 0, {0x1F, 0x03})) << Hex(sent[3]);
}

TEST_F(Builders, EndIndicationsThatCloseASession) {
  EXPECT_EQ(rox_->Make_EndInd_Packet("E ", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'E', 0, {0, 0}));
  EXPECT_EQ(rox_->Make_EndInd_Packet("EF X", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'E', 0, {0, 0xF3}));  // "X Drive Format Notice"
  EXPECT_EQ(rox_->Make_EndInd_Packet("EF a", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'E', 0, {0, 0xDC}));
  EXPECT_EQ(rox_->Make_EndInd_Packet("EP \x0C", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'E', 0, {0, 12}));
  EXPECT_EQ(rox_->Make_EndInd_Packet("EP \xFF", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'E', 0, {0, 0xFF}));
  EXPECT_EQ(rox_->Make_EndInd_Packet("EF ", Out()), E_PARAMETER);
}

TEST_F(Builders, SetFileInformationReadsItsOwnFields) {
  // Neither date nor time: FF FF FF FF and FF FF FF, even with a drive
  // colon and a dash in the name.
  ASSERT_EQ(rox_->Make_SetFileInfo_Packet("U 0 FFFFFFFF$ FFFFFF Z C:\\my-file.txt", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'U', 0,
                            Cat({Le32(0), {0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}, {0},
                                 Text("C:\\my-file.txt")})));
  ASSERT_EQ(rox_->Make_SetFileInfo_Packet("U 1234 2004-3-7$13:45:31 RHSAZ \\DATA\\A B.DAT", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'U', 0,
                            Cat({Le32(1234), {7, 3}, Le16(2004), {31, 45, 13}, {0x27},
                                 Text("\\DATA\\A B.DAT")})));
  // A date is known by its '-': without one the field is "no date".
  ASSERT_EQ(rox_->Make_SetFileInfo_Packet("U 5 2004/03/07$ FFFFFF R X", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'U', 0,
                            Cat({Le32(5), {0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}, {1}, Text("X")})));
  // Values are the HT's to judge: an impossible date or time goes out as
  // written, and a time without seconds has 0 seconds.
  ASSERT_EQ(rox_->Make_SetFileInfo_Packet("U 0 FFFFFFFF$99:99:99 Z X", Out()), 0);
  EXPECT_EQ(Bytes(Out() + 9, Out() + 16), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 99, 99, 99}));
  ASSERT_EQ(rox_->Make_SetFileInfo_Packet("U 0 2003-13-01$10:00 Z name", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'U', 0, Cat({Le32(0), {1, 13}, Le16(2003), {0, 0, 10}, {0}, Text("name")})));

  EXPECT_EQ(rox_->Make_SetFileInfo_Packet("U 4294967296 FFFFFFFF$ FFFFFF Z X", Out()), E_PARAMETER);
  EXPECT_EQ(rox_->Make_SetFileInfo_Packet("U 12x FFFFFFFF$ FFFFFF Z X", Out()), E_PARAMETER);
  EXPECT_EQ(rox_->Make_SetFileInfo_Packet("U 0 FFFFFFFF FFFFFF Z X", Out()), E_PARAMETER);
  EXPECT_EQ(rox_->Make_SetFileInfo_Packet("U 0 FFFFFFFF$ FFFFFF Z ", Out()), E_PARAMETER);
}

TEST_F(Builders, TimeSetTakesTheCommandOrThePcClock) {
  ASSERT_EQ(rox_->Make_TimeSetReq_Packet("T 2003-04-05$06:07:08", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'T', 0, Cat({{5, 4}, Le16(2003), {8, 7, 6}})));
  // A time without seconds has 0 seconds.
  ASSERT_EQ(rox_->Make_TimeSetReq_Packet("T 2003-04-05$06:07", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'T', 0, Cat({{5, 4}, Le16(2003), {0, 7, 6}})));
  // The HT judges the values; the PC sends them as written.
  ASSERT_EQ(rox_->Make_TimeSetReq_Packet("T 2003-13-32$24:60:61", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'T', 0, Cat({{32, 13}, Le16(2003), {61, 60, 24}})));
  // Only a date without '-' or a time without ':' cannot be sent.
  EXPECT_EQ(rox_->Make_TimeSetReq_Packet("T 2003-04-05$", Out()), E_PARAMETER);
  EXPECT_EQ(rox_->Make_TimeSetReq_Packet("T $06:07:08", Out()), E_PARAMETER);
  EXPECT_EQ(rox_->Make_TimeSetReq_Packet("T 2003/04/05$06:07:08", Out()), E_PARAMETER);
  EXPECT_EQ(rox_->Make_TimeSetReq_Packet("T 2003-04-05$0607", Out()), E_PARAMETER);

  rox_->SetClockPending = 1;
  const std::uint32_t today = RS232_ROX::Get_System_Date();
  ASSERT_EQ(rox_->Make_TimeSetReq_Packet("T 1999-01-01$00:00:00", Out()), 0);
  EXPECT_EQ(rox_->SetClockPending, 0);
  Bytes p = Built();
  ASSERT_EQ(p.size(), 14u);
  EXPECT_EQ(p[5], today >> 24);
  EXPECT_EQ(p[6], (today >> 16) & 0xFF);
  EXPECT_EQ(p[7] | (p[8] << 8), static_cast<int>(today & 0xFFFF));
  EXPECT_EQ(RS232_ROX::Valid_Checksum(Out()), 1);
}

// Command lines as the operator writes them, through translation to the
// packet the HT gets.
TEST_F(Builders, ClockAndFileInformationLinesReachTheHtAsWritten) {
  auto build = [this](const char* line, short (RS232_ROX::*make)(const char*, unsigned char*)) {
    std::memset(rox_->CommandList, 0, sizeof rox_->CommandList);
    EXPECT_EQ(rox_->Translate_Command(reinterpret_cast<const unsigned char*>(line), rox_->CommandList), 0) << line;
    std::unique_ptr<char[]> command(RS232_ROX::Extract_Command(rox_->CommandList));
    EXPECT_NE(command, nullptr) << line;
    return command ? (rox_.get()->*make)(command.get(), Out()) : short{-1};
  };
  ASSERT_EQ(build("/T 2003-04-05 06:07", &RS232_ROX::Make_TimeSetReq_Packet), 0);
  EXPECT_EQ(Built(), Packet(1, 'T', 0, Cat({{5, 4}, Le16(2003), {0, 7, 6}})));
  ASSERT_EQ(build("/X name 0 2003-13-01 10:00", &RS232_ROX::Make_SetFileInfo_Packet), 0);
  EXPECT_EQ(Built(), Packet(1, 'U', 0, Cat({Le32(0), {1, 13}, Le16(2003), {0, 0, 10}, {0}, Text("name")})));
}

TEST_F(Builders, TransferRequestsNameOnlyTheHtFiles) {
  ASSERT_EQ(rox_->Make_TrnsReq_Packet("RWO \\APP\\*.*##C:\\IN", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'R', 'w', Text("\\APP\\*.*")));
  EXPECT_EQ(rox_->TransferOption, 1);
  rox_->TransferOption = 0;
  ASSERT_EQ(rox_->Make_TrnsReq_Packet("R a.txt::b.txt##C:\\IN", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'R', 'r', Text("a.txt::b.txt")));
  EXPECT_EQ(rox_->TransferOption, 0);
  ASSERT_EQ(rox_->Make_TrnsReq_Packet("RA \\HT\\X.DAT::C:\\PC\\X.DAT", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'R', 'r', Text("\\HT\\X.DAT")));

  // With U the names come from the update list.
  EXPECT_EQ(rox_->Make_TrnsReq_Packet("RU *.dat##C:\\IN", Out()), E_FILE_NOTHING);
  char* name = nullptr;
  rox_->ListFile = RS232_ROX::MakeTempFile(&name);
  ASSERT_NE(rox_->ListFile, nullptr);
  std::fputs("\\A.DAT::\\B.DAT::", rox_->ListFile);
  ASSERT_EQ(rox_->Make_TrnsReq_Packet("RUO *.dat##C:\\IN", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'R', 'r', Text("\\A.DAT::\\B.DAT")));
  EXPECT_EQ(std::ftell(rox_->ListFile), 0);
  // A list longer than a packet holds is refused, never written past the buffer.
  std::string big(70000, 'x');
  std::fputs(big.c_str(), rox_->ListFile);
  EXPECT_EQ(rox_->Make_TrnsReq_Packet("RU *##C:", Out()), E_DATA_LENGTH);
  RS232_ROX::CloseDeleteFile(rox_->ListFile, name);
  rox_->ListFile = nullptr;

  EXPECT_EQ(rox_->Make_TrnsReq_Packet("R", Out()), E_PARAMETER);
}

TEST_F(Builders, RequestsWithTextData) {
  ASSERT_EQ(rox_->Make_DelReq_Packet("DRO a.txt::\\b\\*.*", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'D', 3, Cat({Le16(2), Text("a.txt::\\b\\*.*")})));
  ASSERT_EQ(rox_->Make_DelReq_Packet("D x", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'D', 0, Cat({Le16(1), Text("x")})));
  ASSERT_EQ(rox_->Make_DelReq_Packet("DO x", Out()), 0);
  EXPECT_EQ(Out()[2], 1);
  ASSERT_EQ(rox_->Make_DelReq_Packet("DR x", Out()), 0);
  EXPECT_EQ(Out()[2], 2);
  EXPECT_EQ(rox_->Make_DelReq_Packet("D ", Out()), E_PARAMETER);

  ASSERT_EQ(rox_->Make_ChangeFileReq_Packet("M \\a.txt::\\b.txt", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'M', 0, Text("\\a.txt::\\b.txt")));
  ASSERT_EQ(rox_->Make_DispStringReq_Packet("P Hello world", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'P', 0, Text("Hello world")));
  ASSERT_EQ(rox_->Make_DispStringReq_Packet("P ", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'P', 0, Text("")));

  ASSERT_EQ(rox_->Make_DiskInfoReq_Packet("C b:", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'C', 0, {'B'}));
  EXPECT_EQ(rox_->Make_DiskInfoReq_Packet("C 1:", Out()), E_INVALID_DRIVE);

  ASSERT_EQ(rox_->Make_FileInfoReq_Packet(0, "\\DATA\\*.*", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'V', 'f', Text("\\DATA\\*.*")));
  ASSERT_EQ(rox_->Make_FileInfoReq_Packet(1, "ignored", Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'V', 'n', {}));
  ASSERT_EQ(rox_->Make_BuzReq_Packet(Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'G', 0, {}));
}

TEST_F(Builders, DataIsBoundedByThePacketBuffer) {
  // 64999 characters and the NUL fill the largest packet exactly.
  std::string text = "P " + std::string(64999, 't');
  ASSERT_EQ(rox_->Make_DispStringReq_Packet(text.c_str(), Out()), 0);
  EXPECT_EQ(RS232_ROX::Get_DataLength(Out()), PACKET_BUF_SIZE);
  EXPECT_EQ(RS232_ROX::Valid_Checksum(Out()), 1);
  text += 't';
  EXPECT_EQ(rox_->Make_DispStringReq_Packet(text.c_str(), Out()), E_DATA_LENGTH);
  std::string move = "M " + std::string(70000, 'm');
  EXPECT_EQ(rox_->Make_ChangeFileReq_Packet(move.c_str(), Out()), E_DATA_LENGTH);
  std::string del = "D " + std::string(64998, 'd');
  EXPECT_EQ(rox_->Make_DelReq_Packet(del.c_str(), Out()), E_DATA_LENGTH);
  std::string set = "U 0 FFFFFFFF$ FFFFFF Z " + std::string(64990, 'n');
  EXPECT_EQ(rox_->Make_SetFileInfo_Packet(set.c_str(), Out()), E_DATA_LENGTH);
  std::string pattern(65000, 'p');
  EXPECT_EQ(rox_->Make_FileInfoReq_Packet(0, pattern.c_str(), Out()), E_DATA_LENGTH);
}

TEST_F(Builders, ResponsesOfEveryKind) {
  const unsigned char del[2] = {'D', 3};
  for (Cmdtag k : {RESP_TRANSFER_INFO, RESP_FILE_INFO, RESP_LAST_BLOCK, RESP_DELETE, RESP_MOVE,
                   RESP_MKDIR, RESP_DISPLAY, RESP_SET_FILE_INFO}) {
    ASSERT_EQ(rox_->Make_Response_Packet(k, del, nullptr, Out()), 0);
    EXPECT_EQ(Built(), Packet(0, 'D', 3, Le16(0))) << k;
  }

  fileinfotag fi{};
  fi.Size = 0x01020304;
  fi.Date = 0x070307D4;
  fi.Time[0] = 30;
  fi.Time[1] = 45;
  fi.Time[2] = 13;
  fi.Attributes = 0x21;
  std::strcpy(fi.Name, "C:\\DATA\\X.DAT");
  const unsigned char time_letters[2] = {'J', 0};
  ASSERT_EQ(rox_->Make_Response_Packet(RESP_TIME, time_letters, &fi, Out()), 0);
  EXPECT_EQ(Built(), Packet(0, 'J', 0, Cat({{7, 3}, Le16(2004), {30, 45, 13}})));
  ASSERT_EQ(rox_->Make_Response_Packet(RESP_TIME, time_letters, nullptr, Out()), 0);
  EXPECT_EQ(Built().size(), 14u);

  const unsigned char vf[2] = {'V', 'f'};
  ASSERT_EQ(rox_->Make_Response_Packet(RESP_GET_FILE_INFO, vf, &fi, Out()), 0);
  EXPECT_EQ(Built(), Packet(0, 'V', 'f',
                            Cat({Le32(0x01020304), {7, 3}, Le16(2004), {30, 45, 13}, {0x21},
                                 Text("C:\\DATA\\X.DAT")})));
  std::memset(fi.Name, 'n', sizeof fi.Name);  // no terminator: cut to 1023
  ASSERT_EQ(rox_->Make_Response_Packet(RESP_GET_FILE_INFO, vf, &fi, Out()), 0);
  EXPECT_EQ(RS232_ROX::Get_DataLength(Out()), 1036u + 7);
  EXPECT_EQ(Out()[5 + 1035], 0);
  ASSERT_EQ(rox_->Make_Response_Packet(RESP_GET_FILE_INFO, vf, nullptr, Out()), 0);
  EXPECT_EQ(Built(), Packet(0, 'V', 'f', Bytes(13, 0)));

  Diskinfotag di{0xFFFFFFFF, 12345, 0};
  const unsigned char c[2] = {'C', 0};
  ASSERT_EQ(rox_->Make_Response_Packet(RESP_DISK_INFO, c, &di, Out()), 0);
  EXPECT_EQ(Built(), Packet(0, 'C', 0, Cat({Le32(0xFFFFFFFF), Le32(12345), {0}})));

  const unsigned char x[2] = {'X', 7};
  rox_->Update_Session_Info(42, &rox_->SessionInfo);
  ASSERT_EQ(rox_->Make_Response_Packet(RESP_SESSION_INFO, x, &rox_->SessionInfo, Out()), 0);
  EXPECT_EQ(Built(), Packet(0, 'X', 7, Cat({Le16(42), Chars("1AT"), {0}, Chars("W")})));
  std::strcpy(rox_->SessionText, "PC");
  rox_->Update_Session_Info(1, &rox_->SessionInfo);
  ASSERT_EQ(rox_->Make_Response_Packet(RESP_SESSION_INFO, x, &rox_->SessionInfo, Out()), 0);
  EXPECT_EQ(Built(), Packet(0, 'X', 7, Cat({Le16(1), Chars("1AT"), {0}, Chars("W"), Text("PC")})));

  EXPECT_EQ(rox_->Make_Response_Packet(static_cast<Cmdtag>(3), del, nullptr, Out()), E_PARAMETER);
  for (std::size_t i = 0; i < PACKET_BUF_SIZE; ++i) ASSERT_EQ(Out()[i], 0) << i;
}

// File information of a PC file, with the drive mapped to a private folder.
class FileInfoBuilder : public Builders {
 protected:
  void SetUp() override {
    Builders::SetUp();
    root_ = fs::temp_directory_path() /
            ("tarnel-build-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(root_);
    const char* old = std::getenv("TARNEL_DRIVES");
    had_ = old != nullptr;
    if (old) old_ = old;
    ::setenv("TARNEL_DRIVES", ("C=" + root_.string()).c_str(), 1);
  }
  void TearDown() override {
    if (had_)
      ::setenv("TARNEL_DRIVES", old_.c_str(), 1);
    else
      ::unsetenv("TARNEL_DRIVES");
    fs::remove_all(root_);
  }
  fs::path root_;
  bool had_ = false;
  std::string old_;
};

TEST_F(FileInfoBuilder, DescribesThePcFileUnderTheHtName) {
  std::ofstream(root_ / "Data.Bin", std::ios::binary) << std::string(300, 'z');
  ASSERT_EQ(platform::Set_Times_PC("C:\\Data.Bin", 1078634731), platform::FS_OK);
  std::uint32_t date;
  std::uint8_t time[3];
  platform::Pack_File_Time(1078634731, &date, time);
  const unsigned char letters[2] = {'S', 't'};
  ASSERT_EQ(rox_->Make_FileInfo_Packet("C:\\DATA.BIN", "\\HT\\DATA.BIN", letters, Out()), 0);
  EXPECT_EQ(Built(), Packet(1, 'S', 'i',
                            Cat({Le32(300), {static_cast<unsigned char>(date >> 24),
                                             static_cast<unsigned char>(date >> 16)},
                                 Le16(date & 0xFFFF), {time[0], time[1], time[2]}, {0x20},
                                 Text("\\HT\\DATA.BIN")})));
  const unsigned char a[2] = {'A', 0};
  ASSERT_EQ(rox_->Make_FileInfo_Packet("C:\\Data.Bin", "X", a, Out()), 0);
  EXPECT_EQ(Out()[1], 'A');
  EXPECT_EQ(Out()[2], 'i');

  EXPECT_EQ(rox_->Make_FileInfo_Packet("C:\\none.bin", "X", letters, Out()), E_PATH_NOT_FOUND);
  std::string long_name(1024, 'n');
  EXPECT_EQ(rox_->Make_FileInfo_Packet("C:\\Data.Bin", long_name.c_str(), letters, Out()), E_DATA_LENGTH);
  long_name.pop_back();
  EXPECT_EQ(rox_->Make_FileInfo_Packet("C:\\Data.Bin", long_name.c_str(), letters, Out()), 0);
  EXPECT_EQ(RS232_ROX::Get_DataLength(Out()), 1036u + 7);
}

}  // namespace
