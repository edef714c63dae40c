// The wait state: the HT is the master. It sends a request, the PC carries
// it out against its own files and clock and answers it. The HT's idle
// notice hands the mastership to the PC (idle state).
#include <cstring>
#include <string>

#include "engine/rox32.h"
#include "engine/states_local.h"
#include "platform/msgbox.h"
#include "platform/pcfs.h"

namespace {

// Longest script path the HT can name: the work folder and a 12-character name.
constexpr std::size_t kScriptPathSize = sizeof DefWorkFile + 16;

// Builds the response of the given kind to the request in the packet buffer
// and sends it: 0, the builder's code, or 71.
short Answer(RS232_ROX& e, int channel, Cmdtag kind, const void* info) {
  // The builder writes over the request, so its letters are taken first.
  const unsigned char letters[2] = {e.PacketBuf[1], e.PacketBuf[2]};
  short r = e.Make_Response_Packet(kind, letters, info, e.PacketBuf);
  if (r != E_NORMAL) return r;
  return e.Send_Packet_Buffer(channel) < 1 ? static_cast<short>(E_COMMUNICATION) : static_cast<short>(E_NORMAL);
}

// The text of a packet's name field, never beyond the field.
std::string Name_Text(const Frametag& frame) { return std::string(frame.Name, strnlen(frame.Name, sizeof frame.Name)); }

// The idle notice: the PC becomes the master, with commands from the GUI or,
// for sub-command 's', from the script the HT names in the work folder.
short Idle_Notice(RS232_ROX& e) {
  e.State = 1;
  e.PcDriven = 1;
  e.OpMode = 1;
  if (e.PacketBuf[2] != 's') {
    e.RepeatCommand = 1;
    e.ScriptMode = 0;
    e.CheckGuiFirst = 0;
    return E_NORMAL;
  }
  e.RepeatCommand = 0;
  e.ScriptMode = 1;
  e.CheckGuiFirst = 1;
  // A command line waiting in the buffer is taken before the script, which
  // is then not opened at all, whatever name the notice carries.
  const bool buffer_empty = !states::Record_Of(e.HTNumber) || Command_Buffer_Empty(e.HTNumber);
  if (!buffer_empty) return E_NORMAL;
  char path[kScriptPathSize];
  short r = RS232_ROX::Make_Script_Path(Name_Text(e.RxFrame).c_str(), path, sizeof path);
  if (r == E_NORMAL) {
    if (e.ScriptFile) std::fclose(e.ScriptFile);
    e.ScriptFile = platform::Open_PC_File(path, "r");
    if (e.ScriptFile) return E_NORMAL;
  }
  e.ScriptMode = 0;
  e.CheckGuiFirst = 0;
  return E_FILE_NOTHING;
}

}  // namespace

short RS232_ROX::Wait_State_Process(int channel) {
  if (PacketBuf == nullptr) return E_MEMORY;
  short r;
  for (;;) {
    r = Receive_Packet(channel, PacketBuf);
    if (r == E_COMMUNICATION || r == E_NOISE) return r;
    if (Poll_Abort_Flag() != E_NORMAL) return E_BREAK_KEY;
    // The HT may stay silent as long as it likes.
    if (r != E_TIMEOUT) break;
  }
  if (r != E_NORMAL) return r;
  r = Validate_Packet(PacketBuf);
  if (r != E_NORMAL) return r;
  if (Poll_Abort_Flag() != E_NORMAL) return E_BREAK_KEY;

  const unsigned char kind = PacketBuf[0];
  const unsigned char command = PacketBuf[1];
  const unsigned char sub = PacketBuf[2];
  states::Set_Busy(HTNumber, command == 'I' ? 0 : 1);
  if (kind == 0) return E_OTHER_PROTOCOL;

  switch (command) {
    case 'A':
      if (sub != 'i') return E_SEQUENCE;
      return Wait_HT_Sends_File(channel);

    case 'C': {
      Diskinfotag disk{};
      Get_Disk_Info(RxFrame.Drive, &disk);
      return Answer(*this, channel, RESP_DISK_INFO, &disk);
    }

    case 'D': {
      // Sub-command bit 0: also read-only files; bit 1: through sub-folders.
      short d = sub == 0 ? Delete_Files(RxFrame.Name, RxFrame.Count)
                         : Delete_Files(RxFrame.Name, RxFrame.Count, (sub & 2) ? 1 : 0, (sub & 1) ? 1 : 0);
      if (d != E_NORMAL) return d;
      return Answer(*this, channel, RESP_DELETE, nullptr);
    }

    case 'E':
      // The HT ends the session: class at offset 6, detail at offset 5.
      Error(static_cast<short>(HTNumber), Get_Error_Message(PacketBuf[6], PacketBuf[5]));
      EndSession = 1;
      return E_END_FROM_HT;

    case 'I':
      return Idle_Notice(*this);

    case 'J': {
      fileinfotag now{};
      Get_Date_Time(&now);
      return Answer(*this, channel, RESP_TIME, &now);
    }

    case 'K':
      // Existing levels are no failure; the HT is answered either way.
      Make_Directory(RxFrame.Name);
      return Answer(*this, channel, RESP_MKDIR, nullptr);

    case 'M': {
      short m = Move_File(RxFrame.Name);
      if (m != E_NORMAL) return m;
      return Answer(*this, channel, RESP_MOVE, nullptr);
    }

    case 'P':
      // Blocks this engine's thread until the operator closes the box.
      platform::Message_Box(Name_Text(RxFrame), "Display String", platform::MB_OK | platform::MB_ICONINFORMATION);
      return Answer(*this, channel, RESP_DISPLAY, nullptr);

    case 'R':
      return Wait_HT_Requests_Files(channel);

    case 'S':
      if (sub != 't') return E_SEQUENCE;
      return Wait_HT_Announces_Files(channel);

    case 'U': {
      fileinfotag info{};
      FileInfo_From_Frame(RxFrame, &info);
      short u = Set_File_Info(&info);
      if (u != E_NORMAL) return u;
      return Answer(*this, channel, RESP_SET_FILE_INFO, nullptr);
    }

    case 'V':
      if (sub != 'f' && sub != 'n') return E_UNDEF_SUBFUNCTION;
      // The search sends its own file-information response.
      return Process_Get_File_Info_Cmd(channel, states::Session_Search());

    case 'X':
      return Answer(*this, channel, RESP_SESSION_INFO, &SessionInfo);

    default:
      return E_UNDEF_FUNCTION;
  }
}
