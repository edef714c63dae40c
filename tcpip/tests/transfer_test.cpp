// Sending and receiving data frames against an HT played by the test.
#include <thread>

#include "tcpip/tests/netport_fixture.h"

namespace {

using namespace nptest;

using Transfer = NetportTest;

TEST_F(Transfer, LongSendGoesOutInFullChunksAndAResendRepeatsOnlyTheCurrentFrame) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  Bytes data = Pattern(20000, 3);
  std::vector<PcFrame> frames;
  std::thread ht([&] {
    for (int i = 0; i < 4; ++i) {
      PcFrame f;
      if (!peer.Read_Frame(&f)) return;
      frames.push_back(f);
      // The first frame is asked for again; every other one acknowledged.
      if (!peer.Send(Control(i == 0 ? netport::kResend : 0x01))) return;
    }
  });
  EXPECT_EQ(so_send(ch, data.data(), 20000), 20000);
  ht.join();
  ASSERT_EQ(frames.size(), 4u);
  const Bytes first(data.begin(), data.begin() + 8184);
  const Bytes second(data.begin() + 8184, data.begin() + 16368);
  const Bytes third(data.begin() + 16368, data.end());
  EXPECT_EQ(frames[0].payload, first);
  EXPECT_EQ(frames[1].payload, first);
  EXPECT_EQ(frames[2].payload, second);
  EXPECT_EQ(frames[3].payload, third);
  for (const PcFrame& f : frames) {
    EXPECT_EQ(f.code, netport::kPcData);
    EXPECT_EQ(f.header[1] | f.header[4] | f.header[5] | f.header[6] | f.header[7], 0);
  }
  EXPECT_TRUE(peer.Quiet(100)) << "nothing after the last acknowledged frame";
  so_close(ch, '!');
}

TEST_F(Transfer, DataFramesAnsweringOurDataAreQueuedWithoutLosingEarlierOnes) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  Bytes data = Pattern(10000, 5);
  std::thread ht([&] {
    PcFrame f;
    if (!peer.Read_Frame(&f) || !peer.Send(Ht_Data({'E', 'R', 'R'}))) return;
    if (!peer.Read_Frame(&f) || !peer.Send(Ht_Data({'1', '2'}))) return;
  });
  EXPECT_EQ(so_send(ch, data.data(), 10000), 10000);
  ht.join();
  std::uint8_t got[16] = {};
  EXPECT_EQ(so_recv(ch, got, 7, 1), 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 5), "ERR12");
  EXPECT_TRUE(peer.Quiet(100)) << "a queue look-up never polls";
  so_close(ch, '!');
}

TEST_F(Transfer, LongHtFrameIsDeliveredInPartsFromTheQueueWithoutAnotherPoll) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  const Bytes payload = Pattern(3000, 9);
  std::thread ht([&] {
    if (peer.Expect(netport::kPoll)) peer.Send(Ht_Data(payload));
  });
  Bytes first(1000), rest(2000);
  EXPECT_EQ(so_recv(ch, first.data(), 1000, 0), 1000);
  ht.join();
  EXPECT_EQ(so_recv(ch, rest.data(), 2000, 0), 2000);
  EXPECT_EQ(first, Bytes(payload.begin(), payload.begin() + 1000));
  EXPECT_EQ(rest, Bytes(payload.begin() + 1000, payload.end()));
  EXPECT_TRUE(peer.Quiet(150)) << "the second part came from the queue";
  so_close(ch, '!');
}

TEST_F(Transfer, ReceiveSpanningFramesSkipsControlFramesAndPollsPerFrame) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  const Bytes a = Pattern(8184, 1), b = Pattern(100, 2);
  int polls = 0;
  std::thread ht([&] {
    const Bytes answers[] = {Ht_Data(a), Control(0x18), Ht_Data(b)};
    for (const Bytes& answer : answers) {
      if (!peer.Expect(netport::kPoll)) return;
      ++polls;
      peer.Send(answer);
    }
  });
  Bytes got(8284);
  EXPECT_EQ(so_recv(ch, got.data(), 8284, 0), 8284);
  ht.join();
  EXPECT_EQ(polls, 3);
  EXPECT_EQ(got, Cat(a, b));
  so_close(ch, '!');
}

TEST_F(Transfer, PollOfAnEmptyQueueReturnsZeroWithoutTraffic) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  std::uint8_t buf[8];
  EXPECT_EQ(so_recv(ch, buf, 7, 1), 0);
  EXPECT_EQ(so_recv(ch, buf, 7, 3), 0);
  EXPECT_TRUE(peer.Quiet(100));
  so_close(ch, '!');
}

TEST_F(Transfer, BytesBehindAFrameInTheSameReadAreKeptForTheNextFrame) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  const Bytes a = Pattern(10, 4), b = Pattern(5, 8);
  std::thread ht([&] {
    // Two frames in one write: one TCP segment on loopback.
    if (peer.Expect(netport::kPoll)) peer.Send(Cat(Ht_Data(a), Ht_Data(b)));
  });
  Bytes got_a(10), got_b(5);
  EXPECT_EQ(so_recv(ch, got_a.data(), 10, 0), 10);
  ht.join();
  EXPECT_EQ(so_recv(ch, got_b.data(), 5, 0), 5);
  EXPECT_EQ(got_a, a);
  EXPECT_EQ(got_b, b);
  EXPECT_TRUE(peer.Quiet(100)) << "the frame already here answers no new poll";
  so_close(ch, '!');
}

TEST_F(Transfer, HeaderAnnouncingMoreThanOneFrameBufferEndsTheReadWithLinkBroken) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  Bytes header(8, 0);
  header[2] = 0xF9;  // 8185
  header[3] = 0x1F;
  std::thread ht([&] {
    if (peer.Expect(netport::kPoll)) peer.Send(Cat(header, Pattern(9000, 1)));
  });
  Bytes got(9000);
  EXPECT_EQ(so_recv(ch, got.data(), 9000, 0), SO_LINK_BROKEN);
  ht.join();
  so_close(ch, '!');
}

TEST_F(Transfer, ZeroTcpTimeoutFailsEveryTransferAtOnce) {
  Start("[ETHERNET]\nPORTNO=0\nTCP_TIMEOUT=0\nSELECT_TIMEOUT=2\n");
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  std::uint8_t buf[16] = {};
  const std::uint64_t start = platform::Monotonic_Ms();
  EXPECT_EQ(so_recv(ch, buf, 16, 0), SO_TIMED_OUT);
  EXPECT_EQ(so_send(ch, buf, 16), SO_TIMED_OUT);
  EXPECT_LT(platform::Monotonic_Ms() - start, 500u);
  EXPECT_TRUE(peer.Quiet(100));
  so_close(ch, '!');
}

TEST_F(Transfer, FrameReadsTimeOutAtOnceWithZeroTcpTimeout) {
  Start("[ETHERNET]\nPORTNO=0\nTCP_TIMEOUT=0\n");
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  ASSERT_TRUE(peer.Send(Ht_Data({1, 2, 3})));
  ASSERT_TRUE(platform::Socket_Wait(ch, platform::SocketWait::Readable, 2000) == 1);
  netport::FrameReader r;
  EXPECT_EQ(netport::Read_Frame(ch, r), SO_TIMED_OUT);
  so_close(ch, '!');
}

TEST_F(Transfer, UnansweredDataFrameFailsAfterTheSelectTime) {
  Start("[ETHERNET]\nPORTNO=0\nTCP_TIMEOUT=5\nSELECT_TIMEOUT=0\n");
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  std::uint8_t buf[4] = {1, 2, 3, 4};
  const std::uint64_t start = platform::Monotonic_Ms();
  EXPECT_EQ(so_send(ch, buf, 4), SO_BAD_ARGUMENT);
  EXPECT_EQ(so_recv(ch, buf, 4, 0), SO_BAD_ARGUMENT);
  EXPECT_LT(platform::Monotonic_Ms() - start, 2000u);
  so_close(ch, '!');
}

TEST_F(Transfer, SendPastTheTimeLimitReturnsTheAcknowledgedCount) {
  Start("[ETHERNET]\nPORTNO=0\nTCP_TIMEOUT=1\nSELECT_TIMEOUT=3\n");
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  Bytes data = Pattern(9000, 1);
  std::thread ht([&] {
    PcFrame f;
    if (!peer.Read_Frame(&f)) return;
    platform::Sleep_Ms(1100);
    peer.Send(Control(0x01));
  });
  EXPECT_EQ(so_send(ch, data.data(), 9000), 8184);
  ht.join();
  so_close(ch, '!');
}

TEST_F(Transfer, PeerClosingDuringAFrameEndsWithLinkBroken) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  std::thread ht([&] {
    if (!peer.Expect(netport::kPoll)) return;
    Bytes partial = Ht_Data(Pattern(100, 1));
    partial.resize(50);
    peer.Send(partial);
    peer.Close();
  });
  std::uint8_t buf[100];
  EXPECT_EQ(so_recv(ch, buf, 100, 0), SO_LINK_BROKEN);
  ht.join();
  so_close(ch, '!');
}

TEST_F(Transfer, BadArgumentsAndUnknownSocketsAreRefused) {
  Start();
  std::uint8_t buf[4] = {};
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  EXPECT_EQ(so_send(ch, nullptr, 4), SO_BAD_ARGUMENT);
  EXPECT_EQ(so_send(ch, buf, 0), SO_BAD_ARGUMENT);
  EXPECT_EQ(so_send(ch, buf, 65537), SO_BAD_ARGUMENT);
  EXPECT_EQ(so_recv(ch, buf, 4, -1), SO_BAD_ARGUMENT);
  EXPECT_EQ(so_recv(0, buf, 4, 0), SO_BAD_ARGUMENT);
  // Sockets that were never accepted here have no connection state.
  EXPECT_EQ(so_send(listening_, buf, 4), SO_BAD_ARGUMENT);
  EXPECT_EQ(so_recv(ch + 1000, buf, 4, 0), SO_BAD_ARGUMENT);
  EXPECT_EQ(so_handshake_accept(listening_), SO_BAD_ARGUMENT);
  EXPECT_EQ(so_close(ch + 1000, 1), SO_BAD_ARGUMENT);
  EXPECT_TRUE(peer.Quiet(50));
  EXPECT_EQ(so_close(ch, '!'), 0);
  EXPECT_EQ(so_send(ch, buf, 4), SO_BAD_ARGUMENT) << "closed";
}

}  // namespace

namespace {

using namespace nptest;

// Every connection has its own buffers: two engines transfer at the same time
// while the listener accepts a third HT.
TEST_F(NetportTest, ConnectionsTransferAtTheSameTimeWhileAnotherIsAccepted) {
  Start();
  constexpr int kHts = 2;
  Peer peers[kHts];
  int channels[kHts];
  for (int i = 0; i < kHts; ++i) {
    channels[i] = Accept_From(peers[i]);
    ASSERT_GT(channels[i], 0);
  }
  const Bytes up = Pattern(20000, 11);
  std::vector<std::thread> threads;
  long sent[kHts] = {}, received[kHts] = {};
  Bytes got[kHts];
  for (int i = 0; i < kHts; ++i) {
    threads.emplace_back([&, i] {  // the HT
      const Bytes down = Pattern(5000, static_cast<unsigned>(i));
      for (int k = 0; k < 3; ++k) {
        PcFrame f;
        if (!peers[i].Read_Frame(&f) || !peers[i].Send(Control(0x01))) return;
      }
      if (peers[i].Expect(netport::kPoll)) peers[i].Send(Ht_Data(down));
    });
    threads.emplace_back([&, i] {  // the engine
      Bytes data = up;
      sent[i] = so_send(channels[i], data.data(), 20000);
      got[i].resize(5000);
      received[i] = so_recv(channels[i], got[i].data(), 5000, 0);
    });
  }
  Peer third;
  const int ch3 = Accept_From(third);
  EXPECT_GT(ch3, 0);
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kHts; ++i) {
    EXPECT_EQ(sent[i], 20000);
    EXPECT_EQ(received[i], 5000);
    EXPECT_EQ(got[i], Pattern(5000, static_cast<unsigned>(i)));
    so_close(channels[i], '!');
  }
  so_close(ch3, '!');
}

}  // namespace
