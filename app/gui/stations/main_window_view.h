// The station panel and the selection windows behind the main window's
// station-view seam (app/gui/station_view.h): the main window is built with
//   MainWindow(Make_Station_Panel_View, Select_Stations_For_Main_Window)
//
// Threads: the user-interface thread only.
#pragma once

#include <memory>

#include "app/gui/station_view.h"

namespace stations {

// A view whose panel is made by the first bar (with BARHEIGHT, NUMOFBAR,
// the borders and colours of GPanelSettings as they are then) and goes with
// the last one. main_window must be a QMainWindow; its status bar places the
// panel, and Esc in the panel closes it.
std::unique_ptr<StationView> Make_Station_Panel_View(QWidget* main_window);

// The SCSI (interface_type 1) or TCP/IP (2) selection window; true when the
// operator chose stations with OK.
bool Select_Stations_For_Main_Window(QWidget* parent, ::SelectionMode mode, int interface_type);

}  // namespace stations
