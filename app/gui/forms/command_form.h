// The form behind the Command screen, the script editor and the script
// runner, without widgets: the fifteen commands, what each enables and how
// the text fields are labelled, the command line built from the fields, the
// Browse rule, and the distribution of a line to the chosen stations'
// command buffers.
//
// Threads: the GUI thread. Distribution writes the shared session table
// through its accessors (engine/rox32.h), which any thread may call.
#pragma once

#include <array>
#include <string>

// The commands of the command lists, in list order.
enum FormCommand : int {
  kFormSend = 0,
  kFormReceive,
  kFormBuzzer,
  kFormFormat,
  kFormSetTimeDate,
  kFormDelete,
  kFormDispStr,
  kFormMove,
  kFormAppendSend,
  kFormAppendRecv,
  kFormGetDiskInfo,
  kFormGetFileInfo,
  kFormSetFileInfo,
  kFormEndSession,
  kFormExec,
  kFormCommandCount
};

// The list texts ("Send" ... "Exec"), spacing as shown to the operator.
extern const std::array<const char*, kFormCommandCount> kFormCommandNames;

// The drive list "A:" .. "Z:" (index 0..25); out of range gives "A:".
std::string Drive_Text(int index);

// What the operator filled in.
struct FormValues {
  int command = kFormSend;
  int drive = 0;                  // index into the drive list
  std::string size = "0";
  std::string date;               // "%Y-%m-%d"
  std::string time;               // "%H:%M:%S"
  bool hidden = false, archive = false, read_only = false, system = false;
  bool overwrite = false, recursive = false, update = false;
  std::string first;              // "File(s)" and its other labels
  std::string second;             // "Destination Dir" and its other labels
  bool single = false;            // Single (true) or Batch; the Command screen only
};

// Initial values: command Send, drive A:, size "0", date and time now
// (local time), every box off, both text fields empty, Batch.
FormValues Initial_Form_Values();

// What a command enables, how the text fields are labelled, and the mode
// buttons, after the command was chosen. Whatever is not enabled is
// disabled and its box cleared; both text fields are emptied.
struct FormRules {
  bool first = false, browse = false, second = false;
  bool options = false;                      // the Options group with its three boxes...
  bool overwrite = false, recursive = false, update = false;  // ...each enabled on its own
  bool attrib = false;                       // the Attrib group and its four boxes
  bool size = false, drive = false, date_time = false;
  const char* first_label = "File(s)";
  const char* second_label = "Destination Dir";
  // Mode buttons (the Command screen): End Session forces Single.
  bool single_enabled = true, batch_enabled = true;
  bool force_single = false;
};

// The rules of command (FormCommand) for the Command screen (editor false)
// or the script editor (editor true: Move, Append Send and Append Recv also
// enable the Options group). An unknown command gives Send's rules.
FormRules Rules_For(int command, bool editor);

// Applies a command change to values as the screen does: both text fields
// emptied, boxes the command disables cleared, Single/Batch reset (Batch,
// or Single for End Session). The values stay otherwise.
void Apply_Command_Change(FormValues& values, int command, bool editor);

// The command line of the fields. The Command screen puts "/1" before it in
// Single mode; the script editor (editor true) never does. The fields go in
// as typed: nothing is validated here, the engine reports what is wrong.
std::string Build_Command_Line(const FormValues& values, bool editor);

// The Browse rule: path in double quotes appended to field, after a blank
// when field is not empty.
std::string Append_Browsed_Path(const std::string& field, const std::string& path);

// The Browse dialog's filters (name, pattern), in order.
struct BrowseFilter {
  const char* name;
  const char* pattern;
};
extern const std::array<BrowseFilter, 4> kBrowseFilters;

// What distribution needs of the main window.
class FormHost {
 public:
  virtual ~FormHost() = default;
  // 0 RS-232C, 1 SCSI, 2 TCP/IP.
  virtual int Interface_Type() const = 0;
  // Switches the Command and Script File commands off.
  virtual void Command_Flags_Off() = 0;
  virtual bool Link_Manager_Running() const = 0;
  virtual void Start_Link_Manager() = 0;
  // TCP/IP: when the ping panel is not laid out, asks the main window to lay
  // it out (message 1046) and marks it laid out.
  virtual void Lay_Out_Ping_Panel() = 0;
};

// Where a line goes.
enum class DistributeKind {
  kCommandScreen,  // RS-232C: HT 1's whole slot is cleared first
  kScript,         // the script runner
};

enum class DistributeResult {
  kDone,
  kTooLong,  // longer than a command buffer holds (1999 characters): nothing changed
};

// Distributes line: RS-232C to HT 1 (with Batch: the command flags off and
// HT 1's BatchFlag 1); SCSI (HTs 1-7) and TCP/IP (HTs 1-255): BatchFlag 1 for
// every checked HT with Batch, CheckFlag copied into CurrentlySelected, and
// the line written into every selected HT's slot after all flags, so an
// engine sees it only when it is whole; stations not chosen keep their
// slots. TCP/IP lays out the ping panel. Then starts the Link Manager when
// it is not running.
DistributeResult Distribute_Line(FormHost& host, const std::string& line, bool batch, DistributeKind kind);

// The script runner's line: "/1/E name" in Single mode, "/E name" in Batch.
std::string Script_Run_Line(const std::string& file_name, bool single);
