// The TCP/IP session: start, the listener thread with its connection slot
// table, the per-HT threads and the stop.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "channel/mux32.h"
#include "engine/rox32.h"
#include "linkman/internal.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/profile.h"
#include "platform/socket.h"
#include "tcpip/netport.h"

namespace tether {
namespace {
std::atomic<bool> g_listed_only{false};
}  // namespace
}  // namespace tether

void Set_Listed_Only(bool on) { tether::g_listed_only.store(on); }

bool Listed_Only() { return tether::g_listed_only.load(); }

namespace tether {

namespace {

constexpr int kStartupError = 78;
constexpr int kOpenError = 79;
constexpr int kListenError = 80;
constexpr int kAcceptError = 81;
constexpr int kBindError = 96;

constexpr int kBindBacklog = 5;
constexpr int kSlotRecords = 256;
constexpr int kListedStations = 254;
constexpr std::size_t kAddressSize = 16;
constexpr std::size_t kIniLine = 80;
constexpr std::uint32_t kStopStepMs = 10;
// MAX_IO when device.ini has no MAX_IO line, as the application keeps it.
constexpr int kDefaultMaxIo = 100;
// Close mode that drops a connection at once, without any exchange.
constexpr unsigned char kCloseAtOnce = 33;
constexpr unsigned char kCloseHtEnded = 0;
constexpr unsigned char kCloseOrdinary = 1;
constexpr const char* kNotFound = "Stringnotfound";
// Pauses after an accept that failed for a passing reason (out of
// descriptors or memory): the first, doubled after each further failure up
// to the last. A successful accept starts again at the first.
constexpr std::uint32_t kAcceptBackoffFirstMs = 100;
constexpr std::uint32_t kAcceptBackoffMaxMs = 1000;
// How long a new connection waits for the idle session it replaces to end.
constexpr std::uint64_t kReplaceWaitMs = 2000;
// Refusals of unlisted peers that may wait for an answer at once, and how
// long each waits at most; beyond that many a refusal is sent without waiting.
constexpr std::size_t kMaxRefusalThreads = 4;
constexpr std::uint32_t kUnlistedRefusalWaitMs = 5000;
// How often the listener looks for idle HTs whose connection is gone.
constexpr std::uint64_t kLostIdleCheckMs = 1000;

// One connected HT. The thread object is touched only under g_threads_mu;
// running is set by the listener before the thread starts and cleared by the
// thread as its very last step. channel is the HT's connection while the
// thread may still use it (under g_channel_mu): the HT's thread clears it
// before it closes the connection, so the listener can cut a connection
// without ever touching a closed (and perhaps reused) socket.
struct HtRecord {
  std::thread thread;
  std::atomic<bool> running{false};
  int channel = 0;
};

// One record of the connection slot table (listener thread only).
struct SlotRecord {
  char ip[kAddressSize];
  int ht;
  int in_use;
};

struct TcpipState {
  // Window thread only.
  bool running = false;
  std::thread listener;
  // Set before the listener starts; then read by the listener only.
  int listen_channel = 0;
  std::atomic<bool> stop_request{false};
  std::atomic<bool> listener_ended{false};
  // The TCP port the listening channel is bound to (0: not known).
  std::atomic<int> port{0};
  // Listener only: when it last looked for lost idle HTs.
  std::uint64_t last_lost_idle_check = 0;
  Pause listen_pause;
  HtRecord ht[MAX_HT + 1];  // index = HT number
  // The [USE_IP] address list, index = HT number (1..254).
  char address[kListedStations + 1][kAddressSize];
  bool present[kListedStations + 1];
  SlotRecord slots[kSlotRecords];
  // Refusals of unlisted peers in progress (listed-only), each on a thread
  // of its own so that a peer that never answers cannot hold up the
  // listener. Listener and stop only.
  struct Refusal {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Refusal> refusals;
};

std::mutex g_threads_mu;
std::mutex g_channel_mu;

TcpipState& State() {
  // Never destroyed: HT threads that are still running when the program
  // ends must find their records.
  static TcpipState* const state = new TcpipState;
  return *state;
}

int& Mark(int n) { return TCPIP_Connections[n]; }

// ---- Start -----------------------------------------------------------------

void Read_Address_List(TcpipState& st, const std::string& ini) {
  for (int n = 1; n <= kListedStations; ++n) {
    std::strcpy(st.address[n], "0");
    st.present[n] = false;
  }
  if (!File_Exists(ini)) {
    platform::Message_Box("Device.ini File Missing", "Message Box");
    return;
  }
  // Read once for all the keys.
  const platform::Profile_File file(ini.c_str());
  for (int n = 1; n <= kListedStations; ++n) {
    char key[8];
    std::snprintf(key, sizeof key, "%d", n);
    char value[kAddressSize];
    file.Get("USE_IP", key, kNotFound, value, sizeof value);
    if (std::strcmp(value, kNotFound) != 0) {
      std::memcpy(st.address[n], value, sizeof value);
      st.present[n] = true;
    }
  }
}

// The number after "MAX_IO=" on the last line whose text before its first
// '=' is exactly MAX_IO (lines cut to 80 characters).
int Read_Max_Io(const std::string& ini) {
  std::ifstream in(ini, std::ios::binary);
  int max_io = -1;
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > kIniLine) line.resize(kIniLine);
    std::size_t eq = line.find('=');
    if (eq == std::string::npos || line.compare(0, eq, "MAX_IO") != 0) continue;
    int value = 0;
    for (std::size_t i = eq + 1; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
      value = value * 10 + (line[i] - '0');
      if (value > 100000) value = 100000;
    }
    max_io = value;
  }
  return max_io < 0 ? kDefaultMaxIo : max_io;
}

void Clear_Slots(TcpipState& st) {
  for (SlotRecord& s : st.slots) {
    std::strcpy(s.ip, "0");
    s.ht = 0;
    s.in_use = 0;
  }
}


// Whether connection s comes from the address that [USE_IP] lists for its
// station number n: the TCP/IP driver gives a listed address its key as n,
// so that entry names the peer exactly, as the driver compares it.
bool Listed_Peer(int n, int s, const std::string& ini, std::string* peer_text) {
  char peer[platform::kAddressTextSize] = "";
  if (platform::Socket_Peer_Address(s, peer, sizeof peer) != platform::SOCKET_OK || peer[0] == '\0') {
    *peer_text = Socket_Peer_Text(s);
    return false;
  }
  *peer_text = peer;
  if (n < 1 || n > MAX_HT) return false;
  char key[8];
  std::snprintf(key, sizeof key, "%d", n);
  char value[kIniLine];
  platform::Get_Private_Profile_String("USE_IP", key, kNotFound, value, sizeof value, ini.c_str());
  return std::strcmp(value, kNotFound) != 0 && std::strcmp(value, peer) == 0;
}

// Joins the refusal threads that have ended (all of them with all, waiting
// for each: their waits are bounded).
void Reap_Refusals(TcpipState& st, bool all) {
  for (auto it = st.refusals.begin(); it != st.refusals.end();) {
    if (!all && !it->done->load()) {
      ++it;
      continue;
    }
    if (it->thread.joinable()) it->thread.join();
    it = st.refusals.erase(it);
  }
}

// Turns away connection s of an unlisted peer (already counted) as a
// surplus connection is, on a thread of its own when one is free.
void Refuse_Unlisted(TcpipState& st, int s, int max_io) {
  Reap_Refusals(st, false);
  if (st.refusals.size() < kMaxRefusalThreads) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
      std::thread t([s, max_io, done] {
        Refuse_Connection(s, max_io, kUnlistedRefusalWaitMs);
        done->store(true);
      });
      st.refusals.push_back({std::move(t), done});
      return;
    } catch (const std::system_error&) {
      // No thread: refuse without waiting, below.
    }
  }
  Refuse_Connection(s, max_io, 0);
}

// ---- Per-HT thread -----------------------------------------------------------

void Ht_Thread(int n, RS232_ROX* engine, int channel, HtRecord* rec) {
  // The greeting exchange runs here, before the engine's session, rather than
  // on the listener: an HT that is slow to answer must not hold up the
  // accepts of the HTs connecting behind it. Its result is not examined.
  const std::string peer = Socket_Peer_Text(channel);
  Report_Link_Event(LINK_EVENT_CONNECTED, n, 0, 0, peer);
  HandShake_Accept(channel);
  engine->SessionCount = 0;
  engine->HTNumber = n;
  const int session = engine->SessionCount;
  const short ending = Current_Session_Runner()(*engine, channel);
  {
    std::lock_guard<std::mutex> lock(g_channel_mu);
    rec->channel = 0;
  }
  Close(channel, ending == E_END_FROM_HT ? kCloseHtEnded : kCloseOrdinary);
  if (ending == E_BREAK_KEY || ending == E_COMMAND_TIMEOUT || engine->RepeatCommand == 0)
    Clear_Command_Buffer(n);
  platform::Store(Mark(n), 0);
  InfoHT& info = Info_Of(n);
  Set_Abort_From_GUI(n, 0);
  platform::Store(info.BusyFlag, 0);
  Add_To_Count(-1);
  delete engine;
  Report_Link_Event(LINK_EVENT_DISCONNECTED, n, session, ending, peer);
  rec->running.store(false, std::memory_order_release);
}

// ---- Listener ------------------------------------------------------------------

bool Slot_Exists(const TcpipState& st, int n) {
  for (const SlotRecord& s : st.slots)
    if (s.ht == n) return true;
  return false;
}

void Put_Slot(TcpipState& st, int index, int n) {
  if (index < 0 || index >= kSlotRecords) return;
  SlotRecord& s = st.slots[index];
  if (n >= 1 && n <= kListedStations)
    std::memcpy(s.ip, st.address[n], kAddressSize);
  else
    std::strcpy(s.ip, "0");
  s.ht = n;
  s.in_use = 1;
}

bool Ht_Idle(int n) {
  if (n < 1 || n > MAX_HT) return true;
  const InfoHT& info = Info_Of(n);
  return platform::Load(info.BusyFlag) == 0 && platform::Load(info.BatchFlag) == 0;
}

// Frees the slots of idle HTs, front first, until the count is below max.
void Free_Idle_Slots(TcpipState& st, int max_io) {
  const int end = max_io < kSlotRecords ? max_io : kSlotRecords;
  for (int i = 0; i < end && Count() >= max_io; ++i) {
    SlotRecord& s = st.slots[i];
    if (s.in_use == 0 || !Ht_Idle(s.ht)) continue;
    // The records behind it move up one place, up to the first free one.
    int j = i;
    while (j + 1 < kSlotRecords && st.slots[j + 1].in_use != 0) {
      st.slots[j] = st.slots[j + 1];
      ++j;
    }
    std::strcpy(st.slots[j].ip, "0");
    st.slots[j].ht = 0;
    st.slots[j].in_use = 0;
    Add_To_Count(-1);
  }
}

// The listening channel is gone: close it and end the listener.
void End_Listener(TcpipState& st, int code, bool reset) {
  if (code != 0) Notify(code);
  Close(st.listen_channel, kCloseHtEnded);
  if (reset) Reset_Channels();
  st.listener_ended.store(true);
}

// Joins HT n's previous thread when it has finished. False when it still runs.
bool Reap(TcpipState& st, int n) {
  if (st.ht[n].running.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(g_threads_mu);
  if (st.ht[n].thread.joinable()) st.ht[n].thread.join();
  return true;
}

// Starts the engine thread for HT n on channel s. False when it could not.
bool Start_Ht(TcpipState& st, int n, int s) {
  RS232_ROX* engine = new (std::nothrow) RS232_ROX;
  if (engine == nullptr) return false;
  engine->NetChannel = s;
  HtRecord& rec = st.ht[n];
  std::lock_guard<std::mutex> lock(g_threads_mu);
  {
    std::lock_guard<std::mutex> channel_lock(g_channel_mu);
    rec.channel = s;
  }
  rec.running.store(true, std::memory_order_release);
  try {
    rec.thread = std::thread(Ht_Thread, n, engine, s, &rec);
  } catch (const std::system_error&) {
    rec.running.store(false);
    std::lock_guard<std::mutex> channel_lock(g_channel_mu);
    rec.channel = 0;
    delete engine;
    return false;
  }
  return true;
}

// The address a connection for HT n comes from: the listed one (a second
// connection for a running HT can only come from a listed address), else
// the socket's peer.
std::string Peer_Text(const TcpipState& st, int n, int s) {
  if (n >= 1 && n <= kListedStations && st.present[n]) return st.address[n];
  char peer[platform::kAddressTextSize] = "";
  if (platform::Socket_Peer_Address(s, peer, sizeof peer) == platform::SOCKET_OK && peer[0] != '\0')
    return peer;
  return "an unlisted address";
}

// A new connection s for HT n, whose engine still runs. An HT comes back
// on a new connection after its old one died (it was switched off, reset or
// lost its network); an engine that sits idle waiting for a command never
// reads its connection and would not notice for as long as it waits. Such a
// session is ended as the operator's abort ends it, its connection is cut so
// that its last exchanges fail at once, and the new connection is served.
// A busy engine keeps its session. One log line either way. True when HT n
// is free for the new connection.
bool Replace_Idle_Session(TcpipState& st, int n, int s) {
  const std::string head = "HT " + std::to_string(n) + ": connection from " + Peer_Text(st, n, s);
  InfoHT& info = Info_Of(n);
  // A session already asked to end (its connection was found lost, or the
  // operator aborted it) is waited for as well.
  const bool ending = platform::Load(info.AbortFromGUI) != 0;
  if (!ending && (platform::Load(info.WaitingGUICommand) != 1 || platform::Load(info.BusyFlag) != 0)) {
    Log_Line(head + " turned away: its earlier session is busy");
    return false;
  }
  Set_Abort_From_GUI(n, 1);
  {
    std::lock_guard<std::mutex> lock(g_channel_mu);
    if (st.ht[n].channel > 0) so_shutdown(st.ht[n].channel);
  }
  const std::uint64_t deadline = platform::Monotonic_Ms() + kReplaceWaitMs;
  while (!Reap(st, n)) {
    if (platform::Monotonic_Ms() >= deadline) {
      Log_Line(head + " turned away: its earlier session did not end in time");
      return false;
    }
    platform::Sleep_Ms(2);
  }
  // The old engine may have ended on its own just before it was asked; the
  // new one must not start with the request.
  Set_Abort_From_GUI(n, 0);
  Log_Line(head + " replaces its earlier session, which was " + (ending ? "ending" : "waiting for a command"));
  return true;
}

// An HT whose connection is gone while its engine waits for a command (the
// HT was switched off or lost its network; for a connection that just went
// silent the keepalive finds that out): the engine never reads its
// connection while it waits, so it is asked to end here, as the operator's
// abort ends it, and its connection is cut so its last exchanges fail at
// once. One log line per session.
void End_Sessions_Of_Lost_Idle_Hts(TcpipState& st) {
  for (int n = 1; n <= MAX_HT; ++n) {
    HtRecord& rec = st.ht[n];
    if (!rec.running.load(std::memory_order_acquire)) continue;
    InfoHT& info = Info_Of(n);
    if (platform::Load(info.WaitingGUICommand) != 1 || platform::Load(info.BusyFlag) != 0 ||
        platform::Load(info.AbortFromGUI) != 0)
      continue;
    std::string from;
    {
      std::lock_guard<std::mutex> lock(g_channel_mu);
      if (rec.channel <= 0 || so_peer_gone(rec.channel) != 1) continue;
      from = Peer_Text(st, n, rec.channel);
      Set_Abort_From_GUI(n, 1);
      so_shutdown(rec.channel);
    }
    Log_Line("HT " + std::to_string(n) + ": connection from " + from +
             " lost while its session waited for a command; the session ends");
  }
}

// Waits until a connection may be waiting: on the listening socket itself,
// at most the listen pause, ended at once by a stop's wake. A channel that
// the TCP/IP driver does not know (a scripted driver in tests) pauses.
void Wait_For_Connection(TcpipState& st) {
  const std::uint32_t ms = Listen_Pause_Ms();
  if (so_listen_wait(st.listen_channel, static_cast<int>(ms)) < 0) st.listen_pause.Sleep_For(ms);
}

void Listener_Thread(TcpipState* state) {
  TcpipState& st = *state;
  std::uint32_t backoff_ms = 0;  // 0: the last accept did not fail for a passing reason
  for (;;) {
    // 1. Wait for a connection, looking at the stop request between polls.
    int waiting;
    for (;;) {
      if (st.stop_request.load()) {
        Close(st.listen_channel, kCloseHtEnded);
        st.stop_request.store(false);
        return;
      }
      waiting = Listen(st.listen_channel, 1);
      if (waiting != 0) break;
      const std::uint64_t now = platform::Monotonic_Ms();
      if (now - st.last_lost_idle_check >= kLostIdleCheckMs) {
        st.last_lost_idle_check = now;
        End_Sessions_Of_Lost_Idle_Hts(st);
      }
      Wait_For_Connection(st);
    }
    if (waiting < 0) {
      End_Listener(st, kListenError, false);
      return;
    }

    // 2. Accept it, counted against MAX_IO.
    const int max_io = platform::Load(TCPIP_Connections[TCPIP_MAXIO_INDEX]);
    bool refuse = false;
    bool counted_slot = Count() < max_io;
    if (!counted_slot) {
      Free_Idle_Slots(st, max_io);
      counted_slot = Count() < max_io;
      refuse = !counted_slot;
    }
    const int s = Accept(st.listen_channel);
    if (s == SO_ACCEPT_AGAIN) {
      // Out of descriptors or memory, or the connection went away: the
      // listening socket and every connected HT are fine. Pause, longer
      // while it lasts, and try again; one line per run of failures.
      if (backoff_ms == 0) {
        Log_Line("connections cannot be accepted for now (too many open files or too little memory); "
                 "trying again");
        backoff_ms = kAcceptBackoffFirstMs;
      } else {
        backoff_ms = backoff_ms * 2 < kAcceptBackoffMaxMs ? backoff_ms * 2 : kAcceptBackoffMaxMs;
      }
      st.listen_pause.Sleep_For(backoff_ms);
      continue;
    }
    if (s == SO_NONE_WAITING) continue;
    backoff_ms = 0;
    if (s == SO_TABLE_FULL || s == SO_NO_STATION) continue;  // the driver refused it
    if (s < 1) {
      End_Listener(st, kAcceptError, true);
      return;
    }
    const int n = platform::Load(GTcpIpHtNo);
    if (n < 1 || n > MAX_HT) {
      // No HT number to serve it under.
      Close(s, kCloseAtOnce);
      continue;
    }
    if (g_listed_only.load()) {
      std::string peer;
      if (!Listed_Peer(n, s, Device_Ini_Path(), &peer)) {
        // Turned away as a surplus connection is; the station it would have
        // had is left alone.
        Report_Link_Event(LINK_EVENT_REFUSED, 0, 0, 0, peer, "the address is not listed in [USE_IP] (listed-only)");
        Add_To_Count(1);
        Refuse_Unlisted(st, s, max_io);
        continue;
      }
    }
    bool was_marked = platform::Load(Mark(n)) != 0;
    if (!Reap(st, n)) {
      if (was_marked) {
        // A second connection for an HT whose engine still runs: one HT
        // never gets two engines, but an idle one gives way to its return.
        if (!Replace_Idle_Session(st, n, s)) {
          Close(s, kCloseAtOnce);
          continue;
        }
        // It takes the place of the session it replaced.
        was_marked = platform::Load(Mark(n)) != 0;
        refuse = false;
      } else {
        // The HT's previous thread is on its last steps: wait for it.
        while (!Reap(st, n)) platform::Sleep_Ms(1);
      }
    }
    if (!was_marked) platform::Store(Mark(n), 1);
    if (refuse) {
      Report_Link_Event(LINK_EVENT_REFUSED, n, 0, 0, Socket_Peer_Text(s),
                        "MAX_IO=" + std::to_string(max_io) + " connections are served already");
      Add_To_Count(1);
      Refuse_Connection(s, max_io);
      if (!was_marked) platform::Store(Mark(n), 0);
      continue;
    }
    if (!Slot_Exists(st, n)) Put_Slot(st, Count(), n);
    Add_To_Count(1);

    // 5. Give the HT an engine and a thread of its own (which greets it first).
    if (!Start_Ht(st, n, s)) {
      Close(s, kCloseAtOnce);
      platform::Store(Mark(n), 0);
      Add_To_Count(-1);
      End_Listener(st, 0, false);
      return;
    }
  }
}

}  // namespace

int Tcpip_Running() { return State().running ? 1 : 0; }

int Tcpip_Port() { return State().running ? State().port.load() : 0; }

int Start_Tcpip() {
  TcpipState& st = State();
  if (st.running) return -1;
  if (Startup_Channels(LINK_TCPIP) != 0) {
    Notify(kStartupError);
    return -1;
  }
  const int channel = Open();
  if (channel <= 0) {
    Reset_Channels();
    Notify(kOpenError);
    return -1;
  }
  if (Bind(channel, kBindBacklog) != 0) {
    Notify(kBindError);
    Close(channel, kCloseHtEnded);
    Reset_Channels();
    return -1;
  }
  const std::string ini = Device_Ini_Path();
  Read_Address_List(st, ini);
  Clear_Slots(st);
  platform::Store(TCPIP_Connections[TCPIP_MAXIO_INDEX], Read_Max_Io(ini));

  // Threads of HTs that ended since the last stop.
  for (int n = 1; n <= MAX_HT; ++n) Reap(st, n);
  st.listen_channel = channel;
  const int port = so_local_port(channel);
  st.port.store(port > 0 ? port : 0);
  st.stop_request.store(false);
  st.listener_ended.store(false);
  st.listen_pause.Reset();
  try {
    st.listener = std::thread(Listener_Thread, &st);
  } catch (const std::system_error&) {
    Close(channel, kCloseHtEnded);
    Reset_Channels();
    return -1;
  }
  st.running = true;
  return 1;
}

int Stop_Tcpip() {
  TcpipState& st = State();
  if (!st.running) return -1;

  // 1-2. Ask the busy HTs to end and wait until each has, keeping the
  // window's messages flowing (their engines send their status to it).
  bool asked[MAX_HT + 1] = {};
  for (int n = 1; n <= MAX_HT; ++n) {
    InfoHT& info = Info_Of(n);
    if (platform::Load(info.BusyFlag) != 0) {
      Set_Abort_From_GUI(n, 1);
      asked[n] = true;
    }
  }
  for (int n = 1; n <= MAX_HT; ++n) {
    if (!asked[n]) continue;
    const InfoHT& info = Info_Of(n);
    HtRecord& rec = st.ht[n];
    // A busy mark without a running engine would never be answered.
    Wait_Pumping([&info, &rec] {
      return platform::Load(info.AbortFromGUI) == 0 || !rec.running.load(std::memory_order_acquire);
    }, kStopStepMs);
  }

  // 3. Stop the listener; it finishes an accept or a refusal in progress.
  if (!st.listener_ended.load()) {
    st.stop_request.store(true);
    st.listen_pause.Wake();
    so_listen_wake(st.listen_channel);
    Wait_Pumping([&st] { return !st.stop_request.load() || st.listener_ended.load(); }, kStopStepMs);
  }
  st.listener_ended.store(false);
  if (st.listener.joinable()) st.listener.join();
  Reap_Refusals(st, true);

  // 4. Reset the status records and command buffers.
  for (int n = 1; n <= MAX_HT; ++n) {
    InfoHT& info = Info_Of(n);
    Set_Abort_From_GUI(n, 0);
    platform::Store(info.BatchFlag, 0);
    platform::Store(info.CheckFlag, 0);
    platform::Store(info.EnableFlag, 0);
    platform::Store(info.HTNo, std::uint16_t{0});
    platform::Store(info.SNo, std::uint16_t{0});
    platform::Store(info.Mode, std::uint16_t{0});
    platform::Store(info.Cent, std::uint16_t{0});
    platform::Store(info.BusyFlag, 0);
    platform::Store(info.IsAdded, 0);
    platform::Store(info.CurrentlySelected, 0);
    platform::Store(info.StartStatus, 0);
    platform::Store(info.WaitingGUICommand, 0);
    Clear_Command_Buffer(n);
  }

  // 5. Release the threads that have ended; the others end on their own.
  for (int n = 1; n <= MAX_HT; ++n) Reap(st, n);
  st.running = false;
  return 1;
}

int End_Tcpip_Sessions(std::uint32_t timeout_ms) {
  TcpipState& st = State();
  if (st.running) return -1;
  return End_Running_Hts(
      MAX_HT, [&st](int n) { return st.ht[n].running.load(std::memory_order_acquire); },
      [&st](int n) { Reap(st, n); }, timeout_ms, kStopStepMs);
}

}  // namespace tether
