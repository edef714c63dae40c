// Small text helpers shared by the configuration readers (internal to
// app/core). None of them depends on the process's locale.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "channel/ini_text.h"

namespace core_text {

using ini_text::Upper;

inline bool Is_Blank(char c) { return c == ' ' || c == '\t'; }

using ini_text::Same_Text;

// A decimal integer read the C way: leading blanks, an optional sign, then
// digits up to the first other character; no digits give 0. Saturates at
// the limits of 32 bits instead of overflowing.
inline std::int32_t Decimal(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && Is_Blank(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  std::int64_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > 2147483648LL) v = 2147483648LL;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) v = 2147483647LL;
  return static_cast<std::int32_t>(v);
}

// Decimal seconds with an optional fraction as whole milliseconds,
// truncated toward zero; reading stops at the first character that does not
// fit, no digits give 0. Saturates far above any time the program uses.
inline std::int64_t Seconds_To_Ms(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && Is_Blank(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  std::int64_t whole = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
    if (whole < 1000000000LL) whole = whole * 10 + (s[i] - '0');
  std::int64_t ms = whole * 1000;
  if (i < s.size() && s[i] == '.') {
    ++i;
    std::int64_t scale = 100;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, scale /= 10) ms += (s[i] - '0') * scale;
  }
  return negative ? -ms : ms;
}

}  // namespace core_text
