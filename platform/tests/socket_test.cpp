#include "platform/socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

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

}  // namespace
