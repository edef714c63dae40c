// Data-copy requests between programs: a local socket file whose name comes
// from the program directory, so every program that names the same
// directory reaches the same tarnel. A command handed in this way is run
// with the server's rights (the engine starts programs), so only the
// server's own user, root and, when configured, the members of one group
// may hand it requests: the socket sits in a folder that nobody else may
// change, its file mode lets only those users connect, and the server asks
// every connection who it is. docs/datacopy_socket.md describes the bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/window.h"

// "tarnel-" and 16 hexadecimal digits of a hash of the program directory
// (made absolute, symbolic links resolved where it exists, no closing '/').
std::string Data_Copy_Socket_Name(const std::string& program_dir);

// The folder of the socket files: $XDG_RUNTIME_DIR/tarnel when that variable
// is set, else /run/tarnel for root, else $TMPDIR/tarnel-UID (TMPDIR
// defaults to /tmp). The same user with the same environment always gets
// the same folder, so tarnel and tarnelctl meet there.
std::string Data_Copy_Socket_Folder();
// The same rule for given values of XDG_RUNTIME_DIR and TMPDIR (nullptr or
// empty: not set) and user id.
std::string Data_Copy_Socket_Folder(const char* runtime_dir, unsigned uid, const char* tmp_dir);

// Where the tarnel of program_dir serves: socket_path when it is not empty
// (--control-socket), else the socket name in Data_Copy_Socket_Folder().
std::string Data_Copy_Socket_Path(const std::string& program_dir, const std::string& socket_path = "");

// Results of Send_Data_Copy besides the reply 0 or 1.
enum DataCopyClientResult : int {
  DCC_NO_INSTANCE = -1,    // nobody serves that socket
  DCC_NO_ANSWER = -2,      // connected, but no complete reply in time
  DCC_BAD_REQUEST = -3,    // data longer than a request may carry
  DCC_NOT_PERMITTED = -4,  // the socket's permissions keep this user out
  DCC_REFUSED = -5,        // the server closed the connection without a reply
};

// Largest data block of one request.
constexpr std::uint32_t kDataCopyMaxData = 65536;

// Control requests (docs/datacopy_socket.md, "Control requests"): a JSON
// object in a frame of its own magic ("TDC2", length, text) on the same
// socket and through the same checks; the reply is one such frame, and a
// watch request is followed by one frame per log record until either side
// closes.
class ControlConnection {
 public:
  ControlConnection() = default;
  ~ControlConnection();
  ControlConnection(const ControlConnection&) = delete;
  ControlConnection& operator=(const ControlConnection&) = delete;

  // Connects, sends request and reads the reply into *reply, all within
  // timeout_ms. 1 when a reply came, else a DataCopyClientResult. The
  // connection stays open for Next (watch).
  int Request(const std::string& socket_path, const std::string& request, std::string* reply, int timeout_ms);
  // The next frame of a watch into *frame: 1, DCC_NO_ANSWER when none came
  // within timeout_ms, DCC_REFUSED when the server closed the connection.
  int Next(std::string* frame, int timeout_ms);
  void Close();

 private:
  int socket_ = -1;
};

// Writes one control frame; false when it could not go whole within timeout_ms.
bool Send_Control_Frame(int s, const std::string& body, int timeout_ms);

// Sends one request to the tarnel serving socket_path and returns its reply
// (0 or 1) or a DataCopyClientResult. Waits at most timeout_ms.
int Send_Data_Copy(const std::string& socket_path, std::uint32_t tag, const std::string& data, int timeout_ms);

// Who may hand in requests: root, the user own_uid and, when group >= 0, a
// process whose group is group or whose user belongs to it.
bool Data_Copy_Peer_Allowed(unsigned peer_uid, unsigned peer_gid, unsigned own_uid, int group);

// Makes folder fit to hold the socket: creates it when missing (mode 0700,
// or 0750 and the group when group >= 0; its parent must exist). Refuses
// (false, *why says why) a symbolic link or anything but a folder, a folder
// that another user owns, and one that other users may write to (the group
// may write only when it is the given group): anyone who may change the
// folder could put a socket of their own in the server's place. With a
// group, a folder of the server's user is given that group and the group
// may search it.
bool Prepare_Socket_Folder(const std::string& folder, int group, std::string* why);

// The serving side: one thread accepts connections, checks who connected,
// reads one request from each allowed one, hands it to the window thread
// (Send_Message of WM_DATA_COPY with a DataCopyCall) and writes the reply
// back. Connections of anybody else are closed without a reply, each with
// one line to the log.
class DataCopyServer {
 public:
  // Gets one line of text; called on the serving thread.
  using LogFn = std::function<void(const std::string&)>;

  DataCopyServer() = default;
  ~DataCopyServer();
  DataCopyServer(const DataCopyServer&) = delete;
  DataCopyServer& operator=(const DataCopyServer&) = delete;

  // Serves socket_path: prepares its folder (Prepare_Socket_Folder), replaces
  // a socket file that an ended server left, and starts serving, the file
  // with mode 0600 (0660 and the group when group_name names one). Returns
  // 1; 0 when a live process serves socket_path already; -1 when it cannot
  // be set up (*why says why: the folder is unsafe, the group unknown, ...).
  int Start(const std::string& socket_path, const std::string& group_name, platform::HWND window, LogFn log,
            std::string* why);

  // Ends serving and removes the socket file. Call it on the window's owner
  // thread: a request in progress is still answered (its message is
  // dispatched while waiting).
  void Stop();

  // Sends body as one control frame to every watching connection; a
  // watcher that does not take it within a few milliseconds is dropped.
  // Any thread.
  void Broadcast(const std::string& body);
  // How many connections watch now.
  int Watchers() const;

 private:
  void Serve();
  // False when the connection was kept (a watcher).
  bool Serve_One(int connection);
  bool Serve_Control(int connection, std::uint64_t deadline);
  void Drop_Watchers();

  int listening_ = -1;
  std::string path_;
  unsigned own_uid_ = 0;
  int group_ = -1;
  std::string group_name_;
  LogFn log_;
  platform::HWND window_ = nullptr;
  std::thread thread_;
  std::atomic<bool> done_{false};
  mutable std::mutex watchers_mu_;
  std::vector<int> watchers_;
};

// Most connections that may watch at once.
constexpr int kMaxWatchers = 16;
