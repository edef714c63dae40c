// tarnel --headless against htsim and tarnelctl, each a process of its own,
// on loopback addresses.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "platform/clock.h"
#include "platform/socket.h"
#include "tests/e2e/e2e.h"

namespace {

using e2e::Ht;
using e2e::ScratchDir;
using e2e::Server;

// HT pauses are not stretched for slow builds: they only have to outlast a
// few quick connections, and they must stay below TCP_TIMEOUT (20 s).
std::string Sleep_Step(int ms) { return "sleep " + std::to_string(ms); }

struct ProgramDir {
  explicit ProgramDir(const char* name, int max_io, const std::vector<std::string>& use_ip) : dir(name) {
    port = e2e::Free_Port();
    dir.Write("device.ini", e2e::Device_Ini(dir.Path(), port, max_io, use_ip));
    dir.Write("panelset.ini", e2e::Panelset_Ini());
  }
  ScratchDir dir;
  std::uint16_t port;
};

TEST(ServerE2E, GreetingHandshakeAndRequestsOfAListedStation) {
  ProgramDir s("listed", 8, {"3=127.0.0.3"});
  Server server(s.dir);
  ASSERT_TRUE(server.Start()) << server.Err();
  Ht ht(s.dir, "ht3");
  ASSERT_TRUE(ht.Start(s.port, "127.0.0.3",
                       {"--do", "session e2e", "--do", "time", "--do", "info " + s.dir.Path() + "/*.ini"}));
  ASSERT_EQ(ht.Wait(30000), 0) << ht.Out();
  const std::string out = ht.Out();
  EXPECT_NE(out.find("link greeting"), std::string::npos) << out;
  EXPECT_NE(out.find("link handshake ok"), std::string::npos) << out;
  EXPECT_NE(out.find("ht session number="), std::string::npos) << out;
  EXPECT_NE(out.find("ht time date="), std::string::npos) << out;
  EXPECT_NE(out.find("matches=2"), std::string::npos) << out;  // device.ini, panelset.ini
  // The PC knew it as station 3 by its address and logged its ending.
  EXPECT_TRUE(server.Wait_For("HT 3 session 0 ending 72 ", 10000)) << server.Out();

  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(30000), 0) << server.Out() << server.Err();
  EXPECT_NE(server.Out().find(" stopped"), std::string::npos);
}

TEST(ServerE2E, UnlistedPeersGetTheLowestFreeNumbersAndSigtermEndsAnIdleOneCleanly) {
  ProgramDir s("unlisted", 8, {"1=127.0.0.41", "2=127.0.0.42", "3=127.0.0.3"});
  Server server(s.dir);
  ASSERT_TRUE(server.Start()) << server.Err();
  // An idle HT from an unlisted address takes 4, the lowest unlisted number...
  Ht idle(s.dir, "idle");
  ASSERT_TRUE(idle.Start(s.port, "127.0.0.9", {}));
  ASSERT_TRUE(idle.Wait_For("ht idle", 20000)) << idle.Out();
  std::string reply;
  bool waiting = false;
  for (int i = 0; i < 50 && !waiting; ++i) {
    ASSERT_EQ(e2e::Tarnelctl(s.dir, {"3", "3"}, &reply), 0) << reply;
    waiting = reply == "1\n";
    if (!waiting) platform::Sleep_Ms(100);
  }
  EXPECT_TRUE(waiting) << "HT 4 is not waiting for a command";
  // ...so the next unlisted one gets 5.
  Ht next(s.dir, "next");
  ASSERT_TRUE(next.Start(s.port, "127.0.0.10", {"--do", "time"}));
  EXPECT_EQ(next.Wait(30000), 0) << next.Out();
  EXPECT_TRUE(server.Wait_For("HT 5 session 0 ending 72 ", 10000)) << server.Out();

  // SIGTERM with the idle HT still connected: an orderly end of both.
  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(30000), 0) << server.Out() << server.Err();
  EXPECT_GE(idle.Wait(30000), 0) << idle.Out();
  EXPECT_NE(server.Out().find("SIGTERM: stopping"), std::string::npos);
  EXPECT_NE(server.Out().find("HT 4 session 0 ending 29 "), std::string::npos) << server.Out();
}

TEST(ServerE2E, MaxIoRefusesTheThirdBusyConnectionAndStopEndsABusyHt) {
  ProgramDir s("maxio", 2, {});
  Server server(s.dir);
  ASSERT_TRUE(server.Start()) << server.Err();
  // Two HTs busy with requests; the second goes idle a little later.
  Ht a(s.dir, "a");
  Ht b(s.dir, "b");
  ASSERT_TRUE(a.Start(s.port, "127.0.0.21", {"--do", "time", "--do", Sleep_Step(12000), "--do", "time"}));
  ASSERT_TRUE(b.Start(s.port, "127.0.0.22", {"--do", "time", "--do", Sleep_Step(4000), "--do", "idle"}));
  ASSERT_TRUE(a.Wait_For("ht time", 20000)) << a.Out();
  ASSERT_TRUE(b.Wait_For("ht time", 20000)) << b.Out();

  Ht refused(s.dir, "refused");
  ASSERT_TRUE(refused.Start(s.port, "127.0.0.23", {"--do", "time"}));
  EXPECT_EQ(refused.Wait(30000), 6) << refused.Out();
  EXPECT_NE(refused.Out().find("link refused \"No More Connection 2\""), std::string::npos) << refused.Out();

  // Once B has become idle, a new connection takes its slot.
  ASSERT_TRUE(b.Wait_For("ht idle", 30000)) << b.Out();
  Ht later(s.dir, "later");
  ASSERT_TRUE(later.Start(s.port, "127.0.0.24", {"--do", "time"}));
  EXPECT_EQ(later.Wait(30000), 0) << later.Out();

  // The stop comes while A is still busy: A's session ends with 29 and the
  // stop completes.
  ASSERT_EQ(a.Out().find("ht end"), std::string::npos) << "A ended before the stop";
  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(60000), 0) << server.Out() << server.Err();
  a.Wait(30000);
  b.Wait(30000);
  EXPECT_NE(server.Out().find("ending 29 "), std::string::npos) << server.Out();
  EXPECT_NE(a.Out().find("code=29"), std::string::npos) << a.Out();
}

TEST(ServerE2E, OperatorCommandHandedInWithTarnelctl) {
  ProgramDir s("ctl", 8, {"3=127.0.0.3"});
  Server server(s.dir);
  ASSERT_TRUE(server.Start()) << server.Err();
  std::string reply;
  ASSERT_EQ(e2e::Tarnelctl(s.dir, {"4", "0"}, &reply), 0) << reply;
  EXPECT_EQ(reply, "1\n");

  Ht ht(s.dir, "ht3");
  ASSERT_TRUE(ht.Start(s.port, "127.0.0.3", {}));
  ASSERT_TRUE(ht.Wait_For("ht idle", 20000)) << ht.Out();
  ASSERT_EQ(e2e::Tarnelctl(s.dir, {"0", "2", "/1/P hello-from-tarnelctl"}, &reply), 0) << reply;
  EXPECT_EQ(reply, "1\n");
  bool taken = false;
  for (int i = 0; i < 100 && !taken; ++i) {
    ASSERT_EQ(e2e::Tarnelctl(s.dir, {"1", "2"}, &reply), 0) << reply;
    taken = reply == "1\n";
    if (!taken) platform::Sleep_Ms(100);
  }
  EXPECT_TRUE(taken);
  EXPECT_TRUE(ht.Wait_For("pc display \"hello-from-tarnelctl\"", 20000)) << ht.Out();

  ASSERT_TRUE(server.Signal(SIGINT));
  EXPECT_EQ(server.Wait(30000), 0) << server.Out() << server.Err();
  ht.Wait(30000);
  // Nobody answers any more.
  EXPECT_EQ(e2e::Tarnelctl(s.dir, {"4", "0"}, &reply), 2) << reply;
}

TEST(ServerE2E, ServerThatCannotStartSaysWhyAndFails) {
  {
    ScratchDir dir("noini");
    dir.Write("panelset.ini", e2e::Panelset_Ini());
    Server server(dir);
    ASSERT_TRUE(server.Start(false));
    EXPECT_EQ(server.Wait(20000), 1);
    EXPECT_NE(server.Err().find("no device.ini"), std::string::npos) << server.Err();
  }
  {
    // Somebody else listens on the port already.
    ProgramDir s("inuse", 8, {});
    const int other = platform::Tcp_Socket_Open();
    ASSERT_EQ(platform::Socket_Bind(other, "127.0.0.1", s.port), platform::SOCKET_OK);
    ASSERT_EQ(platform::Socket_Listen(other, 1), platform::SOCKET_OK);
    Server server(s.dir);
    ASSERT_TRUE(server.Start(false));
    EXPECT_EQ(server.Wait(20000), 1);
    EXPECT_NE(server.Err().find("Bind Error"), std::string::npos) << server.Err();
    EXPECT_NE(server.Out().find("link ending 96 Bind Error"), std::string::npos) << server.Out();
    platform::Socket_Close(other);
  }
  {
    ProgramDir s("badif", 8, {});
    std::string ini = e2e::Read_File(s.dir.File("device.ini"));
    s.dir.Write("device.ini", "IF=TOKENRING" + ini.substr(ini.find("\r\n")));
    Server server(s.dir);
    ASSERT_TRUE(server.Start(false));
    EXPECT_EQ(server.Wait(20000), 1);
    EXPECT_NE(server.Err().find("IF=TOKENRING"), std::string::npos) << server.Err();
  }
}

}  // namespace
