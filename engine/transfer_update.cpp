// The update step ('V' commands): before a send or fetch with flag U, ask
// the HT for the file information of every file concerned and put on the
// list file only those that must move; 'VG' writes the HT's answers to the
// file-information report instead.
//
// The update list has the send list's layout, so the 'S' that follows reads
// it the same way: each name followed by "::" and, in mode 'S', one '*'
// after the names of each source name. The fetch list of mode 'R' holds
// the HT names only, because a fetch sends it to the HT as it stands.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "channel/mux32.h"
#include "engine/rox32.h"
#include "engine/transfer_local.h"
#include "platform/pcfs.h"

namespace {

constexpr long kSendTimeout = -5;
// An HT that keeps answering a pattern search is stopped after this many
// matches.
constexpr unsigned kMaxMatches = 0xFFFF;

bool No_More_Files(const Frametag& f) {
  return f.Size == 0 && f.Date == 0 && f.Time[0] == 0 && f.Time[1] == 0 && f.Time[2] == 0;
}

bool Is_Folder_Answer(const Frametag& f, const std::string& name) {
  if ((f.Attribute & platform::ATTR_DIRECTORY) != 0) return true;
  std::string base = transfer::Base_Name(name);
  return base == "." || base == "..";
}

}  // namespace

short RS232_ROX::Process_Onefile(int channel, const char* name, const char* command, unsigned char* packet,
                                 unsigned char mode, const char* source) {
  if (name == nullptr || packet == nullptr) return E_PARAMETER;
  try {
    const std::string cmd = transfer::Command_Text(command);
    const std::string file(name);
    bool has_dest = false;
    const std::string dest = transfer::Destination_Of(cmd, &has_dest);
    const bool sub_folders = transfer::Letters_Of(cmd).find('R', 2) != std::string::npos;

    // The name to ask the HT for.
    std::string pattern = file;
    if (mode == 'S') {
      // The HT name the following send will give the file.
      const std::string list = "  " + std::string(source != nullptr ? source : name);
      std::string rel(file.size() + 1, '\0');
      if (sub_folders && Get_Path(list.c_str(), name, rel.data(), rel.size()) != 0)
        pattern = dest + "\\" + rel.c_str();
      else
        pattern = dest + "\\" + transfer::Base_Name(file);
    }
    const bool several = mode != 'S' && platform::Has_Wildcards(pattern.c_str());

    for (unsigned match = 0;; ++match) {
      short r = Make_FileInfoReq_Packet(match == 0 ? 0 : 1, pattern.c_str(), packet);
      if (r != E_NORMAL) return r;
      long sent = Send(channel, packet, static_cast<unsigned short>(Get_DataLength(packet)));
      if (sent < 1) return sent == kSendTimeout ? E_TIMEOUT : E_COMMUNICATION;
      r = transfer::Receive_Unchecked(*this, channel, packet);
      if (r != E_NORMAL) return r;
      r = Validate_Packet(packet);
      if (r != E_NORMAL) return r;
      if (packet[0] != 0 || packet[1] != 'V' || (packet[2] != 'f' && packet[2] != 'n')) return E_SEQUENCE;

      if (No_More_Files(RxFrame)) {
        // The HT lacks the file: it must be sent.
        if (mode == 'S') return Update_FileList(name, 'S');
        return E_NORMAL;
      }
      std::string ht(RxFrame.Name, strnlen(RxFrame.Name, sizeof RxFrame.Name));
      if (mode == 'G') {
        fileinfotag info;
        FileInfo_From_Frame(RxFrame, &info);
        Save_File_Info(&info);
      } else if (mode == 'S') {
        if (Compare_File_Info(&RxFrame, name, 'S') != 0) {
          r = Update_FileList(name, 'S');
          if (r != E_NORMAL) return r;
        }
      } else if (mode == 'R') {
        // An answer that names the file without its folder is taken to be
        // in the folder of the pattern.
        if (ht.empty()) ht = pattern;
        if (ht.find('\\') == std::string::npos) {
          std::size_t k = pattern.rfind('\\');
          if (k != std::string::npos) ht = pattern.substr(0, k + 1) + ht;
        }
        if (!Is_Folder_Answer(RxFrame, ht)) {
          // The PC path the following fetch will give the file.
          std::string pc;
          if (!has_dest) {
            pc = transfer::Base_Name(ht);
          } else {
            const std::string fetch = std::string(sub_folders ? "RW " : "R ") + transfer::Args_Of(cmd);
            r = transfer::Fetch_Path(*this, fetch, ht, &pc);
            if (r != E_NORMAL) return r;
          }
          if (Compare_File_Info(&RxFrame, pc.c_str(), 'R') != 0) {
            r = Update_FileList(ht.c_str(), 'R');
            if (r != E_NORMAL) return r;
          }
        }
      }
      if (!several || match + 1 >= kMaxMatches) return E_NORMAL;
    }
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

short RS232_ROX::Process_Updation(int channel, const char* name, const char* command, unsigned char* packet,
                                  unsigned char mode, unsigned char subFolders) {
  if (name == nullptr) return E_PARAMETER;
  if (mode != 'S') return Process_Onefile(channel, name, command, packet, mode);
  try {
    const std::string local = transfer::Local_Name(name);
    if (!subFolders && !platform::Has_Wildcards(local.c_str())) {
      // A plain name is asked for as it is, whether or not the PC holds it:
      // when neither side has it, the send that follows reports the missing
      // file.
      return Process_Onefile(channel, local.c_str(), command, packet, mode, local.c_str());
    }
    bool any = false;
    short r = transfer::Search_Files(local, subFolders != 0, transfer::kUpdateFolderLimit,
                                     [&](const std::string& path, std::uint64_t) -> short {
                                       any = true;
                                       return Process_Onefile(channel, path.c_str(), command, packet, mode,
                                                              local.c_str());
                                     },
                                     [this] { return Poll_Abort_Flag() != E_NORMAL; });
    if (r != E_NORMAL) return r;
    return any ? E_NORMAL : E_FILE_NOT_FOUND;
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

short RS232_ROX::Idle_Update_Files(int channel, const char* command, char** next) {
  if (PacketBuf == nullptr) return E_MEMORY;
  try {
    const std::string cmd = transfer::Command_Text(command);
    const std::string letters = transfer::Letters_Of(cmd);
    const unsigned char mode = letters.size() >= 2 ? static_cast<unsigned char>(letters[1]) : 0;
    if (mode != 'S' && mode != 'R' && mode != 'G') return E_UNDEF_FUNCTION;
    const unsigned char sub = letters.find('R', 2) != std::string::npos ? 1 : 0;
    // The send that follows needs a destination to name the HT files by.
    if (mode == 'S' && cmd.find("##") == std::string::npos) return E_PARAMETER;

    short r = transfer::Reset_List(*this);
    if (r != E_NORMAL) return r;
    FileCount = 0;
    BytesExpected = 0;
    GroupIndex = 1;
    for (const std::string& name : transfer::Split_Names(transfer::Args_Of(cmd))) {
      r = Process_Updation(channel, name.c_str(), cmd.c_str(), PacketBuf, mode, sub);
      if (r != E_NORMAL) return r;
      if (mode == 'S' && std::fputc('*', ListFile) == EOF) return E_WRITE_ERROR;
    }
    if (mode == 'G' || ListRewind) return transfer::Rewind_List(*this);
    // Nothing must move: the 'S' or 'R' that follows is skipped.
    if (next != nullptr && *next != nullptr) *next = Update_CommandBuf(*next);
    return E_NORMAL;
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}
