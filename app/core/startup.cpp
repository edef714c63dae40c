#include "app/core/startup.h"

#include "app/core/devini.h"
#include "app/core/panelset.h"
#include "app/core/progdir.h"
#include "app/core/text.h"
#include "channel/mux32.h"
#include "engine/rox32.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"

namespace {

void Copy_Run_Options() {
  platform::Store(GErrCode, GRunOptions.code);
  platform::Store(GChildThrough, static_cast<std::int32_t>(GRunOptions.child_through ? 1 : 0));
  Set_Command_Timeout(GRunOptions.command_timeout);
}

}  // namespace

int Load_Run_Options() {
  const int result = Read_Run_Options();
  Copy_Run_Options();
  return result;
}

bool Load_Device_And_Panel_Settings() {
  const bool read = Read_Device_Ini();
  Read_Panel_Settings();
  return read;
}

void Apply_Settings_To_Globals(platform::HWND main_window) {
  Copy_Run_Options();
  platform::Store(HandleForROXToMainWindow, main_window);
  platform::Store(HandleForTetherToMainWindow, main_window);
  platform::Store(HandleForDriverToMainWindow, main_window);
  Get_Program_Directory();  // points Instance_Handle at the program directory
}

void Apply_One_Shot_Mode() {
  if (GRunOptions.server && GRunOptions.one_shot) platform::Store(OneShotMode, std::int32_t{1});
}

unsigned char Link_Session_Type(int interface_type) { return static_cast<unsigned char>(interface_type + 1); }
unsigned int Link_Session_Arg(int interface_type) { return interface_type == kRs232 ? 2 : 0; }

int Interface_Of_If(const char* text) {
  if (text == nullptr) return -1;
  if (core_text::Same_Text(text, "RS232C")) return kRs232;
  if (core_text::Same_Text(text, "SCSI")) return kScsi;
  if (core_text::Same_Text(text, "ETHERNET")) return kTcpip;
  return -1;
}

void Clear_Station_Choices() {
  for (int ht = 1; ht <= MAX_HT; ++ht) {
    InfoHT& info = Info_Of(ht);
    platform::Store(info.BatchFlag, 0);
    platform::Store(info.CurrentlySelected, 0);
    platform::Store(info.CheckFlag, 0);
  }
}
