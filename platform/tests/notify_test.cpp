#include "platform/notify.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A datagram socket bound to a file in a scratch folder, standing for the
// service manager; NOTIFY_SOCKET names it while the test runs.
class NotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarnel-notify.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/notify";
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd_, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path_.c_str());
    ASSERT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setenv("NOTIFY_SOCKET", path_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("NOTIFY_SOCKET");
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
  }
  std::string Receive() {
    char buf[512];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }
  std::string dir_;
  std::string path_;
  int fd_ = -1;
};

TEST_F(NotifyTest, SendsTheStateAsOneDatagram) {
  ASSERT_TRUE(platform::Notify_Service_Manager("READY=1\nSTATUS=2 stations connected"));
  EXPECT_EQ(Receive(), "READY=1\nSTATUS=2 stations connected");
  ASSERT_TRUE(platform::Notify_Service_Manager("STOPPING=1"));
  EXPECT_EQ(Receive(), "STOPPING=1");
}

TEST_F(NotifyTest, NothingWithoutNotifySocket) {
  ::unsetenv("NOTIFY_SOCKET");
  std::string why;
  EXPECT_FALSE(platform::Notify_Service_Manager("READY=1", &why));
  EXPECT_NE(why.find("NOTIFY_SOCKET"), std::string::npos);
}

TEST_F(NotifyTest, ANameThatIsNoSocketFails) {
  ::setenv("NOTIFY_SOCKET", "relative/name", 1);
  EXPECT_FALSE(platform::Notify_Service_Manager("READY=1"));
  ::setenv("NOTIFY_SOCKET", (dir_ + "/nobody").c_str(), 1);
  std::string why;
  EXPECT_FALSE(platform::Notify_Service_Manager("READY=1", &why));
  EXPECT_FALSE(why.empty());
}

TEST(NotifyFields, MonotonicUsecIsANumber) {
  const std::string f = platform::Monotonic_Usec_Field();
  ASSERT_EQ(f.rfind("MONOTONIC_USEC=", 0), 0u);
  EXPECT_GT(std::strtoull(f.c_str() + 15, nullptr, 10), 0ULL);
}

}  // namespace

TEST(JournalStream, MatchesOnlyTheExactDeviceAndInode) {
  EXPECT_TRUE(platform::Journal_Stream_Matches("8:12345", 8, 12345));
  EXPECT_FALSE(platform::Journal_Stream_Matches("8:12345", 8, 12346));
  EXPECT_FALSE(platform::Journal_Stream_Matches("9:12345", 8, 12345));
  for (const char* bad : {"", "8", "8:", ":12345", "8:12345x", "x:1", "8;12345"})
    EXPECT_FALSE(platform::Journal_Stream_Matches(bad, 8, 12345)) << bad;
  EXPECT_FALSE(platform::Journal_Stream_Matches(nullptr, 8, 12345));
}
