// Error codes from the protocol form, the error log, and the status update
// through which an engine tells the main window about its HT.
#include <cstdio>
#include <cstring>

#include "channel/mux32.h"
#include "engine/rox32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/pcfs.h"
#include "platform/window.h"

namespace {

constexpr int kScsiInterface = 1;

// Class-1 details that follow the first nine (0 to 8 give codes 30 to 38).
constexpr std::uint8_t kClass1Details[] = {0x10, 0x12, 0x13, 0x15, 0x17, 0x18, 0x19, 0x1A, 0x1B};
constexpr std::uint8_t kClass2Details[] = {0x02, 0x03, 0x0B, 0x0F, 0x10, 0x11, 0x12};
// Class-3 details for codes 55 to 63, then 65 to 69 (64 stays unknown).
constexpr std::uint8_t kClass3DetailsLow[] = {0x13, 0x14, 0x15, 0x17, 0x19, 0x1A, 0x1B, 0x1D, 0x1E};
constexpr std::uint8_t kClass3DetailsHigh[] = {0x20, 0x21, 0x22, 0x23, 0x53};

// Position of detail in list, or -1.
template <std::size_t N>
int Find(const std::uint8_t (&list)[N], std::uint8_t detail) {
  for (std::size_t i = 0; i < N; ++i)
    if (list[i] == detail) return static_cast<int>(i);
  return -1;
}

}  // namespace

short RS232_ROX::Get_Error_Message(unsigned char error_class, unsigned char detail) {
  int i;
  switch (error_class) {
    case 0:
      return detail == 0 ? E_NORMAL : E_UNKNOWN;
    case 1:
      if (detail <= 8) return static_cast<short>(30 + detail);
      if ((i = Find(kClass1Details, detail)) >= 0) return static_cast<short>(39 + i);
      return E_UNKNOWN;
    case 2:
      if ((i = Find(kClass2Details, detail)) >= 0) return static_cast<short>(48 + i);
      return E_UNKNOWN;
    case 3:
      if ((i = Find(kClass3DetailsLow, detail)) >= 0) return static_cast<short>(55 + i);
      if ((i = Find(kClass3DetailsHigh, detail)) >= 0) return static_cast<short>(65 + i);
      return E_UNKNOWN;
    case 4:
      return detail == 0 ? E_READ_ONLY_ACCESS : E_UNKNOWN;
    case 5:
      // Only the HT's own communication endings map back; the PC-side
      // conditions above detail 4 never arrive from an HT.
      return detail <= 4 ? static_cast<short>(71 + detail) : static_cast<short>(E_UNKNOWN);
    default:
      // The HT's notices: one class per code from 0xDC (drive A format) to
      // 0xF8 (break key), detail 0.
      if (error_class >= 0xDC && error_class <= 0xF8 && detail == 0)
        return static_cast<short>(error_class - 0xDC + 1);
      return E_UNKNOWN;
  }
}

void RS232_ROX::Error(short ht_number, short code) {
  std::FILE* log = platform::Open_PC_File(DefErrorFile, "a");
  if (log == nullptr) {
    Update_Status(SessionInfo.Session, nullptr, 0, 0, E_ERRORLOG_OPEN, OpMode);
    return;
  }
  platform::LocalTime now = platform::Get_Local_Time();
  // On SCSI the log shows the IO-box position (0 to 6), one below the HT number.
  int ht = GInterface == kScsiInterface ? ht_number - 1 : ht_number;

  if (code != 0) {
    // A code outside the table is logged as an unknown error.
    const ErrorEntry& entry = ErrorTable[code > 0 && code < ERROR_COUNT ? code : static_cast<short>(E_UNKNOWN)];
    unsigned detail = entry.Detail;
    unsigned error_class = entry.Class;
    // An unknown error shows the pair the HT sent, which has no entry.
    if (code == E_UNKNOWN && PacketBuf != nullptr) {
      detail = PacketBuf[5];
      error_class = PacketBuf[6];
    }
    std::fprintf(log, "\n%3d %3d  %2d-%2d-%4d  %2d-%2d-%2d", ht, static_cast<int>(SessionInfo.Session),
                 now.day, now.month, now.year, now.hour, now.minute, now.second);
    std::fprintf(log, "  0x%02X\t0x%02X\t%s", detail, error_class, entry.Message);
  }
  std::fclose(log);
}

unsigned char RS232_ROX::Update_Status(unsigned short session, const char* text, int mode, int value,
                                       int code, int op_mode) {
  if (code < 0) return 0;
  // Engines always carry an HT number; without one there is no record.
  if (HTNumber < 1 || HTNumber > MAX_HT) return 0;
  InfoHT& info = Info_Of(HTNumber);

  if (code == 0) {
    // Blank-padded text without a terminator; a text that would fill the
    // whole field is cut so that at least one blank follows it.
    std::size_t n = text ? strnlen(text, sizeof info.File - 1) : 0;
    platform::Fill_Bytes(info.File, ' ', sizeof info.File);
    if (n) platform::Store_Bytes(info.File, text, n);
    platform::Store(info.Cent, static_cast<std::uint16_t>(value));
  }
  platform::Store(info.SNo, session);
  platform::Store(info.Mode, static_cast<std::uint16_t>(mode));
  platform::Store(info.OPMode, static_cast<std::uint16_t>(op_mode));
  platform::Store(info.Index, static_cast<std::uint16_t>(code));
  platform::Store(info.HTNo, static_cast<std::uint16_t>(HTNumber));

  platform::HWND window = HandleForROXToMainWindow;
  auto w = static_cast<platform::WPARAM>(HTNumber);
  auto l = static_cast<platform::LPARAM>(value);
  if (PostStatus == 1)
    platform::Post_Message(window, WM_HT_STATUS, w, l);
  else
    platform::Send_Message(window, WM_HT_STATUS, w, l);
  return 0;
}
