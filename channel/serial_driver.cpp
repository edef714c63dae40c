// The RS-232C driver. All channel calls come from one thread (the engine's
// RS-232C loop); the line-watch thread only refreshes the CTS and DSR flags.
// Everything the two share goes through the atomic accessors.
//
// Waiting: a blocking receive waits for the port to become readable, or for
// DSR to change, with the time that is left, so a packet is taken the moment
// its last byte is in; sends wait for room in the output queue the same way.
// The flags follow the line through the watch thread; a call that wakes on
// a line change refreshes them itself, so it never waits for the watcher.
#include "channel/serial_driver.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/serial.h"

namespace {

using platform::Load;
using platform::Store;

constexpr std::uint32_t kBauds[10] = {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr std::uint32_t kFactorMs[10] = {512, 256, 64, 32, 16, 8, 4, 2, 1, 1};
constexpr std::uint32_t kBaseLimitMs = 60000;
constexpr std::uint32_t kAcceptLimitMs = 29999;
constexpr std::uint32_t kCloseWholeSeconds = 10;
constexpr std::size_t kWriteChunk = 4096;
constexpr std::size_t kReadChunk = 40960;
constexpr std::size_t kLookAhead = 10;
constexpr int kWatchSliceMs = 100;  // how soon the watcher sees a stop
constexpr int kWaitSliceMs = 100;   // longest wait before the clock is read again
constexpr std::uint32_t kResetPauseMs = 1000;
// While the link stops, Close gives the HT this long to drop its line after
// the PC's end indication instead of the usual seconds.
constexpr std::uint32_t kStopCloseMs = 500;

// Line error flags as the port reports them in "<CE-%u>".
constexpr unsigned kCeRxOver = 0x01, kCeOverrun = 0x02, kCeParity = 0x04, kCeFrame = 0x08,
                   kCeBreak = 0x10;

struct PortRecord {
  std::unique_ptr<platform::SerialPort> port;  // null until Open
  std::uint8_t port_number = 0;                // 1..4
  std::string device;                          // a device named in Port; empty for COMn
  std::int32_t running = 0;                    // watch thread runs while 1
  std::int32_t show_line_errors = 0;
  std::uint8_t data_bits = 8;
  std::uint8_t flow = 2;    // bit 1: CTS/RTS handshake
  std::uint8_t parity = 0;  // 0 none, 1 odd, 2 even
  std::uint8_t stop = 0;    // 0 one, 2 two
  std::uint32_t baud = 9600;
  int baud_code = 5;
  std::thread watch;
  platform::SerialErrorCounts seen{};  // counts when the error state was last cleared
};

struct Slot {
  std::uint8_t in_use;
  PortRecord* port;
};

PortRecord* g_port = nullptr;  // engine thread only
Slot g_slots[2] = {};
std::uint16_t g_cts = 0;  // written by both threads, read by the engine
std::uint16_t g_dsr = 0;
std::uint8_t g_look[kLookAhead] = {};
std::uint16_t g_look_count = 0;

SerialTraceHook g_trace = nullptr;
void* g_trace_context = nullptr;
std::string g_last_open_failure;  // engine thread only

// Set while the link manager stops the line (any thread): waits give up.
std::int32_t g_stopping = 0;

const SerialDriverClock kMonotonic = {platform::Monotonic_Ms, platform::Sleep_Ms};
const SerialDriverClock* g_clock = nullptr;

std::uint64_t Now() {
  const SerialDriverClock* c = Load(g_clock);
  return (c ? c : &kMonotonic)->now_ms();
}
void Pause(std::uint32_t ms) {
  const SerialDriverClock* c = Load(g_clock);
  (c ? c : &kMonotonic)->sleep_ms(ms);
}

void Trace(const std::string& text) {
  SerialTraceHook hook = Load(g_trace);
  if (hook != nullptr) hook(text.c_str(), Load(g_trace_context));
}

std::string Port_Name(const PortRecord& r) {
  return r.device.empty() ? "COM" + std::to_string(r.port_number) : r.device;
}

bool Dsr() { return Load(g_dsr) != 0; }
bool Stopping() { return Load(g_stopping) != 0; }
bool Cts() { return Load(g_cts) != 0; }

void Refresh_Flags(platform::SerialPort& port) {
  unsigned lines = 0;
  if (port.Get_Lines(&lines) != platform::SERIAL_OK) lines = 0;
  Store(g_cts, static_cast<std::uint16_t>((lines & platform::kLineCts) ? 1 : 0));
  Store(g_dsr, static_cast<std::uint16_t>((lines & platform::kLineDsr) ? 1 : 0));
}

unsigned Known_Lines() {
  return (Cts() ? platform::kLineCts : 0u) | (Dsr() ? platform::kLineDsr : 0u);
}

// Waits for what (and for CTS/DSR to differ from the flags) at most ms, then
// refreshes the flags when the lines moved. Returns the port's result.
int Wait_Port(PortRecord& r, unsigned what, std::uint32_t ms) {
  const int slice = ms > static_cast<std::uint32_t>(kWaitSliceMs) ? kWaitSliceMs : static_cast<int>(ms);
  const int got = r.port->Wait(what, platform::kLineCts | platform::kLineDsr, Known_Lines(), slice);
  if (got > 0 && (got & platform::kSerialLinesChanged)) Refresh_Flags(*r.port);
  if (got == platform::SERIAL_GONE) Store(g_dsr, std::uint16_t{0});
  return got;
}

void Watch_Lines(PortRecord* r) {
  while (Load(r->running) != 0) {
    const int got = r->port->Wait(0, platform::kLineCts | platform::kLineDsr, Known_Lines(), kWatchSliceMs);
    if (got < 0) {
      Store(g_dsr, std::uint16_t{0});
      platform::Sleep_Ms(kWatchSliceMs);
      continue;
    }
    if (got & platform::kSerialLinesChanged) Refresh_Flags(*r->port);
  }
}

// 0 when slot names a slot in use on a running port.
int Check_Slot(int slot) {
  if (slot < 1 || slot > 2) return SER_BAD_SLOT;
  const Slot& s = g_slots[slot - 1];
  if (!s.in_use) return SER_SLOT_FREE;
  if (s.port == nullptr || Load(s.port->running) == 0 || !s.port->port) return SER_NOT_RUNNING;
  return 0;
}

int Take_Slot(PortRecord* r) {
  for (int i = 0; i < 2; ++i)
    if (!g_slots[i].in_use) {
      g_slots[i] = Slot{1, r};
      return i + 1;
    }
  return SER_NO_SLOT;
}

// The line's error state: what changed since it was last cleared, as the
// port's error flags; clears it.
unsigned Take_Line_Errors(PortRecord& r) {
  platform::SerialErrorCounts now{};
  if (r.port->Error_Counts(&now) != platform::SERIAL_OK) return 0;
  unsigned flags = 0;
  if (now.buf_overrun != r.seen.buf_overrun) flags |= kCeRxOver;
  if (now.overrun != r.seen.overrun) flags |= kCeOverrun;
  if (now.parity != r.seen.parity) flags |= kCeParity;
  if (now.framing != r.seen.framing) flags |= kCeFrame;
  if (now.brk != r.seen.brk) flags |= kCeBreak;
  r.seen = now;
  return flags;
}

long Line_Error(PortRecord& r, unsigned flags) {
  char text[32];
  std::snprintf(text, sizeof text, "<CE-%u>", flags);
  Trace(Port_Name(r) + " line error " + text);
  return SER_LINE_ERROR;
}

void Stop_Port(PortRecord& r) {
  Store(r.running, std::int32_t{0});
  if (r.watch.joinable()) r.watch.join();
  r.port.reset();
}

// ---- Entry points ---------------------------------------------------------------

int Serial_Reset();

int Serial_Init() {
  if (g_port != nullptr) Serial_Reset();
  const SerialSettings s = GSerialSettings;
  if (s.port_index > 3) return CH_BAD_PORT;
  if (s.baud_code > 9) return CH_BAD_BAUD;
  if (s.data_code > 3) return CH_BAD_DATA;
  if (s.parity_code > 2) return CH_BAD_PARITY;
  // Linux has no setting for one and a half stop bits.
  if (s.stop_code > 2 || s.stop_code == 1) {
    Trace("COM" + std::to_string(s.port_index + 1) + ": 1.5 stop bits cannot be set on this system");
    return CH_BAD_STOP;
  }
  auto* r = new (std::nothrow) PortRecord;
  if (r == nullptr) return -1;
  r->port_number = static_cast<std::uint8_t>(s.port_index + 1);
  r->device.assign(s.device, strnlen(s.device, sizeof s.device));
  r->baud_code = s.baud_code;
  r->baud = kBauds[s.baud_code];
  r->data_bits = static_cast<std::uint8_t>(s.data_code + 5);
  static constexpr std::uint8_t kParityOs[3] = {0, 2, 1};  // NONE, EVEN, ODD -> none, even, odd codes
  r->parity = kParityOs[s.parity_code];
  r->stop = s.stop_code;
  r->flow = 2;
  g_look_count = 0;
  g_slots[0] = g_slots[1] = Slot{0, nullptr};
  Store(g_cts, std::uint16_t{0});
  Store(g_dsr, std::uint16_t{0});
  g_port = r;
  return 1;
}

int Serial_Open() {
  PortRecord* r = g_port;
  if (r == nullptr) return 0;
  const int slot = Take_Slot(r);
  if (slot < 0) return slot;
  if (r->port) return slot;  // the port is open already: both slots share it

  char device[512];
  if (r->device.empty())
    platform::Serial_Device_For_Port(r->port_number, device, sizeof device);
  else
    std::snprintf(device, sizeof device, "%s", r->device.c_str());
  platform::SerialOpenFailure why;
  std::unique_ptr<platform::SerialPort> port;
  if (platform::Serial_Open(device, &port, &why) != platform::SERIAL_OK) {
    g_slots[slot - 1] = Slot{0, nullptr};
    // Said once per reason: the link tries again every second.
    if (g_last_open_failure != why.text) {
      g_last_open_failure = why.text;
      Trace(Port_Name(*r) + " cannot be opened: " + why.text + "; trying again every second");
    }
    return 0;
  }
  platform::SerialConfig cfg;
  cfg.baud = r->baud;
  cfg.data_bits = r->data_bits;
  cfg.parity = r->parity == 1 ? 1 : r->parity == 2 ? 2 : 0;
  cfg.stop = r->stop;
  cfg.rts_cts = (r->flow & 2) != 0;
  port->Purge(true, true);
  const int configured = port->Configure(cfg);
  if (configured != platform::SERIAL_OK) {
    g_slots[slot - 1] = Slot{0, nullptr};
    const std::string text = std::string(device) + ": the line settings were refused";
    if (g_last_open_failure != text) {
      g_last_open_failure = text;
      Trace(Port_Name(*r) + " cannot be opened: " + text);
    }
    return 0;
  }
  if (!g_last_open_failure.empty()) Trace(Port_Name(*r) + " opened: " + device);
  g_last_open_failure.clear();
  r->port = std::move(port);
  r->port->Error_Counts(&r->seen);
  Store(r->running, std::int32_t{1});
  try {
    r->watch = std::thread(Watch_Lines, r);
  } catch (const std::system_error&) {
    Store(r->running, std::int32_t{0});
    r->port.reset();
    g_slots[slot - 1] = Slot{0, nullptr};
    return 0;
  }
  Refresh_Flags(*r->port);
  r->port->Set_Lines(platform::kLineDtr, 0);
  r->port->Set_Lines(platform::kLineRts, 0);
  return slot;
}

int Serial_Bind(int, int) { return 0; }

int Serial_Listen(int slot, int) {
  if (int c = Check_Slot(slot)) return c;
  PortRecord& r = *g_slots[slot - 1].port;
  r.port->Set_Lines(platform::kLineDtr | platform::kLineRts, 0);
  return Dsr() ? 1 : 0;
}

int Serial_Accept(int slot) {
  if (int c = Check_Slot(slot)) return c;
  PortRecord& r = *g_slots[slot - 1].port;
  const std::uint64_t start = Now();
  while (!Dsr()) {
    const std::uint64_t spent = Now() - start;
    if (spent > kAcceptLimitMs || Stopping()) return SER_TIMEOUT;
    Wait_Port(r, 0, static_cast<std::uint32_t>(kAcceptLimitMs + 1 - spent));
  }
  return Take_Slot(&r);
}

long Serial_Send(int slot, unsigned char* data, std::uint32_t n) {
  if (int c = Check_Slot(slot)) return c;
  if (!Dsr()) return SER_DSR_OFF;
  PortRecord& r = *g_slots[slot - 1].port;
  // The output queue is not purged here: it may still hold the end of the
  // previous send (data blocks go out back to back), and purging it would
  // cut those packets short on the wire.
  Take_Line_Errors(r);
  const std::uint32_t limit = Serial_Time_Limit_Ms(r.baud_code, n);
  const std::uint64_t start = Now();
  auto left = [&]() -> std::uint32_t {
    const std::uint64_t spent = Now() - start;
    return spent >= limit ? 0 : static_cast<std::uint32_t>(limit - spent);
  };
  while (!Cts()) {
    const std::uint32_t l = left();
    if (l == 0 || Stopping()) return SER_TIMEOUT;
    if (!Dsr()) return SER_DSR_OFF;
    Wait_Port(r, 0, l);
  }
  std::uint32_t done = 0;
  while (done < n) {
    const std::uint32_t l = left();
    if (l == 0) return SER_TIMEOUT;
    if (!Dsr()) return SER_DSR_OFF;
    const std::size_t chunk = n - done < kWriteChunk ? n - done : kWriteChunk;
    const long w = r.port->Write(data + done, chunk);
    if (w == platform::SERIAL_GONE) {
      Store(g_dsr, std::uint16_t{0});
      return SER_DSR_OFF;
    }
    if (w < 0) {
      Take_Line_Errors(r);
      return SER_LINE_ERROR;
    }
    if (w > 0) {
      done += static_cast<std::uint32_t>(w);
      continue;
    }
    // The queue is full: a stop ends the send as its time limit would.
    if (Stopping()) return SER_TIMEOUT;
    Wait_Port(r, platform::kSerialWritable, l);
  }
  return static_cast<long>(n);
}

long Serial_Recv(int slot, unsigned char* data, std::uint32_t n, int flags) {
  if (int c = Check_Slot(slot)) return c;
  if (!Dsr()) return SER_DSR_OFF;
  if (flags < 0 || ((flags & 1) && n > kLookAhead)) return SER_BAD_SLOT;
  PortRecord& r = *g_slots[slot - 1].port;

  if (flags & 1) {
    // A poll: what is there now becomes the look-ahead, and the caller's.
    g_look_count = 0;
    const long got = r.port->Read(g_look, n);
    if (got == platform::SERIAL_GONE) {
      Store(g_dsr, std::uint16_t{0});
      return SER_DSR_OFF;
    }
    if (got < 0) return SER_LINE_ERROR;
    g_look_count = static_cast<std::uint16_t>(got);
    std::memcpy(data, g_look, static_cast<std::size_t>(got));
    return got;
  }

  const std::uint32_t limit = Serial_Time_Limit_Ms(r.baud_code, n);
  const std::uint64_t start = Now();
  std::uint32_t done = 0;
  if (g_look_count > 0) {
    if (g_look_count > n) {
      std::memcpy(data, g_look, n);
      std::memmove(g_look, g_look + n, g_look_count - n);
      g_look_count = static_cast<std::uint16_t>(g_look_count - n);
      done = n;
    } else {
      std::memcpy(data, g_look, g_look_count);
      done = g_look_count;
      g_look_count = 0;
    }
  }
  while (done < n) {
    const std::uint64_t spent = Now() - start;
    if (spent > limit) return SER_TIMEOUT;
    const std::size_t want = n - done < kReadChunk ? n - done : kReadChunk;
    const long got = r.port->Read(data + done, want);
    if (got == platform::SERIAL_GONE) {
      Store(g_dsr, std::uint16_t{0});
      return SER_DSR_OFF;
    }
    if (got < 0) {
      Take_Line_Errors(r);
      return SER_LINE_ERROR;
    }
    if (unsigned e = Take_Line_Errors(r)) return Line_Error(r, e);
    if (got > 0) {
      done += static_cast<std::uint32_t>(got);
      continue;
    }
    if (!Dsr()) return SER_DSR_OFF;
    // Nothing more has come: a stop ends the receive as its time limit
    // would, so the engine sees a time-out and then the abort.
    if (Stopping()) return SER_TIMEOUT;
    Wait_Port(r, platform::kSerialReadable, static_cast<std::uint32_t>(limit + 1 - spent));
  }
  return static_cast<long>(n);
}

int Serial_Close(int slot, unsigned char mode) {
  PortRecord* r = slot >= 1 && slot <= 2 && g_slots[slot - 1].port ? g_slots[slot - 1].port : g_port;
  const bool open = r != nullptr && r->port && Load(r->running) != 0;
  if (mode == 1 && open) {
    // The HT drops its line first; it gets whole seconds 0..10 for that.
    const std::uint64_t start = Now();
    while (Dsr() && (Now() - start) / 1000 <= kCloseWholeSeconds) {
      if (Stopping() && Now() - start >= kStopCloseMs) break;
      Wait_Port(*r, 0, 1000);
    }
  }
  if (open) {
    r->port->Set_Lines(0, platform::kLineRts);
    r->port->Set_Lines(0, platform::kLineDtr);
  }
  if (int c = Check_Slot(slot)) return c;
  g_slots[slot - 1] = Slot{0, nullptr};
  return 1;
}

int Serial_Reset() {
  PortRecord* r = g_port;
  if (r == nullptr) return 1;
  if (r->port) r->port->Purge(true, true);
  Stop_Port(*r);
  g_slots[0] = g_slots[1] = Slot{0, nullptr};
  g_look_count = 0;
  Store(g_cts, std::uint16_t{0});
  Store(g_dsr, std::uint16_t{0});
  delete r;
  g_port = nullptr;
  Pause(kResetPauseMs);
  return 1;
}

int Serial_Connect(int, int) { return 0; }
int Serial_Handshake(int) { return 0; }

const ChannelDriver kSerialDriver = {Serial_Init,   Serial_Open,  Serial_Bind,  Serial_Connect,
                                     Serial_Listen, Serial_Accept, Serial_Send, Serial_Recv,
                                     Serial_Close,  Serial_Reset, Serial_Handshake, Serial_Handshake};

}  // namespace

const ChannelDriver& Serial_Channel_Driver() { return kSerialDriver; }

std::uint32_t Serial_Time_Limit_Ms(int baud_code, std::uint32_t n) {
  if (baud_code < 0 || baud_code > 9) baud_code = 0;
  return (n / 8) * kFactorMs[baud_code] + kBaseLimitMs;
}

void Set_Serial_Driver_Clock(const SerialDriverClock* clock) { Store(g_clock, clock); }

void Set_Serial_Stopping(bool stopping) { Store(g_stopping, std::int32_t{stopping ? 1 : 0}); }

void Set_Serial_Trace(SerialTraceHook hook, void* context) {
  Store(g_trace_context, context);
  Store(g_trace, hook);
}
