#include "platform/icmp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

namespace platform {
namespace {

TEST(Ipv4Text, OnlyFourDecimalPartsOf0To255AreAddresses) {
  Ipv4Address a;
  ASSERT_TRUE(Parse_Ipv4("127.0.0.1", &a));
  EXPECT_EQ(a.bytes[0], 127);
  EXPECT_EQ(a.bytes[3], 1);
  ASSERT_TRUE(Parse_Ipv4("255.255.255.0", &a));
  EXPECT_EQ(a.bytes[2], 255);
  EXPECT_TRUE(Parse_Ipv4("0.0.0.0", &a));
  EXPECT_TRUE(Parse_Ipv4("010.001.0.9", &a));  // leading zeros are still decimal digits
  EXPECT_EQ(a.bytes[0], 10);

  a = Ipv4Address{{9, 9, 9, 9}};
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.1000", "1..2.3", ".1.2.3", "1.2.3.",
                          " 1.2.3.4", "1.2.3.4 ", "1.2.3.4x", "a.b.c.d", "1.2.3.-4", "+1.2.3.4", "0x7f.0.0.1",
                          "localhost", "::1", "1.2.3.99999999999999999999"}) {
    EXPECT_FALSE(Parse_Ipv4(bad, &a)) << bad;
  }
  EXPECT_FALSE(Parse_Ipv4(nullptr, &a));
  EXPECT_EQ(a.bytes[0], 9);  // untouched by refusals
}

// An echo reply as a raw socket hands it over: 20-byte IP header, then ICMP.
std::vector<std::uint8_t> Reply(bool ip_header, std::uint8_t type, std::uint16_t id, std::uint16_t seq,
                                int data_size = kEchoDataSize) {
  std::vector<std::uint8_t> p(ip_header ? 20 : 0, 0);
  if (ip_header) p[0] = 0x45;
  const std::size_t at = p.size();
  p.resize(at + 8 + static_cast<std::size_t>(data_size));
  p[at] = type;
  p[at + 4] = static_cast<std::uint8_t>(id >> 8);
  p[at + 5] = static_cast<std::uint8_t>(id);
  p[at + 6] = static_cast<std::uint8_t>(seq >> 8);
  p[at + 7] = static_cast<std::uint8_t>(seq);
  if (data_size > 0) Fill_Echo_Data(p.data() + at + 8, data_size);
  return p;
}

TEST(EchoReplyMatching, OnlyTheReplyToOurRequestCounts) {
  auto match = [](const std::vector<std::uint8_t>& p, bool ip, bool check_id) {
    return Is_Echo_Reply_For(p.data(), static_cast<int>(p.size()), ip, check_id, 0x1234, 7);
  };
  EXPECT_TRUE(match(Reply(true, 0, 0x1234, 7), true, true));
  EXPECT_TRUE(match(Reply(false, 0, 0x1234, 7), false, true));
  // Another program's ping (other identifier) counts on a raw socket only
  // when identifiers are not checked (ping sockets: the kernel sorts them).
  EXPECT_FALSE(match(Reply(true, 0, 0x4321, 7), true, true));
  EXPECT_TRUE(match(Reply(false, 0, 0x4321, 7), false, false));
  // Another sequence number, our own request seen on loopback, a cut or
  // longer packet, other data.
  EXPECT_FALSE(match(Reply(true, 0, 0x1234, 8), true, true));
  EXPECT_FALSE(match(Reply(true, 8, 0x1234, 7), true, true));
  EXPECT_FALSE(match(Reply(true, 0, 0x1234, 7, 32), true, true));
  EXPECT_FALSE(match(Reply(true, 0, 0x1234, 7, 65), true, true));
  std::vector<std::uint8_t> other = Reply(false, 0, 0x1234, 7);
  other.back() ^= 1;
  EXPECT_FALSE(match(other, false, false));
  // IP headers that do not fit.
  std::vector<std::uint8_t> bad_header = Reply(true, 0, 0x1234, 7);
  bad_header[0] = 0x44;  // 16 bytes: shorter than any IP header
  EXPECT_FALSE(match(bad_header, true, true));
  bad_header[0] = 0x4F;  // 60 bytes: more than the packet holds beyond ICMP
  EXPECT_FALSE(match(bad_header, true, true));
  EXPECT_FALSE(Is_Echo_Reply_For(nullptr, 0, true, true, 0, 0));
  EXPECT_FALSE(match(std::vector<std::uint8_t>(10, 0), true, true));
}

TEST(EchoData, BlankToTildeRepeating) {
  std::uint8_t d[200];
  Fill_Echo_Data(d, 200);
  EXPECT_EQ(d[0], ' ');
  EXPECT_EQ(d[94], '~');
  EXPECT_EQ(d[95], ' ');
}

TEST(UnavailableText, NamesBothCausesAndTheSysctl) {
  const std::string t = Icmp_Unavailable_Text(EACCES, EPERM);
  EXPECT_NE(t.find(std::strerror(EACCES)), std::string::npos);
  EXPECT_NE(t.find(std::strerror(EPERM)), std::string::npos);
  EXPECT_NE(t.find("sysctl -w net.ipv4.ping_group_range=\"0 2147483647\""), std::string::npos);
}

// The system back end on loopback. Without a ping socket (ping_group_range)
// and without CAP_NET_RAW nothing can be sent: skipped, saying why.
class SystemIcmpTest : public ::testing::Test {
 protected:
  EchoOutcome Echo(const char* text, std::uint32_t timeout_ms, const std::atomic<bool>* cancel = nullptr) {
    Ipv4Address a;
    EXPECT_TRUE(Parse_Ipv4(text, &a));
    return System_Icmp().Echo(a, timeout_ms, cancel);
  }
  void SetUp() override {
    const EchoOutcome o = Echo("127.0.0.1", 2000);
    if (o.result == ICMP_NO_SOCKET) GTEST_SKIP() << Icmp_Unavailable_Text(o.error, o.raw_error);
    first_ = o;
  }
  EchoOutcome first_;
};

TEST_F(SystemIcmpTest, LoopbackAddressesAnswer) {
  EXPECT_EQ(first_.result, ICMP_ANSWERED);
  for (const char* a : {"127.0.0.1", "127.0.0.2", "127.0.0.77"}) EXPECT_EQ(Echo(a, 2000).result, ICMP_ANSWERED) << a;
}

TEST_F(SystemIcmpTest, ThreadsPingingAtOnceEachGetTheirOwnReplies) {
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      const std::string a = "127.0.0." + std::to_string(10 + t);
      for (int i = 0; i < 10; ++i)
        if (Echo(a.c_str(), 2000).result == ICMP_ANSWERED) ++answered;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(answered.load(), 40);
}

TEST_F(SystemIcmpTest, BroadcastIsRefusedAndACancelledWaitEndsWithoutAnswer) {
  // The kernel refuses a broadcast without SO_BROADCAST: a failure, no reply.
  const EchoOutcome b = Echo("255.255.255.255", 50);
  EXPECT_EQ(b.result, ICMP_FAILED);
  EXPECT_NE(b.error, 0);
  const std::atomic<bool> cancel{true};
  EXPECT_NE(Echo("127.0.0.1", 5000, &cancel).result, ICMP_ANSWERED);
}

}  // namespace
}  // namespace platform
