// tarnelctl: sends one data-copy request to the tarnel that serves a program
// directory and prints its reply.
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

#include "app/core/progdir.h"
#include "app/server/datacopy.h"
#include "app/server/ipc.h"

namespace {

constexpr int kAnswered = 0;
constexpr int kUsage = 1;
constexpr int kNoInstance = 2;

}  // namespace

int main(int argc, char** argv) {
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
      "  tarnelctl --program-dir /srv/tarnel 1 2");
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
