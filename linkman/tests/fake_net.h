// A scripted TCP/IP driver for the link manager's tests, installed through
// Set_Channel_Driver(2, ...), plus a program directory with a device.ini and
// engine runners whose behaviour each test chooses per HT number.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/rox32.h"

namespace fakenet {

struct Accepted {
  int result;   // what Accept returns (a channel, or a negative code)
  int station;  // what the driver publishes in GTcpIpHtNo
};

struct Driver {
  std::mutex mu;
  int init_result = 0;
  int open_result = 5;
  int bind_result = 0;
  int listen_when_empty = 0;  // Listen's result when no accept is scripted
  std::deque<Accepted> accepts;
  std::set<int> real_sockets;  // closed for real when the link manager closes them
  std::vector<std::pair<int, int>> closes;  // (channel, mode)
  std::vector<int> handshakes;
  int inits = 0, opens = 0, binds = 0, resets = 0, accept_calls = 0;
};

// The installed driver's state; Install clears it.
Driver& State();
void Install();
void Uninstall();

void Queue_Accept(int result, int station);
std::vector<std::pair<int, int>> Closes();
int Close_Mode_Of(int channel);  // -1 when not closed
int Resets();
int Accept_Calls();

// A program directory in a fresh temporary folder; Instance_Handle points
// into it while the object lives.
class ProgramDir {
 public:
  explicit ProgramDir(const std::string& device_ini);
  ~ProgramDir();
  std::string Path() const { return dir_; }
  void Write(const std::string& name, const std::string& text) const;

 private:
  std::string dir_;
};

// A device.ini for TCP/IP with the given [ETHERNET] lines and [USE_IP] lines.
std::string Device_Ini(const std::string& ethernet, const std::string& use_ip = "");

// ---- Engine runners ----------------------------------------------------------

enum class Behaviour {
  End,       // return the scripted ending at once
  Busy,      // BusyFlag 1, wait for AbortFromGUI, send a status, end with 29
  Idle,      // WaitingGUICommand 1, wait for AbortFromGUI or Release, end with 29
};

struct Script {
  std::atomic<Behaviour> behaviour{Behaviour::End};
  std::atomic<short> ending{73};
  std::atomic<std::uint32_t> repeat{1};
  std::atomic<int> calls{0};
  std::atomic<bool> release{false};
  std::atomic<int> channel{0};
};

Script& Script_For(int ht);
void Reset_Scripts();
// Installs the scripted runner as the link manager's session runner.
void Use_Scripted_Runner();
void Restore_Runner();

// Polls cond every 5 ms, dispatching this thread's messages, up to ms.
bool Eventually(const std::function<bool()>& cond, unsigned ms = 5000);

}  // namespace fakenet
