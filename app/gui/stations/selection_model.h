// The station selection windows without a toolkit: which stations are
// offered, which may be chosen in each mode, the grid of the TCP/IP window,
// and what OK, Select All and Cancel All do to the choice and to the shared
// session table's flags.
//
// Threads: the user-interface thread. The flags of the session table are
// read and written through the atomic accessors (the engines read them from
// their own threads).
#pragma once

#include <string>
#include <vector>

#include "app/gui/stations/bar_model.h"

namespace stations {

// Why the selection is made (set by the caller).
enum class SelectionMode { Command, Script, Abort };

// Text of the message box when OK is pressed with nothing checked.
constexpr const char* kNoItemSelected = "No Item Selected.Please select atleast one.";

// A line under the choice saying what it is for: "Choose the stations for
// the command.", "... to run the script on.", "... whose work to abort."
std::string Selection_Hint(SelectionMode mode);

// Whether a station may be chosen. Command and script mode: neither in a
// batch run nor busy; abort mode: in a batch run or busy. SCSI also needs
// the IO box powered on (StartStatus non-zero).
bool Station_Enabled(Interface iface, SelectionMode mode, int batch_flag, int busy_flag,
                     int start_status);

// Same, from HT ht's record in the shared session table.
bool Station_Enabled(Interface iface, SelectionMode mode, int ht);

// The tooltip of a station: "Station 003 at 127.0.0.3" (TCP/IP, no address
// part when address is empty) or "IO box with SCSI ID 2" (SCSI); when it
// cannot be chosen a second line says why: "Not powered on", "Busy" or
// "Idle" (abort mode).
std::string Station_Tooltip(Interface iface, SelectionMode mode, int ht, const std::string& address);

// --- The TCP/IP grid ---------------------------------------------------------

// One station of [USE_IP].
struct TcpStation {
  int number = 0;       // station (HT) number
  std::string address;  // as the file gives it
};

// The stations of the TCP/IP window: the keys 1..254 present in [USE_IP] of
// device.ini in the program directory, looked up anew, in ascending order.
std::vector<TcpStation> Configured_Tcp_Stations();

// r = floor(sqrt(n)) rows; c = r columns when r * r = n, else the smallest
// c > r with r * c >= n. n <= 0 gives 0 by 0.
struct GridShape {
  int rows = 0;
  int cols = 0;
};
GridShape Grid_Shape(int n);

// The station number in three digits: "007", "042", "123".
std::string Station_Label(int number);

// One cell of the grid. Cells after the n-th carry the following numbers
// and are removed (never shown).
struct GridCell {
  int number = 0;  // station (HT) number
  int row = 0, col = 0;
  Rect rect;       // 55 by 30 pixels, the first column 15 pixels from the left
  bool removed = false;
};
std::vector<GridCell> Grid_Cells(const std::vector<int>& stations);

// Size of the TCP/IP window and where its four buttons (Select All, Cancel
// All, OK, Cancel) go: c * 55 + 30 wide (at least 380), r * 30 + 120 high,
// the buttons at right - 340, - 260, - 180 and - 100, their bottom edge 30
// pixels above the window's bottom.
struct TcpWindowLayout {
  int width = 0;
  int height = 0;
  Rect buttons[4];
};
constexpr int kCellWidth = 55;
constexpr int kCellHeight = 30;
constexpr int kGridLeft = 15;
constexpr int kGridTop = 15;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
TcpWindowLayout Tcp_Window_Layout(GridShape shape);

// --- The SCSI list -------------------------------------------------------------

// " SCSI ID   " followed by the SCSI ID (0..6).
std::string Scsi_Item_Text(int scsi_id);

// The list's rectangle in a window of the given size: from (width / 20,
// height / 20) to (width / 1.9, height / 1.8).
Rect Scsi_List_Rect(int width, int height);

// --- The choice ------------------------------------------------------------------

// The state of one selection window: the stations offered (HT numbers),
// which are enabled and which are checked.
class StationSelection {
 public:
  // hts: the HT numbers offered, in display order (numbers outside the
  // interface's range are dropped). Clears CheckFlag of every HT 1..255, so
  // that a cancelled selection leaves no station chosen, then Refresh().
  StationSelection(Interface iface, SelectionMode mode, std::vector<int> hts);

  // Recomputes each station's EnableFlag from its record (and writes it
  // there); a station that is no longer enabled is unchecked.
  void Refresh();

  int Size() const { return static_cast<int>(hts_.size()); }
  int Ht(int i) const { return hts_[static_cast<std::size_t>(i)]; }
  bool Enabled(int i) const { return enabled_[static_cast<std::size_t>(i)]; }
  bool Checked(int i) const { return checked_[static_cast<std::size_t>(i)]; }
  int Index_Of(int ht) const;

  // Checks or unchecks station i; checking a disabled station is refused
  // (false).
  bool Set_Checked(int i, bool checked);
  // Checks every enabled station and unchecks the others.
  void Select_All();
  void Cancel_All();

  // OK: false when no enabled station is checked (the window stays open and
  // tells the operator). Otherwise CheckFlag and CurrentlySelected become 1
  // for every checked enabled station and 0 for every other HT (1..255), and
  // true is returned.
  bool Accept();

  // The HT numbers checked and enabled, in display order.
  std::vector<int> Chosen() const;

  Interface Iface() const { return iface_; }
  SelectionMode Mode() const { return mode_; }

 private:
  Interface iface_;
  SelectionMode mode_;
  std::vector<int> hts_;
  std::vector<bool> enabled_;
  std::vector<bool> checked_;
};

// The highest HT number of an interface: 1 RS-232C, 7 SCSI, 255 TCP/IP.
int Last_Ht_Of(Interface iface);

}  // namespace stations
