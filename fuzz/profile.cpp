// The ini profile-string lookup: the input is the file's text (written to a
// scratch file, since the lookup reads the file anew each time); the
// sections and keys looked up are the ones the programs use, plus a section
// and key named by the input's first line ("section\tkey").
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 100000) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  static const std::string path = fuzz::Scratch_Folder() + "/profile.ini";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
  }
  const std::string first = text.substr(0, text.find('\n'));
  const std::size_t tab = first.find('\t');
  const std::string section = first.substr(0, tab);
  const std::string key = tab == std::string::npos ? std::string() : first.substr(tab + 1);

  const char* const lookups[][2] = {
      {"ETHERNET", "PORTNO"}, {"ETHERNET", "MAX_IO"}, {"USE_IP", "1"}, {"USE_IP", "255"},
      {"RS232C", "Port"},     {"SCSI", "Scantime"},   {"CODE", "-1"},  {"MODE", "SERVER"},
      {"IOBOX", "IOBOX_RBYTES"}, {"", ""},
  };
  for (std::size_t size_out : {std::size_t{1}, std::size_t{4}, std::size_t{100}}) {
    char out[100];
    for (const auto& l : lookups)
      platform::Get_Private_Profile_String(l[0], l[1], "Stringnotfound", out, size_out, path.c_str());
    platform::Get_Private_Profile_String(section.c_str(), key.c_str(), "  default  ", out, size_out,
                                         path.c_str());
  }
  platform::Get_Profile_String(section, key, "", path);
  return 0;
}
