// The main window's rules without any toolkit: the command table (ids,
// captions, accelerators, prompts), the command flags and the enable rules
// evaluated on every refresh, the interface named by IF, and the titles of
// the error windows. The Qt window (main_window.h) only shows what these
// decide.
//
// Threads: the window thread. The InfoHT fields are read through their
// atomic accessors (the engines write them).
#pragma once

#include <array>
#include <string>

#include "app/core/startup.h"

// Command ids.
enum CommandId : int {
  ID_SCRIPT_NEW = 32771,
  ID_SCRIPT_OPEN = 32772,
  ID_SCRIPT_PRINT = 32773,
  ID_APP_EXIT = 32774,
  ID_CONF_RS232C = 32775,
  ID_CONF_SCSI = 32776,
  ID_CONF_TCPIP = 32777,
  ID_CONF_SET_DEFAULT = 32778,
  ID_CONF_SETTINGS = 32779,
  ID_LINK_START = 32808,
  ID_LINK_STOP = 32809,
  ID_EXEC_COMMAND = 32810,
  ID_EXEC_SCRIPT = 32811,
  ID_EXEC_ABORT = 32812,
  ID_APP_ABOUT = 32791,
  ID_HELP_FINDER = 57667,
  ID_CONTEXT_HELP = 57669,
  ID_HELP = 57670,
};

// One row of the command table.
struct CommandInfo {
  int id;
  const char* menu;         // "Script", "Configure", "Execute", "LinkManager" (under Execute), "Help"; "" none
  const char* caption;      // with '&' before the mnemonic; "" for accelerator-only commands
  const char* accelerator;  // key sequence text ("Ctrl+N", "Esc", "Pause"); "" none
  bool toolbar;
  const char* prompt;       // status-bar prompt and tooltip; "" none
};

constexpr int kCommandCount = 18;
extern const std::array<CommandInfo, kCommandCount> kCommands;

// The row of id, or nullptr.
const CommandInfo* Find_Command(int id);

// Interfaces (kRs232, kScsi, kTcpip) and Interface_Of_If: app/core/startup.h.
// The IF text Set As Default writes for an interface.
const char* If_Text_Of(int interface_type);
// The first and last HT number of an interface.
int First_Ht(int interface_type);
int Last_Ht(int interface_type);

// The command flags the window keeps, with their initial values.
struct CommandFlags {
  bool new_script = true;
  bool open_script = true;
  bool start = true;
  bool stop = false;
  bool command = true;
  bool script_run = true;
  bool print = false;
};

// What is enabled after a refresh.
struct CommandEnables {
  bool new_script, open_script, print, start, stop, command, script_run, abort, configure;
};

// The enable rules: the flags, with Command, Script File and Abort also
// looking at the BusyFlag and BatchFlag of the interface's HTs.
CommandEnables Evaluate_Enables(const CommandFlags& flags, int interface_type, bool link_running);

// Start Link Manager's step for the command and script-run flags: RS-232C:
// on unless HT 1 is in a batch run; SCSI and TCP/IP: on when at least one
// HT of the range is neither busy nor in a batch run.
bool Command_Flags_At_Start(int interface_type);

// Whether an HT is busy or in a batch run.
bool Ht_Working(int ht);

// The station number shown for an HT: the SCSI ID (HT number - 1) on SCSI,
// the HT number otherwise.
int Station_Number(int ht, int interface_type);

// Title of an error window of slots 0 to 6: "Error in Session<s> for IOBOX
// <station>", or "Message Box" for a notification that named no HT.
std::string Error_Window_Title(int ht, int session, int interface_type);

// The eight error-window slots. Open takes the first free slot while fewer
// than eight are open and returns it (-1 when all are taken); slot 7 is the
// "More Errors exist" window. Close frees a slot.
class ErrorSlots {
 public:
  static constexpr int kSlots = 8;
  static constexpr int kMoreErrorsSlot = 7;
  int Open();
  void Close(int slot);
  int Count() const { return count_; }
  bool Used(int slot) const { return slot >= 0 && slot < kSlots && used_[slot]; }

 private:
  std::array<bool, kSlots> used_{};
  int count_ = 0;
};

constexpr const char* kMoreErrorsText = "More Errors exist,Check error log file";
