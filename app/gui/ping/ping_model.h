// The station ping panel without a toolkit: one record per lamp of the
// grid, the ping of one station (five echoes), the passes that ping the
// stations on a worker thread, the session messages that change a lamp's
// state, the decision which of them the main window forwards, and where
// the panel and its lamps go.
//
// Threads: the records' layout is fixed by Set_Stations (GUI thread, no pass
// running). A pass thread and the GUI thread share only each record's state
// and the pass flags, through atomics. Everything else runs on the GUI
// thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/core/devini.h"
#include "app/gui/stations/bar_model.h"
#include "app/gui/stations/selection_model.h"
#include "platform/icmp.h"
#include "platform/window.h"

namespace ping {

// Lamp states.
enum State : int {
  kPingSuccess = 3,   // answered the last ping
  kPingFail = 4,      // did not answer (also the initial state)
  kCommunicating = 5, // a transfer is running
  kCommSuccess = 6,   // the last session ended normally
  kCommFailed = 7,    // the last session ended with an error
};

// What a record is.
enum Configured : int { kUnused = 0, kFiller = 1, kStation = 2 };

// Messages to the panel (the main window's 1046 lays it out).
constexpr platform::UINT WM_PING_COMMUNICATING = platform::WM_USER + 23;  // 1047: wParam HT - 1
constexpr platform::UINT WM_PING_SESSION_END = platform::WM_USER + 24;    // 1048: wParam HT - 1, lParam 1 ok
constexpr platform::UINT WM_PING_STOP = platform::WM_USER + 25;           // 1049

constexpr int kEchoesPerPing = 5;
constexpr int kRefreshMs = 800;
constexpr const char* kPingingText = "Pinging Stations ...";
constexpr const char* kCloseRefusedText = "Please Use Link Manager Stop for Closing ";

// Legend text of a state ("Ping Success", ..., "Communication Failed").
const char* Legend_Text(int state);

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};
// Lamp colour of a state in a blink phase (communicating lamps alternate).
Rgb State_Colour(int state, bool blink_phase);
constexpr Rgb kFillerColour{192, 192, 192};

// Pings one station: the address must be dotted IPv4 (else 1 without any
// echo); then up to five echoes, each waiting at most timeout_ms; the first
// without a reply ends it. 0 when all five were answered, else 1. When not
// null, *last receives the last echo's outcome (result ICMP_BAD_ADDRESS for
// a bad address). A set cancel flag ends it early with 1.
int Ping_Station(platform::IcmpBackend& icmp, const char* address, std::uint32_t timeout_ms,
                 const std::atomic<bool>* cancel = nullptr, platform::EchoOutcome* last = nullptr);

// What the main window's status handler forwards while the panel checks:
// mode 1 or 2 -> 1047 (HT - 1, value); otherwise 1048 (HT - 1, 1 when mode
// is not 0 or index is 72 or 73, else 0). ht must be 1..255.
platform::Message Forward_Of_Status(int ht, int mode, int index, platform::LPARAM value);

// The main window's height that fits the grid: rows * 14 + BARHEIGHT *
// NUMOFBAR + 163.
int Fitting_Main_Height(int rows, int bar_height, int num_of_bar);

// The panel's place in the main window: 6 pixels inside left and right, top
// 1 pixel below the toolbar's bottom edge (toolbar_bottom: first row under
// it), bottom BARHEIGHT * NUMOFBAR + 13 above the status bar's top. An
// empty rectangle when nothing is left.
stations::Rect Place_Ping_Panel(int main_width, int toolbar_bottom, int status_top, int bar_height,
                                int num_of_bar);

// Where things are drawn in a panel of w by h pixels. The units are w / 22
// and h / 17.5: the grid fills x 1..15 and y 2..17 units, the legend starts
// at x 16 units.
struct PanelLayout {
  stations::Rect button;          // PING, (20, 3) 80 by 21
  stations::Rect notice;          // "Pinging Stations ..." and other notices
  stations::Rect grid;            // the lamp grid
  std::vector<stations::Rect> legend;  // five rows: colour square and text
};
PanelLayout Layout_Panel(int w, int h);
// Cell i (row by row) of a grid of the given shape inside grid: the lamp
// at its left, the station number after it.
stations::Rect Cell_Rect(const stations::Rect& grid, stations::GridShape shape, int i);
// The lamp inside a cell: a square at the cell's left, centred vertically,
// at most 14 pixels.
stations::Rect Lamp_Of_Cell(const stations::Rect& cell);

struct StationRecord {
  int configured = kUnused;
  int number = 0;        // station (HT) number
  std::string address;   // as [USE_IP] gives it
  int state = kPingFail; // shared: read and written through platform::Load/Store
};

// Which pass runs.
enum class Pass { kInitial, kPing };

class PingModel {
 public:
  explicit PingModel(platform::IcmpBackend& icmp);
  // Closes (ends a running pass at its next station) and waits for it.
  ~PingModel();
  PingModel(const PingModel&) = delete;
  PingModel& operator=(const PingModel&) = delete;

  // The stations of the table in table order, then filler cells completing
  // the grid's last row. Every station starts in "Ping Fail". Refused (false)
  // while a pass runs.
  bool Set_Stations(const StationIpTable& table);

  int Station_Count() const { return stations_; }
  stations::GridShape Shape() const { return shape_; }
  // Cells of the grid: stations and fillers, row by row.
  int Cell_Count() const { return cells_; }
  const StationRecord& Cell(int i) const { return records_[static_cast<std::size_t>(i) + 1]; }
  int State_Of_Cell(int i) const;
  // The cell of station (HT) number ht, -1 when it is none.
  int Cell_Of_Ht(int ht) const;
  int State_Of_Ht(int ht) const;
  bool Any_Communicating() const;

  // Messages 1047 and 1048 (wParam HT - 1); other numbers and unknown
  // stations change nothing. Returns whether it was one of the two.
  bool Apply_Session_Message(platform::UINT msg, platform::WPARAM w, platform::LPARAM l);

  // Starts a pass on a worker thread with timeout_ms per echo. The initial
  // pass pings every station; the PING pass every station not
  // communicating. Refused (false) while a pass runs or after Close. A
  // station's result is written only if no session message changed its
  // state while it was pinged.
  bool Start_Pass(Pass pass, std::uint32_t timeout_ms);
  bool Pass_Running() const { return running_.load(std::memory_order_acquire); }
  // Set by every pass at its end, cleared when one starts.
  bool Pass_Finished() const { return finished_.load(std::memory_order_acquire); }
  // The kind of the pass that ran last.
  Pass Last_Pass() const { return last_pass_; }
  // Waits for a running pass to end (tests); false when the time ran out.
  bool Wait_For_Pass(int timeout_ms);

  // The panel is going: a running pass stops at its next station (or echo)
  // and is waited for. No pass starts afterwards.
  void Close();
  bool Closing() const { return closing_.load(std::memory_order_acquire); }

  // When an echo found no ICMP socket: the operator's text, handed out once
  // per model (empty afterwards and before).
  std::string Take_Unavailable_Notice();
  // The text once known (stays).
  std::string Unavailable_Notice() const;

 private:
  void Run(Pass pass, std::uint32_t timeout_ms);

  platform::IcmpBackend& icmp_;
  std::array<StationRecord, 256> records_{};  // record 1 upwards
  int stations_ = 0;
  int cells_ = 0;
  stations::GridShape shape_{};
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> closing_{false};
  Pass last_pass_ = Pass::kInitial;
  mutable std::mutex notice_mu_;
  std::string notice_;
  bool notice_taken_ = false;
};

// The back end the panels of the program use: the system's unless a test
// installed another (nullptr restores the system's).
platform::IcmpBackend& Ping_Backend();
void Set_Ping_Backend(platform::IcmpBackend* icmp);

}  // namespace ping
