// SIGHUP reaches the program as a message like the stop signals, and a write
// to a closed pipe fails instead of ending the program while the watch runs.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <unistd.h>

#include "platform/signals.h"
#include "platform/window.h"

namespace {

class Recorder : public platform::MessageTarget {
 public:
  void Handle(const platform::Message& m) override {
    if (m.msg == platform::WM_USER + 51) last = static_cast<int>(m.wParam);
  }
  int last = 0;
};

void (*Current_Handler(int signo))(int) {
  struct sigaction sa {};
  sigaction(signo, nullptr, &sa);
  return sa.sa_handler;
}

TEST(ServiceSignals, HangUpArrivesAndBrokenPipesFailQuietly) {
  Recorder target;
  ASSERT_TRUE(platform::Start_Stop_Signal_Watch(&target, platform::WM_USER + 51));
  std::raise(SIGHUP);
  ASSERT_TRUE(platform::Wait_Message(5000));
  platform::Pump_Messages();
  EXPECT_EQ(target.last, SIGHUP);

  // Writing into a pipe whose reader is gone gives EPIPE; the test process lives on.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  const char b = 'x';
  errno = 0;
  EXPECT_EQ(write(fds[1], &b, 1), -1);
  EXPECT_EQ(errno, EPIPE);
  close(fds[1]);

  platform::End_Stop_Signal_Watch();
  EXPECT_EQ(Current_Handler(SIGHUP), SIG_DFL);
  EXPECT_EQ(Current_Handler(SIGPIPE), SIG_DFL);
}

}  // namespace
