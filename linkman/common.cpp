// Start and stop by type, notifications, the program directory and the
// waits that keep the window's messages flowing.
#include <chrono>
#include <cstring>
#include <filesystem>

#include "channel/mux32.h"
#include "engine/rox32.h"
#include "linkman/internal.h"
#include "linkman/testing.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/socket.h"
#include "platform/window.h"

namespace tether {

namespace {

short Run_Engine_Session(RS232_ROX& engine, int channel) { return engine.Run_State_Machine(channel); }
short Run_Engine_Line(RS232_ROX& engine) { return engine.ROX_Start(1); }

std::atomic<Session_Runner> g_session_runner{nullptr};
std::atomic<Line_Runner> g_line_runner{nullptr};
std::atomic<std::uint32_t> g_listen_pause_ms{1000};
std::atomic<LinkEventHook> g_event_hook{nullptr};
std::atomic<void*> g_event_context{nullptr};

}  // namespace

void Report_Link_Event(int kind, int ht, int session, int ending, const std::string& peer,
                       const std::string& reason) {
  const LinkEventHook hook = g_event_hook.load();
  if (hook == nullptr) return;
  LinkEvent e;
  e.kind = kind;
  e.ht = ht;
  e.session = session;
  e.ending = ending;
  e.peer = peer.c_str();
  e.reason = reason.c_str();
  hook(e, g_event_context.load());
}

std::string Socket_Peer_Text(int s) {
  char peer[platform::kAddressTextSize] = "";
  if (platform::Socket_Peer_Address(s, peer, sizeof peer) == platform::SOCKET_OK && peer[0] != '\0') return peer;
  return "an address that cannot be told";
}

void Notify(int code) {
  platform::Post_Message(platform::Load(HandleForTetherToMainWindow), WM_TETHER_STATUS, 0,
                         static_cast<platform::LPARAM>(code));
}

void Log_Line(const std::string& text) {
  platform::Message_Box(text, "Link Manager", platform::MB_OK | platform::MB_ICONINFORMATION);
}

std::string Device_Ini_Path() {
  if (Instance_Handle == nullptr) return "";
  const char* module = Instance_Handle->module_path;
  std::size_t n = strnlen(module, sizeof Instance_Handle->module_path);
  std::string path(module, n);
  std::size_t cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return "";
  path.resize(cut + 1);
  return path + "device.ini";
}

bool File_Exists(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

void Wait_Pumping(const std::function<bool()>& done, std::uint32_t step_ms) {
  while (!done()) {
    platform::Pump_Messages();
    if (done()) break;
    platform::Wait_Message(step_ms);
  }
}

int End_Running_Hts(int last, const std::function<bool(int)>& running, const std::function<void(int)>& reap,
                    std::uint32_t timeout_ms, std::uint32_t step_ms) {
  for (int n = 1; n <= last; ++n)
    if (running(n)) Set_Abort_From_GUI(n, 1);
  auto left = [&] {
    int k = 0;
    for (int n = 1; n <= last; ++n)
      if (running(n)) ++k;
    return k;
  };
  const std::uint64_t deadline = platform::Monotonic_Ms() + timeout_ms;
  Wait_Pumping([&] { return left() == 0 || platform::Monotonic_Ms() >= deadline; }, step_ms);
  for (int n = 1; n <= last; ++n) reap(n);
  return left();
}

void Add_To_Count(int delta) {
  std::atomic_ref<int> count(TCPIP_Connections[TCPIP_COUNT_INDEX]);
  int now = count.load(std::memory_order_acquire);
  int next;
  do {
    next = now + delta;
    if (next < 0) next = 0;
  } while (!count.compare_exchange_weak(now, next, std::memory_order_acq_rel));
}

int Count() { return platform::Load(TCPIP_Connections[TCPIP_COUNT_INDEX]); }

bool Pause::Sleep_For(std::uint32_t ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return woken_; });
}

void Pause::Wake() {
  std::lock_guard<std::mutex> lock(mu_);
  woken_ = true;
  cv_.notify_all();
}

void Pause::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  woken_ = false;
}

Session_Runner Current_Session_Runner() {
  Session_Runner r = g_session_runner.load();
  return r ? r : Run_Engine_Session;
}

Line_Runner Current_Line_Runner() {
  Line_Runner r = g_line_runner.load();
  return r ? r : Run_Engine_Line;
}

std::uint32_t Listen_Pause_Ms() { return g_listen_pause_ms.load(); }

void Set_Session_Runner(Session_Runner runner) { g_session_runner.store(runner); }
void Set_Line_Runner(Line_Runner runner) { g_line_runner.store(runner); }
void Set_Listen_Pause_Ms(std::uint32_t ms) { g_listen_pause_ms.store(ms); }

}  // namespace tether

int Start_A_Session(unsigned char type, unsigned int slot) {
  (void)slot;
  switch (type) {
    case LINK_RS232C:
      return tether::Start_Rs232();
    case LINK_SCSI:
      return tether::Start_Scsi();
    case LINK_TCPIP:
      return tether::Start_Tcpip();
    default:
      return -1;
  }
}

int Stop_A_Session(unsigned char type, unsigned int ignored) {
  (void)ignored;
  switch (type) {
    case LINK_RS232C:
      return tether::Stop_Rs232();
    case LINK_SCSI:
      return tether::Stop_Scsi();
    case LINK_TCPIP:
      return tether::Stop_Tcpip();
    default:
      return -1;
  }
}

int End_Remaining_Sessions(std::uint32_t timeout_ms) {
  const int tcpip = tether::End_Tcpip_Sessions(timeout_ms);
  const int scsi = tether::End_Scsi_Sessions(timeout_ms);
  if (tcpip < 0 || scsi < 0) return -1;
  return tcpip + scsi;
}

int Listening_Port(unsigned char type) { return type == LINK_TCPIP ? tether::Tcpip_Port() : 0; }

int Session_Running(unsigned char type) {
  switch (type) {
    case LINK_RS232C:
      return tether::Rs232_Running();
    case LINK_SCSI:
      return tether::Scsi_Running();
    case LINK_TCPIP:
      return tether::Tcpip_Running();
    default:
      return 0;
  }
}

void Set_Link_Event_Hook(LinkEventHook hook, void* context) {
  tether::g_event_context.store(context);
  tether::g_event_hook.store(hook);
}
