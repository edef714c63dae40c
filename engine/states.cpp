// The session loop: one session on an accepted channel (Run_State_Machine),
// the RS-232C loop that owns its line and runs session after session
// (ROX_Start), and the helpers every state shares: the abort poll, sending
// the packet buffer, receiving the HT's answer, the command list cursor.
//
// Pacing: the loop sleeps 5 ms before each step of the two master states
// (wait and idle) only. A transfer state step never sleeps, so a transfer
// runs block after block as fast as the channel carries them.
#include <cstring>
#include <new>

#include "channel/mux32.h"
#include "engine/rox32.h"
#include "engine/states_local.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/window.h"

namespace {

constexpr std::uint32_t kStepSleepMs = 5;
constexpr std::uint32_t kListenSleepMs = 1000;
// Pause before the line is set up again after a failed accept, so that a
// line that keeps failing is retried at the listener's pace, not in a spin.
constexpr std::uint32_t kAcceptRetryMs = 1000;
constexpr long kSendTimeout = -5;

thread_local FileInfoSearch* t_session_search = nullptr;

// Makes search the get-file-information search of the session running on
// this thread while the scope lives.
class SearchScope {
 public:
  explicit SearchScope(FileInfoSearch* search) : saved_(t_session_search) { t_session_search = search; }
  ~SearchScope() { t_session_search = saved_; }
  SearchScope(const SearchScope&) = delete;
  SearchScope& operator=(const SearchScope&) = delete;

 private:
  FileInfoSearch* saved_;
};

unsigned char* Allocate_Packet_Buffer() { return new (std::nothrow) unsigned char[PACKET_BUF_SIZE](); }

void Free_Packet_Buffer(RS232_ROX& e) {
  delete[] e.PacketBuf;
  e.PacketBuf = nullptr;
}

void Clear_Command_List(RS232_ROX& e) { std::memset(e.CommandList, 0, sizeof e.CommandList); }

// Closes every file a session may leave open: the file being sent, the
// script, and the temporary list file (which is also deleted).
void Close_Session_Files(RS232_ROX& e) {
  if (e.SourceFile) std::fclose(e.SourceFile);
  e.SourceFile = nullptr;
  if (e.ScriptFile) std::fclose(e.ScriptFile);
  e.ScriptFile = nullptr;
  if (e.ListFile) {
    RS232_ROX::CloseDeleteFile(e.ListFile, e.ListFileName);
    e.ListFileName = nullptr;
  }
  e.ListFile = nullptr;
}

// What ROX_Start releases whenever it returns.
void Release_All(RS232_ROX& e) {
  Free_Packet_Buffer(e);
  Clear_Command_List(e);
  std::memset(e.ScriptCommand, 0, sizeof e.ScriptCommand);
  e.Clear_UI_Command();
  e.EndSession = 0;
  Set_Abort_From_GUI(e.HTNumber, 0);
  if (platform::Load(OneShotMode) != 0)
    platform::Post_Message(HandleForROXToMainWindow, WM_ONESHOT_END, 0, 0);
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared helpers

namespace states {

InfoHT* Record_Of(int ht) { return ht >= 1 && ht <= MAX_HT ? &Info_Of(ht) : nullptr; }

void Set_Busy(int ht, int value) {
  if (InfoHT* r = Record_Of(ht)) platform::Store(r->BusyFlag, static_cast<std::int32_t>(value));
}

void Set_Waiting(int ht, int value) {
  if (InfoHT* r = Record_Of(ht)) platform::Store(r->WaitingGUICommand, static_cast<std::int32_t>(value));
}

FileInfoSearch* Session_Search() {
  thread_local FileInfoSearch own;
  return t_session_search ? t_session_search : &own;
}

void Report_Code(RS232_ROX& engine, int code) {
  engine.Update_Status(engine.SessionInfo.Session, nullptr, 0, 0, code, engine.OpMode);
}

char* Clear_List_If_Once(RS232_ROX& engine, char* next) {
  if (engine.RepeatCommand != 0) return next;
  Clear_Command_List(engine);
  return engine.CommandList;
}

}  // namespace states

short RS232_ROX::Poll_Abort_Flag() {
  InfoHT* r = states::Record_Of(HTNumber);
  std::int32_t abort = r ? platform::Load(r->AbortFromGUI) : 0;
  EndSession = static_cast<char>(abort & 0xFF);
  return EndSession != 0 ? E_BREAK_KEY : E_NORMAL;
}

long RS232_ROX::Send_Packet_Buffer(int channel) {
  if (PacketBuf == nullptr) return CH_BAD_ARGUMENT;
  unsigned length = Get_DataLength(PacketBuf);
  // Builders never produce more than the buffer holds; a header that says
  // otherwise is not sent.
  if (length > PACKET_BUF_SIZE) return CH_BAD_ARGUMENT;
  return Send(channel, PacketBuf, static_cast<unsigned short>(length));
}

short RS232_ROX::Send_Failure(long send_result) {
  Error(static_cast<short>(HTNumber), send_result == kSendTimeout ? E_TIMEOUT : E_COMMUNICATION);
  return E_END_FROM_HT;
}

short RS232_ROX::Receive_Answer(int channel) {
  short r = Receive_Packet(channel, PacketBuf);
  if (r != E_NORMAL) return r;
  if (PacketBuf[1] == 'E') {
    // The HT ended the session: its class is at offset 6, its detail at 5.
    Error(static_cast<short>(HTNumber), Get_Error_Message(PacketBuf[6], PacketBuf[5]));
    return E_END_FROM_HT;
  }
  return Validate_Packet(PacketBuf);
}

void RS232_ROX::Clear_UI_Command() {
  if (states::Record_Of(HTNumber)) Clear_Command_Buffer(HTNumber);
  SetClockPending = 0;
}

void RS232_ROX::Get_UI_Command(char* out, std::size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  if (states::Record_Of(HTNumber)) Read_Command_Buffer(HTNumber, out, size);
}

void RS232_ROX::Get_UI_Command(char* out) { Get_UI_Command(out, CMD_BUF_SIZE); }

char* RS232_ROX::Extract_Command(const char* list) {
  const char* end = std::strchr(list, states::kCommandEnd);
  if (end == nullptr) return nullptr;
  std::size_t n = static_cast<std::size_t>(end - list);
  char* copy = new (std::nothrow) char[n + 1];
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, list, n);
  copy[n] = '\0';
  return copy;
}

char* RS232_ROX::Update_CommandBuf(char* list) {
  char* end = std::strchr(list, states::kCommandEnd);
  return end ? end + 1 : list + std::strlen(list);
}

// ---------------------------------------------------------------------------
// One session

void RS232_ROX::Init_State_Machine() {
  State = 0;
  PcDriven = ScriptMode = CheckGuiFirst = TransferOption = EndSession = ListRewind = 0;
  FileCount = 0;
  BytesExpected = 0;
  // Streams of an earlier session were closed when it ended.
  SourceFile = ScriptFile = ListFile = nullptr;
  std::memset(CurrentFile, 0, sizeof CurrentFile);
  std::memset(&RxFrame, 0, sizeof RxFrame);
  std::memset(&SavedInfo, 0, sizeof SavedInfo);
  std::memset(&SessionInfo, 0, sizeof SessionInfo);
  // A kept script starts again from its command; any other list stays in
  // force for this session.
  if (ScriptCommand[0] != '\0') Clear_Command_List(*this);
  Update_Session_Info(SessionCount, &SessionInfo);
}

short RS232_ROX::Run_State_Machine(int channel) {
  if (PacketBuf == nullptr) {
    PacketBuf = Allocate_Packet_Buffer();
    if (PacketBuf == nullptr) return E_MEMORY;
  }
  FileInfoSearch search;
  SearchScope scope(&search);
  Init_State_Machine();

  char* next = CommandList;
  bool first_idle_pass = true;
  short code = E_NORMAL;
  while (EndSession == 0) {
    if (State == 0 || State == 1) platform::Sleep_Ms(kStepSleepMs);
    switch (State) {
      case 0:
        code = Wait_State_Process(channel);
        break;
      case 1:
        PcDriven = 1;
        if (first_idle_pass) {
          first_idle_pass = false;
        } else if (*next != '\0') {
          // The command of the previous pass is done.
          next = Update_CommandBuf(next);
          if (*next == '\0' && RepeatCommand == 0) {
            Clear_Command_List(*this);
            std::memset(CurrentFile, 0, sizeof CurrentFile);
            Clear_UI_Command();
            states::Set_Busy(HTNumber, 0);
            next = CommandList;
          }
        }
        next = Idle_State_Process(channel, next, &code);
        break;
      case 2:
        code = File_Info_Tx_State_Process(channel, next);
        break;
      case 3:
        code = File_Info_Rx_State_Process(channel, next);
        break;
      case 4:
        code = File_Data_Tx_State_Process(channel);
        break;
      case 5:
        code = File_Data_Rx_State_Process(channel);
        break;
      default:
        code = E_OTHER_PROTOCOL;
        break;
    }
    if (code != E_NORMAL) {
      Close_Session_Files(*this);
      EndSession = 1;
      const int kind = code == E_PC_END ? 3 : 0;
      Update_Status(SessionInfo.Session, nullptr, kind, kind, code, OpMode);
    }
  }
  Close_Session_Files(*this);

  // The HT learns every ending but its own (72) and the PC's normal end (73,
  // which already sent its end indication).
  if (code != E_END_FROM_HT && code != E_PC_END) {
    Error(static_cast<short>(HTNumber), code);
    long sent = Send_End_Indication_Packet(channel, code);
    if (sent < 1) Error(static_cast<short>(HTNumber), sent == kSendTimeout ? E_TIMEOUT : E_COMMUNICATION);
  }

  SessionCount = SessionCount > 254 ? 0 : static_cast<std::uint16_t>(SessionCount + 1);
  Free_Packet_Buffer(*this);
  return code;
}

// ---------------------------------------------------------------------------
// The RS-232C line

short RS232_ROX::ROX_Start(unsigned int htNumber) {
  if (PacketBuf == nullptr) {
    PacketBuf = Allocate_Packet_Buffer();
    if (PacketBuf == nullptr) return E_MEMORY;
  }
  SessionCount = 0;
  HTNumber = static_cast<std::int32_t>(htNumber);
  PostStatus = 1;

  short code = E_NORMAL;
  for (;;) {
    // Set up the line.
    int started = Startup_Channels(1);
    if (started < 0) {
      states::Report_Code(*this, E_STARTUP);
      Release_All(*this);
      return static_cast<short>(started);
    }
    int listener = Open();
    if (listener < 1) {
      Reset_Channels();
      // Every second failure in a row is worth a word, once in the
      // object's life.
      if (++OpenFailCount >= 2) {
        OpenFailCount = 0;
        if (!OpenFailReported) {
          OpenFailReported = 1;
          states::Report_Code(*this, E_OPEN);
        }
      }
      Release_All(*this);
      return -1;
    }
    Bind(0, 0);

    // Sessions on this line until one ends in a way that needs the line set
    // up again (restart) or ends the run (finish).
    bool restart = false;
    for (;;) {
      for (;;) {
        int waiting = Listen(listener, 1);
        if (waiting < 0) {
          Close(listener, 0);
          Reset_Channels();
          states::Report_Code(*this, E_LISTEN);
          Release_All(*this);
          return -1;
        }
        if (Poll_Abort_Flag() != E_NORMAL) {
          Close(listener, 0);
          Reset_Channels();
          Release_All(*this);
          return -1;
        }
        if (waiting > 0) break;
        platform::Sleep_Ms(kListenSleepMs);
      }

      int channel = Accept(listener);
      if (channel < 1) {
        states::Report_Code(*this, E_ACCEPT);
        Close(listener, 0);
        Reset_Channels();
        platform::Sleep_Ms(kAcceptRetryMs);
        restart = true;
        break;
      }

      code = Run_State_Machine(channel);
      states::Set_Busy(HTNumber, 0);
      OpMode = 0;
      Close(channel, code == E_END_FROM_HT ? 0 : 1);

      if (platform::Load(OneShotMode) != 0 || code == E_BREAK_KEY || code == E_COMMAND_TIMEOUT) {
        Clear_Command_List(*this);
        Clear_UI_Command();
        break;
      }
      if (code == E_NORMAL || code == E_PC_END) {
        // A command that stays in force runs again in the next session.
        if (RepeatCommand != 1) {
          Clear_Command_List(*this);
          Clear_UI_Command();
        }
        continue;
      }
      // Any failure: set the line up afresh.
      Close(listener, 0);
      Reset_Channels();
      if (RepeatCommand == 0) {
        Clear_Command_List(*this);
        Clear_UI_Command();
      }
      restart = true;
      break;
    }
    if (restart) continue;

    Close(listener, 0);
    Reset_Channels();
    Release_All(*this);
    return code;
  }
}
