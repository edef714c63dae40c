// Data-copy operations on the session table, and their trip over the local
// socket from another program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "app/server/datacopy.h"
#include "app/server/ipc.h"
#include "engine/rox32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
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

TEST_F(DataCopy, OverlongOrUnterminatedLinesAreCutNotOverrun) {
  const std::string big(5000, 'A');
  EXPECT_EQ(Op(DC_COMMAND, 0, big), 1);
  char line[CMD_BUF_SIZE];
  ASSERT_TRUE(Read_Command_Buffer(1, line, sizeof line));
  EXPECT_EQ(std::strlen(line), static_cast<std::size_t>(CMD_BUF_SIZE - 1));
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

class Window : public platform::MessageTarget, public FakeHost {
 public:
  void Handle(const platform::Message& m) override {
    if (m.msg != WM_DATA_COPY) return;
    auto* call = reinterpret_cast<DataCopyCall*>(m.lParam);
    call->reply = Handle_Data_Copy(call->tag, call->data.data(), call->data.size(), *this);
  }
};

TEST_F(DataCopy, RequestsFromAnotherProgramReachTheWindowThread) {
  const auto dir = std::filesystem::temp_directory_path() / ("dcdir-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  EXPECT_EQ(Send_Data_Copy(dir.string(), Data_Copy_Tag(DC_PING, 0), "", 500), DCC_NO_INSTANCE);

  Window window;
  DataCopyServer server;
  std::string why;
  ASSERT_EQ(server.Start(dir.string() + "/", &window, &why), 1) << why;
  // A second owner of the same folder is told that one exists.
  DataCopyServer second;
  EXPECT_EQ(second.Start(dir.string(), &window, &why), 0);

  std::atomic<int> replies[3] = {-9, -9, -9};
  std::atomic<bool> done{false};
  std::thread client([&] {
    replies[0] = Send_Data_Copy(dir.string(), Data_Copy_Tag(DC_PING, 0), "", 3000);
    replies[1] = Send_Data_Copy(dir.string(), Data_Copy_Tag(DC_COMMAND, 6), std::string("E\0", 2), 3000);
    replies[2] = Send_Data_Copy(dir.string(), Data_Copy_Tag(DC_COMMAND_TAKEN, 6), "", 3000);
    done = true;
  });
  const std::uint64_t limit = platform::Monotonic_Ms() + 10000;
  while (!done && platform::Monotonic_Ms() < limit) {
    platform::Pump_Messages();
    platform::Wait_Message(20);
  }
  client.join();
  EXPECT_EQ(replies[0].load(), 1);
  EXPECT_EQ(replies[1].load(), 1);
  EXPECT_EQ(replies[2].load(), 0);
  char line[16];
  ASSERT_TRUE(Read_Command_Buffer(7, line, sizeof line));
  EXPECT_STREQ(line, "E");
  server.Stop();
  EXPECT_EQ(Send_Data_Copy(dir.string(), Data_Copy_Tag(DC_PING, 0), "", 500), DCC_NO_INSTANCE);
  std::filesystem::remove_all(dir);
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
