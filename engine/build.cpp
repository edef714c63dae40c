// Packet builders: every packet the PC sends, written complete with its
// checksum into the caller's packet buffer. A packet is at most
// PACKET_BUF_SIZE bytes; input that would not fit gives 39 and nothing is
// written past the buffer.
//
// Layout: kind, command, sub-command, L (low byte first), L data bytes,
// checksum (low byte first). Multi-byte fields are little-endian; a date is
// day, month, year (16-bit); a time is seconds, minutes, hours.
#include <cstring>
#include <new>
#include <string>

#include "channel/mux32.h"
#include "engine/bounded.h"
#include "engine/rox32.h"
#include "platform/atomic.h"
#include "platform/pcfs.h"

namespace {

constexpr unsigned kHeader = 5;
constexpr std::uint64_t kMaxFileSize = 4294836225ull;  // largest size a file information may carry

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool Is_Digit(char c) { return c >= '0' && c <= '9'; }

void Put16(unsigned char* p, std::uint16_t v) {
  p[0] = RS232_ROX::Extract_LByte(v);
  p[1] = RS232_ROX::Extract_HByte(v);
}

void Put32(unsigned char* p, std::uint32_t v) {
  Put16(p, RS232_ROX::Extract_LWord(v));
  Put16(p + 2, RS232_ROX::Extract_HWord(v));
}

// Packed date (day << 24 | month << 16 | year) as day, month, year.
void Put_Date(unsigned char* p, std::uint32_t date) {
  p[0] = static_cast<unsigned char>(date >> 24);
  p[1] = static_cast<unsigned char>(date >> 16);
  Put16(p + 2, static_cast<std::uint16_t>(date & 0xFFFF));
}

// Writes the header of a packet with data_len data bytes; false (nothing
// written) when the packet would not fit the buffer.
bool Header(unsigned char* out, unsigned char kind, unsigned char command, unsigned char sub,
            std::size_t data_len) {
  if (data_len > MAX_DATA_LENGTH) return false;
  out[0] = kind;
  out[1] = command;
  out[2] = sub;
  Put16(out + 3, static_cast<std::uint16_t>(data_len));
  return true;
}

// Closes the packet whose header and data are in place with its checksum.
short Seal(unsigned char* out) {
  unsigned len = RS232_ROX::Make_Word(out[3], out[4]);
  Put16(out + kHeader + len, static_cast<unsigned short>(RS232_ROX::Calc_Checksum(out)));
  return E_NORMAL;
}

// A packet whose data is text and its NUL.
short Text_Packet(unsigned char* out, unsigned char command, unsigned char sub, const std::string& text) {
  if (!Header(out, 1, command, sub, text.size() + 1)) return E_DATA_LENGTH;
  std::memcpy(out + kHeader, text.c_str(), text.size() + 1);
  return Seal(out);
}

// The parts of a basic command: its letters up to the first blank, and the
// arguments after it. False when the command has no blank.
bool Split_Command(const char* command, std::string* letters, std::string* args) {
  if (command == nullptr) return false;
  const char* blank = std::strchr(command, ' ');
  if (blank == nullptr) return false;
  letters->assign(command, blank);
  args->assign(blank + 1);
  return true;
}

// Decimal number of a run of digits; false for anything else or a value of
// 2^32 or more. An empty text is 0.
bool Parse_U32(const std::string& s, std::uint32_t* v) {
  std::uint64_t n = 0;
  for (char c : s) {
    if (!Is_Digit(c)) return false;
    n = n * 10 + static_cast<unsigned>(c - '0');
    if (n > 0xFFFFFFFFull) return false;
  }
  *v = static_cast<std::uint32_t>(n);
  return true;
}

// The date and time fields of a command are read as written and never
// range-checked here: the HT judges them and answers an impossible date or
// time itself. A date is recognised by its '-', a time by its ':'; a time
// without seconds has 0 seconds.
bool Read_Date(const std::string& s, std::uint32_t* date) {
  if (s.find('-') == std::string::npos) return false;
  *date = static_cast<std::uint32_t>(RS232_ROX::Get_Date(s.c_str()));
  return true;
}

bool Read_Time(const std::string& s, unsigned char* time) {
  char t[3];
  if (RS232_ROX::Get_Time(s.c_str(), t) != 0) return false;
  std::memcpy(time, t, 3);
  return true;
}

std::size_t Skip_Blanks(const std::string& s, std::size_t pos) {
  while (pos < s.size() && s[pos] == ' ') ++pos;
  return pos;
}

// The word at pos up to the next blank; pos moves behind it.
std::string Next_Word(const std::string& s, std::size_t* pos) {
  std::size_t start = Skip_Blanks(s, *pos);
  std::size_t end = s.find(' ', start);
  if (end == std::string::npos) end = s.size();
  *pos = end;
  return s.substr(start, end - start);
}

// File-information data (size, date, time, attribute, name and NUL) at p.
void Put_File_Info(unsigned char* p, std::uint32_t size, std::uint32_t date, const std::uint8_t* time,
                   std::uint8_t attributes, const char* name, std::size_t name_len) {
  Put32(p, size);
  Put_Date(p + 4, date);
  std::memcpy(p + 8, time, 3);
  p[11] = attributes;
  std::memcpy(p + 12, name, name_len);
  p[12 + name_len] = 0;
}

// The file information packet of info under the HT name htName; 39 for a
// name of more than 1023 characters.
short File_Info_Packet(unsigned char* out, const fileinfotag& info, const char* htName, const unsigned char* letters) {
  const char* name = htName != nullptr ? htName : "";
  const std::size_t n = std::strlen(name);
  if (n > sizeof(fileinfotag::Name) - 1) return E_DATA_LENGTH;
  if (!Header(out, 1, letters[0], 'i', 13 + n)) return E_DATA_LENGTH;
  Put_File_Info(out + kHeader, info.Size, info.Date, info.Time, info.Attributes, name, n);
  return Seal(out);
}

}  // namespace

short RS232_ROX::Make_FileInfo_Packet(const char* pcPath, const char* htName, const unsigned char* letters,
                                      unsigned char* out) {
  if (pcPath == nullptr) return E_PATH_NOT_FOUND;
  platform::FileStat st;
  std::FILE* f = platform::Open_PC_File(pcPath, "rb", nullptr, &st);
  if (f != nullptr) {
    std::fclose(f);
    return Make_FileInfo_Packet(pcPath, st, htName, letters, out);
  }
  // A file that exists but cannot be read is announced with its size, date,
  // time and attributes all 0.
  if (platform::Stat_PC(pcPath, &st) != platform::FS_OK) return E_PATH_NOT_FOUND;
  if (st.size > kMaxFileSize) return E_FILE_SIZE;
  fileinfotag info;
  std::memset(&info, 0, sizeof info);
  return File_Info_Packet(out, info, htName, letters);
}

short RS232_ROX::Make_FileInfo_Packet(const char* pcPath, const platform::FileStat& st, const char* htName,
                                      const unsigned char* letters, unsigned char* out) {
  if (st.size > kMaxFileSize) return E_FILE_SIZE;
  fileinfotag info;
  File_Info_Of(pcPath, st, &info);
  return File_Info_Packet(out, info, htName, letters);
}

short RS232_ROX::Make_TrnsReq_Packet(const char* command, unsigned char* out) {
  try {
    std::string letters, args;
    if (!Split_Command(command, &letters, &args)) return E_PARAMETER;
    const bool subfolders = letters.find('W', 1) != std::string::npos;
    if (letters.find('O', 1) != std::string::npos) TransferOption = 1;

    std::string names;
    if (letters.find('A', 1) != std::string::npos) {
      names = args.substr(0, args.find("::"));  // RA: the HT name; the PC name stays here
    } else if (letters.find('U', 1) != std::string::npos) {
      // The update list written by the preceding 'V' step: "name::name::".
      if (ListFile == nullptr) return E_FILE_NOTHING;
      std::fflush(ListFile);
      std::rewind(ListFile);
      char buf[4096];
      std::size_t got;
      while ((got = std::fread(buf, 1, sizeof buf, ListFile)) > 0) {
        names.append(buf, got);
        if (names.size() > MAX_DATA_LENGTH) return E_DATA_LENGTH;
      }
      bool failed = std::ferror(ListFile) != 0;
      std::rewind(ListFile);
      if (failed) return E_READ_ERROR;
      if (names.size() >= 2 && names.compare(names.size() - 2, 2, "::") == 0)
        names.resize(names.size() - 2);
    } else {
      names = args.substr(0, args.find("##"));  // the PC destination stays here
    }
    return Text_Packet(out, 'R', subfolders ? 'w' : 'r', names);
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

short RS232_ROX::Make_DelReq_Packet(const char* command, unsigned char* out) {
  try {
    std::string letters, list;
    if (!Split_Command(command, &letters, &list) || list.empty()) return E_PARAMETER;
    unsigned char sub = 0;
    if (letters.find('O', 1) != std::string::npos) sub |= 1;
    if (letters.find('R', 1) != std::string::npos) sub |= 2;
    unsigned count = 1;
    for (std::size_t p = list.find("::"); p != std::string::npos; p = list.find("::", p + 2)) ++count;
    if (count > 0xFFFF || !Header(out, 1, 'D', sub, 2 + list.size() + 1)) return E_DATA_LENGTH;
    Put16(out + kHeader, static_cast<std::uint16_t>(count));
    std::memcpy(out + kHeader + 2, list.c_str(), list.size() + 1);
    return Seal(out);
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

short RS232_ROX::Make_ChangeFileReq_Packet(const char* command, unsigned char* out) {
  try {
    if (command == nullptr || std::strlen(command) < 2) return E_PARAMETER;
    return Text_Packet(out, 'M', 0, std::string(command + 2));
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

short RS232_ROX::Make_DiskInfoReq_Packet(const char* command, unsigned char* out) {
  if (command == nullptr || command[0] == '\0') return E_PARAMETER;
  const char* p = command + 1;
  while (*p == ' ') ++p;
  char drive = Upper(*p);
  if (drive < 'A' || drive > 'Z') return E_INVALID_DRIVE;
  Header(out, 1, 'C', 0, 1);
  out[kHeader] = static_cast<unsigned char>(drive);
  return Seal(out);
}

short RS232_ROX::Make_FileInfoReq_Packet(unsigned char next, const char* pattern, unsigned char* out) {
  if (next != 0) {
    Header(out, 1, 'V', 'n', 0);
    return Seal(out);
  }
  try {
    return Text_Packet(out, 'V', 'f', pattern != nullptr ? pattern : "");
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

short RS232_ROX::Make_SetFileInfo_Packet(const char* command, unsigned char* out) {
  try {
    // "U size date$time attrs name": the date before '$', then the time,
    // the attribute letters and the name (the rest, blanks included). A
    // missing date or time stands in the command as FFFFFFFF or FFFFFF.
    std::string letters, args;
    if (!Split_Command(command, &letters, &args)) return E_PARAMETER;
    std::size_t pos = 0;
    std::uint32_t size = 0;
    if (!Parse_U32(Next_Word(args, &pos), &size)) return E_PARAMETER;
    std::size_t dollar = args.find('$', pos);
    if (dollar == std::string::npos) return E_PARAMETER;
    std::string date_text = args.substr(pos, dollar - pos);
    pos = dollar + 1;
    std::string time_text = Next_Word(args, &pos);
    std::string attr_text = Next_Word(args, &pos);
    std::string name = args.substr(Skip_Blanks(args, pos));
    if (name.empty()) return E_PARAMETER;

    // Only the date and time fields are looked at: a name such as
    // "C:\my-file.txt" carries no date or time.
    std::uint32_t date = 0xFFFFFFFFu;
    if (!Read_Date(date_text, &date)) date = 0xFFFFFFFFu;
    std::uint8_t time[3] = {0xFF, 0xFF, 0xFF};
    if (!Read_Time(time_text, time)) time[0] = time[1] = time[2] = 0xFF;
    std::uint8_t attributes = 0;
    for (char c : attr_text) {
      switch (Upper(c)) {
        case 'R': attributes |= platform::ATTR_READONLY; break;
        case 'H': attributes |= platform::ATTR_HIDDEN; break;
        case 'S': attributes |= platform::ATTR_SYSTEM; break;
        case 'A': attributes |= platform::ATTR_ARCHIVE; break;
        default: break;  // "Z" (none given) and other letters
      }
    }
    if (!Header(out, 1, 'U', 0, 13 + name.size())) return E_DATA_LENGTH;
    Put_File_Info(out + kHeader, size, date, time, attributes, name.c_str(), name.size());
    return Seal(out);
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

short RS232_ROX::Make_TimeSetReq_Packet(const char* command, unsigned char* out) {
  std::uint32_t date = 0;
  unsigned char time[3] = {0, 0, 0};
  if (SetClockPending) {
    fileinfotag now;
    Get_Date_Time(&now);
    date = now.Date;
    std::memcpy(time, now.Time, 3);
    SetClockPending = 0;
  } else {
    try {
      std::string letters, args;
      if (!Split_Command(command, &letters, &args)) return E_PARAMETER;
      // "T date$time": a command without a date ('-') or without a time
      // (':') cannot be sent; the values themselves are the HT's to judge.
      std::size_t dollar = args.find('$');
      std::string date_text = dollar == std::string::npos ? args : args.substr(0, dollar);
      std::string time_text = dollar == std::string::npos ? args : args.substr(dollar + 1);
      if (!Read_Date(date_text, &date) || !Read_Time(time_text, time)) return E_PARAMETER;
    } catch (const std::bad_alloc&) {
      return E_MEMORY;
    }
  }
  Header(out, 1, 'T', 0, 7);
  Put_Date(out + kHeader, date);
  std::memcpy(out + kHeader + 4, time, 3);
  return Seal(out);
}

short RS232_ROX::Make_DispStringReq_Packet(const char* command, unsigned char* out) {
  try {
    if (command == nullptr || std::strlen(command) < 2) return E_PARAMETER;
    return Text_Packet(out, 'P', 0, std::string(command + 2));
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
}

short RS232_ROX::Make_BuzReq_Packet(unsigned char* out) {
  Header(out, 1, 'G', 0, 0);
  return Seal(out);
}

short RS232_ROX::Make_EndInd_Packet(const char* command, unsigned char* out) {
  if (command == nullptr || command[0] == '\0') return E_PARAMETER;
  unsigned char error_class = 0;
  if (command[1] == 'P') {
    // "EP " and the class byte itself.
    if (command[2] != '\0') error_class = static_cast<unsigned char>(command[3]);
  } else if (command[1] == 'F') {
    const char* p = command + 2;
    while (*p == ' ') ++p;
    if (*p == '\0') return E_PARAMETER;
    // Drive-format notice of drive X: the letter's code plus 155, 0xDC for A.
    error_class = static_cast<unsigned char>((static_cast<unsigned char>(Upper(*p)) + 155) & 0xFF);
  }
  Header(out, 1, 'E', 0, 2);
  out[kHeader] = 0;
  out[kHeader + 1] = error_class;
  return Seal(out);
}

long RS232_ROX::Send_End_Indication_Packet(int channel, short code) {
  unsigned char pkt[9];
  unsigned char detail, error_class;
  if (code >= E_CHILD_FIRST && code <= E_CHILD_LAST) {
    // A child program's exit code travels as the configured base plus its number.
    std::uint16_t v = static_cast<std::uint16_t>(platform::Load(GErrCode) + code - E_CHILD_FIRST);
    detail = Extract_LByte(v);
    error_class = Extract_HByte(v);
  } else {
    const ErrorEntry& e = ErrorTable[(code >= 0 && code < ERROR_COUNT) ? code : short{E_UNKNOWN}];
    detail = e.Detail;
    error_class = e.Class;
  }
  Header(pkt, 1, 'E', 0, 2);
  pkt[kHeader] = detail;
  pkt[kHeader + 1] = error_class;
  Seal(pkt);
  return Send(channel, pkt, sizeof pkt);
}

short RS232_ROX::Make_Response_Packet(Cmdtag kind, const unsigned char* letters, const void* info,
                                      unsigned char* out) {
  const unsigned char command = letters[0], sub = letters[1];
  switch (kind) {
    case RESP_TRANSFER_INFO:
    case RESP_FILE_INFO:
    case RESP_LAST_BLOCK:
    case RESP_DELETE:
    case RESP_MOVE:
    case RESP_MKDIR:
    case RESP_DISPLAY:
    case RESP_SET_FILE_INFO:
      Header(out, 0, command, sub, 2);
      Put16(out + kHeader, 0);  // the PC's status is always 0
      return Seal(out);

    case RESP_TIME: {
      fileinfotag now;
      const fileinfotag* fi = static_cast<const fileinfotag*>(info);
      if (fi == nullptr) {
        Get_Date_Time(&now);
        fi = &now;
      }
      Header(out, 0, command, sub, 7);
      Put_Date(out + kHeader, fi->Date);
      std::memcpy(out + kHeader + 4, fi->Time, 3);
      return Seal(out);
    }

    case RESP_GET_FILE_INFO: {
      static const fileinfotag kNone{};
      const fileinfotag* fi = info != nullptr ? static_cast<const fileinfotag*>(info) : &kNone;
      std::size_t n = strnlen(fi->Name, sizeof fi->Name - 1);
      Header(out, 0, command, sub, 13 + n);
      Put_File_Info(out + kHeader, fi->Size, fi->Date, fi->Time, fi->Attributes, fi->Name, n);
      return Seal(out);
    }

    case RESP_DISK_INFO: {
      static const Diskinfotag kNone{};
      const Diskinfotag* di = info != nullptr ? static_cast<const Diskinfotag*>(info) : &kNone;
      Header(out, 0, command, sub, 9);
      Put32(out + kHeader, di->Capacity);
      Put32(out + kHeader + 4, di->Free);
      out[kHeader + 8] = di->Condition;
      return Seal(out);
    }

    case RESP_SESSION_INFO: {
      static const Sessiontag kNone{};
      const Sessiontag* si = info != nullptr ? static_cast<const Sessiontag*>(info) : &kNone;
      std::size_t n = strnlen(si->Text, sizeof si->Text - 1);
      Header(out, 0, command, sub, n == 0 ? 7 : n + 8);
      Put16(out + kHeader, si->Session);
      out[kHeader + 2] = si->Level;
      std::memcpy(out + kHeader + 3, si->Id, 4);
      if (n != 0) {
        std::memcpy(out + kHeader + 7, si->Text, n);
        out[kHeader + 7 + n] = 0;
      }
      return Seal(out);
    }
  }
  std::memset(out, 0, PACKET_BUF_SIZE);
  return E_PARAMETER;
}

void RS232_ROX::Update_Session_Info(unsigned short session, Sessiontag* info) {
  info->Session = session;
  info->Level = '1';
  info->Id[0] = 'A';
  info->Id[1] = 'T';
  info->Id[2] = 0;
  info->Id[3] = 'W';
  std::memset(info->Text, 0, sizeof info->Text);
  bounded::Copy_N(info->Text, sizeof info->Text, SessionText, strnlen(SessionText, sizeof info->Text - 1));
}
