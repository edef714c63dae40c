// The shared session table, the settings globals and the engine's
// construction and copy.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

#include "engine/rox32.h"
#include "engine/states_local.h"
#include "platform/atomic.h"
#include "platform/wakeup.h"

InfoHT HTInfoAry[256];
char Dll_Cmd_Buf[MAX_HT][CMD_BUF_SIZE];

platform::HWND HandleForROXToMainWindow = nullptr;
std::uint32_t MAX_WRITE_SIZE = 2032;
std::int32_t GCommandTimeout = 0;
std::int32_t GChildThrough = 0;
std::int32_t GErrCode = 0;
std::int32_t OneShotMode = 0;
char DefWorkFile[1024];
char DefErrorFile[1024];

InfoHT& Info_Of(int ht) { return HTInfoAry[ht - 1]; }

// A slot is changed by more than one thread (the application writes a line,
// the engine and the link manager clear it) and read by the engine while it
// may be changing. Each slot has a version that is odd while a writer is at
// work; a reader keeps its copy only when the version was even and the same
// before and after the copy, so it never takes a mix of two lines. Writers
// of one slot take turns through its mutex. The slot itself stays plain
// bytes in the shared table; the first byte is cleared before the rest
// changes and written last, so whoever only looks at the first byte sees
// either no line or a complete one.
namespace {

std::atomic<std::uint32_t> g_slot_version[MAX_HT];
platform::Wakeup g_engine_wake[MAX_HT];
std::mutex g_slot_writer[MAX_HT];

// How often a reader tries again while writers keep the slot changing; it
// reports an empty slot after that and the engine simply looks again later.
constexpr int kReadTries = 1000;

// Runs change on the slot of ht between the two version steps.
template <typename Change>
void Change_Slot(int ht, Change change) {
  std::lock_guard<std::mutex> turn(g_slot_writer[ht - 1]);
  std::atomic<std::uint32_t>& version = g_slot_version[ht - 1];
  const std::uint32_t v = version.load(std::memory_order_relaxed);
  version.store(v + 1, std::memory_order_relaxed);
  // Every byte is stored with release, so a reader that sees any of them
  // sees the odd version too.
  char* slot = Dll_Cmd_Buf[ht - 1];
  platform::Store(slot[0], '\0');
  change(slot);
  version.store(v + 2, std::memory_order_release);
  g_engine_wake[ht - 1].Wake();
}

}  // namespace

bool Write_Command_Buffer(int ht, const char* line) {
  const std::size_t n = strnlen(line, CMD_BUF_SIZE);
  if (n >= CMD_BUF_SIZE) return false;  // no room for its NUL: the slot stays as it was
  Change_Slot(ht, [&](char* slot) {
    for (std::size_t i = 1; i < n; ++i) platform::Store(slot[i], line[i]);
    if (n > 0) {
      platform::Store(slot[n], '\0');
      platform::Store(slot[0], line[0]);
    } else {
      for (std::size_t i = 1; i < CMD_BUF_SIZE; ++i) platform::Store(slot[i], '\0');
    }
  });
  return true;
}

bool Command_Buffer_Empty(int ht) { return platform::Load(Dll_Cmd_Buf[ht - 1][0]) == '\0'; }

bool Read_Command_Buffer(int ht, char* out, std::size_t size) {
  if (size == 0) return false;
  out[0] = '\0';
  const char* slot = Dll_Cmd_Buf[ht - 1];
  const std::atomic<std::uint32_t>& version = g_slot_version[ht - 1];
  const std::size_t limit = size < CMD_BUF_SIZE ? size : CMD_BUF_SIZE;
  for (int attempt = 0; attempt < kReadTries; ++attempt) {
    const std::uint32_t before = version.load(std::memory_order_acquire);
    if (before & 1u) {
      std::this_thread::yield();
      continue;
    }
    const char first = platform::Load(slot[0]);
    if (first == '\0') {
      out[0] = '\0';
      return false;
    }
    out[0] = first;
    std::size_t i = 1;
    for (; i < limit - 1; ++i) {
      out[i] = platform::Load(slot[i]);
      if (out[i] == '\0') break;
    }
    out[i < limit ? i : limit - 1] = '\0';
    // The byte loads acquire, so this load cannot come before them.
    if (version.load(std::memory_order_relaxed) == before) return true;
    std::this_thread::yield();
  }
  out[0] = '\0';
  return false;
}

void Clear_Command_Buffer(int ht) {
  Change_Slot(ht, [](char* slot) {
    for (std::size_t i = 1; i < CMD_BUF_SIZE; ++i) platform::Store(slot[i], '\0');
  });
}

platform::Wakeup& states::Engine_Wake(int ht) { return g_engine_wake[ht - 1]; }

void Wake_Engine(int ht) {
  if (ht >= 1 && ht <= MAX_HT) g_engine_wake[ht - 1].Wake();
}

void Set_Abort_From_GUI(int ht, std::int32_t value) {
  if (ht < 1 || ht > MAX_HT) return;
  platform::Store(Info_Of(ht).AbortFromGUI, value);
  g_engine_wake[ht - 1].Wake();
}

void Set_Command_Timeout(std::int32_t seconds) {
  platform::Store(GCommandTimeout, seconds);
  for (platform::Wakeup& w : g_engine_wake) w.Wake();
}

ROX32::ROX32() {
  // Every member zero or empty, then the two that start at 1.
  State = 0;
  ListRewind = 0;
  PacketBuf = nullptr;
  CheckGuiFirst = ScriptMode = TransferOption = PcDriven = EndSession = 0;
  HtSendsFile = RS232StopFlag = DeleteReadOnly = RemoveDirs = 0;
  std::memset(DeleteSpec, 0, sizeof DeleteSpec);
  std::memset(CurrentFile, 0, sizeof CurrentFile);
  std::memset(CommandList, 0, sizeof CommandList);
  std::memset(ScriptCommand, 0, sizeof ScriptCommand);
  std::memset(SessionText, 0, sizeof SessionText);
  ListCursor = nullptr;
  FileCount = 0;
  HTNumber = 0;
  PostStatus = 0;
  OpenFailCount = OpenFailReported = 0;
  BoxChannel = NetChannel = 0;
  BytesExpected = 0;
  SourceFile = ScriptFile = ListFile = nullptr;
  ListFileName = nullptr;
  std::memset(&RxFrame, 0, sizeof RxFrame);
  std::memset(&SavedInfo, 0, sizeof SavedInfo);
  std::memset(&SessionInfo, 0, sizeof SessionInfo);
  OpMode = 0;
  SessionCount = 0;
  AppendLock = nullptr;
  SetClockPending = 0;
  RepeatCommand = 1;
  GroupIndex = 1;
}

// A copy shares pointers and open streams with its source, as on the PC.
ROX32::ROX32(const ROX32& other) = default;
ROX32& ROX32::operator=(const ROX32& other) = default;

RS232_ROX::RS232_ROX() : ROX32() {}
RS232_ROX::RS232_ROX(const RS232_ROX& other) : ROX32(other) {}
RS232_ROX& RS232_ROX::operator=(const RS232_ROX& other) {
  ROX32::operator=(other);
  return *this;
}
// The state machine releases the packet buffer and files at each session's
// end; the destructor has nothing to do.
RS232_ROX::~RS232_ROX() = default;
