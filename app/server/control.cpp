#include "app/server/control.h"

#include <memory>
#include <new>
#include <nlohmann/json.hpp>

#include "app/server/datacopy.h"
#include "app/server/status_line.h"
#include "engine/rox32.h"

namespace {

using json = nlohmann::json;

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace

bool Parse_Control_Request(const std::string& text, ControlRequest* request, std::string* why) {
  const json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *why = "the request is not a JSON object";
    return false;
  }
  if (j.contains("version")) {
    if (!j["version"].is_number_integer() || j["version"].get<long long>() < 1 ||
        j["version"].get<long long>() > kControlVersion) {
      *why = "this server speaks control version " + std::to_string(kControlVersion);
      return false;
    }
  }
  if (!j.contains("request") || !j["request"].is_string()) {
    *why = "the request names no \"request\"";
    return false;
  }
  ControlRequest r;
  r.request = j["request"].get<std::string>();
  if (r.request == "status" || r.request == "watch") {
    *request = r;
    return true;
  }
  if (r.request != "run" && r.request != "abort") {
    *why = "unknown request \"" + r.request + "\" (status, run, abort, watch)";
    return false;
  }
  if (!j.contains("ht") || !j["ht"].is_number_integer() || j["ht"].get<long long>() < 1 ||
      j["ht"].get<long long>() > MAX_HT) {
    *why = "\"ht\" must be an HT number 1 to " + std::to_string(MAX_HT);
    return false;
  }
  r.ht = static_cast<int>(j["ht"].get<long long>());
  if (r.request == "run") {
    if (!j.contains("line") || !j["line"].is_string()) {
      *why = "a run request needs the command \"line\"";
      return false;
    }
    r.line = j["line"].get<std::string>();
  }
  *request = r;
  return true;
}

std::string Status_Reply(const std::string& interface_name, const std::vector<StationStatus>& stations) {
  json j;
  j["ok"] = true;
  j["version"] = kControlVersion;
  j["interface"] = interface_name;
  j["stations"] = json::array();
  for (const StationStatus& s : stations) {
    json st;
    st["ht"] = s.ht;
    st["address"] = s.address;
    st["state"] = s.state;
    st["direction"] = s.direction;
    st["file"] = s.file;
    st["percent"] = s.percent;
    st["last_code"] = s.last_code;
    st["last_text"] = s.last_text;
    st["session"] = s.session;
    j["stations"].push_back(st);
  }
  return Dump(j);
}

std::string Ok_Reply(const std::string& message) {
  json j;
  j["ok"] = true;
  j["version"] = kControlVersion;
  if (!message.empty()) j["message"] = message;
  return Dump(j);
}

std::string Error_Reply(const std::string& error) {
  json j;
  j["ok"] = false;
  j["version"] = kControlVersion;
  j["error"] = error;
  return Dump(j);
}

int Check_Command_Line(const std::string& line, std::string* why) {
  if (line.size() > kMaxCommandLine) {
    *why = "the line has " + std::to_string(line.size()) + " characters; an HT's command buffer takes at most " +
           std::to_string(kMaxCommandLine);
    return 41;
  }
  if (line.find('\0') != std::string::npos) {
    *why = "the line holds a NUL character";
    return 37;
  }
  if (line.empty() || line[0] != '/') {
    *why = "a command line starts with '/' (for instance /1/S C:\\DATA\\X.DAT A:\\)";
    return 37;
  }
  // As the idle state takes it from the command buffer.
  std::string text = line.compare(0, 2, "/1") == 0 ? line.substr(2) : line + "//";
  std::unique_ptr<RS232_ROX> engine(new (std::nothrow) RS232_ROX);
  if (!engine) {
    *why = "no memory to check the line";
    return 41;
  }
  engine->CommandList[0] = '\0';
  const short code = engine->Translate_Command(reinterpret_cast<const unsigned char*>(text.c_str()),
                                               engine->CommandList, sizeof engine->CommandList);
  if (code == 0) return 0;
  std::string what;
  switch (code) {
    case 37:
      what = "a syntax error: an option without its names, a name without its closing quotation mark, "
             "or a character that a line may not hold";
      break;
    case 77:
      what = "an unknown option or flag letter";
      break;
    case 41:
      what = "the line makes more commands than a session's command list holds";
      break;
    default:
      what = "the translator refuses it";
      break;
  }
  *why = what + " (code " + std::to_string(code) + " " + Ending_Text(code) + ")";
  return code;
}
