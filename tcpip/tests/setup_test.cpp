// Start, binding, station numbers, accepting and reset.
#include <memory>
#include <thread>
#include <type_traits>

#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "tcpip/tests/netport_fixture.h"

namespace {

using namespace nptest;

using DriverStart = NetportTest;

// Marks station i in use (or free) in the link manager's table.
template <typename Table>
void Mark(Table& table, int i, int value) {
  if constexpr (std::is_array_v<Table>) platform::Store(table[i], value);
}

TEST_F(DriverStart, MissingDeviceIniShowsEachMessageAndLeavesEverySettingZero) {
  Start_Without_Ini();
  EXPECT_EQ(Boxes(), (std::vector<std::string>{"Device.ini File Missing", "Device.ini Not Found",
                                               "Device.ini Not Found", "Device.ini Not Found"}));
  EXPECT_EQ(netport::g_settings.tcp_timeout.load(), 0);
  EXPECT_EQ(netport::g_settings.select_timeout.load(), 0);
  EXPECT_EQ(netport::g_settings.iobox_rbytes.load(), 0);
  // Without device.ini no station number can be given: the HT is turned away.
  Peer peer;
  EXPECT_EQ(Accept_From(peer), SO_NO_STATION);
  EXPECT_EQ(platform::Load(GTcpIpHtNo), 0);
  EXPECT_TRUE(peer.Sees_End(1000));
  EXPECT_EQ(Boxes().back(), "Device.ini File Missing");
}

TEST_F(DriverStart, MissingKeysTakeTheirDefaultsAndNumbersConvertLikeAtoi) {
  Write_Ini("[ETHERNET]\nPORTNO=5000\nIPADDR=1.2.3.4\n");
  ASSERT_EQ(so_init(), 0);
  EXPECT_EQ(netport::g_settings.port.load(), 5000);
  EXPECT_EQ(netport::g_settings.tcp_timeout.load(), 60);
  EXPECT_EQ(netport::g_settings.select_timeout.load(), 60);
  EXPECT_EQ(netport::g_settings.iobox_rbytes.load(), 0);
  EXPECT_TRUE(Boxes().empty());

  Write_Ini("[ETHERNET]\nPORTNO=65535\nTCP_TIMEOUT= 7s\nSELECT_TIMEOUT=-3\n[IOBOX]\nIOBOX_RBYTES=x\n");
  ASSERT_EQ(so_init(), 0);
  EXPECT_EQ(netport::g_settings.port.load(), 65535);
  EXPECT_EQ(netport::g_settings.tcp_timeout.load(), 7);
  EXPECT_EQ(netport::g_settings.select_timeout.load(), -3);
  EXPECT_EQ(netport::g_settings.iobox_rbytes.load(), 0);
  EXPECT_EQ(netport::Plain_Decimal("99999999999"), 2147483647);
  EXPECT_EQ(netport::Plain_Decimal("-99999999999"), -2147483647 - 1);
}

TEST_F(DriverStart, PortThatIsNoPortStopsTheStartNamingTheKeyAndTheValue) {
  // Once these listened on a port the kernel chose (abc, 0) or on the low 16
  // bits (99999 on 34463): no HT could ever find the PC.
  for (const char* value : {"abc", "0", "99999", "65536", "5000x", "-5000", "+5000", "50 00"}) {
    SCOPED_TRACE(value);
    Write_Ini(std::string("[ETHERNET]\nPORTNO=") + value + "\nTCP_TIMEOUT=5\n", true);
    EXPECT_EQ(so_init(), SO_BAD_PORT);
    ASSERT_FALSE(Boxes().empty());
    EXPECT_NE(Boxes().back().find(std::string("PORTNO=") + value + " "), std::string::npos) << Boxes().back();
  }
  Write_Ini("[ETHERNET]\nTCP_TIMEOUT=5\n");
  EXPECT_EQ(so_init(), SO_BAD_PORT) << "a missing port is no port either";
  EXPECT_NE(Boxes().back().find("no PORTNO"), std::string::npos) << Boxes().back();
  EXPECT_EQ(So_Started_Count(), 0) << "nothing was started";

  Write_Ini("[ETHERNET]\nPORTNO=1\n");
  EXPECT_EQ(so_init(), 0);
  EXPECT_EQ(netport::g_settings.port.load(), 1);
}

TEST_F(DriverStart, BindChecksTheBacklogOnlyAfterBinding) {
  Write_Ini(kDefaultIni);
  ASSERT_EQ(so_init(), 0);
  for (int backlog : {0, 6}) {
    const int s = so_open();
    ASSERT_GT(s, 0);
    EXPECT_EQ(so_bind(s, backlog), SO_BAD_ARGUMENT);
    EXPECT_GT(platform::Socket_Local_Port(s), 0) << "bound all the same";
    EXPECT_EQ(so_listen(s, 1), SO_BAD_ARGUMENT) << "but not listening";
    EXPECT_EQ(so_close(s, 1), 0);
  }
  EXPECT_EQ(so_bind(0, 5), SO_BAD_ARGUMENT);
  EXPECT_EQ(so_bind(12345, 5), SO_BAD_ARGUMENT) << "not a socket of this driver";
}

TEST_F(DriverStart, ListenReportsAWaitingConnectionWithoutWaiting) {
  Start();
  EXPECT_EQ(so_listen(listening_, 1), 0);
  Peer peer;
  ASSERT_TRUE(peer.Connect(port_));
  EXPECT_TRUE(Wait_Listen());
  const int ch = so_accept(listening_);
  EXPECT_GT(ch, 0);
  EXPECT_NE(ch, listening_);
  EXPECT_EQ(so_listen(listening_, 1), 0);
  EXPECT_EQ(so_accept(listening_), SO_NONE_WAITING) << "nobody waiting: not an error of the listener";
  so_close(ch, '!');
}

TEST_F(DriverStart, ListeningAddressIsTheOneNamedByTheEnvironmentElseAllInterfaces) {
  Start();  // TARNEL_LISTEN=127.0.0.1
  {
    Peer other;
    EXPECT_FALSE(other.Connect(port_, "127.0.0.2"));
  }
  so_close(listening_, 0);
  unsetenv("TARNEL_LISTEN");
  Start_Without_Ini();
  {
    Peer other;
    EXPECT_TRUE(other.Connect(port_, "127.0.0.2"));
  }
  so_close(listening_, 0);
  listening_ = -1;
  // An address that is none stops the start, named as it was given (once it
  // was only seen at the bind, and reported as a port in use).
  const int started = So_Started_Count();
  for (const char* value : {"127.0.000.1", "localhost", "255.255.255.2551", "10.0.0.1 "}) {
    SCOPED_TRACE(value);
    setenv("TARNEL_LISTEN", value, 1);
    const std::size_t before = Boxes().size();
    EXPECT_EQ(so_init(), SO_BAD_LISTEN_ADDRESS);
    ASSERT_EQ(Boxes().size(), before + 1);
    EXPECT_NE(Boxes().back().find(std::string("TARNEL_LISTEN=") + value + " is not"), std::string::npos)
        << Boxes().back();
  }
  EXPECT_EQ(So_Started_Count(), started) << "nothing more was started";
}

TEST_F(DriverStart, ListenWaitEndsWithAConnectionOrAWakeAndNotBefore) {
  Start();
  EXPECT_EQ(so_listen_wait(listening_, 0), 0);
  EXPECT_EQ(so_listen_wait(listening_, 30), 0) << "nobody came";

  // A wake from another thread ends a long wait at once.
  const std::uint64_t start = platform::Monotonic_Ms();
  std::thread waker([this] {
    platform::Sleep_Ms(50);
    EXPECT_EQ(so_listen_wake(listening_), 0);
  });
  EXPECT_EQ(so_listen_wait(listening_, 20000), 0);
  waker.join();
  EXPECT_LT(platform::Monotonic_Ms() - start, 10000u) << "woken, not timed out";
  EXPECT_EQ(so_listen_wait(listening_, 0), 0) << "the wake was used up";

  // A wake that comes first ends the next wait.
  EXPECT_EQ(so_listen_wake(listening_), 0);
  EXPECT_EQ(so_listen_wake(listening_), 0);
  EXPECT_EQ(so_listen_wait(listening_, 20000), 0);
  EXPECT_EQ(so_listen_wait(listening_, 0), 0) << "two wakes end one wait";

  // A connection ends it with 1, and is still there to accept.
  Peer peer;
  std::thread connector([&] {
    platform::Sleep_Ms(50);
    peer.Connect(port_);
  });
  EXPECT_EQ(so_listen_wait(listening_, 20000), 1);
  connector.join();
  const int ch = so_accept(listening_);
  EXPECT_GT(ch, 0);
  so_close(ch, '!');

  EXPECT_EQ(so_local_port(listening_), port_);
  EXPECT_EQ(so_listen_wait(ch, 0), SO_BAD_ARGUMENT) << "not a listening socket";
  EXPECT_EQ(so_listen_wake(12345), SO_BAD_ARGUMENT);
  EXPECT_EQ(so_local_port(12345), SO_BAD_ARGUMENT);
}

TEST_F(DriverStart, PeerGoneTellsAnHtThatLeftFromAQuietOne) {
  Start();
  Peer quiet, leaving;
  const int q = Accept_From(quiet);
  const int l = Accept_From(leaving);
  ASSERT_GT(q, 0);
  ASSERT_GT(l, 0);
  EXPECT_EQ(so_peer_gone(q), 0);
  EXPECT_EQ(so_peer_gone(l), 0);
  leaving.Close();
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    gone = so_peer_gone(l) == 1;
    if (!gone) platform::Sleep_Ms(5);
  }
  EXPECT_TRUE(gone);
  EXPECT_EQ(so_peer_gone(q), 0);
  EXPECT_EQ(so_peer_gone(listening_), SO_BAD_ARGUMENT) << "only accepted connections";
  so_close(q, '!');
  so_close(l, '!');
  EXPECT_EQ(so_peer_gone(l), SO_BAD_ARGUMENT) << "closed: no slot any more";
}

TEST_F(DriverStart, ShutdownEndsAConnectionThatStaysItsOwnersToClose) {
  Start();
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  EXPECT_EQ(so_shutdown(ch), 0);
  EXPECT_TRUE(peer.Sees_End(1000));
  unsigned char b[8];
  EXPECT_LT(so_recv(ch, b, sizeof b, 0), 0) << "an exchange after it fails at once";
  EXPECT_EQ(so_close(ch, 1), SO_SOCKET_ERROR) << "and the close finds nobody to talk to";
  EXPECT_EQ(so_shutdown(ch), SO_BAD_ARGUMENT) << "closed: no slot any more";
  EXPECT_EQ(so_shutdown(listening_), SO_BAD_ARGUMENT) << "only accepted connections";
}

TEST_F(DriverStart, StationNumberComesFromTheAddressTableOrTheLowestFreeUnlistedNumber) {
  Start(std::string(kDefaultIni) +
        "[USE_IP]\n1=10.0.0.1\n2=127.0.0.3\n4=10.0.000.7\n5=10.0.0.9\n");
  EXPECT_EQ(netport::Station_Number("127.0.0.3"), 2);
  EXPECT_EQ(netport::Station_Number("10.0.0.9"), 5);
  EXPECT_EQ(netport::Station_Number("10.0.0.7"), 3) << "10.0.000.7 is another text";
  EXPECT_EQ(netport::Station_Number("10.0.0.1 "), 3);

  Peer listed, unlisted;
  const int a = Accept_From(listed, "127.0.0.3");
  ASSERT_GT(a, 0);
  EXPECT_EQ(platform::Load(GTcpIpHtNo), 2);
  const int b = Accept_From(unlisted, "127.0.0.1");
  ASSERT_GT(b, 0);
  EXPECT_EQ(platform::Load(GTcpIpHtNo), 3);
  so_close(a, '!');
  so_close(b, '!');
}

TEST_F(DriverStart, StationNumbersInUseAreSkippedExceptForListedAddresses) {
  if constexpr (!std::is_array_v<decltype(TCPIP_Connections)>) {
    GTEST_SKIP() << "this build's link manager keeps no per-station marks";
  } else {
    Start(std::string(kDefaultIni) + "[USE_IP]\n2=127.0.0.3\n");
    Mark(TCPIP_Connections, 1, 1);
    Mark(TCPIP_Connections, 2, 1);
    Mark(TCPIP_Connections, 3, 1);
    EXPECT_EQ(netport::Station_Number("127.0.0.3"), 2) << "listed: its own number, in use or not";
    EXPECT_EQ(netport::Station_Number("127.0.0.1"), 4);
    for (int i = 1; i <= 255; ++i) Mark(TCPIP_Connections, i, 1);
    Peer peer;
    EXPECT_EQ(Accept_From(peer, "127.0.0.1"), SO_NO_STATION) << "no number left";
    EXPECT_TRUE(peer.Sees_End(1000));
    for (int i = 1; i <= 255; ++i) Mark(TCPIP_Connections, i, 0);
  }
}

TEST_F(DriverStart, ConnectionBeyondTheLastSlotIsTurnedAwayAndTheOthersGoOn) {
  Start();
  std::vector<std::unique_ptr<Peer>> peers;
  std::vector<int> channels;
  for (int i = 0; i < netport::kSlots; ++i) {
    peers.push_back(std::make_unique<Peer>());
    const int ch = Accept_From(*peers.back());
    ASSERT_GT(ch, 0) << "connection " << i + 1;
    channels.push_back(ch);
  }
  Peer surplus;
  EXPECT_EQ(Accept_From(surplus), SO_TABLE_FULL);
  EXPECT_EQ(platform::Load(GTcpIpHtNo), 0);
  EXPECT_TRUE(surplus.Sees_End(1000));
  EXPECT_TRUE(peers.front()->Quiet(10)) << "the others are untouched";
  EXPECT_EQ(so_close(channels.front(), '!'), 0);
  Peer next;
  const int ch = Accept_From(next);
  EXPECT_GT(ch, 0) << "a freed slot is used again";
  channels.front() = ch;
  for (int c : channels) so_close(c, '!');
}

TEST_F(DriverStart, ResetUndoesEveryStartAndEndsTheConnectionsLeftOpen) {
  Start();
  ASSERT_EQ(so_init(), 0);
  EXPECT_EQ(So_Started_Count(), 2);
  Peer peer;
  const int ch = Accept_From(peer);
  ASSERT_GT(ch, 0);
  EXPECT_EQ(so_reset(), 0);
  EXPECT_EQ(So_Started_Count(), 0);
  EXPECT_EQ(so_reset(), 0) << "reset when not started";
  EXPECT_TRUE(peer.Sees_End(1000));
  EXPECT_EQ(so_listen(listening_, 1), SO_BAD_ARGUMENT) << "the listening socket is closed";
  listening_ = -1;
  EXPECT_EQ(so_close(ch, '!'), 0) << "a connection stays its owner's to close";
  // A new start works as the first did.
  Start();
  Peer again;
  const int ch2 = Accept_From(again);
  EXPECT_GT(ch2, 0);
  so_close(ch2, '!');
}

TEST_F(DriverStart, DriverTableForwardsToTheSoFunctions) {
  const ChannelDriver& d = Netport_Channel_Driver();
  EXPECT_EQ(d.init, &so_init);
  EXPECT_EQ(d.send, &so_send);
  EXPECT_EQ(d.recv, &so_recv);
  EXPECT_EQ(d.close, &so_close);
  EXPECT_EQ(d.handshake_connect, &so_handshake_connect);
}

}  // namespace
