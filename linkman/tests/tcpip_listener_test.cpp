// The TCP/IP listener with the real TCP/IP driver on loopback: how soon a
// connecting HT is greeted. The engine's session is scripted (it ends at
// once); what is measured is the link manager and the driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/rox32.h"
#include "linkman/testing.h"
#include "linkman/tests/fake_net.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/socket.h"
#include "testsupport/free_port.h"
#include "testsupport/recording_target.h"

namespace {

// Sanitizer builds run several times slower; time limits grow with them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSlowFactor = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr int kSlowFactor = 4;
#else
constexpr int kSlowFactor = 1;
#endif
#else
constexpr int kSlowFactor = 1;
#endif

class TcpipListener : public ::testing::Test {
 protected:
  void SetUp() override {
    fakenet::Uninstall();  // the real TCP/IP driver
    fakenet::Reset_Scripts();
    fakenet::Use_Scripted_Runner();
    setenv("TARNEL_LISTEN", "127.0.0.1", 1);
    HandleForTetherToMainWindow = &window_;
    HandleForROXToMainWindow = &window_;
    for (int& v : TCPIP_Connections) platform::Store(v, 0);
    for (int n = 1; n <= MAX_HT; ++n) std::memset(&Info_Of(n), 0, sizeof(InfoHT));
    platform::Set_Message_Box_Handler([this](const std::string& text, const std::string&, unsigned) {
      std::lock_guard<std::mutex> lock(log_mu_);
      log_.push_back(text);
      return platform::IDOK;
    });
    port_ = testsupport::Free_Loopback_Port();
    ASSERT_GT(port_, 0);
    dir_ = std::make_unique<fakenet::ProgramDir>(
        fakenet::Device_Ini("PORTNO=" + std::to_string(port_) + "\r\nTCP_TIMEOUT=5\r\nSELECT_TIMEOUT=5\r\nMAX_IO=255\r\n",
                            "5=127.0.0.5\r\n6=127.0.0.6\r\n"));
  }

  std::vector<std::string> Logged(const std::string& needle) {
    std::lock_guard<std::mutex> lock(log_mu_);
    std::vector<std::string> out;
    for (const std::string& line : log_)
      if (line.find(needle) != std::string::npos) out.push_back(line);
    return out;
  }

  void TearDown() override {
    if (Session_Running(LINK_TCPIP)) Stop_A_Session(LINK_TCPIP, 0);
    EXPECT_EQ(End_Remaining_Sessions(10000), 0);
    HandleForTetherToMainWindow = nullptr;
    HandleForROXToMainWindow = nullptr;
    fakenet::Restore_Runner();
    platform::Set_Message_Box_Handler({});
    unsetenv("TARNEL_LISTEN");
    dir_.reset();
  }

  // Connects from `from`, waits for the greeting frame and leaves. Returns
  // the milliseconds from the start of the connect to the greeting, or -1.
  int Greeted_After(const std::string& from, int limit_ms) {
    const int s = platform::Tcp_Socket_Open();
    if (s <= 0) return -1;
    const std::uint64_t start = platform::Monotonic_Ms();
    int result = -1;
    if (platform::Socket_Connect(s, "127.0.0.1", port_, from.c_str(), limit_ms) == platform::SOCKET_OK) {
      unsigned char frame[8];
      std::size_t got = 0;
      const std::uint64_t end = start + static_cast<std::uint64_t>(limit_ms);
      while (got < sizeof frame) {
        const long r = platform::Socket_Recv(s, frame + got, sizeof frame - got);
        if (r > 0) {
          got += static_cast<std::size_t>(r);
          continue;
        }
        const std::uint64_t now = platform::Monotonic_Ms();
        if (r != platform::SOCKET_WOULD_BLOCK || now >= end) break;
        platform::Socket_Wait(s, platform::SocketWait::Readable, static_cast<int>(end - now));
      }
      if (got == sizeof frame && frame[0] == 0x0B) result = static_cast<int>(platform::Monotonic_Ms() - start);
    }
    platform::Socket_Close(s);
    return result;
  }

  // The HT's side of the opening: connects from `from`, takes the greeting,
  // answers '0', takes '1', answers '2'. The socket, or -1.
  int Connect_And_Open(const std::string& from) {
    const int s = platform::Tcp_Socket_Open();
    if (s <= 0) return -1;
    auto read8 = [s](unsigned char code) {
      unsigned char frame[8];
      std::size_t got = 0;
      const std::uint64_t end = platform::Monotonic_Ms() + 5000u * kSlowFactor;
      while (got < sizeof frame && platform::Monotonic_Ms() < end) {
        const long r = platform::Socket_Recv(s, frame + got, sizeof frame - got);
        if (r > 0)
          got += static_cast<std::size_t>(r);
        else if (r == platform::SOCKET_WOULD_BLOCK)
          platform::Socket_Wait(s, platform::SocketWait::Readable, 50);
        else
          break;
      }
      return got == sizeof frame && frame[0] == code;
    };
    auto send8 = [s](unsigned char code) {
      const unsigned char frame[8] = {code};
      return platform::Socket_Send(s, frame, sizeof frame) == 8;
    };
    if (platform::Socket_Connect(s, "127.0.0.1", port_, from.c_str(), 5000) != platform::SOCKET_OK ||
        !read8(0x0B) || !send8('0') || !read8('1') || !send8('2')) {
      platform::Socket_Close(s);
      return -1;
    }
    return s;
  }

  testsupport::RecordingTarget window_;
  std::unique_ptr<fakenet::ProgramDir> dir_;
  std::uint16_t port_ = 0;
  std::mutex log_mu_;
  std::vector<std::string> log_;
};

TEST_F(TcpipListener, TerminalsConnectingOneAfterAnotherAreEachGreetedAtOnce) {
  // The listener once slept a second between looks at the listening socket:
  // 255 HTs connecting one after another took minutes to be greeted.
  ASSERT_EQ(Start_A_Session(LINK_TCPIP, 0), 1);
  EXPECT_EQ(Listening_Port(LINK_TCPIP), port_) << "the port actually bound";
  std::vector<int> latency;
  const std::uint64_t start = platform::Monotonic_Ms();
  for (int i = 1; i <= 255; ++i) {
    const int ms = Greeted_After("127.0.0." + std::to_string(i), 5000 * kSlowFactor);
    ASSERT_GE(ms, 0) << "127.0.0." << i << " was not greeted";
    latency.push_back(ms);
    platform::Pump_Messages();
  }
  const std::uint64_t total = platform::Monotonic_Ms() - start;
  std::sort(latency.begin(), latency.end());
  std::printf("255 sequential connections greeted in %llu ms; greeting latency median %d ms, "
              "95th percentile %d ms, max %d ms\n",
              static_cast<unsigned long long>(total), latency[latency.size() / 2],
              latency[latency.size() * 95 / 100], latency.back());
  EXPECT_LT(total, 5000u * kSlowFactor);
  EXPECT_EQ(Stop_A_Session(LINK_TCPIP, 0), 1);
  EXPECT_EQ(Listening_Port(LINK_TCPIP), 0);
}

TEST_F(TcpipListener, IdleHtWhoseConnectionIsGoneEndsItsSessionByItself) {
  // An engine waiting for a command never reads its connection: a station
  // switched off while idle held its HT number (and its MAX_IO place) until
  // the next command or the stop.
  fakenet::Script_For(5).behaviour.store(fakenet::Behaviour::Idle);
  fakenet::Script_For(6).behaviour.store(fakenet::Behaviour::Idle);
  ASSERT_EQ(Start_A_Session(LINK_TCPIP, 0), 1);
  const int gone = Connect_And_Open("127.0.0.5");
  const int stays = Connect_And_Open("127.0.0.6");
  ASSERT_GT(gone, 0);
  ASSERT_GT(stays, 0);
  ASSERT_TRUE(fakenet::Eventually([] {
    return platform::Load(Info_Of(5).WaitingGUICommand) == 1 && platform::Load(Info_Of(6).WaitingGUICommand) == 1;
  }));

  platform::Socket_Close(gone);
  EXPECT_TRUE(fakenet::Eventually([] { return platform::Load(TCPIP_Connections[5]) == 0; }, 5000 * kSlowFactor))
      << "the session of the HT that left has ended";
  EXPECT_EQ(fakenet::Script_For(5).calls.load(), 1);
  ASSERT_EQ(Logged("127.0.0.5").size(), 1u);
  EXPECT_NE(Logged("127.0.0.5")[0].find("lost"), std::string::npos) << Logged("127.0.0.5")[0];

  // A quiet HT that is still there keeps its session.
  platform::Sleep_Ms(1500);
  EXPECT_EQ(platform::Load(TCPIP_Connections[6]), 1);
  EXPECT_EQ(platform::Load(Info_Of(6).WaitingGUICommand), 1);
  EXPECT_TRUE(Logged("127.0.0.6").empty());
  fakenet::Script_For(6).release.store(true);
  platform::Socket_Close(stays);  // its close then ends at once
  EXPECT_TRUE(fakenet::Eventually([] { return platform::Load(TCPIP_Connections[6]) == 0; }, 10000));
}

}  // namespace
