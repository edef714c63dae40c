#include "app/server/status_line.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint16_t kNoCode = 0xFFFF;  // -1 in the 16-bit Index field

// The File field: blank-padded, no terminator.
std::string File_Text(const InfoHT& info) {
  std::size_t n = strnlen(info.File, sizeof info.File);
  while (n > 0 && info.File[n - 1] == ' ') --n;
  return std::string(info.File, n);
}

std::string Ending(int code) {
  std::string out = "ending " + std::to_string(code);
  std::string text = Ending_Text(code);
  if (!text.empty()) out += " " + text;
  return out;
}

}  // namespace

std::string Time_Text(const platform::LocalTime& when) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", when.year, when.month, when.day, when.hour,
                when.minute, when.second);
  return text;
}

std::string Ending_Text(int code) {
  if (code < 0 || code >= ERROR_COUNT) return "";
  const ErrorEntry& e = ErrorTable[code];
  return std::string(e.Message, strnlen(e.Message, sizeof e.Message));
}

std::string Status_Line(const platform::LocalTime& when, platform::WPARAM ht, platform::LPARAM value,
                        const InfoHT& info) {
  std::string line = Time_Text(when) + " ";
  if (ht == 0) return line + "link " + Ending(static_cast<int>(value));
  line += "HT " + std::to_string(ht) + " session " + std::to_string(info.SNo) + " ";
  switch (info.Mode) {
    case 1:
      return line + "sending " + File_Text(info) + " " + std::to_string(value) + "%";
    case 2:
      return line + "receiving " + File_Text(info) + " " + std::to_string(value) + "%";
    case 0:
    case 3:
      return line + Ending(info.Index == kNoCode ? -1 : info.Index);
    default:
      return line + "mode " + std::to_string(info.Mode) + " value " + std::to_string(value);
  }
}

StatusMeaning Status_Meaning(platform::WPARAM ht, platform::LPARAM value, const InfoHT& info) {
  StatusMeaning m;
  int mode = 0;
  if (ht == 0) {
    m.code = static_cast<int>(value);
  } else {
    mode = info.Mode;
    m.code = info.Index == kNoCode ? -1 : info.Index;
    m.op_mode = info.OPMode;
  }
  if (mode == 0 && m.code == 29) {
    m.ignore = true;
    return m;
  }
  m.show_op_mode = true;
  switch (mode) {
    case 1:
    case 2:
      m.start_bar = value == 0;
      m.update_bar = true;
      // A send ends its bar at 100 % or more, a receive at exactly 100 %.
      m.reset_bar = info.Index == 73 && (mode == 1 ? value >= 100 : value == 100);
      break;
    case 3:
      m.reset_bar = true;
      break;
    case 0:
      switch (m.code) {
        case 0:
        case 72:
          m.reset_bar = true;
          break;
        case 85:
        case -1:
          break;
        default:
          m.error_window = true;
          m.reset_bar = true;
          break;
      }
      break;
    default:
      break;
  }
  return m;
}

bool Opens_Error_Window(const InfoHT& info) { return Status_Meaning(1, 0, info).error_window; }

const char* Op_Mode_Text(int op_mode) {
  return op_mode == 1 ? "PC in Non-Server Mode ......" : "PC in Server Mode ......";
}
