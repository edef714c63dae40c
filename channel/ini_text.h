// Character-level helpers for the settings-file readers that work on the raw
// text of device.ini and panelset.ini (the channel layer's and the
// application's). Locale-free.
#pragma once

#include <cstddef>
#include <string_view>

namespace ini_text {

constexpr int kEnd = -1;  // end of the text

// Reads a text one character at a time, as unsigned values, then kEnd.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}
  int Get() { return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_++]) : kEnd; }
  // Skips to just past the next line feed; false at the end of the text.
  bool Skip_Line() {
    for (;;) {
      const int c = Get();
      if (c == kEnd) return false;
      if (c == '\n') return true;
    }
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

inline char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Equal ignoring ASCII case.
inline bool Same_Text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

}  // namespace ini_text
