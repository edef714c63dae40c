// What a service manager does to a running server: SIGHUP to read the
// configuration again, and what happens when the new one cannot serve.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "tests/e2e/e2e.h"

namespace {

using e2e::Ht;
using e2e::ScratchDir;
using e2e::Server;

TEST(ServiceE2E, HangUpRestartsTheLinkOnTheNewPort) {
  ScratchDir dir("sighup");
  const std::uint16_t old_port = e2e::Free_Port();
  dir.Write("device.ini", e2e::Device_Ini(dir.Path(), old_port, 8, {"3=127.0.0.3"}));
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  Server server(dir);
  ASSERT_TRUE(server.Start()) << server.Err();

  std::uint16_t new_port = e2e::Free_Port();
  while (new_port == old_port) new_port = e2e::Free_Port();
  dir.Write("device.ini", e2e::Device_Ini(dir.Path(), new_port, 8, {"3=127.0.0.3"}));
  ASSERT_TRUE(server.Signal(SIGHUP));
  ASSERT_TRUE(server.Wait_For("serving TCP/IP port " + std::to_string(new_port), 20000)) << server.Out();
  const std::string out = server.Out();
  EXPECT_NE(out.find("SIGHUP"), std::string::npos) << out;
  EXPECT_NE(out.find("stopping the Link Manager"), std::string::npos) << out;
  EXPECT_NE(out.find("reading device.ini and panelset.ini"), std::string::npos) << out;

  Ht ht(dir, "ht3");
  ASSERT_TRUE(ht.Start(new_port, "127.0.0.3", {"--do", "session e2e", "--do", "time"}));
  ASSERT_EQ(ht.Wait(30000), 0) << ht.Out();
  EXPECT_NE(ht.Out().find("ht time date="), std::string::npos) << ht.Out();

  // Nobody listens on the old port any more.
  Ht late(dir, "late");
  ASSERT_TRUE(late.Start(old_port, "127.0.0.3", {"--do", "session e2e"}, 3));
  EXPECT_NE(late.Wait(30000), 0) << late.Out();

  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(30000), 0) << server.Out() << server.Err();
}

TEST(ServiceE2E, HangUpWithABadConfigurationStopsWithItsReason) {
  ScratchDir dir("sighup-bad");
  const std::uint16_t port = e2e::Free_Port();
  const std::string ini = e2e::Device_Ini(dir.Path(), port, 8, {});
  dir.Write("device.ini", ini);
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  Server server(dir);
  ASSERT_TRUE(server.Start()) << server.Err();

  dir.Write("device.ini", "IF=TOKENRING" + ini.substr(ini.find("\r\n")));
  ASSERT_TRUE(server.Signal(SIGHUP));
  EXPECT_EQ(server.Wait(30000), 1) << server.Out() << server.Err();
  EXPECT_NE(server.Err().find("IF=TOKENRING"), std::string::npos) << server.Err();
  EXPECT_NE(server.Out().find("cannot serve with the new configuration"), std::string::npos) << server.Out();
}

}  // namespace
