#include "platform/profile.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace platform {

namespace {

bool Is_Blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && Is_Blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && Is_Blank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool Equal_Ignoring_Case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool Read_File(const char* path, std::string* text) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text->append(chunk, n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

// Finds key in the first section named section of the file's text; true and
// *value when found. A line without '=' inside the section is a key with an
// empty value.
bool Lookup_In(std::string_view text, std::string_view section, std::string_view key, std::string* value) {
  std::string_view rest(text);
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);

  bool in_section = false;
  bool seen_section = false;
  while (!rest.empty()) {
    const std::size_t eol = rest.find('\n');
    std::string_view line = Trim(rest.substr(0, eol));
    rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      const std::size_t close = line.rfind(']');
      if (close == std::string_view::npos) continue;  // not a section header
      // Only the first section of that name counts.
      if (seen_section) return false;
      in_section = Equal_Ignoring_Case(Trim(line.substr(1, close - 1)), section);
      seen_section = in_section;
      continue;
    }
    if (!in_section) continue;

    const std::size_t eq = line.find('=');
    if (!Equal_Ignoring_Case(Trim(line.substr(0, eq)), key)) continue;
    std::string_view v = eq == std::string_view::npos ? std::string_view() : Trim(line.substr(eq + 1));
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
      v = v.substr(1, v.size() - 2);
    value->assign(v);
    return true;
  }
  return false;
}

bool Lookup(std::string_view section, std::string_view key, const char* file, std::string* value) {
  std::string text;
  if (file == nullptr || !Read_File(file, &text)) return false;
  return Lookup_In(text, section, key, value);
}

// The default text loses its trailing blanks, as on the PC.
std::string Default_Of(const char* default_text) {
  std::string_view d = default_text == nullptr ? std::string_view() : default_text;
  while (!d.empty() && Is_Blank(d.back())) d.remove_suffix(1);
  return std::string(d);
}

}  // namespace

std::size_t Get_Private_Profile_String(const char* section, const char* key,
                                       const char* default_text, char* out,
                                       std::size_t size, const char* file) {
  if (out == nullptr || size == 0) return 0;
  std::string value;
  if (section == nullptr || key == nullptr || !Lookup(section, key, file, &value))
    value = Default_Of(default_text);
  const std::size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(out, value.data(), n);
  out[n] = '\0';
  return n;
}

Profile_File::Profile_File(const char* file) : read_(file != nullptr && Read_File(file, &text_)) {}

std::size_t Profile_File::Get(const char* section, const char* key, const char* default_text, char* out,
                              std::size_t size) const {
  if (out == nullptr || size == 0) return 0;
  std::string value;
  if (section == nullptr || key == nullptr || !read_ || !Lookup_In(text_, section, key, &value))
    value = Default_Of(default_text);
  const std::size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(out, value.data(), n);
  out[n] = '\0';
  return n;
}

std::string Get_Profile_String(const std::string& section, const std::string& key,
                               const std::string& default_text, const std::string& file) {
  std::string value;
  if (!Lookup(section, key, file.c_str(), &value)) value = Default_Of(default_text.c_str());
  return value;
}

}  // namespace platform
