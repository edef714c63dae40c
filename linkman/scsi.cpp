// The SCSI session: start, the listener thread that accepts IO-box calls,
// the per-HT threads (HT number = SCSI ID + 1), hang-up notices and the stop.
#include <new>
#include <system_error>

#include "channel/mux32.h"
#include "engine/rox32.h"
#include "linkman/internal.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "scsi/boxlink.h"

namespace tether {

namespace {

constexpr int kStartupError = 78;
constexpr int kOpenError = 79;
constexpr int kListenError = 80;
constexpr int kAcceptError = 81;
constexpr int kHangupBase = 87;
constexpr int kBoxResetNotice = 95;
constexpr int kBoxes = 7;
constexpr std::uint32_t kStopStepMs = 10;
constexpr std::uint32_t kAfterHtEndMs = 3;
constexpr unsigned char kCloseHtEnded = 0;
constexpr unsigned char kCloseOrdinary = 1;

struct HtRecord {
  std::thread thread;
  std::atomic<bool> running{false};
};

struct ScsiState {
  bool running = false;  // window thread only
  std::thread listener;
  int listen_channel = 0;
  std::atomic<bool> stop_request{false};
  std::atomic<bool> listener_ended{false};
  Pause listen_pause;
  HtRecord ht[kBoxes + 1];  // index = HT number 1..7
};

std::mutex g_threads_mu;
std::atomic<std::uint32_t> g_reset_pause_ms{15000};

ScsiState& State() {
  // Never destroyed: HT threads still running at the program's end use it.
  static ScsiState* const state = new ScsiState;
  return *state;
}

void Select_Scanned_Boxes() {
  for (int n = 1; n <= kBoxes; ++n)
    if (platform::Load(Info_Of(n).CurrentlySelected) == 1)
      std::atomic_ref<unsigned char>(Gscsi_scan).fetch_or(static_cast<unsigned char>(1u << (n - 1)));
}

// Posts 87 + i once for every IO box i the driver marked as hung up.
void Report_Hangups() {
  const unsigned marked = platform::Load(Gvp_reset_flag);
  for (int i = 0; i < kBoxes; ++i) {
    if (!((marked >> i) & 1u)) continue;
    int& reported = TCPIP_Connections[TCPIP_HANGUP_BASE + i];
    if (platform::Load(reported) != 0) continue;
    platform::Store(reported, 1);
    Notify(kHangupBase + i);
  }
}

void Ht_Thread(int n, RS232_ROX* engine, int channel, std::atomic<bool>* running) {
  const std::string peer = "IO box " + std::to_string(n - 1);
  Report_Link_Event(LINK_EVENT_CONNECTED, n, 0, 0, peer);
  engine->SessionCount = 0;
  engine->HTNumber = n;
  const short ending = Current_Session_Runner()(*engine, channel);
  const unsigned char mode = ending == E_END_FROM_HT ? kCloseHtEnded : kCloseOrdinary;
  const int closed = Close(channel, mode);
  if (closed == BL_RESET_DURING_CLOSE) {
    // The IO box was reset during the close: it needs time to restart.
    Notify(kBoxResetNotice);
    platform::Sleep_Ms(g_reset_pause_ms.load());
  } else if (closed != -50 && mode == kCloseHtEnded) {
    platform::Sleep_Ms(kAfterHtEndMs);
  }
  if (ending == E_BREAK_KEY || ending == E_COMMAND_TIMEOUT || engine->RepeatCommand == 0)
    Clear_Command_Buffer(n);
  InfoHT& info = Info_Of(n);
  Set_Abort_From_GUI(n, 0);
  platform::Store(info.BusyFlag, 0);
  delete engine;
  Report_Link_Event(LINK_EVENT_DISCONNECTED, n, 0, ending, peer);
  running->store(false, std::memory_order_release);
}

bool Reap(ScsiState& st, int n) {
  if (st.ht[n].running.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(g_threads_mu);
  if (st.ht[n].thread.joinable()) st.ht[n].thread.join();
  return true;
}

bool Start_Ht(ScsiState& st, int n, int channel) {
  RS232_ROX* engine = new (std::nothrow) RS232_ROX;
  if (engine == nullptr) return false;
  engine->BoxChannel = channel;
  HtRecord& rec = st.ht[n];
  std::lock_guard<std::mutex> lock(g_threads_mu);
  rec.running.store(true, std::memory_order_release);
  try {
    rec.thread = std::thread(Ht_Thread, n, engine, channel, &rec.running);
  } catch (const std::system_error&) {
    rec.running.store(false);
    delete engine;
    return false;
  }
  return true;
}

// The one ID whose bit changed, or -1 when none or several did.
int Changed_Id(unsigned before, unsigned after) {
  const unsigned diff = (before ^ after) & 0x7Fu;
  if (diff == 0 || (diff & (diff - 1)) != 0) return -1;
  int i = 0;
  while (!((diff >> i) & 1u)) ++i;
  return i;
}

void Listener_Thread(ScsiState* state) {
  ScsiState& st = *state;
  for (;;) {
    const int waiting = Listen(st.listen_channel, 1);
    Report_Hangups();
    if (waiting < 0) {
      Close(st.listen_channel, kCloseHtEnded);
      Reset_Channels();
      Notify(kListenError);
      st.listener_ended.store(true);
      return;
    }
    if (st.stop_request.load()) {
      Close(st.listen_channel, kCloseHtEnded);
      Reset_Channels();
      st.stop_request.store(false);
      return;
    }
    if (waiting == 0) {
      Select_Scanned_Boxes();
      st.listen_pause.Sleep_For(Listen_Pause_Ms());
      continue;
    }
    const unsigned before = platform::Load(Gscsi_flag);
    const int channel = Accept(st.listen_channel);
    Report_Hangups();
    if (channel <= 0) {
      Notify(kAcceptError);
      continue;
    }
    const int id = Changed_Id(before, platform::Load(Gscsi_flag));
    const int n = id + 1;
    if (id < 0 || !Reap(st, n)) {
      // Which HT was accepted cannot be told (or its previous engine still
      // runs): serve nobody unknown on this channel.
      Close(channel, kCloseOrdinary);
      Notify(kAcceptError);
      continue;
    }
    if (!Start_Ht(st, n, channel)) {
      Close(channel, kCloseOrdinary);
      st.listener_ended.store(true);
      return;
    }
  }
}

}  // namespace

void Set_Box_Reset_Pause_Ms(std::uint32_t ms) { g_reset_pause_ms.store(ms); }

int Scsi_Running() { return State().running ? 1 : 0; }

int Start_Scsi() {
  ScsiState& st = State();
  if (st.running) return -1;
  auto fail = [] {
    Clear_Command_Buffer(1);
    Set_Abort_From_GUI(1, 0);
    Reset_This_Function_Called_Before_Flag();
    return -1;
  };
  Select_Scanned_Boxes();
  if (Startup_Channels(LINK_SCSI) < 0) {
    Notify(kStartupError);
    return fail();
  }
  const int channel = Open();
  if (channel <= 0) {
    Reset_Channels();
    Notify(kOpenError);
    return fail();
  }
  Report_Hangups();
  Bind(0, 0);
  for (int n = 1; n <= kBoxes; ++n) Reap(st, n);
  st.listen_channel = channel;
  st.stop_request.store(false);
  st.listener_ended.store(false);
  st.listen_pause.Reset();
  try {
    st.listener = std::thread(Listener_Thread, &st);
  } catch (const std::system_error&) {
    Close(channel, kCloseHtEnded);
    Reset_Channels();
    return fail();
  }
  st.running = true;
  return 1;
}

int Stop_Scsi() {
  ScsiState& st = State();
  if (!st.running) return -1;
  for (int n = 1; n <= kBoxes; ++n) {
    InfoHT& info = Info_Of(n);
    if (platform::Load(info.BusyFlag) != 0 || platform::Load(info.WaitingGUICommand) != 0)
      Set_Abort_From_GUI(n, 1);
  }
  for (int n = 1; n <= kBoxes; ++n) {
    const InfoHT& info = Info_Of(n);
    HtRecord& rec = st.ht[n];
    Wait_Pumping([&info, &rec] {
      return platform::Load(info.AbortFromGUI) == 0 || !rec.running.load(std::memory_order_acquire);
    }, kStopStepMs);
  }
  if (!st.listener_ended.load()) {
    st.stop_request.store(true);
    st.listen_pause.Wake();
    Wait_Pumping([&st] { return !st.stop_request.load() || st.listener_ended.load(); }, kStopStepMs);
  }
  st.listener_ended.store(false);
  if (st.listener.joinable()) st.listener.join();
  for (int n = 1; n <= kBoxes; ++n) {
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
  for (int i = 0; i < kBoxes; ++i) platform::Store(TCPIP_Connections[TCPIP_HANGUP_BASE + i], 0);
  for (int n = 1; n <= kBoxes; ++n) Reap(st, n);
  platform::Store(Gscsi_scan, static_cast<unsigned char>(0));
  Reset_This_Function_Called_Before_Flag();
  st.running = false;
  return 1;
}

int End_Scsi_Sessions(std::uint32_t timeout_ms) {
  ScsiState& st = State();
  if (st.running) return -1;
  return End_Running_Hts(
      kBoxes, [&st](int n) { return st.ht[n].running.load(std::memory_order_acquire); },
      [&st](int n) { Reap(st, n); }, timeout_ms, kStopStepMs);
}

}  // namespace tether
