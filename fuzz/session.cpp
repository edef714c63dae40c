// A whole engine session on the fake channel: the input is what the HT
// sends. Every drive letter maps to one scratch folder, PC paths outside it
// are refused and child programs are never started, so nothing outside the
// scratch folder can be touched. The session is bounded: the script of the
// fake channel ends with a broken channel, a watchdog stops a session that
// waits for an operator's command or runs longer than two seconds, and
// the input is at most 64 KiB.
//
// Input: byte 0 selects the checksum repair (bit 0) and the operator's
// command line handed in before the session (bits 1-5, 0 = none); the rest
// is the HT's byte stream.
//
// After each session the scratch folder must hold no staging file and the
// PC file the fetch commands target must be whole: its old content or a
// complete new one.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "engine/rox32.h"
#include "fuzz/fuzz_support.h"
#include "platform/atomic.h"
#include "platform/faults.h"
#include "platform/msgbox.h"
#include "platform/pcfs.h"
#include "testsupport/fake_channel.h"

namespace {

namespace fs = std::filesystem;

constexpr int kHt = 1;

// Operator command lines: transfers both ways, appends, deletes, moves,
// information, clock, display, buzzer, a script; "/1" runs each once.
const char* const kCommands[] = {
    nullptr,
    "/1/S C:\\OUT.DAT A:\\",
    "/1/SO C:\\OUT.DAT A:\\",
    "/1/SR C:\\TREE\\*.* A:\\",
    "/1/R A:\\SALES.DAT C:\\IN\\",
    "/1/RO A:\\*.DAT C:\\IN\\",
    "/1/A C:\\OUT.DAT A:\\PRICES.DAT",
    "/1/AR A:\\SALES.DAT C:\\IN\\LOG.DAT",
    "/1/D A:\\OLD.DAT",
    "/1/DRO A:\\*.*",
    "/1/N A:\\A.DAT A:\\B.DAT",
    "/1/I A:",
    "/1/I A:\\*.*",
    "/1/T",
    "/1/T 2024-02-29 23:59:58",
    "/1/XR A:\\PRICES.DAT 100 2024-01-01 10:00:00",
    "/1/P \"Hello there\"",
    "/1/B",
    "/1/E RUN.SCR",
    "/1/F A:",
    "/1//",
    "/1/S C:\\OUT.DAT C:\\TREE\\X.DAT A:\\//3",
};
constexpr std::size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

const std::string kOldLog = "old log line\r\n";

std::atomic<bool> g_running{false};
std::atomic<std::int64_t> g_started_ms{0};

std::int64_t Now_Ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Stops a session that waits for a command or has run too long, as the
// operator's stop button does.
void Watchdog() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!g_running.load()) continue;
    const InfoHT& info = Info_Of(kHt);
    if (platform::Load(info.WaitingGUICommand) == 1 || Now_Ms() - g_started_ms.load() > 2000)
      Set_Abort_From_GUI(kHt, 1);
  }
}

std::string Root() { return fuzz::Scratch_Folder() + "/drive"; }

void Put(const std::string& rel, const std::string& text) {
  const fs::path p = fs::path(Root()) / rel;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

void Set_Field(char (&field)[1024], const std::string& s) {
  std::fill(std::begin(field), std::end(field), '\0');
  s.copy(field, sizeof field - 1);
}

void Set_Up_Once() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::string table;
    for (char c = 'A'; c <= 'Z'; ++c) table += std::string(1, c) + "=" + Root() + ";";
    ::setenv("TARNEL_DRIVES", table.c_str(), 1);
    platform::faults::Refuse_Child_Programs(true);
    platform::Set_Message_Box_Handler(
        [](const std::string&, const std::string&, unsigned) { return platform::IDOK; });
    GCommandTimeout = 0;
    GChildThrough = 0;
    GErrCode = 0;
    OneShotMode = 0;
    std::thread(Watchdog).detach();
  });
  fuzz::Empty_Scratch_Folder();
  fs::create_directories(Root());
  platform::faults::Confine_Paths(Root());
  Set_Field(DefWorkFile, Root() + "/");
  Set_Field(DefErrorFile, Root() + "/error.log");
  Put("OUT.DAT", "0123456789 prices");
  Put("TREE/ONE.DAT", "one");
  Put("TREE/SUB/TWO.DAT", std::string(3000, 'x'));
  Put("IN/SALES.DAT", "old sales");
  Put("IN/LOG.DAT", kOldLog);
  Put("RUN.SCR", "/1/S C:\\OUT.DAT A:\\\r\nB\r\nI A:\r\n");
}

void Fail(const char* what, const std::string& where) {
  std::fprintf(stderr, "session fuzz: %s: %s\n", what, where.c_str());
  std::abort();
}

// No receive may leave its staging file behind.
void Check_No_Staging_Files() {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(Root(), ec); !ec && it != fs::end(it); it.increment(ec))
    if (platform::Is_Staging_Name(it->path().c_str())) Fail("staging file left", it->path().string());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 65536) return 0;
  Set_Up_Once();
  const std::uint8_t mode = data[0];
  fuzz::Bytes stream(data + 1, data + size);
  if (mode & 1) fuzz::Repair_Checksums(&stream);
  const char* command = kCommands[(mode >> 1) % kCommandCount];

  InfoHT& info = Info_Of(kHt);
  Clear_Command_Buffer(kHt);
  Set_Abort_From_GUI(kHt, 0);
  platform::Store(info.BusyFlag, std::int32_t{0});
  platform::Store(info.WaitingGUICommand, std::int32_t{0});
  platform::Store(info.Index, std::uint16_t{0});
  if (command != nullptr) Write_Command_Buffer(kHt, command);

  {
    testsupport::FakeChannel fake(2);
    fake.Set_Exhausted_Result(-1);
    fake.Set_Recv_Wait_Ms(0);
    fake.Feed(stream);
    RS232_ROX engine;
    engine.HTNumber = kHt;
    g_started_ms.store(Now_Ms());
    g_running.store(true);
    engine.Run_State_Machine(testsupport::FakeChannel::Channel());
    g_running.store(false);
  }
  Check_No_Staging_Files();
  return 0;
}
