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
#include "platform/signals.h"
#include "platform/socket.h"

namespace {

// The RS-232C driver's diagnostics (open failures, line errors) as log lines.
void Serial_Trace_To_Log(const char* text, void* server) {
  static_cast<HeadlessServer*>(server)->Log(Time_Text(platform::Get_Local_Time()) + " RS232C " + text);
}

constexpr int kRs232 = 0;
constexpr int kScsi = 1;
constexpr int kTcpip = 2;

// The Start_A_Session type and argument of each interface.
unsigned char Session_Type(int interface_type) { return static_cast<unsigned char>(interface_type + 1); }
unsigned int Session_Arg(int interface_type) { return interface_type == kRs232 ? 2 : 0; }

const char* Interface_Name(int interface_type) {
  switch (interface_type) {
    case kRs232: return "RS-232C";
    case kScsi: return "SCSI";
    case kTcpip: return "TCP/IP";
  }
  return "none";
}

int Interface_From_If(const char* text) {
  if (core_text::Same_Text(text, "RS232C")) return kRs232;
  if (core_text::Same_Text(text, "SCSI")) return kScsi;
  if (core_text::Same_Text(text, "ETHERNET")) return kTcpip;
  return -1;
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

}  // namespace

HeadlessServer::HeadlessServer(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

HeadlessServer::~HeadlessServer() {
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

void HeadlessServer::Log(const std::string& line) {
  std::lock_guard<std::mutex> lock(log_mu_);
  out_ << line << std::endl;
}

bool HeadlessServer::Start(const ServerConfig& config, std::string* why) {
  config_ = config;
  auto fail = [&](const std::string& text) {
    if (why) *why = text;
    err_ << "tarnel: " << text << std::endl;
    data_copy_.Stop();
    return false;
  };
  if (!config.program_dir.empty() && !Set_Program_Directory(config.program_dir))
    return fail("program directory " + config.program_dir + " is not a folder that can be used");
  const std::string dir = Get_Program_Directory();

  // Message boxes become log lines; they never wait for anybody.
  platform::Set_Message_Box_Handler([this](const std::string& text, const std::string& caption, unsigned flags) {
    Log(Time_Text(platform::Get_Local_Time()) + " message " + caption + ": " + text);
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
      [this](const std::string& line) { Log(Time_Text(platform::Get_Local_Time()) + " " + line); }, &ipc_why);
  if (ipc == 0)
    Log(Time_Text(platform::Get_Local_Time()) + " data-copy socket " + socket_path + " is served by another instance");
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
  interface_type_ = Interface_From_If(GDeviceSettings.IF);
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
    const int port = Listening_Port(Session_Type(interface_type_));
    where += " port " + (port > 0 ? std::to_string(port) : std::string(GDeviceSettings.PORTNO));
  }
  Log(Time_Text(platform::Get_Local_Time()) + " serving " + where + " from " + Get_Program_Directory() +
      requests_on_);
  return true;
}

void HeadlessServer::Reload() {
  const std::string now = Time_Text(platform::Get_Local_Time());
  Log(now + " SIGHUP: reading the configuration again");
  platform::Notify_Service_Manager("RELOADING=1\n" + platform::Monotonic_Usec_Field());
  Stop_Link_Manager();
  const int left = End_Remaining_Sessions(config_.end_wait_ms);
  if (left != 0) {
    // A session that does not end still holds its station; a new link
    // beside it would serve that station twice.
    Log(Time_Text(platform::Get_Local_Time()) + " " + std::to_string(left) +
        " session(s) did not end in time; stopping");
    exit_status_ = SERVER_UNCLEAN_END;
    quit_ = true;
    return;
  }
  Log(Time_Text(platform::Get_Local_Time()) + " reading device.ini and panelset.ini");
  std::string why;
  if (!Load_Configuration(&why) || !Start_Link(&why)) {
    Log(Time_Text(platform::Get_Local_Time()) + " cannot serve with the new configuration: " + why);
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
  const unsigned char type = Session_Type(interface_type_);
  // The IO boxes that are switched on are the ones the SCSI link serves.
  if (interface_type_ == kScsi) Check_For_PowerOn_IOboxes_And_Change_Gscsiscan();
  if (Start_A_Session(type, Session_Arg(interface_type_)) < 0) {
    platform::Message_Box("Error Starting LinkManager", "Message Box");
    return;
  }
  link_running_ = true;
}

void HeadlessServer::Stop_Link_Manager() {
  if (!link_running_) return;
  link_running_ = false;
  Log(Time_Text(platform::Get_Local_Time()) + " stopping the Link Manager");
  if (Stop_A_Session(Session_Type(interface_type_), Session_Arg(interface_type_)) < 0)
    platform::Message_Box("Error Stopping LinkManager", "Message Box");
  for (int ht = 1; ht <= MAX_HT; ++ht) {
    InfoHT& info = Info_Of(ht);
    platform::Store(info.BatchFlag, 0);
    platform::Store(info.CurrentlySelected, 0);
    platform::Store(info.CheckFlag, 0);
  }
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
  if (left > 0) {
    Log(Time_Text(platform::Get_Local_Time()) + " " + std::to_string(left) + " session(s) did not end in time");
    exit_status_ = SERVER_UNCLEAN_END;
  }
  data_copy_.Stop();
  if (signals_) {
    platform::End_Stop_Signal_Watch();
    signals_ = false;
  }
  Log(Time_Text(platform::Get_Local_Time()) + " stopped");
}

void HeadlessServer::On_Status(platform::WPARAM ht, platform::LPARAM value) {
  const platform::LocalTime now = platform::Get_Local_Time();
  InfoHT info{};
  if (ht >= 1 && ht <= MAX_HT) info = Snapshot_Of(static_cast<int>(ht));
  if (ht == 0) last_link_code_ = static_cast<int>(value);
  Log(Status_Line(now, ht, value, info));
  Notify_Status(false);
  if (ht == 0 && link_running_ && !closing_ && Ends_The_Link_Code(static_cast<int>(value), interface_type_)) {
    // Nobody can reach the server any more; a service manager restarts it.
    Log(Time_Text(now) + " the link ended by itself (" + std::to_string(value) + " " +
        Ending_Text(static_cast<int>(value)) + "); stopping with status 1");
    exit_status_ = SERVER_CANNOT_START;
    quit_ = true;
  }
  // The entry the GUI's error window would write.
  const StatusMeaning meaning = Status_Meaning(ht, value, info);
  if (GPanelSettings.detail_log == 1 && meaning.error_window)
    Log_Error_Window(Detail_Log_Path(), static_cast<int>(ht), Ending_Text(meaning.code).c_str());
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
    case WM_HT_STATUS:
      On_Status(m.wParam, m.lParam);
      break;
    case WM_ONESHOT_END:
      Log(Time_Text(platform::Get_Local_Time()) + " one-shot session ended");
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
        Log(Time_Text(platform::Get_Local_Time()) + " " + name + " again: ending at once");
        std::_Exit(SERVER_UNCLEAN_END);
      }
      Log(Time_Text(platform::Get_Local_Time()) + " " + name + ": stopping");
      quit_ = true;
      break;
    }
    case WM_SERVER_STOP:
      quit_ = true;
      break;
    case WM_DATA_COPY: {
      auto* call = reinterpret_cast<DataCopyCall*>(m.lParam);
      call->reply = Handle_Data_Copy(call->tag, call->data.data(), call->data.size(), *this);
      break;
    }
    default:
      break;
  }
}
