// The settings files: device.ini through the application's reader and the
// channel layer's reader (every interface type), and panelset.ini's
// [CODE]/[MODE] parser. The input is the file's text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/core/devini.h"
#include "app/core/panelset.h"
#include "channel/drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 200000) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  DeviceSettings settings;
  Clear_Device_Settings(&settings);
  DeviceIniExtras extras;
  Parse_Device_Ini(text, "/prog/", &settings, &extras);
  StationIpTable table;
  Clear_Station_Ip_Table(&table);
  Format_Device_Ini(settings, extras.error_file.c_str(), extras.work_file.c_str(), table);
  for (int type = 1; type <= 3; ++type) Parse_Channel_Settings(text, type);
  RunOptions options;
  Parse_Run_Options(text, &options);
  return 0;
}
