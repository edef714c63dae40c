#include "platform/serial_sim.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "platform/serial_sim_open.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
using Micros = std::int64_t;

Micros Now_Us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// What the transmitter may have on the wire and the receiver may hold, as
// the driver queues of a PC port would.
constexpr Micros kOutQueue = 4096;
constexpr std::size_t kInQueue = 40960;

struct Char {
  std::uint8_t byte;
  Micros arrival;
  int fault;  // -1, or a LineFault
};

bool Valid_Config(const SerialConfig& c) {
  switch (c.baud) {
    case 110: case 300: case 1200: case 2400: case 4800: case 9600:
    case 19200: case 38400: case 57600: case 115200: break;
    default: return false;
  }
  return c.data_bits >= 5 && c.data_bits <= 8 && c.parity <= 2 && (c.stop == 0 || c.stop == 2);
}

class Line final : public NullModem, public std::enable_shared_from_this<Line> {
 public:
  explicit Line(bool paced) : paced_(paced) {}

  std::unique_ptr<SerialPort> Open_End(int end) override;

  void Inject(int at, LineFault fault) override {
    std::lock_guard<std::mutex> lock(mu_);
    pending_fault_[at & 1] = static_cast<int>(fault);
  }

  void Pull_Cable(bool pulled) override {
    std::lock_guard<std::mutex> lock(mu_);
    pulled_ = pulled;
    cv_.notify_all();
  }

  // ---- for the ports, end e ----
  bool Take_End(int e) {
    std::lock_guard<std::mutex> lock(mu_);
    if (open_[e]) return false;
    open_[e] = true;
    own_[e] = 0;
    cfg_[e] = SerialConfig{};
    in_[e].clear();
    return true;
  }

  void Release_End(int e) {
    std::lock_guard<std::mutex> lock(mu_);
    open_[e] = false;
    own_[e] = 0;
    cv_.notify_all();
  }

  int Configure(int e, const SerialConfig& c) {
    if (!Valid_Config(c)) return SERIAL_BAD_SETTING;
    std::lock_guard<std::mutex> lock(mu_);
    cfg_[e] = c;
    return SERIAL_OK;
  }

  int Set_Lines(int e, unsigned raise, unsigned drop) {
    std::lock_guard<std::mutex> lock(mu_);
    own_[e] = (own_[e] | (raise & (kLineDtr | kLineRts))) & ~(drop & (kLineDtr | kLineRts));
    cv_.notify_all();
    return SERIAL_OK;
  }

  int Get_Lines(int e, unsigned* lines) {
    std::lock_guard<std::mutex> lock(mu_);
    *lines = Lines_Locked(e);
    return SERIAL_OK;
  }

  long Read(int e, void* data, std::size_t n) {
    std::lock_guard<std::mutex> lock(mu_);
    const Micros now = Now_Us();
    auto* out = static_cast<std::uint8_t*>(data);
    std::size_t got = 0;
    auto& q = in_[e];
    while (got < n && !q.empty() && q.front().arrival <= now) {
      const Char& c = q.front();
      out[got++] = c.byte;
      switch (c.fault) {
        case static_cast<int>(LineFault::kFraming): ++errors_[e].framing; break;
        case static_cast<int>(LineFault::kParity): ++errors_[e].parity; break;
        case static_cast<int>(LineFault::kOverrun): ++errors_[e].overrun; break;
        default: break;
      }
      q.pop_front();
    }
    if (got > 0) cv_.notify_all();
    return static_cast<long>(got);
  }

  long Write(int e, const void* data, std::size_t n) {
    std::lock_guard<std::mutex> lock(mu_);
    const int o = e ^ 1;
    const Micros now = Now_Us();
    if (pulled_) return static_cast<long>(n);  // into the air
    if (cfg_[e].rts_cts && (Lines_Locked(e) & kLineCts) == 0) return 0;
    const Micros per = Char_Time(e);
    std::size_t room = n;
    // Hardware flow control: a receiver with a full input queue holds the
    // writer (its RTS is off) instead of losing characters.
    if (cfg_[e].rts_cts && open_[o]) {
      const std::size_t space = in_[o].size() >= kInQueue ? 0 : kInQueue - in_[o].size();
      if (room > space) room = space;
    }
    if (paced_) {
      const Micros busy = last_[o] > now ? last_[o] - now : 0;
      const Micros queued = per > 0 ? busy / per : 0;
      room = queued >= kOutQueue ? 0 : static_cast<std::size_t>(kOutQueue - queued);
      if (room > n) room = n;
    }
    const auto* p = static_cast<const std::uint8_t*>(data);
    Micros t = last_[o] > now ? last_[o] : now;
    const std::int64_t baud = paced_ ? static_cast<std::int64_t>(cfg_[e].baud) : 1;
    const std::int64_t fraction =
        paced_ ? static_cast<std::int64_t>(Serial_Frame_Bits(cfg_[e])) * 1000000 % baud : 0;
    for (std::size_t i = 0; i < room; ++i) {
      if (paced_) {
        t += per;
        spare_[o] += fraction;
        if (spare_[o] >= baud) {
          t += 1;
          spare_[o] -= baud;
        }
      }
      Char c{p[i], paced_ ? t : now, -1};
      if (pending_fault_[o] >= 0) {
        c.fault = pending_fault_[o];
        c.byte = static_cast<std::uint8_t>(c.byte ^ 0x5A);
        pending_fault_[o] = -1;
      }
      if (!open_[o]) continue;  // nobody listens: lost
      if (in_[o].size() >= kInQueue) {
        ++errors_[o].buf_overrun;
        continue;
      }
      in_[o].push_back(c);
    }
    if (paced_) last_[o] = t;
    cv_.notify_all();
    return static_cast<long>(room);
  }

  int Wait(int e, unsigned what, unsigned mask, unsigned known, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    const Micros deadline = Now_Us() + static_cast<Micros>(timeout_ms < 0 ? 0 : timeout_ms) * 1000;
    for (;;) {
      const Micros now = Now_Us();
      unsigned got = 0;
      Micros next = deadline;
      if (what & kSerialReadable) {
        if (!in_[e].empty()) {
          if (in_[e].front().arrival <= now)
            got |= kSerialReadable;
          else if (in_[e].front().arrival < next)
            next = in_[e].front().arrival;
        }
      }
      if (what & kSerialWritable) {
        const int o = e ^ 1;
        const bool flow = !cfg_[e].rts_cts || pulled_ ||
                          ((Lines_Locked(e) & kLineCts) != 0 && in_[o].size() < kInQueue);
        const Micros per = Char_Time(e);
        const Micros busy = paced_ && last_[o] > now ? last_[o] - now : 0;
        if (flow && (per == 0 || busy / per < kOutQueue))
          got |= kSerialWritable;
        else if (flow && now + per < next)
          next = now + per;
      }
      if (mask != 0 && (Lines_Locked(e) & mask) != (known & mask)) got |= kSerialLinesChanged;
      if (got != 0) return static_cast<int>(got);
      if (now >= deadline) return 0;
      cv_.wait_until(lock, Clock::time_point(std::chrono::microseconds(next)));
    }
  }

  int Purge(int e, bool input, bool output) {
    std::lock_guard<std::mutex> lock(mu_);
    if (input) in_[e].clear();
    if (output) {
      const int o = e ^ 1;
      const Micros now = Now_Us();
      while (!in_[o].empty() && in_[o].back().arrival > now) in_[o].pop_back();
      if (last_[o] > now) last_[o] = now;
    }
    cv_.notify_all();
    return SERIAL_OK;
  }

  int Error_Counts(int e, SerialErrorCounts* out) {
    std::lock_guard<std::mutex> lock(mu_);
    *out = errors_[e];
    return SERIAL_OK;
  }

 private:
  unsigned Lines_Locked(int e) const {
    const int o = e ^ 1;
    unsigned l = own_[e];
    if (!pulled_ && open_[o]) {
      if (own_[o] & kLineDtr) l |= kLineDsr | kLineCd;
      if (own_[o] & kLineRts) l |= kLineCts;
    }
    return l;
  }

  Micros Char_Time(int e) const {
    if (!paced_) return 0;
    return static_cast<Micros>(Serial_Frame_Bits(cfg_[e])) * 1000000 / cfg_[e].baud;
  }

  const bool paced_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool pulled_ = false;
  bool open_[2] = {false, false};
  unsigned own_[2] = {0, 0};
  SerialConfig cfg_[2];
  std::deque<Char> in_[2];      // characters on their way to end i
  Micros last_[2] = {0, 0};     // arrival time of the last character to end i
  // Microsecond fractions (in 1/baud) the whole character times left over,
  // so the line keeps its exact rate (86.8 us a character at 115200 8N1).
  std::int64_t spare_[2] = {0, 0};
  int pending_fault_[2] = {-1, -1};
  SerialErrorCounts errors_[2];
};

class SimPort final : public SerialPort {
 public:
  SimPort(std::shared_ptr<Line> line, int end) : line_(std::move(line)), end_(end) {}
  ~SimPort() override { line_->Release_End(end_); }
  int Configure(const SerialConfig& c) override { return line_->Configure(end_, c); }
  int Set_Lines(unsigned raise, unsigned drop) override { return line_->Set_Lines(end_, raise, drop); }
  int Get_Lines(unsigned* lines) override { return line_->Get_Lines(end_, lines); }
  long Read(void* data, std::size_t n) override { return line_->Read(end_, data, n); }
  long Write(const void* data, std::size_t n) override { return line_->Write(end_, data, n); }
  int Wait(unsigned what, unsigned mask, unsigned known, int timeout_ms) override {
    return line_->Wait(end_, what, mask, known, timeout_ms);
  }
  int Purge(bool input, bool output) override { return line_->Purge(end_, input, output); }
  int Error_Counts(SerialErrorCounts* out) override { return line_->Error_Counts(end_, out); }

 private:
  std::shared_ptr<Line> line_;
  int end_;
};

std::unique_ptr<SerialPort> Line::Open_End(int end) {
  end &= 1;
  if (!Take_End(end)) return nullptr;
  return std::make_unique<SimPort>(shared_from_this(), end);
}

struct Registered {
  std::shared_ptr<NullModem> line;
  int end;
};

std::mutex g_registry_mu;
std::map<std::string, Registered>& Registry() {
  static auto* r = new std::map<std::string, Registered>;
  return *r;
}

}  // namespace

std::shared_ptr<NullModem> NullModem::Create(bool paced) { return std::make_shared<Line>(paced); }

void Serial_Register_Simulated(const char* device, std::shared_ptr<NullModem> line, int end) {
  std::lock_guard<std::mutex> lock(g_registry_mu);
  Registry()[device] = Registered{std::move(line), end};
}

void Serial_Unregister_Simulated(const char* device) {
  std::lock_guard<std::mutex> lock(g_registry_mu);
  Registry().erase(device);
}

bool Open_Simulated(const char* device, std::unique_ptr<SerialPort>* out) {
  std::shared_ptr<NullModem> line;
  int end = 0;
  {
    std::lock_guard<std::mutex> lock(g_registry_mu);
    auto it = Registry().find(device);
    if (it == Registry().end()) return false;
    line = it->second.line;
    end = it->second.end;
  }
  *out = line->Open_End(end);
  return true;
}

}  // namespace platform
