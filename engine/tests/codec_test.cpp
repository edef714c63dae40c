// Frame helpers, checksum, packet receive (noise skip, read failures, length
// bound) and the first-level dispatch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/rox32.h"
#include "testsupport/fake_channel.h"

namespace {

using testsupport::Bytes;
using testsupport::Cat;
using testsupport::Chars;
using testsupport::FakeChannel;
using testsupport::Hex;
using testsupport::In_Buffer;
using testsupport::Le16;
using testsupport::Le32;
using testsupport::Packet;
using testsupport::Text;

constexpr int kCh = FakeChannel::Channel();

TEST(FieldHelpers, PackAndUnpackLittleEndian) {
  EXPECT_EQ(RS232_ROX::Make_Word(0x34, 0x12), 0x1234);
  EXPECT_EQ(RS232_ROX::Make_DWord(0x5678, 0x1234), 0x12345678u);
  EXPECT_EQ(RS232_ROX::Extract_LByte(0xABCD), 0xCD);
  EXPECT_EQ(RS232_ROX::Extract_HByte(0xABCD), 0xAB);
  EXPECT_EQ(RS232_ROX::Extract_LWord(0xDEADBEEFul), 0xBEEF);
  EXPECT_EQ(RS232_ROX::Extract_HWord(0xDEADBEEFul), 0xDEAD);
  const unsigned char hdr[] = {1, 'S', 'd', 0x10, 0x02};
  EXPECT_EQ(RS232_ROX::Get_DataLength(hdr), 0x0210u + 7);
}

TEST(Checksum, WorkedExampleGivesBdFf) {
  Bytes p = In_Buffer({0x00, 0x41, 0x00, 0x02, 0x00, 0x00, 0x00});
  unsigned short sum = static_cast<unsigned short>(RS232_ROX::Calc_Checksum(p.data()));
  EXPECT_EQ(sum, 0xFFBD);
  EXPECT_EQ(RS232_ROX::Extract_LByte(sum), 0xBD);
  EXPECT_EQ(RS232_ROX::Extract_HByte(sum), 0xFF);
  p[7] = 0xBD;
  p[8] = 0xFF;
  EXPECT_EQ(RS232_ROX::Valid_Checksum(p.data()), 1);
  p[8] = 0xFE;
  EXPECT_EQ(RS232_ROX::Valid_Checksum(p.data()), 0);
}

TEST(Checksum, EmptyDataFieldCoversHeaderOnly) {
  Bytes p = Packet(1, 'J', 0, {});
  ASSERT_EQ(p.size(), 7u);
  Bytes buf = In_Buffer(p);
  buf[7] = 0x55;  // bytes behind the frame do not count
  EXPECT_EQ(static_cast<unsigned short>(RS232_ROX::Calc_Checksum(buf.data())), 0x10000 - (1 + 'J'));
  EXPECT_EQ(RS232_ROX::Valid_Checksum(buf.data()), 1);
}

// The sum is taken a word at a time; it must equal the plain byte sum for
// every length (word tails, lane flushes after 2048 bytes) and for bytes that
// fill the lanes to the top.
TEST(Checksum, MatchesPlainByteSumForEveryLengthAndContent) {
  std::vector<unsigned char> buf(PACKET_BUF_SIZE);
  unsigned seed = 12345;
  for (unsigned fill : {0xFFu, 0x80u, 0u}) {
    for (unsigned len : {0u, 1u, 3u, 7u, 8u, 9u, 2043u, 2044u, 2045u, 2048u, 4099u, 65000u}) {
      for (std::size_t i = 0; i < buf.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        buf[i] = fill == 0 ? static_cast<unsigned char>(seed >> 16) : static_cast<unsigned char>(fill);
      }
      buf[0] = 1;
      buf[3] = static_cast<unsigned char>(len & 0xFF);
      buf[4] = static_cast<unsigned char>(len >> 8);
      unsigned plain = 0;
      for (unsigned i = 0; i < 5 + len; ++i) plain += buf[i];
      const auto sum = static_cast<unsigned short>(RS232_ROX::Calc_Checksum(buf.data()));
      ASSERT_EQ(sum, static_cast<unsigned short>(0x10000u - (plain & 0xFFFF))) << "fill " << fill << " len " << len;
      buf[5 + len] = static_cast<unsigned char>(sum & 0xFF);
      buf[6 + len] = static_cast<unsigned char>(sum >> 8);
      EXPECT_EQ(RS232_ROX::Valid_Checksum(buf.data()), 1) << "fill " << fill << " len " << len;
    }
  }
}

TEST(Checksum, EverySingleBitFlipIsDetected) {
  RS232_ROX rox;
  const Bytes good = Packet(1, 'P', 0, Text("HELLO"));
  ASSERT_EQ(rox.Validate_Packet(In_Buffer(good).data()), 0);
  for (std::size_t byte = 0; byte < good.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes bad = good;
      bad[byte] ^= static_cast<unsigned char>(1u << bit);
      Bytes buf = In_Buffer(bad);
      EXPECT_EQ(RS232_ROX::Valid_Checksum(buf.data()), 0) << "byte " << byte << " bit " << bit;
      // Flips in the data and the checksum leave the type and length alone,
      // so the validator gets as far as its checksum test.
      if (byte >= 5) {
        EXPECT_EQ(rox.Validate_DispStr_Cmd(buf.data()), E_CHECKSUM) << byte << "/" << bit;
      }
    }
  }
}

// --- Receive_Packet ------------------------------------------------------------

struct ReceiveTest : ::testing::Test {
  FakeChannel fake;
  RS232_ROX rox;
  Bytes buf = Bytes(PACKET_BUF_SIZE, 0);
  short Receive() { return rox.Receive_Packet(kCh, buf.data()); }
  Bytes Head(std::size_t n) const { return Bytes(buf.begin(), buf.begin() + static_cast<long>(n)); }
};

TEST_F(ReceiveTest, ReadsHeaderThenDataAndChecksum) {
  Bytes p = Packet(1, 'S', 't', Cat({Le16(2), Le32(100), {1}}));
  fake.Feed(p).Feed(Packet(1, 'E', 0, Le16(0)));
  ASSERT_EQ(Receive(), 0);
  EXPECT_EQ(Head(p.size()), p) << Hex(Head(p.size()));
  EXPECT_EQ(fake.Recv_Lengths(), (std::vector<unsigned>{5, 9}));
  EXPECT_EQ(fake.Unread(), 9u);  // the next packet stays for the next receive
}

TEST_F(ReceiveTest, RealignsHeaderAfterTwoNoiseBytes) {
  Bytes p = Packet(1, 'E', 0, Le16(0x0102));
  fake.Feed({0xFF, 0xFF}).Feed(p);
  ASSERT_EQ(Receive(), 0);
  EXPECT_EQ(Head(p.size()), p) << Hex(Head(p.size()));
  // Five header bytes, the two that complete the shifted header, then L + 2.
  EXPECT_EQ(fake.Recv_Lengths(), (std::vector<unsigned>{5, 2, 4}));
  EXPECT_EQ(rox.Validate_Packet(buf.data()), 0);
}

TEST_F(ReceiveTest, BufferIsClearedBeforeEveryReceive) {
  std::fill(buf.begin(), buf.end(), 0xAA);
  Bytes p = Packet(1, 'P', 0, Chars("hi"));
  fake.Feed(p);
  ASSERT_EQ(Receive(), 0);
  EXPECT_EQ(Head(p.size()), p);
  EXPECT_TRUE(std::all_of(buf.begin() + static_cast<long>(p.size()), buf.end(), [](unsigned char c) { return c == 0; }));

  // Also a receive that fails leaves nothing of the packet before it.
  fake.Feed({1, 'I', 0, 0, 0}).Feed_Timeout();
  EXPECT_EQ(Receive(), E_TIMEOUT);
  EXPECT_EQ(Head(5), (Bytes{1, 'I', 0, 0, 0}));
  EXPECT_TRUE(std::all_of(buf.begin() + 5, buf.end(), [](unsigned char c) { return c == 0; }));
}

TEST_F(ReceiveTest, FiveNoiseBytesGive86WithoutFurtherReads) {
  fake.Feed({0xFF, 0x02, 0x45, 0x80, 0x7F}).Feed(Packet(1, 'I', 0, {}));
  EXPECT_EQ(Receive(), E_NOISE);
  EXPECT_EQ(fake.Recv_Lengths(), (std::vector<unsigned>{5}));
  EXPECT_EQ(fake.Unread(), 7u);
}

TEST_F(ReceiveTest, ReadFailuresGive38ForTimeoutElse71) {
  fake.Feed_Timeout();
  EXPECT_EQ(Receive(), E_TIMEOUT);
  fake.Feed_Failure(-3);
  EXPECT_EQ(Receive(), E_COMMUNICATION);
  // The data read.
  fake.Feed({1, 'I', 0, 0, 0}).Feed_Timeout();
  EXPECT_EQ(Receive(), E_TIMEOUT);
  fake.Feed({1, 'I', 0, 0, 0}).Feed_Failure(-1);
  EXPECT_EQ(Receive(), E_COMMUNICATION);
}

TEST_F(ReceiveTest, FailedReadCompletingRealignedHeaderEndsReceive) {
  fake.Feed({0xFF, 0xFF, 0x01, 0x45, 0x00}).Feed_Failure(-2);
  EXPECT_EQ(Receive(), E_COMMUNICATION);
  fake.Feed({0xFF, 0x01, 0x45, 0x00, 0x02}).Feed_Timeout();
  EXPECT_EQ(Receive(), E_TIMEOUT);
  // No data read was attempted after either failure.
  EXPECT_EQ(fake.Recv_Lengths(), (std::vector<unsigned>{5, 2, 5, 1}));
}

TEST(ReceiveBounds, LengthAbove65000Gives39WithoutReadingData) {
  for (unsigned len : {65001u, 65535u}) {
    FakeChannel fake;
    RS232_ROX rox;
    // Exactly the packet buffer, so a read past it is caught.
    std::vector<unsigned char> buf(PACKET_BUF_SIZE, 0);
    fake.Feed({1, 'S', 'd', static_cast<unsigned char>(len & 0xFF), static_cast<unsigned char>(len >> 8)});
    fake.Feed(Bytes(100, 0xAA));
    EXPECT_EQ(rox.Receive_Packet(kCh, buf.data()), E_DATA_LENGTH) << len;
    EXPECT_EQ(fake.Recv_Lengths(), (std::vector<unsigned>{5}));
    EXPECT_EQ(fake.Unread(), 100u);
  }
}

TEST_F(ReceiveTest, LargestDataFieldFillsTheWholeBuffer) {
  Bytes content(MAX_DATA_LENGTH - 2, 0x5A);
  Bytes p = Packet(1, 'S', 'd', Cat({{0}, content, {0xF1}}));
  ASSERT_EQ(p.size(), PACKET_BUF_SIZE);
  fake.Feed(p);
  ASSERT_EQ(Receive(), 0);
  EXPECT_EQ(buf, p);
  EXPECT_EQ(rox.Validate_Packet(buf.data()), 0);
}

// --- Validate_Packet -------------------------------------------------------------

Bytes File_Info_Data(std::uint32_t size, const char* name) {
  return Cat({Le32(size), {15, 6}, Le16(2024), {1, 2, 3}, {0x20}, Text(name)});
}

TEST(Dispatch, EveryListedTypeReachesItsValidator) {
  const Bytes file_info = File_Info_Data(10, "A.DAT");
  const Bytes cases[] = {
      Packet(1, 'A', 'd', {0, 'x', 0xF1}),
      Packet(1, 'A', 'i', file_info),
      Packet(1, 'C', 0, {'c'}),
      Packet(1, 'D', 3, Cat({Le16(1), Text("X.DAT")})),
      Packet(1, 'E', 0, Le16(0)),
      Packet(1, 'I', 0, {}),
      Packet(1, 'I', 's', Text("RUN.SCR")),
      Packet(1, 'J', 0, {}),
      Packet(1, 'K', 0, File_Info_Data(0, "DIR")),
      Packet(1, 'M', 0, Text("A::B")),
      Packet(1, 'P', 0, Text("HI")),
      Packet(1, 'R', 'w', Text("A.DAT")),
      Packet(1, 'S', 'd', {3, 0xF0}),
      Packet(1, 'S', 'i', file_info),
      Packet(1, 'S', 't', Cat({Le16(1), Le32(10), {0}})),
      Packet(1, 'U', 0, file_info),
      Packet(1, 'V', 'n', {}),
      Packet(1, 'X', 'q', Cat({Le16(9), {'1', 'A', 'T', 0, 'W'}})),
      Packet(0, 'A', 'z', Le16(0)),
      Packet(0, 'C', 0, Cat({Le32(1000), Le32(500), {0}})),
      Packet(0, 'D', 2, Le16(0)),
      Packet(0, 'T', 0, Le16(0)),
      Packet(0, 'J', 0, Cat({{30, 2}, Le16(2024), {59, 59, 23}})),
      Packet(0, 'V', 'f', file_info),
  };
  RS232_ROX rox;
  for (const Bytes& p : cases) {
    std::memset(&rox.RxFrame, 0, sizeof rox.RxFrame);
    EXPECT_EQ(rox.Validate_Packet(In_Buffer(p).data()), 0) << Hex(p);
    EXPECT_EQ(rox.RxFrame.Command, p[1]) << Hex(p);
    EXPECT_EQ(rox.RxFrame.Length, p.size() - 7) << Hex(p);
  }
}

TEST(Dispatch, UnknownKindCommandOrSubCommand) {
  RS232_ROX rox;
  auto check = [&](const Bytes& p) { return rox.Validate_Packet(In_Buffer(p).data()); };
  EXPECT_EQ(check(Packet(2, 'A', 'd', {0, 0xF1})), E_OTHER_PROTOCOL);
  EXPECT_EQ(check(Packet(0xFF, 'Z', 9, {})), E_OTHER_PROTOCOL);
  EXPECT_EQ(check(Packet(1, 'B', 0, {})), E_UNDEF_FUNCTION);
  EXPECT_EQ(check(Packet(1, 'G', 0, {})), E_UNDEF_FUNCTION);   // buzzer only goes to the HT
  EXPECT_EQ(check(Packet(0, 'X', 0, {})), E_UNDEF_FUNCTION);   // no response to 'X' is expected
  EXPECT_EQ(check(Packet(1, 'a', 'd', {0, 0xF1})), E_UNDEF_FUNCTION);
  EXPECT_EQ(check(Packet(0, 'D', 4, Le16(0))), E_UNDEF_SUBFUNCTION);
  EXPECT_EQ(check(Packet(1, 'A', 't', Cat({Le16(1), Le32(10), {0}}))), E_UNDEF_SUBFUNCTION);
  EXPECT_EQ(check(Packet(1, 'I', 'x', {})), E_UNDEF_SUBFUNCTION);
  EXPECT_EQ(check(Packet(0, 'V', 0, {})), E_UNDEF_SUBFUNCTION);
}

}  // namespace
