// The headless server's log: one record per line on its output stream, as
// plain text ("YYYY-MM-DD HH:MM:SS text"), with the journal's priority
// prefixes ("<3>", "<4>", "<6>") in front when the output is the journal,
// or as one JSON object per line ("--log-format json"):
//
//   {"time":"2026-03-07 09:05:04","priority":6,"event":"connect",
//    "message":"HT 3 session 0 connected from 127.0.0.3","ht":3,...}
//
// Every record has time, priority, event and message; the event's own
// fields follow (names in docs/operators.md). Thread-safe: lines never mix.
#pragma once

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/clock.h"

enum class LogFormat { kText, kJson };

// syslog priorities as the journal reads them.
enum LogPriority : int { LOG_PRIORITY_ERROR = 3, LOG_PRIORITY_WARNING = 4, LOG_PRIORITY_INFO = 6 };

using LogValue = std::variant<std::int64_t, double, std::string>;
using LogFields = std::vector<std::pair<std::string, LogValue>>;

class LogWriter {
 public:
  explicit LogWriter(std::ostream& out) : out_(out) {}

  // Both are set before the server starts logging.
  void Set_Format(LogFormat format) { format_ = format; }
  void Set_Journal_Prefixes(bool on) { journal_ = on; }
  LogFormat Format() const { return format_; }

  // One record: the line as text or JSON. event names the kind of record
  // ("connect", "file-end", ...); text is the human-readable message.
  void Write(const platform::LocalTime& when, int priority, const std::string& event, const std::string& text,
             const LogFields& fields = {});

  // The line Write would write (without the line break).
  std::string Format_Line(const platform::LocalTime& when, int priority, const std::string& event,
                          const std::string& text, const LogFields& fields) const;

 private:
  std::ostream& out_;
  std::mutex mu_;
  LogFormat format_ = LogFormat::kText;
  bool journal_ = false;
};

// "text" or "json" into *format; false for anything else.
bool Parse_Log_Format(const std::string& text, LogFormat* format);
