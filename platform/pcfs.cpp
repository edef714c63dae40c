// Minimal PC path translation; the full drive table, case-insensitive
// resolution and directory search come with the file layer.
#include "platform/pcfs.h"

namespace platform {

bool To_Native_Path(const char* pc_path, std::string* native) {
  std::string s(pc_path);
  for (char& c : s)
    if (c == '\\') c = '/';
  if (s.size() >= 2 && s[1] == ':') {
    char d = static_cast<char>(s[0] & ~0x20);
    if (d != 'C') return false;
    s = s.substr(2);
    if (s.empty() || s[0] != '/') s = "/" + s;
  }
  *native = s;
  return true;
}

std::FILE* Open_PC_File(const char* pc_path, const char* mode) {
  std::string native;
  if (!To_Native_Path(pc_path, &native)) return nullptr;
  return std::fopen(native.c_str(), mode);
}

}  // namespace platform
