// A plain station view: one row per active HT (station, session,
// direction, file, percentage and a progress box) in a panel above the
// status bar, and a check-list station selection with the enable and OK
// rules. The main window uses it unless it is given another view.
#pragma once

#include "app/gui/station_view.h"

class QStatusBar;

std::unique_ptr<StationView> Make_Basic_Station_View(QWidget* main_window);

// The check-list selection (SCSI IDs 0 to 6, or the TCP/IP stations of
// [USE_IP] 1 to 254).
bool Select_Stations_Basic(QWidget* parent, SelectionMode mode, int interface_type);

// Whether an HT may be chosen in a selection of this mode:
// command and script: neither busy nor in a batch run (SCSI: and its IO box
// on); abort: busy or in a batch run (SCSI: and its IO box on).
bool Station_Enabled(int ht, SelectionMode mode, int interface_type);
