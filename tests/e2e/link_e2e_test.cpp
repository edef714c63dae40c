// The TCP/IP link end to end: terminals that come back, a server short of
// open files, and settings that name no port or address. tarnel --headless,
// htsim and tarnelctl as processes of their own on loopback addresses.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "tests/e2e/e2e.h"

namespace {

using e2e::Ht;
using e2e::ScratchDir;
using e2e::Server;

struct ProgramDir {
  ProgramDir(const char* name, int max_io, const std::vector<std::string>& use_ip) : dir(name) {
    port = e2e::Free_Port();
    dir.Write("device.ini", e2e::Device_Ini(dir.Path(), port, max_io, use_ip));
    dir.Write("panelset.ini", e2e::Panelset_Ini());
  }
  ScratchDir dir;
  std::uint16_t port;
};

// Waits (bounded) until station ht sits idle waiting for a command.
bool Wait_Idle(const ScratchDir& dir, int ht) {
  std::string reply;
  for (int i = 0; i < 100; ++i) {
    if (e2e::Tarnelctl(dir, {"3", std::to_string(ht - 1)}, &reply) == 0 && reply == "1\n") return true;
    platform::Sleep_Ms(100);
  }
  return false;
}

TEST(LinkE2E, IdleStationKilledAndStartedAgainFromItsAddressIsServedAgain) {
  // Its engine waited for a command and never read the dead connection: every
  // new connection from the address was turned away, here (no command
  // time-out) for ever.
  ProgramDir s("comeback", 8, {"3=127.0.0.3"});
  Server server(s.dir);
  ASSERT_TRUE(server.Start()) << server.Err();
  EXPECT_TRUE(server.Wait_For(" serving TCP/IP port " + std::to_string(s.port) + " ", 1000)) << server.Out();

  Ht first(s.dir, "first");
  ASSERT_TRUE(first.Start(s.port, "127.0.0.3", {}));
  ASSERT_TRUE(first.Wait_For("ht idle", 20000)) << first.Out();
  ASSERT_TRUE(Wait_Idle(s.dir, 3));
  ASSERT_TRUE(first.Signal(SIGKILL));
  EXPECT_GE(first.Wait(10000), 0);

  Ht again(s.dir, "again");
  const std::uint64_t start = platform::Monotonic_Ms();
  ASSERT_TRUE(again.Start(s.port, "127.0.0.3", {"--do", "time"}));
  ASSERT_EQ(again.Wait(30000), 0) << again.Out() << server.Out();
  std::printf("the station that came back was served in %llu ms (program start to its end)\n",
              static_cast<unsigned long long>(platform::Monotonic_Ms() - start));
  EXPECT_NE(again.Out().find("link greeting"), std::string::npos) << again.Out();
  EXPECT_NE(again.Out().find("ht time date="), std::string::npos) << again.Out();
  ASSERT_TRUE(server.Wait_For("HT 3 session 0 ending 72 ", 10000)) << server.Out();
  const std::string out = server.Out();
  // One line when the new connection replaced the idle session, two when the
  // listener had found the old connection lost first.
  EXPECT_GE(e2e::Count_Lines(out, "connection from 127.0.0.3"), 1) << out;
  EXPECT_LE(e2e::Count_Lines(out, "connection from 127.0.0.3"), 2) << out;
  EXPECT_NE(out.find("ending 29 "), std::string::npos) << "the idle session ended as an abort ends it\n" << out;

  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(30000), 0) << server.Out() << server.Err();
}

TEST(LinkE2E, ServerOutOfOpenFilesKeepsItsStationsAndServesTheNextOnceFilesAreFree) {
  // Once the first failed accept ended the listener, cut every station and
  // left the server running with nobody listening.
  if (TARNEL_E2E_SANITIZED)
    GTEST_SKIP() << "sanitizer runtimes need descriptors of their own (the type check opens a pipe), "
                    "so a server out of descriptors cannot run under them";
  ProgramDir s("nofiles", 255, {"1=127.0.0.61", "2=127.0.0.62"});
  Server server(s.dir);
  server.Set_Open_Files(64);
  ASSERT_TRUE(server.Start()) << server.Err();

  // A station busy with requests before, during and after the shortage.
  Ht a(s.dir, "a");
  ASSERT_TRUE(a.Start(s.port, "127.0.0.61", {"--do", "time", "--do", "sleep 8000", "--do", "time"}));
  ASSERT_TRUE(a.Wait_For("ht time", 20000)) << a.Out();

  // Plain connections that never answer the greeting use up the server's
  // descriptors; the rest wait in the listening queue.
  std::vector<int> hogs;
  for (int i = 0; i < 80; ++i) {
    const int c = platform::Tcp_Socket_Open();
    ASSERT_GT(c, 0);
    hogs.push_back(c);
    ASSERT_EQ(platform::Socket_Connect(c, "127.0.0.1", s.port, "127.0.0.70", 5000), platform::SOCKET_OK);
  }
  EXPECT_TRUE(server.Wait_For("cannot be accepted", 20000)) << server.Out();

  // A's second request comes during the shortage and is answered.
  EXPECT_EQ(a.Wait(40000), 0) << a.Out() << server.Out();
  EXPECT_EQ(e2e::Count_Lines(a.Out(), "ht time date="), 2) << a.Out();

  for (int c : hogs) platform::Socket_Close(c);
  Ht b(s.dir, "b");
  ASSERT_TRUE(b.Start(s.port, "127.0.0.62", {"--do", "time"}));
  EXPECT_EQ(b.Wait(40000), 0) << b.Out() << server.Out();

  const std::string out = server.Out();
  EXPECT_EQ(out.find("link ending 81"), std::string::npos) << out;
  EXPECT_GE(e2e::Count_Lines(out, "cannot be accepted"), 1);
  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(60000), 0) << server.Out() << server.Err();
}

TEST(LinkE2E, PortOrListeningAddressThatIsNoneStopsTheStartNamingIt) {
  for (const char* port : {"abc", "99999", "0"}) {
    SCOPED_TRACE(port);
    ScratchDir dir("badport");
    std::string ini = e2e::Device_Ini(dir.Path(), 5000, 8, {});
    ini.replace(ini.find("PORTNO=5000"), 11, std::string("PORTNO=") + port);
    dir.Write("device.ini", ini);
    dir.Write("panelset.ini", e2e::Panelset_Ini());
    Server server(dir);
    ASSERT_TRUE(server.Start(false));
    EXPECT_EQ(server.Wait(20000), 1);
    EXPECT_NE(server.Err().find(std::string("PORTNO=") + port + " "), std::string::npos) << server.Err();
    EXPECT_EQ(server.Err().find("in use"), std::string::npos) << server.Err();
  }
  {
    ProgramDir s("badlisten", 8, {});
    Server server(s.dir);
    server.Set_Listen("127.0.0.300");
    ASSERT_TRUE(server.Start(false));
    EXPECT_EQ(server.Wait(20000), 1);
    EXPECT_NE(server.Err().find("TARNEL_LISTEN=127.0.0.300 "), std::string::npos) << server.Err();
    EXPECT_EQ(server.Err().find("in use"), std::string::npos) << server.Err();
  }
}

}  // namespace
