#include "app/gui/stations/selection_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "app/core/progdir.h"
#include "platform/atomic.h"
#include "platform/profile.h"

namespace stations {

namespace {

constexpr const char* kNotFound = "Stringnotfound";

}  // namespace

int Last_Ht_Of(Interface iface) {
  switch (iface) {
    case Interface::Rs232c:
      return 1;
    case Interface::Scsi:
      return 7;
    case Interface::TcpIp:
      break;
  }
  return MAX_HT;
}

std::string Selection_Hint(SelectionMode mode) {
  switch (mode) {
    case SelectionMode::Command:
      return "Choose the stations for the command.";
    case SelectionMode::Script:
      return "Choose the stations to run the script on.";
    case SelectionMode::Abort:
      break;
  }
  return "Choose the stations whose work to abort.";
}

bool Station_Enabled(Interface iface, SelectionMode mode, int batch_flag, int busy_flag,
                     int start_status) {
  const bool working = batch_flag != 0 || busy_flag != 0;
  const bool wanted = mode == SelectionMode::Abort ? working : !working;
  if (iface == Interface::Scsi) return wanted && start_status != 0;
  return wanted;
}

bool Station_Enabled(Interface iface, SelectionMode mode, int ht) {
  if (ht < 1 || ht > MAX_HT) return false;
  const InfoHT& info = Info_Of(ht);
  return Station_Enabled(iface, mode, platform::Load(info.BatchFlag), platform::Load(info.BusyFlag),
                         platform::Load(info.StartStatus));
}

std::string Station_Tooltip(Interface iface, SelectionMode mode, int ht, const std::string& address) {
  std::string text;
  if (iface == Interface::Scsi) {
    text = "IO box with SCSI ID " + std::to_string(ht - 1);
  } else {
    text = "Station " + Station_Label(ht);
    if (!address.empty()) text += " at " + address;
  }
  if (ht < 1 || ht > MAX_HT || Station_Enabled(iface, mode, ht)) return text;
  const InfoHT& info = Info_Of(ht);
  if (iface == Interface::Scsi && platform::Load(info.StartStatus) == 0)
    text += "\nNot powered on";
  else
    text += mode == SelectionMode::Abort ? "\nIdle" : "\nBusy";
  return text;
}

std::vector<TcpStation> Configured_Tcp_Stations() {
  const std::string path = Program_File("device.ini");
  std::vector<TcpStation> out;
  for (int n = 1; n <= 254; ++n) {
    char key[4];
    std::snprintf(key, sizeof key, "%d", n);
    char address[40];
    platform::Get_Private_Profile_String("USE_IP", key, kNotFound, address, sizeof address, path.c_str());
    if (std::strcmp(address, kNotFound) != 0) out.push_back(TcpStation{n, address});
  }
  return out;
}

GridShape Grid_Shape(int n) {
  GridShape g;
  if (n <= 0) return g;
  int r = static_cast<int>(std::sqrt(static_cast<double>(n)));
  // Guard the square root against rounding at perfect squares.
  while ((r + 1) * (r + 1) <= n) ++r;
  while (r * r > n) --r;
  g.rows = r;
  if (r * r == n) {
    g.cols = r;
  } else {
    g.cols = r + 1;
    while (r * g.cols < n) ++g.cols;
  }
  return g;
}

std::string Station_Label(int number) {
  char text[16];
  if (number < 10)
    std::snprintf(text, sizeof text, "00%d", number);
  else if (number < 100)
    std::snprintf(text, sizeof text, "0%d", number);
  else
    std::snprintf(text, sizeof text, "%d", number);
  return text;
}

std::vector<GridCell> Grid_Cells(const std::vector<int>& stations) {
  const GridShape shape = Grid_Shape(static_cast<int>(stations.size()));
  std::vector<GridCell> cells;
  const int total = shape.rows * shape.cols;
  cells.reserve(static_cast<std::size_t>(total));
  int next = stations.empty() ? 1 : stations.back() + 1;
  for (int i = 0; i < total; ++i) {
    GridCell cell;
    cell.row = i / shape.cols;
    cell.col = i % shape.cols;
    cell.rect.left = kGridLeft + cell.col * kCellWidth;
    cell.rect.top = kGridTop + cell.row * kCellHeight;
    cell.rect.right = cell.rect.left + kCellWidth;
    cell.rect.bottom = cell.rect.top + kCellHeight;
    if (i < static_cast<int>(stations.size())) {
      cell.number = stations[static_cast<std::size_t>(i)];
    } else {
      cell.number = next++;
      cell.removed = true;
    }
    cells.push_back(cell);
  }
  return cells;
}

TcpWindowLayout Tcp_Window_Layout(GridShape shape) {
  TcpWindowLayout l;
  l.width = std::max(shape.cols * kCellWidth + 30, 380);
  l.height = shape.rows * kCellHeight + 120;
  const int offsets[4] = {340, 260, 180, 100};
  const int bottom = l.height - 30;
  for (int i = 0; i < 4; ++i) {
    l.buttons[i].left = l.width - offsets[i];
    l.buttons[i].right = l.buttons[i].left + kButtonWidth;
    l.buttons[i].bottom = bottom;
    l.buttons[i].top = bottom - kButtonHeight;
  }
  return l;
}

std::string Scsi_Item_Text(int scsi_id) { return " SCSI ID   " + std::to_string(scsi_id); }

Rect Scsi_List_Rect(int width, int height) {
  return Rect{width / 20, height / 20, static_cast<int>(width / 1.9), static_cast<int>(height / 1.8)};
}

StationSelection::StationSelection(Interface iface, SelectionMode mode, std::vector<int> hts)
    : iface_(iface), mode_(mode), hts_(std::move(hts)) {
  // Only real HT numbers are offered.
  std::erase_if(hts_, [iface](int ht) { return ht < 1 || ht > Last_Ht_Of(iface); });
  enabled_.assign(hts_.size(), false);
  checked_.assign(hts_.size(), false);
  for (int ht = 1; ht <= MAX_HT; ++ht) platform::Store(Info_Of(ht).CheckFlag, 0);
  Refresh();
}

void StationSelection::Refresh() {
  for (std::size_t i = 0; i < hts_.size(); ++i) {
    const bool on = Station_Enabled(iface_, mode_, hts_[i]);
    platform::Store(Info_Of(hts_[i]).EnableFlag, on ? 1 : 0);
    enabled_[i] = on;
    if (!on) checked_[i] = false;
  }
}

int StationSelection::Index_Of(int ht) const {
  auto it = std::find(hts_.begin(), hts_.end(), ht);
  return it == hts_.end() ? -1 : static_cast<int>(it - hts_.begin());
}

bool StationSelection::Set_Checked(int i, bool checked) {
  if (i < 0 || i >= Size()) return false;
  const auto k = static_cast<std::size_t>(i);
  if (checked && !enabled_[k]) return false;
  checked_[k] = checked;
  return true;
}

void StationSelection::Select_All() {
  for (std::size_t i = 0; i < hts_.size(); ++i) checked_[i] = enabled_[i];
}

void StationSelection::Cancel_All() { std::fill(checked_.begin(), checked_.end(), false); }

std::vector<int> StationSelection::Chosen() const {
  std::vector<int> out;
  for (std::size_t i = 0; i < hts_.size(); ++i)
    if (checked_[i] && enabled_[i]) out.push_back(hts_[i]);
  return out;
}

bool StationSelection::Accept() {
  const std::vector<int> chosen = Chosen();
  if (chosen.empty()) return false;
  for (int ht = 1; ht <= MAX_HT; ++ht) {
    const int on = std::find(chosen.begin(), chosen.end(), ht) != chosen.end() ? 1 : 0;
    InfoHT& info = Info_Of(ht);
    platform::Store(info.CheckFlag, on);
    platform::Store(info.CurrentlySelected, on);
  }
  return true;
}

}  // namespace stations
