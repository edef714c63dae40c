// Internal to the link manager: state shared by its source files and the
// helpers they have in common. Not for other folders (tests may use it).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class RS232_ROX;

namespace tether {

// ---- Helpers (common.cpp) --------------------------------------------------

// Posts message 1029 with wParam 0 and lParam code to the main window.
void Notify(int code);

// One line for the operator's log (the message-box route, as an
// information box: the headless server writes it to its log).
void Log_Line(const std::string& text);

// device.ini in the program directory (the folder of Instance_Handle's
// module path); "" when no program directory is known.
std::string Device_Ini_Path();
bool File_Exists(const std::string& path);

// Waits until done() holds, dispatching the calling thread's window messages
// meanwhile; wakes at least every step_ms to look again.
void Wait_Pumping(const std::function<bool()>& done, std::uint32_t step_ms);

// The end of the program for one link type's HT threads 1..last: asks every
// engine whose thread still runs to end (AbortFromGUI), waits up to
// timeout_ms while dispatching window messages, then lets reap(n) join the
// threads that ended. Returns how many still run.
int End_Running_Hts(int last, const std::function<bool(int)>& running, const std::function<void(int)>& reap,
                    std::uint32_t timeout_ms, std::uint32_t step_ms);

// Hands a connection event to the installed hook, if any.
void Report_Link_Event(int kind, int ht, int session, int ending, const std::string& peer,
                       const std::string& reason = "");
// The peer address of connected socket s as text; "an address that cannot
// be told" when the system does not say.
std::string Socket_Peer_Text(int s);
// Changes the connection count (index 263 of TCPIP_Connections) atomically,
// never below 0. HT threads and the listener change it concurrently.
void Add_To_Count(int delta);
int Count();

// An interruptible pause: Sleep_For waits up to ms or until Wake.
class Pause {
 public:
  // True when woken (Wake since the last Reset), false after ms.
  bool Sleep_For(std::uint32_t ms);
  void Wake();
  void Reset();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool woken_ = false;
};

// ---- Engine runners (replaceable by tests, testing.h) ----------------------

using Session_Runner = short (*)(RS232_ROX& engine, int channel);
using Line_Runner = short (*)(RS232_ROX& engine);
Session_Runner Current_Session_Runner();
Line_Runner Current_Line_Runner();
std::uint32_t Listen_Pause_Ms();

// ---- Per-type entry points ---------------------------------------------------

int Start_Rs232();
int Stop_Rs232();
int Rs232_Running();

int Start_Scsi();
int Stop_Scsi();
int Scsi_Running();
int End_Scsi_Sessions(std::uint32_t timeout_ms);

int Start_Tcpip();
int Stop_Tcpip();
int Tcpip_Running();
int Tcpip_Port();
int End_Tcpip_Sessions(std::uint32_t timeout_ms);

// Turns away a surplus TCP/IP connection on socket s (refusal.cpp): the
// 31-byte "No More Connection <max_io>" message, the wait for the HT's
// answer (TCP_TIMEOUT seconds) and the final frame. Always closes the
// connection and lowers the count by one at its end.
// limit_ms bounds the wait for the answer below TCP_TIMEOUT (0: no wait at
// all, the refusal is sent and the connection closed).
void Refuse_Connection(int s, int max_io, std::uint32_t limit_ms = UINT32_MAX);

// TCP_TIMEOUT in seconds from device.ini [ETHERNET] (60 when the key is
// absent; 0 and a message box when device.ini is missing).
int Refusal_Timeout_Seconds();

}  // namespace tether
