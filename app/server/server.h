// The headless server: tarnel without a window. It starts up as the
// operator application does (run options, device.ini, panelset.ini, the
// libraries' globals), starts the Link Manager at once for the interface
// that IF names, and then handles what the main window would: the
// notifications (one log line each on the output stream), message boxes
// (log lines), data-copy requests from other programs (a local socket that
// only the server's user, root and an optional group may use) and
// the signals of a service manager: SIGINT and SIGTERM stop the Link Manager
// in order; SIGHUP stops it, reads device.ini and panelset.ini again and
// starts it again. When the link ends by itself (its listener failed) the
// server stops with status 1 so that a service manager restarts it. SIGPIPE
// is ignored: a closed output loses log lines, not the server.
//
// Under a service manager (NOTIFY_SOCKET) the server says READY=1 once the
// link serves, STATUS= with the stations connected and busy whenever those
// numbers change, RELOADING=1 around a SIGHUP reload and STOPPING=1 at the
// stop.
//
// Threads: construct, Start and Run on one thread (the "window thread");
// it owns the message target through which everything arrives.
#pragma once

#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "app/server/datacopy.h"
#include "app/server/control.h"
#include "app/server/ipc.h"
#include "app/server/log_writer.h"
#include "app/server/status_line.h"
#include "linkman/tether32.h"
#include "platform/window.h"

struct ServerConfig {
  std::string program_dir;          // empty: the executable's folder
  std::string control_socket;       // data-copy socket file; empty: Data_Copy_Socket_Path's default
  std::string control_group;        // group whose members may hand in requests too; empty: none
  bool watch_signals = true;        // SIGINT/SIGTERM stop, SIGHUP reloads
  std::uint32_t end_wait_ms = 90000;  // how long sessions may take to end at exit
  bool listed_only = false;         // refuse TCP/IP peers that [USE_IP] does not list
  bool confine = false;             // keep every PC path inside the mapped drive roots
  LogFormat log_format = LogFormat::kText;
  bool journal_prefixes = false;    // "<3>", "<4>", "<6>" in front of text lines
  bool progress = false;            // a log line per percentage, not only per file start and end
};

// Exit statuses of the server.
enum ServerExit : int {
  SERVER_OK = 0,
  SERVER_CANNOT_START = 1,  // also: the link ended by itself, or a reload found a bad configuration
  SERVER_UNCLEAN_END = 3,  // sessions still ran when the program had to end
};

class HeadlessServer : public platform::MessageTarget, public DataCopyHost {
 public:
  HeadlessServer(std::ostream& out, std::ostream& err);
  ~HeadlessServer() override;

  // Starts up. False when the server cannot run; *why then says why in one
  // line (also written to the error stream), and nothing is left running.
  bool Start(const ServerConfig& config, std::string* why);

  // Handles messages until a stop signal, Request_Stop or the end of a
  // one-shot run; then stops the Link Manager, waits for the sessions to
  // end and returns the exit status.
  int Run();

  // Asks Run to end, from any thread.
  void Request_Stop();

  // The message target.
  void Handle(const platform::Message& m) override;

  // DataCopyHost.
  int Interface_Type() const override { return interface_type_; }
  void Command_Flags_Off() override { command_flags_ = false; }
  bool Link_Manager_Running() const override { return link_running_; }
  void Start_Link_Manager() override;

  // Writes one log line, the time in front (thread-safe).
  void Log(const std::string& text) { Note(LOG_PRIORITY_INFO, "server", text); }
  // Writes one log record (text or JSON, see log_writer.h) and hands it to
  // the connections that watch (thread-safe).
  void Note(int priority, const std::string& event, const std::string& text, const LogFields& fields = {});

  // A control request (control.h) on the window thread: the JSON reply, and
  // *watch set when the connection is to receive the records that follow.
  std::string Control_Request(const std::string& text, bool* watch);

 private:
  void Stop_Link_Manager();
  // device.ini and panelset.ini into the globals; false with *why when the
  // configuration cannot be used.
  bool Load_Configuration(std::string* why);
  // Starts the Link Manager and logs where it serves; false with *why.
  bool Start_Link(std::string* why);
  // SIGHUP: stop the link in order, read the configuration again, start
  // again; a configuration that cannot serve ends the server with status 1.
  void Reload();
  void On_Status(platform::WPARAM ht, platform::LPARAM value, const InfoHT& info);
  // The send filter: a status notification of an HT is copied with its
  // record on the engine's thread and queued as WM_SERVER_STATUS_COPY, so
  // that the engine goes on without waiting for this thread. False (the
  // engine waits as before) for anything else and while kMaxStatusCopies
  // copies are waiting.
  bool Copy_Status(platform::Message& m);
  void Log_Status_Event(const StatusEvent& e);
  static void On_Link_Event(const LinkEvent& e, void* self);
  static void On_Confine_Refusal(const char* pc_path, const char* why, void* self);
  std::vector<StationStatus> Stations();
  // Sends STATUS= to the service manager when the counts changed (always
  // with force), with extra fields ("READY=1\n") in front.
  void Notify_Status(bool force, const std::string& extra = {});
  void Shutdown();
  std::string Start_Failure_Text() const;

  std::ostream& out_;
  std::ostream& err_;
  LogWriter log_;
  StatusTracker tracker_;
  // What status and watch tell about each HT beyond the shared table; the
  // addresses come from the link manager's threads.
  struct Station {
    bool seen = false;
    std::string address;
    std::string direction;
    std::string file;
    int percent = 0;
    int last_code = -1;
    int session = 0;
  };
  std::mutex stations_mu_;
  Station stations_[MAX_HT + 1];
  ServerConfig config_;
  int interface_type_ = -1;     // 0 RS-232C, 1 SCSI, 2 TCP/IP
  bool link_running_ = false;
  bool command_flags_ = true;
  bool quit_ = false;
  bool closing_ = false;
  int exit_status_ = SERVER_OK;
  std::string requests_on_;     // "; requests on PATH" while this server owns the data-copy socket
  int last_link_code_ = 0;      // last code the link manager posted
  bool signals_ = false;
  int notified_connected_ = -1;  // counts last sent with STATUS=
  int notified_busy_ = -1;
  DataCopyServer data_copy_;
  // Status notifications copied by Copy_Status, oldest first.
  struct StatusCopy {
    platform::WPARAM ht;
    platform::LPARAM value;
    InfoHT info;
  };
  static constexpr std::size_t kMaxStatusCopies = 4096;
  std::mutex status_copies_mu_;
  std::deque<StatusCopy> status_copies_;
};

// Message numbers of the server's own target.
constexpr platform::UINT WM_SERVER_SIGNAL = platform::WM_USER + 80;
constexpr platform::UINT WM_SERVER_STOP = platform::WM_USER + 81;
constexpr platform::UINT WM_SERVER_STATUS_COPY = platform::WM_USER + 82;
// A station connected or went: the service manager's STATUS= is brought up
// to date on the server's thread.
constexpr platform::UINT WM_SERVER_STATIONS_CHANGED = platform::WM_USER + 83;
