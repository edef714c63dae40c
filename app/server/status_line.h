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

// Whether the main window would open an error window for this ending
// (Mode 0 with a code other than 0, 72, 29, 85 or -1).
bool Opens_Error_Window(const InfoHT& info);
