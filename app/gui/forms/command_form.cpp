#include "app/gui/forms/command_form.h"

#include <cstdio>

#include "app/core/startup.h"
#include "engine/rox32.h"
#include "platform/atomic.h"
#include "platform/clock.h"

const std::array<const char*, kFormCommandCount> kFormCommandNames = {
    "Send",         "Receive",     "Buzzer",      "Format",      "SetTimeDate",
    "Delete",       "Disp Str",    "Move",        "Append Send", "Append  Recv",
    "GetDiskInfo",  "GetFileInfo", "SetFileInfo", "End  Session", "Exec"};

const std::array<BrowseFilter, 4> kBrowseFilters = {{
    {"All Files(*.*)", "*.*"},
    {"SCR Files (*.scr)", "*.scr"},
    {"C++ Files (*.cpp) ", "*.cpp"},
    {"Header Files \\\n(*.h)", "*.h"},
}};

std::string Drive_Text(int index) {
  if (index < 0 || index > 25) index = 0;
  return std::string(1, static_cast<char>('A' + index)) + ":";
}

FormValues Initial_Form_Values() {
  FormValues v;
  const platform::LocalTime now = platform::Get_Local_Time();
  char date[32];
  char time[32];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", now.year, now.month, now.day);
  std::snprintf(time, sizeof time, "%02d:%02d:%02d", now.hour, now.minute, now.second);
  v.date = date;
  v.time = time;
  return v;
}

FormRules Rules_For(int command, bool editor) {
  FormRules r;
  switch (command) {
    default:
    case kFormSend:
      r.first = r.browse = r.second = true;
      r.options = r.overwrite = r.recursive = r.update = true;
      break;
    case kFormReceive:
      r.first = r.second = true;
      r.options = r.overwrite = r.recursive = r.update = true;
      break;
    case kFormBuzzer:
      break;
    case kFormFormat:
    case kFormGetDiskInfo:
      r.drive = true;
      break;
    case kFormSetTimeDate:
      r.date_time = true;
      break;
    case kFormDelete:
      r.second = true;
      r.options = r.overwrite = r.recursive = true;
      r.second_label = "Enter File";
      break;
    case kFormDispStr:
      r.first = true;
      r.first_label = "Enter String";
      break;
    case kFormMove:
      r.first = r.second = true;
      r.first_label = "Source File";
      r.second_label = "Destination File";
      break;
    case kFormAppendSend:
      r.first = r.browse = r.second = true;
      r.first_label = "Source File";
      r.second_label = "Destination File";
      break;
    case kFormAppendRecv:
      r.first = r.browse = r.second = true;
      r.first_label = "Destination File";
      r.second_label = "Source File";
      break;
    case kFormGetFileInfo:
      r.second = true;
      r.second_label = "Enter File";
      break;
    case kFormSetFileInfo:
      r.second = r.date_time = r.attrib = r.size = true;
      r.second_label = "Enter File";
      break;
    case kFormEndSession:
      r.second = true;
      r.second_label = "Ending Code";
      r.force_single = true;
      r.batch_enabled = false;
      break;
    case kFormExec:
      r.first = r.browse = true;
      r.first_label = "Child Process";
      break;
  }
  // The editor offers the Options group for the two-name commands too; their
  // lines do not use its letters.
  if (editor && (command == kFormMove || command == kFormAppendSend || command == kFormAppendRecv))
    r.options = r.overwrite = r.recursive = r.update = true;
  return r;
}

void Apply_Command_Change(FormValues& values, int command, bool editor) {
  if (command < 0 || command >= kFormCommandCount) command = kFormSend;
  const FormRules r = Rules_For(command, editor);
  values.command = command;
  values.first.clear();
  values.second.clear();
  if (!r.overwrite) values.overwrite = false;
  if (!r.recursive) values.recursive = false;
  if (!r.update) values.update = false;
  if (!r.attrib) values.hidden = values.archive = values.read_only = values.system = false;
  values.single = r.force_single;
}

std::string Build_Command_Line(const FormValues& v, bool editor) {
  std::string line = !editor && (v.single || v.command == kFormEndSession) ? "/1" : "";
  const std::string options = std::string(v.overwrite ? "O" : "") + (v.recursive ? "R" : "") + (v.update ? "U " : " ");
  switch (v.command) {
    default:
    case kFormSend:
      return line + "/S" + options + v.first + " " + v.second;
    case kFormReceive:
      return line + "/R" + options + v.first + " " + v.second;
    case kFormBuzzer:
      return line + "/B";
    case kFormFormat:
      return line + "/F " + Drive_Text(v.drive);
    case kFormSetTimeDate:
      return line + "/T " + v.date + " " + v.time;
    case kFormDelete:
      return line + "/D" + (v.overwrite ? "O" : "") + (v.recursive ? "R" : "") + " " + v.second;
    case kFormDispStr:
      return line + "/p " + v.first;
    case kFormMove:
      return line + "/N " + v.first + " " + v.second;
    case kFormAppendSend:
      return line + "/AS " + v.first + " " + v.second;
    case kFormAppendRecv:
      // The second field names the source on the HT, the first the
      // destination on the PC; the line takes source first.
      return line + "/AR " + v.second + " " + v.first;
    case kFormGetDiskInfo:
      return line + "/I " + Drive_Text(v.drive);
    case kFormGetFileInfo:
      return line + "/I " + v.second;
    case kFormSetFileInfo:
      return line + "/X" + (v.hidden ? "H" : "") + (v.read_only ? "R" : "") + (v.archive ? "A" : "") +
             (v.system ? "S" : "") + " " + v.second + " " + v.size + " " + v.date + " " + v.time;
    case kFormEndSession:
      return line + "// " + v.second;
    case kFormExec:
      return line + "/C " + v.first;
  }
}

std::string Append_Browsed_Path(const std::string& field, const std::string& path) {
  std::string out = field;
  if (!out.empty()) out += ' ';
  return out + "\"" + path + "\"";
}

std::string Script_Run_Line(const std::string& file_name, bool single) {
  return (single ? "/1/E " : "/E ") + file_name;
}

DistributeResult Distribute_Line(FormHost& host, const std::string& line, bool batch, DistributeKind kind) {
  // Refused before anything changes: a cut line would name other files.
  if (line.size() >= static_cast<std::size_t>(CMD_BUF_SIZE)) return DistributeResult::kTooLong;
  const int iface = host.Interface_Type();
  if (iface == kRs232) {
    if (kind == DistributeKind::kCommandScreen) Clear_Command_Buffer(1);
    if (batch) {
      host.Command_Flags_Off();
      platform::Store(Info_Of(1).BatchFlag, 1);
    }
    Write_Command_Buffer(1, line.c_str());
  } else {
    const int last = iface == kScsi ? 7 : MAX_HT;
    for (int ht = 1; ht <= last; ++ht) {
      InfoHT& info = Info_Of(ht);
      const std::int32_t checked = platform::Load(info.CheckFlag);
      if (batch && checked == 1) platform::Store(info.BatchFlag, 1);
      platform::Store(info.CurrentlySelected, checked);
    }
    // The lines go in after every flag is set.
    for (int ht = 1; ht <= last; ++ht)
      if (platform::Load(Info_Of(ht).CurrentlySelected) != 0) Write_Command_Buffer(ht, line.c_str());
    if (iface == kTcpip) host.Lay_Out_Ping_Panel();
  }
  if (!host.Link_Manager_Running()) host.Start_Link_Manager();
  return DistributeResult::kDone;
}
