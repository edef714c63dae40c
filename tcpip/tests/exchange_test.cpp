// Opening handshakes and the close modes.
#include <thread>

#include "tcpip/tests/netport_fixture.h"

namespace {

using namespace nptest;

using Exchange = NetportTest;

TEST_F(Exchange, AcceptHandshakeFindsFramesSplitAcrossReadsAndAfterNoise) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  Bytes greeting;
  bool got_one = false;
  std::thread ht([&] {
    greeting = peer.Read(8);
    const Bytes zero = Control(netport::kStep0);
    // Noise, then the '0' frame cut in two writes.
    peer.Send(Cat({'x', '0', 0}, Bytes(zero.begin(), zero.begin() + 3)));
    platform::Sleep_Ms(50);
    peer.Send(Bytes(zero.begin() + 3, zero.end()));
    got_one = peer.Expect(netport::kStep1);
    peer.Send(Control(netport::kStep2));
  });
  EXPECT_EQ(so_handshake_accept(ch), 0);
  ht.join();
  EXPECT_EQ(greeting, Control(netport::kGreeting, 4660));
  EXPECT_TRUE(got_one);
  so_close(ch, '!');
}

TEST_F(Exchange, AcceptHandshakeWithAPeerThatLeavesIsASocketErrorAndEndsTheConnection) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  std::thread ht([&] {
    peer.Read(8);
    peer.Close();
  });
  EXPECT_EQ(so_handshake_accept(ch), SO_SOCKET_ERROR);
  ht.join();
  std::uint8_t buf[4] = {1, 2, 3, 4};
  EXPECT_LT(so_send(ch, buf, 4), 0) << "the connection is gone";
  EXPECT_EQ(so_close(ch, '!'), 0) << "the socket is still the caller's to release";
}

TEST_F(Exchange, AcceptHandshakeTimesOutAndTheHtSeesTheEnd) {
  Start("[ETHERNET]\nPORTNO=0\nTCP_TIMEOUT=1\n");
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  EXPECT_EQ(so_handshake_accept(ch), SO_TIMED_OUT);
  std::size_t extra = 0;
  EXPECT_TRUE(peer.Sees_End(2000, &extra));
  EXPECT_EQ(extra, 8u) << "only the greeting came";
  so_close(ch, '!');
}

TEST_F(Exchange, ConnectSideDoesTheHtsHalfOfTheHandshake) {
  // A plain listener stands for the far end; the driver connects to it.
  int far = platform::Tcp_Socket_Open();
  ASSERT_GT(far, 0);
  ASSERT_EQ(platform::Socket_Bind(far, "127.0.0.1", 0), platform::SOCKET_OK);
  ASSERT_EQ(platform::Socket_Listen(far, 1), platform::SOCKET_OK);
  const int port = platform::Socket_Local_Port(far);
  Write_Ini("[ETHERNET]\nPORTNO=" + std::to_string(port) + "\nTCP_TIMEOUT=2\n");
  ASSERT_EQ(so_init(), 0);
  const int s = so_open();
  ASSERT_GT(s, 0);
  EXPECT_EQ(so_connect(s, 1), 0);
  ASSERT_EQ(platform::Socket_Wait(far, platform::SocketWait::Readable, 2000), 1);
  const int c = platform::Socket_Accept(far, nullptr, 0);  // driven by hand
  ASSERT_GT(c, 0);
  bool saw0 = false, saw2 = false;
  std::thread other([&] {
    std::uint8_t zero[8] = {};
    platform::Socket_Send(c, zero, 8);
    std::uint8_t b[8];
    auto read8 = [&](std::uint8_t code) {
      std::size_t got = 0;
      for (int i = 0; i < 100 && got < 8; ++i) {
        platform::Socket_Wait(c, platform::SocketWait::Readable, 50);
        long r = platform::Socket_Recv(c, b + got, 8 - got);
        if (r > 0) got += static_cast<std::size_t>(r);
      }
      return got == 8 && Bytes(b, b + 8) == Control(code);
    };
    saw0 = read8(netport::kStep0);
    std::uint8_t one[8] = {netport::kStep1};
    platform::Socket_Send(c, one, 8);
    saw2 = read8(netport::kStep2);
  });
  EXPECT_EQ(so_handshake_connect(s), 0);
  other.join();
  EXPECT_TRUE(saw0);
  EXPECT_TRUE(saw2);
  EXPECT_EQ(so_close(s, '!'), 0);
  platform::Socket_Close(c);
  platform::Socket_Close(far);
}

TEST_F(Exchange, ConnectReportsTheSystemErrorAndChecksItsCountAfterConnecting) {
  int far = platform::Tcp_Socket_Open();
  ASSERT_GT(far, 0);
  ASSERT_EQ(platform::Socket_Bind(far, "127.0.0.1", 0), platform::SOCKET_OK);
  const int port = platform::Socket_Local_Port(far);
  // Bound but not listening: a connect is refused.
  Write_Ini("[ETHERNET]\nPORTNO=" + std::to_string(port) + "\n");
  ASSERT_EQ(so_init(), 0);
  int s = so_open();
  ASSERT_GT(s, 0);
  EXPECT_GT(so_connect(s, 1), 0) << "positive system error number";
  so_close(s, '!');

  ASSERT_EQ(platform::Socket_Listen(far, 1), platform::SOCKET_OK);
  s = so_open();
  EXPECT_EQ(so_connect(s, 6), SO_BAD_ARGUMENT);
  EXPECT_EQ(platform::Socket_Wait(far, platform::SocketWait::Readable, 2000), 1)
      << "the connection was made all the same";
  so_close(s, '!');
  platform::Socket_Close(far);
}

TEST_F(Exchange, CloseBangClosesAtOnceWithoutAnyExchange) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  const std::uint64_t start = platform::Monotonic_Ms();
  EXPECT_EQ(so_close(ch, '!'), 0);
  EXPECT_LT(platform::Monotonic_Ms() - start, 200u);
  std::size_t extra = 99;
  EXPECT_TRUE(peer.Sees_End(1000, &extra));
  EXPECT_EQ(extra, 0u);
}

TEST_F(Exchange, CloseModeOnePollsUntilTheHtEndsItsSession) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  int polls = 0;
  bool got_end = false;
  std::thread ht([&] {
    if (!peer.Expect(netport::kPoll)) return;
    ++polls;
    peer.Send(Ht_Data({1, 2, 3}));  // not the end yet: dropped
    if (!peer.Expect(netport::kPoll)) return;
    ++polls;
    peer.Send(Control(netport::kEndOfSession));
    got_end = peer.Expect(netport::kCloseEnd);
    peer.Send(Bytes(8, 0));
  });
  EXPECT_EQ(so_close(ch, 1), 0);
  ht.join();
  EXPECT_EQ(polls, 2);
  EXPECT_TRUE(got_end);
  EXPECT_TRUE(peer.Sees_End(1000));
}

TEST_F(Exchange, CloseModeZeroRunsTheFullCloseExchange) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  bool got3 = false, got2 = false, got_end = false;
  std::thread ht([&] {
    got3 = peer.Expect(netport::kStep3);
    peer.Send(Control(netport::kStep2));
    platform::Sleep_Ms(20);
    peer.Send(Control(netport::kStep3));
    got2 = peer.Expect(netport::kStep2);
    got_end = peer.Expect(netport::kCloseEnd);
    peer.Send(Bytes(8, 0));
  });
  EXPECT_EQ(so_close(ch, 0), 0);
  ht.join();
  EXPECT_TRUE(got3);
  EXPECT_TRUE(got2);
  EXPECT_TRUE(got_end);
  EXPECT_TRUE(peer.Sees_End(1000));
}

TEST_F(Exchange, CloseKeepsBytesAlreadyReceivedForItsExchange) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  std::thread ht([&] {
    // The HT's answer to a poll and, in the same write, its end of session.
    if (peer.Expect(netport::kPoll)) peer.Send(Cat(Ht_Data({7}), Control(netport::kEndOfSession)));
    if (peer.Expect(netport::kCloseEnd)) peer.Send(Bytes(8, 0));
  });
  std::uint8_t b = 0;
  EXPECT_EQ(so_recv(ch, &b, 1, 0), 1);
  EXPECT_EQ(so_close(ch, 1), 0);
  ht.join();
}

TEST_F(Exchange, HtLeavingDuringTheCloseCountsAsClosed) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  std::thread ht([&] {
    if (peer.Expect(netport::kStep3)) peer.Close();
  });
  EXPECT_EQ(so_close(ch, 0), 0);
  ht.join();
}

TEST_F(Exchange, CloseThatTimesOutStillReleasesTheSocket) {
  Start("[ETHERNET]\nPORTNO=0\nTCP_TIMEOUT=1\n");
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  EXPECT_EQ(so_close(ch, 0), SO_TIMED_OUT);
  std::size_t extra = 0;
  EXPECT_TRUE(peer.Sees_End(2000, &extra));
  EXPECT_EQ(extra, 8u) << "the close request, then the end";
}

TEST_F(Exchange, ListeningSocketClosesAtOnce) {
  Start();
  EXPECT_EQ(so_close(listening_, 0), 0);
  EXPECT_EQ(so_listen(listening_, 1), SO_BAD_ARGUMENT);
  listening_ = -1;
}

}  // namespace
