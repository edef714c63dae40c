// The station bars without a toolkit: what each bar shows, which bars exist
// and in which order, which of them are visible, where every part of a bar
// is drawn, how a too-wide file text is cut, and where the bars' panel sits
// over the main window. The Qt widgets in this folder only paint what these
// functions decide.
//
// Threads: everything here runs on the user-interface thread. The one call
// that reads the shared session table (Read_Station_Bar) copies the HT's
// record field by field through the atomic accessors.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/devini.h"
#include "engine/rox32.h"

namespace stations {

// The interface in use, numbered as the main window's InterfaceType.
enum class Interface : int { Rs232c = 0, Scsi = 1, TcpIp = 2 };

// What one bar shows: a copy of the HT's record taken when a notification
// for it arrives, so painting later never reads memory another thread writes.
struct StationBar {
  int ht = 0;        // HT number, 1..255; identifies the bar
  int session = 0;   // SNo
  int mode = 0;      // 1 sending ("Tx"), anything else receiving ("Rx")
  int cent = 0;      // percent of the current file, as the engine reported it
  std::string file;  // File without its blank padding
};

// The bar of HT ht from a record (File up to its first NUL, trailing blanks
// removed).
StationBar Bar_From_Info(int ht, const InfoHT& info);

// The bar of HT ht (1..255) from the shared session table, each field read
// through its atomic accessor. abort_from_gui, when not null, receives the
// record's AbortFromGUI flag. An HT outside 1..255 gives an empty bar.
StationBar Read_Station_Bar(int ht, bool* abort_from_gui = nullptr);

// --- Texts -------------------------------------------------------------------

// The number shown after "IOBOX  No. : ": the SCSI ID (HT number - 1) on
// SCSI, the HT number otherwise.
int Shown_Station_Number(Interface iface, int ht);

// "Tx" for mode 1, "Rx" otherwise.
const char* Direction_Text(int mode);

// The percentage as "%3d" followed by "   % ".
std::string Percent_Text(int cent);

// The address of the table row whose key is ht in decimal; "" when no row
// matches.
std::string Ip_Address_Of(const StationIpTable& table, int ht);

// Width in pixels of a text in the bar's font.
using TextWidth = std::function<int(std::string_view)>;

// The file text as the bar shows it: the whole text when it is at most
// (item_width - 200) pixels wide; else the part after the last '\' or '/';
// if that is still too wide, its first k characters, k = (item_width - 200)
// / average_char_width (or all of them when fewer), with the last three of
// those replaced by '.', and then fewer characters before the dots while the
// text is still wider than the room. A multi-byte UTF-8 character is never
// split. available, when given, is the width from where the text starts to
// the bar's inner frame; the room is never more than that, so the text
// (and its dots) is never hidden under the frame.
std::string Fit_File_Text(std::string_view file, int item_width, const TextWidth& width,
                          int average_char_width, int available = std::numeric_limits<int>::max());

// --- Geometry of one bar ---------------------------------------------------------

// A rectangle with exclusive right and bottom edges.
struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool Empty() const { return right <= left || bottom <= top; }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// Every position of one bar drawn into the item rectangle R.
struct BarLayout {
  Rect outer;   // R: filled RGB(150,150,150), black frame
  Rect middle;  // R shrunk by BOARDER1: black frame
  Rect inner;   // shrunk again by BOARDER2: filled RGB(200,200,200)
  int label_x;        // left + 20: "IOBOX  No. : ", "IP Address :", "Mode   : "
  int number_x;       // left + 100: station number, IP address
  int session_label_x;  // left + 125: "Session No. : ", "File Name    : "
  int session_x;      // left + 209: session number, file text
  int mode_x;         // left + 75: "Tx" / "Rx"
  int percent_x;      // right - 80
  int station_y;      // top + BARHEIGHT / 7 (integer division)
  int ip_y;           // top + BARHEIGHT / 2.4 (TCP/IP only)
  int mode_y;         // bottom - BARHEIGHT / 2.7
  int percent_y;      // bottom - BARHEIGHT / 1.4
  Rect box;     // progress box, filled RGB(255,255,192); its frame is one pixel outside
  double scale;  // pixels per percent: box width / 100
};

// The layout of a bar in item rectangle item with the panel settings.
// Borders below 0 count as 0; the progress box never has a negative size.
BarLayout Layout_Bar(const Rect& item, int bar_height, int border1, int border2);

// The right edge of the filled part for cent: box.left + 2 + cent * scale
// (truncated), never past the box's right edge; cent below 0 counts as 0 and
// above 100 as 100.
int Fill_Edge(const BarLayout& layout, int cent);

// The area a fast update has to draw when the fill moves from old_edge to
// new_edge: the percentage text (from percent_x to the inner right edge,
// text_height + 2 pixels high) and the span of the box between the two
// edges (empty when they are equal).
struct UpdateArea {
  Rect percent;
  Rect fill;
};
UpdateArea Fast_Update_Area(const BarLayout& layout, int old_edge, int new_edge, int text_height);

// --- The list of bars --------------------------------------------------------------

// The bars in the order their sessions started, the first visible row
// (scrolling), and per HT the last drawn fill edge for the fast update path.
class BarList {
 public:
  // Initial value of every HT's remembered edge (before its first drawing).
  static constexpr int kInitialEdge = 300;

  enum class Start { Ignored, Refreshed, Appended };

  // num_of_bar: NUMOFBAR; below 1 counts as 1.
  explicit BarList(int num_of_bar);

  // A transfer starts: nothing when abort_from_gui is set (the operator is
  // aborting the HT); the bar's data is replaced when the HT has a bar;
  // otherwise a bar is appended.
  Start Start_Bar(const StationBar& bar, bool abort_from_gui);

  // Replaces the data of HT bar.ht's bar; false when it has none.
  bool Update_Bar(const StationBar& bar);

  // Removes HT ht's bar; false when it had none. The first visible row is
  // moved up when rows below it are gone, so the visible rows stay filled.
  bool Reset_Bar(int ht);

  void Clear();

  int Count() const { return static_cast<int>(bars_.size()); }
  int Num_Of_Bar() const { return num_of_bar_; }
  // Rows the panel shows: min(count, NUMOFBAR).
  int Visible_Rows() const;
  // First visible row; Set_Top clamps to 0..Count() - Visible_Rows().
  int Top() const { return top_; }
  void Set_Top(int top);
  int Max_Top() const;

  // Row of HT ht's bar (0 = first started), -1 when it has none.
  int Row_Of(int ht) const;
  // Row minus the first visible row when that row is visible, else -1.
  int Visible_Row_Of(int ht) const;
  const StationBar& At(int row) const { return bars_[static_cast<std::size_t>(row)]; }
  const StationBar* Find(int ht) const;

  // The remembered fill edge of HT ht (0..255), relative to the item's left.
  int Edge(int ht) const;
  void Set_Edge(int ht, int edge);

 private:
  void Clamp_Top();

  int num_of_bar_;
  int top_ = 0;
  std::vector<StationBar> bars_;
  std::array<int, 256> edges_;
};

// --- The panel over the main window --------------------------------------------

// Where the panel and the list inside it go.
struct PanelPlacement {
  bool shown = false;  // false: no bar, the panel is hidden
  Rect panel;          // in the main window's coordinates
  Rect list;           // in the panel's coordinates
};

// The layout rule, applied on every move and resize of the main window:
// minimised: the panel goes off screen (x 3000, y 10, 10 by 10); otherwise
// with n = min(count, NUMOFBAR) > 0 the panel starts 1 pixel right of the
// status bar's left edge and n * BARHEIGHT + 13 pixels above its top, is
// status-bar width - 4 wide and n * BARHEIGHT + 10 high; the list sits at
// (0, 0), status-bar width - 8 wide and n * BARHEIGHT + 5 high.
PanelPlacement Place_Panel(const Rect& status_bar, bool minimized, int count, int num_of_bar,
                           int bar_height);

}  // namespace stations
