#include "linkman/tests/fake_net.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "channel/mux32.h"
#include "linkman/testing.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/window.h"
#include "tcpip/netport.h"

namespace fakenet {

namespace {

Driver* g_driver = nullptr;

int Init() {
  std::lock_guard<std::mutex> lock(State().mu);
  ++State().inits;
  return State().init_result;
}
int Do_Open() {
  std::lock_guard<std::mutex> lock(State().mu);
  ++State().opens;
  return State().open_result;
}
int Do_Bind(int, int) {
  std::lock_guard<std::mutex> lock(State().mu);
  ++State().binds;
  return State().bind_result;
}
int Do_Connect(int, int) { return 0; }
int Do_Listen(int, int) {
  std::lock_guard<std::mutex> lock(State().mu);
  return State().accepts.empty() ? State().listen_when_empty : 1;
}
int Do_Accept(int) {
  std::lock_guard<std::mutex> lock(State().mu);
  Driver& d = State();
  ++d.accept_calls;
  if (d.accepts.empty()) return -1;
  Accepted a = d.accepts.front();
  d.accepts.pop_front();
  platform::Store(GTcpIpHtNo, a.result > 0 ? a.station : 0);
  return a.result;
}
long Do_Send(int, unsigned char*, std::uint32_t length) { return static_cast<long>(length); }
long Do_Recv(int, unsigned char*, std::uint32_t, int) { return -4; }
int Do_Close(int channel, unsigned char mode) {
  std::lock_guard<std::mutex> lock(State().mu);
  Driver& d = State();
  d.closes.emplace_back(channel, mode);
  if (d.real_sockets.erase(channel) != 0) platform::Socket_Close(channel);
  return 0;
}
int Do_Reset() {
  std::lock_guard<std::mutex> lock(State().mu);
  ++State().resets;
  return 0;
}
int Do_Handshake(int channel) {
  std::lock_guard<std::mutex> lock(State().mu);
  State().handshakes.push_back(channel);
  return 0;
}

const ChannelDriver kDriver = {Init,     Do_Open,  Do_Bind,  Do_Connect, Do_Listen,    Do_Accept,
                               Do_Send,  Do_Recv,  Do_Close, Do_Reset,   Do_Handshake, Do_Handshake};

Script g_scripts[MAX_HT + 1];

short Scripted_Runner(RS232_ROX& engine, int channel) {
  const int n = engine.HTNumber;
  Script& s = g_scripts[n];
  s.channel.store(channel);
  s.calls.fetch_add(1);
  engine.RepeatCommand = s.repeat.load();
  InfoHT& info = Info_Of(n);
  const std::uint64_t limit = platform::Monotonic_Ms() + 20000;
  switch (s.behaviour.load()) {
    case Behaviour::End:
      return s.ending.load();
    case Behaviour::Busy:
      platform::Store(info.BusyFlag, 1);
      while (platform::Load(info.AbortFromGUI) == 0 && platform::Monotonic_Ms() < limit) platform::Sleep_Ms(2);
      // As an engine does: the status goes to the window synchronously.
      platform::Send_Message(HandleForROXToMainWindow, WM_HT_STATUS, static_cast<platform::WPARAM>(n), 0);
      platform::Store(info.AbortFromGUI, 0);
      return E_BREAK_KEY;
    case Behaviour::Idle:
      platform::Store(info.WaitingGUICommand, 1);
      while (platform::Load(info.AbortFromGUI) == 0 && !s.release.load() && platform::Monotonic_Ms() < limit)
        platform::Sleep_Ms(2);
      platform::Store(info.WaitingGUICommand, 0);
      platform::Store(info.AbortFromGUI, 0);
      return E_BREAK_KEY;
  }
  return 0;
}

}  // namespace

Driver& State() { return *g_driver; }

void Install() {
  static Driver* const driver = new Driver;
  g_driver = driver;
  std::lock_guard<std::mutex> lock(driver->mu);
  driver->init_result = 0;
  driver->open_result = 5;
  driver->bind_result = 0;
  driver->listen_when_empty = 0;
  driver->accepts.clear();
  driver->real_sockets.clear();
  driver->closes.clear();
  driver->handshakes.clear();
  driver->inits = driver->opens = driver->binds = driver->resets = driver->accept_calls = 0;
  Set_Channel_Driver(2, &kDriver);
}

void Uninstall() { Set_Channel_Driver(2, nullptr); }

void Queue_Accept(int result, int station) {
  std::lock_guard<std::mutex> lock(State().mu);
  State().accepts.push_back({result, station});
}

std::vector<std::pair<int, int>> Closes() {
  std::lock_guard<std::mutex> lock(State().mu);
  return State().closes;
}

int Close_Mode_Of(int channel) {
  for (const auto& [c, mode] : Closes())
    if (c == channel) return mode;
  return -1;
}

int Resets() {
  std::lock_guard<std::mutex> lock(State().mu);
  return State().resets;
}

int Accept_Calls() {
  std::lock_guard<std::mutex> lock(State().mu);
  return State().accept_calls;
}

ProgramDir::ProgramDir(const std::string& device_ini) {
  static std::atomic<unsigned> serial{0};
  std::random_device rd;
  for (;;) {
    const auto name = "tether-test-" + std::to_string(rd()) + "-" + std::to_string(serial.fetch_add(1));
    const auto path = std::filesystem::temp_directory_path() / name;
    std::error_code ec;
    if (std::filesystem::create_directory(path, ec)) {
      dir_ = path.string();
      break;
    }
  }
  if (!device_ini.empty()) Write("device.ini", device_ini);
  static InstanceHandle handle;
  std::snprintf(handle.module_path, sizeof handle.module_path, "%s/tarnel", dir_.c_str());
  Instance_Handle = &handle;
}

ProgramDir::~ProgramDir() {
  Instance_Handle = nullptr;
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void ProgramDir::Write(const std::string& name, const std::string& text) const {
  std::ofstream out(dir_ + "/" + name, std::ios::binary);
  out << text;
}

std::string Device_Ini(const std::string& ethernet, const std::string& use_ip) {
  return "IF=ETHERNET\r\nErrorFile=err.log\r\nWorkFile=\r\n[RS232C]\r\nPort=COM1\r\nBaud=9600\r\n"
         "Parity=NONE\r\nStop=1\r\nData=8\r\n[SCSI]\r\nScantime=1\r\n[ETHERNET]\r\n" +
         ethernet + "[USE_IP]\r\n" + use_ip;
}

Script& Script_For(int ht) { return g_scripts[ht]; }

void Reset_Scripts() {
  for (Script& s : g_scripts) {
    s.behaviour.store(Behaviour::End);
    s.ending.store(73);
    s.repeat.store(1);
    s.calls.store(0);
    s.release.store(false);
    s.channel.store(0);
  }
}

void Use_Scripted_Runner() { tether::Set_Session_Runner(Scripted_Runner); }
void Restore_Runner() { tether::Set_Session_Runner(nullptr); }

bool Eventually(const std::function<bool()>& cond, unsigned ms) {
  const std::uint64_t limit = platform::Monotonic_Ms() + ms;
  for (;;) {
    platform::Pump_Messages();
    if (cond()) return true;
    if (platform::Monotonic_Ms() >= limit) return false;
    platform::Sleep_Ms(5);
  }
}

}  // namespace fakenet
