#include "platform/msgbox.h"

#include <cstdio>
#include <mutex>

namespace platform {

namespace {
std::mutex g_mutex;
MessageBoxHandler g_handler;
}  // namespace

void Set_Message_Box_Handler(MessageBoxHandler handler) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_handler = std::move(handler);
}

int Message_Box(const std::string& text, const std::string& caption, unsigned flags) {
  MessageBoxHandler handler;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    handler = g_handler;
  }
  if (handler) return handler(text, caption, flags);
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  return IDOK;
}

}  // namespace platform
