// Data-copy requests between programs: a local socket whose name comes from
// the program directory, so every program that names the same directory
// reaches the same tarnel. docs/datacopy_socket.md describes the bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/window.h"

// "tarnel-" and 16 hexadecimal digits of a hash of the program directory
// (made absolute, symbolic links resolved where it exists, no closing '/').
std::string Data_Copy_Socket_Name(const std::string& program_dir);

// Results of Send_Data_Copy besides the reply 0 or 1.
enum DataCopyClientResult : int {
  DCC_NO_INSTANCE = -1,  // nobody owns the socket of that program directory
  DCC_NO_ANSWER = -2,    // connected, but no complete reply in time
  DCC_BAD_REQUEST = -3,  // data longer than a request may carry
};

// Largest data block of one request.
constexpr std::uint32_t kDataCopyMaxData = 65536;

// Sends one request to the instance that serves program_dir and returns its
// reply (0 or 1) or a DataCopyClientResult. Waits at most timeout_ms.
int Send_Data_Copy(const std::string& program_dir, std::uint32_t tag, const std::string& data, int timeout_ms);

// The serving side: one thread accepts connections, reads one request from
// each, hands it to the window thread (Send_Message of WM_DATA_COPY with a
// DataCopyCall) and writes the reply back.
class DataCopyServer {
 public:
  DataCopyServer() = default;
  ~DataCopyServer();
  DataCopyServer(const DataCopyServer&) = delete;
  DataCopyServer& operator=(const DataCopyServer&) = delete;

  // Owns the socket of program_dir and starts serving. 1; 0 when another
  // process owns the socket already; -1 when it cannot be set up (*why).
  int Start(const std::string& program_dir, platform::HWND window, std::string* why);

  // Ends serving. Call it on the window's owner thread: a request in
  // progress is still answered (its message is dispatched while waiting).
  void Stop();

 private:
  void Serve();
  void Serve_One(int connection);

  int listening_ = -1;
  platform::HWND window_ = nullptr;
  std::thread thread_;
  std::atomic<bool> done_{false};
};
