// The scripted fake channel that engine tests build on: script steps, the
// exhausted script, send recording and failure, and feeding from a thread.
#include <gtest/gtest.h>

#include <thread>

#include "channel/mux32.h"
#include "engine/rox32.h"
#include "testsupport/fake_channel.h"

namespace {

using testsupport::Bytes;
using testsupport::FakeChannel;
using testsupport::Packet;

constexpr int kCh = FakeChannel::Channel();

TEST(FakeChannel, InstallsAndRestoresInterface) {
  int before = GInterface;
  {
    FakeChannel fake(1);
    EXPECT_EQ(GInterface, 1);
    EXPECT_EQ(Accept(Open()), kCh);
    EXPECT_EQ(Close(kCh, 1), 0);
    EXPECT_EQ(fake.Close_Modes(), (std::vector<int>{1}));
  }
  EXPECT_EQ(GInterface, before);
}

TEST(FakeChannel, BlockingReadsSpanStepsAndStopAtEvents) {
  FakeChannel fake;
  unsigned char buf[16] = {};
  fake.Feed({1, 2}).Feed_Would_Block().Feed({3, 4, 5}).Feed({6}).Feed_Timeout();
  EXPECT_EQ(Recv(kCh, buf, 4, 0), 4);
  EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{1, 2, 3, 4}));
  // Two bytes are there, then the time-out: the read fails, the bytes are gone.
  EXPECT_EQ(Recv(kCh, buf, 3, 0), -5);
  EXPECT_EQ(fake.Unread(), 0u);
  // An exhausted script answers at once on the test's own thread.
  EXPECT_EQ(Recv(kCh, buf, 1, 0), -5);
  fake.Set_Exhausted_Result(-7);
  EXPECT_EQ(Recv(kCh, buf, 1, 0), -7);
}

TEST(FakeChannel, PollsNeverWait) {
  FakeChannel fake;
  unsigned char buf[16] = {};
  EXPECT_EQ(Recv(kCh, buf, 8, 1), 0);
  fake.Feed_Would_Block().Feed({9, 8, 7}).Feed_Failure(-2);
  EXPECT_EQ(Recv(kCh, buf, 8, 1), 0);
  EXPECT_EQ(Recv(kCh, buf, 8, 1), 3);
  EXPECT_EQ(buf[0], 9);
  EXPECT_EQ(Recv(kCh, buf, 8, 1), -2);
  ASSERT_EQ(fake.Recv_Calls().size(), 4u);
  EXPECT_TRUE(fake.Recv_Lengths().empty());
}

TEST(FakeChannel, RecordsSendsSplitsPacketsAndFailsTheNth) {
  FakeChannel fake;
  Bytes a = Packet(0, 'I', 0, {0, 0});
  Bytes b = Packet(1, 'P', 0, {'H', 0});
  fake.Fail_Send_At(3, -4);
  // One packet in two writes, then one whole packet.
  EXPECT_EQ(Send(kCh, a.data(), 5), 5);
  EXPECT_EQ(Send(kCh, a.data() + 5, static_cast<unsigned short>(a.size() - 5)), 4);
  EXPECT_EQ(Send(kCh, b.data(), static_cast<unsigned short>(b.size())), -4);
  EXPECT_EQ(Send(kCh, b.data(), static_cast<unsigned short>(b.size())), static_cast<long>(b.size()));
  EXPECT_EQ(fake.Send_Calls(), 4);
  EXPECT_EQ(fake.Sent_Writes().size(), 3u);
  EXPECT_EQ(fake.Sent_Packets(), (std::vector<Bytes>{a, b}));
  EXPECT_EQ(testsupport::Split_Packets({1, 'I', 0, 5}), (std::vector<Bytes>{{1, 'I', 0, 5}}));
}

TEST(FakeChannel, ResponderAnswersEachSend) {
  FakeChannel fake;
  fake.Set_Responder([](FakeChannel& f, const Bytes& sent) { f.Feed(Packet(0, sent[1], sent[2], {0, 0})); });
  RS232_ROX rox;
  Bytes request = Packet(1, 'G', 0, {});
  ASSERT_GT(Send(kCh, request.data(), static_cast<unsigned short>(request.size())), 0);
  Bytes buf(PACKET_BUF_SIZE, 0);
  ASSERT_EQ(rox.Receive_Packet(kCh, buf.data()), 0);
  EXPECT_EQ(rox.Validate_Packet(buf.data()), 0);
  EXPECT_EQ(rox.RxFrame.Command, 'G');
}

TEST(FakeChannel, EngineThreadWaitsForFeedFromTestThread) {
  FakeChannel fake;
  short result = -1;
  Bytes buf(PACKET_BUF_SIZE, 0);
  std::thread engine([&] {
    RS232_ROX rox;
    Bytes hello = Packet(1, 'X', 0, {0, 0, '1', 'A', 'T', 0, 'W'});
    Send(kCh, hello.data(), static_cast<unsigned short>(hello.size()));
    result = rox.Receive_Packet(kCh, buf.data());
  });
  ASSERT_TRUE(fake.Wait_Sent_Packets(1, 5000));
  fake.Feed(Packet(1, 'I', 0, {}));
  engine.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(buf[1], 'I');
}

TEST(FakeChannel, EngineThreadTimesOutOnSilence) {
  FakeChannel fake;
  fake.Set_Recv_Wait_Ms(50);
  long got = 0;
  std::thread engine([&] {
    unsigned char b[5];
    got = Recv(kCh, b, 5, 0);
  });
  engine.join();
  EXPECT_EQ(got, -5);
}

}  // namespace
