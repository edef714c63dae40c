// Data-copy requests: another program hands the running tarnel a request
// made of a numeric tag (operation in the low byte, station index = HT
// number - 1 in the second byte) and a block of data, and gets 1 or 0 back.
// One handler serves the headless server and the GUI; each supplies the few
// pieces of window state the operations touch through DataCopyHost.
//
// Threads: Handle_Data_Copy runs on the thread that owns the main window
// (the server's message loop or the GUI thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/window.h"

// The operations.
enum DataCopyOp : std::uint8_t {
  DC_COMMAND = 0,       // hand a command line to the HT
  DC_COMMAND_TAKEN = 1, // 1 when the HT's command buffer is empty again
  DC_MODE_SET = 2,      // 1 when the HT's Mode is not 0
  DC_ACTIVE = 3,        // 1 when the HT is busy or waits for a command
  DC_PING = 4,          // always 1: an instance is there (with kComeToFront as data: and show yourself)
  DC_DETAIL_LOG = 255,  // append a detail-log entry for the HT
};

// Data of a DC_PING from a second start that finds this instance running
// (DUPLICATE=OFF): the running one brings its window to the front.
constexpr const char* kComeToFront = "front";

// Longest command line operation 0 takes: the HT's command buffer holds it
// with its NUL.
constexpr std::size_t kMaxCommandLine = 1999;

constexpr std::uint32_t Data_Copy_Tag(std::uint8_t op, std::uint8_t index) {
  return static_cast<std::uint32_t>(op) | (static_cast<std::uint32_t>(index) << 8);
}

// What the operations need from the main window.
class DataCopyHost {
 public:
  virtual ~DataCopyHost() = default;
  // 0 RS-232C, 1 SCSI, 2 TCP/IP.
  virtual int Interface_Type() const = 0;
  // Operation 0: switches the command and script-run commands off.
  virtual void Command_Flags_Off() = 0;
  virtual bool Link_Manager_Running() const = 0;
  // Starts the Link Manager as the operator's command does.
  virtual void Start_Link_Manager() = 0;
  // A second start asked this instance to show itself (the GUI raises its
  // main window; a program without a window does nothing).
  virtual void Come_To_Front() {}
  // The detail log as a PC path.
  virtual std::string Detail_Log_Path() const { return "c:\\detail.log"; }
};

// Carries out one request and returns its reply (1 or 0). data holds the
// operation's data (for operation 0 a command line, NUL-terminated or
// ending with the block). Operation 0 takes a line whole or not at all: one
// longer than kMaxCommandLine characters replies 0 and changes nothing. On RS-232C
// the station index is taken as 0. Station index 255 names no HT and
// operations 0 to 3 and 255 reply 0 for it.
int Handle_Data_Copy(std::uint32_t tag, const char* data, std::size_t length, DataCopyHost& host);

// A request as it travels from the socket thread to the window thread
// (message WM_DATA_COPY, lParam = its address, sent synchronously).
struct DataCopyCall {
  std::uint32_t tag = 0;
  std::string data;
  int reply = 0;
  // Control requests: data holds the JSON request, reply_text gets the JSON
  // reply, and watch is set when the connection is to stay open for the
  // log records that follow.
  bool control = false;
  std::string reply_text;
  bool watch = false;
};
constexpr platform::UINT WM_DATA_COPY = platform::WM_USER + 74;  // the platform's WM_COPYDATA stand-in
