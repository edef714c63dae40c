// Data-copy requests served by the window, the single-instance rule, and a
// stop that many ending sessions cross.
#include <gtest/gtest.h>

#include <QApplication>

#include <fstream>
#include <future>
#include <thread>

#include "app/gui/gui_app.h"
#include "app/gui/tests/gui_fixture.h"
#include "app/server/datacopy.h"
#include "app/server/ipc.h"
#include "linkman/tether32.h"
#include "platform/spawn.h"

namespace {

using gui_test::GuiTest;

class Requests : public GuiTest {
 protected:
  std::string Socket() const { return (dir_ / "control.sock").string(); }

  // Sends a request from another program's side while the window's thread
  // runs its events.
  int Request(std::uint8_t op, std::uint8_t index, const std::string& data = "") {
    auto reply = std::async(std::launch::async, [&] {
      return Send_Data_Copy(Socket(), Data_Copy_Tag(op, index), data, 5000);
    });
    Spin_Until([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return reply.get();
  }
};

TEST_F(Requests, CommandIsTakenOnlyOnceTheEngineEmptiesTheSlot) {
  Device_Ini("ETHERNET", "1=127.0.0.1\r\n2=127.0.0.2\r\n");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  ASSERT_FALSE(w.Link_Manager_Running());
  EXPECT_EQ(Request(DC_COMMAND, 0, "/1/P Hello"), 1);
  // The request started the link (which sets the command flags anew).
  EXPECT_TRUE(w.Link_Manager_Running());
  EXPECT_TRUE(w.Flags().command);
  // With the link running, a request switches Command and Script File off.
  EXPECT_EQ(Request(DC_COMMAND, 1, "/1/P Hello"), 1);
  EXPECT_FALSE(w.Flags().command);
  EXPECT_FALSE(w.Flags().script_run);
  EXPECT_EQ(platform::Load(Info_Of(2).Mode), 4);
  EXPECT_EQ(Request(DC_COMMAND_TAKEN, 1), 0);
  EXPECT_EQ(Request(DC_COMMAND_TAKEN, 1), 0);
  Clear_Command_Buffer(2);  // what HT 2's engine does when it takes the line
  EXPECT_EQ(Request(DC_COMMAND_TAKEN, 1), 1);
  EXPECT_EQ(Request(DC_MODE_SET, 1), 1);
  EXPECT_EQ(Request(DC_ACTIVE, 1), 0);
  EXPECT_EQ(Request(9, 1), 0);
}

TEST_F(Requests, SecondStartBringsTheFirstWindowForwardAndFindsIt) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  w.showMinimized();
  ASSERT_TRUE(Spin_Until([&] { return w.isMinimized(); }, 2000));
  auto found = std::async(std::launch::async, [&] { return Bring_Other_Instance_Forward(Socket()); });
  Spin_Until([&] { return found.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
  EXPECT_TRUE(found.get());
  EXPECT_TRUE(Spin_Until([&] { return !w.isMinimized() && w.isVisible(); }, 2000));
  // A plain ping (tarnelctl 4) leaves the window where it is.
  w.showMinimized();
  ASSERT_TRUE(Spin_Until([&] { return w.isMinimized(); }, 2000));
  EXPECT_EQ(Request(DC_PING, 0), 1);
  EXPECT_TRUE(w.isMinimized());
  window_.reset();
  EXPECT_FALSE(Bring_Other_Instance_Forward(Socket()));
}

// Terminals busy receiving a large file when the operator stops the link:
// their engines deliver status to the window synchronously while the stop
// waits for them, and requests from other programs are answered meanwhile.
TEST_F(Requests, StopWhileManySessionsTransferEndsThemAllWithoutDeadlock) {
  constexpr int kTerminals = 10;
  std::string use_ip;
  for (int i = 1; i <= kTerminals; ++i) use_ip += std::to_string(i) + "=127.0.0." + std::to_string(20 + i) + "\r\n";
  Device_Ini("ETHERNET", use_ip);
  Panelset_Ini("SERVER=ON\r\n1SHOT=OFF\r\n");
  {
    std::ofstream big(dir_ / "BIG.DAT", std::ios::binary);
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 64; ++i) big << block;
  }
  MainWindow& w = Open_Window();
  ASSERT_TRUE(w.Link_Manager_Running());
  std::string pc_big = "C:" + (dir_ / "BIG.DAT").string();
  std::replace(pc_big.begin(), pc_big.end(), '/', '\\');
  std::vector<std::unique_ptr<platform::ChildProcess>> terminals;
  for (int i = 1; i <= kTerminals; ++i) {
    const auto disk = dir_ / ("ht" + std::to_string(i));
    std::filesystem::create_directories(disk);
    auto child = std::make_unique<platform::ChildProcess>();
    ASSERT_TRUE(child->Start({HTSIM_EXE, "--port", std::to_string(port_), "--source", "127.0.0." + std::to_string(20 + i),
                              "--disk", disk.string(), "--timeout", "60", "--do", "fetch " + pc_big},
                             (dir_ / ("ht" + std::to_string(i) + ".out")).string(), "", {}, nullptr));
    terminals.push_back(std::move(child));
  }
  // Most of them are transferring.
  ASSERT_TRUE(Spin_Until([&] { return w.Stations()->Bar_Count() >= kTerminals / 2; }, 30000))
      << w.Stations()->Bar_Count();
  // A program asks about a terminal while the stop waits.
  std::atomic<bool> stopped{false};
  std::atomic<bool> stopping{false};
  std::atomic<int> replies{0};
  std::atomic<int> replies_while_stopping{0};
  std::thread asker([&] {
    while (!stopped.load()) {
      const bool during = stopping.load();
      if (Send_Data_Copy(Socket(), Data_Copy_Tag(DC_ACTIVE, 0), "", 5000) >= 0) {
        ++replies;
        if (during && stopping.load()) ++replies_while_stopping;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  ASSERT_TRUE(Spin_Until([&] { return replies.load() > 0; }));
  const auto t0 = std::chrono::steady_clock::now();
  stopping = true;
  w.Run_Command(ID_LINK_STOP);
  stopping = false;
  const auto took = std::chrono::steady_clock::now() - t0;
  stopped = true;
  asker.join();
  std::printf("stop with %d transfers took %lld ms, %d requests answered meanwhile\n", kTerminals,
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
              replies_while_stopping.load());
  EXPECT_FALSE(w.Link_Manager_Running());
  EXPECT_EQ(Session_Running(LINK_TCPIP), 0);
  EXPECT_EQ(w.Stations()->Bar_Count(), 0);
  EXPECT_LT(took, std::chrono::seconds(60));
  EXPECT_EQ(End_Remaining_Sessions(10000), 0);
  for (auto& t : terminals) {
    int status = 0;
    if (!t->Wait(20000, &status)) t->Signal(9), t->Wait(5000, &status);
  }
  // The commands work again after the stop.
  EXPECT_TRUE(w.Action(ID_LINK_START)->isEnabled());
}

}  // namespace
