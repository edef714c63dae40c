// What a service manager does to a running server: SIGHUP to read the
// configuration again, and what happens when the new one cannot serve.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
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

// The service manager's end of NOTIFY_SOCKET: a datagram socket the test
// owns.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
  }
  bool Ok() const { return ok_; }
  // Collects datagrams until one holds needle (true) or the time is up.
  bool Wait_For(const std::string& needle, int timeout_ms) {
    const int step_ms = 200;
    for (int waited = 0; waited < e2e::Scaled(timeout_ms); waited += step_ms) {
      timeval tv{0, step_ms * 1000};
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      char buf[1024];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) continue;
      const std::string got(buf, static_cast<std::size_t>(n));
      seen_ += got + "|";
      if (got.find(needle) != std::string::npos) return true;
    }
    return false;
  }
  const std::string& Seen() const { return seen_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool ok_ = false;
  std::string seen_;
};

TEST(ServiceE2E, TellsTheServiceManagerReadyReloadingStatusAndStopping) {
  ScratchDir dir("notify");
  const std::uint16_t port = e2e::Free_Port();
  dir.Write("device.ini", e2e::Device_Ini(dir.Path(), port, 8, {"3=127.0.0.3"}));
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  NotifySocket manager(dir.File("notify"));
  ASSERT_TRUE(manager.Ok());
  Server server(dir);
  server.Add_Environment("NOTIFY_SOCKET=" + dir.File("notify"));
  ASSERT_TRUE(server.Start()) << server.Err();
  ASSERT_TRUE(manager.Wait_For("READY=1", 10000)) << manager.Seen();
  EXPECT_NE(manager.Seen().find("STATUS=0 station(s) connected, 0 busy"), std::string::npos) << manager.Seen();

  // A station that connects and waits for a command shows in STATUS=.
  Ht ht(dir, "ht3");
  ASSERT_TRUE(ht.Start(port, "127.0.0.3", {"--do", "session e2e", "--do", "sleep 3000"}));
  EXPECT_TRUE(manager.Wait_For("STATUS=1 station(s) connected", 20000))
      << manager.Seen() << "\n" << server.Out() << ht.Out();
  ht.Wait(30000);

  ASSERT_TRUE(server.Signal(SIGHUP));
  EXPECT_TRUE(manager.Wait_For("RELOADING=1", 20000)) << manager.Seen();
  EXPECT_NE(manager.Seen().find("MONOTONIC_USEC="), std::string::npos) << manager.Seen();
  EXPECT_TRUE(manager.Wait_For("READY=1", 20000)) << manager.Seen();

  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_TRUE(manager.Wait_For("STOPPING=1", 20000)) << manager.Seen();
  EXPECT_EQ(server.Wait(30000), 0) << server.Out() << server.Err();
}

}  // namespace
