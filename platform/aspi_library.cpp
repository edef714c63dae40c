// dlopen of the ASPI-style back end and dlsym of its two entry points.
#include "platform/aspi_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

#include "platform/progdir.h"

namespace platform {

namespace {

std::mutex g_mu;
void* g_handle = nullptr;  // under g_mu; never closed once set

void* Try_Open(const std::string& file, std::string* why) {
  void* h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr && why != nullptr) {
    const char* e = dlerror();
    if (!why->empty()) *why += "; ";
    *why += e ? e : file;
  }
  return h;
}

void* Handle() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_handle;
}

void* Symbol(const char* name) {
  void* h = Handle();
  return h ? dlsym(h, name) : nullptr;
}

}  // namespace

bool Aspi_Load(std::string* why) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_handle != nullptr) return true;
  std::string reasons;
  std::string exe;
  if (Executable_Path(&exe)) {
    const std::size_t cut = exe.find_last_of('/');
    if (cut != std::string::npos) g_handle = Try_Open(exe.substr(0, cut + 1) + kAspiLibraryName, &reasons);
  }
  if (g_handle == nullptr) {
    const char* named = std::getenv("TARNEL_ASPI_LIBRARY");
    if (named != nullptr && named[0] != '\0') g_handle = Try_Open(named, &reasons);
  }
  // A bare name makes dlopen search the system's library path.
  if (g_handle == nullptr) g_handle = Try_Open(kAspiLibraryName, &reasons);
  if (g_handle == nullptr && why != nullptr) *why = reasons;
  return g_handle != nullptr;
}

Aspi_Support_Fn Aspi_Support_Entry() {
  return reinterpret_cast<Aspi_Support_Fn>(Symbol("GetASPI32SupportInfo"));
}

Aspi_Send_Fn Aspi_Send_Entry() {
  return reinterpret_cast<Aspi_Send_Fn>(Symbol("SendASPI32Command"));
}

}  // namespace platform
