// The interface settings dialogs without their widgets: what each field
// shows when a dialog opens, the checks when the operator confirms, and
// storing the fields into the settings and device.ini.
//
// Three dialogs edit the device.ini settings of one interface each:
// RS-232C (serial line, working directory, error log file), SCSI (working
// directory, error log file) and TCP/IP (this PC's address, port, working
// directory, error log file). OK stores the fields and rewrites device.ini
// with IF as it is; Save As Default first sets IF to the dialog's own
// interface. Messages go through platform::Message_Box with the caption
// "Message Box".
//
// Threads: the GUI thread, while the Link Manager is stopped.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "app/core/devini.h"

namespace settings {

enum class Dialog { kRs232c, kScsi, kTcpip };

constexpr const char* kCaption = "Message Box";
constexpr const char* kIniMissing = "Device.ini file missing\n Cant Set the parameters.";
constexpr const char* kOpenWorkDirBad = "Woriking Dir Not Valid";
constexpr const char* kWorkDirBad = "Working Directory not valid\n Please enter valid Working Directory";
constexpr const char* kPortBad = "Invalid Port No, Please enter a value greater than 1023";
constexpr const char* kPortTooBig = "Invalid Port No, Please enter a value from 1024 to 65535";
constexpr const char* kTextBad =
    "The Working Directory and the Error Log File may not contain '=' or ',' and must be shorter than 1024 characters";
constexpr const char* kPortNameBad = "The COM port name is too long to be kept in device.ini (31 characters at most)";

// The fixed drop-down lists of the RS-232C dialog.
const std::vector<std::string>& Com_Ports();    // "COM1".."COM4"
const std::vector<std::string>& Baud_Rates();   // "110".."115200"
const std::vector<std::string>& Parities();     // "NONE", "ODD", "EVEN"
const std::vector<std::string>& Stop_Bits();    // "1", "2"
const std::vector<std::string>& Data_Bits();    // "6", "7", "8"

// The port list: COM1..COM4, then the serial devices that exist.
std::vector<std::string> Port_List(const std::vector<std::string>& devices);

// Index of text in list (exact), or -1: a stored text that is not in its
// list shows no selection.
int Index_In(const std::vector<std::string>& list, const std::string& text);

// What a dialog shows. List fields hold an index into their list or -1.
struct Form {
  Dialog dialog = Dialog::kRs232c;
  std::vector<std::string> ports;  // RS-232C port list (Port_List)
  int port = -1, baud = -1, parity = -1, stop = -1, data = -1;
  std::string work_dir;
  std::string error_file;
  std::string ip_address;  // TCP/IP, read-only; empty when it cannot be found
  std::string port_no;     // TCP/IP, the text in the field
};

// The fields as the dialog opens: from settings, the working directory and
// the error log file. devices: serial devices offered after COM1..COM4;
// own_address: this PC's address (empty when unknown). A PORTNO below 1024
// (also empty or not a number) shows an empty field.
Form Fill_Form(Dialog dialog, const DeviceSettings& settings, const char* work_dir, const char* error_file,
               const std::vector<std::string>& devices, const std::string& own_address);

// The same from GDeviceSettings, DefWorkFile, DefErrorFile, the devices
// under /dev and this PC's host-name address.
Form Fill_Form(Dialog dialog);

// The message to show when a dialog opens, or nullptr: device.ini missing,
// else a stored working directory that does not exist.
const char* Opening_Message(bool ini_exists, bool work_dir_exists);

// Shows the opening message of the current state (device.ini in the program
// directory, DefWorkFile), if any. Returns the text shown or nullptr.
const char* Open_Check();

// The TCP/IP port field read as a decimal number, blanks around it
// skipped: an empty field, or one holding anything but digits, gives 0;
// values above 65535 give 65536.
long Port_Field_Value(const std::string& text);
// The field's text without the blanks around it (what PORTNO stores).
std::string Port_Field_Text(const std::string& text);

// What confirming found.
enum ConfirmResult : int {
  kConfirmStored = 0,   // stored and written; the dialog closes
  kConfirmWriteFailed,  // stored, but device.ini could not be written; closes
  kBadWorkDir,          // refused, the dialog stays open
  kBadPort,             // refused (TCP/IP), the dialog stays open
  kBadText,             // refused: a value device.ini cannot hold
};

// The checks in order: the working directory must exist (exists answers
// for a PC path), then (TCP/IP) the port must be 1024 to 65535, then the
// texts must fit device.ini (no '=' or ',', the working directory and
// error log file shorter than 1024 characters, an RS-232C port name of at
// most 31). Returns kConfirmStored when all pass, else the
// refusal; *message gets its text.
ConfirmResult Check_Form(const Form& form, const std::function<bool(const std::string&)>& exists,
                         const char** message);

// The working directory as stored: exactly a drive letter and a colon gets
// a backslash appended.
std::string Stored_Work_Dir(const std::string& text);

// Stores a checked form: the working directory (Stored_Work_Dir) into
// work_dir, the error log file into error_file (both of work_cap and
// error_cap bytes), the other fields into *settings, and with
// save_as_default IF as the dialog's interface ("RS232C", "SCSI",
// "ETHERNET"). TCP/IP stores its address into IPADDR (kept in memory only)
// and PORTNO as typed (without blanks around it).
void Apply_Form(const Form& form, bool save_as_default, DeviceSettings* settings, char* work_dir,
                std::size_t work_cap, char* error_file, std::size_t error_cap);

// OK (save_as_default false) or Save As Default: Check_Form against the
// file system, a refusal's message box, else Apply_Form into
// GDeviceSettings, DefWorkFile, DefErrorFile and Write_Device_Ini.
ConfirmResult Confirm(const Form& form, bool save_as_default);

// The IF text a dialog's Save As Default sets.
const char* If_Text(Dialog dialog);

}  // namespace settings
