// The headless server's log lines: one per notification from the engines and
// the link manager, one per message box.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <string>
#include <vector>

#include "engine/rox32.h"
#include "platform/clock.h"
#include "platform/window.h"

// "YYYY-MM-DD HH:MM:SS".
std::string Time_Text(const platform::LocalTime& when);

// The text of ending code code from the shared table; "" for a code that
// has none.
std::string Ending_Text(int code);

// The line for notification 1029 (without the line break):
//   <time> link ending <code> <text>                         wParam 0
//   <time> HT <n> session <s> sending <file> <value>%        Mode 1
//   <time> HT <n> session <s> receiving <file> <value>%      Mode 2
//   <time> HT <n> session <s> ending <code> <text>           Mode 0 and 3
//   <time> HT <n> session <s> mode <m> value <value>         any other Mode
// info is HT n's record as the engine left it for this notification.
std::string Status_Line(const platform::LocalTime& when, platform::WPARAM ht, platform::LPARAM value,
                        const InfoHT& info);

// What notification 1029 means for the operator's views: the one place
// that decides it. The GUI acts on every field; the headless server's log
// line and detail log follow the same decision.
struct StatusMeaning {
  bool ignore = false;         // nothing at all changes (an ending with code 29)
  bool show_op_mode = false;   // compare op_mode with the last one seen, then remember it
  int op_mode = 0;             // the update's operation mode (0 for the link manager)
  bool start_bar = false;      // the first progress of a transfer
  bool update_bar = false;     // draw the progress value
  bool reset_bar = false;      // the HT's bar goes
  bool error_window = false;   // an ending the operator must see
  int code = 0;                // the ending code (-1 for "no code")
};

// The meaning of notification 1029 with wParam ht and lParam value; info is
// HT ht's record as the engine left it (ignored when ht is 0: the link
// manager reports code value then).
StatusMeaning Status_Meaning(platform::WPARAM ht, platform::LPARAM value, const InfoHT& info);

// Whether the main window opens an error window for this HT's ending
// (Mode 0 with a code other than 0, 72, 29, 85 or -1).
bool Opens_Error_Window(const InfoHT& info);

// What status notifications mean for a log or a view, decided in one place
// for the headless server and the GUI: a file starts (its first progress
// notification), makes progress, and ends (when the next file starts or the
// session ends), and a session ends. A view that shows every percentage
// uses the progress events; the server's log shows only starts and ends
// unless asked for progress.
struct StatusEvent {
  enum Kind {
    kLinkEnding,    // from the link manager: code
    kFileStarted,   // file, direction
    kProgress,      // file, direction, percent
    kFileEnded,     // file, direction, percent reached, complete, bytes, seconds, code
    kSessionEnded,  // code (Mode 0 or 3); also the engine's intermediate notes such as 85
    kOther,         // any other Mode: mode, value
  };
  Kind kind = kOther;
  int ht = 0;
  int session = 0;
  std::string file;
  int direction = 0;        // 1 sending (PC to HT), 2 receiving (HT to PC)
  int percent = 0;
  int code = 0;             // endings: the ending code (-1 for none)
  bool complete = false;    // kFileEnded: every byte went and the session went on or ended normally
  std::int64_t bytes = -1;  // kFileEnded, complete files: the file's size (-1: not known)
  double seconds = 0;       // kFileEnded: from the file's start to its end
  int mode = 0;             // kOther
  long value = 0;           // kOther
};

// Whether an ending code counts as a normal end of a session: 0, 72 (the HT
// ended it), 73 (the PC ended it after its commands) and 85 (a program the
// PC ran ended normally).
bool Normal_Ending(int code);

// Follows the notifications of every HT and turns each into events. One
// tracker per log or view; call it on the thread that handles the
// notifications.
class StatusTracker {
 public:
  // size_of gives a PC file's size in bytes (-1 when it cannot), asked when
  // a complete file ends.
  using SizeOf = std::function<std::int64_t(const std::string& pc_path)>;
  explicit StatusTracker(SizeOf size_of) : size_of_(std::move(size_of)) {}

  // The events of notification 1029 (wParam ht, lParam value, info HT ht's
  // record as the engine left it), now_ms a monotonic clock in ms.
  std::vector<StatusEvent> On_Status(platform::WPARAM ht, platform::LPARAM value, const InfoHT& info,
                                     std::uint64_t now_ms);

 private:
  struct Current {
    bool active = false;
    std::string file;
    int direction = 0;
    int session = 0;
    int percent = 0;
    std::uint64_t start_ms = 0;
  };
  StatusEvent End_File(int ht, Current& cur, bool complete, int code, std::uint64_t now_ms);

  SizeOf size_of_;
  Current current_[MAX_HT + 1];
};

// The log text of an event (without the time), e.g.
//   HT 3 session 0 sending C:\DATA\A.DAT started
//   HT 3 session 0 sending C:\DATA\A.DAT 45%
//   HT 3 session 0 sent C:\DATA\A.DAT: 1048576 bytes in 0.52 s, 2.02 MB/s, complete
//   HT 3 session 0 sending C:\DATA\A.DAT failed at 45% after 0.52 s: ending 38 <text>
//   HT 3 session 0 ending 73 PC Sends End Indication
//   link ending 96 Bind Error
std::string Event_Text(const StatusEvent& e);

// MB/s (10^6 bytes per second) of bytes in seconds; 0 when either is not
// above 0.
double Megabytes_Per_Second(std::int64_t bytes, double seconds);

// The status-bar text of an operation mode: "PC in Non-Server Mode ......"
// for 1, "PC in Server Mode ......" otherwise.
const char* Op_Mode_Text(int op_mode);
