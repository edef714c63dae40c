#include "app/server/log_writer.h"

#include <nlohmann/json.hpp>

#include "app/server/status_line.h"

std::string LogWriter::Format_Line(const platform::LocalTime& when, int priority, const std::string& event,
                                   const std::string& text, const LogFields& fields) const {
  if (format_ == LogFormat::kJson) {
    nlohmann::ordered_json j;
    j["time"] = Time_Text(when);
    j["priority"] = priority;
    j["event"] = event;
    j["message"] = text;
    for (const auto& field : fields) {
      const auto& key = field.first;
      std::visit([&j, &key](const auto& v) { j[key] = v; }, field.second);
    }
    // Bytes that are not UTF-8 (a file name from a terminal) are replaced,
    // never a reason to lose the line.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  std::string line;
  if (journal_) line = "<" + std::to_string(priority) + ">";
  line += Time_Text(when) + " ";
  // A name from a terminal must not start a line of its own.
  for (char c : text) line.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c);
  return line;
}

void LogWriter::Write(const platform::LocalTime& when, int priority, const std::string& event,
                      const std::string& text, const LogFields& fields) {
  const std::string line = Format_Line(when, priority, event, text, fields);
  std::lock_guard<std::mutex> lock(mu_);
  out_ << line << std::endl;
}

bool Parse_Log_Format(const std::string& text, LogFormat* format) {
  if (text == "text") {
    *format = LogFormat::kText;
    return true;
  }
  if (text == "json") {
    *format = LogFormat::kJson;
    return true;
  }
  return false;
}
