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

bool Normal_Ending(int code) { return code == 0 || code == 72 || code == 73 || code == 85; }

double Megabytes_Per_Second(std::int64_t bytes, double seconds) {
  if (bytes <= 0 || seconds <= 0) return 0;
  return static_cast<double>(bytes) / seconds / 1e6;
}

StatusEvent StatusTracker::End_File(int ht, Current& cur, bool complete, int code, std::uint64_t now_ms) {
  StatusEvent e;
  e.kind = StatusEvent::kFileEnded;
  e.ht = ht;
  e.session = cur.session;
  e.file = cur.file;
  e.direction = cur.direction;
  e.percent = cur.percent;
  e.complete = complete;
  e.code = code;
  e.seconds = static_cast<double>(now_ms - cur.start_ms) / 1000.0;
  if (complete && size_of_) e.bytes = size_of_(cur.file);
  cur = Current{};
  return e;
}

std::vector<StatusEvent> StatusTracker::On_Status(platform::WPARAM ht, platform::LPARAM value, const InfoHT& info,
                                                  std::uint64_t now_ms) {
  std::vector<StatusEvent> out;
  if (ht == 0) {
    StatusEvent e;
    e.kind = StatusEvent::kLinkEnding;
    e.code = static_cast<int>(value);
    out.push_back(e);
    return out;
  }
  if (ht > static_cast<platform::WPARAM>(MAX_HT)) return out;
  const int n = static_cast<int>(ht);
  Current& cur = current_[n];
  StatusEvent e;
  e.ht = n;
  e.session = info.SNo;
  switch (info.Mode) {
    case 1:
    case 2: {
      e.file = File_Text(info);
      e.direction = info.Mode;
      e.percent = static_cast<int>(value);
      // A file starts with its first notification: another name, another
      // direction or session, or a percentage lower than the last one (the
      // same file again).
      const bool starts = !cur.active || cur.file != e.file || cur.direction != e.direction ||
                          cur.session != e.session || e.percent < cur.percent;
      if (starts) {
        // The engine goes on to the next file only after the last one went whole.
        if (cur.active) out.push_back(End_File(n, cur, cur.percent >= 100, -1, now_ms));
        cur.active = true;
        cur.file = e.file;
        cur.direction = e.direction;
        cur.session = e.session;
        cur.start_ms = now_ms;
        StatusEvent started = e;
        started.kind = StatusEvent::kFileStarted;
        out.push_back(started);
      }
      cur.percent = e.percent;
      e.kind = StatusEvent::kProgress;
      out.push_back(e);
      return out;
    }
    case 0:
    case 3: {
      e.code = info.Index == kNoCode ? -1 : info.Index;
      // 85 notes a program that ended; the session goes on.
      if (cur.active && e.code != 85)
        out.push_back(End_File(n, cur, cur.percent >= 100 && Normal_Ending(e.code), e.code, now_ms));
      e.kind = StatusEvent::kSessionEnded;
      out.push_back(e);
      return out;
    }
    default:
      e.kind = StatusEvent::kOther;
      e.mode = info.Mode;
      e.value = static_cast<long>(value);
      out.push_back(e);
      return out;
  }
}

std::string Event_Text(const StatusEvent& e) {
  if (e.kind == StatusEvent::kLinkEnding) return "link " + Ending(e.code);
  std::string line = "HT " + std::to_string(e.ht) + " session " + std::to_string(e.session) + " ";
  const bool sending = e.direction == 1;
  char number[64];
  switch (e.kind) {
    case StatusEvent::kFileStarted:
      return line + (sending ? "sending " : "receiving ") + e.file + " started";
    case StatusEvent::kProgress:
      return line + (sending ? "sending " : "receiving ") + e.file + " " + std::to_string(e.percent) + "%";
    case StatusEvent::kFileEnded:
      if (e.complete) {
        line += (sending ? "sent " : "received ") + e.file + ": ";
        if (e.bytes >= 0) {
          std::snprintf(number, sizeof number, "%lld bytes in %.2f s, %.2f MB/s, complete",
                        static_cast<long long>(e.bytes), e.seconds, Megabytes_Per_Second(e.bytes, e.seconds));
        } else {
          std::snprintf(number, sizeof number, "size not known, %.2f s, complete", e.seconds);
        }
        return line + number;
      }
      std::snprintf(number, sizeof number, " failed at %d%% after %.2f s", e.percent, e.seconds);
      line += (sending ? "sending " : "receiving ") + e.file + number;
      return e.code >= 0 ? line + ": " + Ending(e.code) : line;
    case StatusEvent::kSessionEnded:
      return line + Ending(e.code);
    default:
      return line + "mode " + std::to_string(e.mode) + " value " + std::to_string(e.value);
  }
}
