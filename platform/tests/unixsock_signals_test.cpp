// Local sockets between programs, and stop signals as window messages.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/signals.h"
#include "platform/unixsock.h"
#include "platform/window.h"

namespace {

std::string Unique_Name(const char* what) {
  return std::string("tarnel-test-") + what + "-" + std::to_string(platform::Monotonic_Ms()) + "-" +
         std::to_string(reinterpret_cast<std::uintptr_t>(&what) & 0xFFFF);
}

TEST(UnixSocket, RequestAndReplyAcrossOneConnection) {
  const std::string name = Unique_Name("rr");
  std::string why;
  int l = platform::Unix_Listen(name, &why);
  ASSERT_GT(l, 0) << why;
  // A second owner of the same name is refused: the single-instance check relies on it.
  EXPECT_EQ(platform::Unix_Listen(name, nullptr), platform::UNIX_IN_USE);

  std::thread peer([&] {
    int c = platform::Unix_Connect(name, 2000);
    ASSERT_GT(c, 0);
    EXPECT_EQ(platform::Unix_Send_All(c, "ping", 4, 2000), 4);
    char reply[2];
    EXPECT_EQ(platform::Unix_Recv_All(c, reply, 2, 2000), 2);
    EXPECT_EQ(std::string(reply, 2), "ok");
    platform::Unix_Close(c);
  });
  int s = platform::Unix_Accept(l, 2000);
  ASSERT_GT(s, 0);
  char got[4];
  EXPECT_EQ(platform::Unix_Recv_All(s, got, 4, 2000), 4);
  EXPECT_EQ(std::string(got, 4), "ping");
  EXPECT_EQ(platform::Unix_Send_All(s, "ok", 2, 2000), 2);
  peer.join();
  // The peer has gone: a further read ends at once.
  EXPECT_EQ(platform::Unix_Recv_All(s, got, 1, 2000), platform::UNIX_CLOSED);
  platform::Unix_Close(s);
  platform::Unix_Close(l);
  // Nothing is left behind: the name can be owned again.
  l = platform::Unix_Listen(name, nullptr);
  EXPECT_GT(l, 0);
  platform::Unix_Close(l);
}

TEST(UnixSocket, WaitsAreBoundedAndWakeable) {
  const std::string name = Unique_Name("wait");
  EXPECT_EQ(platform::Unix_Connect(name, 200), platform::UNIX_NO_PEER);
  int l = platform::Unix_Listen(name, nullptr);
  ASSERT_GT(l, 0);
  std::uint64_t start = platform::Monotonic_Ms();
  EXPECT_EQ(platform::Unix_Accept(l, 100), platform::UNIX_TIMED_OUT);
  EXPECT_LT(platform::Monotonic_Ms() - start, 1000u);

  // A silent peer: the read gives up at its time limit.
  int c = platform::Unix_Connect(name, 1000);
  ASSERT_GT(c, 0);
  int s = platform::Unix_Accept(l, 1000);
  ASSERT_GT(s, 0);
  char b[8];
  start = platform::Monotonic_Ms();
  EXPECT_EQ(platform::Unix_Recv_All(s, b, sizeof b, 100), platform::UNIX_TIMED_OUT);
  EXPECT_LT(platform::Monotonic_Ms() - start, 1000u);
  platform::Unix_Close(c);
  platform::Unix_Close(s);

  // An accept without a limit returns once the listener is woken.
  std::atomic<int> result{0};
  std::thread waiter([&] { result = platform::Unix_Accept(l, -1); });
  platform::Sleep_Ms(50);
  platform::Unix_Wake(l);
  waiter.join();
  EXPECT_EQ(result.load(), platform::UNIX_CLOSED);
  platform::Unix_Close(l);
  EXPECT_EQ(platform::Unix_Listen(std::string(200, 'x'), nullptr), platform::UNIX_FAILED);
}

class SignalTarget : public platform::MessageTarget {
 public:
  void Handle(const platform::Message& m) override {
    if (m.msg == platform::WM_USER + 50) last = static_cast<int>(m.wParam);
  }
  int last = 0;
};

TEST(StopSignals, ArriveAsMessagesToTheWaitingThread) {
  SignalTarget target;
  ASSERT_TRUE(platform::Start_Stop_Signal_Watch(&target, platform::WM_USER + 50));
  EXPECT_FALSE(platform::Start_Stop_Signal_Watch(&target, platform::WM_USER + 50));
  for (int signo : {SIGTERM, SIGINT}) {
    target.last = 0;
    std::raise(signo);
    // The waiting thread wakes for it; no polling needed.
    ASSERT_TRUE(platform::Wait_Message(5000));
    platform::Pump_Messages();
    EXPECT_EQ(target.last, signo);
  }
  platform::End_Stop_Signal_Watch();
  // Afterwards nothing is installed any more; a new watch can start.
  ASSERT_TRUE(platform::Start_Stop_Signal_Watch(&target, platform::WM_USER + 50));
  platform::End_Stop_Signal_Watch();
}

}  // namespace
