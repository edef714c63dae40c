// The shared session table, the settings globals and the engine's
// construction and copy.
#include <cstring>

#include "engine/rox32.h"
#include "platform/atomic.h"

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

void Write_Command_Buffer(int ht, const char* line) {
  char* slot = Dll_Cmd_Buf[ht - 1];
  std::size_t n = strnlen(line, CMD_BUF_SIZE - 1);
  if (n == 0) {
    Clear_Command_Buffer(ht);
    return;
  }
  // Everything but the first byte, then the terminator, then the first byte
  // with release so that a reader that sees it sees the whole line.
  platform::Store_Bytes(slot + 1, line + 1, n - 1);
  platform::Fill_Bytes(slot + n, '\0', 1);
  platform::Store(slot[0], line[0]);
}

bool Command_Buffer_Empty(int ht) { return platform::Load(Dll_Cmd_Buf[ht - 1][0]) == '\0'; }

bool Read_Command_Buffer(int ht, char* out, std::size_t size) {
  if (size == 0) return false;
  const char* slot = Dll_Cmd_Buf[ht - 1];
  char first = platform::Load(slot[0]);
  if (first == '\0') {
    out[0] = '\0';
    return false;
  }
  std::size_t limit = size < CMD_BUF_SIZE ? size : CMD_BUF_SIZE;
  out[0] = first;
  std::size_t i = 1;
  for (; i < limit - 1; ++i) {
    platform::Load_Bytes(out + i, slot + i, 1);
    if (out[i] == '\0') break;
  }
  out[i < limit ? i : limit - 1] = '\0';
  return true;
}

void Clear_Command_Buffer(int ht) {
  char* slot = Dll_Cmd_Buf[ht - 1];
  platform::Store(slot[0], '\0');
  platform::Fill_Bytes(slot + 1, '\0', CMD_BUF_SIZE - 1);
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
