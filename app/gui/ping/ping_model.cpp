#include "app/gui/ping/ping_model.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/atomic.h"

namespace ping {

const char* Legend_Text(int state) {
  switch (state) {
    case kPingSuccess: return "Ping Success";
    case kPingFail: return "Ping Fail";
    case kCommunicating: return "Communicating";
    case kCommSuccess: return "Communication Success";
    case kCommFailed: return "Communication Failed";
    default: return "";
  }
}

Rgb State_Colour(int state, bool blink_phase) {
  switch (state) {
    case kPingSuccess: return {150, 200, 255};
    case kCommunicating: return blink_phase ? Rgb{0, 255, 0} : Rgb{0, 150, 0};
    case kCommSuccess: return {255, 255, 0};
    case kCommFailed: return {255, 0, 0};
    default: return {0, 0, 0};  // Ping Fail
  }
}

int Ping_Station(platform::IcmpBackend& icmp, const char* address, std::uint32_t timeout_ms,
                 const std::atomic<bool>* cancel, platform::EchoOutcome* last) {
  platform::EchoOutcome outcome;
  platform::Ipv4Address ip;
  if (!platform::Parse_Ipv4(address, &ip)) {
    outcome.result = platform::ICMP_BAD_ADDRESS;
    if (last != nullptr) *last = outcome;
    return 1;
  }
  int answered = 0;
  for (int i = 0; i < kEchoesPerPing; ++i) {
    if (cancel != nullptr && cancel->load(std::memory_order_acquire)) break;
    outcome = icmp.Echo(ip, timeout_ms, cancel);
    if (outcome.result != platform::ICMP_ANSWERED) break;
    ++answered;
  }
  if (last != nullptr) *last = outcome;
  return answered == kEchoesPerPing ? 0 : 1;
}

platform::Message Forward_Of_Status(int ht, int mode, int index, platform::LPARAM value) {
  const auto w = static_cast<platform::WPARAM>(ht - 1);
  if (mode == 1 || mode == 2) return {WM_PING_COMMUNICATING, w, value};
  const bool ok = mode != 0 || index == 72 || index == 73;
  return {WM_PING_SESSION_END, w, ok ? 1 : 0};
}

int Fitting_Main_Height(int rows, int bar_height, int num_of_bar) {
  return rows * 14 + bar_height * num_of_bar + 163;
}

stations::Rect Place_Ping_Panel(int main_width, int toolbar_bottom, int status_top, int bar_height,
                                int num_of_bar) {
  stations::Rect r;
  r.left = 6;
  r.right = main_width - 6;
  r.top = toolbar_bottom + 1;
  r.bottom = status_top - (bar_height * num_of_bar + 13);
  if (r.Empty()) return stations::Rect{};
  return r;
}

PanelLayout Layout_Panel(int w, int h) {
  PanelLayout l;
  const double uw = w / 22.0;
  const double uh = h / 17.5;
  l.button = {20, 3, 100, 24};
  l.notice = {110, 3, std::max(110, w - 4), 24};
  const int top = std::max(static_cast<int>(2 * uh), 27);
  l.grid = {static_cast<int>(uw), top, static_cast<int>(15 * uw), std::max(top, static_cast<int>(17 * uh))};
  const int row = std::max(static_cast<int>(uh), 14);
  const int left = static_cast<int>(16 * uw);
  for (int i = 0; i < 5; ++i) l.legend.push_back({left, top + i * row, std::max(left, w - 4), top + (i + 1) * row});
  return l;
}

stations::Rect Cell_Rect(const stations::Rect& grid, stations::GridShape shape, int i) {
  if (shape.rows <= 0 || shape.cols <= 0 || i < 0 || i >= shape.rows * shape.cols) return {};
  const int row = i / shape.cols;
  const int col = i % shape.cols;
  const double cw = static_cast<double>(grid.Width()) / shape.cols;
  const double ch = static_cast<double>(grid.Height()) / shape.rows;
  stations::Rect r;
  r.left = grid.left + static_cast<int>(col * cw);
  r.right = grid.left + static_cast<int>((col + 1) * cw);
  r.top = grid.top + static_cast<int>(row * ch);
  r.bottom = grid.top + static_cast<int>((row + 1) * ch);
  return r;
}

stations::Rect Lamp_Of_Cell(const stations::Rect& cell) {
  const int side = std::max(0, std::min({14, cell.Height() - 2, cell.Width() / 3}));
  stations::Rect r;
  r.left = cell.left + 2;
  r.top = cell.top + (cell.Height() - side) / 2;
  r.right = r.left + side;
  r.bottom = r.top + side;
  return r;
}

// --- The model ----------------------------------------------------------------

PingModel::PingModel(platform::IcmpBackend& icmp) : icmp_(icmp) {}

PingModel::~PingModel() { Close(); }

bool PingModel::Set_Stations(const StationIpTable& table) {
  if (Pass_Running()) return false;
  if (thread_.joinable()) thread_.join();
  records_ = {};
  const int n = std::clamp(table.count, 0, 255);
  shape_ = stations::Grid_Shape(n);
  cells_ = std::min(shape_.rows * shape_.cols, 255);
  for (int i = 0; i < cells_; ++i) {
    StationRecord& r = records_[static_cast<std::size_t>(i) + 1];
    if (i < n) {
      const StationIpRow& row = table.rows[i];
      r.configured = kStation;
      r.number = std::atoi(row.key);
      r.address.assign(row.address, strnlen(row.address, sizeof row.address));
    } else {
      r.configured = kFiller;
    }
    r.state = kPingFail;
  }
  stations_ = n;
  return true;
}

int PingModel::State_Of_Cell(int i) const {
  if (i < 0 || i >= cells_) return kPingFail;
  return platform::Load(records_[static_cast<std::size_t>(i) + 1].state);
}

int PingModel::Cell_Of_Ht(int ht) const {
  for (int i = 0; i < stations_; ++i)
    if (records_[static_cast<std::size_t>(i) + 1].number == ht) return i;
  return -1;
}

int PingModel::State_Of_Ht(int ht) const {
  const int cell = Cell_Of_Ht(ht);
  return cell < 0 ? -1 : State_Of_Cell(cell);
}

bool PingModel::Any_Communicating() const {
  for (int i = 0; i < stations_; ++i)
    if (State_Of_Cell(i) == kCommunicating) return true;
  return false;
}

bool PingModel::Apply_Session_Message(platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
  if (msg != WM_PING_COMMUNICATING && msg != WM_PING_SESSION_END) return false;
  if (w >= 255) return true;
  const int cell = Cell_Of_Ht(static_cast<int>(w) + 1);
  if (cell < 0) return true;
  const int state = msg == WM_PING_COMMUNICATING ? kCommunicating : (l == 1 ? kCommSuccess : kCommFailed);
  platform::Store(records_[static_cast<std::size_t>(cell) + 1].state, state);
  return true;
}

bool PingModel::Start_Pass(Pass pass, std::uint32_t timeout_ms) {
  if (Closing() || Pass_Running()) return false;
  if (thread_.joinable()) thread_.join();
  last_pass_ = pass;
  finished_.store(false, std::memory_order_release);
  running_.store(true, std::memory_order_release);
  thread_ = std::thread([this, pass, timeout_ms] { Run(pass, timeout_ms); });
  return true;
}

void PingModel::Run(Pass pass, std::uint32_t timeout_ms) {
  for (int i = 0; i < stations_; ++i) {
    if (Closing()) break;
    StationRecord& r = records_[static_cast<std::size_t>(i) + 1];
    int before = platform::Load(r.state);
    if (pass == Pass::kPing && before == kCommunicating) continue;
    platform::EchoOutcome last;
    const int failed = Ping_Station(icmp_, r.address.c_str(), timeout_ms, &closing_, &last);
    if (Closing()) break;
    if (last.result == platform::ICMP_NO_SOCKET) {
      std::lock_guard<std::mutex> lock(notice_mu_);
      if (notice_.empty()) notice_ = platform::Icmp_Unavailable_Text(last.error, last.raw_error);
    }
    // A session message that arrived meanwhile wins over the ping's result.
    std::atomic_ref<int>(r.state).compare_exchange_strong(before, failed == 0 ? kPingSuccess : kPingFail,
                                                          std::memory_order_acq_rel);
  }
  finished_.store(true, std::memory_order_release);
  running_.store(false, std::memory_order_release);
}

bool PingModel::Wait_For_Pass(int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Pass_Running()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void PingModel::Close() {
  closing_.store(true, std::memory_order_release);
  if (thread_.joinable()) thread_.join();
}

std::string PingModel::Take_Unavailable_Notice() {
  std::lock_guard<std::mutex> lock(notice_mu_);
  if (notice_.empty() || notice_taken_) return {};
  notice_taken_ = true;
  return notice_;
}

std::string PingModel::Unavailable_Notice() const {
  std::lock_guard<std::mutex> lock(notice_mu_);
  return notice_;
}

namespace {
std::atomic<platform::IcmpBackend*> g_backend{nullptr};
}  // namespace

platform::IcmpBackend& Ping_Backend() {
  platform::IcmpBackend* b = g_backend.load(std::memory_order_acquire);
  return b != nullptr ? *b : platform::System_Icmp();
}

void Set_Ping_Backend(platform::IcmpBackend* icmp) { g_backend.store(icmp, std::memory_order_release); }

}  // namespace ping
