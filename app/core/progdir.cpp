#include "app/core/progdir.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "channel/mux32.h"
#include "platform/atomic.h"
#include "platform/progdir.h"

namespace {

std::mutex g_mutex;
std::string g_dir;                 // guarded by g_mutex; empty until computed
std::string g_module = "tarnel";   // file name of the executable
InstanceHandle g_instance{};

std::string With_Separator(const std::string& dir) {
  if (!dir.empty() && dir.back() == '/') return dir;
  std::string out;
  out.reserve(dir.size() + 1);
  out.append(dir);
  out.push_back('/');
  return out;
}

// Publishes dir (ending in '/') as the program directory; g_mutex held.
bool Install_Locked(const std::string& dir) {
  const std::string module = dir + g_module;
  if (module.size() >= sizeof g_instance.module_path) return false;
  g_dir = dir;
  // The handle is filled before it is published; readers only follow the
  // pointer, and the path does not change while they run.
  std::snprintf(g_instance.module_path, sizeof g_instance.module_path, "%s", module.c_str());
  platform::Store(Instance_Handle, &g_instance);
  return true;
}

std::string Computed_Locked() {
  if (!g_dir.empty()) return g_dir;
  std::string exe;
  std::error_code ec;
  std::string dir;
  if (platform::Executable_Path(&exe)) {
    const std::filesystem::path p(exe);
    if (p.has_filename()) g_module = p.filename().string();
    dir = p.parent_path().string();
  } else {
    dir = std::filesystem::current_path(ec).string();
  }
  const std::string folder = dir.empty() ? std::string("/") : With_Separator(dir);
  if (!Install_Locked(folder)) g_dir = folder;  // too long for the handle: the app still finds its files
  return g_dir;
}

}  // namespace

bool Set_Program_Directory(const std::string& dir) {
  if (dir.empty()) return false;
  std::error_code ec;
  const std::filesystem::path abs = std::filesystem::absolute(dir, ec);
  if (ec || !std::filesystem::is_directory(abs, ec) || ec) return false;
  std::string text = abs.lexically_normal().string();
  std::lock_guard<std::mutex> lock(g_mutex);
  return Install_Locked(With_Separator(text));
}

std::string Get_Program_Directory() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return Computed_Locked();
}

std::string Program_File(const char* name) { return Get_Program_Directory() + name; }

void Reset_Program_Directory() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_dir.clear();
  if (platform::Load(Instance_Handle) == &g_instance) platform::Store(Instance_Handle, static_cast<InstanceHandle*>(nullptr));
}
