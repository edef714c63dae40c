// Finding and reading the operator's guide (operators.md) that the Help
// commands show.
//
// The guide is looked for, in this order: the file named by the environment
// variable TARNEL_HELP_GUIDE (when set, nothing else is tried); beside the
// program (operators.md in the executable's folder); in the build tree it
// was built in (the guide with its ending-code table merged in, then the
// source tree's docs/operators.md); and where the package installs it,
// /usr/share/doc/tarnel/operators.md.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace help {

constexpr const char* kTitle = "Tarnel Help";
constexpr std::size_t kMaxGuideBytes = 4u * 1024 * 1024;

// The places above, in order (only those that can be named).
std::vector<std::string> Guide_Candidates();

// Reads the first candidate that can be read into *text and its path into
// *path. False when none can: *text is then the message to show instead,
// naming every place that was tried.
bool Load_Guide(const std::vector<std::string>& candidates, std::string* path, std::string* text);

}  // namespace help
