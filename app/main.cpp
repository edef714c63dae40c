// tarnel: the operator's program. Without --headless it is the desktop
// program (app/gui, when built with Qt); with --headless a server that logs
// what happens.
#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <string>

#include "app/core/progdir.h"
#include "app/server/check_config.h"
#include "app/server/server.h"
#ifdef TARNEL_WITH_GUI
#include "app/gui/gui_app.h"
#endif
#include "platform/notify.h"
#include "platform/process.h"
#include "platform/progdir.h"

namespace {

// A switch from the environment: unset or empty is off, "1", "yes", "true"
// or "on" is on, "0", "no", "false" or "off" is off; anything else is a
// usage error (false).
bool Environment_Switch(const char* name, bool* on) {
  const char* value = std::getenv(name);
  if (value == nullptr) return true;
  const std::string v = value;
  if (v.empty() || v == "0" || v == "no" || v == "false" || v == "off") return true;
  if (v == "1" || v == "yes" || v == "true" || v == "on") {
    *on = true;
    return true;
  }
  std::cerr << "tarnel: " << name << "=" << v << " is neither 1 nor 0\n";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tarnel - file exchange with handheld terminals"};
  bool version = false;
  bool headless = false;
  bool check_config = false;
  std::string program_dir;
  std::string control_socket;
  std::string control_group;
  app.add_flag("--version", version, "Print the version and exit");
  std::string screenshot_dir;
  app.add_flag("--headless", headless,
               "Run as a server without a window: start the Link Manager for the interface that "
               "device.ini's IF names, log every status to standard output, stop on SIGINT or SIGTERM");
  app.add_flag("--check-config", check_config,
               "Read device.ini and panelset.ini as the server would, print every setting as understood "
               "with warnings and errors, and exit: 0 when the server would start, 1 otherwise");
  app.add_option("--program-dir", program_dir,
                 "Folder that holds device.ini and panelset.ini (default: the executable's folder)");
  app.add_option("--control-socket", control_socket,
                 "Socket file for requests from other programs (tarnelctl) (default: a name made from the "
                 "program directory, in $XDG_RUNTIME_DIR/tarnel, else /run/tarnel for root, else "
                 "$TMPDIR/tarnel-UID); its folder must belong to this user and be writable by nobody else");
  bool listed_only = false;
  bool confine = false;
  bool progress = false;
  std::string log_format = "text";
  app.add_flag("--listed-only", listed_only,
               "Refuse TCP/IP connections from addresses that device.ini's [USE_IP] does not list (as a "
               "connection beyond MAX_IO is refused) and log each; also TARNEL_LISTED_ONLY=1");
  app.add_flag("--confine", confine,
               "Keep every PC path that a terminal or a command line names inside the mapped drive roots "
               "(TARNEL_DRIVES): '..' above a root and symbolic links out of the roots are refused as not "
               "found and logged; also TARNEL_CONFINE=1");
  app.add_option("--log-format", log_format,
                 "text (default; with the journal's priority prefixes when standard output is the journal) "
                 "or json (one JSON object per line)")
      ->check(CLI::IsMember({"text", "json"}));
  app.add_flag("--progress", progress,
               "Log every percentage of a file, not only one line when it starts and one when it ends");
  app.add_option("--control-group", control_group,
                 "Also let the members of this group hand in requests (only this user and root may "
                 "otherwise); the socket and its folder then belong to the group");
  app.add_option("--screenshot-dir", screenshot_dir,
                 "Desktop program: save PNG pictures of the main window and the first error window into this "
                 "folder five times a second (for tests and documentation)");
  app.footer(
      "Without --headless tarnel opens the operator's window (the program tarnel-gui, package\n"
      "tarnel-gui; QT_QPA_PLATFORM=offscreen runs it without a display).\n"
      "Exit status: 0 after an orderly stop; 1 when the server cannot start (the reason goes to\n"
      "standard error); 2 for a usage error; 3 when sessions did not end in time at the stop.\n"
      "Other programs hand in commands with tarnelctl (same --program-dir, or the same\n"
      "--control-socket). The commands run with this program's rights.\n"
      "Environment: TARNEL_DRIVES maps drive letters to folders (C=/srv/tarnel); TARNEL_LISTED_ONLY=1\n"
      "and TARNEL_CONFINE=1 switch on --listed-only and --confine.\n"
      "Example:\n"
      "  tarnel --headless --program-dir /srv/tarnel --listed-only --confine");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int r = app.exit(e);
    return r == 0 ? 0 : 2;
  }
  if (version) {
    std::cout << "tarnel " << TARNEL_VERSION << "\n";
    return 0;
  }
  if (check_config) {
    if (!program_dir.empty() && !Set_Program_Directory(program_dir)) {
      std::cout << "error: program directory " << program_dir << " is not a folder that can be used\n";
      return 1;
    }
    return Check_Configuration(std::cout);
  }
  if (!headless) {
#ifdef TARNEL_WITH_GUI
    GuiOptions options;
    options.program_dir = program_dir;
    options.control_socket = control_socket;
    options.control_group = control_group;
    options.screenshot_dir = screenshot_dir;
    return Run_Gui(argc, argv, options);
#else
    // The desktop program is a program (and package) of its own, so that a
    // server needs no Qt: tarnel-gui beside this executable takes over with
    // the same arguments.
    std::string self;
    if (platform::Executable_Path(&self)) {
      const std::string gui = self.substr(0, self.find_last_of('/') + 1) + "tarnel-gui";
      argv[0] = const_cast<char*>(gui.c_str());
      platform::Replace_Program(gui.c_str(), argv);
    }
    std::cerr << "tarnel: the desktop program (tarnel-gui, in the package tarnel-gui) is not installed "
                 "beside this program; run with --headless\n";
    return 2;
#endif
  }

  HeadlessServer server(std::cout, std::cerr);
  ServerConfig config;
  config.program_dir = program_dir;
  config.control_socket = control_socket;
  config.control_group = control_group;
  if (!Environment_Switch("TARNEL_LISTED_ONLY", &listed_only) || !Environment_Switch("TARNEL_CONFINE", &confine))
    return 2;
  config.listed_only = listed_only;
  config.confine = confine;
  config.progress = progress;
  Parse_Log_Format(log_format, &config.log_format);
  config.journal_prefixes = config.log_format == LogFormat::kText && platform::Stdout_Is_Journal();
  std::string why;
  if (!server.Start(config, &why)) return SERVER_CANNOT_START;
  return server.Run();
}
