#include "app/gui/settings/help_guide.h"

#include <cstdlib>

#include "platform/progdir.h"

namespace help {

std::vector<std::string> Guide_Candidates() {
  const char* named = std::getenv("TARNEL_HELP_GUIDE");
  if (named != nullptr && named[0] != '\0') return {named};
  std::vector<std::string> list;
  std::string exe;
  if (platform::Executable_Path(&exe)) {
    const std::size_t slash = exe.rfind('/');
    if (slash != std::string::npos) list.push_back(exe.substr(0, slash + 1) + "operators.md");
  }
#ifdef TARNEL_BUILT_GUIDE
  list.push_back(TARNEL_BUILT_GUIDE);
#endif
#ifdef TARNEL_SOURCE_GUIDE
  list.push_back(TARNEL_SOURCE_GUIDE);
#endif
  list.push_back("/usr/share/doc/tarnel/operators.md");
  return list;
}

bool Load_Guide(const std::vector<std::string>& candidates, std::string* path, std::string* text) {
  for (const std::string& c : candidates) {
    std::string read;
    if (!platform::Read_Small_File(c, &read, kMaxGuideBytes)) continue;
    *path = c;
    *text = std::move(read);
    return true;
  }
  path->clear();
  *text = "The operator's guide (operators.md) was not found. Looked for it in:\n";
  for (const std::string& c : candidates) *text += "\n    " + c;
  *text += "\n\nInstall the tarnel package (it puts the guide in /usr/share/doc/tarnel) or set "
           "TARNEL_HELP_GUIDE to the guide's path.";
  return false;
}

}  // namespace help
