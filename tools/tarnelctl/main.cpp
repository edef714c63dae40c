// tarnelctl: sends one data-copy request to the tarnel that serves a program
// directory and prints its reply (OP INDEX [TEXT]), or speaks the control
// requests of its subcommands: status, run, abort, watch.
#include <CLI/CLI.hpp>

#include <cstring>
#include <iomanip>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "app/core/progdir.h"
#include "app/server/datacopy.h"
#include "app/server/control.h"
#include "app/server/ipc.h"
#include "app/server/status_line.h"
#include "platform/clock.h"

namespace {

constexpr int kAnswered = 0;
constexpr int kUsage = 1;
constexpr int kNoInstance = 2;

}  // namespace

int Raw_Main(int argc, char** argv) {
  CLI::App app{
      "tarnelctl hands one request to a running tarnel (the one whose program directory\n"
      "is DIR, or the one serving --control-socket) and prints its reply, 1 or 0."};
  std::string program_dir;
  std::string control_socket;
  unsigned op = 0;
  unsigned index = 0;
  std::string text;
  int timeout_ms = 5000;
  app.add_option("--program-dir", program_dir,
                 "tarnel's program directory (default: the folder of this executable)");
  app.add_option("--control-socket", control_socket,
                 "the socket file tarnel serves (its --control-socket; default: derived from the program "
                 "directory as tarnel does it)");
  app.add_option("--timeout", timeout_ms, "milliseconds to wait for the reply")
      ->capture_default_str()
      ->check(CLI::Range(1, 600000));
  app.add_option("OP", op, "operation 0-255 (see below)")->required()->check(CLI::Range(0, 255));
  app.add_option("INDEX", index, "station index: HT number - 1 (0-255; RS-232C uses 0)")
      ->required()
      ->check(CLI::Range(0, 255));
  app.add_option("TEXT", text, "operation 0: the command line for the HT");
  app.footer(
      "Operations:\n"
      "  0    hand TEXT to the HT as its next command (starts the Link Manager if needed); 1\n"
      "  1    1 when the HT has taken the command (its command buffer is empty), else 0\n"
      "  2    1 when the HT's status mode is not 0, else 0\n"
      "  3    1 when the HT is busy or waiting for a command, else 0\n"
      "  4    1: an instance is there\n"
      "  255  append a detail-log entry for the HT; 1\n"
      "  any other: 0\n"
      "A command line (operation 0) is a line of the HT command language (it begins with '/'),\n"
      "at most 1999 characters; it runs with the rights of the user tarnel runs as. Only that\n"
      "user, root and the members of tarnel's --control-group may hand in requests.\n"
      "Exit status: 0 when an instance answered, 2 when none did (none runs, this user may not\n"
      "use it, or no reply in time), 1 for a usage error.\n"
      "Examples (the tarnel of /srv/tarnel; station index 2 is HT 3): is HT 3 waiting for a\n"
      "command? send it C:\\DATA\\ORDERS.DAT once, into its A:\\ (\"/1\": the session stays open\n"
      "and the line is not repeated); has it taken the line?\n"
      "  tarnelctl --program-dir /srv/tarnel 3 2\n"
      "  tarnelctl --program-dir /srv/tarnel 0 2 '/1/S C:\\DATA\\ORDERS.DAT A:\\'\n"
      "  tarnelctl --program-dir /srv/tarnel 1 2\n"
      "Subcommands (tarnelctl SUBCOMMAND --help): status [--json], run HT LINE [--wait] [--timeout S],\n"
      "abort HT, watch [--json]; they name HTs by their numbers, as the log does.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int r = app.exit(e);
    return r == 0 ? 0 : kUsage;
  }
  if (!program_dir.empty() && !Set_Program_Directory(program_dir)) {
    std::cerr << "tarnelctl: " << program_dir << " is not a folder\n";
    return kUsage;
  }
  const std::string dir = Get_Program_Directory();
  if (op == DC_COMMAND && text.size() > kMaxCommandLine) {
    // tarnel would refuse it: a cut line would do something else than asked.
    std::cerr << "tarnelctl: the command line has " << text.size() << " characters; an HT takes at most "
              << kMaxCommandLine << " (nothing was sent)\n";
    return kUsage;
  }
  if (op == DC_COMMAND && text.find('\0') != std::string::npos) {
    std::cerr << "tarnelctl: the command line holds a NUL character (nothing was sent)\n";
    return kUsage;
  }
  // The command line travels with its terminating NUL.
  std::string data = text;
  if (!data.empty() || op == DC_COMMAND) data.push_back('\0');
  const std::string socket_path = Data_Copy_Socket_Path(dir, control_socket);
  const int reply = Send_Data_Copy(
      socket_path, Data_Copy_Tag(static_cast<std::uint8_t>(op), static_cast<std::uint8_t>(index)), data, timeout_ms);
  if (reply == DCC_BAD_REQUEST) {
    std::cerr << "tarnelctl: TEXT is too long\n";
    return kUsage;
  }
  if (reply < 0) {
    const char* why = " (no reply in time)";
    if (reply == DCC_NO_INSTANCE) why = " (none runs)";
    if (reply == DCC_NOT_PERMITTED) why = " (this user may not use its socket)";
    if (reply == DCC_REFUSED) why = " (it closed the connection without a reply: this user may not hand it requests)";
    std::cerr << "tarnelctl: no tarnel answered on " << socket_path << why << "\n";
    return kNoInstance;
  }
  std::cout << reply << "\n";
  return kAnswered;
}

namespace {

using json = nlohmann::json;

constexpr int kFailed = 1;

struct Common {
  std::string program_dir;
  std::string control_socket;
};

void Add_Common(CLI::App& app, Common* c) {
  app.add_option("--program-dir", c->program_dir,
                 "tarnel's program directory (default: the folder of this executable)");
  app.add_option("--control-socket", c->control_socket, "the socket file tarnel serves (its --control-socket)");
}

// The socket path, or "" after a message when the program directory is bad.
std::string Socket_Of(const Common& c) {
  if (!c.program_dir.empty() && !Set_Program_Directory(c.program_dir)) {
    std::cerr << "tarnelctl: " << c.program_dir << " is not a folder\n";
    return "";
  }
  return Data_Copy_Socket_Path(Get_Program_Directory(), c.control_socket);
}

void Say_No_Instance(const std::string& socket_path, int r) {
  const char* why = " (no reply in time)";
  if (r == DCC_NO_INSTANCE) why = " (none runs)";
  if (r == DCC_NOT_PERMITTED) why = " (this user may not use its socket)";
  if (r == DCC_REFUSED) why = " (it closed the connection without a reply: this user may not hand it requests, "
                              "or it is older than the control requests)";
  std::cerr << "tarnelctl: no tarnel answered on " << socket_path << why << "\n";
}

// One request and its reply as JSON; an exit status other than -1 when it
// did not work out (the reason already said).
int Ask(ControlConnection& conn, const std::string& socket_path, const json& request, json* reply, int timeout_ms) {
  std::string text;
  const int r = conn.Request(socket_path, request.dump(), &text, timeout_ms);
  if (r != 1) {
    Say_No_Instance(socket_path, r);
    return kNoInstance;
  }
  *reply = json::parse(text, nullptr, false);
  if (reply->is_discarded() || !reply->is_object()) {
    std::cerr << "tarnelctl: tarnel's reply is not JSON\n";
    return kNoInstance;
  }
  if (!reply->value("ok", false)) {
    std::cerr << "tarnelctl: " << reply->value("error", std::string("refused")) << "\n";
    return kFailed;
  }
  return -1;
}

std::string Text_Of(const json& j, const char* key) {
  return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
}

long long Number_Of(const json& j, const char* key, long long fallback = 0) {
  return j.contains(key) && j[key].is_number() ? j[key].get<long long>() : fallback;
}

void Print_Status_Table(const json& reply) {
  std::cout << "interface " << Text_Of(reply, "interface") << "\n";
  if (!reply.contains("stations") || reply["stations"].empty()) {
    std::cout << "no stations\n";
    return;
  }
  std::cout << std::left << std::setw(5) << "HT" << std::setw(17) << "ADDRESS" << std::setw(11) << "STATE"
            << std::setw(9) << "SESSION" << "ACTIVITY / LAST ENDING\n";
  for (const json& s : reply["stations"]) {
    std::ostringstream activity;
    const std::string direction = Text_Of(s, "direction");
    if (!direction.empty())
      activity << (direction == "send" ? "sending " : "receiving ") << Text_Of(s, "file") << " "
               << Number_Of(s, "percent") << "%";
    const long long code = Number_Of(s, "last_code", -1);
    if (code >= 0) {
      if (!direction.empty()) activity << "; ";
      activity << "ending " << code << " " << Text_Of(s, "last_text");
    }
    std::cout << std::left << std::setw(5) << Number_Of(s, "ht") << std::setw(17) << Text_Of(s, "address")
              << std::setw(11) << Text_Of(s, "state") << std::setw(9) << Number_Of(s, "session") << activity.str()
              << "\n";
  }
}

int Status(const Common& c, bool as_json, int timeout_ms) {
  const std::string socket_path = Socket_Of(c);
  if (socket_path.empty()) return kUsage;
  ControlConnection conn;
  json reply;
  const int r = Ask(conn, socket_path, {{"version", kControlVersion}, {"request", "status"}}, &reply, timeout_ms);
  if (r >= 0) return r;
  if (as_json)
    std::cout << reply.dump() << "\n";
  else
    Print_Status_Table(reply);
  return kAnswered;
}

int Abort(const Common& c, int ht, int timeout_ms) {
  const std::string socket_path = Socket_Of(c);
  if (socket_path.empty()) return kUsage;
  ControlConnection conn;
  json reply;
  const int r = Ask(conn, socket_path, {{"version", kControlVersion}, {"request", "abort"}, {"ht", ht}}, &reply,
                    timeout_ms);
  if (r >= 0) return r;
  std::cout << Text_Of(reply, "message") << "\n";
  return kAnswered;
}

int Watch(const Common& c, bool as_json, int timeout_ms) {
  const std::string socket_path = Socket_Of(c);
  if (socket_path.empty()) return kUsage;
  ControlConnection conn;
  json reply;
  const int r = Ask(conn, socket_path, {{"version", kControlVersion}, {"request", "watch"}}, &reply, timeout_ms);
  if (r >= 0) return r;
  std::cout.setf(std::ios::unitbuf);
  for (;;) {
    std::string frame;
    const int got = conn.Next(&frame, 60000);
    if (got == DCC_NO_ANSWER) continue;
    if (got != 1) {
      std::cerr << "tarnelctl: tarnel ended the watch\n";
      return kAnswered;
    }
    if (as_json) {
      std::cout << frame << "\n";
      continue;
    }
    const json record = json::parse(frame, nullptr, false);
    if (record.is_discarded()) continue;
    std::cout << Text_Of(record, "time") << " " << Text_Of(record, "message") << "\n";
  }
}

// run --wait: the ending of HT ht's session among the watched records, or,
// for a line run once ("/1"), the line leaving the HT's command buffer (the
// engine clears it when the line's last command is done). Exit 0 for a
// normal ending (73, the PC ended the session after the line), 1 otherwise,
// 2 when no tarnel answers.
int Wait_For_End(ControlConnection& watch, const std::string& socket_path, int ht, bool once,
                 std::uint64_t deadline) {
  auto ending_of = [ht](const std::string& frame, long long* code, std::string* text) {
    const json record = json::parse(frame, nullptr, false);
    if (record.is_discarded() || Text_Of(record, "event") != "ending" || Number_Of(record, "ht") != ht) return false;
    *code = Number_Of(record, "code", -1);
    *text = Text_Of(record, "message");
    return *code != 85;  // a program ended; the session goes on
  };
  // The line's session ends normally when the PC ends it after the line's
  // commands (73); 72 means the HT ended it first, for instance because it
  // could not carry out a command.
  auto finish = [](long long code, const std::string& text) {
    std::cout << text << "\n";
    return code == 0 || code == 73 ? kAnswered : kFailed;
  };
  const std::uint32_t tag = Data_Copy_Tag(DC_COMMAND_TAKEN, static_cast<std::uint8_t>(ht - 1));
  for (;;) {
    const std::uint64_t now = platform::Monotonic_Ms();
    if (now >= deadline) {
      std::cerr << "tarnelctl: HT " << ht << "'s session did not end in time\n";
      return kFailed;
    }
    std::string frame;
    const int wait_ms = static_cast<int>(std::min<std::uint64_t>(deadline - now, 100));
    const int got = watch.Next(&frame, wait_ms);
    long long code = 0;
    std::string text;
    if (got == 1 && ending_of(frame, &code, &text)) return finish(code, text);
    if (got == DCC_REFUSED) {
      std::cerr << "tarnelctl: tarnel ended the watch before HT " << ht << "'s session ended\n";
      return kNoInstance;
    }
    if (got == 1 || !once) continue;
    const int taken = Send_Data_Copy(socket_path, tag, "", 2000);
    if (taken < 0) {
      Say_No_Instance(socket_path, taken);
      return kNoInstance;
    }
    if (taken != 1) continue;
    // The line is done, or its session ended with an error just now: an
    // ending that was already sent arrives within moments.
    const std::uint64_t grace = platform::Monotonic_Ms() + 300;
    while (platform::Monotonic_Ms() < grace) {
      if (watch.Next(&frame, 100) == 1 && ending_of(frame, &code, &text)) return finish(code, text);
    }
    std::cout << "HT " << ht << " ran the line; its session waits for the next command\n";
    return kAnswered;
  }
}

int Run(const Common& c, int ht, const std::string& line, bool wait, double timeout_s, int request_ms) {
  std::string why;
  if (Check_Command_Line(line, &why) != 0) {
    std::cerr << "tarnelctl: the line was not handed in: " << why << "\n";
    return kFailed;
  }
  const std::string socket_path = Socket_Of(c);
  if (socket_path.empty()) return kUsage;
  const std::uint64_t deadline = platform::Monotonic_Ms() + static_cast<std::uint64_t>(timeout_s * 1000);
  ControlConnection watch;
  json reply;
  if (wait) {
    // Watching starts first, so the ending cannot pass unseen.
    const int r =
        Ask(watch, socket_path, {{"version", kControlVersion}, {"request", "watch"}}, &reply, request_ms);
    if (r >= 0) return r;
  }
  ControlConnection conn;
  const int r = Ask(conn, socket_path,
                    {{"version", kControlVersion}, {"request", "run"}, {"ht", ht}, {"line", line}}, &reply,
                    request_ms);
  if (r >= 0) return r;
  if (!wait) {
    std::cout << Text_Of(reply, "message") << "\n";
    return kAnswered;
  }
  return Wait_For_End(watch, socket_path, ht, line.compare(0, 2, "/1") == 0, deadline);
}

bool Is_Subcommand(const char* word) {
  for (const char* name : {"status", "run", "abort", "watch"})
    if (std::strcmp(word, name) == 0) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // The first word that is not an option (or an option's value) tells the
  // subcommands from the raw OP INDEX [TEXT] form.
  int first = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--program-dir" || a == "--control-socket" || a == "--timeout") {
      ++i;
      continue;
    }
    if (!a.empty() && a[0] == '-') continue;
    first = i;
    break;
  }
  if (first == 0 || !Is_Subcommand(argv[first])) return Raw_Main(argc, argv);

  CLI::App app{"tarnelctl: status, run, abort and watch for a running tarnel"};
  Common common;
  Add_Common(app, &common);
  int request_ms = 5000;
  app.add_option("--timeout", request_ms, "milliseconds to wait for each reply")
      ->capture_default_str()
      ->check(CLI::Range(1, 600000));
  app.require_subcommand(1);
  app.fallthrough();
  bool as_json = false;
  CLI::App* status = app.add_subcommand("status", "every station in one table: HT number, address, state, "
                                                  "session, file and percentage, last ending");
  status->add_flag("--json", as_json, "print tarnel's JSON reply instead");
  int ht = 0;
  std::string line;
  bool wait = false;
  double timeout_s = 600;
  CLI::App* run = app.add_subcommand(
      "run", "check LINE with the engine's translator and hand it to HT as its next command");
  run->add_option("HT", ht, "the HT number (1-255), as the log shows it")->required()->check(CLI::Range(1, 255));
  run->add_option("LINE", line, "the command line, e.g. '/1/S C:\\DATA\\ORDERS.DAT A:\\'")->required();
  run->add_flag("--wait", wait,
                "wait until the session that runs the line ends (a line with /1: until the line is done); "
                "exit 0 for a normal ending, 1 otherwise, printing the code and text");
  run->add_option("--timeout", timeout_s, "seconds --wait waits at most")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 86400.0));
  int abort_ht = 0;
  CLI::App* abort = app.add_subcommand("abort", "ask HT's session to end (as the operator's abort does)");
  abort->add_option("HT", abort_ht, "the HT number (1-255)")->required()->check(CLI::Range(1, 255));
  bool watch_json = false;
  CLI::App* watch = app.add_subcommand("watch", "print the server's log records as they happen, with every "
                                                "percentage, until interrupted");
  watch->add_flag("--json", watch_json, "one JSON object per line, as tarnel --log-format json writes them");
  app.footer(
      "Exit status: 0 done (run --wait: the session ended normally), 1 refused or a usage error\n"
      "(run: the line has an error, the HT did not take it, or --wait saw another ending), 2 when no\n"
      "tarnel answered.\n"
      "Examples:\n"
      "  tarnelctl --program-dir /srv/tarnel status\n"
      "  tarnelctl --program-dir /srv/tarnel run 3 '/1/S C:\\DATA\\ORDERS.DAT A:\\' --wait --timeout 120\n"
      "  tarnelctl --program-dir /srv/tarnel abort 3");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int r = app.exit(e);
    return r == 0 ? 0 : kUsage;
  }
  if (status->parsed()) return Status(common, as_json, request_ms);
  if (run->parsed()) return Run(common, ht, line, wait, timeout_s, request_ms);
  if (abort->parsed()) return Abort(common, abort_ht, request_ms);
  return Watch(common, watch_json, request_ms);
}
