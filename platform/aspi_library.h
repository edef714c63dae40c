// The ASPI-style back-end library (libwnaspi32.so), loaded at run time.
//
// Aspi_Load loads it the first time it succeeds and keeps it loaded until
// the process ends. It looks in this order: the program directory (the
// folder of the running executable), the file TARNEL_ASPI_LIBRARY names
// when that is set, then the system's library search path. A failed load is
// tried again at the next call. The entry points are looked up by name at
// every call, so a library without one gives null each time.
//
// All functions are thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

using Aspi_Support_Fn = std::uint32_t (*)();
using Aspi_Send_Fn = std::uint32_t (*)(void*);

// True when the library is loaded (now or earlier). *why (when given) gets
// the loader's reason on failure.
bool Aspi_Load(std::string* why = nullptr);

// Looks GetASPI32SupportInfo / SendASPI32Command up by name; null when the
// library is not loaded or has no such entry.
Aspi_Support_Fn Aspi_Support_Entry();
Aspi_Send_Fn Aspi_Send_Entry();

// The file name looked for.
constexpr const char* kAspiLibraryName = "libwnaspi32.so";

}  // namespace platform
