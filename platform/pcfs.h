// PC paths on Linux: the engine works on PC path strings as the protocol
// carries them ('\' separators, optional drive letter); this layer turns them
// into native paths at the system-call boundary.
#pragma once

#include <cstdio>
#include <string>

namespace platform {

// Native path for a PC path (see DESIGN.md "PC paths"). Returns false when the
// path names an unmapped drive.
bool To_Native_Path(const char* pc_path, std::string* native);

// fopen of a PC path; null on failure (errno kept).
std::FILE* Open_PC_File(const char* pc_path, const char* mode);

}  // namespace platform
