// Type validators: length ranges, field checks in their order with the
// checksum last, and the fields they decode into RxFrame.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/rox32.h"
#include "testsupport/fake_channel.h"

namespace {

using testsupport::Bytes;
using testsupport::Cat;
using testsupport::Chars;
using testsupport::In_Buffer;
using testsupport::Le16;
using testsupport::Le32;
using testsupport::Packet;
using testsupport::Text;

using Validator = short (RS232_ROX::*)(const unsigned char*);

struct ValidateTest : ::testing::Test {
  RS232_ROX rox;
  // Runs v on p in a packet buffer.
  short Run(Validator v, const Bytes& p) {
    Bytes buf = In_Buffer(p);
    return (rox.*v)(buf.data());
  }
  // Runs v on p with its checksum spoilt.
  short Run_Bad_Sum(Validator v, Bytes p) {
    p.back() ^= 0x01;
    return Run(v, p);
  }
};

Bytes File_Info(std::uint32_t size, std::size_t name_chars, bool nul = true) {
  Bytes d = Cat({Le32(size), {31, 12}, Le16(1999), {58, 59, 23}, {0x21}, Bytes(name_chars, 'N')});
  if (nul) d.push_back(0);
  return d;
}

// A packet with L = len: data of len bytes (text without terminator).
Bytes Of_Length(std::uint8_t kind, char cmd, std::uint8_t sub, std::size_t len) {
  return Packet(kind, cmd, sub, Bytes(len, 'T'));
}

TEST_F(ValidateTest, FileInfoLengthRangeAndSize) {
  constexpr Validator v = &RS232_ROX::Validate_File_Info;
  // L = 12 is rejected before its (bad) checksum is looked at.
  EXPECT_EQ(Run_Bad_Sum(v, Packet(1, 'S', 'i', File_Info(5, 0, false))), E_DATA_LENGTH);
  EXPECT_EQ(Run(v, Packet(1, 'S', 'i', File_Info(5, 0))), 0);  // L = 13
  EXPECT_STREQ(rox.RxFrame.Name, "");
  EXPECT_EQ(Run(v, Packet(1, 'S', 'i', File_Info(5, 1023))), 0);  // L = 1036
  EXPECT_EQ(std::strlen(rox.RxFrame.Name), 1023u);
  EXPECT_EQ(Run(v, Packet(1, 'S', 'i', File_Info(5, 1024))), E_DATA_LENGTH);
  EXPECT_EQ(Run(v, Packet(1, 'S', 'i', File_Info(0xFFFE0001u, 3))), 0);
  EXPECT_EQ(Run_Bad_Sum(v, Packet(1, 'S', 'i', File_Info(0xFFFE0002u, 3))), E_FILE_SIZE);
  EXPECT_EQ(Run_Bad_Sum(v, Packet(1, 'S', 'i', File_Info(5, 3))), E_CHECKSUM);
}

TEST_F(ValidateTest, FileInfoFieldsDecoded) {
  ASSERT_EQ(Run(&RS232_ROX::Validate_File_Info,
                Packet(1, 'A', 'i', Cat({Le32(0x01020304), {31, 12}, Le16(1999), {58, 59, 23}, {0x21}, Text("B.DAT")}))),
            0);
  const Frametag& f = rox.RxFrame;
  EXPECT_EQ(f.Kind, 1);
  EXPECT_EQ(f.Command, 'A');
  EXPECT_EQ(f.SubCommand, 'i');
  EXPECT_EQ(f.Length, 18);
  EXPECT_EQ(f.Size, 0x01020304u);
  EXPECT_EQ(f.Date, (31u << 24) | (12u << 16) | 1999u);
  EXPECT_EQ(f.Time[0], 58);
  EXPECT_EQ(f.Time[1], 59);
  EXPECT_EQ(f.Time[2], 23);
  EXPECT_EQ(f.Attribute, 0x21);
  EXPECT_STREQ(f.Name, "B.DAT");
}

TEST_F(ValidateTest, MakeDirectoryWantsSizeZero) {
  constexpr Validator v = &RS232_ROX::Validate_MkDirReq_Cmd;
  EXPECT_EQ(Run(v, Packet(1, 'K', 0, File_Info(0, 4))), 0);
  EXPECT_STREQ(rox.RxFrame.Name, "NNNN");
  EXPECT_EQ(Run(v, Packet(1, 'K', 0, File_Info(1, 4))), E_FILE_SIZE);
  EXPECT_EQ(Run(v, Packet(1, 'K', 0, File_Info(0, 0, false))), E_DATA_LENGTH);
  EXPECT_EQ(Run(v, Packet(1, 'K', 0, File_Info(0, 1024))), E_DATA_LENGTH);
}

TEST_F(ValidateTest, FileDataLengthAndEndMark) {
  constexpr Validator v = &RS232_ROX::Validate_File_Data;
  EXPECT_EQ(Run(v, Packet(1, 'S', 'd', {7, 0xF1})), 0);  // an empty last block
  EXPECT_EQ(rox.RxFrame.BlockNo, 7);
  EXPECT_EQ(rox.RxFrame.Option, 0xF1);
  EXPECT_EQ(Run(v, Packet(1, 'S', 'd', {0, 'a', 'b', 0xF0})), 0);
  EXPECT_EQ(rox.RxFrame.Option, 0xF0);
  EXPECT_EQ(Run(v, Packet(1, 'S', 'd', {0xF1})), E_DATA_LENGTH);
  EXPECT_EQ(Run_Bad_Sum(v, Packet(1, 'S', 'd', {0, 'a', 0xF2})), E_EOF_FLAG);
  EXPECT_EQ(Run_Bad_Sum(v, Packet(1, 'S', 'd', {0, 'a', 0xF0})), E_CHECKSUM);
}

TEST_F(ValidateTest, TransferInfoChecksInOrder) {
  constexpr Validator v = &RS232_ROX::Validate_Transfer_Info;
  auto info = [](std::uint32_t total, std::uint8_t flag) {
    return Packet(1, 'S', 't', Cat({Le16(3), Le32(total), {flag}}));
  };
  EXPECT_EQ(Run(v, info(0xFFFE0001u, 1)), 0);
  EXPECT_EQ(rox.RxFrame.Count, 3);
  EXPECT_EQ(rox.RxFrame.Total, 0xFFFE0001u);
  EXPECT_EQ(rox.RxFrame.Option, 1);
  EXPECT_EQ(Run(v, info(0xFFFE0002u, 2)), E_DATA_ERROR);  // total before flag
  EXPECT_EQ(Run(v, info(10, 2)), E_OVERWRITE_OPTION);
  EXPECT_EQ(Run_Bad_Sum(v, info(10, 0)), E_CHECKSUM);
  EXPECT_EQ(Run(v, Packet(1, 'S', 't', Cat({Le16(3), Le32(10)}))), E_DATA_LENGTH);
}

TEST_F(ValidateTest, TimeResponseDateAndTimeRanges) {
  constexpr Validator v = &RS232_ROX::Validate_Time;
  auto at = [](int d, int m, int y, int s, int mi, int h) {
    return Packet(0, 'J', 0,
                  Cat({{static_cast<unsigned char>(d), static_cast<unsigned char>(m)},
                       Le16(static_cast<std::uint16_t>(y)),
                       {static_cast<unsigned char>(s), static_cast<unsigned char>(mi), static_cast<unsigned char>(h)}}));
  };
  EXPECT_EQ(Run(v, at(30, 2, 2023, 59, 59, 23)), 0);  // days are not checked per month
  EXPECT_EQ(rox.RxFrame.Date, (30u << 24) | (2u << 16) | 2023u);
  EXPECT_EQ(rox.RxFrame.Time[2], 23);
  for (const Bytes& p : {at(0, 1, 2023, 0, 0, 0), at(32, 1, 2023, 0, 0, 0), at(1, 0, 2023, 0, 0, 0),
                         at(1, 13, 2023, 0, 0, 0), at(1, 1, 0, 0, 0, 0), at(0, 1, 2023, 60, 0, 0)})
    EXPECT_EQ(Run(v, p), E_DATE);
  for (const Bytes& p : {at(1, 1, 2023, 60, 0, 0), at(1, 1, 2023, 0, 60, 0), at(1, 1, 2023, 0, 0, 24)})
    EXPECT_EQ(Run(v, p), E_TIME);
  EXPECT_EQ(Run_Bad_Sum(v, at(1, 1, 2023, 0, 0, 0)), E_CHECKSUM);
  EXPECT_EQ(Run(v, Of_Length(0, 'J', 0, 6)), E_DATA_LENGTH);
}

TEST_F(ValidateTest, SessionInformationLevelAndText) {
  constexpr Validator v = &RS232_ROX::Validate_SessionInfo_Cmd;
  auto info = [](char level, const Bytes& text) {
    return Packet(1, 'X', 0, Cat({Le16(0x0102), {static_cast<unsigned char>(level), 'A', 'T', 0, 'W'}, text}));
  };
  EXPECT_EQ(Run(v, info('1', {})), 0);
  EXPECT_EQ(rox.RxFrame.Count, 0x0102);
  EXPECT_EQ(Run(v, info('1', Text("TERMINAL 9"))), 0);
  EXPECT_STREQ(rox.RxFrame.Name, "TERMINAL 9");
  EXPECT_EQ(Run_Bad_Sum(v, info('2', {})), E_PROTOCOL_VERSION);
  EXPECT_EQ(Run(v, info('1', Bytes(1024, 'x'))), 0);  // L = 1031
  EXPECT_EQ(Run(v, info('1', Bytes(1025, 'x'))), E_DATA_LENGTH);
  EXPECT_EQ(Run(v, Of_Length(1, 'X', 0, 6)), E_DATA_LENGTH);
}

TEST_F(ValidateTest, DiskInformationRequestDriveLetter) {
  constexpr Validator v = &RS232_ROX::Validate_GetDiskInfo_Cmd;
  EXPECT_EQ(Run(v, Packet(1, 'C', 0, {'c'})), 0);
  EXPECT_EQ(rox.RxFrame.Drive, 'C');
  EXPECT_EQ(Run(v, Packet(1, 'C', 0, {'Z'})), 0);
  for (unsigned char c : std::initializer_list<unsigned char>{'1', '@', '[', '{', 0, 0xC1}) EXPECT_EQ(Run(v, Packet(1, 'C', 0, {c})), E_INVALID_DRIVE) << int(c);
  EXPECT_EQ(Run(v, Packet(1, 'C', 0, {'C', 0})), E_DATA_LENGTH);
}

TEST_F(ValidateTest, IdleNotice) {
  constexpr Validator v = &RS232_ROX::Validate_IdleNotice_Cmd;
  EXPECT_EQ(Run(v, Packet(1, 'I', 0, {})), 0);
  EXPECT_EQ(Run_Bad_Sum(v, Packet(1, 'I', 0, {0})), E_DATA_ERROR);
  EXPECT_EQ(Run(v, Packet(1, 'I', 's', Chars("ABCDEFGH.SCR"))), 0);  // 12 characters, no room for a NUL
  EXPECT_STREQ(rox.RxFrame.Name, "ABCDEFGH.SCR");
  EXPECT_EQ(Run(v, Packet(1, 'I', 's', Text("ABCDEFGH.SCR"))), E_DATA_LENGTH);
}

TEST_F(ValidateTest, NameCarryingRequestsUpTo1024) {
  struct Case { Validator v; char cmd; std::uint8_t sub; };
  const Case cases[] = {{&RS232_ROX::Validate_Transfer_Request, 'R', 'r'},
                        {&RS232_ROX::Validate_MoveFileReq_Cmd, 'M', 0},
                        {&RS232_ROX::Validate_DispStr_Cmd, 'P', 0},
                        {&RS232_ROX::Validate_GetFileInfo_Cmd, 'V', 'f'}};
  for (const Case& c : cases) {
    EXPECT_EQ(Run(c.v, Of_Length(1, c.cmd, c.sub, 1024)), 0) << c.cmd;
    EXPECT_EQ(std::strlen(rox.RxFrame.Name), 1024u) << c.cmd;  // unterminated text is cut at L
    EXPECT_EQ(Run(c.v, Of_Length(1, c.cmd, c.sub, 1025)), E_DATA_LENGTH) << c.cmd;
    EXPECT_EQ(Run(c.v, Of_Length(1, c.cmd, c.sub, 0)), 0) << c.cmd;
    EXPECT_STREQ(rox.RxFrame.Name, "") << c.cmd;
    EXPECT_EQ(Run_Bad_Sum(c.v, Packet(1, c.cmd, c.sub, Text("A"))), E_CHECKSUM) << c.cmd;
  }
}

TEST_F(ValidateTest, DeleteRequestCountAndNames) {
  constexpr Validator v = &RS232_ROX::Validate_DeleteReq_Cmd;
  EXPECT_EQ(Run(v, Packet(1, 'D', 1, Cat({Le16(2), Text("A.DAT::B.DAT")}))), 0);
  EXPECT_EQ(rox.RxFrame.Count, 2);
  EXPECT_STREQ(rox.RxFrame.Name, "A.DAT::B.DAT");
  EXPECT_EQ(Run(v, Of_Length(1, 'D', 0, 2)), E_DATA_LENGTH);
  EXPECT_EQ(Run(v, Of_Length(1, 'D', 0, 3)), 0);
  EXPECT_EQ(Run(v, Of_Length(1, 'D', 0, 1026)), 0);
  EXPECT_EQ(Run(v, Of_Length(1, 'D', 0, 1027)), E_DATA_LENGTH);
}

TEST_F(ValidateTest, FixedLengthTypes) {
  EXPECT_EQ(Run(&RS232_ROX::Validate_Gen_Response, Packet(0, 'A', 'i', Le16(0x0203))), 0);
  EXPECT_EQ(rox.RxFrame.Count, 0x0203);
  EXPECT_EQ(Run(&RS232_ROX::Validate_Gen_Response, Packet(0, 'A', 'i', {0, 0, 0})), E_DATA_LENGTH);
  EXPECT_EQ(Run(&RS232_ROX::Validate_EndIndication, Packet(1, 'E', 0, {0x01, 0x05})), 0);
  EXPECT_EQ(Run(&RS232_ROX::Validate_EndIndication, Packet(1, 'E', 0, {0x01})), E_DATA_LENGTH);
  EXPECT_EQ(Run(&RS232_ROX::Validate_TimeReq_Cmd, Packet(1, 'J', 0, {0})), E_DATA_LENGTH);
  EXPECT_EQ(Run(&RS232_ROX::Validate_Disk_Info, Packet(0, 'C', 0, Cat({Le32(4000000000u), Le32(12345), {2}}))), 0);
  EXPECT_EQ(rox.RxFrame.Size, 4000000000u);
  EXPECT_EQ(rox.RxFrame.Total, 12345u);
  EXPECT_EQ(rox.RxFrame.Option, 2);
  EXPECT_EQ(Run(&RS232_ROX::Validate_Disk_Info, Packet(0, 'C', 0, Le32(1))), E_DATA_LENGTH);
}

}  // namespace
