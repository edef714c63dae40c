// Driver start: device.ini settings, addresses and station numbers.
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <type_traits>

#include "channel/mux32.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/profile.h"
#include "platform/socket.h"
#include "tcpip/internal.h"
#include "tcpip/netport.h"

namespace netport {

Settings g_settings;

namespace {

constexpr const char* kNotFound = "Stringnotfound";
constexpr const char* kCaption = "Message Box";
constexpr std::size_t kValueSize = 80;
constexpr std::size_t kAddressSize = 24;

std::mutex g_address_mutex;
char g_local_address[kAddressSize] = "";
char g_listen_address[kAddressSize] = "";
bool g_listen_set = false;

std::atomic<int> g_started{0};

bool File_Exists(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

// One [ETHERNET]/[IOBOX] number: missing_key when the key is absent, 0 and a
// message box when device.ini is missing.
int Read_Number(const std::string& ini, bool exists, const char* section, const char* key,
                int missing_key, const char* missing_file_text) {
  if (!exists) {
    platform::Message_Box(missing_file_text, kCaption);
    return 0;
  }
  char value[kValueSize];
  platform::Get_Private_Profile_String(section, key, kNotFound, value, sizeof value, ini.c_str());
  if (std::strcmp(value, kNotFound) == 0) return missing_key;
  return Plain_Decimal(value);
}

// TCPIP_Connections marks station numbers in use (index = station number).
// Read with an atomic load: HT threads clear their marks while the accepting
// thread numbers a new connection.
template <typename Table>
bool Station_Marked(Table& table, int station) {
  if constexpr (std::is_array_v<Table>) {
    // Station numbers are 1..255; the table is at least that long.
    constexpr std::size_t bound = std::extent_v<Table> == 0 ? 256 : std::extent_v<Table>;
    if (station < 0 || static_cast<std::size_t>(station) >= bound) return false;
    return platform::Load(table[station]) != 0;
  } else {
    // A build whose link manager publishes no per-station marks.
    (void)table;
    (void)station;
    return false;
  }
}

}  // namespace

int Plain_Decimal(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    v = v * 10 + (*p - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  return static_cast<int>(v);
}

std::string Device_Ini_Path() {
  if (Instance_Handle == nullptr) return {};
  const char* module = Instance_Handle->module_path;
  std::size_t n = strnlen(module, sizeof Instance_Handle->module_path);
  std::string path(module, n);
  std::size_t cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return "device.ini";
  path.resize(cut + 1);
  return path + "device.ini";
}

std::uint64_t Tcp_Timeout_Ms() {
  int t = g_settings.tcp_timeout.load(std::memory_order_relaxed);
  return t > 0 ? static_cast<std::uint64_t>(t) * 1000u : 0;
}

std::uint64_t Deadline_From_Now() { return platform::Monotonic_Ms() + Tcp_Timeout_Ms(); }

std::string Bind_Address() {
  std::lock_guard<std::mutex> lock(g_address_mutex);
  return g_listen_set ? std::string(g_listen_address) : std::string();
}

std::string Connect_Address() {
  std::lock_guard<std::mutex> lock(g_address_mutex);
  return std::string(g_listen_set ? g_listen_address : g_local_address);
}

int Station_Number(const char* peer) {
  const std::string ini = Device_Ini_Path();
  if (!File_Exists(ini)) {
    platform::Message_Box("Device.ini File Missing", kCaption);
    return 0;
  }
  int candidate = 0;
  // The table as the file holds it now, read once for all 255 keys.
  const platform::Profile_File file(ini.c_str());
  for (int i = 1; i <= 255; ++i) {
    char key[8];
    std::snprintf(key, sizeof key, "%d", i);
    char value[kValueSize];
    file.Get("USE_IP", key, kNotFound, value, sizeof value);
    if (std::strcmp(value, kNotFound) == 0) {
      if (candidate == 0 && !Station_Marked(TCPIP_Connections, i)) candidate = i;
      continue;
    }
    if (std::strcmp(value, peer) == 0) return i;
  }
  return candidate;
}

}  // namespace netport

namespace {

void Count_Start() { netport::g_started.fetch_add(1); }

// One cleanup of a start; false when none was left (the call "fails").
bool Count_Cleanup() {
  int n = netport::g_started.load();
  while (n > 0) {
    if (netport::g_started.compare_exchange_weak(n, n - 1)) return true;
  }
  return false;
}

}  // namespace

using namespace netport;

int So_Started_Count() { return netport::g_started.load(); }

int so_init() {
  const std::string ini = Device_Ini_Path();
  const bool exists = File_Exists(ini);
  int port = 0;
  if (!exists) {
    platform::Message_Box("Device.ini File Missing", kCaption);
  } else {
    // A port that is no port would have the kernel choose one (or the low 16
    // bits pick another), and no HT would ever find the PC: stop here.
    char value[kValueSize];
    platform::Get_Private_Profile_String("ETHERNET", "PORTNO", kNotFound, value, sizeof value, ini.c_str());
    if (std::strcmp(value, kNotFound) == 0) {
      platform::Message_Box("device.ini [ETHERNET] has no PORTNO (the TCP port to listen on, 1 to 65535)",
                            kCaption);
      return SO_BAD_PORT;
    }
    port = platform::Port_Number_From_Text(value);
    if (port < 0) {
      platform::Message_Box(std::string("device.ini [ETHERNET] PORTNO=") + value +
                                " is not a TCP port number (1 to 65535)",
                            kCaption);
      return SO_BAD_PORT;
    }
  }
  // Wider than any address, so a long value is judged whole, not cut.
  char listen[64];
  const bool listen_set = platform::Listen_Address_From_Environment(listen, sizeof listen);
  if (listen_set && !platform::Is_Ipv4_Address(listen)) {
    platform::Message_Box(std::string("TARNEL_LISTEN=") + listen +
                              " is not an IPv4 address (dotted decimal, such as 192.168.1.10)",
                          kCaption);
    return SO_BAD_LISTEN_ADDRESS;
  }
  g_settings.port.store(port);
  g_settings.tcp_timeout.store(
      Read_Number(ini, exists, "ETHERNET", "TCP_TIMEOUT", 60, "Device.ini Not Found"));
  g_settings.select_timeout.store(
      Read_Number(ini, exists, "ETHERNET", "SELECT_TIMEOUT", 60, "Device.ini Not Found"));
  {
    char local[kAddressSize];
    platform::Host_Address(local, sizeof local);
    std::lock_guard<std::mutex> lock(g_address_mutex);
    std::memcpy(g_local_address, local, sizeof local);
    std::snprintf(g_listen_address, sizeof g_listen_address, "%s", listen_set ? listen : "");
    g_listen_set = listen_set;
  }
  g_settings.iobox_rbytes.store(
      Read_Number(ini, exists, "IOBOX", "IOBOX_RBYTES", 0, "Device.ini Not Found"));
  Count_Start();
  Clear_Free_Slots();
  return 0;
}

int so_reset() {
  // Every start is undone; the last attempt finds the driver not started,
  // which is the normal end of the loop.
  while (Count_Cleanup()) {
  }
  Reset_Tables();
  return 0;
}
