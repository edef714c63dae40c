// Validators of every packet type the PC receives. Each one stores the
// frame's kind, command, sub-command and data length into RxFrame, checks
// the type's length range, decodes the type's fields, checks their values,
// and tests the checksum last; it returns 0 or the first failing code.
//
// pkt is a packet buffer of PACKET_BUF_SIZE bytes. The length check comes
// before any field is read, and every accepted length keeps the data and the
// checksum inside the buffer, so no validator reads past it. Name fields are
// copied with an explicit length into RxFrame.Name, which has room for the
// longest name any type accepts.
#include <cstring>

#include "engine/bounded.h"
#include "engine/rox32.h"

namespace {

constexpr std::uint32_t kMaxFileSize = 0xFFFE0001u;  // 4294836225

std::uint16_t Word_At(const unsigned char* pkt, unsigned off) {
  return RS232_ROX::Make_Word(pkt[off], pkt[off + 1]);
}

std::uint32_t DWord_At(const unsigned char* pkt, unsigned off) {
  return RS232_ROX::Make_DWord(Word_At(pkt, off), Word_At(pkt, off + 2));
}

// Packed date from day, month and a 16-bit year at off.
std::uint32_t Date_At(const unsigned char* pkt, unsigned off) {
  return static_cast<std::uint32_t>(pkt[off]) << 24 | static_cast<std::uint32_t>(pkt[off + 1]) << 16 |
         Word_At(pkt, off + 2);
}

// Stores the frame header into f and returns L.
unsigned Store_Header(Frametag& f, const unsigned char* pkt) {
  f.Kind = pkt[0];
  f.Command = pkt[1];
  f.SubCommand = pkt[2];
  f.Length = Word_At(pkt, 3);
  return f.Length;
}

// Copies n bytes at pkt + off into f.Name as a string (it ends at the first
// NUL inside them, or after n bytes).
void Store_Name(Frametag& f, const unsigned char* pkt, unsigned off, unsigned n) {
  bounded::Copy_N(f.Name, sizeof f.Name, reinterpret_cast<const char*>(pkt + off), n);
}

// Stores the checksum and tests it: 0 or 33.
short Check_Sum(Frametag& f, const unsigned char* pkt) {
  f.Checksum = Word_At(pkt, 5 + f.Length);
  return RS232_ROX::Valid_Checksum(pkt) ? 0 : E_CHECKSUM;
}

// Size, date, time, attribute and name of a file-information layout.
void Store_File_Fields(Frametag& f, const unsigned char* pkt, unsigned len) {
  f.Size = DWord_At(pkt, 5);
  f.Date = Date_At(pkt, 9);
  f.Time[0] = pkt[13];
  f.Time[1] = pkt[14];
  f.Time[2] = pkt[15];
  f.Attribute = pkt[16];
  Store_Name(f, pkt, 17, len - 13);
}

}  // namespace

short RS232_ROX::Validate_Gen_Response(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len != 2) return E_DATA_LENGTH;
  RxFrame.Count = Word_At(pkt, 5);
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_File_Info(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len < 13 || len > 1036) return E_DATA_LENGTH;
  Store_File_Fields(RxFrame, pkt, len);
  if (RxFrame.Size > kMaxFileSize) return E_FILE_SIZE;
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_File_Data(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len < 2 || len > MAX_DATA_LENGTH) return E_DATA_LENGTH;
  RxFrame.BlockNo = pkt[5];
  RxFrame.Option = pkt[4 + len];  // end mark behind the content
  if (RxFrame.Option != 0xF0 && RxFrame.Option != 0xF1) return E_EOF_FLAG;
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_Transfer_Info(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len != 7) return E_DATA_LENGTH;
  RxFrame.Count = Word_At(pkt, 5);
  RxFrame.Total = DWord_At(pkt, 7);
  RxFrame.Option = pkt[11];
  if (RxFrame.Total > kMaxFileSize) return E_DATA_ERROR;
  if (RxFrame.Option > 1) return E_OVERWRITE_OPTION;
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_Transfer_Request(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len > 1024) return E_DATA_LENGTH;
  Store_Name(RxFrame, pkt, 5, len);
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_DeleteReq_Cmd(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len < 3 || len > 1026) return E_DATA_LENGTH;
  RxFrame.Count = Word_At(pkt, 5);
  Store_Name(RxFrame, pkt, 7, len - 2);
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_MoveFileReq_Cmd(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len > 1024) return E_DATA_LENGTH;
  Store_Name(RxFrame, pkt, 5, len);
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_MkDirReq_Cmd(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len < 13 || len > 1036) return E_DATA_LENGTH;
  Store_File_Fields(RxFrame, pkt, len);
  if (RxFrame.Size != 0) return E_FILE_SIZE;
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_TimeReq_Cmd(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len != 0) return E_DATA_LENGTH;
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_DispStr_Cmd(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len > 1024) return E_DATA_LENGTH;
  Store_Name(RxFrame, pkt, 5, len);
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_EndIndication(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len != 2) return E_DATA_LENGTH;
  // Detail (low byte) and error class (high byte) of the HT's ending.
  RxFrame.Count = Word_At(pkt, 5);
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_GetFileInfo_Cmd(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len > 1024) return E_DATA_LENGTH;
  Store_Name(RxFrame, pkt, 5, len);
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_GetDiskInfo_Cmd(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len != 1) return E_DATA_LENGTH;
  char letter = static_cast<char>(pkt[5]);
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  RxFrame.Drive = letter;
  if (letter < 'A' || letter > 'Z') return E_INVALID_DRIVE;
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_IdleNotice_Cmd(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (RxFrame.SubCommand == 's') {
    // The name of a script file to run.
    if (len > 12) return E_DATA_LENGTH;
    Store_Name(RxFrame, pkt, 5, len);
  } else if (len != 0) {
    return E_DATA_ERROR;
  }
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_SessionInfo_Cmd(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len < 7 || len > 1031) return E_DATA_LENGTH;
  RxFrame.Count = Word_At(pkt, 5);
  Store_Name(RxFrame, pkt, 12, len - 7);
  if (pkt[7] != '1') return E_PROTOCOL_VERSION;
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_Disk_Info(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len != 9) return E_DATA_LENGTH;
  RxFrame.Size = DWord_At(pkt, 5);   // total bytes
  RxFrame.Total = DWord_At(pkt, 9);  // free bytes
  RxFrame.Option = pkt[13];          // disk condition
  return Check_Sum(RxFrame, pkt);
}

short RS232_ROX::Validate_Time(const unsigned char* pkt) {
  unsigned len = Store_Header(RxFrame, pkt);
  if (len != 7) return E_DATA_LENGTH;
  RxFrame.Date = Date_At(pkt, 5);
  RxFrame.Time[0] = pkt[9];
  RxFrame.Time[1] = pkt[10];
  RxFrame.Time[2] = pkt[11];
  unsigned day = pkt[5], month = pkt[6], year = Word_At(pkt, 7);
  // Days are checked against 1..31 only, whatever the month.
  if (day < 1 || day > 31 || month < 1 || month > 12 || year == 0) return E_DATE;
  if (pkt[9] >= 60 || pkt[10] >= 60 || pkt[11] >= 24) return E_TIME;
  return Check_Sum(RxFrame, pkt);
}
