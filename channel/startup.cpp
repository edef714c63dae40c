// Startup_Channels: the channel layer's own reader of device.ini and the start
// of the selected driver.
//
// The reader walks the file one character at a time, the way the file has
// always been read by this layer: first the two letters "IF" anywhere, then
// the interface's section header at the start of a line, then KEY=VALUE
// entries until a bracket or the end of the file ends the section. Blanks
// and carriage returns inside keys and values are dropped.
#include <cstdio>
#include <cstring>
#include <string>

#include "channel/drivers.h"
#include "channel/ini_text.h"
#include "platform/progdir.h"
#include "platform/atomic.h"
#include "scsi/boxlink.h"

namespace {

using ini_text::kEnd;

// A settings file larger than this is not a settings file; it is refused as
// a read error rather than read into memory.
constexpr std::size_t kMaxIniBytes = 4u * 1024 * 1024;

using ini_text::Reader;

bool Is_Blank(int c) { return c == ' ' || c == '\t'; }

using ini_text::Same_Text;

template <std::size_t N>
int Index_Of(std::string_view value, const char* const (&names)[N]) {
  for (std::size_t i = 0; i < N; ++i)
    if (Same_Text(value, names[i])) return static_cast<int>(i);
  return -1;
}

constexpr const char* kPorts[] = {"COM1", "COM2", "COM3", "COM4"};

// Port may also name a serial device itself: a path under /dev/ that fits
// the settings' device field, without blanks or "..".
bool Is_Device_Path(const std::string& value) {
  return value.rfind("/dev/", 0) == 0 && value.size() > 5 && value.size() < sizeof(SerialSettings{}.device) &&
         value.find_first_of(" \t") == std::string::npos && value.find("..") == std::string::npos;
}
constexpr const char* kBauds[] = {"110",  "300",   "1200",  "2400",  "4800",
                                  "9600", "19200", "38400", "57600", "115200"};
constexpr const char* kParities[] = {"NONE", "EVEN", "ODD"};
constexpr const char* kStops[] = {"1", "1.5", "2"};
constexpr const char* kDatas[] = {"5", "6", "7", "8"};

enum class Key {
  kBaud, kParity, kStop, kPort, kData, kIrq, kIoAddr, kScanTime,
  kIpAddr, kPortNo, kMaxIo, kPingTimeout, kTcpTimeout, kSelectTimeout,
};

constexpr struct {
  const char* name;
  Key key;
} kKeys[] = {
    {"BAUD", Key::kBaud},         {"PARITY", Key::kParity},
    {"STOP", Key::kStop},         {"PORT", Key::kPort},
    {"DATA", Key::kData},         {"IRQ", Key::kIrq},
    {"IO_ADDR", Key::kIoAddr},    {"SCANTIME", Key::kScanTime},
    {"IPADDR", Key::kIpAddr},     {"PORTNO", Key::kPortNo},
    {"MAX_IO", Key::kMaxIo},      {"PING_TIMEOUT", Key::kPingTimeout},
    {"TCP_TIMEOUT", Key::kTcpTimeout}, {"SELECT_TIMEOUT", Key::kSelectTimeout},
};

bool Find_Key(std::string_view name, Key* key) {
  for (const auto& k : kKeys)
    if (Same_Text(name, k.name)) {
      *key = k.key;
      return true;
    }
  return false;
}

// Whole decimal integer, optional sign; false for anything else.
bool Parse_Decimal(std::string_view s, long long* out) {
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) return false;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    if (v < 1000000000000LL) v = v * 10 + (s[i] - '0');  // saturates far above any use
  }
  *out = negative ? -v : v;
  return true;
}

// Integer in C notation: decimal, 0x hexadecimal or leading-zero octal.
bool Parse_C_Integer(std::string_view s, long long* out) {
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int base = 10;
  if (s.size() - i >= 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  } else if (s.size() - i >= 2 && s[i] == '0') {
    base = 8;
    ++i;
  }
  if (i == s.size()) return false;
  long long v = 0;
  for (; i < s.size(); ++i) {
    int d;
    const char c = s[i];
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    if (d >= base) return false;
    if (v < 1000000000000LL) v = v * base + d;
  }
  *out = negative ? -v : v;
  return true;
}

// Decimal seconds (a fraction allowed) as whole milliseconds, truncated
// toward zero; reading stops at the first character that does not fit, and
// a text without digits is 0. Saturates far above any scan time.
long long Seconds_To_Ms(std::string_view s) {
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  long long whole = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
    if (whole < 1000000000LL) whole = whole * 10 + (s[i] - '0');
  long long ms = whole * 1000;
  if (i < s.size() && s[i] == '.') {
    ++i;
    long long scale = 100;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, scale /= 10) ms += (s[i] - '0') * scale;
  }
  return negative ? -ms : ms;
}

// The scan time as the SCSI driver takes it: the comparison is unsigned, so
// a negative time ends at the top of the range.
std::uint32_t Clamp_Scan_Time(long long ms) {
  if (ms < 0 || ms > 30000) return 30000;
  if (ms < 500) return 500;
  return static_cast<std::uint32_t>(ms);
}

enum class Piece { kDone, kSectionEnd, kEnd };

// Reads a key name up to '=', dropping line feeds, carriage returns and
// blanks. kSectionEnd for a bracket, kEnd at the end of the text.
Piece Read_Key(Reader& in, std::string* key) {
  key->clear();
  for (;;) {
    const int c = in.Get();
    if (c == kEnd) return Piece::kEnd;
    if (c == '=') return Piece::kDone;
    if (c == '[' || c == ']') return Piece::kSectionEnd;
    if (c == '\n' || c == '\r' || Is_Blank(c)) continue;
    key->push_back(static_cast<char>(c));
  }
}

// Reads a value up to its line feed (or 0xFF when ff_ends is set), dropping
// carriage returns and blanks.
Piece Read_Value(Reader& in, bool ff_ends, std::string* value) {
  value->clear();
  for (;;) {
    const int c = in.Get();
    if (c == kEnd) return Piece::kEnd;
    if (c == '\n' || (ff_ends && c == 0xFF)) return Piece::kDone;
    if (c == '[' || c == ']') return Piece::kSectionEnd;
    if (c == '\r' || Is_Blank(c)) continue;
    value->push_back(static_cast<char>(c));
  }
}

// Finds the line that starts with '[' followed by name (case matters; the
// rest of that line is skipped). False at the end of the text.
bool Find_Section(Reader& in, std::string_view name) {
  for (;;) {
    int c = in.Get();
    if (c == kEnd) return false;
    if (c == '\n') continue;
    if (c != '[') {
      if (!in.Skip_Line()) return false;
      continue;
    }
    bool matched = true;
    for (const char want : name) {
      c = in.Get();
      if (c == kEnd) return false;
      if (c != static_cast<unsigned char>(want)) {
        matched = false;
        break;
      }
    }
    if (matched) {
      in.Skip_Line();  // the end of the text here just leaves the section empty
      return true;
    }
    if (c != '\n' && !in.Skip_Line()) return false;
  }
}

// One entry of the section: checks or skips its value. Returns 0 to go on,
// 1 when the section ended, or a negative result code.
int Handle_Entry(Reader& in, Key key, ChannelSettings* s) {
  const bool ff_ends = key == Key::kPortNo || key == Key::kMaxIo || key == Key::kPingTimeout ||
                       key == Key::kTcpTimeout || key == Key::kSelectTimeout;
  std::string value;
  const Piece p = Read_Value(in, ff_ends, &value);
  if (p == Piece::kEnd) return CH_INI_ERROR;
  if (p == Piece::kSectionEnd) return 1;

  int i;
  long long n;
  switch (key) {
    case Key::kPort:
      s->serial.device[0] = '\0';
      if (Is_Device_Path(value)) {
        // A device the operator picked from the devices that exist.
        s->serial.port_index = 0;
        std::memcpy(s->serial.device, value.c_str(), value.size() + 1);
        break;
      }
      if ((i = Index_Of(value, kPorts)) < 0) return CH_BAD_PORT;
      s->serial.port_index = static_cast<std::uint8_t>(i);
      break;
    case Key::kBaud:
      if ((i = Index_Of(value, kBauds)) < 0) return CH_BAD_BAUD;
      s->serial.baud_code = static_cast<std::uint8_t>(i);
      break;
    case Key::kParity:
      if ((i = Index_Of(value, kParities)) < 0) return CH_BAD_PARITY;
      s->serial.parity_code = static_cast<std::uint8_t>(i);
      break;
    case Key::kStop:
      if ((i = Index_Of(value, kStops)) < 0) return CH_BAD_STOP;
      s->serial.stop_code = static_cast<std::uint8_t>(i);
      break;
    case Key::kData:
      if ((i = Index_Of(value, kDatas)) < 0) return CH_BAD_DATA;
      s->serial.data_code = static_cast<std::uint8_t>(i);
      break;
    case Key::kIrq:
      // Checked and counted; the value is not used.
      if (!Parse_Decimal(value, &n) || n < 0 || n > 15) return CH_BAD_IRQ;
      break;
    case Key::kIoAddr:
      // Counted; the value is not used, and no value is refused.
      Parse_C_Integer(value, &n);
      break;
    case Key::kScanTime:
      s->scan_time_set = true;
      s->scan_time_ms = Clamp_Scan_Time(Seconds_To_Ms(value));
      return 0;
    default:
      // Read by the TCP/IP driver and the link manager themselves.
      return 0;
  }
  // A key given twice counts once: the section must name five different
  // serial keys, so a doubled key cannot stand in for a missing one.
  const unsigned bit = 1u << static_cast<unsigned>(key);
  if ((s->serial_seen & bit) == 0) {
    s->serial_seen |= bit;
    ++s->serial_keys;
  }
  return 0;
}

std::string Settings_Path() {
  const InstanceHandle* handle = platform::Load(Instance_Handle);
  if (handle == nullptr) return {};
  const char* module = handle->module_path;
  std::string path(module, strnlen(module, sizeof handle->module_path));
  const std::size_t cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return "device.ini";
  path.resize(cut + 1);
  return path + "device.ini";
}


}  // namespace

ChannelSettings Parse_Channel_Settings(std::string_view text, int type) {
  ChannelSettings s;
  Reader in(text);

  // The interface key: 'I' directly followed by 'F', either case, anywhere.
  int prev = kEnd;
  for (;;) {
    const int c = in.Get();
    if (c == kEnd) {
      s.result = CH_INI_ERROR;
      return s;
    }
    if ((prev == 'I' || prev == 'i') && (c == 'F' || c == 'f')) break;
    prev = c;
  }
  // The rest of that line is the IF value; the type argument alone chooses.
  in.Skip_Line();

  const char* section;
  switch (type) {
    case 1: s.interface = 0; section = "RS232C"; break;
    case 2: s.interface = 1; section = "SCSI"; break;
    case 3: s.interface = 2; section = "ETHERNET"; break;
    default:
      s.result = CH_BAD_TYPE;
      return s;
  }

  if (!Find_Section(in, section)) {
    s.result = CH_INI_ERROR;
    return s;
  }

  std::string name;
  for (;;) {
    const Piece p = Read_Key(in, &name);
    if (p != Piece::kDone) break;
    Key key;
    if (!Find_Key(name, &key)) {
      s.result = CH_INI_ERROR;
      return s;
    }
    const int r = Handle_Entry(in, key, &s);
    if (r < 0) {
      s.result = r;
      return s;
    }
    if (r == 1) break;
  }

  if (s.interface == 0 && s.serial_keys != 5) s.result = CH_SERIAL_KEYS;
  return s;
}

int Startup_Channels(int type) {
  const std::string path = Settings_Path();
  if (path.empty()) return CH_NO_INI;
  std::string text;
  bool opened = false;
  if (!platform::Read_Small_File(path, &text, kMaxIniBytes, &opened))
    return opened ? CH_INI_ERROR : CH_NO_INI;

  const ChannelSettings s = Parse_Channel_Settings(text, type);
  if (s.interface >= 0) platform::Store(GInterface, s.interface);
  if (s.scan_time_set) platform::Store(GScanTime, s.scan_time_ms);
  if (s.result != 0) return s.result;

  if (s.interface == 0) GSerialSettings = s.serial;
  const int r = Start_Driver(s.interface);
  return r < 0 ? r : 0;
}
