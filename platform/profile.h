// Ini profile-string lookup with the PC's semantics: section and key names
// compare ignoring ASCII case, blanks around section names, keys and values
// are trimmed, a value wrapped in matching quotes (' or ") loses them, the
// default text (without its trailing blanks) is returned for a missing file,
// section or key, and the result is cut to size - 1 characters plus NUL.
// Lines may end in LF or CR LF; lines starting with ';' are comments. Only
// the first section of a name is searched; a line without '=' in it is a key
// with an empty value. The file is read anew on every call.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Copies the value (or the default) into out[0..size-1], NUL-terminated.
// Returns the number of characters copied, not counting the NUL (0 and
// nothing written when out is null or size is 0). A null section or key gives
// the default; a null default is the empty text. file is a native path.
std::size_t Get_Private_Profile_String(const char* section, const char* key,
                                       const char* default_text, char* out,
                                       std::size_t size, const char* file);

// One reading of an ini file for many lookups (a table of keys read in one
// go): Get answers as Get_Private_Profile_String would have for the file as
// it was when the object was made, without reading it again.
class Profile_File {
 public:
  explicit Profile_File(const char* file);
  std::size_t Get(const char* section, const char* key, const char* default_text, char* out,
                  std::size_t size) const;

 private:
  std::string text_;
  bool read_;
};

// Convenience form returning a std::string (no length limit).
std::string Get_Profile_String(const std::string& section, const std::string& key,
                               const std::string& default_text, const std::string& file);

}  // namespace platform
