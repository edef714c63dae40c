// The fault-injection seam: the Nth call of a kind fails with the chosen
// errno and only that one; files opened while faults are enabled read and
// write through the hooks yet behave like plain files; a failed sync or
// rename of a replacing receive leaves the old file whole; the path and
// child-program confinements.
#include "platform/faults.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/pcfs.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/clock.h"

namespace fs = std::filesystem;

namespace {

using platform::faults::Call;

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tarnel-faults-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    const char* old = std::getenv("TARNEL_DRIVES");
    had_drives_ = old != nullptr;
    if (old) old_drives_ = old;
    ::setenv("TARNEL_DRIVES", ("C=" + root_.string()).c_str(), 1);
    platform::faults::Reset();
    platform::faults::Enable(true);
  }
  void TearDown() override {
    platform::faults::Reset();
    platform::faults::Enable(false);
    platform::faults::Confine_Paths("");
    platform::faults::Refuse_Child_Programs(false);
    if (had_drives_)
      ::setenv("TARNEL_DRIVES", old_drives_.c_str(), 1);
    else
      ::unsetenv("TARNEL_DRIVES");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  void Put(const std::string& name, const std::string& text) {
    std::ofstream(root_ / name, std::ios::binary) << text;
  }
  std::string Get(const std::string& name) {
    std::ifstream in(root_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  int Entries() { return static_cast<int>(std::distance(fs::directory_iterator(root_), {})); }

  fs::path root_;
  bool had_drives_ = false;
  std::string old_drives_;
};

TEST_F(Faults, OnlyTheArmedCallFailsWithTheArmedError) {
  Put("a.txt", "a");
  platform::faults::Fail_Nth(Call::kOpen, 2, EACCES);
  platform::FsResult why;
  std::FILE* first = platform::Open_PC_File("C:\\a.txt", "rb", &why);
  ASSERT_NE(first, nullptr);
  std::fclose(first);
  EXPECT_FALSE(platform::faults::Fired(Call::kOpen));
  EXPECT_EQ(platform::Open_PC_File("C:\\a.txt", "rb", &why), nullptr);
  EXPECT_EQ(why, platform::FS_ACCESS_DENIED);
  EXPECT_TRUE(platform::faults::Fired(Call::kOpen));
  std::FILE* third = platform::Open_PC_File("C:\\a.txt", "rb", &why);
  ASSERT_NE(third, nullptr);
  std::fclose(third);
  EXPECT_EQ(platform::faults::Calls(Call::kOpen), 3u);
  // Other kinds are not disturbed, and an error maps like a real one.
  platform::faults::Fail_Nth(Call::kMkdir, 1, ENOSPC);
  EXPECT_EQ(platform::Make_PC_Dir("C:\\dir"), platform::FS_NO_SPACE);
  EXPECT_EQ(platform::Make_PC_Dir("C:\\dir"), platform::FS_OK);
  platform::faults::Fail_Nth(Call::kUnlink, 1, EIO);
  EXPECT_EQ(platform::Delete_PC_File("C:\\a.txt"), platform::FS_IO_ERROR);
  EXPECT_TRUE(fs::exists(root_ / "a.txt"));
}

TEST_F(Faults, HookedFilesReadWriteSeekTruncateAndReportFailures) {
  std::FILE* f = platform::Open_PC_File("C:\\b.txt", "w+b", nullptr);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite("0123456789", 1, 10, f), 10u);
  ASSERT_EQ(std::fseek(f, 2, SEEK_SET), 0);
  char buf[4] = {};
  ASSERT_EQ(std::fread(buf, 1, 3, f), 3u);
  EXPECT_EQ(std::string(buf), "234");
  EXPECT_EQ(platform::Truncate_File(f, 4), platform::FS_OK);
  EXPECT_EQ(platform::Set_File_Times(f, 1000000000), platform::FS_OK);
  // The next write that reaches the file fails, and the stream says so.
  platform::faults::Fail_Nth(Call::kWrite, 1, ENOSPC);
  std::fwrite("x", 1, 1, f);
  EXPECT_NE(std::fflush(f), 0);
  EXPECT_NE(std::ferror(f), 0);
  std::fclose(f);
  EXPECT_EQ(Get("b.txt"), "0123");

  platform::faults::Fail_Nth(Call::kRead, 1, EIO);
  f = platform::Open_PC_File("C:\\b.txt", "rb", nullptr);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::fread(buf, 1, 3, f), 0u);
  EXPECT_NE(std::ferror(f), 0);
  std::fclose(f);
}

// A receive that fails at its sync or its rename leaves the PC file as it
// was; the caller deletes the staging file.
TEST_F(Faults, FailedSyncOrRenameKeepsTheOldFile) {
  for (Call kind : {Call::kFsync, Call::kRename}) {
    SCOPED_TRACE(static_cast<int>(kind));
    Put("t.txt", "old");
    std::string staging;
    std::FILE* f = platform::Create_Staging_File("C:\\t.txt", &staging, nullptr);
    ASSERT_NE(f, nullptr);
    std::fputs("new content", f);
    ASSERT_EQ(std::fclose(f), 0);
    platform::faults::Fail_Nth(kind, 1, EIO);
    EXPECT_EQ(platform::Replace_With_Staging(staging, "C:\\t.txt"), platform::FS_IO_ERROR);
    EXPECT_EQ(Get("t.txt"), "old");
    EXPECT_EQ(platform::Delete_Native_File(staging.c_str()), platform::FS_OK);
    EXPECT_EQ(Entries(), 1);
  }
  // Unarmed: synced and renamed.
  std::string staging;
  std::FILE* f = platform::Create_Staging_File("C:\\t.txt", &staging, nullptr);
  ASSERT_NE(f, nullptr);
  std::fputs("new", f);
  ASSERT_EQ(std::fclose(f), 0);
  platform::faults::Fail_Nth(Call::kFsync, 3, EIO);  // past the two syncs
  EXPECT_EQ(platform::Replace_With_Staging(staging, "C:\\t.txt"), platform::FS_OK);
  EXPECT_EQ(platform::faults::Calls(Call::kFsync), 2u) << "the file, then its folder";
  EXPECT_EQ(Get("t.txt"), "new");
  EXPECT_EQ(Entries(), 1);
}

TEST_F(Faults, ConfinedPathsStayInsideTheirFolder) {
  fs::create_directories(root_ / "in");
  platform::faults::Confine_Paths(root_.string());
  std::string native;
  EXPECT_TRUE(platform::To_Native_Path("C:\\in\\x", &native));
  EXPECT_TRUE(platform::To_Native_Path("C:\\..\\..\\x", &native)) << "a drive's .. stops at its root";
  EXPECT_EQ(native, (root_ / "x").string());
  EXPECT_FALSE(platform::To_Native_Path("/etc/passwd", &native));
  EXPECT_FALSE(platform::To_Native_Path((root_.string() + "/../x").c_str(), &native));
  EXPECT_FALSE(platform::To_Native_Path((root_.string() + "x/y").c_str(), &native)) << "a sibling with the same prefix";
  EXPECT_FALSE(platform::To_Native_Path("relative", &native));
  EXPECT_EQ(platform::Open_PC_File("/etc/hostname", "rb", nullptr), nullptr);
  platform::faults::Confine_Paths("");
  EXPECT_TRUE(platform::To_Native_Path("/etc/passwd", &native));
}

TEST_F(Faults, RefusedChildProgramsDoNotStart) {
  platform::faults::Refuse_Child_Programs(true);
  int code = 12345;
  EXPECT_FALSE(platform::Run_Child("true", &code));
  EXPECT_EQ(code, 12345);
  EXPECT_FALSE(platform::Start_Child("true"));
  platform::faults::Refuse_Child_Programs(false);
  EXPECT_TRUE(platform::Run_Child("true", &code));
  EXPECT_EQ(code, 0);
}

}  // namespace

namespace {

// A connection from source to a listener on 127.0.0.1: {client, accepted}.
std::pair<int, int> Connected_Pair(int listener, std::uint16_t port, const char* source) {
  const int c = platform::Tcp_Socket_Open();
  EXPECT_EQ(platform::Socket_Connect(c, "127.0.0.1", port, source, 2000), platform::SOCKET_OK);
  int a = platform::SOCKET_WOULD_BLOCK;
  for (int i = 0; i < 200 && a == platform::SOCKET_WOULD_BLOCK; ++i) {
    a = platform::Socket_Accept(listener, nullptr, 0);
    if (a == platform::SOCKET_WOULD_BLOCK) platform::Sleep_Ms(5);
  }
  EXPECT_GT(a, 0);
  return {c, a};
}

TEST(SocketFaults, OnlyThePeerNamedCountsAndFails) {
  const int listener = platform::Tcp_Socket_Open();
  ASSERT_EQ(platform::Socket_Bind(listener, "127.0.0.1", 0), platform::SOCKET_OK);
  ASSERT_EQ(platform::Socket_Listen(listener, 4), platform::SOCKET_OK);
  const std::uint16_t port = platform::Socket_Local_Port(listener);
  const auto [c5, a5] = Connected_Pair(listener, port, "127.0.0.5");
  const auto [c6, a6] = Connected_Pair(listener, port, "127.0.0.6");
  EXPECT_FALSE(platform::faults::Only_Peer("127.0.0"));
  ASSERT_TRUE(platform::faults::Only_Peer("127.0.0.5"));
  platform::faults::Enable(true);
  platform::faults::Fail_Nth(Call::kSend, 2, EPIPE);
  const char byte = 'x';
  EXPECT_EQ(platform::Socket_Send(a6, &byte, 1), 1);  // another peer: not counted
  EXPECT_EQ(platform::Socket_Send(a5, &byte, 1), 1);
  EXPECT_EQ(platform::Socket_Send(a6, &byte, 1), 1);
  EXPECT_LT(platform::Socket_Send(a5, &byte, 1), 0);
  EXPECT_TRUE(platform::faults::Fired(Call::kSend));
  EXPECT_EQ(platform::faults::Calls(Call::kSend), 2u);
  // Reset lifts the peer limit.
  platform::faults::Reset();
  platform::faults::Fail_Nth(Call::kRecv, 1, ECONNRESET);
  char got = 0;
  EXPECT_LT(platform::Socket_Recv(c6, &got, 1), 0);
  platform::faults::Reset();
  platform::faults::Enable(false);
  for (int s : {c5, a5, c6, a6, listener}) platform::Socket_Close(s);
}

}  // namespace
