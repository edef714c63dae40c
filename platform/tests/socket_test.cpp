#include "platform/socket.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/clock.h"

namespace {

using namespace platform;

// A listening socket on an ephemeral port of 127.0.0.1.
struct Listener {
  int fd = Tcp_Socket_Open();
  int port = 0;
  Listener() {
    if (fd > 0 && Socket_Bind(fd, "127.0.0.1", 0) == SOCKET_OK && Socket_Listen(fd, 5) == SOCKET_OK)
      port = Socket_Local_Port(fd);
  }
  ~Listener() {
    if (fd > 0) Socket_Close(fd);
  }
  // Accepts the next connection, waiting at most 2 s.
  int Accept(char* peer = nullptr, std::size_t cap = 0) {
    if (Socket_Wait(fd, SocketWait::Readable, 2000) != 1) return -1;
    return Socket_Accept(fd, peer, cap);
  }
};

TEST(Socket, AddressTextsAreStrictDottedDecimal) {
  EXPECT_TRUE(Is_Ipv4_Address("10.0.0.7"));
  EXPECT_FALSE(Is_Ipv4_Address("10.0.000.7"));
  EXPECT_FALSE(Is_Ipv4_Address("256.1.1.1"));
  EXPECT_FALSE(Is_Ipv4_Address("localhost"));
  EXPECT_FALSE(Is_Ipv4_Address(""));
  EXPECT_FALSE(Is_Ipv4_Address(nullptr));
  char own[kAddressTextSize];
  Host_Address(own, sizeof own);
  EXPECT_TRUE(Is_Ipv4_Address(own)) << own;
  char tiny[4];
  Host_Address(tiny, sizeof tiny);
  EXPECT_LT(std::strlen(tiny), sizeof tiny) << "cut to the buffer";
}

TEST(Socket, ListenAddressComesFromTheEnvironment) {
  char out[kAddressTextSize] = "x";
  unsetenv("TARNEL_LISTEN");
  EXPECT_FALSE(Listen_Address_From_Environment(out, sizeof out));
  EXPECT_STREQ(out, "");
  setenv("TARNEL_LISTEN", "127.0.0.9", 1);
  EXPECT_TRUE(Listen_Address_From_Environment(out, sizeof out));
  EXPECT_STREQ(out, "127.0.0.9");
  unsetenv("TARNEL_LISTEN");
}

TEST(Socket, ConnectFromAChosenLoopbackAddressShowsThatPeer) {
  Listener l;
  ASSERT_GT(l.port, 0);
  int c = Tcp_Socket_Open();
  ASSERT_GT(c, 0);
  ASSERT_EQ(Socket_Connect(c, "127.0.0.1", static_cast<std::uint16_t>(l.port), "127.0.0.5", 2000),
            SOCKET_OK);
  char peer[kAddressTextSize] = "";
  int a = l.Accept(peer, sizeof peer);
  ASSERT_GT(a, 0);
  EXPECT_STREQ(peer, "127.0.0.5");
  char back[kAddressTextSize] = "";
  EXPECT_EQ(Socket_Peer_Address(a, back, sizeof back), SOCKET_OK);
  EXPECT_STREQ(back, "127.0.0.5");
  EXPECT_EQ(Socket_Accept(l.fd, nullptr, 0), SOCKET_WOULD_BLOCK) << "nobody else waits";
  Socket_Close(a);
  Socket_Close(c);
}

TEST(Socket, ReadsTellNothingYetFromDataFromTheEnd) {
  Listener l;
  int c = Tcp_Socket_Open();
  ASSERT_EQ(Socket_Connect(c, "127.0.0.1", static_cast<std::uint16_t>(l.port), nullptr, 2000),
            SOCKET_OK);
  int a = l.Accept();
  ASSERT_GT(a, 0);
  char buf[16];
  EXPECT_EQ(Socket_Recv(a, buf, sizeof buf), SOCKET_WOULD_BLOCK);
  const std::uint64_t start = Monotonic_Ms();
  EXPECT_EQ(Socket_Wait(a, SocketWait::Readable, 60), 0);
  EXPECT_GE(Monotonic_Ms() - start, 50u);
  EXPECT_EQ(Socket_Send(c, "abc", 3), 3);
  EXPECT_EQ(Socket_Wait(a, SocketWait::Readable, 2000), 1);
  EXPECT_EQ(Socket_Recv(a, buf, sizeof buf), 3);
  Socket_Close(c);
  EXPECT_EQ(Socket_Wait(a, SocketWait::Readable, 2000), 1) << "the end counts as ready";
  EXPECT_EQ(Socket_Recv(a, buf, sizeof buf), 0);
  // Writing to a connection the peer has left fails; it never raises SIGPIPE.
  long r = 0;
  for (int i = 0; i < 100 && r >= 0; ++i) r = Socket_Send(a, "x", 1);
  EXPECT_EQ(r, SOCKET_FAILED);
  Socket_Close(a);
}

// The blocking read with a time limit: queued bytes at once, nothing within
// the limit as would-block (not as an end), the peer's end as 0, and a
// changed limit takes effect.
TEST(Socket, ReadWithinALimitTellsDataTimeAndTheEnd) {
  Listener l;
  // The connecting side stays in blocking mode (as htsim uses it).
  int c = Tcp_Socket_Open();
  ASSERT_EQ(Socket_Connect(c, "127.0.0.1", static_cast<std::uint16_t>(l.port), nullptr, 2000), SOCKET_OK);
  int a = l.Accept();
  ASSERT_GT(a, 0);
  int set = 0;
  char buf[16];
  std::uint64_t start = Monotonic_Ms();
  EXPECT_EQ(Socket_Recv_Within(c, buf, sizeof buf, 60, &set), SOCKET_WOULD_BLOCK);
  EXPECT_GE(Monotonic_Ms() - start, 50u);
  EXPECT_EQ(set, 60);
  EXPECT_EQ(Socket_Send(a, "abc", 3), 3);
  EXPECT_EQ(Socket_Recv_Within(c, buf, sizeof buf, 2000, &set), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  // Bytes that come while the read waits end it.
  std::thread later([a] {
    Sleep_Ms(30);
    Socket_Send(a, "de", 2);
  });
  EXPECT_EQ(Socket_Recv_Within(c, buf, sizeof buf, 5000, &set), 2);
  later.join();
  EXPECT_EQ(set, 5000);
  start = Monotonic_Ms();
  EXPECT_EQ(Socket_Recv_Within(c, buf, sizeof buf, 40, &set), SOCKET_WOULD_BLOCK);
  EXPECT_GE(Monotonic_Ms() - start, 30u);
  EXPECT_LT(Monotonic_Ms() - start, 4000u) << "the shorter limit is in force";
  // A socket that does not block comes back at once instead of waiting.
  EXPECT_EQ(Socket_Recv_Within(a, buf, sizeof buf, 5000, &set), SOCKET_WOULD_BLOCK);
  Socket_Close(a);
  EXPECT_EQ(Socket_Recv_Within(c, buf, sizeof buf, 2000, &set), 0);
  Socket_Close(c);
}

// A header and its payload from two places arrive as one stream, in order;
// a payload part of zero bytes is allowed; a closed peer fails the send.
TEST(Socket, SendTwoPartsArrivesAsOneStream) {
  Listener l;
  int c = Tcp_Socket_Open();
  ASSERT_EQ(Socket_Connect(c, "127.0.0.1", static_cast<std::uint16_t>(l.port), nullptr, 2000), SOCKET_OK);
  int a = l.Accept();
  ASSERT_GT(a, 0);
  std::string payload(5000, 'p');
  EXPECT_EQ(Socket_Send_Two(a, "HEAD", 4, payload.data(), payload.size()), 5004);
  EXPECT_EQ(Socket_Send_Two(a, "TAIL", 4, "", 0), 4);
  std::string got;
  char buf[8192];
  int set = 0;
  while (got.size() < 5008) {
    long n = Socket_Recv_Within(c, buf, sizeof buf, 2000, &set);
    ASSERT_GT(n, 0);
    got.append(buf, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, "HEAD" + payload + "TAIL");
  Socket_Close(c);
  long r = 0;
  for (int i = 0; i < 100 && r >= 0; ++i) r = Socket_Send_Two(a, "x", 1, "y", 1);
  EXPECT_EQ(r, SOCKET_FAILED);
  Socket_Close(a);
}

TEST(Socket, FailuresKeepTheirSystemReason) {
  Listener taken;
  ASSERT_GT(taken.port, 0);
  int s = Tcp_Socket_Open();
  EXPECT_EQ(Socket_Bind(s, "127.0.0.1", static_cast<std::uint16_t>(taken.port)), SOCKET_FAILED)
      << "a port somebody listens on stays taken";
  EXPECT_EQ(Socket_Last_Error(), EADDRINUSE);
  EXPECT_EQ(Socket_Bind(s, "127.0.000.1", 0), SOCKET_FAILED);
  EXPECT_EQ(Socket_Last_Error(), EINVAL);
  Socket_Close(s);

  int bound = Tcp_Socket_Open();
  ASSERT_EQ(Socket_Bind(bound, "127.0.0.1", 0), SOCKET_OK);
  const int port = Socket_Local_Port(bound);
  int c = Tcp_Socket_Open();
  EXPECT_EQ(Socket_Connect(c, "127.0.0.1", static_cast<std::uint16_t>(port), nullptr, -1),
            SOCKET_FAILED);
  EXPECT_EQ(Socket_Last_Error(), ECONNREFUSED);
  Socket_Close(c);
  Socket_Close(bound);
}

TEST(Socket, PortTextsAreDecimalOneTo65535AndNothingElse) {
  EXPECT_EQ(Port_Number_From_Text("1"), 1);
  EXPECT_EQ(Port_Number_From_Text("5000"), 5000);
  EXPECT_EQ(Port_Number_From_Text("65535"), 65535);
  EXPECT_EQ(Port_Number_From_Text("05000"), 5000);
  for (const char* bad : {"", "0", "00", "65536", "99999", "99999999999999999999", "abc", "5000x", "x5000",
                          "-1", "+80", " 80", "80 ", "8 0"})
    EXPECT_EQ(Port_Number_From_Text(bad), -1) << "'" << bad << "'";
  EXPECT_EQ(Port_Number_From_Text(nullptr), -1);
}

TEST(Socket, AcceptedConnectionsProbeAnIdlePeerWithKeepalive) {
  Listener l;
  int c = Tcp_Socket_Open();
  ASSERT_EQ(Socket_Connect(c, "127.0.0.1", static_cast<std::uint16_t>(l.port), nullptr, 2000), SOCKET_OK);
  int a = l.Accept();
  ASSERT_GT(a, 0);
  auto option = [a](int level, int name) {
    int v = -1;
    socklen_t len = sizeof v;
    return getsockopt(a, level, name, &v, &len) == 0 ? v : -1;
  };
  EXPECT_NE(option(SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 60);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 3);
  EXPECT_NE(option(IPPROTO_TCP, TCP_NODELAY), 0);
  Socket_Close(a);
  Socket_Close(c);
}

// Out of descriptors, accept(2) fails with EMFILE while the connection stays
// queued: a passing failure, not one of the listening socket. Run in a child
// process so the lowered limit touches nothing else.
TEST(SocketDeathTest, AcceptWithoutAFreeDescriptorIsToBeRetriedAndTheConnectionWaits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Listener l;
        int c = Tcp_Socket_Open();
        if (l.port <= 0 || Socket_Connect(c, "127.0.0.1", static_cast<std::uint16_t>(l.port), nullptr, 2000) != SOCKET_OK)
          std::_Exit(10);
        if (Socket_Wait(l.fd, SocketWait::Readable, 2000) != 1) std::_Exit(11);
        // The lowest free descriptor becomes the limit: no new one can be had.
        const int probe = dup(0);
        if (probe < 0) std::_Exit(12);
        close(probe);
        rlimit old{};
        getrlimit(RLIMIT_NOFILE, &old);
        rlimit low = old;
        low.rlim_cur = static_cast<rlim_t>(probe);
        if (setrlimit(RLIMIT_NOFILE, &low) != 0) std::_Exit(13);
        const int first = Socket_Accept(l.fd, nullptr, 0);
        const int why = Socket_Last_Error();
        setrlimit(RLIMIT_NOFILE, &old);
        if (first != SOCKET_RETRY_LATER) std::_Exit(14);
        if (why != EMFILE) std::_Exit(15);
        // With a descriptor free again, the same connection is accepted.
        const int a = Socket_Accept(l.fd, nullptr, 0);
        if (a <= 0) std::_Exit(16);
        if (Socket_Send(c, "x", 1) != 1 || Socket_Wait(a, SocketWait::Readable, 2000) != 1) std::_Exit(17);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Socket, WaitEndsWhenTheSocketIsReadyOrTheWakeComes) {
  Listener l;
  const int w = Wake_Open();
  ASSERT_GT(w, 0);
  EXPECT_EQ(Socket_Wait_Or_Wake(l.fd, w, 0), 0);
  EXPECT_EQ(Socket_Wait_Or_Wake(l.fd, w, 20), 0);

  std::thread waker([w] {
    Sleep_Ms(30);
    Wake_Signal(w);
  });
  const std::uint64_t start = Monotonic_Ms();
  EXPECT_EQ(Socket_Wait_Or_Wake(l.fd, w, 20000), 2);
  waker.join();
  EXPECT_LT(Monotonic_Ms() - start, 10000u) << "woken, not timed out";
  EXPECT_EQ(Socket_Wait_Or_Wake(l.fd, w, 0), 0) << "the signal was used up";

  Wake_Signal(w);
  Wake_Signal(w);
  EXPECT_EQ(Socket_Wait_Or_Wake(l.fd, w, 20000), 2) << "signalled before the wait";
  EXPECT_EQ(Socket_Wait_Or_Wake(l.fd, w, 0), 0) << "signals do not count up";

  int c = Tcp_Socket_Open();
  ASSERT_EQ(Socket_Connect(c, "127.0.0.1", static_cast<std::uint16_t>(l.port), nullptr, 2000), SOCKET_OK);
  EXPECT_EQ(Socket_Wait_Or_Wake(l.fd, w, 20000), 1);
  Wake_Signal(w);
  EXPECT_EQ(Socket_Wait_Or_Wake(l.fd, w, 20000), 1) << "a waiting connection comes first";
  EXPECT_EQ(Socket_Wait_Or_Wake(l.fd, w, 0), 1) << "and the wake was used up with it";
  Socket_Close(c);
  Wake_Close(w);
}

TEST(Socket, PeerGoneTellsAClosedOrFailedPeerFromAQuietOne) {
  Listener l;
  int c = Tcp_Socket_Open();
  ASSERT_EQ(Socket_Connect(c, "127.0.0.1", static_cast<std::uint16_t>(l.port), nullptr, 2000), SOCKET_OK);
  int a = l.Accept();
  ASSERT_GT(a, 0);
  EXPECT_EQ(Socket_Peer_Gone(a), 0) << "quiet";
  ASSERT_EQ(Socket_Send(c, "x", 1), 1);
  ASSERT_EQ(Socket_Wait(a, SocketWait::Readable, 2000), 1);
  EXPECT_EQ(Socket_Peer_Gone(a), 0) << "data waiting is no end";
  Socket_Close(c);
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    gone = Socket_Peer_Gone(a) == 1;
    if (!gone) Sleep_Ms(5);
  }
  EXPECT_TRUE(gone) << "closed, even with data still unread";
  Socket_Close(a);
  EXPECT_EQ(Socket_Peer_Gone(a), SOCKET_FAILED) << "not open";
}

}  // namespace
