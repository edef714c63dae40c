// The seam between the main window and the station view: the bars panel
// over the bottom of the main window and the station selection windows.
// The main window feeds the view from notification 1029 and asks it for a
// selection before Command, Script File and Abort on SCSI and TCP/IP.
// The program uses the station view library (app/gui/stations:
// Make_Station_Panel_View, Select_Stations_For_Main_Window); basic_stations.h
// holds a plain implementation of both that the main window's tests drive.
//
// Threads: the GUI thread only.
#pragma once

#include <functional>
#include <memory>

#include "engine/rox32.h"

class QWidget;

class StationView {
 public:
  virtual ~StationView() = default;
  // The first progress of a transfer: a bar for the HT (none while its
  // AbortFromGUI is set); info is the HT's record at this notification.
  virtual void Start_Bar(int ht, const InfoHT& info) = 0;
  // A progress value of the HT's transfer (percent in info.Cent).
  virtual void Update_Bar(int ht, const InfoHT& info) = 0;
  // The HT's bar goes; the panel goes with the last bar.
  virtual void Reset_Bar(int ht) = 0;
  // Every bar goes (Stop Link Manager).
  virtual void Destroy_Panel() = 0;
  // Places the panel above the status bar; called on every move and resize
  // of the main window.
  virtual void Layout_Panel() = 0;
  // The interface whose stations are shown (0 RS-232C, 1 SCSI, 2 TCP/IP);
  // set before the first bar of a link.
  virtual void Set_Interface_Type(int interface_type) = 0;
  // Bars shown now.
  virtual int Bar_Count() const = 0;
};

// Why a station selection is opened.
enum class SelectionMode { kCommand, kScript, kAbort };

// Opens the station selection of the interface (1 SCSI, 2 TCP/IP) as a
// modal window over parent. On OK the chosen HTs have CheckFlag and
// CurrentlySelected 1 and every other HT 0, and it returns true; Cancel
// returns false.
using StationSelector = std::function<bool(QWidget* parent, SelectionMode mode, int interface_type)>;

// The view the main window uses; main_window is the panel's owner.
using StationViewFactory = std::function<std::unique_ptr<StationView>(QWidget* main_window)>;
