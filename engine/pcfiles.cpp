// PC-side file services: file information and times, disks, deleting,
// moving and creating files and folders, temporary files, the two report
// files, the update-mode comparison and the answers to the HT's
// get-file-information requests. Every operating-system call goes through
// platform/pcfs.h; nothing here changes the process's current folder.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "channel/mux32.h"
#include "engine/bounded.h"
#include "engine/rox32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/pcfs.h"

namespace {

using platform::FsResult;

constexpr std::uint32_t kNoDate = 0xFFFFFFFFu;

bool Is_Sep(char c) { return c == '\\' || c == '/'; }

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool Has_Drive(const std::string& s) {
  return s.size() >= 2 && Upper(s[0]) >= 'A' && Upper(s[0]) <= 'Z' && s[1] == ':';
}

bool Equal_No_Case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

std::uint32_t Saturate32(std::uint64_t v) {
  return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v);
}

// Text of a fixed-size name field: up to its NUL or the end of the field.
std::string Field_Text(const char* field, std::size_t size) {
  return std::string(field, strnlen(field, size));
}

// The first `count` names of a "::" list; the last name ends at the end of
// the text.
std::vector<std::string> Split_List(const char* list, unsigned count) {
  std::vector<std::string> names;
  if (list == nullptr) return names;
  std::string s(list);
  std::size_t pos = 0;
  while (names.size() < count) {
    std::size_t sep = s.find("::", pos);
    if (sep == std::string::npos) {
      names.push_back(s.substr(pos));
      break;
    }
    names.push_back(s.substr(pos, sep - pos));
    pos = sep + 2;
  }
  return names;
}

// Folder part of a PC name including its separator: "C:\A\" of "C:\A\*.TXT",
// "C:" of "C:*.TXT", "" of "*.TXT".
std::string Folder_Part(const std::string& name) {
  std::size_t k = name.find_last_of("\\/");
  if (k != std::string::npos) return name.substr(0, k + 1);
  if (Has_Drive(name)) return name.substr(0, 2);
  return std::string();
}

// folder + name with one separator between them.
std::string Child(const std::string& folder, const std::string& name) {
  if (folder.empty() || Is_Sep(folder.back()) || (folder.size() == 2 && Has_Drive(folder)))
    return folder + name;
  return folder + "\\" + name;
}

bool Is_Dot(const std::string& n) { return n == "." || n == ".."; }

// A folder that deletions may enter or remove: a real folder, not a link.
bool Real_Folder(const platform::FoundEntry& e) { return e.is_dir && !e.is_link; }

// Seconds since the epoch of a packed date and time, through the PC's file
// date format: years 1980 to 2107, seconds in steps of two.
bool Packed_To_Epoch(std::uint32_t date, const std::uint8_t time[3], std::int64_t* t) {
  int day = static_cast<int>(date >> 24);
  int month = static_cast<int>((date >> 16) & 0xFF);
  int year = static_cast<int>(date & 0xFFFF);
  if (year < 1980 || year > 2107) return false;
  return platform::Local_To_Epoch(year, month, day, time[2], time[1], time[0] & ~1, t);
}

bool Times_Given(const fileinfotag* info) {
  bool no_time = info->Time[0] == 0xFF && info->Time[1] == 0xFF && info->Time[2] == 0xFF;
  return info->Date != kNoDate && !no_time;
}

// Sets the file's times from the record through the open stream: 0 or 54.
short Apply_Times(std::FILE* f, const fileinfotag* info) {
  if (!Times_Given(info)) return E_NORMAL;
  std::int64_t t = 0;
  if (!Packed_To_Epoch(info->Date, info->Time, &t)) return E_FILE_NOTHING;
  return platform::Set_File_Times(f, t) == platform::FS_OK ? E_NORMAL : E_FILE_NOTHING;
}

// Path of a report file in the work folder.
std::string Report_Path(const char* file) {
  char work[sizeof DefWorkFile];
  platform::Load_Bytes(work, DefWorkFile, sizeof work);
  work[sizeof work - 1] = '\0';
  std::string path(work);
  if (!path.empty() && path.back() != '\\') path += '\\';
  return path + file;
}

// Appends text to a report in one write, so that reports of several
// engines never interleave; nothing when the file cannot be opened.
void Append_Report(const char* file, const std::string& text) {
  std::string path = Report_Path(file);
  std::FILE* f = platform::Open_PC_File(path.c_str(), "ab");
  if (f == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<std::size_t>(n));
  }
  va_end(ap);
  return out;
}

void Fill_From_Found(const std::string& folder, const platform::FoundEntry& e, fileinfotag* info) {
  std::memset(info, 0, sizeof *info);
  info->Size = Saturate32(e.size);
  platform::Pack_File_Time(e.mtime, &info->Date, info->Time);
  info->Attributes = e.attributes;
  bounded::Copy_Cut(info->Name, (folder + e.name).c_str());
}

// Deletes a file; with read_only a write-protected one is made writable and
// deleted again. The result of the last attempt.
FsResult Delete_One(const std::string& name, bool read_only) {
  FsResult r = platform::Delete_PC_File(name.c_str());
  if (r == platform::FS_ACCESS_DENIED && read_only) {
    platform::Set_Attributes_PC(name.c_str(), 0);
    r = platform::Delete_PC_File(name.c_str());
  }
  return r;
}

}  // namespace

// ---------------------------------------------------------------------------
// Clock and file information

std::uint32_t RS232_ROX::Get_System_Date() {
  platform::LocalTime now = platform::Get_Local_Time();
  return (static_cast<std::uint32_t>(now.day) << 24) | (static_cast<std::uint32_t>(now.month) << 16) |
         (static_cast<std::uint32_t>(now.year) & 0xFFFFu);
}

void RS232_ROX::Get_System_Time(unsigned char* out) {
  platform::LocalTime now = platform::Get_Local_Time();
  out[0] = static_cast<unsigned char>(now.second);
  out[1] = static_cast<unsigned char>(now.minute);
  out[2] = static_cast<unsigned char>(now.hour);
}

void RS232_ROX::Get_Date_Time(fileinfotag* info) {
  // One reading of the clock, so date and time belong together at midnight.
  platform::LocalTime now = platform::Get_Local_Time();
  info->Date = (static_cast<std::uint32_t>(now.day) << 24) |
               (static_cast<std::uint32_t>(now.month) << 16) |
               (static_cast<std::uint32_t>(now.year) & 0xFFFFu);
  info->Time[0] = static_cast<std::uint8_t>(now.second);
  info->Time[1] = static_cast<std::uint8_t>(now.minute);
  info->Time[2] = static_cast<std::uint8_t>(now.hour);
}

void RS232_ROX::Get_File_Info(const char* path, fileinfotag* info) {
  std::memset(info, 0, sizeof *info);
  if (path == nullptr || path[0] == '\0') return;
  // One lookup: the open that proves the file readable also describes it.
  platform::FileStat st;
  std::FILE* f = platform::Open_PC_File(path, "rb", nullptr, &st);
  if (f == nullptr) return;
  std::fclose(f);
  File_Info_Of(path, st, info);
}

void RS232_ROX::File_Info_Of(const char* path, const platform::FileStat& st, fileinfotag* info) {
  std::memset(info, 0, sizeof *info);
  platform::Pack_File_Time(st.mtime, &info->Date, info->Time);
  info->Attributes = st.attributes;
  info->Size = Saturate32(st.size);
  if (path != nullptr) bounded::Copy_Cut(info->Name, path);
}

std::uint32_t RS232_ROX::Get_File_Date(const char* path) {
  fileinfotag info;
  Get_File_Info(path, &info);
  return info.Date;
}

void RS232_ROX::Get_File_Time(const char* path, unsigned char* out) {
  fileinfotag info;
  Get_File_Info(path, &info);
  std::memcpy(out, info.Time, 3);
}

std::uint32_t RS232_ROX::Get_File_Size(const char* path) {
  fileinfotag info;
  Get_File_Info(path, &info);
  return info.Size;
}

std::uint8_t RS232_ROX::Get_File_Attribute(const char* path) {
  fileinfotag info;
  Get_File_Info(path, &info);
  return info.Attributes;
}

void RS232_ROX::Get_Disk_Info(char drive, Diskinfotag* info) {
  std::uint64_t total = 0, free_bytes = 0;
  if (platform::Disk_Space(drive, &total, &free_bytes)) {
    info->Capacity = Saturate32(total);
    info->Free = Saturate32(free_bytes);
    info->Condition = 0;
  } else {
    info->Capacity = 0;
    info->Free = 0;
    info->Condition = 2;
  }
}

short RS232_ROX::Set_File_Info(const fileinfotag* info) {
  try {
    std::string name = Field_Text(info->Name, sizeof info->Name);
    platform::FileStat st;
    FsResult r = platform::Stat_PC(name.c_str(), &st);
    if (r != platform::FS_OK) return E_FILE_NOT_FOUND;
    if (st.attributes & platform::ATTR_READONLY) return E_READ_ONLY_ACCESS;

    std::FILE* f = platform::Open_PC_File(name.c_str(), "r+b");
    if (f == nullptr) return E_FILE_NOTHING;
    short code = Apply_Times(f, info);
    std::fclose(f);
    if (code != E_NORMAL) return code;

    r = platform::Set_Attributes_PC(name.c_str(), info->Attributes);
    if (r == platform::FS_ACCESS_DENIED) return E_READ_ONLY_ACCESS;
    if (r == platform::FS_NOT_FOUND || r == platform::FS_PATH_NOT_FOUND) return E_FILE_NOT_FOUND;
    return E_NORMAL;
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

short RS232_ROX::Set_File_Attributes(const fileinfotag* info) {
  try {
    std::string name = Field_Text(info->Name, sizeof info->Name);
    if (!platform::Exists_PC(name.c_str())) return E_FILE_NOT_FOUND;
    FsResult r = platform::Set_Attributes_PC(name.c_str(), info->Attributes);
    if (r == platform::FS_ACCESS_DENIED) return E_READ_ONLY_ACCESS;
    if (r == platform::FS_NOT_FOUND || r == platform::FS_PATH_NOT_FOUND) return E_FILE_NOT_FOUND;

    std::FILE* f = platform::Open_PC_File(name.c_str(), "r+b");
    if (f == nullptr) return E_FILE_NOTHING;
    short code = E_NORMAL;
    if (info->Size != 0) {
      r = platform::Truncate_File(f, info->Size);
      if (r == platform::FS_ACCESS_DENIED)
        code = E_READ_ONLY_ACCESS;
      else if (r == platform::FS_NO_SPACE)
        code = 68;  // "FCB Full": the disk is full
      else if (r != platform::FS_OK)
        code = E_FILE_NOTHING;
    }
    if (code == E_NORMAL) code = Apply_Times(f, info);
    std::fclose(f);
    return code;
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

// ---------------------------------------------------------------------------
// Folders, deleting, moving

short RS232_ROX::Make_Directory(const char* path) {
  if (path == nullptr) return E_NORMAL;
  try {
    std::string p(path);
    if (!p.empty() && Is_Sep(p.back())) p.pop_back();
    // Every prefix in turn: C:, C:\A, C:\A\B ...; existing levels fail harmlessly.
    for (std::size_t i = 1; i < p.size(); ++i)
      if (Is_Sep(p[i])) platform::Make_PC_Dir(p.substr(0, i).c_str());
    if (!p.empty()) platform::Make_PC_Dir(p.c_str());
    return E_NORMAL;
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

void RS232_ROX::Delete_Recursively(const char* folder) {
  try {
    const std::string base = folder != nullptr ? folder : "";
    const std::string prefix = base.empty() ? std::string() : Child(base, "");
    const std::string spec = Field_Text(DeleteSpec, sizeof DeleteSpec);
    platform::DirSearch search;
    platform::FoundEntry e;
    for (bool ok = search.First((prefix + spec).c_str(), &e); ok; ok = search.Next(&e)) {
      if (Real_Folder(e) || Is_Dot(e.name)) continue;
      Delete_One(prefix + e.name, DeleteReadOnly != 0);
    }
    for (bool ok = search.First((prefix + "*").c_str(), &e); ok; ok = search.Next(&e)) {
      if (!Real_Folder(e) || Is_Dot(e.name)) continue;
      const std::string sub = prefix + e.name;
      platform::DirSearch probe;  // only folders that can be read are entered
      if (!probe.First((sub + "\\*").c_str(), nullptr)) continue;
      probe.Close();
      Delete_Recursively(sub.c_str());
      if (RemoveDirs) platform::Remove_PC_Dir(sub.c_str());
    }
  } catch (const std::bad_alloc&) {
    // What could be deleted is deleted; the caller's next removal fails.
  }
}

namespace {

struct DeleteOptions {
  bool any_name;   // names without a backslash are handled too
  bool recurse;
  bool read_only;
};

}  // namespace

// One implementation for both forms of Delete_Files.
static short Delete_Names(RS232_ROX& rox, const char* list, unsigned short count,
                          const DeleteOptions& opt) {
  auto empty_folder = [&](const std::string& folder) {
    bounded::Copy(rox.DeleteSpec, "*.*");
    rox.Delete_Recursively(folder.c_str());
  };
  for (std::string name : Split_List(list, count)) {
    if (!opt.any_name && name.find('\\') == std::string::npos) continue;
    if (!name.empty() && name.back() == '\\') name.pop_back();
    if (name.empty()) continue;

    if (platform::Has_Wildcards(name.c_str())) {
      const std::string folder = Folder_Part(name);
      platform::DirSearch search;
      platform::FoundEntry e;
      for (bool ok = search.First(name.c_str(), &e); ok; ok = search.Next(&e)) {
        if (Is_Dot(e.name)) continue;
        const std::string full = folder + e.name;
        if (Real_Folder(e)) {
          if (platform::Remove_PC_Dir(full.c_str()) != platform::FS_OK && opt.recurse) {
            empty_folder(full);
            platform::Remove_PC_Dir(full.c_str());
          }
        } else if (Delete_One(full, opt.read_only) == platform::FS_ACCESS_DENIED) {
          return E_READ_ONLY_ACCESS;
        }
      }
      continue;
    }

    platform::FileStat st;
    if (platform::Stat_PC(name.c_str(), &st) != platform::FS_OK) {
      if (opt.recurse) {
        // Not here as named: delete what matches its last part in its folder
        // and every folder below.
        const std::string folder = Folder_Part(name);
        const std::string pattern = name.substr(folder.size());
        if (!pattern.empty() && bounded::Copy(rox.DeleteSpec, pattern.c_str()))
          rox.Delete_Recursively(folder.c_str());
      }
      continue;
    }
    if (st.is_dir && !st.is_link) {
      FsResult r = platform::Remove_PC_Dir(name.c_str());
      if (r != platform::FS_OK && opt.recurse) {
        empty_folder(name);
        r = platform::Remove_PC_Dir(name.c_str());
      }
      if (r == platform::FS_ACCESS_DENIED) return E_NOT_EXECUTE;
    } else if (Delete_One(name, opt.read_only) == platform::FS_ACCESS_DENIED) {
      return E_READ_ONLY_ACCESS;
    }
  }
  return E_NORMAL;
}

short RS232_ROX::Delete_Files(const char* list, unsigned short count) {
  try {
    return Delete_Names(*this, list, count, DeleteOptions{false, false, false});
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

short RS232_ROX::Delete_Files(const char* list, unsigned short count, unsigned char recurse,
                              unsigned char read_only) {
  DeleteReadOnly = read_only ? 1 : 0;
  RemoveDirs = recurse ? 1 : 0;
  try {
    return Delete_Names(*this, list, count, DeleteOptions{true, recurse != 0, read_only != 0});
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

short RS232_ROX::Move_File(const char* list) {
  try {
    std::string s = list != nullptr ? list : "";
    std::size_t sep = s.find("::");
    std::string from = sep == std::string::npos ? s : s.substr(0, sep);
    std::string to = sep == std::string::npos ? std::string() : s.substr(sep + 2);

    platform::FileStat src;
    if (platform::Stat_PC(from.c_str(), &src) != platform::FS_OK) return E_FILE_NOT_FOUND;
    if (Equal_No_Case(from, to)) return E_NORMAL;
    if (!Has_Drive(from) || !Has_Drive(to)) return E_NOT_EXECUTE;
    if (Upper(from[0]) != Upper(to[0])) return E_NOT_SAME_DISK;

    platform::FileStat dst;
    if (platform::Stat_PC(to.c_str(), &dst) != platform::FS_OK) {
      std::size_t k = to.find_last_of('\\');
      if (k != std::string::npos && k > 2) platform::Make_PC_Dir(to.substr(0, k).c_str());
    } else {
      // Another spelling of the source itself ("C:\A\..\X.TXT"): deleting
      // the destination would delete the source.
      if (platform::Same_Entry(from.c_str(), to.c_str())) return E_NORMAL;
      if (platform::Delete_PC_File(to.c_str()) == platform::FS_ACCESS_DENIED)
        return E_READ_ONLY_ACCESS;
    }

    switch (platform::Rename_PC(from.c_str(), to.c_str())) {
      case platform::FS_OK:
        return E_NORMAL;
      case platform::FS_NOT_SAME_DEVICE:
        return E_NOT_SAME_DISK;
      case platform::FS_ACCESS_DENIED:
      case platform::FS_EXISTS:
      case platform::FS_NOT_EMPTY:
        return E_READ_ONLY_ACCESS;
      case platform::FS_NOT_FOUND:
      case platform::FS_PATH_NOT_FOUND:
      case platform::FS_NO_DRIVE:
        return E_PATH_NOT_FOUND;
      default:
        return E_NOT_EXECUTE;
    }
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

unsigned short RS232_ROX::Get_WildCard_File_Count(const char* pattern) {
  unsigned count = 0;
  try {
    platform::DirSearch search;
    platform::FoundEntry e;
    for (bool ok = search.First(pattern, &e); ok && count < 0xFFFF; ok = search.Next(&e)) ++count;
  } catch (const std::bad_alloc&) {
  }
  return static_cast<unsigned short>(count);
}

// ---------------------------------------------------------------------------
// Temporary files

std::FILE* RS232_ROX::MakeTempFile(char** name) {
  if (name != nullptr) *name = nullptr;
  try {
    std::string native;
    std::FILE* f = platform::Make_Temp_File(&native);
    if (f == nullptr) return nullptr;
    char* copy = new (std::nothrow) char[native.size() + 1];
    if (copy == nullptr) {
      std::fclose(f);
      platform::Delete_Native_File(native.c_str());
      return nullptr;
    }
    std::memcpy(copy, native.c_str(), native.size() + 1);
    if (name != nullptr)
      *name = copy;
    else
      delete[] copy;
    return f;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void RS232_ROX::CloseDeleteFile(std::FILE* file, char* name) {
  if (file == nullptr) return;
  std::fclose(file);
  if (name != nullptr) {
    platform::Delete_Native_File(name);
    delete[] name;
  }
}

// ---------------------------------------------------------------------------
// Reports

void RS232_ROX::Save_Disk_Info(char drive, std::uint32_t capacity, std::uint32_t free_bytes,
                               unsigned char condition) {
  const char* state = condition == 0   ? "Disk Exists (Format Finish)"
                      : condition == 1 ? "Disk Exists (Non-format)"
                                       : "Disk doesn't exist";
  try {
    // The figures are unsigned 32-bit values and printed as such, also above 2^31.
    std::string text = Format("\nFollowing are the details of %c Drive\n", drive);
    text += Format("Disk Capacity   : %lu\n", static_cast<unsigned long>(capacity));
    text += Format("Disk Free Space : %lu\n", static_cast<unsigned long>(free_bytes));
    text += Format("Disk Condition  : %s\n", state);
    Append_Report("DISKINFO.CLP", text);
  } catch (const std::bad_alloc&) {
  }
}

void RS232_ROX::Save_File_Info(const fileinfotag* info) {
  try {
    std::string name = Field_Text(info->Name, sizeof info->Name);
    unsigned day = info->Date >> 24, month = (info->Date >> 16) & 0xFF, year = info->Date & 0xFFFF;
    std::string text = Format("\n Following are the details of the file  %s\n", name.c_str());
    text += Format("\n File Date is %u-%u-%u", month, day, year);
    text += Format("\n File Size %lu", static_cast<unsigned long>(info->Size));
    text += Format("\n File Time %u:%02u:%02u\n", unsigned{info->Time[2]}, unsigned{info->Time[1]},
                   unsigned{info->Time[0]});
    Append_Report("FILEINFO.CLP", text);
  } catch (const std::bad_alloc&) {
  }
}

void RS232_ROX::FileInfo_From_Frame(const Frametag& frame, fileinfotag* info) {
  std::memset(info, 0, sizeof *info);
  info->Size = frame.Size;
  info->Date = frame.Date;
  std::memcpy(info->Time, frame.Time, 3);
  info->Attributes = frame.Attribute;
  std::size_t n = strnlen(frame.Name, sizeof frame.Name);
  bounded::Copy_N(info->Name, sizeof info->Name, frame.Name, n < sizeof info->Name ? n : sizeof info->Name - 1);
}

// ---------------------------------------------------------------------------
// Update-mode comparison

unsigned char RS232_ROX::CompareDate(std::uint32_t a, std::uint32_t b) {
  std::uint32_t ya = a & 0xFFFF, yb = b & 0xFFFF;
  if (ya != yb) return ya > yb;
  std::uint32_t ma = (a >> 16) & 0xFF, mb = (b >> 16) & 0xFF;
  if (ma != mb) return ma > mb;
  return (a >> 24) > (b >> 24);
}

unsigned char RS232_ROX::Compare_File_Info(const Frametag* ht, const char* pc_path,
                                           unsigned char letter) {
  fileinfotag pc;
  Get_File_Info(pc_path, &pc);
  if (pc.Size == ht->Size && pc.Date == ht->Date && pc.Time[0] == ht->Time[0] &&
      pc.Time[1] == ht->Time[1] && pc.Time[2] == ht->Time[2])
    return 0;
  // Later by date, then hour, minute and second.
  auto later = [](std::uint32_t da, const std::uint8_t* ta, std::uint32_t db, const std::uint8_t* tb) {
    if (da != db) return CompareDate(da, db) != 0;
    for (int i = 2; i >= 0; --i)
      if (ta[i] != tb[i]) return ta[i] > tb[i];
    return false;
  };
  if (letter == 'S') return later(pc.Date, pc.Time, ht->Date, ht->Time) ? 1 : 0;
  if (letter == 'R') return later(ht->Date, ht->Time, pc.Date, pc.Time) ? 1 : 0;
  return 0;
}

// ---------------------------------------------------------------------------
// The HT's get-file-information requests

short RS232_ROX::Process_Get_File_Info_Cmd(int channel, FileInfoSearch* search) {
  if (PacketBuf == nullptr || search == nullptr) return E_MEMORY;
  try {
    fileinfotag info;
    std::memset(&info, 0, sizeof info);
    platform::FoundEntry e;
    if (RxFrame.SubCommand == 'f') {
      search->Dir.Close();
      std::string path = Field_Text(RxFrame.Name, sizeof RxFrame.Name);
      if (!platform::Has_Wildcards(path.c_str())) {
        // A receive's unfinished file is answered as no file.
        if (!platform::Is_Staging_Name(path.c_str())) Get_File_Info(path.c_str(), &info);
      } else if (search->Dir.First(path.c_str(), &e)) {
        Fill_From_Found(search->Dir.Folder(), e, &info);
      }
    } else if (search->Dir.Active() && search->Dir.Next(&e)) {
      Fill_From_Found(search->Dir.Folder(), e, &info);
    }
    const unsigned char letters[2] = {'V', RxFrame.SubCommand};
    short code = Make_Response_Packet(RESP_GET_FILE_INFO, letters, &info, PacketBuf);
    if (code != E_NORMAL) return code;
    long sent = Send(channel, PacketBuf, static_cast<unsigned short>(Get_DataLength(PacketBuf)));
    return sent > 0 ? E_NORMAL : E_COMMUNICATION;
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}
