// The one message-box hook. The GUI installs a handler that shows a modal
// dialog (a worker thread's call blocks until the operator closes it); the
// headless server installs one that logs the text and returns. With no
// handler installed the text goes to standard error.
#pragma once

#include <functional>
#include <string>

namespace platform {

// Flags as the callers pass them (only the icon and button kind matter here).
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

using MessageBoxHandler =
    std::function<int(const std::string& text, const std::string& caption, unsigned flags)>;

// Installs the handler (an empty function restores the default); thread-safe.
void Set_Message_Box_Handler(MessageBoxHandler handler);

// Shows text through the installed handler and returns its answer
// (IDOK for the default handler).
int Message_Box(const std::string& text, const std::string& caption, unsigned flags = MB_OK);

}  // namespace platform
