// The idle state: the PC is the master. It takes a command line from this
// HT's command buffer or from the running script, translates it into basic
// commands in CommandList and carries them out one per pass, each with its
// own request and answer.
//
// Waiting for a command line sleeps on the HT's wake-up until the command
// buffer is written, the abort flag is set or the command time-out passes:
// an idle HT costs nothing, and a line written into the buffer is taken at
// once.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/bounded.h"
#include "engine/rox32.h"
#include "engine/states_local.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/pcfs.h"
#include "platform/process.h"
#include "platform/wakeup.h"

namespace {

// A script of this size or more is refused.
constexpr long kScriptLimit = 32768;

void Clear_List(RS232_ROX& e) { std::memset(e.CommandList, 0, sizeof e.CommandList); }

std::size_t Room_From(RS232_ROX& e, const char* at) {
  return static_cast<std::size_t>(e.CommandList + sizeof e.CommandList - at);
}

// The text after a basic command's letter and flags: everything behind its
// first two characters ("B cmdline", "I path").
const char* Argument_Of(const char* command) { return std::strlen(command) >= 2 ? command + 2 : ""; }

// Waits for a command line in this HT's buffer and copies it into line
// (CMD_BUF_SIZE bytes): 0, 29 on an abort, 75 when GCommandTimeout seconds
// pass without one. Between looks the engine sleeps on its wake-up, which
// writing the buffer, setting the abort flag or changing the time-out
// triggers; with no time-out set it sleeps until one of those happens.
short Wait_For_UI_Command(RS232_ROX& e, char* line) {
  states::Set_Waiting(e.HTNumber, 1);
  platform::Wakeup& wake = states::Engine_Wake(e.HTNumber);
  const std::uint32_t start = platform::Get_Tick_Count();
  short r = E_NORMAL;
  for (;;) {
    // Taken before looking, so a change made after the look ends the sleep.
    const std::uint32_t seen = wake.Seen();
    if (e.Poll_Abort_Flag() != E_NORMAL) {
      r = E_BREAK_KEY;
      break;
    }
    e.Get_UI_Command(line, CMD_BUF_SIZE);
    if (line[0] != '\0') break;
    std::uint32_t sleep_ms = platform::Wakeup::kForever;
    const std::int32_t timeout = platform::Load(GCommandTimeout);
    if (timeout < 0) {
      // Any elapsed time is more than a negative limit.
      r = E_COMMAND_TIMEOUT;
      break;
    }
    if (timeout > 0) {
      // Whole seconds of the elapsed milliseconds: the limit is passed once
      // (timeout + 1) * 1000 ms have gone by.
      const std::uint32_t elapsed = platform::Get_Tick_Count() - start;
      const std::uint64_t limit_ms = (static_cast<std::uint64_t>(timeout) + 1) * 1000u;
      if (elapsed >= limit_ms) {
        r = E_COMMAND_TIMEOUT;
        break;
      }
      const std::uint64_t left = limit_ms - elapsed;
      sleep_ms = left < platform::Wakeup::kForever ? static_cast<std::uint32_t>(left)
                                                        : platform::Wakeup::kForever - 1;
    }
    wake.Wait(seen, sleep_ms);
  }
  states::Set_Waiting(e.HTNumber, 0);
  return r;
}

// Fetches the next command line into the packet buffer and translates it at
// *next: from the command buffer (with the run-once rule) or from the
// running script. 0 or the ending code.
short Fetch_And_Translate(RS232_ROX& e, char** next) {
  char* line = reinterpret_cast<char*>(e.PacketBuf);
  line[0] = '\0';
  bool from_buffer = false;
  const bool from_script = e.ScriptMode != 0;

  if (from_script) {
    if (e.CheckGuiFirst) {
      // A line waiting in the command buffer ends the script and runs instead.
      e.CheckGuiFirst = 0;
      e.Get_UI_Command(line, CMD_BUF_SIZE);
      if (line[0] != '\0') {
        e.ScriptMode = 0;
        if (e.ScriptFile) std::fclose(e.ScriptFile);
        e.ScriptFile = nullptr;
        from_buffer = true;
      }
    }
    if (!from_buffer) {
      short error = E_NORMAL;
      if (e.Get_Script_Command(line, RS232_ROX::SCRIPT_LINE_SIZE, &error) == 0) e.ScriptMode = 0;
      if (error != E_NORMAL) return error;
    }
  } else {
    short r = Wait_For_UI_Command(e, line);
    if (r != E_NORMAL) return r;
    from_buffer = true;
  }

  const char* text = line;
  if (from_buffer) {
    if (line[0] == '/' && line[1] == '1') {
      // Run once: the session stays open for the next line.
      e.RepeatCommand = 0;
      text = line + 2;
    } else {
      // The line stays in force and closes the session when done.
      e.RepeatCommand = 1;
      bounded::Append(line, PACKET_BUF_SIZE, "//");
    }
  }

  if (from_script && *next != e.CommandList) {
    // Commands before *next are done; moving the pending ones to the front
    // keeps the list from growing with every script line.
    std::memmove(e.CommandList, *next, std::strlen(*next) + 1);
    *next = e.CommandList;
  }

  char* at = *next;
  short t = e.Translate_Command(reinterpret_cast<const unsigned char*>(text), at, Room_From(e, at));
  // A list that cannot take the line ends the session as it stands.
  if (t == E_MEMORY) return E_MEMORY;
  if (t != E_NORMAL) {
    // The untranslatable line becomes a command that fails when carried out.
    at[0] = '\0';
    const char failed[] = {'L', ' ', states::kCommandEnd, '\0'};
    if (!bounded::Copy(at, Room_From(e, at), failed)) return E_MEMORY;
  }
  if (from_script && **next == 'V' && e.ListFile) {
    // A new update step of the script starts with a new list.
    RS232_ROX::CloseDeleteFile(e.ListFile, e.ListFileName);
    e.ListFile = nullptr;
    e.ListFileName = nullptr;
  }
  return E_NORMAL;
}

// 'B cmdline': a child program, waited for when GChildThrough is 0 or its
// exit code counts (GErrCode); exit codes -1 to -10 then end the session
// with 98 to 107.
short Child_Command(RS232_ROX& e, const char* command) {
  const char* line = Argument_Of(command);
  const bool exit_code_counts = platform::Load(GErrCode) != 0;
  if (platform::Load(GChildThrough) != 0 && !exit_code_counts) {
    if (!platform::Start_Child(line)) return E_SPAWN;
    states::Report_Code(e, E_PROCESS_NORMAL);
    return E_NORMAL;
  }
  int exit_code = 0;
  if (!platform::Run_Child(line, &exit_code)) return E_SPAWN;
  states::Report_Code(e, E_PROCESS_NORMAL);
  if (exit_code_counts && exit_code <= -1 && exit_code >= -10) return static_cast<short>(97 - exit_code);
  return E_NORMAL;
}

// 'C X:': asks the HT for its drive's size and state and appends the report.
short Disk_Info_Command(RS232_ROX& e, int channel, const char* command) {
  short r = e.Make_DiskInfoReq_Packet(command, e.PacketBuf);
  if (r != E_NORMAL) return r;
  const char drive = static_cast<char>(e.PacketBuf[5]);
  long sent = e.Send_Packet_Buffer(channel);
  if (sent < 1) return e.Send_Failure(sent);
  r = e.Receive_Answer(channel);
  if (r != E_NORMAL) return r;
  if (e.PacketBuf[0] != 0 || e.PacketBuf[1] != 'C') return E_SEQUENCE;
  RS232_ROX::Save_Disk_Info(drive, e.RxFrame.Size, e.RxFrame.Total, e.RxFrame.Option);
  return E_NORMAL;
}

// Delete, buzzer, move, display string, time set, set file information:
// one request, one answer. Any valid response is accepted, whatever its
// letter; a request of another letter from the HT is out of protocol.
short Request_Command(RS232_ROX& e, int channel, const char* command) {
  unsigned char* buf = e.PacketBuf;
  short r;
  switch (command[0]) {
    case 'D': r = e.Make_DelReq_Packet(command, buf); break;
    case 'G': r = e.Make_BuzReq_Packet(buf); break;
    case 'M': r = e.Make_ChangeFileReq_Packet(command, buf); break;
    case 'P': r = e.Make_DispStringReq_Packet(command, buf); break;
    case 'T': r = e.Make_TimeSetReq_Packet(command, buf); break;
    default: r = e.Make_SetFileInfo_Packet(command, buf); break;
  }
  if (r != E_NORMAL) return r;
  const unsigned char letter = buf[1];
  long sent = e.Send_Packet_Buffer(channel);
  if (sent < 1) return e.Send_Failure(sent);
  r = e.Receive_Answer(channel);
  if (r != E_NORMAL) return r;
  if (buf[0] == 1 && buf[1] != letter) return E_OTHER_PROTOCOL;
  return E_NORMAL;
}

// 'E', 'EP n', 'EF X': the PC's end indication closes the session.
short End_Command(RS232_ROX& e, int channel, const char* command) {
  e.EndSession = 1;
  short r = e.Make_EndInd_Packet(command, e.PacketBuf);
  if (r != E_NORMAL) return r;
  long sent = e.Send_Packet_Buffer(channel);
  if (sent < 1) return e.Send_Failure(sent);
  return E_PC_END;
}

// 'I path': runs a script file. A command that stays in force keeps the
// script command, so the script starts again in the next session.
short Script_Command(RS232_ROX& e, const char* command, char** next) {
  // The kept command must fit whole; a longer path is no path the PC knows.
  if (e.RepeatCommand == 1 && std::strlen(command) >= sizeof e.ScriptCommand) return E_PARAMETER;
  std::FILE* script = platform::Open_PC_File(Argument_Of(command), "r");
  if (script == nullptr) return E_FILE_NOTHING;
  long size = -1;
  if (std::fseek(script, 0, SEEK_END) == 0) size = std::ftell(script);
  if (size < 0 || std::fseek(script, 0, SEEK_SET) != 0) {
    std::fclose(script);
    return E_FILE_NOTHING;
  }
  if (size >= kScriptLimit) {
    std::fclose(script);
    return E_SCRIPT_TOO_BIG;
  }
  if (e.ScriptFile) std::fclose(e.ScriptFile);
  e.ScriptFile = script;
  e.ScriptMode = 1;
  if (e.RepeatCommand == 1) bounded::Copy(e.ScriptCommand, command);
  Clear_List(e);
  *next = e.CommandList;
  return E_NORMAL;
}

}  // namespace

char* RS232_ROX::Idle_State_Process(int channel, char* next, short* result) {
  *result = E_NORMAL;
  if (PacketBuf == nullptr) {
    *result = E_MEMORY;
    return next;
  }
  // The position must lie inside CommandList; anything else starts afresh.
  const auto begin = reinterpret_cast<std::uintptr_t>(CommandList);
  const auto at = reinterpret_cast<std::uintptr_t>(next);
  if (next == nullptr || at < begin || at >= begin + sizeof CommandList) next = CommandList;

  auto fail = [&](short code) {
    *result = code;
    return states::Clear_List_If_Once(*this, next);
  };

  // A script may run itself, or two scripts each other, without ever
  // waiting for the HT; the operator's stop is therefore looked at before
  // every command of a running script, as it is while waiting for a line.
  if (ScriptMode && Poll_Abort_Flag() != E_NORMAL) return fail(E_BREAK_KEY);

  // A kept script starts again once its earlier run is done.
  if (*next == '\0' && !ScriptMode && ScriptCommand[0] != '\0') {
    if (!bounded::Copy(next, Room_From(*this, next), ScriptCommand) ||
        !bounded::Append_Char(next, Room_From(*this, next), states::kCommandEnd))
      return fail(E_MEMORY);
  }

  if (*next == '\0' || ScriptMode) {
    short r = Fetch_And_Translate(*this, &next);
    if (r != E_NORMAL) return fail(r);
  }

  char* command = Extract_Command(next);
  if (command == nullptr) return fail(E_MEMORY);

  if ((command[0] == 'S' || command[0] == 'V') && ListFile == nullptr) {
    ListFile = MakeTempFile(&ListFileName);
    if (ListFile == nullptr) {
      delete[] command;
      return fail(E_FILE_NOTHING);
    }
  }

  states::Set_Busy(HTNumber, 1);
  short r;
  switch (command[0]) {
    case 'A': r = Idle_Send_One_File(channel, command); break;
    case 'B': r = Child_Command(*this, command); break;
    case 'C': r = Disk_Info_Command(*this, channel, command); break;
    case 'D': case 'G': case 'M': case 'P': case 'T': case 'U':
      r = Request_Command(*this, channel, command);
      break;
    case 'E': r = End_Command(*this, channel, command); break;
    case 'I': r = Script_Command(*this, command, &next); break;
    case 'L': r = E_PARAMETER; break;
    case 'R': r = Idle_Fetch_Files(channel, command); break;
    case 'S': r = Idle_Send_Files(channel, command); break;
    case 'V': r = Idle_Update_Files(channel, command, &next); break;
    default: r = E_UNDEF_FUNCTION; break;
  }
  delete[] command;
  if (r == E_PC_END) {
    *result = r;
    return next;
  }
  if (r != E_NORMAL) return fail(r);
  return next;
}
