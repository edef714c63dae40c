#include "app/server/check_config.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/core/devini.h"
#include "app/core/panelset.h"
#include "app/core/progdir.h"
#include "app/core/startup.h"
#include "app/core/text.h"
#include "engine/rox32.h"
#include "platform/access.h"
#include "platform/msgbox.h"
#include "platform/pcfs.h"
#include "platform/socket.h"
#include "scsi/boxlink.h"

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool Read_Text(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *text = ss.str();
  return true;
}

struct Findings {
  std::ostream& out;
  int errors = 0;
  int warnings = 0;
  void Error(const std::string& text) {
    out << "error: " << text << "\n";
    ++errors;
  }
  void Warning(const std::string& text) {
    out << "warning: " << text << "\n";
    ++warnings;
  }
};

// The sections of a file and the keys each may hold (upper case); "*" holds
// the keys allowed everywhere, "" the keys before any section header.
using KeySets = std::vector<std::pair<std::string, std::set<std::string>>>;

const std::set<std::string>* Keys_Of(const KeySets& sets, const std::string& section) {
  for (const auto& [name, keys] : sets)
    if (name == section) return &keys;
  return nullptr;
}

bool All_Digits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// Unknown sections and keys, blanks around '=', lines that are neither.
void Check_Lines(const std::string& file, const std::string& text, const KeySets& sets, bool numbered_stations,
                 Findings* f) {
  std::istringstream in(text);
  std::string line;
  std::string section;
  const std::set<std::string>* any = Keys_Of(sets, "*");
  for (int n = 1; std::getline(in, line); ++n) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string where = file + " line " + std::to_string(n) + ": ";
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    if (line[0] == '[') {
      const std::size_t close = line.find(']');
      section = Upper(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      if (section != "DEFAULT" && Keys_Of(sets, section) == nullptr)
        f->Warning(where + "unknown section [" + line.substr(1, close == std::string::npos ? std::string::npos
                                                                                             : close - 1) +
                   "]; its keys are passed over");
      if (section == "DEFAULT") section.clear();
      continue;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) {
      f->Warning(where + "\"" + line + "\" is neither a section header nor KEY=VALUE");
      continue;
    }
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if ((!key.empty() && std::isblank(static_cast<unsigned char>(key.back()))) ||
        (!key.empty() && std::isblank(static_cast<unsigned char>(key.front()))) ||
        (!value.empty() && std::isblank(static_cast<unsigned char>(value.front()))) ||
        (!value.empty() && std::isblank(static_cast<unsigned char>(value.back())))) {
      f->Warning(where + "blanks around \"" + key + "=" + value +
                 "\" stay part of the key or the value; write it without them");
      continue;  // the key as written is one nobody reads; said once is enough
    }
    const std::string k = Upper(key);
    const std::set<std::string>* keys = Keys_Of(sets, section);
    if (keys == nullptr) continue;  // an unknown section was reported once
    const bool known = keys->count(k) != 0 || (any != nullptr && any->count(k) != 0) ||
                       (numbered_stations && section == "USE_IP" && All_Digits(k) && std::stoi(k) >= 1 &&
                        std::stoi(k) <= 255 && k[0] != '0');
    if (!known)
      f->Warning(where + "unknown key \"" + key + "\"" + (section.empty() ? "" : " in [" + section + "]") +
                 "; nothing reads it");
  }
}

const KeySets& Device_Keys() {
  static const KeySets sets = {
      {"", {"IF", "ERRORFILE", "WORKFILE", "INFORMATION"}},
      {"*", {"IRQ", "IO_ADDR"}},
      {"RS232C", {"PORT", "BAUD", "PARITY", "STOP", "DATA"}},
      {"SCSI", {"SCANTIME"}},
      {"ETHERNET", {"TCP_TIMEOUT", "PING_TIMEOUT", "SELECT_TIMEOUT", "PORTNO", "MAX_IO", "IPADDR"}},
      {"USE_IP", {}},
      {"IOBOX", {"IOBOX_RBYTES"}},
  };
  return sets;
}

const KeySets& Panel_Keys() {
  static const KeySets sets = {
      {"", {}},
      {"CODE", {"-1"}},
      {"MODE", {"MINIMIZE", "SERVER", "1SHOT", "COMMAND_TIMEOUT", "DUPLICATE", "CHILD_THROUGH"}},
      {"GUI",
       {"BARHEIGHT", "NUMOFBAR", "SENDR", "SENDG", "SENDB", "RECVR", "RECVG", "RECVB", "BOARDER1", "BOARDER2",
        "MAINWINHEIGHTFIX"}},
      {"DEBUG", {"DETAILLOG", "SCSILOG"}},
      {"ETC", {"MAXSENDSIZE"}},
  };
  return sets;
}

const char* Run_Options_Text(int result) {
  switch (result) {
    case RO_NO_FILE: return "panelset.ini cannot be opened; the run options keep their defaults";
    case RO_BAD_FILE: return "a [MODE] key is unknown, a section is missing or the file ends early";
    case RO_BAD_MINIMIZE: return "MINIMIZE is neither ON nor OFF";
    case RO_BAD_SERVER: return "SERVER is neither ON nor OFF";
    case RO_BAD_ONE_SHOT: return "1SHOT is neither ON nor OFF";
    case RO_BAD_SWITCH: return "DUPLICATE or CHILD_THROUGH is neither ON nor OFF";
    case RO_KEY_COUNT: return "[MODE] does not hold exactly its six keys";
    case RO_BAD_CODE_KEY: return "the [CODE] key is not -1";
    case RO_BAD_CODE_VALUE: return "the [CODE] value is not one hexadecimal number";
  }
  return "unknown result";
}

std::string On_Off(bool b) { return b ? "ON" : "OFF"; }

// A folder the server writes to, named by a PC path or a native one.
void Check_Folder(const std::string& what, const std::string& pc_path, Findings* f) {
  if (pc_path.size() >= 2 && pc_path[1] == ':' && std::isalpha(static_cast<unsigned char>(pc_path[0]))) {
    std::string root;
    if (!platform::Drive_Root(pc_path[0], &root)) {
      f->Error(what + " " + pc_path + " is on drive " + pc_path.substr(0, 2) + ", which TARNEL_DRIVES does not map");
      return;
    }
  }
  std::string native;
  if (!platform::To_Native_Path(pc_path.c_str(), &native)) {
    f->Error(what + " " + pc_path + " names no folder of this host");
    return;
  }
  platform::PathInfo info;
  std::string why;
  if (!platform::Path_Info(native, &info, &why) || !info.exists) {
    f->Error(what + " " + native + " does not exist");
    return;
  }
  if (!platform::Folder_Writable(native)) f->Error(what + " " + native + " cannot be written by this user");
}

}  // namespace

int Check_Configuration(std::ostream& out) {
  Findings f{out};
  const std::string dir = Get_Program_Directory();
  out << "program directory: " << dir << "\n";
  // The readers' message boxes become lines of the report.
  platform::Set_Message_Box_Handler([&out](const std::string& text, const std::string& caption, unsigned flags) {
    out << "message " << caption << ": " << text << "\n";
    return (flags & 0x0F) == platform::MB_YESNO ? platform::IDYES : platform::IDOK;
  });

  // panelset.ini
  const int ro = Load_Run_Options();
  std::string text;
  if (Read_Text(Program_File("panelset.ini"), &text)) {
    Check_Lines("panelset.ini", text, Panel_Keys(), false, &f);
    if (ro != RO_OK)
      f.Warning(std::string("panelset.ini: ") + Run_Options_Text(ro) +
                "; the options read before that are kept, the others keep their defaults");
  } else {
    f.Warning("no panelset.ini in " + dir + "; the run options keep their defaults");
  }
  out << "panelset.ini [CODE] -1=" << std::hex << GRunOptions.code << std::dec
      << "  [MODE] MINIMIZE=" << On_Off(GRunOptions.minimize) << " SERVER=" << On_Off(GRunOptions.server)
      << " 1SHOT=" << On_Off(GRunOptions.one_shot) << " COMMAND_TIMEOUT=" << GRunOptions.command_timeout
      << " DUPLICATE=" << On_Off(!GRunOptions.single_instance) << " CHILD_THROUGH="
      << On_Off(GRunOptions.child_through) << "\n";

  // device.ini
  if (!Read_Text(Program_File("device.ini"), &text)) {
    f.Error("no device.ini in " + dir + " (or it cannot be read)");
    platform::Set_Message_Box_Handler({});
    out << "the server would not start: " << f.errors << " error(s), " << f.warnings << " warning(s)\n";
    return 1;
  }
  Check_Lines("device.ini", text, Device_Keys(), true, &f);
  Load_Device_And_Panel_Settings();
  out << "panelset.ini [GUI] BARHEIGHT=" << GPanelSettings.bar_height << " NUMOFBAR=" << GPanelSettings.num_of_bar
      << "  [DEBUG] DETAILLOG=" << int{GPanelSettings.detail_log} << " SCSILOG=" << int{GPanelSettings.scsi_log}
      << "  [ETC] MAXSENDSIZE=" << GPanelSettings.max_send_size << "\n";
  const DeviceSettings& d = GDeviceSettings;
  out << "device.ini IF=" << d.IF << "\n"
      << "device.ini ErrorFile=" << DefErrorFile << "\n"
      << "device.ini WorkFile=" << DefWorkFile << "\n"
      << "device.ini INFORMATION=" << d.INFORMATION << "\n"
      << "device.ini [RS232C] Port=" << d.Port << " Baud=" << d.Baud << " Parity=" << d.Parity
      << " Stop=" << d.Stop << " Data=" << d.Data << "\n"
      << "device.ini [SCSI] Scantime=" << d.Scantime << " (" << GScanTime << " ms)\n"
      << "device.ini [ETHERNET] TCP_TIMEOUT=" << d.TCP_TIMEOUT << " PING_TIMEOUT=" << d.PING_TIMEOUT
      << " SELECT_TIMEOUT=" << d.SELECT_TIMEOUT << " PORTNO=" << d.PORTNO << " MAX_IO=" << int{d.MAX_IO} << "\n";
  for (int i = 0; i < GStationIpTable.count; ++i)
    out << "device.ini [USE_IP] station " << GStationIpTable.rows[i].key << " = " << GStationIpTable.rows[i].address
        << "\n";

  const bool tcpip = core_text::Same_Text(d.IF, "ETHERNET");
  if (!tcpip && !core_text::Same_Text(d.IF, "RS232C") && !core_text::Same_Text(d.IF, "SCSI"))
    f.Error(std::string("device.ini: IF=") + d.IF + " names no interface (RS232C, SCSI, ETHERNET)");
  if (tcpip) {
    if (platform::Port_Number_From_Text(d.PORTNO) < 0)
      f.Error(std::string("device.ini: [ETHERNET] PORTNO=") + d.PORTNO + " is not a TCP port number 1 to 65535");
    char listen[64];
    if (platform::Listen_Address_From_Environment(listen, sizeof listen) && !platform::Is_Ipv4_Address(listen))
      f.Error(std::string("TARNEL_LISTEN=") + listen + " is not an IPv4 address");
    if (GStationIpTable.count == 0)
      f.Warning("device.ini: [USE_IP] lists no station; with --listed-only (TARNEL_LISTED_ONLY=1, as the "
                "packaged service runs) every connection is refused, without it terminals get the lowest "
                "free numbers");
  }
  if (core_text::Same_Text(d.IF, "RS232C")) {
    const std::string port = Upper(d.Port);
    if (port != "COM1" && port != "COM2" && port != "COM3" && port != "COM4")
      f.Error(std::string("device.ini: [RS232C] Port=") + d.Port + " is not COM1 to COM4");
  }
  Check_Folder("working folder (WorkFile)", DefWorkFile, &f);
  std::string error_file = DefErrorFile;
  const std::size_t cut = error_file.find_last_of("/\\");
  if (error_file.empty())
    f.Warning("device.ini: ErrorFile is empty; the error log cannot be written");
  else
    Check_Folder("error-log folder (ErrorFile)", cut == std::string::npos ? std::string(".") : error_file.substr(0, cut + 1),
                 &f);

  platform::Set_Message_Box_Handler({});
  if (f.errors > 0) {
    out << "the server would not start or not work: " << f.errors << " error(s), " << f.warnings << " warning(s)\n";
    return 1;
  }
  out << "the server would start: " << f.warnings << " warning(s)\n";
  return 0;
}
