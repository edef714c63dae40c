// device.ini as the operator application keeps it: read once at start-up
// into memory, pushed into the libraries' globals, and rewritten as a whole
// whenever the operator saves settings.
//
// The file lives in the program directory (app/core/progdir.h). The channel
// layer, the link manager and the TCP/IP driver read the same file with
// their own readers.
//
// Threads: the readers and the writer run on the application's main thread.
// Other threads (ping passes, station view painting) may read
// GDeviceSettings and GStationIpTable while no reader runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The interface settings, as texts exactly as the file gives them (one
// trailing CR removed), each empty until read. A value longer than its field
// is refused: the field keeps what it held. ErrorFile and WorkFile live in
// the engine's DefErrorFile and DefWorkFile.
struct DeviceSettings {
  char IF[32];               // "RS232C", "SCSI" or "ETHERNET"
  char INFORMATION[1024];    // free text, written back unchanged
  char Port[32];
  char Baud[32];
  char Parity[32];
  char Stop[32];
  char Data[32];
  char Scantime[32];         // as read; GScanTime holds the clamped number
  char TCP_TIMEOUT[32];
  char PING_TIMEOUT[32];
  char SELECT_TIMEOUT[32];
  char PORTNO[32];
  char IPADDR[64];           // read, never written back
  std::uint8_t MAX_IO;       // [ETHERNET] MAX_IO in 8 bits; 100 when absent
};

// One TCP/IP station of [USE_IP].
struct StationIpRow {
  char key[4];        // station number in decimal, "1".."255"; empty ends the table
  char address[80];   // address text as the file gives it (at most 39 characters)
};

// The stations in station-number order.
struct StationIpTable {
  StationIpRow rows[255];
  int count;          // rows in use; rows[count].key is empty when count < 255
};

extern DeviceSettings GDeviceSettings;
extern StationIpTable GStationIpTable;

// Message-box texts of this file's functions.
constexpr const char* kDeviceIniMissing = "Device.ini File Missing";
constexpr const char* kDeviceIniNotFound = "Device.ini Not Found";
constexpr const char* kDeviceIniNotSaved =
    "Device.ini could not be saved; the previous settings file was kept";

// Reads device.ini from the program directory into GDeviceSettings,
// DefErrorFile, DefWorkFile (WorkFile rule: empty or blank gives the program
// directory, "X:" gives "X:\", anything else gets a closing separator) and
// GScanTime (Scantime seconds as milliseconds, clamped to 500..30000), then
// Load_Station_Ip_Table and MAX_IO. Only keys present in the file change a
// value. A missing or unreadable file shows "Device.ini File Missing",
// changes nothing and returns false.
bool Read_Device_Ini();

// Fills GStationIpTable from [USE_IP] keys 1..255 of device.ini (profile
// lookups, so a missing file gives an empty table). Returns the row count.
int Load_Station_Ip_Table();

// Rewrites device.ini in the program directory from GDeviceSettings,
// DefErrorFile, DefWorkFile and GStationIpTable (Format_Device_Ini). The
// new file replaces the old one in one step; on failure a message box says
// so, the old file stays as it was, and false is returned.
bool Write_Device_Ini();

// [ETHERNET] PING_TIMEOUT in milliseconds, looked up anew on every call;
// 1000 when the key is absent. A missing device.ini shows "Device.ini Not
// Found" and gives 0.
int Get_Ping_Timeout();

// --- Pure parts, for tests and fuzzing ---------------------------------------

// What the tokenizer found besides the DeviceSettings texts.
struct DeviceIniExtras {
  bool error_file_set = false;
  std::string error_file;     // as it stands
  bool work_file_set = false;
  std::string work_file;      // after the WorkFile rule
  bool scan_time_set = false;
  std::uint32_t scan_time_ms = 0;
};

// Tokenizes device.ini's text (separators '=', ',' and LF; sections play no
// part) and stores the keys it knows into *settings and *extras.
// program_dir is the WorkFile default. Text after a NUL byte is ignored.
void Parse_Device_Ini(std::string_view text, const std::string& program_dir,
                      DeviceSettings* settings, DeviceIniExtras* extras);

// The WorkFile rule on its own.
std::string Work_Folder_Of(std::string_view value, const std::string& program_dir);

// Scantime seconds as milliseconds clamped to 500..30000; an empty,
// non-numeric or negative value gives 500.
std::uint32_t Scan_Time_Ms(std::string_view value);

// The complete file: fixed lines in a fixed order, each ended by CR LF.
std::string Format_Device_Ini(const DeviceSettings& settings, const char* error_file,
                              const char* work_file, const StationIpTable& table);

// Empty settings (every text empty, MAX_IO 100) and an empty table.
void Clear_Device_Settings(DeviceSettings* settings);
void Clear_Station_Ip_Table(StationIpTable* table);
