#include "app/server/server.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app/core/devini.h"
#include "app/core/panelset.h"
#include "app/core/progdir.h"
#include "app/core/startup.h"
#include "app/core/text.h"
#include "app/server/detail_log.h"
#include "app/server/status_line.h"
#include "channel/mux32.h"
#include "engine/rox32.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/notify.h"
#include "platform/pcfs.h"
#include "platform/signals.h"
#include "platform/socket.h"

namespace {

// The RS-232C driver's diagnostics (open failures, line errors) as log lines.
void Serial_Trace_To_Log(const char* text, void* server) {
  static_cast<HeadlessServer*>(server)->Note(LOG_PRIORITY_WARNING, "serial", std::string("RS232C ") + text);
}



const char* Interface_Name(int interface_type) {
  switch (interface_type) {
    case kRs232: return "RS-232C";
    case kScsi: return "SCSI";
    case kTcpip: return "TCP/IP";
  }
  return "none";
}

// Codes with which the link manager reports that its listener has ended:
// 80 always, 81 on TCP/IP (the SCSI listener goes on after a failed accept).
bool Ends_The_Link_Code(int code, int interface_type) {
  return code == 80 || (code == 81 && interface_type == kTcpip);
}

bool Device_Ini_Exists() {
  std::error_code ec;
  return std::filesystem::is_regular_file(Program_File("device.ini"), ec);
}

std::int64_t Pc_File_Size(const std::string& pc_path) {
  platform::FileStat st{};
  if (platform::Stat_PC(pc_path.c_str(), &st) != platform::FS_OK || st.is_dir) return -1;
  return static_cast<std::int64_t>(st.size);
}

const char* Direction_Name(int direction) {
  return direction == 1 ? "send" : direction == 2 ? "receive" : "";
}

}  // namespace

HeadlessServer::HeadlessServer(std::ostream& out, std::ostream& err)
    : out_(out), err_(err), log_(out), tracker_(Pc_File_Size) {
  Set_Send_Filter([this](platform::Message& m) { return Copy_Status(m); });
}

HeadlessServer::~HeadlessServer() {
  Set_Send_Filter({});
  Set_Link_Event_Hook(nullptr, nullptr);
  platform::Set_Confine_Refusal_Hook(nullptr, nullptr);
  data_copy_.Stop();
  if (signals_) platform::End_Stop_Signal_Watch();
  platform::Set_Message_Box_Handler({});
  Set_Serial_Trace(nullptr, nullptr);
  if (platform::Load(HandleForROXToMainWindow) == this) {
    platform::Store(HandleForROXToMainWindow, static_cast<platform::HWND>(nullptr));
    platform::Store(HandleForTetherToMainWindow, static_cast<platform::HWND>(nullptr));
    platform::Store(HandleForDriverToMainWindow, static_cast<platform::HWND>(nullptr));
  }
}

void HeadlessServer::Note(int priority, const std::string& event, const std::string& text,
                          const LogFields& fields) {
  const platform::LocalTime now = platform::Get_Local_Time();
  log_.Write(now, priority, event, text, fields);
  if (data_copy_.Watchers() > 0) {
    LogWriter json(out_);
    json.Set_Format(LogFormat::kJson);
    data_copy_.Broadcast(json.Format_Line(now, priority, event, text, fields));
  }
}

void HeadlessServer::On_Link_Event(const LinkEvent& e, void* self) {
  auto* server = static_cast<HeadlessServer*>(self);
  const std::string peer = e.peer ? e.peer : "";
  LogFields fields{{"peer", peer}};
  if (e.kind == LINK_EVENT_REFUSED) {
    if (e.ht > 0) fields.emplace_back("ht", std::int64_t{e.ht});
    fields.emplace_back("reason", std::string(e.reason ? e.reason : ""));
    server->Note(LOG_PRIORITY_WARNING, "refuse", "connection from " + peer + " refused: " + (e.reason ? e.reason : ""),
                 fields);
    return;
  }
  if (e.ht >= 1 && e.ht <= MAX_HT) {
    std::lock_guard<std::mutex> lock(server->stations_mu_);
    Station& st = server->stations_[e.ht];
    st.seen = true;
    st.address = peer;
    st.session = e.session;
  }
  fields.emplace_back("ht", std::int64_t{e.ht});
  fields.emplace_back("session", std::int64_t{e.session});
  const std::string head = "HT " + std::to_string(e.ht) + " session " + std::to_string(e.session) + " ";
  // Status notifications are handled after the fact, when the flags may
  // already say something else; a connection's coming and going counts too.
  platform::Post_Message(server, WM_SERVER_STATIONS_CHANGED, 0, 0);
  if (e.kind == LINK_EVENT_CONNECTED) {
    server->Note(LOG_PRIORITY_INFO, "connect", head + "connected from " + peer, fields);
    return;
  }
  fields.emplace_back("code", std::int64_t{e.ending});
  fields.emplace_back("text", Ending_Text(e.ending));
  std::string text = head + "disconnected from " + peer + " (ending " + std::to_string(e.ending);
  const std::string ending_text = Ending_Text(e.ending);
  if (!ending_text.empty()) text += " " + ending_text;
  server->Note(LOG_PRIORITY_INFO, "disconnect", text + ")", fields);
}

void HeadlessServer::On_Confine_Refusal(const char* pc_path, const char* why, void* self) {
  static_cast<HeadlessServer*>(self)->Note(
      LOG_PRIORITY_WARNING, "confine", std::string("PC path ") + pc_path + " refused: " + why,
      {{"path", std::string(pc_path)}, {"reason", std::string(why)}});
}

bool HeadlessServer::Start(const ServerConfig& config, std::string* why) {
  config_ = config;
  auto fail = [&](const std::string& text) {
    if (why) *why = text;
    err_ << "tarnel: " << text << std::endl;
    data_copy_.Stop();
    return false;
  };
  log_.Set_Format(config.log_format);
  log_.Set_Journal_Prefixes(config.journal_prefixes);
  Set_Listed_Only(config.listed_only);
  platform::Set_Confined(config.confine);
  Set_Link_Event_Hook(&HeadlessServer::On_Link_Event, this);
  platform::Set_Confine_Refusal_Hook(&HeadlessServer::On_Confine_Refusal, this);
  if (!config.program_dir.empty() && !Set_Program_Directory(config.program_dir))
    return fail("program directory " + config.program_dir + " is not a folder that can be used");
  const std::string dir = Get_Program_Directory();

  // Message boxes become log lines; they never wait for anybody.
  platform::Set_Message_Box_Handler([this](const std::string& text, const std::string& caption, unsigned flags) {
    Note(LOG_PRIORITY_WARNING, "message", caption + ": " + text);
    return (flags & 0x0F) == platform::MB_YESNO ? platform::IDYES : platform::IDOK;
  });

  Load_Run_Options();
  const std::string socket_path = Data_Copy_Socket_Path(dir, config.control_socket);
  if (GRunOptions.single_instance && Send_Data_Copy(socket_path, Data_Copy_Tag(DC_PING, 0), "", 1000) == 1)
    return fail("another tarnel already serves " + dir + " (panelset.ini: DUPLICATE=OFF)");

  std::string text;
  if (!Load_Configuration(&text)) return fail(text);

  // Requests from other programs run commands with this server's rights: a
  // socket that cannot be kept to its user is a reason not to start.
  std::string ipc_why;
  const int ipc = data_copy_.Start(
      socket_path, config.control_group, this,
      [this](const std::string& line) { Note(LOG_PRIORITY_WARNING, "control", line); }, &ipc_why);
  if (ipc == 0)
    Note(LOG_PRIORITY_INFO, "server", "data-copy socket " + socket_path + " is served by another instance");
  else if (ipc < 0)
    return fail("data-copy socket " + socket_path + ": " + ipc_why);
  if (ipc == 1) requests_on_ = "; requests on " + socket_path;

  if (config.watch_signals) {
    signals_ = platform::Start_Stop_Signal_Watch(this, WM_SERVER_SIGNAL);
    if (!signals_) return fail("cannot watch the stop signals");
  }

  if (!Start_Link(&text)) return fail(text);
  Notify_Status(true, "READY=1\n");
  return true;
}

bool HeadlessServer::Load_Configuration(std::string* why) {
  Load_Run_Options();
  if (!Load_Device_And_Panel_Settings()) {
    *why = "no device.ini in " + Get_Program_Directory();
    return false;
  }
  Apply_Settings_To_Globals(this);
  if (config_.confine) {
    // The operator's own paths stay usable wherever they lie: the working
    // folder and the error log file are no terminal's choice.
    std::vector<std::string> own;
    for (const std::string& pc : {std::string(DefWorkFile, strnlen(DefWorkFile, sizeof DefWorkFile)),
                                  std::string(DefErrorFile, strnlen(DefErrorFile, sizeof DefErrorFile))}) {
      std::string native;
      if (!pc.empty() && platform::To_Native_Path_Unconfined(pc.c_str(), &native)) own.push_back(native);
    }
    platform::Set_Confine_Extra_Roots(own);
  }
  interface_type_ = Interface_Of_If(GDeviceSettings.IF);
  if (interface_type_ < 0) {
    *why = std::string("device.ini: IF=") + GDeviceSettings.IF + " names no interface (RS232C, SCSI, ETHERNET)";
    return false;
  }
  for (int i = 0; i < 256; ++i) platform::Store(HTInfoAry[i].CheckFlag, 0);
  return true;
}

bool HeadlessServer::Start_Link(std::string* why) {
  // The headless server is server mode: the link starts at once.
  platform::Store(OneShotMode, std::int32_t{GRunOptions.one_shot ? 1 : 0});
  last_link_code_ = 0;
  Set_Serial_Trace(Serial_Trace_To_Log, this);
  Start_Link_Manager();
  if (!link_running_) {
    // The link manager posted why; show those lines first.
    platform::Pump_Messages();
    *why = Start_Failure_Text();
    return false;
  }
  std::string where = Interface_Name(interface_type_);
  if (interface_type_ == kTcpip) {
    const int port = Listening_Port(Link_Session_Type(interface_type_));
    where += " port " + (port > 0 ? std::to_string(port) : std::string(GDeviceSettings.PORTNO));
  }
  std::string safety;
  if (config_.listed_only) safety = "listed stations only";
  if (config_.confine) safety += std::string(safety.empty() ? "" : ", ") + "PC paths confined to the drive roots";
  if (!safety.empty()) safety = " (" + safety + ")";
  Note(LOG_PRIORITY_INFO, "server", "serving " + where + " from " + Get_Program_Directory() + safety + requests_on_);
  return true;
}

void HeadlessServer::Reload() {
  const std::string now = Time_Text(platform::Get_Local_Time());
  Note(LOG_PRIORITY_INFO, "reload", "SIGHUP: reading the configuration again");
  platform::Notify_Service_Manager("RELOADING=1\n" + platform::Monotonic_Usec_Field());
  Stop_Link_Manager();
  const int left = End_Remaining_Sessions(config_.end_wait_ms);
  if (left != 0) {
    // A session that does not end still holds its station; a new link
    // beside it would serve that station twice.
    Note(LOG_PRIORITY_WARNING, "server", std::to_string(left) +
        " session(s) did not end in time; stopping");
    exit_status_ = SERVER_UNCLEAN_END;
    quit_ = true;
    return;
  }
  Note(LOG_PRIORITY_INFO, "server", "reading device.ini and panelset.ini");
  std::string why;
  if (!Load_Configuration(&why) || !Start_Link(&why)) {
    Note(LOG_PRIORITY_ERROR, "server", "cannot serve with the new configuration: " + why);
    err_ << "tarnel: " << why << std::endl;
    exit_status_ = SERVER_CANNOT_START;
    quit_ = true;
    return;
  }
  Notify_Status(true, "READY=1\n");
}

std::string HeadlessServer::Start_Failure_Text() const {
  if (!Device_Ini_Exists()) return "device.ini disappeared";
  std::string text = "cannot start the Link Manager for " + std::string(Interface_Name(interface_type_));
  switch (last_link_code_) {
    case 78:
      if (interface_type_ == kTcpip) {
        // The TCP/IP driver refuses a port or listening address that is none.
        if (platform::Port_Number_From_Text(GDeviceSettings.PORTNO) < 0)
          return text + ": Startup Error (device.ini [ETHERNET] PORTNO=" + GDeviceSettings.PORTNO +
                 " is not a TCP port number 1 to 65535)";
        char listen[64];
        if (platform::Listen_Address_From_Environment(listen, sizeof listen) && !platform::Is_Ipv4_Address(listen))
          return text + ": Startup Error (TARNEL_LISTEN=" + listen + " is not an IPv4 address)";
      }
      if (interface_type_ == kScsi)
        return text + ": Startup Error (device.ini's [SCSI] section is missing or holds a bad value, "
                      "or the ASPI library libwnaspi32.so reports that it cannot start)";
      return text + ": Startup Error (device.ini's [" +
             (interface_type_ == kTcpip ? std::string("ETHERNET") : std::string("RS232C")) +
             "] section is missing or holds a bad value)";
    case 79:
      if (interface_type_ == kScsi)
        return text + ": Open Error (no ASPI library libwnaspi32.so, no host adapter, or no IO box answered)";
      return text + ": Open Error (no listening socket could be opened)";
    case 96:
      return text + ": Bind Error (port " + GDeviceSettings.PORTNO + " is in use or cannot be bound)";
    default:
      return last_link_code_ ? text + ": " + Ending_Text(last_link_code_) : text;
  }
}

void HeadlessServer::Start_Link_Manager() {
  if (closing_) return;
  if (!Device_Ini_Exists()) {
    platform::Message_Box("Device.ini File missing \n Cannot establish communication", "Message Box");
    return;
  }
  if (link_running_) return;
  const unsigned char type = Link_Session_Type(interface_type_);
  // The IO boxes that are switched on are the ones the SCSI link serves.
  if (interface_type_ == kScsi) Check_For_PowerOn_IOboxes_And_Change_Gscsiscan();
  if (Start_A_Session(type, Link_Session_Arg(interface_type_)) < 0) {
    platform::Message_Box("Error Starting LinkManager", "Message Box");
    return;
  }
  link_running_ = true;
}

void HeadlessServer::Stop_Link_Manager() {
  if (!link_running_) return;
  link_running_ = false;
  Note(LOG_PRIORITY_INFO, "server", "stopping the Link Manager");
  if (Stop_A_Session(Link_Session_Type(interface_type_), Link_Session_Arg(interface_type_)) < 0)
    platform::Message_Box("Error Stopping LinkManager", "Message Box");
  Clear_Station_Choices();
  command_flags_ = true;
}

void HeadlessServer::Request_Stop() { platform::Post_Message(this, WM_SERVER_STOP, 0, 0); }

int HeadlessServer::Run() {
  while (!quit_) {
    platform::Pump_Messages();
    if (quit_) break;
    platform::Wait_Message(platform::kWaitForever);
  }
  Shutdown();
  return exit_status_;
}

void HeadlessServer::Shutdown() {
  closing_ = true;
  platform::Notify_Service_Manager("STOPPING=1");
  Stop_Link_Manager();
  const int left = End_Remaining_Sessions(config_.end_wait_ms);
  // The last notifications of the sessions may still wait in the queue.
  platform::Pump_Messages();
  if (left > 0) {
    Note(LOG_PRIORITY_WARNING, "server", std::to_string(left) + " session(s) did not end in time");
    exit_status_ = SERVER_UNCLEAN_END;
  }
  data_copy_.Stop();
  if (signals_) {
    platform::End_Stop_Signal_Watch();
    signals_ = false;
  }
  Note(LOG_PRIORITY_INFO, "server", "stopped");
}

bool HeadlessServer::Copy_Status(platform::Message& m) {
  // The notifications of the link itself (HT 0) stay synchronous.
  if (m.msg != WM_HT_STATUS || m.wParam < 1 || m.wParam > static_cast<platform::WPARAM>(MAX_HT)) return false;
  std::lock_guard<std::mutex> lock(status_copies_mu_);
  if (status_copies_.size() >= kMaxStatusCopies) return false;
  // The engine wrote the record just before it notified, and waits for
  // nothing else: this copy is what the owner thread would have read.
  status_copies_.push_back(StatusCopy{m.wParam, m.lParam, Snapshot_Of(static_cast<int>(m.wParam))});
  m.msg = WM_SERVER_STATUS_COPY;
  return true;
}

void HeadlessServer::On_Status(platform::WPARAM ht, platform::LPARAM value, const InfoHT& info) {
  if (ht == 0) last_link_code_ = static_cast<int>(value);
  for (const StatusEvent& e : tracker_.On_Status(ht, value, info, platform::Monotonic_Ms())) Log_Status_Event(e);
  Notify_Status(false);
  if (ht == 0 && link_running_ && !closing_ && Ends_The_Link_Code(static_cast<int>(value), interface_type_)) {
    // Nobody can reach the server any more; a service manager restarts it.
    Note(LOG_PRIORITY_ERROR, "link-ended",
         "the link ended by itself (" + std::to_string(value) + " " + Ending_Text(static_cast<int>(value)) +
             "); stopping with status 1");
    exit_status_ = SERVER_CANNOT_START;
    quit_ = true;
  }
  // The entry the GUI's error window would write.
  const StatusMeaning meaning = Status_Meaning(ht, value, info);
  if (GPanelSettings.detail_log == 1 && meaning.error_window)
    Log_Error_Window(Detail_Log_Path(), static_cast<int>(ht), Ending_Text(meaning.code).c_str());
}

void HeadlessServer::Log_Status_Event(const StatusEvent& e) {
  if (e.ht >= 1 && e.ht <= MAX_HT) {
    std::lock_guard<std::mutex> lock(stations_mu_);
    Station& st = stations_[e.ht];
    st.seen = true;
    st.session = e.session;
    switch (e.kind) {
      case StatusEvent::kFileStarted:
      case StatusEvent::kProgress:
        st.direction = Direction_Name(e.direction);
        st.file = e.file;
        st.percent = e.percent;
        break;
      case StatusEvent::kFileEnded:
        st.direction.clear();
        break;
      case StatusEvent::kSessionEnded:
        st.last_code = e.code;
        break;
      default:
        break;
    }
  }
  LogFields fields;
  std::string event;
  int priority = LOG_PRIORITY_INFO;
  if (e.ht > 0) {
    fields.emplace_back("ht", std::int64_t{e.ht});
    fields.emplace_back("session", std::int64_t{e.session});
  }
  switch (e.kind) {
    case StatusEvent::kLinkEnding:
      event = "link";
      fields.emplace_back("code", std::int64_t{e.code});
      fields.emplace_back("text", Ending_Text(e.code));
      if (e.code != 0) priority = LOG_PRIORITY_ERROR;
      break;
    case StatusEvent::kFileStarted:
    case StatusEvent::kProgress:
      event = e.kind == StatusEvent::kFileStarted ? "file-start" : "progress";
      fields.emplace_back("direction", std::string(Direction_Name(e.direction)));
      fields.emplace_back("file", e.file);
      fields.emplace_back("percent", std::int64_t{e.percent});
      break;
    case StatusEvent::kFileEnded:
      event = "file-end";
      fields.emplace_back("direction", std::string(Direction_Name(e.direction)));
      fields.emplace_back("file", e.file);
      fields.emplace_back("percent", std::int64_t{e.percent});
      fields.emplace_back("result", std::string(e.complete ? "complete" : "failed"));
      if (e.bytes >= 0) fields.emplace_back("bytes", std::int64_t{e.bytes});
      fields.emplace_back("seconds", e.seconds);
      if (e.bytes > 0) fields.emplace_back("mbps", Megabytes_Per_Second(e.bytes, e.seconds));
      if (e.code >= 0) {
        fields.emplace_back("code", std::int64_t{e.code});
        fields.emplace_back("text", Ending_Text(e.code));
      }
      if (!e.complete) priority = LOG_PRIORITY_WARNING;
      break;
    case StatusEvent::kSessionEnded: {
      event = "ending";
      fields.emplace_back("code", std::int64_t{e.code});
      fields.emplace_back("text", Ending_Text(e.code));
      InfoHT record{};
      record.Mode = 0;
      record.Index = static_cast<std::uint16_t>(e.code);
      if (Opens_Error_Window(record)) priority = LOG_PRIORITY_ERROR;
      break;
    }
    default:
      event = "status";
      fields.emplace_back("mode", std::int64_t{e.mode});
      fields.emplace_back("value", std::int64_t{e.value});
      break;
  }
  const std::string text = Event_Text(e);
  if (e.kind == StatusEvent::kProgress && !config_.progress) {
    // Not for the log, but those who watch see every percentage.
    if (data_copy_.Watchers() > 0) {
      LogWriter json(out_);
      json.Set_Format(LogFormat::kJson);
      data_copy_.Broadcast(json.Format_Line(platform::Get_Local_Time(), priority, event, text, fields));
    }
    return;
  }
  Note(priority, event, text, fields);
}

std::vector<StationStatus> HeadlessServer::Stations() {
  std::vector<StationStatus> out;
  std::lock_guard<std::mutex> lock(stations_mu_);
  for (int ht = 1; ht <= MAX_HT; ++ht) {
    const InfoHT& info = Info_Of(ht);
    const bool busy = platform::Load(info.BusyFlag) != 0;
    const bool waiting = platform::Load(info.WaitingGUICommand) != 0;
    const bool linked =
        interface_type_ == kTcpip && ht < TCPIP_HANGUP_BASE && platform::Load(TCPIP_Connections[ht]) != 0;
    const Station& st = stations_[ht];
    if (!busy && !waiting && !linked && !st.seen) continue;
    StationStatus s;
    s.ht = ht;
    s.address = st.address;
    if (s.address.empty() && interface_type_ == kRs232) s.address = "RS-232C";
    s.state = busy ? "busy" : waiting ? "waiting" : linked ? "connected" : "gone";
    s.direction = st.direction;
    s.file = st.file;
    s.percent = st.percent;
    s.last_code = st.last_code;
    s.last_text = st.last_code >= 0 ? Ending_Text(st.last_code) : "";
    s.session = st.session;
    out.push_back(std::move(s));
  }
  return out;
}

std::string HeadlessServer::Control_Request(const std::string& text, bool* watch) {
  *watch = false;
  ControlRequest r;
  std::string why;
  if (!Parse_Control_Request(text, &r, &why)) return Error_Reply(why);
  if (r.request == "status") return Status_Reply(Interface_Name(interface_type_), Stations());
  if (r.request == "watch") {
    *watch = true;
    return Ok_Reply("watching");
  }
  if (interface_type_ == kRs232 && r.ht != 1) return Error_Reply("on RS-232C the terminal is HT 1");
  if (r.request == "run") {
    if (Check_Command_Line(r.line, &why) != 0) return Error_Reply("the line was not handed in: " + why);
    std::string data = r.line;
    data.push_back('\0');
    if (Handle_Data_Copy(Data_Copy_Tag(DC_COMMAND, static_cast<std::uint8_t>(r.ht - 1)), data.data(), data.size(),
                         *this) != 1)
      return Error_Reply("HT " + std::to_string(r.ht) + " did not take the line");
    Note(LOG_PRIORITY_INFO, "run", "HT " + std::to_string(r.ht) + " command line handed in: " + r.line,
         {{"ht", std::int64_t{r.ht}}, {"line", r.line}});
    return Ok_Reply("HT " + std::to_string(r.ht) + " has the line");
  }
  // abort
  InfoHT& info = Info_Of(r.ht);
  if (platform::Load(info.BusyFlag) == 0 && platform::Load(info.WaitingGUICommand) == 0)
    return Error_Reply("HT " + std::to_string(r.ht) + " has no session to abort");
  Set_Abort_From_GUI(r.ht, 1);
  Note(LOG_PRIORITY_WARNING, "abort", "HT " + std::to_string(r.ht) + " asked to end its session",
       {{"ht", std::int64_t{r.ht}}});
  return Ok_Reply("HT " + std::to_string(r.ht) + " asked to end its session");
}

void HeadlessServer::Notify_Status(bool force, const std::string& extra) {
  int connected = 0;
  int busy = 0;
  for (int ht = 1; ht <= MAX_HT; ++ht) {
    const InfoHT& info = Info_Of(ht);
    const bool is_busy = platform::Load(info.BusyFlag) != 0;
    const bool waiting = platform::Load(info.WaitingGUICommand) != 0;
    const bool linked = interface_type_ == kTcpip && ht < TCPIP_HANGUP_BASE &&
                        platform::Load(TCPIP_Connections[ht]) != 0;
    if (is_busy || waiting || linked) ++connected;
    if (is_busy) ++busy;
  }
  if (!force && connected == notified_connected_ && busy == notified_busy_) return;
  notified_connected_ = connected;
  notified_busy_ = busy;
  platform::Notify_Service_Manager(extra + "STATUS=" + std::to_string(connected) + " station(s) connected, " +
                                   std::to_string(busy) + " busy");
}

void HeadlessServer::Handle(const platform::Message& m) {
  switch (m.msg) {
    case WM_HT_STATUS: {
      InfoHT info{};
      if (m.wParam >= 1 && m.wParam <= static_cast<platform::WPARAM>(MAX_HT))
        info = Snapshot_Of(static_cast<int>(m.wParam));
      On_Status(m.wParam, m.lParam, info);
      break;
    }
    case WM_SERVER_STATIONS_CHANGED:
      Notify_Status(false);
      break;
    case WM_SERVER_STATUS_COPY: {
      StatusCopy copy{};
      {
        std::lock_guard<std::mutex> lock(status_copies_mu_);
        if (status_copies_.empty()) break;
        copy = status_copies_.front();
        status_copies_.pop_front();
      }
      On_Status(copy.ht, copy.value, copy.info);
      break;
    }
    case WM_ONESHOT_END:
      Note(LOG_PRIORITY_INFO, "server", "one-shot session ended");
      quit_ = true;
      break;
    case WM_SERVER_SIGNAL: {
      if (m.wParam == SIGHUP) {
        if (!closing_ && !quit_) Reload();
        break;
      }
      const char* name = m.wParam == SIGINT ? "SIGINT" : "SIGTERM";
      if (closing_ || quit_) {
        // A second signal while stopping: give up waiting for the sessions.
        Note(LOG_PRIORITY_WARNING, "server", std::string(name) + " again: ending at once");
        std::_Exit(SERVER_UNCLEAN_END);
      }
      Note(LOG_PRIORITY_INFO, "server", std::string(name) + ": stopping");
      quit_ = true;
      break;
    }
    case WM_SERVER_STOP:
      quit_ = true;
      break;
    case WM_DATA_COPY: {
      auto* call = reinterpret_cast<DataCopyCall*>(m.lParam);
      if (call->control)
        call->reply_text = Control_Request(call->data, &call->watch);
      else
        call->reply = Handle_Data_Copy(call->tag, call->data.data(), call->data.size(), *this);
      break;
    }
    default:
      break;
  }
}
