#include "app/gui/shell_rules.h"


#include "engine/rox32.h"
#include "platform/atomic.h"

const std::array<CommandInfo, kCommandCount> kCommands = {{
    {ID_SCRIPT_NEW, "Script", "&New", "Ctrl+N", true, "Creates a new script  file"},
    {ID_SCRIPT_OPEN, "Script", "&Open", "Ctrl+O", true, "Opens an existing script file"},
    {ID_SCRIPT_PRINT, "Script", "&Print", "Ctrl+P", true, "Prints Script File"},
    {ID_APP_EXIT, "Script", "E&xit", "Esc", false, "Quits the application ..."},
    {ID_CONF_RS232C, "Configure", "&RS-232-C", "", false, "Select RS-232-C "},
    {ID_CONF_SCSI, "Configure", "&SCSI", "", false, "Select SCSI "},
    {ID_CONF_TCPIP, "Configure", "&TCP/IP", "", false, "Select TCP/IP"},
    {ID_CONF_SET_DEFAULT, "Configure", "Set As &Default", "Ctrl+F", false, "Saves the current Interface as Default"},
    {ID_CONF_SETTINGS, "Configure", "S&ettings", "Ctrl+G", false, "Settings(depending on the above check)"},
    {ID_LINK_START, "LinkManager", "Star&t Link Manager", "", true, "Starts Link Manager"},
    {ID_LINK_STOP, "LinkManager", "Sto&p Link Manager", "", true, "Stops Link Manager"},
    {ID_EXEC_COMMAND, "Execute", "&Command", "Ctrl+M", true, "Execute a Command"},
    {ID_EXEC_SCRIPT, "Execute", "&Script File", "Ctrl+S", true, "Executes a Script File"},
    {ID_EXEC_ABORT, "Execute", "&Abort", "Pause", true, "Abort Selected Sessions"},
    {ID_HELP_FINDER, "Help", "&Help Topics", "", false, "List Help topics"},
    {ID_APP_ABOUT, "Help", "&About...", "", false, ""},
    {ID_HELP, "", "", "F1", false, ""},
    {ID_CONTEXT_HELP, "", "", "Shift+F1", true, ""},
}};

const CommandInfo* Find_Command(int id) {
  for (const CommandInfo& c : kCommands)
    if (c.id == id) return &c;
  return nullptr;
}

const char* If_Text_Of(int interface_type) {
  switch (interface_type) {
    case kScsi: return "SCSI";
    case kTcpip: return "ETHERNET";
    default: return "RS232C";
  }
}

int First_Ht(int) { return 1; }

int Last_Ht(int interface_type) {
  switch (interface_type) {
    case kScsi: return 7;
    case kTcpip: return MAX_HT;
    default: return 1;
  }
}

bool Ht_Working(int ht) {
  const InfoHT& info = Info_Of(ht);
  return platform::Load(info.BusyFlag) != 0 || platform::Load(info.BatchFlag) != 0;
}

CommandEnables Evaluate_Enables(const CommandFlags& flags, int interface_type, bool link_running) {
  CommandEnables e{};
  e.new_script = flags.new_script;
  e.open_script = flags.open_script;
  e.print = flags.print;
  e.start = flags.start;
  e.stop = flags.stop;
  bool any_working = false;
  for (int ht = First_Ht(interface_type); ht <= Last_Ht(interface_type) && !any_working; ++ht)
    any_working = Ht_Working(ht);
  const bool rs232_free = interface_type != kRs232 || !Ht_Working(1);
  e.command = flags.command && rs232_free;
  e.script_run = flags.script_run && rs232_free;
  e.abort = any_working;
  e.configure = !link_running;
  return e;
}

bool Command_Flags_At_Start(int interface_type) {
  if (interface_type == kRs232) return platform::Load(Info_Of(1).BatchFlag) == 0;
  for (int ht = First_Ht(interface_type); ht <= Last_Ht(interface_type); ++ht)
    if (!Ht_Working(ht)) return true;
  return false;
}

int Station_Number(int ht, int interface_type) { return interface_type == kScsi ? ht - 1 : ht; }

std::string Error_Window_Title(int ht, int session, int interface_type) {
  if (ht == 0) return "Message Box";
  return "Error in Session" + std::to_string(session) + " for IOBOX " +
         std::to_string(Station_Number(ht, interface_type));
}

int ErrorSlots::Open() {
  if (count_ >= kSlots) return -1;
  for (int i = 0; i < kSlots; ++i) {
    if (!used_[i]) {
      used_[i] = true;
      ++count_;
      return i;
    }
  }
  return -1;
}

void ErrorSlots::Close(int slot) {
  if (!Used(slot)) return;
  used_[slot] = false;
  --count_;
}
