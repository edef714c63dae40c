// The SCSI link end to end: the simulator back end (loaded with dlopen)
// reaching IO boxes that htsim plays in a process of its own. Two kinds:
// the headless server serving IF=SCSI, and the link manager in this process
// with a driver clock twenty times faster, so 40-second deadlines and the pause
// after an IO-box reset pass in a few seconds.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "channel/mux32.h"
#include "engine/rox32.h"
#include "linkman/testing.h"
#include "linkman/tether32.h"
#include "platform/aspi_library.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/spawn.h"
#include "platform/window.h"
#include "scsi/boxlink.h"
#include "scsi/testing.h"
#include "tests/e2e/e2e.h"

namespace {

using e2e::ScratchDir;

std::string Bus_Name(const char* what) {
  return "tarnel-e2e-" + std::string(what) + "-" + std::to_string(platform::Monotonic_Ms());
}

std::string Pc_Path(const std::string& native) {
  std::string p = "C:" + native;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

std::string Scsi_Device_Ini(const std::string& dir) {
  return "IF=SCSI\r\nErrorFile=" + dir + "/error.log\r\nWorkFile=" + dir +
         "\r\nINFORMATION=e2e\r\n[SCSI]\r\nScantime=1\r\n[ETHERNET]\r\nPORTNO=1\r\n";
}

// htsim playing the SCSI bus.
class BusSim {
 public:
  BusSim(const ScratchDir& dir, std::string name) : dir_(dir), name_(std::move(name)) {}
  bool Start(const std::vector<std::string>& boxes, double timeout_s = 60) {
    std::vector<std::string> argv = {HTSIM_EXE, "--scsi", name_, "--timeout",
                                     std::to_string(timeout_s * TARNEL_E2E_TIME_FACTOR)};
    argv.insert(argv.end(), boxes.begin(), boxes.end());
    std::string why;
    if (!child_.Start(argv, dir_.File("bus.out"), dir_.File("bus.err"), {}, &why)) return false;
    return e2e::Wait_For_Text(dir_.File("bus.out"), "link bus ", e2e::Scaled(5000));
  }
  std::string Out() const { return e2e::Read_File(dir_.File("bus.out")); }
  int Wait(int ms) {
    int status = -1;
    return child_.Wait(e2e::Scaled(ms), &status) ? status : -1;
  }
  ~BusSim() {
    if (child_.Pid() > 0 && Wait(0) < 0) {
      child_.Signal(SIGTERM);
      Wait(5000);
    }
  }

 private:
  const ScratchDir& dir_;
  std::string name_;
  platform::ChildProcess child_;
};

// ---- The headless server -------------------------------------------------------

TEST(ScsiE2E, HeadlessServerServesTwoIoBoxesWithTransfersBothWays) {
  ScratchDir dir("scsi-server");
  dir.Write("device.ini", Scsi_Device_Ini(dir.Path()));
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  std::filesystem::create_directories(dir.File("d0"));
  std::filesystem::create_directories(dir.File("d2"));
  std::string up(100000, '\0');
  for (std::size_t i = 0; i < up.size(); ++i) up[i] = static_cast<char>('A' + i % 23);
  dir.Write("d2/UP.DAT", up);
  std::string down(70000, '\0');
  for (std::size_t i = 0; i < down.size(); ++i) down[i] = static_cast<char>('a' + i % 19);
  dir.Write("DOWN.DAT", down);

  const std::string name = Bus_Name("server");
  setenv("TARNEL_SCSI_SIM", name.c_str(), 1);
  setenv("TARNEL_ASPI_LIBRARY", ASPI_SIM_LIBRARY, 1);
  BusSim bus(dir, name);
  ASSERT_TRUE(bus.Start({"--box", "0", "--disk", dir.File("d0"), "--do", "session zero", "--do", "time",
                         "--box", "2", "--disk", dir.File("d2"), "--do",
                         "send UP.DAT " + Pc_Path(dir.File("UP.DAT")), "--do",
                         "fetch " + Pc_Path(dir.File("DOWN.DAT")), "--do", "end 5 4",
                         "--box", "3", "--kind", "other"}))
      << bus.Out();
  e2e::Server server(dir);
  ASSERT_TRUE(server.Start()) << server.Out() << server.Err();
  EXPECT_EQ(bus.Wait(60000), 0) << bus.Out();
  const std::string out = bus.Out();
  EXPECT_NE(out.find("box 0 ht session number="), std::string::npos) << out;
  EXPECT_NE(out.find("box 2 ht send UP.DAT"), std::string::npos) << out;
  EXPECT_NE(out.find("box 2 ht recv"), std::string::npos) << out;
  EXPECT_EQ(e2e::Read_File(dir.File("UP.DAT")), up);
  bool fetched = false;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.File("d2")))
    if (e.path().filename() == "DOWN.DAT") fetched = e2e::Read_File(e.path().string()) == down;
  EXPECT_TRUE(fetched) << "the PC's file reached box 2's disk";
  // Box 2 is HT 3 on the status lines and IO-box position 2 in the error log.
  EXPECT_TRUE(server.Wait_For("HT 3 session ", 10000)) << server.Out();
  EXPECT_TRUE(server.Wait_For("HT 1 session ", 10000)) << server.Out();
  EXPECT_EQ(server.Out().find("HT 4 "), std::string::npos) << "the other device is not served";
  EXPECT_TRUE(e2e::Wait_For_Text(dir.File("error.log"), "\n  2 ", e2e::Scaled(5000)))
      << e2e::Read_File(dir.File("error.log"));
  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(30000), 0) << server.Out() << server.Err();
}

TEST(ScsiE2E, HeadlessServerWithoutABusEndsTheStartWithOpenError) {
  ScratchDir dir("scsi-nobus");
  dir.Write("device.ini", Scsi_Device_Ini(dir.Path()));
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  setenv("TARNEL_SCSI_SIM", Bus_Name("nobody").c_str(), 1);
  setenv("TARNEL_ASPI_LIBRARY", ASPI_SIM_LIBRARY, 1);
  e2e::Server server(dir);
  ASSERT_TRUE(server.Start(false));
  EXPECT_NE(server.Wait(20000), 0);
  EXPECT_NE((server.Out() + server.Err()).find("Open Error"), std::string::npos) << server.Out() << server.Err();
}

// ---- The link manager in this process --------------------------------------------

std::int64_t Fast_Seconds() { return static_cast<std::int64_t>(platform::Monotonic_Ms() / 50); }
std::uint32_t Fast_Tick() { return static_cast<std::uint32_t>(platform::Monotonic_Ms() * 20); }
void Fast_Sleep(std::uint32_t ms) { platform::Sleep_Ms(ms / 20 > 0 ? ms / 20 : 1); }
const boxlink::Clock kFast = {Fast_Seconds, Fast_Tick, Fast_Sleep};

// Counts the INQUIRYs per target that go through the real back end.
std::atomic<int> g_inquiries[8];
std::uint32_t Counting_Support() { return platform::Aspi_Support_Entry()(); }
std::uint32_t Counting_Send(void* srb) {
  auto* b = static_cast<std::uint8_t*>(srb);
  if (b[0] == SC_EXEC_SCSI_CMD) {
    auto* r = static_cast<SRB_ExecSCSICmd*>(srb);
    if (r->CDBByte[0] == 0x12 && r->SRB_Target < 8) ++g_inquiries[r->SRB_Target];
  }
  return platform::Aspi_Send_Entry()(srb);
}

class Window : public platform::MessageTarget {
 public:
  void Handle(const platform::Message& m) override {
    if (m.msg == platform::WM_USER + 5 && m.wParam == 0) codes.push_back(static_cast<int>(m.lParam));
  }
  int Count(int code) const {
    int n = 0;
    for (int c : codes) n += c == code;
    return n;
  }
  std::vector<int> codes;
};

class ScsiLinkE2E : public ::testing::Test {
 protected:
  ScsiLinkE2E() : dir_("scsi-link") {}
  void SetUp() override {
    dir_.Write("device.ini", Scsi_Device_Ini(dir_.Path()));
    std::snprintf(handle_.module_path, sizeof handle_.module_path, "%s/tarnel", dir_.Path().c_str());
    Instance_Handle = &handle_;
    HandleForTetherToMainWindow = &window_;
    HandleForROXToMainWindow = &window_;
    std::snprintf(DefErrorFile, sizeof DefErrorFile, "%s", Pc_Path(dir_.File("error.log")).c_str());
    std::snprintf(DefWorkFile, sizeof DefWorkFile, "%s", Pc_Path(dir_.Path()).c_str());
    setenv("TARNEL_SCSI_SIM", bus_name().c_str(), 1);
    setenv("TARNEL_ASPI_LIBRARY", ASPI_SIM_LIBRARY, 1);
    ASSERT_TRUE(platform::Aspi_Load());
    for (auto& n : g_inquiries) n = 0;
    boxlink::Set_Back_End(Counting_Support, Counting_Send);
    boxlink::Set_Clock(&kFast);
    tether::Set_Listen_Pause_Ms(50);
    tether::Set_Box_Reset_Pause_Ms(300);
  }
  void TearDown() override {
    if (Session_Running(LINK_SCSI)) Stop_A_Session(LINK_SCSI, 0);
    End_Remaining_Sessions(5000);
    boxlink::Set_Clock(nullptr);
    boxlink::Use_Real_Back_End();
    tether::Set_Listen_Pause_Ms(1000);
    tether::Set_Box_Reset_Pause_Ms(15000);
    HandleForTetherToMainWindow = nullptr;
    HandleForROXToMainWindow = nullptr;
    Instance_Handle = nullptr;
    Reset_This_Function_Called_Before_Flag();
  }
  std::string bus_name() { return name_; }
  // Waits (bounded) for pred, handling the window's messages meanwhile.
  bool Wait_Until(const std::function<bool()>& pred, int ms) {
    const std::uint64_t end = platform::Monotonic_Ms() + static_cast<std::uint64_t>(e2e::Scaled(ms));
    while (!pred()) {
      if (platform::Monotonic_Ms() >= end) return false;
      platform::Pump_Messages();
      platform::Wait_Message(10);
    }
    platform::Pump_Messages();
    return true;
  }
  int Results(const std::string& box) { return e2e::Count_Lines(bus_.Out(), box + " result exit="); }

  ScratchDir dir_;
  std::string name_ = Bus_Name("link");
  BusSim bus_{dir_, name_};
  InstanceHandle handle_{};
  Window window_;
};

TEST_F(ScsiLinkE2E, PowerOnScanAndRejectedDeviceAskedOnlyOncePerStart) {
  // Boxes 0 and 2 answer greetings, but their terminals never call.
  ASSERT_TRUE(bus_.Start({"--box", "0", "--call-after", "600000", "--box", "2", "--call-after", "600000",
                          "--box", "3", "--kind", "other"}));
  Check_For_PowerOn_IOboxes_And_Change_Gscsiscan();
  EXPECT_EQ(Info_Of(1).StartStatus, 1);
  EXPECT_EQ(Info_Of(2).StartStatus, 0);
  EXPECT_EQ(Info_Of(3).StartStatus, 4);
  EXPECT_EQ(Info_Of(4).StartStatus, 0);
  EXPECT_EQ(Gscsi_scan, 5);
  EXPECT_EQ(g_inquiries[0].load(), 1);
  Check_For_PowerOn_IOboxes_And_Change_Gscsiscan();
  Check_For_PowerOn_IOboxes();
  EXPECT_EQ(g_inquiries[0].load(), 1) << "scanned once until re-armed";
  Reset_This_Function_Called_Before_Flag();
  Check_For_PowerOn_IOboxes();
  EXPECT_EQ(g_inquiries[0].load(), 2);

  // Served: everything on the bus; the device at ID 3 is asked once.
  Gscsi_scan = 0x7F;
  const int asked_before = g_inquiries[3].load();
  ASSERT_EQ(Start_A_Session(LINK_SCSI, 0), 1);
  platform::Sleep_Ms(500);
  EXPECT_EQ(g_inquiries[3].load(), asked_before + 1) << "rejected until ch_reset";
  ASSERT_EQ(Stop_A_Session(LINK_SCSI, 0), 1);
  Gscsi_scan = 0x7F;
  ASSERT_EQ(Start_A_Session(LINK_SCSI, 0), 1);
  platform::Sleep_Ms(300);
  EXPECT_EQ(g_inquiries[3].load(), asked_before + 2) << "asked again after the reset";
}

TEST_F(ScsiLinkE2E, HungBoxIsReportedOncePerBoxUntilTheStop) {
  ASSERT_TRUE(bus_.Start({"--box", "4", "--kind", "hang", "--box", "5", "--kind", "hang"}));
  Gscsi_scan = 0x30;
  ASSERT_EQ(Start_A_Session(LINK_SCSI, 0), 1) << "greetings pass their deadline; the start goes on";
  EXPECT_TRUE(Wait_Until([&] { return window_.Count(91) == 1 && window_.Count(92) == 1; }, 15000));
  Wait_Until([] { return false; }, 500);
  EXPECT_EQ(window_.Count(91), 1) << "once per box";
  ASSERT_EQ(Stop_A_Session(LINK_SCSI, 0), 1);
  Gscsi_scan = 0x10;
  ASSERT_EQ(Start_A_Session(LINK_SCSI, 0), 1);
  EXPECT_TRUE(Wait_Until([&] { return window_.Count(91) == 2; }, 15000)) << "reported again after a stop";
}

TEST_F(ScsiLinkE2E, CloseThatResetsTheBoxGivesMessage95AndThePause) {
  ASSERT_TRUE(bus_.Start({"--box", "1", "--kind", "hang-close", "--do", "session x"}));
  Gscsi_scan = 0x02;
  ASSERT_EQ(Start_A_Session(LINK_SCSI, 0), 1);
  EXPECT_TRUE(Wait_Until([&] { return window_.Count(95) == 1; }, 30000)) << bus_.Out();
  EXPECT_TRUE(Wait_Until([&] { return window_.Count(88) == 1; }, 5000)) << "the box is reported hung up";
  EXPECT_NE(bus_.Out().find("box 1 ht session number="), std::string::npos) << bus_.Out();
}

TEST_F(ScsiLinkE2E, BoxesAreGreetedAgainAfterEveryStopAndStart) {
  ASSERT_TRUE(bus_.Start({"--box", "0", "--sessions", "3", "--call-after", "1500", "--do", "session again"}));
  for (int run = 1; run <= 3; ++run) {
    Gscsi_scan = 0x01;
    ASSERT_EQ(Start_A_Session(LINK_SCSI, 0), 1) << run;
    EXPECT_TRUE(Wait_Until([&] { return Results("box 0") >= run; }, 20000)) << "run " << run << "\n" << bus_.Out();
    ASSERT_EQ(Stop_A_Session(LINK_SCSI, 0), 1);
  }
  EXPECT_EQ(e2e::Count_Lines(bus_.Out(), "box 0 result exit=0"), 3) << bus_.Out();
}

}  // namespace
