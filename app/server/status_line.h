// The headless server's log lines: one per notification from the engines and
// the link manager, one per message box.
#pragma once

#include <string>

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

// The status-bar text of an operation mode: "PC in Non-Server Mode ......"
// for 1, "PC in Server Mode ......" otherwise.
const char* Op_Mode_Text(int op_mode);
