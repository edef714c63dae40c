// The headless server in this process: what it does when its link ends
// by itself, and how it takes the engines' status notifications.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "app/server/server.h"
#include "app/tests/config_fixture.h"
#include "testsupport/free_port.h"
#include "engine/rox32.h"
#include "platform/socket.h"
#include "platform/window.h"

namespace {

class ServerInProcess : public app_test::ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    setenv("TARNEL_LISTEN", "127.0.0.1", 1);
    port_ = testsupport::Free_Loopback_Port();
    Write_File("device.ini", "IF=ETHERNET\r\nErrorFile=" + dir_.string() + "/error.log\r\nWorkFile=" + dir_.string() +
                                 "\r\n[ETHERNET]\r\nTCP_TIMEOUT=20\r\nSELECT_TIMEOUT=20\r\nPORTNO=" +
                                 std::to_string(port_) + "\r\nMAX_IO=8\r\n[USE_IP]\r\n");
    Write_File("panelset.ini",
               "[CODE]\r\n-1=0\r\n[MODE]\r\nSERVER=ON\r\n1SHOT=OFF\r\nCOMMAND_TIMEOUT=0\r\nDUPLICATE=ON\r\n");
  }
  void TearDown() override {
    unsetenv("TARNEL_LISTEN");
    ConfigTest::TearDown();
  }
  int port_ = 0;
};

TEST_F(ServerInProcess, ListenerEndingByItselfStopsTheServerWithStatusOne) {
  for (const int code : {80, 81}) {
    std::ostringstream out, err;
    HeadlessServer server(out, err);
    ServerConfig config;
    config.watch_signals = false;
    config.control_socket = (dir_ / "control.sock").string();
    config.end_wait_ms = 10000;
    ASSERT_TRUE(server.Start(config, nullptr)) << err.str() << out.str();
    // The link manager's report that its listener gave up.
    platform::Post_Message(&server, WM_HT_STATUS, 0, code);
    EXPECT_EQ(server.Run(), SERVER_CANNOT_START) << out.str();
    EXPECT_NE(out.str().find("the link ended by itself (" + std::to_string(code)), std::string::npos) << out.str();
  }
}

TEST_F(ServerInProcess, OtherLinkCodesKeepTheServerRunning) {
  std::ostringstream out, err;
  HeadlessServer server(out, err);
  ServerConfig config;
  config.watch_signals = false;
  config.control_socket = (dir_ / "control.sock").string();
  ASSERT_TRUE(server.Start(config, nullptr)) << err.str();
  platform::Post_Message(&server, WM_HT_STATUS, 0, 95);
  server.Request_Stop();
  EXPECT_EQ(server.Run(), SERVER_OK) << out.str();
  EXPECT_EQ(out.str().find("ended by itself"), std::string::npos) << out.str();
}

// An engine's synchronous notifications do not wait for the server's
// thread, yet each is logged with the record as it was when it was sent,
// not as the engine left it afterwards.
TEST_F(ServerInProcess, StatusNotificationsReturnAtOnceAndKeepTheirOwnRecord) {
  std::ostringstream out, err;
  HeadlessServer server(out, err);
  ServerConfig config;
  config.watch_signals = false;
  config.control_socket = (dir_ / "control.sock").string();
  ASSERT_TRUE(server.Start(config, nullptr)) << err.str();
  RS232_ROX engine;
  engine.HTNumber = 3;
  engine.PostStatus = 0;  // the synchronous notification of TCP/IP sessions
  engine.SessionInfo.Session = 7;
  std::atomic<bool> returned{false};
  std::thread session([&engine, &returned] {
    for (const char* file : {"FIRST.DAT", "SECOND.DAT"}) {
      engine.Update_Status(7, file, 1, 0, 0, 0);
      engine.Update_Status(7, file, 1, 100, 0, 0);
    }
    engine.Update_Status(7, nullptr, 0, 0, 0, 0);
    returned = true;
  });
  // The notifications return although the server's thread does not run.
  for (int i = 0; i < 500 && !returned.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(returned.load());
  server.Request_Stop();
  EXPECT_EQ(server.Run(), SERVER_OK);  // handles what waits, and any send still blocked
  session.join();
  const std::string log = out.str();
  const std::size_t first = log.find("HT 3 session 7 sending FIRST.DAT started");
  const std::size_t first_sent = log.find("sent FIRST.DAT:");
  const std::size_t second = log.find("HT 3 session 7 sending SECOND.DAT started");
  const std::size_t second_sent = log.find("sent SECOND.DAT:");
  ASSERT_NE(first, std::string::npos) << log;
  ASSERT_NE(first_sent, std::string::npos) << log;
  ASSERT_NE(second, std::string::npos) << log;
  ASSERT_NE(second_sent, std::string::npos) << log;
  EXPECT_LT(first, first_sent);
  EXPECT_LT(first_sent, second);
  EXPECT_LT(second, second_sent);
  EXPECT_EQ(log.find("failed at"), std::string::npos) << log;
}

}  // namespace
