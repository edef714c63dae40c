// Local sockets between programs, and stop signals as window messages.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/signals.h"
#include "platform/spawn.h"
#include "platform/unixsock.h"
#include "platform/window.h"

namespace {

constexpr unsigned kNobody = 65534;

// A private scratch folder for socket files, removed at the end.
class SocketDir {
 public:
  explicit SocketDir(const char* what) {
    std::random_device rd;
    for (;;) {
      path_ = (std::filesystem::temp_directory_path() / ("tarnel-us-" + std::string(what) + "-" + std::to_string(rd())))
                  .string();
      std::error_code ec;
      if (std::filesystem::create_directory(path_, ec)) break;
    }
  }
  ~SocketDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const char* name) const { return path_ + "/" + name; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

unsigned Mode_Of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode) & 07777u : 0u;
}

TEST(UnixSocket, RequestAndReplyAcrossOneConnectionWithThePeersIdentity) {
  SocketDir dir("rr");
  const std::string path = dir.File("s");
  std::string why;
  int l = platform::Unix_Listen(path, 0600, -1, &why);
  ASSERT_GT(l, 0) << why;
  EXPECT_EQ(Mode_Of(path), 0600u);
  // A second server of the same live path is refused: the single-instance
  // check relies on it. Its look at the live server is a connection that
  // ends at once.
  EXPECT_EQ(platform::Unix_Listen(path, 0600, -1, nullptr), platform::UNIX_IN_USE);
  int probe = platform::Unix_Accept(l, 1000);
  ASSERT_GT(probe, 0);
  char nothing;
  EXPECT_EQ(platform::Unix_Recv_All(probe, &nothing, 1, 1000), platform::UNIX_CLOSED);
  platform::Unix_Close(probe);

  std::thread peer([&] {
    int c = platform::Unix_Connect(path, 2000);
    ASSERT_GT(c, 0);
    EXPECT_EQ(platform::Unix_Send_All(c, "ping", 4, 2000), 4);
    char reply[2];
    EXPECT_EQ(platform::Unix_Recv_All(c, reply, 2, 2000), 2);
    EXPECT_EQ(std::string(reply, 2), "ok");
    platform::Unix_Close(c);
  });
  int s = platform::Unix_Accept(l, 2000);
  ASSERT_GT(s, 0);
  platform::UnixPeer who;
  ASSERT_TRUE(platform::Unix_Peer(s, &who));
  EXPECT_EQ(who.uid, static_cast<unsigned>(geteuid()));
  EXPECT_EQ(who.gid, static_cast<unsigned>(getegid()));
  EXPECT_EQ(who.pid, static_cast<int>(getpid()));
  char got[4];
  EXPECT_EQ(platform::Unix_Recv_All(s, got, 4, 2000), 4);
  EXPECT_EQ(std::string(got, 4), "ping");
  EXPECT_EQ(platform::Unix_Send_All(s, "ok", 2, 2000), 2);
  peer.join();
  // The peer has gone: a further read ends at once.
  EXPECT_EQ(platform::Unix_Recv_All(s, got, 1, 2000), platform::UNIX_CLOSED);
  platform::Unix_Close(s);
  platform::Unix_Remove(path);
  platform::Unix_Close(l);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(platform::Unix_Connect(path, 200), platform::UNIX_NO_PEER);
}

TEST(UnixSocket, StaleFileIsReplacedButNothingElseIs) {
  SocketDir dir("stale");
  const std::string path = dir.File("s");
  // A server that ended without removing its file (as after a crash).
  int l = platform::Unix_Listen(path, 0600, -1, nullptr);
  ASSERT_GT(l, 0);
  platform::Unix_Close(l);
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(platform::Unix_Connect(path, 200), platform::UNIX_NO_PEER);
  std::string why;
  l = platform::Unix_Listen(path, 0640, -1, &why);
  ASSERT_GT(l, 0) << why;
  EXPECT_EQ(Mode_Of(path), 0640u);
  int c = platform::Unix_Connect(path, 1000);
  EXPECT_GT(c, 0);
  platform::Unix_Close(c);
  platform::Unix_Remove(path);
  platform::Unix_Close(l);

  // A regular file in the way is neither removed nor used.
  const std::string file = dir.File("plain");
  { std::ofstream(file) << "keep"; }
  EXPECT_EQ(platform::Unix_Listen(file, 0600, -1, &why), platform::UNIX_FAILED);
  EXPECT_NE(why.find("not a socket"), std::string::npos) << why;
  platform::Unix_Remove(file);
  EXPECT_TRUE(std::filesystem::exists(file));

  EXPECT_EQ(platform::Unix_Listen(dir.Path() + "/" + std::string(200, 'x'), 0600, -1, &why), platform::UNIX_FAILED);
  EXPECT_NE(why.find("longer than"), std::string::npos) << why;
}

TEST(UnixSocket, ServersStartingTogetherOnAStaleFileLeaveExactlyOneServing) {
  SocketDir dir("race");
  const std::string path = dir.File("s");
  for (int round = 0; round < 20; ++round) {
    int l = platform::Unix_Listen(path, 0600, -1, nullptr);
    ASSERT_GT(l, 0);
    platform::Unix_Close(l);  // stale from here on
    constexpr int kServers = 4;
    std::atomic<int> results[kServers];
    std::vector<std::thread> servers;
    for (int i = 0; i < kServers; ++i)
      servers.emplace_back([&, i] { results[i] = platform::Unix_Listen(path, 0600, -1, nullptr); });
    for (auto& t : servers) t.join();
    int serving = 0;
    for (int i = 0; i < kServers; ++i) {
      const int r = results[i].load();
      if (r > 0) {
        ++serving;
        // The one that serves is the one a client reaches.
        int c = platform::Unix_Connect(path, 1000);
        ASSERT_GT(c, 0);
        int s = platform::Unix_Accept(r, 1000);
        EXPECT_GT(s, 0) << "round " << round;
        platform::Unix_Close(s);
        platform::Unix_Close(c);
        platform::Unix_Close(r);
      } else {
        EXPECT_EQ(r, platform::UNIX_IN_USE);
      }
    }
    ASSERT_EQ(serving, 1) << "round " << round;
  }
}

TEST(UnixSocket, WaitsAreBoundedAndWakeable) {
  SocketDir dir("wait");
  const std::string path = dir.File("s");
  EXPECT_EQ(platform::Unix_Connect(path, 200), platform::UNIX_NO_PEER);
  int l = platform::Unix_Listen(path, 0600, -1, nullptr);
  ASSERT_GT(l, 0);
  std::uint64_t start = platform::Monotonic_Ms();
  EXPECT_EQ(platform::Unix_Accept(l, 100), platform::UNIX_TIMED_OUT);
  EXPECT_LT(platform::Monotonic_Ms() - start, 1000u);

  // A silent peer: the read gives up at its time limit.
  int c = platform::Unix_Connect(path, 1000);
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
  platform::Unix_Remove(path);
  platform::Unix_Close(l);
}

TEST(UnixSocket, WritingToAPeerThatLeftFailsWithoutSigpipe) {
  SocketDir dir("pipe");
  const std::string path = dir.File("s");
  int l = platform::Unix_Listen(path, 0600, -1, nullptr);
  ASSERT_GT(l, 0);
  int c = platform::Unix_Connect(path, 1000);
  ASSERT_GT(c, 0);
  int s = platform::Unix_Accept(l, 1000);
  ASSERT_GT(s, 0);
  platform::Unix_Close(c);
  // With SIGPIPE's default action this process would end here.
  const std::string block(4096, 'x');
  long r = 0;
  for (int i = 0; i < 8 && r >= 0; ++i) r = platform::Unix_Send_All(s, block.data(), block.size(), 500);
  EXPECT_EQ(r, platform::UNIX_CLOSED);
  platform::Unix_Close(s);
  platform::Unix_Remove(path);
  platform::Unix_Close(l);
}

TEST(UnixSocket, OtherUsersAreKeptOutByTheFileModeAndIdentifiedWhenLetIn) {
  if (geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  SocketDir dir("user");
  const std::string closed = dir.File("closed");
  const std::string open = dir.File("open");
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  int l_closed = platform::Unix_Listen(closed, 0600, -1, nullptr);
  int l_open = platform::Unix_Listen(open, 0666, -1, nullptr);
  ASSERT_GT(l_closed, 0);
  ASSERT_GT(l_open, 0);
  // 1: denied by the mode; 2: connected to the open one; 0 otherwise.
  const int r = platform::Run_As_User(
      kNobody, kNobody,
      [&] {
        if (platform::Unix_Connect(closed, 1000) != platform::UNIX_DENIED) return 0;
        return platform::Unix_Connect(open, 1000) > 0 ? 2 : 1;
      },
      10000);
  // The child is gone by now, but its credentials stay with the connection.
  int s = platform::Unix_Accept(l_open, 1000);
  ASSERT_GT(s, 0);
  platform::UnixPeer who;
  ASSERT_TRUE(platform::Unix_Peer(s, &who));
  EXPECT_EQ(who.uid, kNobody);
  EXPECT_EQ(who.gid, kNobody);
  EXPECT_GT(who.pid, 0);
  EXPECT_NE(who.pid, static_cast<int>(getpid()));
  EXPECT_EQ(r, 2);
  platform::Unix_Close(s);
  for (const std::string& p : {closed, open}) platform::Unix_Remove(p);
  platform::Unix_Close(l_closed);
  platform::Unix_Close(l_open);
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
