// Data-copy operations on the session table, and their trip over the local
// socket from another program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/server/datacopy.h"
#include "app/server/ipc.h"
#include "engine/rox32.h"
#include "platform/access.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/spawn.h"
#include "platform/unixsock.h"
#include "platform/window.h"

namespace {

class FakeHost : public DataCopyHost {
 public:
  int Interface_Type() const override { return interface_type; }
  void Command_Flags_Off() override { flags_on = false; }
  bool Link_Manager_Running() const override { return running; }
  void Start_Link_Manager() override {
    ++starts;
    running = true;
  }
  std::string Detail_Log_Path() const override { return log_path; }
  void Come_To_Front() override { ++fronts; }

  int fronts = 0;
  int interface_type = 2;
  bool flags_on = true;
  bool running = false;
  int starts = 0;
  std::string log_path;
};

class DataCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n = 1; n <= MAX_HT; ++n) {
      std::memset(&Info_Of(n), 0, sizeof(InfoHT));
      Clear_Command_Buffer(n);
    }
  }
  int Op(std::uint8_t op, std::uint8_t index, const std::string& data = "") {
    return Handle_Data_Copy(Data_Copy_Tag(op, index), data.data(), data.size(), host_);
  }
  FakeHost host_;
};

TEST_F(DataCopy, CommandIsHandedToTheStationAndTakenFromThere) {
  Info_Of(5).BatchFlag = 1;
  EXPECT_EQ(Op(DC_COMMAND, 4, std::string("S C:\\DATA\\*.DAT\0junk", 20)), 1);
  char line[CMD_BUF_SIZE];
  ASSERT_TRUE(Read_Command_Buffer(5, line, sizeof line));
  EXPECT_STREQ(line, "S C:\\DATA\\*.DAT");
  EXPECT_EQ(Info_Of(5).Mode, 4);
  EXPECT_EQ(Info_Of(5).BatchFlag, 0);
  EXPECT_FALSE(host_.flags_on);
  EXPECT_EQ(host_.starts, 1);
  // Not taken yet; then the engine empties the slot.
  EXPECT_EQ(Op(DC_COMMAND_TAKEN, 4), 0);
  Clear_Command_Buffer(5);
  EXPECT_EQ(Op(DC_COMMAND_TAKEN, 4), 1);
  // A running Link Manager is not started again.
  EXPECT_EQ(Op(DC_COMMAND, 4, "D C:\\X"), 1);
  EXPECT_EQ(host_.starts, 1);
}

TEST_F(DataCopy, LineThatDoesNotFitIsRefusedWithNothingChanged) {
  ASSERT_TRUE(Write_Command_Buffer(1, "/1/B"));
  const std::string longest(kMaxCommandLine, 'A');
  for (const std::string& data : {longest + "B", longest + "B" + std::string(1, '\0'), std::string(5000, 'A')}) {
    EXPECT_EQ(Op(DC_COMMAND, 0, data), 0) << data.size();
    char line[CMD_BUF_SIZE];
    ASSERT_TRUE(Read_Command_Buffer(1, line, sizeof line));
    EXPECT_STREQ(line, "/1/B");
  }
  // Not taken at all: no flags changed, no Link Manager started.
  EXPECT_EQ(Info_Of(1).Mode, 0);
  EXPECT_TRUE(host_.flags_on);
  EXPECT_EQ(host_.starts, 0);

  // The longest line that fits, NUL-terminated or ending with the block.
  for (const std::string& data : {longest, longest + std::string(1, '\0') + "junk"}) {
    EXPECT_EQ(Op(DC_COMMAND, 0, data), 1);
    char line[CMD_BUF_SIZE];
    ASSERT_TRUE(Read_Command_Buffer(1, line, sizeof line));
    EXPECT_EQ(std::string(line), longest);
  }
  // Empty data empties the slot.
  EXPECT_EQ(Op(DC_COMMAND, 0, ""), 1);
  EXPECT_TRUE(Command_Buffer_Empty(1));
}

TEST_F(DataCopy, QueriesReadTheStationsRecord) {
  EXPECT_EQ(Op(DC_MODE_SET, 9), 0);
  Info_Of(10).Mode = 2;
  EXPECT_EQ(Op(DC_MODE_SET, 9), 1);
  EXPECT_EQ(Op(DC_ACTIVE, 9), 0);
  Info_Of(10).WaitingGUICommand = 1;
  EXPECT_EQ(Op(DC_ACTIVE, 9), 1);
  Info_Of(10).WaitingGUICommand = 0;
  Info_Of(10).BusyFlag = 1;
  EXPECT_EQ(Op(DC_ACTIVE, 9), 1);
  EXPECT_EQ(Op(DC_PING, 200), 1);
  EXPECT_EQ(Op(7, 0), 0);
  EXPECT_EQ(Op(254, 0), 0);
}

TEST_F(DataCopy, PingWithFrontBringsTheWindowForwardAndAPlainOneDoesNot) {
  EXPECT_EQ(Op(DC_PING, 0), 1);
  EXPECT_EQ(Op(DC_PING, 0, "fronts"), 1);
  EXPECT_EQ(Op(DC_PING, 0, std::string("fr\0nt", 5)), 1);
  EXPECT_EQ(host_.fronts, 0);
  EXPECT_EQ(Op(DC_PING, 0, kComeToFront), 1);
  EXPECT_EQ(Op(DC_PING, 0, std::string(kComeToFront) + '\0'), 1);
  EXPECT_EQ(host_.fronts, 2);
}

TEST_F(DataCopy, IndexOutsideTheCommandBuffersNamesNoStation) {
  // HT 256 has a status record but no command buffer.
  EXPECT_EQ(Op(DC_COMMAND, 255, "S X"), 0);
  EXPECT_EQ(Op(DC_COMMAND_TAKEN, 255), 0);
  EXPECT_EQ(Op(DC_ACTIVE, 255), 0);
  EXPECT_EQ(Op(DC_DETAIL_LOG, 255), 0);
  EXPECT_EQ(host_.starts, 0);
  // On RS-232C every index means HT 1.
  host_.interface_type = 0;
  EXPECT_EQ(Op(DC_COMMAND, 255, "S X"), 1);
  EXPECT_FALSE(Command_Buffer_Empty(1));
}

TEST_F(DataCopy, DetailLogEntryCarriesTheRecordAndTheCommand) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("detail-" + std::to_string(std::random_device{}()) + ".log");
  host_.log_path = path.string();
  InfoHT& info = Info_Of(3);
  info.HTNo = 3;
  info.SNo = 12;
  std::memset(info.File, ' ', sizeof info.File);
  std::memcpy(info.File, "X.DAT", 5);
  std::memcpy(info.LogicalNo, "L1", 2);
  Write_Command_Buffer(3, "R C:\\Y");
  EXPECT_EQ(Op(DC_DETAIL_LOG, 2), 1);
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.front(), '\n');
  EXPECT_NE(text.find("HTNo:3  SNo:12  Mode:0"), std::string::npos) << text;
  EXPECT_NE(text.find("LogicalNo:L1  PhysicalNo:  EnableFlag:0"), std::string::npos) << text;
  EXPECT_NE(text.find("    Commands:R C:\\Y\n"), std::string::npos) << text;
  std::filesystem::remove(path);
}

// ---- Over the socket -------------------------------------------------------

constexpr unsigned kNobody = 65534;

class Window : public platform::MessageTarget, public FakeHost {
 public:
  void Handle(const platform::Message& m) override {
    if (m.msg != WM_DATA_COPY) return;
    auto* call = reinterpret_cast<DataCopyCall*>(m.lParam);
    call->reply = Handle_Data_Copy(call->tag, call->data.data(), call->data.size(), *this);
  }
};

// A scratch folder of its own, removed at the end.
struct Scratch {
  Scratch() {
    for (;;) {
      path = std::filesystem::temp_directory_path() / ("dc-" + std::to_string(std::random_device{}()));
      std::error_code ec;
      if (std::filesystem::create_directory(path, ec)) break;
    }
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string Sub(const char* name) const { return (path / name).string(); }
  std::filesystem::path path;
};

// The lines a server logs, kept for the test.
struct LogLines {
  DataCopyServer::LogFn Fn() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mu);
      lines.push_back(line);
    };
  }
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> lock(mu);
    return lines;
  }
  std::mutex mu;
  std::vector<std::string> lines;
};

// Runs client on a thread of its own while this thread handles the
// window's messages, as the server's window thread does; bounded.
template <typename Client>
void While_Serving(Client client) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    client();
    done = true;
  });
  const std::uint64_t limit = platform::Monotonic_Ms() + 20000;
  while (!done && platform::Monotonic_Ms() < limit) {
    platform::Pump_Messages();
    platform::Wait_Message(20);
  }
  t.join();
}

unsigned Mode_Of(const std::string& path) {
  return static_cast<unsigned>(std::filesystem::symlink_status(path).permissions()) & 0777u;
}

TEST_F(DataCopy, RequestsFromAnotherProgramReachTheWindowThread) {
  Scratch scratch;
  const std::string path = scratch.Sub("run/tarnel-test");
  EXPECT_EQ(Send_Data_Copy(path, Data_Copy_Tag(DC_PING, 0), "", 500), DCC_NO_INSTANCE);

  Window window;
  LogLines log;
  DataCopyServer server;
  std::string why;
  ASSERT_EQ(server.Start(path, "", &window, log.Fn(), &why), 1) << why;
  // Its folder was made for it; only this user may use either.
  EXPECT_EQ(Mode_Of(scratch.Sub("run")), 0700u);
  EXPECT_EQ(Mode_Of(path), 0600u);
  // A second server of the same socket is told that one serves it.
  DataCopyServer second;
  EXPECT_EQ(second.Start(path, "", &window, nullptr, &why), 0);

  int replies[3] = {-9, -9, -9};
  While_Serving([&] {
    replies[0] = Send_Data_Copy(path, Data_Copy_Tag(DC_PING, 0), "", 3000);
    replies[1] = Send_Data_Copy(path, Data_Copy_Tag(DC_COMMAND, 6), std::string("E\0", 2), 3000);
    replies[2] = Send_Data_Copy(path, Data_Copy_Tag(DC_COMMAND_TAKEN, 6), "", 3000);
  });
  EXPECT_EQ(replies[0], 1);
  EXPECT_EQ(replies[1], 1);
  EXPECT_EQ(replies[2], 0);
  char line[16];
  ASSERT_TRUE(Read_Command_Buffer(7, line, sizeof line));
  EXPECT_STREQ(line, "E");
  server.Stop();
  // The socket file goes with the server.
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(Send_Data_Copy(path, Data_Copy_Tag(DC_PING, 0), "", 500), DCC_NO_INSTANCE);
  EXPECT_TRUE(log.Get().empty());
}

TEST_F(DataCopy, SocketLeftByAServerThatEndedIsTakenOver) {
  Scratch scratch;
  const std::string path = scratch.Sub("s");
  // What a crashed server leaves: a socket file nobody serves.
  const int dead = platform::Unix_Listen(path, 0600, -1, nullptr);
  ASSERT_GT(dead, 0);
  platform::Unix_Close(dead);
  ASSERT_TRUE(std::filesystem::exists(path));
  Window window;
  DataCopyServer server;
  std::string why;
  ASSERT_EQ(server.Start(path, "", &window, nullptr, &why), 1) << why;
  int reply = -9;
  While_Serving([&] { reply = Send_Data_Copy(path, Data_Copy_Tag(DC_PING, 0), "", 3000); });
  EXPECT_EQ(reply, 1);
  server.Stop();
}

TEST(DataCopySocketFolder, UnsafeFoldersAreRefusedWithTheReason) {
  Scratch scratch;
  std::string why;
  // Missing: made private.
  const std::string fresh = scratch.Sub("fresh");
  ASSERT_TRUE(Prepare_Socket_Folder(fresh, -1, &why)) << why;
  EXPECT_EQ(Mode_Of(fresh), 0700u);
  // Readable by others is fine (the socket's own mode keeps them out)...
  const std::string readable = scratch.Sub("readable");
  std::filesystem::create_directory(readable);
  std::filesystem::permissions(readable, static_cast<std::filesystem::perms>(0755));
  EXPECT_TRUE(Prepare_Socket_Folder(readable, -1, &why)) << why;
  EXPECT_EQ(Mode_Of(readable), 0755u);
  // ...writable is not.
  const std::string open = scratch.Sub("open");
  std::filesystem::create_directory(open);
  std::filesystem::permissions(open, static_cast<std::filesystem::perms>(0777));
  EXPECT_FALSE(Prepare_Socket_Folder(open, -1, &why));
  EXPECT_NE(why.find("may be written by every user"), std::string::npos) << why;
  EXPECT_NE(why.find(open), std::string::npos) << why;
  EXPECT_NE(why.find("0777"), std::string::npos) << why;
  // A group that may write is refused unless it is the group let in.
  const std::string group_writable = scratch.Sub("groupw");
  std::filesystem::create_directory(group_writable);
  std::filesystem::permissions(group_writable, static_cast<std::filesystem::perms>(0770));
  EXPECT_FALSE(Prepare_Socket_Folder(group_writable, -1, &why));
  EXPECT_NE(why.find("may be written by the group"), std::string::npos) << why;
  platform::PathInfo info;
  ASSERT_TRUE(platform::Path_Info(group_writable, &info, &why));
  EXPECT_TRUE(Prepare_Socket_Folder(group_writable, static_cast<int>(info.gid), &why)) << why;
  // Not a folder, or a link to one.
  const std::string file = scratch.Sub("file");
  { std::ofstream(file) << "x"; }
  EXPECT_FALSE(Prepare_Socket_Folder(file, -1, &why));
  EXPECT_NE(why.find("not a folder"), std::string::npos) << why;
  std::filesystem::create_directory_symlink(fresh, scratch.Sub("link"));
  EXPECT_FALSE(Prepare_Socket_Folder(scratch.Sub("link"), -1, &why));
  EXPECT_NE(why.find("symbolic link"), std::string::npos) << why;
  // A parent that does not exist.
  EXPECT_FALSE(Prepare_Socket_Folder(scratch.Sub("none/tarnel"), -1, &why));
  EXPECT_NE(why.find("cannot create"), std::string::npos) << why;

  // The server refuses to serve from such a folder, and says why.
  Window window;
  DataCopyServer server;
  why.clear();
  EXPECT_EQ(server.Start(open + "/s", "", &window, nullptr, &why), -1);
  EXPECT_NE(why.find("may be written by every user"), std::string::npos) << why;
  EXPECT_FALSE(std::filesystem::exists(open + "/s"));
  EXPECT_EQ(server.Start(fresh + "/s", "no-such-group-tarnel", &window, nullptr, &why), -1);
  EXPECT_NE(why.find("no group called no-such-group-tarnel"), std::string::npos) << why;
}

TEST(DataCopySocketFolder, FolderOfAnotherUserIsRefused) {
  if (platform::Own_User_Id() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  Scratch scratch;
  const std::string theirs = scratch.Sub("theirs");
  std::filesystem::create_directory(theirs);
  std::filesystem::permissions(theirs, static_cast<std::filesystem::perms>(0700));
  std::string why;
  ASSERT_TRUE(platform::Set_Owner(theirs, static_cast<int>(kNobody), -1, &why)) << why;
  EXPECT_FALSE(Prepare_Socket_Folder(theirs, -1, &why));
  EXPECT_NE(why.find("belongs to"), std::string::npos) << why;
  EXPECT_NE(why.find("uid 65534"), std::string::npos) << why;
}

TEST(DataCopySocketFolder, GroupModeLetsTheGroupReachTheSocket) {
  if (platform::Own_User_Id() != 0) GTEST_SKIP() << "giving a folder to another group needs root";
  unsigned gid = 0;
  if (!platform::Group_Id("nogroup", &gid)) GTEST_SKIP() << "no group nogroup here";
  Scratch scratch;
  std::string why;
  // Made for the group...
  const std::string fresh = scratch.Sub("fresh");
  ASSERT_TRUE(Prepare_Socket_Folder(fresh, static_cast<int>(gid), &why)) << why;
  platform::PathInfo info;
  ASSERT_TRUE(platform::Path_Info(fresh, &info, &why));
  EXPECT_EQ(info.mode, 0750u);
  EXPECT_EQ(info.gid, gid);
  // ...or a private one opened to it.
  const std::string existing = scratch.Sub("existing");
  std::filesystem::create_directory(existing);
  std::filesystem::permissions(existing, static_cast<std::filesystem::perms>(0700));
  ASSERT_TRUE(Prepare_Socket_Folder(existing, static_cast<int>(gid), &why)) << why;
  ASSERT_TRUE(platform::Path_Info(existing, &info, &why));
  EXPECT_EQ(info.mode, 0750u);
  EXPECT_EQ(info.gid, gid);
}

TEST(DataCopySocketFolder, DefaultPlaceFollowsTheEnvironmentAndTheUser) {
  EXPECT_EQ(Data_Copy_Socket_Folder("/run/user/1000", 1000, "/var/tmp"), "/run/user/1000/tarnel");
  EXPECT_EQ(Data_Copy_Socket_Folder("/run/user/0", 0, nullptr), "/run/user/0/tarnel");
  EXPECT_EQ(Data_Copy_Socket_Folder(nullptr, 0, "/var/tmp"), "/run/tarnel");
  EXPECT_EQ(Data_Copy_Socket_Folder("", 0, nullptr), "/run/tarnel");
  EXPECT_EQ(Data_Copy_Socket_Folder(nullptr, 1000, "/var/tmp"), "/var/tmp/tarnel-1000");
  EXPECT_EQ(Data_Copy_Socket_Folder(nullptr, 1000, ""), "/tmp/tarnel-1000");
  const std::string dir = std::filesystem::temp_directory_path().string();
  EXPECT_EQ(Data_Copy_Socket_Path(dir), Data_Copy_Socket_Folder() + "/" + Data_Copy_Socket_Name(dir));
  EXPECT_EQ(Data_Copy_Socket_Path(dir, "/elsewhere/s"), "/elsewhere/s");
}

TEST(DataCopyPeers, OnlyTheServersUserRootAndTheGroupAreServed) {
  constexpr unsigned kOwn = 1000;
  EXPECT_TRUE(Data_Copy_Peer_Allowed(kOwn, 5, kOwn, -1));
  EXPECT_TRUE(Data_Copy_Peer_Allowed(0, 0, kOwn, -1));
  EXPECT_FALSE(Data_Copy_Peer_Allowed(1001, 1001, kOwn, -1));
  EXPECT_FALSE(Data_Copy_Peer_Allowed(1001, 1001, kOwn, 1002));
  // The peer's own group is the one let in.
  EXPECT_TRUE(Data_Copy_Peer_Allowed(1001, 1002, kOwn, 1002));
  // Membership by the user database: nobody's primary group.
  if (platform::User_Name(kNobody).empty()) GTEST_SKIP() << "no user " << kNobody << " here";
  EXPECT_TRUE(Data_Copy_Peer_Allowed(kNobody, 1, kOwn, static_cast<int>(kNobody)));
  EXPECT_FALSE(Data_Copy_Peer_Allowed(kNobody, 1, kOwn, 0));
}

// Another user's process that reaches the socket (its permissions opened
// up by hand) is closed without a reply; its command never reaches the
// command buffer, and the server logs who it was.
TEST_F(DataCopy, AnotherUsersRequestIsClosedWithoutReplyAndLogged) {
  if (platform::Own_User_Id() != 0) GTEST_SKIP() << "running a client as another user needs root";
  Scratch scratch;
  const std::string folder = scratch.Sub("run");
  const std::string path = folder + "/s";
  Window window;
  LogLines log;
  DataCopyServer server;
  std::string why;
  ASSERT_EQ(server.Start(path, "", &window, log.Fn(), &why), 1) << why;
  std::filesystem::permissions(scratch.path, static_cast<std::filesystem::perms>(0755));
  std::filesystem::permissions(folder, static_cast<std::filesystem::perms>(0755));
  std::filesystem::permissions(path, static_cast<std::filesystem::perms>(0666));

  int result = -99;
  While_Serving([&] {
    result = platform::Run_As_User(
        kNobody, kNobody,
        [&] { return 10 + Send_Data_Copy(path, Data_Copy_Tag(DC_COMMAND, 6), std::string("/1/C id\0", 8), 5000); },
        15000);
  });
  EXPECT_EQ(result, 10 + DCC_REFUSED);
  EXPECT_TRUE(Command_Buffer_Empty(7));
  EXPECT_EQ(Info_Of(7).Mode, 0);
  const std::vector<std::string> lines = log.Get();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("refused"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("uid 65534 pid "), std::string::npos) << lines[0];

  // The server's own user is still served.
  int reply = -9;
  While_Serving([&] { reply = Send_Data_Copy(path, Data_Copy_Tag(DC_PING, 0), "", 3000); });
  EXPECT_EQ(reply, 1);
  server.Stop();
}

// Without opening anything up by hand: a user outside the group cannot even
// connect; the group's members are served.
TEST_F(DataCopy, GroupMembersAreServedAndOthersCannotConnect) {
  if (platform::Own_User_Id() != 0) GTEST_SKIP() << "running a client as another user needs root";
  unsigned gid = 0;
  if (!platform::Group_Id("nogroup", &gid)) GTEST_SKIP() << "no group nogroup here";
  Scratch scratch;
  std::filesystem::permissions(scratch.path, static_cast<std::filesystem::perms>(0755));
  const std::string path = scratch.Sub("run") + "/s";
  Window window;
  LogLines log;
  DataCopyServer server;
  std::string why;
  ASSERT_EQ(server.Start(path, "nogroup", &window, log.Fn(), &why), 1) << why;
  EXPECT_EQ(Mode_Of(path), 0660u);

  auto send_as = [&](unsigned uid, unsigned group) {
    int result = -99;
    While_Serving([&] {
      result = platform::Run_As_User(
          uid, group,
          [&] { return 10 + Send_Data_Copy(path, Data_Copy_Tag(DC_COMMAND, 6), std::string("/1/B\0", 5), 5000); },
          15000);
    });
    return result;
  };
  // gid 1 is not the group: the folder keeps the process out.
  EXPECT_EQ(send_as(kNobody, 1), 10 + DCC_NOT_PERMITTED);
  EXPECT_TRUE(Command_Buffer_Empty(7));
  EXPECT_EQ(send_as(kNobody, gid), 10 + 1);
  char line[16];
  ASSERT_TRUE(Read_Command_Buffer(7, line, sizeof line));
  EXPECT_STREQ(line, "/1/B");
  EXPECT_TRUE(log.Get().empty());
  server.Stop();
}

TEST(DataCopySocketName, SameFolderSameNameWhicheverWayItIsWritten) {
  const auto dir = std::filesystem::temp_directory_path() / ("dcname-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir / "sub");
  std::filesystem::create_directory_symlink(dir / "sub", dir / "link");
  const std::string a = Data_Copy_Socket_Name((dir / "sub").string());
  EXPECT_EQ(a, Data_Copy_Socket_Name((dir / "sub").string() + "/"));
  EXPECT_EQ(a, Data_Copy_Socket_Name((dir / "link").string()));
  EXPECT_EQ(a, Data_Copy_Socket_Name((dir / "sub" / ".." / "sub").string()));
  EXPECT_NE(a, Data_Copy_Socket_Name(dir.string()));
  EXPECT_EQ(a.rfind("tarnel-", 0), 0u);
  std::filesystem::remove_all(dir);
}

}  // namespace
