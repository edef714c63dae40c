// Control requests: the JSON requests that tarnelctl's subcommands send
// (status, run, abort, watch) and their replies, described in
// docs/datacopy_socket.md. The decisions and texts live here, toolkit-free;
// the headless server supplies the station table and carries the requests
// out on its window thread.
#pragma once

#include <string>
#include <vector>

// Version of the control requests; a request may name the version it
// speaks ("version"), and a server refuses a higher one.
constexpr int kControlVersion = 1;

struct ControlRequest {
  std::string request;  // "status", "run", "abort", "watch"
  int ht = 0;           // run, abort: the HT number (1..255)
  std::string line;     // run: the command line
};

// Reads a request; false with *why for text that is not one (not JSON, no
// known request, an HT number out of range, a version above ours).
bool Parse_Control_Request(const std::string& text, ControlRequest* request, std::string* why);

// One station as status and watch report it.
struct StationStatus {
  int ht = 0;
  std::string address;    // peer address ("127.0.0.3"), "IO box N", "RS-232C"; "" when not known
  std::string state;      // "busy", "waiting" (for a command), "connected", "gone"
  std::string direction;  // "send", "receive" or "" while no file goes
  std::string file;
  int percent = 0;
  int last_code = -1;     // last ending code, -1 for none yet
  std::string last_text;
  int session = 0;
};

// The replies, each one JSON object.
std::string Status_Reply(const std::string& interface_name, const std::vector<StationStatus>& stations);
std::string Ok_Reply(const std::string& message = "");
std::string Error_Reply(const std::string& error);

// Checks a command line as the engine will take it from an HT's command
// buffer ("/1" stripped, else "//" appended) with the engine's own
// translator. 0 when it translates; else the translator's code (37 syntax
// error, 77 unknown option or flag letters, 41 too long) and *why says what
// is wrong in words.
int Check_Command_Line(const std::string& line, std::string* why);
