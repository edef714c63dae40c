#include "app/gui/stations/bar_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/atomic.h"

namespace stations {

namespace {

// Length of the text with its trailing blanks removed.
std::size_t Trimmed_Length(const char* text, std::size_t n) {
  while (n > 0 && text[n - 1] == ' ') --n;
  return n;
}

// Number of characters (UTF-8 lead bytes) of a text.
std::size_t Character_Count(std::string_view text) {
  std::size_t count = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  return count;
}

// The byte offset of character number k (or the text's end).
std::size_t Offset_Of_Character(std::string_view text, std::size_t k) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen == k) return i;
    ++seen;
  }
  return text.size();
}

Rect Shrink(const Rect& r, int by) {
  Rect out{r.left + by, r.top + by, r.right - by, r.bottom - by};
  if (out.right < out.left) out.right = out.left;
  if (out.bottom < out.top) out.bottom = out.top;
  return out;
}

}  // namespace

StationBar Bar_From_Info(int ht, const InfoHT& info) {
  StationBar bar;
  bar.ht = ht;
  bar.session = info.SNo;
  bar.mode = info.Mode;
  bar.cent = info.Cent;
  const std::size_t n = Trimmed_Length(info.File, strnlen(info.File, sizeof info.File));
  bar.file.assign(info.File, n);
  return bar;
}

StationBar Read_Station_Bar(int ht, bool* abort_from_gui) {
  if (abort_from_gui != nullptr) *abort_from_gui = false;
  if (ht < 1 || ht > MAX_HT) return StationBar{};
  const InfoHT& shared = Info_Of(ht);
  InfoHT copy{};
  copy.SNo = platform::Load(shared.SNo);
  copy.Mode = platform::Load(shared.Mode);
  copy.Cent = platform::Load(shared.Cent);
  platform::Load_Bytes(copy.File, shared.File, sizeof copy.File);
  if (abort_from_gui != nullptr) *abort_from_gui = platform::Load(shared.AbortFromGUI) != 0;
  return Bar_From_Info(ht, copy);
}

int Shown_Station_Number(Interface iface, int ht) { return iface == Interface::Scsi ? ht - 1 : ht; }

const char* Direction_Text(int mode) { return mode == 1 ? "Tx" : "Rx"; }

std::string Percent_Text(int cent) {
  char text[32];
  std::snprintf(text, sizeof text, "%3d   %% ", cent);
  return text;
}

std::string Ip_Address_Of(const StationIpTable& table, int ht) {
  char key[8];
  std::snprintf(key, sizeof key, "%d", ht);
  const int count = std::clamp(table.count, 0, 255);
  for (int i = 0; i < count; ++i) {
    const StationIpRow& row = table.rows[i];
    if (row.key[0] == '\0') break;
    if (std::strncmp(row.key, key, sizeof row.key) == 0)
      return std::string(row.address, strnlen(row.address, sizeof row.address));
  }
  return "";
}

std::string Fit_File_Text(std::string_view file, int item_width, const TextWidth& width,
                          int average_char_width, int available) {
  const int room = std::min(item_width - 200, available);
  if (width(file) <= room) return std::string(file);

  const std::size_t cut = file.find_last_of("\\/");
  std::string_view name = cut == std::string_view::npos ? file : file.substr(cut + 1);
  if (width(name) <= room) return std::string(name);

  const int per_char = std::max(average_char_width, 1);
  const std::size_t k = static_cast<std::size_t>(std::max(room, 0) / per_char);
  const std::size_t kept = std::min(k, Character_Count(name));
  // The last three of the kept characters become dots.
  const std::size_t keep = kept >= 3 ? kept - 3 : 0;
  std::string out(name.substr(0, Offset_Of_Character(name, keep)));
  const std::string dots(std::min<std::size_t>(kept, 3), '.');
  // The average width underestimates wide characters: fewer are kept until
  // the text with its dots fits, so it never runs over the bar's frame.
  std::size_t chars = Character_Count(out);
  while (chars > 0 && width(out + dots) > room) out.resize(Offset_Of_Character(out, --chars));
  out += dots;
  return out;
}

BarLayout Layout_Bar(const Rect& item, int bar_height, int border1, int border2) {
  BarLayout l{};
  l.outer = item;
  l.middle = Shrink(item, std::max(border1, 0));
  l.inner = Shrink(l.middle, std::max(border2, 0));
  l.label_x = item.left + 20;
  l.number_x = item.left + 100;
  l.session_label_x = item.left + 125;
  l.session_x = item.left + 209;
  l.mode_x = item.left + 75;
  l.percent_x = item.right - 80;
  l.station_y = item.top + bar_height / 7;
  l.ip_y = item.top + static_cast<int>(bar_height / 2.4);
  l.mode_y = item.bottom - static_cast<int>(bar_height / 2.7);
  l.percent_y = item.bottom - static_cast<int>(bar_height / 1.4);
  l.box.left = item.left + 300;
  l.box.right = std::max(item.right - 100, l.box.left);
  l.box.top = item.top + static_cast<int>(bar_height / 3.8);
  l.box.bottom = std::max(item.bottom - static_cast<int>(bar_height / 2.5), l.box.top);
  l.scale = l.box.Width() / 100.0;
  return l;
}

int Fill_Edge(const BarLayout& layout, int cent) {
  const int c = std::clamp(cent, 0, 100);
  const int edge = layout.box.left + 2 + static_cast<int>(c * layout.scale);
  return std::min(edge, layout.box.right);
}

UpdateArea Fast_Update_Area(const BarLayout& layout, int old_edge, int new_edge, int text_height) {
  UpdateArea area;
  area.percent = Rect{layout.percent_x, layout.percent_y, std::max(layout.inner.right, layout.percent_x),
                      layout.percent_y + text_height + 2};
  const int from = std::clamp(std::min(old_edge, new_edge), layout.box.left, layout.box.right);
  const int to = std::clamp(std::max(old_edge, new_edge), layout.box.left, layout.box.right);
  if (from < to) area.fill = Rect{from, layout.box.top, to, layout.box.bottom};
  return area;
}

BarList::BarList(int num_of_bar) : num_of_bar_(std::max(num_of_bar, 1)) { edges_.fill(kInitialEdge); }

BarList::Start BarList::Start_Bar(const StationBar& bar, bool abort_from_gui) {
  if (abort_from_gui) return Start::Ignored;
  const int row = Row_Of(bar.ht);
  if (row >= 0) {
    bars_[static_cast<std::size_t>(row)] = bar;
    return Start::Refreshed;
  }
  bars_.push_back(bar);
  return Start::Appended;
}

bool BarList::Update_Bar(const StationBar& bar) {
  const int row = Row_Of(bar.ht);
  if (row < 0) return false;
  bars_[static_cast<std::size_t>(row)] = bar;
  return true;
}

bool BarList::Reset_Bar(int ht) {
  const int row = Row_Of(ht);
  if (row < 0) return false;
  bars_.erase(bars_.begin() + row);
  if (row < top_) --top_;
  if (ht >= 0 && ht < 256) edges_[static_cast<std::size_t>(ht)] = kInitialEdge;
  Clamp_Top();
  return true;
}

void BarList::Clear() {
  bars_.clear();
  top_ = 0;
  edges_.fill(kInitialEdge);
}

int BarList::Visible_Rows() const { return std::min(Count(), num_of_bar_); }

int BarList::Max_Top() const { return std::max(Count() - Visible_Rows(), 0); }

void BarList::Set_Top(int top) {
  top_ = top;
  Clamp_Top();
}

void BarList::Clamp_Top() { top_ = std::clamp(top_, 0, Max_Top()); }

int BarList::Row_Of(int ht) const {
  for (std::size_t i = 0; i < bars_.size(); ++i)
    if (bars_[i].ht == ht) return static_cast<int>(i);
  return -1;
}

int BarList::Visible_Row_Of(int ht) const {
  const int row = Row_Of(ht);
  if (row < top_ || row >= top_ + Visible_Rows()) return -1;
  return row - top_;
}

const StationBar* BarList::Find(int ht) const {
  const int row = Row_Of(ht);
  return row < 0 ? nullptr : &bars_[static_cast<std::size_t>(row)];
}

int BarList::Edge(int ht) const {
  return ht >= 0 && ht < 256 ? edges_[static_cast<std::size_t>(ht)] : kInitialEdge;
}

void BarList::Set_Edge(int ht, int edge) {
  if (ht >= 0 && ht < 256) edges_[static_cast<std::size_t>(ht)] = edge;
}

PanelPlacement Place_Panel(const Rect& status_bar, bool minimized, int count, int num_of_bar,
                           int bar_height) {
  PanelPlacement p;
  const int n = std::min(count, std::max(num_of_bar, 1));
  if (n <= 0) return p;
  p.shown = true;
  if (minimized) {
    p.panel = Rect{3000, 10, 3010, 20};
    p.list = Rect{0, 0, 10, 10};
    return p;
  }
  const int rows = n * bar_height;
  const int width = status_bar.Width();
  p.panel.left = status_bar.left + 1;
  p.panel.top = status_bar.top - (rows + 13);
  p.panel.right = p.panel.left + std::max(width - 4, 0);
  p.panel.bottom = p.panel.top + rows + 10;
  p.list = Rect{0, 0, std::max(width - 8, 0), rows + 5};
  return p;
}

}  // namespace stations
