// The desktop program: tarnel without --headless.
#pragma once

#include <string>

struct GuiOptions {
  std::string program_dir;     // empty: the executable's folder
  std::string control_socket;  // empty: the default of the program directory
  std::string control_group;
  std::string screenshot_dir;  // not empty: PNG screenshots are saved there (tests, documentation)
};

// Runs the Qt program until its main window closes; returns the exit status
// (0 also when another instance was asked to come to the front; 1 when the
// program directory cannot be used or the splash window cannot be made).
int Run_Gui(int argc, char** argv, const GuiOptions& options);

// With DUPLICATE=OFF: asks the instance that serves socket_path to bring
// its window to the front; true when one answered.
bool Bring_Other_Instance_Forward(const std::string& socket_path);
