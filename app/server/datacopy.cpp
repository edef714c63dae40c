// The data-copy operations on the shared session table.
#include "app/server/datacopy.h"

#include <cstring>

#include "app/server/detail_log.h"
#include "engine/rox32.h"
#include "platform/atomic.h"
#include "platform/clock.h"

namespace {

static_assert(kMaxCommandLine == CMD_BUF_SIZE - 1);

constexpr int kRs232 = 0;
constexpr std::uint16_t kModeCommandGiven = 4;

// The HT number the request names, or 0 when it names none.
int Ht_Of(std::uint32_t tag, const DataCopyHost& host) {
  int index = static_cast<int>((tag >> 8) & 0xFF);
  if (host.Interface_Type() == kRs232) index = 0;
  return index + 1 <= MAX_HT ? index + 1 : 0;
}

}  // namespace

int Handle_Data_Copy(std::uint32_t tag, const char* data, std::size_t length, DataCopyHost& host) {
  const auto op = static_cast<std::uint8_t>(tag & 0xFF);
  const int ht = Ht_Of(tag, host);
  switch (op) {
    case DC_COMMAND: {
      if (ht == 0) return 0;
      // The line ends at its NUL or with the block, whichever comes first. A
      // line that the slot cannot hold with its NUL is refused before
      // anything changes: cut short, a list of names would name other files.
      const std::size_t n = data ? strnlen(data, length) : 0;
      if (n >= static_cast<std::size_t>(CMD_BUF_SIZE)) return 0;
      char line[CMD_BUF_SIZE] = {};
      if (n) std::memcpy(line, data, n);
      host.Command_Flags_Off();
      InfoHT& info = Info_Of(ht);
      platform::Store(info.BatchFlag, 0);
      platform::Store(info.Mode, kModeCommandGiven);
      if (!Write_Command_Buffer(ht, line)) return 0;
      if (!host.Link_Manager_Running()) host.Start_Link_Manager();
      return 1;
    }
    case DC_COMMAND_TAKEN:
      return ht != 0 && Command_Buffer_Empty(ht) ? 1 : 0;
    case DC_MODE_SET:
      return ht != 0 && platform::Load(Info_Of(ht).Mode) != 0 ? 1 : 0;
    case DC_ACTIVE:
      if (ht == 0) return 0;
      return platform::Load(Info_Of(ht).BusyFlag) != 0 || platform::Load(Info_Of(ht).WaitingGUICommand) != 0 ? 1
                                                                                                            : 0;
    case DC_PING:
      if (data != nullptr && strnlen(data, length) == std::strlen(kComeToFront) &&
          std::memcmp(data, kComeToFront, std::strlen(kComeToFront)) == 0)
        host.Come_To_Front();
      return 1;
    case DC_DETAIL_LOG: {
      if (ht == 0) return 0;
      const InfoHT snapshot = Snapshot_Of(ht);
      char commands[CMD_BUF_SIZE];
      Read_Command_Buffer(ht, commands, sizeof commands);
      Append_Detail_Log(host.Detail_Log_Path(),
                        Format_Detail_Entry(platform::Get_Local_Time(), nullptr, &snapshot, commands));
      return 1;
    }
    default:
      return 0;
  }
}
