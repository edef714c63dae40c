#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "platform/clock.h"

namespace {

using platform::Run_Child;
using platform::Start_Child;

int Exit_Code_Of(const char* line) {
  int code = 12345;
  EXPECT_TRUE(Run_Child(line, &code)) << line;
  return code;
}

// Process state letter from /proc (R, S, Z, ...), or 0 when it is gone.
char State_Of(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return 0;
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : '?';
}

bool Gone_Within(int pid, std::uint32_t ms) {
  const std::uint64_t deadline = platform::Monotonic_Ms() + ms;
  while (State_Of(pid) != 0) {
    if (platform::Monotonic_Ms() > deadline) return false;
    platform::Sleep_Ms(5);
  }
  return true;
}

TEST(Process, ExitStatusesMapToExitCodes) {
  EXPECT_EQ(Exit_Code_Of("exit 0"), 0);
  EXPECT_EQ(Exit_Code_Of("exit 3"), 3);
  EXPECT_EQ(Exit_Code_Of("exit 245"), 245);
  EXPECT_EQ(Exit_Code_Of("exit 246"), -10);
  EXPECT_EQ(Exit_Code_Of("exit 250"), -6);
  EXPECT_EQ(Exit_Code_Of("exit 255"), -1);
  EXPECT_EQ(Exit_Code_Of("kill -9 $$"), platform::kChildKilledBase - SIGKILL);
  EXPECT_EQ(Exit_Code_Of("no-such-program-tarnel-test 2>/dev/null"), 127);
  EXPECT_TRUE(Run_Child("exit 1", nullptr));
}

TEST(Process, UnstartableChildIsReportedDistinctly) {
  int code = 12345;
  EXPECT_FALSE(Run_Child(nullptr, &code));
  EXPECT_FALSE(Run_Child("", &code));
  EXPECT_FALSE(Run_Child("  \t", &code));
  EXPECT_FALSE(Start_Child("", nullptr));
  platform::Set_Child_Shell_For_Testing("/nonexistent/tarnel-shell");
  EXPECT_FALSE(Run_Child("exit 0", &code));
  EXPECT_FALSE(Start_Child("exit 0", nullptr));
  platform::Set_Child_Shell_For_Testing("");
  EXPECT_EQ(code, 12345);
  EXPECT_EQ(Exit_Code_Of("exit 0"), 0);
}

TEST(Process, ChildNotWaitedForRunsOnAndLeavesNoZombie) {
  int pid = -1;
  const std::uint64_t start = platform::Monotonic_Ms();
  ASSERT_TRUE(Start_Child("exec sleep 10", &pid));
  EXPECT_LT(platform::Monotonic_Ms() - start, 1000u);
  ASSERT_GT(pid, 0);
  const char state = State_Of(pid);
  EXPECT_NE(state, 0);
  EXPECT_NE(state, 'Z');
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_TRUE(Gone_Within(pid, 1500));

  ASSERT_TRUE(Start_Child("exit 7", &pid));
  EXPECT_TRUE(Gone_Within(pid, 1500));
}

TEST(Process, ChildInheritsOnlyTheStandardDescriptors) {
  const int fd = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(fd, 3);
  const std::string line = "test -e /proc/self/fd/" + std::to_string(fd);
  EXPECT_EQ(Exit_Code_Of(line.c_str()), 1);
  EXPECT_EQ(Exit_Code_Of("test -e /proc/self/fd/1"), 0);
  close(fd);
}

}  // namespace
