// The whole RS-232C line in one process: the link manager runs the engine's
// session loop on the real serial driver, whose port is one end of a
// simulated null-modem cable; a thread plays the HT on the other end with
// htsim's own session code (or, for the stop, says nothing at all).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "channel/mux32.h"
#include "engine/rox32.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/serial.h"
#include "platform/serial_sim.h"
#include "platform/window.h"
#include "tools/htsim/disk.h"
#include "tools/htsim/packet.h"
#include "tools/htsim/serial_link.h"
#include "tools/htsim/session.h"

namespace htsim {
namespace {

constexpr int kLineHt = 1;  // the RS-232C engine serves HT 1

class Recorder : public platform::MessageTarget {
 public:
  void Handle(const platform::Message& m) override {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(m);
  }
  int Count(platform::UINT msg) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(
        std::count_if(seen_.begin(), seen_.end(), [msg](const platform::Message& m) { return m.msg == msg; }));
  }

 private:
  mutable std::mutex mutex_;
  std::vector<platform::Message> seen_;
};

std::string Random_Bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::string Read_All(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class Rs232Line : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("htsim-rs232-" + std::to_string(rd()));
    fs::create_directories(dir_ / "disk");
    fs::create_directories(dir_ / "pc" / "in");
    std::ofstream(dir_ / "device.ini", std::ios::binary)
        << "IF=RS232C\r\n[RS232C]\r\nPort=COM1\r\nBaud=115200\r\nParity=NONE\r\nStop=1\r\nData=8\r\n";
    std::snprintf(handle_.module_path, sizeof handle_.module_path, "%s", (dir_ / "tarnel").string().c_str());
    Instance_Handle = &handle_;
    Set_Text(DefWorkFile, (dir_ / "pc").string() + "\\");
    Set_Text(DefErrorFile, (dir_ / "error.log").string());
    HandleForROXToMainWindow = &window_;
    HandleForTetherToMainWindow = &window_;
    platform::Store(OneShotMode, std::int32_t{0});
    GCommandTimeout = 0;
    platform::Set_Message_Box_Handler(
        [](const std::string&, const std::string&, unsigned) { return platform::IDOK; });
    Clear_Command_Buffer(kLineHt);
    std::memset(&Info_Of(kLineHt), 0, sizeof(InfoHT));

    device_ = "sim:rs232-line-" + std::to_string(rd());
    line_ = platform::NullModem::Create(false);
    platform::Serial_Register_Simulated(device_.c_str(), line_, 0);
    ::setenv("TARNEL_COM1", device_.c_str(), 1);
    ht_port_ = line_->Open_End(1);
    ASSERT_TRUE(ht_port_);
    platform::SerialConfig cfg;
    cfg.baud = 115200;
    ht_port_->Configure(cfg);
  }

  void TearDown() override {
    if (Session_Running(LINK_RS232C)) Stop_A_Session(LINK_RS232C, 0);
    if (ht_.joinable()) ht_.join();
    ht_port_.reset();
    platform::Serial_Unregister_Simulated(device_.c_str());
    ::unsetenv("TARNEL_COM1");
    platform::Set_Message_Box_Handler({});
    HandleForROXToMainWindow = nullptr;
    HandleForTetherToMainWindow = nullptr;
    platform::Store(OneShotMode, std::int32_t{0});
    Instance_Handle = nullptr;
    Clear_Command_Buffer(kLineHt);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir_, ec); !ec && it != fs::end(it); ++it)
      Set_Read_Only(it->path(), false);
    fs::remove_all(dir_, ec);
  }

  static void Set_Text(char (&field)[1024], const std::string& s) {
    std::memset(field, 0, sizeof field);
    s.copy(field, sizeof field - 1);
  }

  // A file of this test as the engine's PC paths name it (drive C: is /).
  std::string Pc(const fs::path& p) const {
    std::string s = "C:" + p.string();
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
  }
  fs::path Disk() const { return dir_ / "disk"; }
  fs::path Pc_Dir() const { return dir_ / "pc"; }

  // The HT thread: `sessions` htsim sessions in a row, each one reporting
  // idle and carrying out what the PC asks. between(i) runs after session
  // i (0-based) ends; the HT then leaves its line down for a moment, as
  // a terminal does between two sessions.
  void Start_Ht(int sessions, std::function<void(int)> between = {}) {
    ht_ = std::thread([this, sessions, between] {
      const std::uint64_t deadline = platform::Monotonic_Ms() + 60000;
      HtDisk disk(Disk());
      SerialLink link(*ht_port_);
      for (int i = 0; i < sessions; ++i) {
        std::ostringstream out;
        SessionOptions o;
        o.session_number = static_cast<std::uint16_t>(i + 1);
        Session session(link, &disk, out, o, deadline);
        const int code = session.Run();
        {
          std::lock_guard<std::mutex> lock(ht_mutex_);
          ht_out_.push_back(out.str());
          ht_codes_.push_back(code);
        }
        ht_sessions_.fetch_add(1);
        if (between) between(i);
        platform::Sleep_Ms(300);
      }
    });
  }

  // Handles the engine's notifications until pred holds; false after limit_ms.
  static bool Pump_Until(const std::function<bool()>& pred, unsigned limit_ms = 30000) {
    const std::uint64_t deadline = platform::Monotonic_Ms() + limit_ms;
    while (!pred()) {
      if (platform::Monotonic_Ms() >= deadline) return false;
      platform::Pump_Messages();
      platform::Wait_Message(5);
    }
    return true;
  }

  std::vector<std::string> Ht_Out() {
    std::lock_guard<std::mutex> lock(ht_mutex_);
    return ht_out_;
  }
  std::vector<int> Ht_Codes() {
    std::lock_guard<std::mutex> lock(ht_mutex_);
    return ht_codes_;
  }

  fs::path dir_;
  InstanceHandle handle_{};
  Recorder window_;
  std::string device_;
  std::shared_ptr<platform::NullModem> line_;
  std::unique_ptr<platform::SerialPort> ht_port_;
  std::thread ht_;
  std::mutex ht_mutex_;
  std::vector<std::string> ht_out_;
  std::vector<int> ht_codes_;
  std::atomic<int> ht_sessions_{0};
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Session 1 runs a run-once line that sends a file each way; session 2 finds
// no command and waits for the operator, whose line (without "/1") stays in
// force and runs again by itself in session 3.
TEST_F(Rs232Line, TransfersBothWaysRunOnceAndARepeatedCommandAcrossSessions) {
  const std::string to_ht = Random_Bytes(150000, 1);
  const std::string from_ht = Random_Bytes(90001, 2);
  std::ofstream(Pc_Dir() / "TO_HT.BIN", std::ios::binary) << to_ht;
  std::ofstream(Disk() / "FROM_HT.BIN", std::ios::binary) << from_ht;
  std::ofstream(Pc_Dir() / "AGAIN.TXT", std::ios::binary) << "sent in every session\n";

  // "//" ends the session once the run-once line is done.
  Write_Command_Buffer(kLineHt, ("/1/S " + Pc(Pc_Dir() / "TO_HT.BIN") + " A:\\/R \\FROM_HT.BIN " +
                                 Pc(Pc_Dir() / "in") + "//")
                                    .c_str());
  std::atomic<bool> again_after_2{false};
  std::string got_to_ht;  // written by the HT thread, read after it ended
  Start_Ht(3, [&](int i) {
    // The run-once line must not come back; the repeated one must.
    if (i == 0) {
      got_to_ht = Read_All(Disk() / "TO_HT.BIN");
      fs::remove(Disk() / "TO_HT.BIN");
    }
    if (i == 1) {
      again_after_2 = fs::exists(Disk() / "AGAIN.TXT");
      fs::remove(Disk() / "AGAIN.TXT");
    }
  });
  ASSERT_EQ(Start_A_Session(LINK_RS232C, 0), 1);

  // Session 2: the HT is idle, the engine waits for the operator.
  ASSERT_TRUE(Pump_Until([] { return platform::Load(Info_Of(kLineHt).WaitingGUICommand) == 1; }));
  Write_Command_Buffer(kLineHt, ("/S " + Pc(Pc_Dir() / "AGAIN.TXT") + " A:\\").c_str());
  ASSERT_TRUE(Pump_Until([&] { return ht_sessions_.load() >= 3; }));
  ht_.join();

  const std::uint64_t start = platform::Monotonic_Ms();
  EXPECT_EQ(Stop_A_Session(LINK_RS232C, 0), 1);
  EXPECT_LT(platform::Monotonic_Ms() - start, 5000u);

  const std::vector<std::string> out = Ht_Out();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(Ht_Codes(), (std::vector<int>{kExitOk, kExitOk, kExitOk})) << out[0] << out[1] << out[2];
  // Byte for byte, both ways.
  EXPECT_TRUE(Has(out[0], "pc recv A:\\TO_HT.BIN bytes=150000")) << out[0];
  EXPECT_TRUE(Has(out[0], "pc fetch \\FROM_HT.BIN files=1 bytes=90001")) << out[0];
  EXPECT_TRUE(got_to_ht == to_ht);
  EXPECT_TRUE(Read_All(Pc_Dir() / "in" / "FROM_HT.BIN") == from_ht);
  EXPECT_FALSE(fs::exists(Disk() / "TO_HT.BIN"));
  EXPECT_FALSE(Has(out[1], "TO_HT.BIN")) << out[1];
  EXPECT_FALSE(Has(out[2], "TO_HT.BIN")) << out[2];
  EXPECT_FALSE(Has(out[1], "FROM_HT.BIN")) << out[1];
  EXPECT_FALSE(Has(out[0], "AGAIN.TXT")) << out[0];
  // The operator's line ran in session 2 and again in session 3.
  EXPECT_TRUE(again_after_2.load());
  EXPECT_TRUE(Has(out[1], "pc recv A:\\AGAIN.TXT bytes=22")) << out[1];
  EXPECT_TRUE(Has(out[2], "pc recv A:\\AGAIN.TXT bytes=22")) << out[2];
  EXPECT_EQ(Read_All(Disk() / "AGAIN.TXT"), "sent in every session\n");
  EXPECT_EQ(window_.Count(WM_ONESHOT_END), 0);
}

static_assert(WM_ONESHOT_END == 1031);

// In one-shot mode the loop ends after one session and tells the window so.
TEST_F(Rs232Line, OneShotModeEndsTheLoopAfterOneSessionAndPosts1031) {
  platform::Store(OneShotMode, std::int32_t{1});
  std::ofstream(Pc_Dir() / "AGAIN.TXT", std::ios::binary) << "once\n";
  Write_Command_Buffer(kLineHt, ("/S " + Pc(Pc_Dir() / "AGAIN.TXT") + " A:\\").c_str());
  Start_Ht(1);

  std::atomic<bool> done{false};
  short result = 0;
  RS232_ROX engine;
  std::thread loop([&] {
    result = engine.ROX_Start(kLineHt);
    done = true;
  });
  const bool ended = Pump_Until([&] { return done.load(); });
  if (!ended) Set_Abort_From_GUI(kLineHt, std::int32_t{1});
  loop.join();
  ht_.join();
  platform::Pump_Messages();
  ASSERT_TRUE(ended);

  EXPECT_EQ(result, E_PC_END);
  EXPECT_EQ(window_.Count(WM_ONESHOT_END), 1);
  EXPECT_EQ(Ht_Codes(), (std::vector<int>{kExitOk}));
  EXPECT_EQ(Read_All(Disk() / "AGAIN.TXT"), "once\n");
  EXPECT_TRUE(Command_Buffer_Empty(kLineHt));
}

// An HT that holds its session but says nothing leaves the engine in a
// receive with a 60-second limit; stopping the link ends it at once, and
// the HT still gets the end indication of an abort.
TEST_F(Rs232Line, StopWhileTheHtIsSilentEndsTheSessionPromptly) {
  std::atomic<bool> in_wait{false};
  std::atomic<int> step{0};  // how far the HT got
  PacketView end{};
  Bytes end_packet;
  ht_ = std::thread([&] {
    const std::uint64_t deadline = platform::Monotonic_Ms() + 30000;
    SerialLink link(*ht_port_);
    HtLink::Greeting g;
    if (link.Open(deadline, &g) != HtLink::Status::kOk) return;
    step = 1;
    link.Send(Session_Info_Request(1, "silent"));
    Bytes answer;
    if (link.Receive(&answer, deadline) != HtLink::Status::kOk || answer.size() < 2 || answer[1] != 'X') return;
    step = 2;
    in_wait = true;
    if (link.Receive(&end_packet, deadline) != HtLink::Status::kOk) return;
    step = 3;
    bool by_exchange = false;
    link.Close(deadline, &by_exchange);
  });
  ASSERT_EQ(Start_A_Session(LINK_RS232C, 0), 1);
  ASSERT_TRUE(Pump_Until([&] { return in_wait.load(); }, 10000)) << "step " << step.load();
  // The engine is back in its receive for the HT's next request.
  platform::Sleep_Ms(300);

  const std::uint64_t start = platform::Monotonic_Ms();
  EXPECT_EQ(Stop_A_Session(LINK_RS232C, 0), 1);
  const std::uint64_t spent = platform::Monotonic_Ms() - start;
  EXPECT_LT(spent, 5000u) << "the stop waited for the receive's time limit";
  std::cout << "stop took " << spent << " ms\n";
  ht_.join();

  ASSERT_EQ(step.load(), 3);
  ASSERT_EQ(Read_Packet(end_packet.data(), end_packet.size(), &end), 0);
  std::uint8_t error_class = 0, detail = 0;
  ASSERT_EQ(Decode_End(end, &error_class, &detail), 0);
  EXPECT_EQ(end.command, 'E');
  // The operator's abort (29), as after a receive that timed out.
  EXPECT_EQ(Code_Of(error_class, detail), E_BREAK_KEY);
}

}  // namespace
}  // namespace htsim
