// tarnel: the operator's program. Without --headless it is the desktop
// program (app/gui, when built with Qt); with --headless a server that logs
// what happens.
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

#include "app/core/progdir.h"
#include "app/server/check_config.h"
#include "app/server/server.h"
#ifdef TARNEL_WITH_GUI
#include "app/gui/gui_app.h"
#endif

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
  app.add_option("--control-group", control_group,
                 "Also let the members of this group hand in requests (only this user and root may "
                 "otherwise); the socket and its folder then belong to the group");
#ifdef TARNEL_WITH_GUI
  app.add_option("--screenshot-dir", screenshot_dir,
                 "Desktop program: save PNG pictures of the main window and the first error window into this "
                 "folder five times a second (for tests and documentation)");
#endif
  app.footer(
      "Without --headless tarnel opens the operator's window (Qt; QT_QPA_PLATFORM=offscreen runs it\n"
      "without a display).\n"
      "Exit status: 0 after an orderly stop; 1 when the server cannot start (the reason goes to\n"
      "standard error); 2 for a usage error; 3 when sessions did not end in time at the stop.\n"
      "Other programs hand in commands with tarnelctl (same --program-dir, or the same\n"
      "--control-socket). The commands run with this program's rights.\n"
      "Example:\n"
      "  tarnel --headless --program-dir /srv/tarnel");
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
    std::cerr << "tarnel: the operator window is not part of this build; run with --headless\n";
    std::cerr << app.help();
    return 2;
#endif
  }

  HeadlessServer server(std::cout, std::cerr);
  ServerConfig config;
  config.program_dir = program_dir;
  config.control_socket = control_socket;
  config.control_group = control_group;
  std::string why;
  if (!server.Start(config, &why)) return SERVER_CANNOT_START;
  return server.Run();
}
