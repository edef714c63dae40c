// The start-up sequence of the configuration, shared by the headless server
// and the GUI. In order:
//
//   Set_Program_Directory(dir);          // only with --program-dir
//   Load_Run_Options();                  // before any window exists
//   ... single-instance check when GRunOptions.single_instance ...
//   Load_Device_And_Panel_Settings();    // when the main window is created
//   Apply_Settings_To_Globals(window);   // once the main window exists
//   ... select the interface named by GDeviceSettings.IF ...
//   if (GRunOptions.server) { Apply_One_Shot_Mode(); start the link; }
//
// All of it runs on the main thread before the link starts.
#pragma once

#include "platform/window.h"

// Read_Run_Options, then, whatever its result, the [CODE] value into
// GErrCode, CHILD_THROUGH into GChildThrough and COMMAND_TIMEOUT into
// GCommandTimeout. Returns Read_Run_Options' result.
int Load_Run_Options();

// Read_Device_Ini (device settings, DefErrorFile, DefWorkFile, GScanTime,
// station table, MAX_IO), then Read_Panel_Settings (panel settings, SCSILOG,
// MAX_WRITE_SIZE). Returns false when device.ini was missing.
bool Load_Device_And_Panel_Settings();

// Everything the libraries take from the application once its main window
// exists: the run options' copies again (as Load_Run_Options), the main
// window into HandleForROXToMainWindow, HandleForTetherToMainWindow and
// HandleForDriverToMainWindow, and Instance_Handle (the program directory).
void Apply_Settings_To_Globals(platform::HWND main_window);

// OneShotMode = 1 when SERVER and 1SHOT are both on; call it when server
// mode starts the link.
void Apply_One_Shot_Mode();

// The Link Manager's Start_A_Session / Stop_A_Session type and argument for
// an interface (kRs232, kScsi, kTcpip below).
unsigned char Link_Session_Type(int interface_type);
unsigned int Link_Session_Arg(int interface_type);

// After the Link Manager stops: every HT's batch flag and station choice
// (CurrentlySelected, CheckFlag) cleared.
void Clear_Station_Choices();

// Interfaces (InterfaceType).
constexpr int kRs232 = 0;
constexpr int kScsi = 1;
constexpr int kTcpip = 2;

// The interface IF names, ignoring case ("RS232C", "SCSI", "ETHERNET"); -1
// for anything else (also for null).
int Interface_Of_If(const char* text);
