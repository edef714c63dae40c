#include "app/gui/forms/script_files.h"

#include <algorithm>
#include <cstring>

#include "engine/rox32.h"
#include "platform/atomic.h"
#include "platform/pcfs.h"

namespace {

// ASCII lower case, so the order does not depend on the locale.
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool Less_Ignoring_Case(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char x = Lower(a[i]);
    const char y = Lower(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

}  // namespace

std::vector<std::string> Script_Files_In(const std::string& dir) {
  std::string pattern = dir;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += "*.scr";
  std::vector<std::string> names;
  platform::DirSearch search;
  platform::FoundEntry found;
  for (bool more = search.First(pattern.c_str(), &found); more; more = search.Next(&found))
    if (!found.is_dir) names.push_back(found.name);
  std::sort(names.begin(), names.end(), Less_Ignoring_Case);
  return names;
}

std::string Working_Folder() {
  char work[sizeof DefWorkFile];
  platform::Load_Bytes(work, DefWorkFile, sizeof work);
  work[sizeof work - 1] = '\0';
  return std::string(work, strnlen(work, sizeof work));
}
