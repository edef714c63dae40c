// Command-line and list helpers: taking names out of an option's argument
// text, building and reading the "::"/"##" name lists of basic commands, and
// the date and time fields written in commands.
//
// Every write into a caller's buffer is bounded by the size the caller gives
// (or, for the forms without a size, by the size their contract in rox32.h
// names). Work is done in std::string and copied out once.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bounded.h"
#include "engine/cmdline_parse.h"
#include "engine/rox32.h"
#include "platform/clock.h"

namespace cmdline {

Name_Result Take_Name(std::string_view text, std::size_t* pos, std::string* name,
                      bool rest_of_text) {
  std::size_t i = *pos;
  while (i < text.size() && text[i] == ' ') ++i;
  name->clear();
  if (i >= text.size()) {
    *pos = i;
    return Name_Result::None;
  }
  if (text[i] == '"') {
    std::size_t close = text.find('"', i + 1);
    if (close == std::string_view::npos) {
      name->assign(text.substr(i + 1));
      *pos = text.size();
      return Name_Result::Unclosed;
    }
    name->assign(text.substr(i + 1, close - i - 1));
    *pos = close + 1;
    return Name_Result::Ok;
  }
  std::size_t end = rest_of_text ? text.size() : text.find(' ', i);
  if (end == std::string_view::npos) end = text.size();
  name->assign(text.substr(i, end - i));
  *pos = end;
  return Name_Result::Ok;
}

short Make_List(std::string_view text, unsigned char letter, std::string* list) {
  list->clear();
  const unsigned char upper = static_cast<unsigned char>(std::toupper(letter));
  if (text.empty()) {
    bool needs_names = upper == 'S' || upper == 'R' || upper == 'A' || upper == 'N';
    return needs_names ? E_PARAMETER : E_NORMAL;
  }
  if (text.find_first_not_of(' ') == std::string_view::npos) return E_PARAMETER;

  std::vector<std::string> names;
  std::size_t pos = 0;
  std::string name;
  for (;;) {
    Name_Result r = Take_Name(text, &pos, &name, false);
    if (r == Name_Result::None) break;
    // An unclosed quotation mark takes the rest of the text as the name.
    names.push_back(name);
    if (r == Name_Result::Unclosed) break;
  }

  const bool with_destination = upper == 'S' || upper == 'R';
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k > 0) *list += (with_destination && k + 1 == names.size()) ? "##" : "::";
    *list += names[k];
  }
  if (with_destination && !list->empty() && list->back() == '\\') list->pop_back();
  return E_NORMAL;
}

std::string Nth_Name(std::string_view command, unsigned n) {
  std::size_t blank = command.find(' ');
  if (blank == std::string_view::npos || n == 0) return {};
  std::string_view rest = command.substr(blank + 1);
  for (unsigned k = 1;; ++k) {
    std::size_t a = rest.find("::");
    std::size_t b = rest.find("##");
    std::size_t end = std::min(a, b);
    if (k == n) return std::string(rest.substr(0, end));
    if (end == std::string_view::npos) return {};
    rest = rest.substr(end + 2);
  }
}

}  // namespace cmdline

namespace {

// Copies a work string into a caller's buffer; false (out empty) when it
// does not fit.
bool Copy_Out(char* out, std::size_t size, const std::string& s) {
  return bounded::Copy_N(out, size, s.data(), s.size());
}

// Reads an unsigned decimal field of text[from, to), skipping non-digits;
// the value wraps like the unsigned arithmetic of the packed fields it feeds.
unsigned Read_Field(const char* text, std::size_t from, std::size_t to) {
  unsigned v = 0;
  for (std::size_t i = from; i < to; ++i) {
    if (text[i] >= '0' && text[i] <= '9') v = v * 10u + static_cast<unsigned>(text[i] - '0');
  }
  return v;
}

// Start of the field that ends at sep: `width` characters before it, but
// never before the text and never across a blank or '$' (which end the
// previous token of a command).
std::size_t Field_Start(const char* text, std::size_t sep, std::size_t width) {
  std::size_t start = sep >= width ? sep - width : 0;
  for (std::size_t i = sep; i > start; --i) {
    if (text[i - 1] == ' ' || text[i - 1] == '$') return i;
  }
  return start;
}

// Index of the first character at or after i that is one of stops (or the
// end of the text).
std::size_t Find_Stop(const char* text, std::size_t i, const char* stops) {
  while (text[i] != '\0' && std::strchr(stops, text[i]) == nullptr) ++i;
  return i;
}

}  // namespace

unsigned char RS232_ROX::Get_FirstFile(const char* text, char* out, std::size_t size) {
  std::string name;
  std::size_t pos = 0;
  if (cmdline::Take_Name(text, &pos, &name, false) != cmdline::Name_Result::Ok) {
    if (size) out[0] = '\0';
    return 1;
  }
  return Copy_Out(out, size, name) ? 0 : 2;
}

unsigned char RS232_ROX::Get_FirstFile(const char* text, char* out) {
  return Get_FirstFile(text, out, std::strlen(text) + 1);
}

unsigned char RS232_ROX::Get_FirstScriptFile(const char* text, char* out, std::size_t size) {
  std::string name;
  std::size_t pos = 0;
  if (cmdline::Take_Name(text, &pos, &name, true) != cmdline::Name_Result::Ok) {
    if (size) out[0] = '\0';
    return 1;
  }
  return Copy_Out(out, size, name) ? 0 : 2;
}

unsigned char RS232_ROX::Get_FirstScriptFile(const char* text, char* out) {
  return Get_FirstScriptFile(text, out, std::strlen(text) + 1);
}

unsigned char RS232_ROX::Get_Count(const char* text) {
  unsigned char n = 0;
  for (; *text; ++text) {
    if (*text == '"') ++n;
  }
  return n;
}

unsigned char RS232_ROX::IsNumericString(const char* text) {
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return 0;
  }
  return 1;
}

short RS232_ROX::Make_FileList(const char* text, char* out, std::size_t size,
                               unsigned char option) {
  try {
    std::string list;
    short r = cmdline::Make_List(text, option, &list);
    if (r != E_NORMAL) {
      if (size) out[0] = '\0';
      return r;
    }
    return Copy_Out(out, size, list) ? E_NORMAL : E_MEMORY;
  } catch (const std::exception&) {
    if (size) out[0] = '\0';
    return E_MEMORY;
  }
}

short RS232_ROX::Make_FileList(const char* text, char* out, unsigned char option) {
  return Make_FileList(text, out, 2 * std::strlen(text) + 1, option);
}

unsigned short RS232_ROX::Get_FileCount(const char* list) {
  unsigned short n = 1;
  for (const char* p = std::strstr(list, "::"); p; p = std::strstr(p + 2, "::")) ++n;
  return n;
}

bool RS232_ROX::Get_SubString(const char* command, unsigned short n, char* out,
                              std::size_t size) {
  try {
    return Copy_Out(out, size, cmdline::Nth_Name(command, n));
  } catch (const std::exception&) {
    if (size) out[0] = '\0';
    return false;
  }
}

void RS232_ROX::Get_SubString(const char* command, unsigned short n, char* out) {
  Get_SubString(command, n, out, std::strlen(command) + 1);
}

bool RS232_ROX::Get_FileName(const char* entry, char* out, std::size_t size) {
  std::size_t len = std::strlen(entry);
  if (len < 2) return bounded::Copy(out, size, "");
  const char* name = entry + 2;
  const char* end = std::strstr(name, "::");
  if (!end) end = std::strstr(name, "##");
  std::size_t n = end ? static_cast<std::size_t>(end - name) : std::strlen(name);
  return bounded::Copy_N(out, size, name, n);
}

void RS232_ROX::Get_FileName(const char* entry, char* out) {
  Get_FileName(entry, out, std::strlen(entry) + 1);
}

bool RS232_ROX::Extract_File_Name(const char* src, char* out, std::size_t length,
                                  std::size_t size) {
  // Never reads past the end of src, whatever length says.
  return bounded::Copy_N(out, size, src, strnlen(src, length));
}

void RS232_ROX::Extract_File_Name(const char* src, char* out, std::size_t length) {
  Extract_File_Name(src, out, length, length + 1);
}

unsigned long RS232_ROX::Get_Date(const char* text) {
  const char* dash = std::strchr(text, '-');
  if (!dash) return 0;
  std::size_t sep = static_cast<std::size_t>(dash - text);
  std::size_t start = Field_Start(text, sep, 4);
  std::size_t year_end = Find_Stop(text, start, "/-");
  unsigned year = Read_Field(text, start, year_end);
  unsigned month = 0, day = 0;
  if (text[year_end] != '\0') {
    std::size_t month_end = Find_Stop(text, year_end + 1, "/- $");
    month = Read_Field(text, year_end + 1, month_end);
    if (text[month_end] == '/' || text[month_end] == '-') {
      std::size_t day_end = Find_Stop(text, month_end + 1, "/-$ ");
      day = Read_Field(text, month_end + 1, day_end);
    }
  }
  return (static_cast<unsigned long>(day & 0xFFu) << 24) |
         (static_cast<unsigned long>(month & 0xFFu) << 16) | (year & 0xFFFFu);
}

unsigned char RS232_ROX::Get_Time(const char* text, char* out) {
  const char* colon = std::strchr(text, ':');
  if (!colon) return 1;
  std::size_t sep = static_cast<std::size_t>(colon - text);
  std::size_t start = Field_Start(text, sep, 2);
  unsigned hours = Read_Field(text, start, sep);
  unsigned minutes = 0, seconds = 0;
  std::size_t min_end = Find_Stop(text, sep + 1, ":$ ");
  minutes = Read_Field(text, sep + 1, min_end);
  if (text[min_end] == ':') {
    std::size_t sec_end = Find_Stop(text, min_end + 1, "$ ");
    seconds = Read_Field(text, min_end + 1, sec_end);
  }
  out[0] = static_cast<char>(seconds & 0xFFu);
  out[1] = static_cast<char>(minutes & 0xFFu);
  out[2] = static_cast<char>(hours & 0xFFu);
  return 0;
}

unsigned char RS232_ROX::Make_Number(const char* text) {
  unsigned v = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    v = (v * 10u + static_cast<unsigned>(*text - '0')) & 0xFFu;
  }
  return static_cast<unsigned char>(v);
}

bool RS232_ROX::Get_System_TandD(char* out, std::size_t size, unsigned char date) {
  platform::LocalTime t = platform::Get_Local_Time();
  char text[32];
  if (date) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
  } else {
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
  }
  return bounded::Copy(out, size, text);
}

void RS232_ROX::Get_System_TandD(char* out, unsigned char date) {
  Get_System_TandD(out, SYSTEM_TANDD_SIZE, date);
}
