// device.ini: the application's tokenizer, the station table, MAX_IO, the
// ping time-out and the writer.
#include "app/core/devini.h"

#include <cstdio>
#include <cstring>

#include "app/core/progdir.h"
#include "app/core/text.h"
#include "engine/bounded.h"
#include "engine/rox32.h"
#include "platform/atomic.h"
#include "platform/msgbox.h"
#include "platform/profile.h"
#include "platform/progdir.h"
#include "scsi/boxlink.h"

DeviceSettings GDeviceSettings = {"", "", "", "", "", "", "", "", "", "", "", "", "", 100};
StationIpTable GStationIpTable{};

namespace {

using core_text::Same_Text;

constexpr const char* kCaption = "Tarnel";
constexpr const char* kNotFound = "Stringnotfound";
constexpr std::uint8_t kDefaultMaxIo = 100;
constexpr int kDefaultPingTimeout = 1000;

// A settings file larger than this is refused rather than read into memory.
constexpr std::size_t kMaxIniBytes = 4u * 1024 * 1024;

bool Is_Separator(char c) { return c == '=' || c == ',' || c == '\n'; }

// Copies value into a fixed field; a value that does not fit is refused and
// the field keeps what it held. An empty value (which may have no storage at
// all) empties the field without copying.
template <std::size_t N>
void Store_Text(char (&field)[N], std::string_view value) {
  if (value.size() >= N) return;
  if (!value.empty()) std::memcpy(field, value.data(), value.size());
  field[value.size()] = '\0';
}

enum class Key {
  kIf, kPingTimeout, kTcpTimeout, kSelectTimeout, kErrorFile, kWorkFile, kInformation,
  kPort, kBaud, kParity, kStop, kData, kIpAddr, kPortNo, kScanTime,
};

constexpr struct {
  const char* name;
  Key key;
} kKeys[] = {
    {"IF", Key::kIf},
    {"PING_TIMEOUT", Key::kPingTimeout},
    {"TCP_TIMEOUT", Key::kTcpTimeout},
    {"SELECT_TIMEOUT", Key::kSelectTimeout},
    {"ERRORFILE", Key::kErrorFile},
    {"WORKFILE", Key::kWorkFile},
    {"INFORMATION", Key::kInformation},
    {"PORT", Key::kPort},
    {"BAUD", Key::kBaud},
    {"PARITY", Key::kParity},
    {"STOP", Key::kStop},
    {"DATA", Key::kData},
    {"IPADDR", Key::kIpAddr},
    {"PORTNO", Key::kPortNo},
    {"SCANTIME", Key::kScanTime},
};

bool Find_Key(std::string_view token, Key* key) {
  for (const auto& k : kKeys)
    if (Same_Text(token, k.name)) {
      *key = k.key;
      return true;
    }
  return false;
}

void Store(Key key, std::string_view value, const std::string& program_dir, DeviceSettings* s,
           DeviceIniExtras* x) {
  switch (key) {
    case Key::kIf: Store_Text(s->IF, value); break;
    case Key::kInformation: Store_Text(s->INFORMATION, value); break;
    case Key::kPort: Store_Text(s->Port, value); break;
    case Key::kBaud: Store_Text(s->Baud, value); break;
    case Key::kParity: Store_Text(s->Parity, value); break;
    case Key::kStop: Store_Text(s->Stop, value); break;
    case Key::kData: Store_Text(s->Data, value); break;
    case Key::kIpAddr: Store_Text(s->IPADDR, value); break;
    case Key::kPortNo: Store_Text(s->PORTNO, value); break;
    case Key::kTcpTimeout: Store_Text(s->TCP_TIMEOUT, value); break;
    case Key::kPingTimeout: Store_Text(s->PING_TIMEOUT, value); break;
    case Key::kSelectTimeout: Store_Text(s->SELECT_TIMEOUT, value); break;
    case Key::kErrorFile:
      x->error_file_set = true;
      x->error_file.assign(value);
      break;
    case Key::kWorkFile:
      x->work_file_set = true;
      x->work_file = Work_Folder_Of(value, program_dir);
      break;
    case Key::kScanTime:
      Store_Text(s->Scantime, value);
      x->scan_time_set = true;
      x->scan_time_ms = Scan_Time_Ms(value);
      break;
  }
}


bool File_Exists(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

// A value as the writer puts it on its line: line breaks would start a new
// line of the file, so they are left out.
void Append_Value(std::string* out, const char* value) {
  for (const char* p = value; *p != '\0'; ++p)
    if (*p != '\r' && *p != '\n') out->push_back(*p);
}

void Line(std::string* out, const char* key, const char* value) {
  out->append(key);
  Append_Value(out, value);
  out->append("\r\n");
}

std::string Device_Ini_Path() { return Program_File("device.ini"); }

}  // namespace

void Clear_Device_Settings(DeviceSettings* settings) {
  *settings = DeviceSettings{};
  settings->MAX_IO = kDefaultMaxIo;
}

void Clear_Station_Ip_Table(StationIpTable* table) { *table = StationIpTable{}; }

std::string Work_Folder_Of(std::string_view value, const std::string& program_dir) {
  if (value.empty()) return program_dir;
  if (value.size() == 2 && value[1] == ':' &&
      ((value[0] >= 'A' && value[0] <= 'Z') || (value[0] >= 'a' && value[0] <= 'z')))
    return std::string(value) + '\\';
  while (!value.empty() && core_text::Is_Blank(value.back())) value.remove_suffix(1);
  if (value.empty()) return program_dir;
  std::string folder(value);
  const char last = folder.back();
  if (last != '\\' && last != '/') {
    // Close it with the separator the path already uses.
    const std::size_t sep = folder.find_last_of("\\/");
    folder += sep == std::string::npos ? '\\' : folder[sep];
  }
  return folder;
}

std::uint32_t Scan_Time_Ms(std::string_view value) {
  const std::int64_t ms = core_text::Seconds_To_Ms(value);
  if (ms > 30000) return 30000;
  if (ms < 500) return 500;
  return static_cast<std::uint32_t>(ms);
}

void Parse_Device_Ini(std::string_view text, const std::string& program_dir,
                      DeviceSettings* settings, DeviceIniExtras* extras) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);

  // At() stands for the zero-filled buffer the file is read into: past the
  // end of the text it reads 0.
  auto At = [&](std::size_t i) { return i < text.size() ? text[i] : '\0'; };
  std::size_t pos = 0;
  // Next token: [*start, *end); false when there is none.
  auto Next = [&](std::size_t* start, std::size_t* end) {
    while (pos < text.size() && Is_Separator(text[pos])) ++pos;
    if (pos >= text.size()) return false;
    *start = pos;
    while (pos < text.size() && !Is_Separator(text[pos])) ++pos;
    *end = pos;
    return true;
  };

  std::size_t start, end;
  while (Next(&start, &end)) {
    Key key;
    if (!Find_Key(text.substr(start, end - start), &key)) continue;
    std::string_view value;
    // The character right after the separator that ended the key: a line
    // feed there means the key has no value on its line.
    if (At(end + 1) != '\n') {
      std::size_t vstart, vend;
      if (Next(&vstart, &vend)) {
        value = text.substr(vstart, vend - vstart);
        if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
      }
    }
    Store(key, value, program_dir, settings, extras);
  }
}

bool Read_Device_Ini() {
  const std::string path = Device_Ini_Path();
  std::string text;
  if (!platform::Read_Small_File(path, &text, kMaxIniBytes)) {
    platform::Message_Box(kDeviceIniMissing, kCaption, platform::MB_OK | platform::MB_ICONWARNING);
    return false;
  }
  DeviceIniExtras extras;
  Parse_Device_Ini(text, Get_Program_Directory(), &GDeviceSettings, &extras);
  // A path too long for the engine's arrays is refused like an over-long text.
  if (extras.error_file_set && extras.error_file.size() < sizeof DefErrorFile)
    bounded::Copy(DefErrorFile, extras.error_file.c_str());
  if (extras.work_file_set && extras.work_file.size() < sizeof DefWorkFile)
    bounded::Copy(DefWorkFile, extras.work_file.c_str());
  if (extras.scan_time_set) platform::Store(GScanTime, extras.scan_time_ms);

  Load_Station_Ip_Table();

  char value[100];
  platform::Get_Private_Profile_String("ETHERNET", "MAX_IO", kNotFound, value, sizeof value,
                                       path.c_str());
  GDeviceSettings.MAX_IO = std::strcmp(value, kNotFound) == 0
                               ? kDefaultMaxIo
                               : static_cast<std::uint8_t>(core_text::Decimal(value) & 0xFF);
  return true;
}

int Load_Station_Ip_Table() {
  const std::string path = Device_Ini_Path();
  Clear_Station_Ip_Table(&GStationIpTable);
  int count = 0;
  for (int n = 1; n <= 255; ++n) {
    char key[4];
    std::snprintf(key, sizeof key, "%d", n);
    char address[40];
    platform::Get_Private_Profile_String("USE_IP", key, kNotFound, address, sizeof address,
                                         path.c_str());
    if (std::strcmp(address, kNotFound) == 0) continue;
    StationIpRow& row = GStationIpTable.rows[count++];
    bounded::Copy(row.key, key);
    bounded::Copy(row.address, address);
  }
  GStationIpTable.count = count;
  return count;
}

std::string Format_Device_Ini(const DeviceSettings& s, const char* error_file,
                              const char* work_file, const StationIpTable& table) {
  std::string out;
  Line(&out, "IF=", s.IF);
  Line(&out, "ErrorFile=", error_file);
  Line(&out, "WorkFile=", work_file);
  Line(&out, "INFORMATION=", s.INFORMATION);
  Line(&out, "[RS232C]", "");
  Line(&out, "Port=", s.Port);
  Line(&out, "Baud=", s.Baud);
  Line(&out, "Parity=", s.Parity);
  Line(&out, "Stop=", s.Stop);
  Line(&out, "Data=", s.Data);
  Line(&out, "[SCSI]", "");
  Line(&out, "Scantime=", s.Scantime);
  Line(&out, "[ETHERNET]", "");
  if (s.TCP_TIMEOUT[0] != '\0') Line(&out, "TCP_TIMEOUT=", s.TCP_TIMEOUT);
  if (s.PING_TIMEOUT[0] != '\0') Line(&out, "PING_TIMEOUT=", s.PING_TIMEOUT);
  if (s.SELECT_TIMEOUT[0] != '\0') Line(&out, "SELECT_TIMEOUT=", s.SELECT_TIMEOUT);
  Line(&out, "PORTNO=", s.PORTNO);
  Line(&out, "MAX_IO=", std::to_string(s.MAX_IO).c_str());
  Line(&out, "[USE_IP]", "");
  const int rows = table.count < 0 ? 0 : (table.count > 255 ? 255 : table.count);
  for (int i = 0; i < rows && table.rows[i].key[0] != '\0'; ++i) {
    Append_Value(&out, table.rows[i].key);
    out.push_back('=');
    Append_Value(&out, table.rows[i].address);
    out.append("\r\n");
  }
  return out;
}

bool Write_Device_Ini() {
  const std::string error_file(DefErrorFile, strnlen(DefErrorFile, sizeof DefErrorFile));
  const std::string work_file(DefWorkFile, strnlen(DefWorkFile, sizeof DefWorkFile));
  const std::string text = Format_Device_Ini(GDeviceSettings, error_file.c_str(),
                                             work_file.c_str(), GStationIpTable);
  std::string why;
  if (platform::Replace_File(Device_Ini_Path(), text, &why)) return true;
  platform::Message_Box(std::string(kDeviceIniNotSaved) + "\n" + why, kCaption,
                        platform::MB_OK | platform::MB_ICONERROR);
  return false;
}

int Get_Ping_Timeout() {
  const std::string path = Device_Ini_Path();
  if (!File_Exists(path)) {
    platform::Message_Box(kDeviceIniNotFound, kCaption, platform::MB_OK | platform::MB_ICONWARNING);
    return 0;
  }
  char value[80];
  platform::Get_Private_Profile_String("ETHERNET", "PING_TIMEOUT", kNotFound, value, sizeof value,
                                       path.c_str());
  if (std::strcmp(value, kNotFound) == 0) return kDefaultPingTimeout;
  return core_text::Decimal(value);
}
