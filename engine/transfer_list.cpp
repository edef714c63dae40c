// The send list and the name rules of a transfer: expanding the source names
// of a send into the list file, reading it back name by name, the relative
// paths of sub-folder transfers, the destination names, and the transfer
// information that announces a send.
//
// The list file holds each name followed by "::", and one '*' after all the
// names found for one source name, so that reading it back knows which
// source name (GroupIndex) a file came from:
//   .\a1.txt::.\a2.txt::*c\d.txt::*
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/bounded.h"
#include "engine/rox32.h"
#include "engine/transfer_local.h"
#include "platform/pcfs.h"

namespace transfer {

namespace {

std::size_t Last_Sep(const std::string& s) { return s.find_last_of("\\/"); }

bool Is_Dot(const std::string& n) { return n == "." || n == ".."; }

unsigned char* Thread_Buffer(std::unique_ptr<unsigned char[]>& slot) {
  if (!slot) slot.reset(new (std::nothrow) unsigned char[kChunkSize]);
  return slot.get();
}

}  // namespace

unsigned char* Read_Buffer() {
  thread_local std::unique_ptr<unsigned char[]> buffer;
  return Thread_Buffer(buffer);
}

unsigned char* Write_Buffer() {
  thread_local std::unique_ptr<unsigned char[]> buffer;
  return Thread_Buffer(buffer);
}

std::string Command_Text(const char* command) {
  if (command == nullptr) return {};
  const char* end = command;
  while (*end != '\0' && *end != 7) ++end;
  return std::string(command, end);
}

std::string Letters_Of(const std::string& command) { return command.substr(0, command.find(' ')); }

std::string Args_Of(const std::string& command) {
  std::size_t blank = command.find(' ');
  return blank == std::string::npos ? std::string() : command.substr(blank + 1);
}

std::string Destination_Of(const std::string& command, bool* found) {
  std::size_t at = command.find("##");
  if (found != nullptr) *found = at != std::string::npos;
  return at == std::string::npos ? std::string() : command.substr(at + 2);
}

std::vector<std::string> Split_Names(const std::string& list) {
  std::vector<std::string> names;
  std::string s = list.substr(0, list.find("##"));
  std::size_t pos = 0;
  for (;;) {
    std::size_t sep = s.find("::", pos);
    if (sep == std::string::npos) {
      names.push_back(s.substr(pos));
      return names;
    }
    names.push_back(s.substr(pos, sep - pos));
    pos = sep + 2;
  }
}

std::string Local_Name(const std::string& name) {
  return name.find('\\') == std::string::npos ? ".\\" + name : name;
}

std::string Base_Name(const std::string& path) {
  std::size_t k = Last_Sep(path);
  return k == std::string::npos ? path : path.substr(k + 1);
}

std::string Parent_Of(const std::string& path) {
  std::size_t k = Last_Sep(path);
  return k == std::string::npos ? std::string() : path.substr(0, k);
}

short Search_Files(const std::string& name, bool sub_folders, std::size_t limit,
                   const std::function<short(const std::string& path, std::uint64_t size)>& found,
                   const std::function<bool()>& stop) {
  std::size_t k = Last_Sep(name);
  if (k == std::string::npos) return E_NORMAL;
  const std::string pattern = name.substr(k + 1);
  if (pattern.empty()) return E_NORMAL;

  // Breadth first: folders[next] is the folder searched next; each entry is
  // a folder path without its closing '\'.
  std::vector<std::string> folders{name.substr(0, k)};
  std::size_t used = 2;  // the list's leading "::"
  for (std::size_t next = 0; next < folders.size(); ++next) {
    if (stop && stop()) return E_BREAK_KEY;
    const std::string folder = folders[next];
    platform::DirSearch search;
    platform::FoundEntry entry;
    std::vector<platform::FoundEntry> files;
    const std::string all = folder + "\\*";
    for (bool ok = search.First(all.c_str(), &entry); ok; ok = search.Next(&entry)) {
      if (Is_Dot(entry.name)) continue;
      if (entry.is_dir) {
        // A link to a folder could lead back up the tree; it is not entered.
        if (!sub_folders || entry.is_link) continue;
        std::string sub = folder + "\\" + entry.name;
        if (used + sub.size() + 2 > limit) return E_MEMORY;
        used += sub.size() + 2;
        folders.push_back(std::move(sub));
      } else if (platform::Wildcard_Match(pattern.c_str(), entry.name.c_str())) {
        files.push_back(entry);
      }
    }
    for (const platform::FoundEntry& f : files) {
      short r = found(folder + "\\" + f.name, f.size);
      if (r != E_NORMAL) return r;
    }
    if (!sub_folders) break;
  }
  return E_NORMAL;
}

std::string Send_Name(RS232_ROX& e, const std::string& command, const std::string& pc_name) {
  std::string dest = Destination_Of(command, nullptr);
  char rel[RS232_ROX::FULL_PATH_SIZE];
  if (e.Get_FullPath(command.c_str(), pc_name.c_str(), rel, sizeof rel) != 0 || rel[0] != '\0')
    return dest + "\\" + rel;
  return dest + "\\" + Base_Name(pc_name);
}

short Fetch_Path(RS232_ROX& e, const std::string& command, const std::string& ht_name, std::string* out) {
  const std::string letters = Letters_Of(command);
  if (letters.find('A', 1) != std::string::npos) {
    std::string args = Args_Of(command);
    std::size_t sep = args.find("::");
    if (sep == std::string::npos) return E_PARAMETER;
    *out = args.substr(sep + 2);
    return E_NORMAL;
  }
  bool has_dest = false;
  std::string dest = Destination_Of(command, &has_dest);
  if (!has_dest) return E_PARAMETER;
  char rel[RS232_ROX::FULL_PATH_SIZE];
  if (e.Get_FullPath(command.c_str(), ht_name.c_str(), rel, sizeof rel) != 0) {
    *out = dest + "\\" + rel;
    return E_NORMAL;
  }
  std::size_t k = ht_name.rfind('\\');
  if (k != std::string::npos) {
    *out = dest + ht_name.substr(k);
    return E_NORMAL;
  }
  // A bare HT name names the destination file itself, unless the
  // destination is a folder: every file of a list would then overwrite the
  // same path, so the file goes into that folder.
  platform::FileStat st;
  if (!dest.empty() && platform::Stat_PC(dest.c_str(), &st) == platform::FS_OK && st.is_dir)
    *out = dest + "\\" + ht_name;
  else
    *out = dest;
  return E_NORMAL;
}

short Reset_List(RS232_ROX& e) {
  if (e.ListFile == nullptr) return E_FILE_NOTHING;
  if (platform::Truncate_File(e.ListFile, 0) != platform::FS_OK) return E_WRITE_ERROR;
  if (std::fseek(e.ListFile, 0, SEEK_SET) != 0) return E_WRITE_ERROR;
  e.ListRewind = 0;
  return E_NORMAL;
}

short Rewind_List(RS232_ROX& e) {
  if (e.ListFile == nullptr) return 59;
  if (std::fflush(e.ListFile) != 0 || std::fseek(e.ListFile, 0, SEEK_SET) != 0) return 59;
  std::clearerr(e.ListFile);
  return E_NORMAL;
}

void Drop_List(RS232_ROX& e) {
  if (e.ListFile != nullptr) RS232_ROX::CloseDeleteFile(e.ListFile, e.ListFileName);
  e.ListFile = nullptr;
  e.ListFileName = nullptr;
}

short Receive_Unchecked(RS232_ROX& e, int channel, unsigned char* buf) {
  short r = e.Receive_Packet(channel, buf);
  if (r != E_NORMAL) return r;
  if (buf[1] == 'E') {
    // The HT ended the session: its class is at offset 6, its detail at 5.
    e.Error(static_cast<short>(e.HTNumber), RS232_ROX::Get_Error_Message(buf[6], buf[5]));
    return E_END_FROM_HT;
  }
  return E_NORMAL;
}

}  // namespace transfer

namespace {

constexpr std::uint32_t kMaxFiles = 0xFFFF;

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Writes name and "::" to the list file; false when the write fails.
bool Put_Name(std::FILE* list, const std::string& name) {
  return std::fwrite(name.data(), 1, name.size(), list) == name.size() && std::fputs("::", list) >= 0;
}

void Put16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v & 0xFF);
  p[1] = static_cast<unsigned char>(v >> 8);
}

}  // namespace

short RS232_ROX::Get_Trns_Info(const char* names, transferinfotag* out, unsigned char noList,
                               unsigned char subFolders) {
  if (names == nullptr || out == nullptr) return E_PARAMETER;
  out->FileCount = 0;
  out->TotalBytes = 0;
  if (!noList) {
    short r = transfer::Reset_List(*this);
    if (r != E_NORMAL) return r;
  }
  GroupIndex = 1;
  try {
    std::uint32_t count = 0;
    std::uint64_t total = 0;
    auto take = [&](const std::string& path, std::uint64_t size) -> short {
      if (count >= kMaxFiles) return E_MEMORY;
      ++count;
      total += size;
      if (!noList && !Put_Name(ListFile, path)) return E_WRITE_ERROR;
      return E_NORMAL;
    };
    for (const std::string& source : transfer::Split_Names(names)) {
      const std::string name = transfer::Local_Name(source);
      short r;
      if (!subFolders && !platform::Has_Wildcards(name.c_str())) {
        // A receive's unfinished file is not there for anyone to fetch.
        if (platform::Is_Staging_Name(name.c_str())) return E_FILE_NOT_FOUND;
        std::FILE* f = platform::Open_PC_File(name.c_str(), "rb");
        if (f == nullptr) return E_FILE_NOT_FOUND;
        std::fclose(f);
        platform::FileStat st;
        if (platform::Stat_PC(name.c_str(), &st) != platform::FS_OK) return E_FILE_NOT_FOUND;
        r = take(name, st.size);
      } else {
        r = transfer::Search_Files(name, subFolders != 0, transfer::kSendFolderLimit, take,
                                   [this] { return Poll_Abort_Flag() != E_NORMAL; });
      }
      if (r != E_NORMAL) return r;
      if (!noList && std::fputc('*', ListFile) == EOF) return E_WRITE_ERROR;
    }
    if (count == 0) return E_FILE_NOT_FOUND;
    if (!noList && transfer::Rewind_List(*this) != E_NORMAL) return 59;
    out->FileCount = static_cast<std::uint16_t>(count);
    out->TotalBytes = total > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(total);
    return E_NORMAL;
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

unsigned short RS232_ROX::Read_OneName(char* out, std::size_t size) {
  if (size == 0) return 0x100;
  out[0] = '\0';
  if (ListFile == nullptr) return 1;
  std::size_t n = 0;
  bool fits = true;
  unsigned short ended = 0;
  for (;;) {
    int c = std::getc(ListFile);
    if (c == EOF) {
      ended = 1;
      break;
    }
    if (c == '*' && n == 0) {
      ++GroupIndex;
      continue;
    }
    if (c == ':') {
      int d = std::getc(ListFile);
      if (d == ':') break;
      // A single ':' belongs to the name (a drive letter).
      if (d != EOF) std::ungetc(d, ListFile);
    }
    if (n + 1 < size)
      out[n++] = static_cast<char>(c);
    else
      fits = false;
  }
  out[fits ? n : 0] = '\0';
  return static_cast<unsigned short>(ended | (fits ? 0 : 0x100));
}

unsigned short RS232_ROX::Read_OneName(char* out) { return Read_OneName(out, sizeof CurrentFile); }

short RS232_ROX::Update_FileList(const char* name, unsigned char letter) {
  if (ListFile == nullptr) return E_FILE_NOTHING;
  if (name == nullptr || !Put_Name(ListFile, name)) return E_WRITE_ERROR;
  ListRewind = 1;
  if (letter == 'S') {
    FileCount = static_cast<std::int16_t>(static_cast<std::uint16_t>(FileCount) + 1);
    platform::FileStat st;
    std::uint64_t size = platform::Stat_PC(name, &st) == platform::FS_OK ? st.size : 0;
    std::uint64_t total = static_cast<std::uint32_t>(BytesExpected) + size;
    BytesExpected = static_cast<std::int32_t>(total > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(total));
  }
  return E_NORMAL;
}

unsigned char RS232_ROX::Get_FullPath(const char* command, const char* name, char* out, std::size_t size) {
  if (size == 0) return 0;
  std::memset(out, 0, size);
  if (command == nullptr || name == nullptr) return 0;
  try {
    const std::string cmd = transfer::Command_Text(command);
    const std::string letters = transfer::Letters_Of(cmd);
    const std::string file(name);
    std::string rel;
    if (!cmd.empty() && cmd[0] == 'S') {
      if (letters.find('R', 1) == std::string::npos) return 0;
      std::vector<char> entry(cmd.size() + 1);
      if (!Get_SubString(cmd.c_str(), static_cast<unsigned short>(GroupIndex), entry.data(), entry.size()))
        return 0;
      const char* last = std::strrchr(entry.data(), '\\');
      if (last != nullptr) {
        std::size_t cut = static_cast<std::size_t>(last - entry.data()) + 1;
        if (cut < file.size()) rel = file.substr(cut);
      } else if (!file.empty() && file[0] == '.') {
        if (file.size() > 2) rel = file.substr(2);
      } else {
        return 0;
      }
    } else {
      if (letters.find('W', 1) == std::string::npos) return 0;
      std::string upper_name(file);
      std::transform(upper_name.begin(), upper_name.end(), upper_name.begin(), Upper);
      bool hit = false;
      for (const std::string& source : transfer::Split_Names(transfer::Args_Of(cmd))) {
        std::size_t k = source.rfind('\\');
        std::string folder = k == std::string::npos ? std::string() : source.substr(0, k + 1);
        std::transform(folder.begin(), folder.end(), folder.begin(), Upper);
        std::size_t at = upper_name.find(folder);
        if (at == std::string::npos) continue;
        rel = file.substr(at + folder.size());
        std::transform(rel.begin(), rel.end(), rel.begin(), Lower);
        hit = true;
        break;
      }
      if (!hit) return 0;
    }
    if (!bounded::Copy(out, size, rel.c_str())) return 0;
    return std::strchr(out, '\\') != nullptr ? 1 : 0;
  } catch (const std::bad_alloc&) {
    out[0] = '\0';
    return 0;
  }
}

unsigned char RS232_ROX::Get_FullPath(const char* command, const char* name, char* out) {
  return Get_FullPath(command, name, out, FULL_PATH_SIZE);
}

unsigned char RS232_ROX::Get_Path(const char* list, const char* name, char* out, std::size_t size) {
  if (size == 0) return 0;
  out[0] = '\0';
  if (list == nullptr || name == nullptr) return 0;
  const char* hashes = std::strstr(list, "##");
  std::size_t len = hashes ? static_cast<std::size_t>(hashes - list) : std::strlen(list);
  std::size_t k = len;
  for (std::size_t i = 0; i < len; ++i)
    if (list[i] == '\\') k = i;
  const std::size_t name_len = std::strlen(name);
  std::size_t from;
  if (k != len) {
    // The list's first name starts two characters in: its folder part,
    // with the '\', is k - 1 characters of name.
    from = k >= 1 ? k - 1 : 0;
  } else {
    from = name[0] == '.' ? 2 : 0;
  }
  if (from > name_len) from = name_len;
  if (!bounded::Copy(out, size, name + from)) return 0;
  return std::strchr(out, '\\') != nullptr ? 1 : 0;
}

unsigned char RS232_ROX::Get_Path(const char* list, const char* name, char* out) {
  return Get_Path(list, name, out, name ? std::strlen(name) + 1 : 1);
}

short RS232_ROX::Make_TrnsInfo_Packet(const char* command, unsigned char* out, const unsigned char* letters) {
  if (command == nullptr || out == nullptr) return E_PARAMETER;
  try {
    transferinfotag info{0, 0};
    unsigned char overwrite = 0;
    if (letters != nullptr && letters[0] == 'R') {
      // The HT's request: its name list, with sub-folders for 'w'.
      short r = Get_Trns_Info(command, &info, 0, letters[1] == 'w' ? 1 : 0);
      if (r != E_NORMAL) return r;
    } else {
      const std::string cmd = transfer::Command_Text(command);
      bool has_dest = false;
      transfer::Destination_Of(cmd, &has_dest);
      if (!has_dest) return E_PARAMETER;
      const std::string flags = transfer::Letters_Of(cmd).substr(1);
      overwrite = flags.find('O') != std::string::npos ? 1 : 0;
      if (flags.find('U') != std::string::npos) {
        // The update step counted the files it put on the list.
        info.FileCount = static_cast<std::uint16_t>(FileCount);
        info.TotalBytes = static_cast<std::uint32_t>(BytesExpected);
      } else {
        const std::string names = transfer::Args_Of(cmd);
        short r = Get_Trns_Info(names.c_str(), &info, 0, flags.find('R') != std::string::npos ? 1 : 0);
        if (r != E_NORMAL) return r;
      }
    }
    out[0] = 1;
    out[1] = 'S';
    out[2] = 't';
    Put16(out + 3, 7);
    Put16(out + 5, info.FileCount);
    Put16(out + 7, static_cast<std::uint16_t>(info.TotalBytes & 0xFFFF));
    Put16(out + 9, static_cast<std::uint16_t>(info.TotalBytes >> 16));
    out[11] = overwrite;
    Put16(out + 12, static_cast<std::uint16_t>(Calc_Checksum(out)));
    return E_NORMAL;
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}
