// A script that runs itself never talks to the HT again; stopping the
// server must still end that HT's session and the server.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "platform/clock.h"
#include "tests/e2e/e2e.h"

namespace {

using e2e::Ht;
using e2e::ScratchDir;
using e2e::Server;

TEST(ScriptStopE2E, SigtermEndsAScriptThatRunsItself) {
  ScratchDir dir("selfscript");
  const std::uint16_t port = e2e::Free_Port();
  dir.Write("device.ini", e2e::Device_Ini(dir.Path(), port, 8, {"3=127.0.0.3"}));
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  // The work folder is the program directory.
  dir.Write("loop.scr", "/E loop.scr\n");
  Server server(dir);
  ASSERT_TRUE(server.Start()) << server.Err();

  Ht ht(dir, "ht3");
  ASSERT_TRUE(ht.Start(port, "127.0.0.3", {}));
  ASSERT_TRUE(ht.Wait_For("ht idle", 20000)) << ht.Out();
  // The HT sees the text, then the script runs itself without a word more.
  std::string reply;
  ASSERT_EQ(e2e::Tarnelctl(dir, {"0", "2", "/1/P started/E loop.scr"}, &reply), 0) << reply;
  ASSERT_TRUE(ht.Wait_For("pc display \"started\"", 20000)) << ht.Out();
  platform::Sleep_Ms(500);

  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(10000), 0) << server.Out() << server.Err();
  EXPECT_NE(server.Out().find("HT 3 session 0 ending 29 "), std::string::npos) << server.Out();
  ht.Wait(30000);
  EXPECT_NE(ht.Out().find("code=29"), std::string::npos) << ht.Out();
}

}  // namespace
