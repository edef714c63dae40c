// panelset.ini: the application's run options ([CODE], [MODE]) and its
// display, debug and packet-size settings ([GUI], [DEBUG], [ETC]). The file
// lives in the program directory and is only ever read.
//
// Threads: read on the application's main thread at start-up; the records
// are read-only afterwards.
#pragma once

#include <cstdint>
#include <string_view>

// [CODE] and [MODE], with their defaults.
struct RunOptions {
  std::int32_t code = 0;              // [CODE] -1, hexadecimal: child exit code base
  bool minimize = false;              // MINIMIZE: start with the window minimised
  bool server = false;                // SERVER: start the Link Manager at once
  bool one_shot = false;              // 1SHOT: with SERVER, one RS-232C session only
  std::int32_t command_timeout = 30;  // COMMAND_TIMEOUT seconds, 0..3600
  bool single_instance = false;       // DUPLICATE=OFF: only one instance may run
  bool child_through = false;         // CHILD_THROUGH: do not wait for child programs
};

// [GUI], [DEBUG] and [ETC], with their defaults.
struct PanelSettings {
  std::int32_t bar_height = 45;        // BARHEIGHT
  std::int32_t num_of_bar = 3;         // NUMOFBAR
  std::uint8_t send_rgb[3] = {0, 0, 128};  // SENDR, SENDG, SENDB
  std::uint8_t recv_rgb[3] = {0, 0, 128};  // RECVR, RECVG, RECVB
  std::int32_t border1 = 2;            // BOARDER1
  std::int32_t border2 = 1;            // BOARDER2
  std::uint8_t main_win_height_fix = 0;  // MAINWINHEIGHTFIX
  std::uint8_t detail_log = 0;         // DETAILLOG (1: error windows also log)
  std::uint8_t scsi_log = 0;           // SCSILOG, copied to the SCSI driver
  std::uint32_t max_send_size = 2032;  // MAXSENDSIZE, copied to MAX_WRITE_SIZE
};

extern RunOptions GRunOptions;
extern PanelSettings GPanelSettings;

// Results of Read_Run_Options.
enum RunOptionsResult : int {
  RO_OK = 0,
  RO_NO_FILE = -1,         // panelset.ini cannot be opened
  RO_BAD_FILE = -2,        // unknown [MODE] key, a section not found, early end, read error
  RO_BAD_MINIMIZE = -3,    // MINIMIZE not ON or OFF
  RO_BAD_SERVER = -4,      // SERVER not ON or OFF
  RO_BAD_ONE_SHOT = -5,    // 1SHOT not ON or OFF
  RO_BAD_SWITCH = -6,      // DUPLICATE or CHILD_THROUGH not ON or OFF
  RO_KEY_COUNT = -7,       // [MODE] did not hold exactly six accepted keys
  RO_BAD_CODE_KEY = -8,    // the [CODE] key is not -1
  RO_BAD_CODE_VALUE = -9,  // the [CODE] value is not one hexadecimal number
};

// Largest MAXSENDSIZE the engine can put into one packet.
constexpr std::uint32_t kMaxSendSizeLimit = 65000;

// Message-box text of Read_Panel_Settings.
constexpr const char* kPanelsetNotFound = "panelset.ini Not Found";

// Reads [CODE] and [MODE] of panelset.ini in the program directory into
// GRunOptions, which starts from its defaults. Values accepted before an
// error stay in force. Returns a RunOptionsResult; nothing is shown.
int Read_Run_Options();

// Sets GPanelSettings to its defaults, then, unless panelset.ini is missing
// ("panelset.ini Not Found" is shown), replaces each default whose key is
// present by its decimal value (colours and one-byte switches keep the low
// 8 bits; a MAXSENDSIZE below 1 keeps 2032, above 65000 becomes 65000).
// Copies SCSILOG and MAXSENDSIZE into the SCSI driver's SCSILOG and the
// engine's MAX_WRITE_SIZE.
void Read_Panel_Settings();

// The [CODE]/[MODE] parser on a file's text; stores into *options (which
// the caller has set to its defaults) and returns a RunOptionsResult.
int Parse_Run_Options(std::string_view text, RunOptions* options);
