// Where the running program lives, and whole-file replacement for settings
// files kept beside it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Full native path of the running executable, symbolic links resolved.
// False (path left alone) when the system cannot tell. Thread-safe.
bool Executable_Path(std::string* path);

// Replaces the file at native_path by contents in one step: the bytes go to a
// new temporary file in the same folder, which is flushed to the disk and then
// renamed over the target, so a reader sees either the whole old file or the
// whole new one. A symbolic link at native_path is kept and its target is
// replaced. The new file keeps the old file's permission bits (0644 for a new
// one). On any failure the old file is left exactly as it was, the temporary
// file is removed, false is returned and *why (when given) names the reason.
// Thread-safe; callers that replace the same file from several threads at
// once get one of the contents, whole.
bool Replace_File(const std::string& native_path, std::string_view contents, std::string* why);

// Reads the whole file at native_path into *text (appended). False when it
// cannot be opened or read, or holds more than max_bytes; *opened (when
// given) tells whether it could be opened at all. For settings files.
bool Read_Small_File(const std::string& native_path, std::string* text, std::size_t max_bytes,
                     bool* opened = nullptr);

}  // namespace platform
