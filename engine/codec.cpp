// Frame helpers, checksum, reading one packet from a channel, and the
// first-level dispatch of a received packet to the validator of its type.
//
// Frame: kind (1), command (1), sub-command (1), L (2, low byte first),
// L data bytes, checksum (2, low byte first); L + 7 bytes in all. The
// checksum is the two's complement of the 16-bit sum of the header and data
// bytes, so header + data + checksum sums to 0 modulo 65536.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "channel/mux32.h"
#include "engine/rox32.h"

namespace {

constexpr unsigned kHeaderSize = 5;
constexpr long kRecvTimeout = -5;

// L of the frame header at pkt.
unsigned Data_Length(const unsigned char* pkt) { return RS232_ROX::Make_Word(pkt[3], pkt[4]); }

// Sum of the first n bytes, modulo 65536.
// Every data block is summed twice (by its sender and its receiver), so the
// sum takes eight bytes at a time: the bytes at even and at odd places of
// each word add up in four 16-bit lanes each, and a lane holds the sum of 256
// bytes without overflowing into the next one.
unsigned short Byte_Sum(const unsigned char* pkt, unsigned n) {
  constexpr std::uint64_t kLanes = 0x00FF00FF00FF00FFull;
  std::uint64_t sum = 0;
  unsigned i = 0;
  while (n - i >= 8) {
    const unsigned words = std::min((n - i) / 8, 256u);
    std::uint64_t even = 0;
    std::uint64_t odd = 0;
    for (unsigned k = 0; k < words; ++k, i += 8) {
      std::uint64_t w;
      std::memcpy(&w, pkt + i, sizeof w);
      even += w & kLanes;
      odd += (w >> 8) & kLanes;
    }
    for (int shift = 0; shift < 64; shift += 16) sum += ((even >> shift) & 0xFFFF) + ((odd >> shift) & 0xFFFF);
  }
  for (; i < n; ++i) sum += pkt[i];
  return static_cast<unsigned short>(sum);
}

// A failed read: 38 for a time-out, 71 for any other failure.
short Read_Failure(long result) { return result == kRecvTimeout ? E_TIMEOUT : E_COMMUNICATION; }

}  // namespace

std::uint16_t RS232_ROX::Make_Word(unsigned char lo, unsigned char hi) {
  return static_cast<std::uint16_t>(hi * 256u + lo);
}

std::uint32_t RS232_ROX::Make_DWord(unsigned short lo, unsigned short hi) {
  return static_cast<std::uint32_t>(hi) * 65536u + lo;
}

unsigned char RS232_ROX::Extract_LByte(unsigned short w) { return static_cast<unsigned char>(w & 0xFF); }

unsigned char RS232_ROX::Extract_HByte(unsigned short w) { return static_cast<unsigned char>(w >> 8); }

unsigned short RS232_ROX::Extract_LWord(unsigned long d) { return static_cast<unsigned short>(d & 0xFFFF); }

unsigned short RS232_ROX::Extract_HWord(unsigned long d) {
  return static_cast<unsigned short>((d >> 16) & 0xFFFF);
}

unsigned int RS232_ROX::Get_DataLength(const unsigned char* pkt) { return Data_Length(pkt) + 7; }

short RS232_ROX::Calc_Checksum(const unsigned char* pkt) {
  unsigned len = Data_Length(pkt);
  // A header that claims more data than a packet buffer holds is summed
  // only as far as the buffer reaches; builders never produce one.
  if (len > MAX_DATA_LENGTH) len = MAX_DATA_LENGTH;
  unsigned short sum = Byte_Sum(pkt, kHeaderSize + len);
  return static_cast<short>(static_cast<unsigned short>(0x10000u - sum));
}

int RS232_ROX::Valid_Checksum(const unsigned char* pkt) {
  unsigned len = Data_Length(pkt);
  // Such a frame cannot have been received into a packet buffer.
  if (len > MAX_DATA_LENGTH) return 0;
  unsigned short stored = Make_Word(pkt[kHeaderSize + len], pkt[kHeaderSize + len + 1]);
  unsigned short total = static_cast<unsigned short>(Byte_Sum(pkt, kHeaderSize + len) + stored);
  return total == 0 ? 1 : 0;
}

int RS232_ROX::Noise_Check(int channel, unsigned char* pkt, unsigned int* rest) {
  // A frame starts with a kind byte, 0 or 1. Bytes before the first such
  // byte in the header are line noise; the header is shifted to the front
  // and completed with as many bytes as were dropped. The search stays
  // within the five bytes read.
  unsigned k = 0;
  while (k < kHeaderSize && pkt[k] > 1) ++k;
  if (k == kHeaderSize) return 1;
  if (k > 0) {
    std::memmove(pkt, pkt + k, kHeaderSize - k);
    long got = Recv(channel, pkt + kHeaderSize - k, static_cast<unsigned short>(k), 0);
    // A failed completing read leaves a header that is partly stale bytes;
    // it ends the receive like every other failed read.
    if (got < 0) return static_cast<int>(got);
  }
  *rest = Data_Length(pkt) + 2;
  return 0;
}

short RS232_ROX::Receive_Packet(int channel, unsigned char* pkt) {
  // Every receive starts from a cleared buffer, so what the buffer holds
  // comes from this receive alone, never from an earlier, longer packet.
  std::memset(pkt, 0, PACKET_BUF_SIZE);
  long got = Recv(channel, pkt, kHeaderSize, 0);
  if (got < 0) return Read_Failure(got);

  unsigned rest = 0;
  int noise = Noise_Check(channel, pkt, &rest);
  if (noise == 1) return E_NOISE;
  if (noise < 0) return Read_Failure(noise);

  // Data and checksum must fit behind the header in the packet buffer.
  if (rest > MAX_DATA_LENGTH + 2) return E_DATA_LENGTH;
  got = Recv(channel, pkt + kHeaderSize, static_cast<unsigned short>(rest), 0);
  if (got < 0) return Read_Failure(got);
  return 0;
}

// ---------------------------------------------------------------------------
// First-level dispatch

namespace {

using Validator = short (RS232_ROX::*)(const unsigned char*);

// Sub-command value that matches any sub-command byte.
constexpr int kAnySub = -1;

struct Route {
  std::uint8_t kind;
  char command;
  int sub;  // a sub-command byte, or kAnySub
  Validator validate;
};

// Every packet the PC accepts, by kind, command letter and sub-command.
const Route kRoutes[] = {
    // Requests and data from the HT (kind 1).
    {1, 'A', 'd', &RS232_ROX::Validate_File_Data},
    {1, 'A', 'i', &RS232_ROX::Validate_File_Info},
    {1, 'C', 0, &RS232_ROX::Validate_GetDiskInfo_Cmd},
    {1, 'D', 0, &RS232_ROX::Validate_DeleteReq_Cmd},
    {1, 'D', 1, &RS232_ROX::Validate_DeleteReq_Cmd},
    {1, 'D', 2, &RS232_ROX::Validate_DeleteReq_Cmd},
    {1, 'D', 3, &RS232_ROX::Validate_DeleteReq_Cmd},
    {1, 'E', 0, &RS232_ROX::Validate_EndIndication},
    {1, 'I', 0, &RS232_ROX::Validate_IdleNotice_Cmd},
    {1, 'I', 's', &RS232_ROX::Validate_IdleNotice_Cmd},
    {1, 'J', 0, &RS232_ROX::Validate_TimeReq_Cmd},
    {1, 'K', 0, &RS232_ROX::Validate_MkDirReq_Cmd},
    {1, 'M', 0, &RS232_ROX::Validate_MoveFileReq_Cmd},
    {1, 'P', 0, &RS232_ROX::Validate_DispStr_Cmd},
    {1, 'R', 'r', &RS232_ROX::Validate_Transfer_Request},
    {1, 'R', 'w', &RS232_ROX::Validate_Transfer_Request},
    {1, 'S', 'd', &RS232_ROX::Validate_File_Data},
    {1, 'S', 'i', &RS232_ROX::Validate_File_Info},
    {1, 'S', 't', &RS232_ROX::Validate_Transfer_Info},
    {1, 'U', 0, &RS232_ROX::Validate_File_Info},
    {1, 'V', 'f', &RS232_ROX::Validate_GetFileInfo_Cmd},
    {1, 'V', 'n', &RS232_ROX::Validate_GetFileInfo_Cmd},
    {1, 'X', kAnySub, &RS232_ROX::Validate_SessionInfo_Cmd},
    // Responses from the HT (kind 0).
    {0, 'A', kAnySub, &RS232_ROX::Validate_Gen_Response},
    {0, 'R', kAnySub, &RS232_ROX::Validate_Gen_Response},
    {0, 'S', kAnySub, &RS232_ROX::Validate_Gen_Response},
    {0, 'C', 0, &RS232_ROX::Validate_Disk_Info},
    {0, 'D', 0, &RS232_ROX::Validate_Gen_Response},
    {0, 'D', 1, &RS232_ROX::Validate_Gen_Response},
    {0, 'D', 2, &RS232_ROX::Validate_Gen_Response},
    {0, 'D', 3, &RS232_ROX::Validate_Gen_Response},
    {0, 'E', 0, &RS232_ROX::Validate_Gen_Response},
    {0, 'G', 0, &RS232_ROX::Validate_Gen_Response},
    {0, 'I', 0, &RS232_ROX::Validate_Gen_Response},
    {0, 'K', 0, &RS232_ROX::Validate_Gen_Response},
    {0, 'M', 0, &RS232_ROX::Validate_Gen_Response},
    {0, 'P', 0, &RS232_ROX::Validate_Gen_Response},
    {0, 'T', 0, &RS232_ROX::Validate_Gen_Response},
    {0, 'U', 0, &RS232_ROX::Validate_Gen_Response},
    {0, 'J', 0, &RS232_ROX::Validate_Time},
    {0, 'V', 'f', &RS232_ROX::Validate_File_Info},
    {0, 'V', 'n', &RS232_ROX::Validate_File_Info},
};

}  // namespace

short RS232_ROX::Validate_Packet(const unsigned char* pkt) {
  const std::uint8_t kind = pkt[0];
  const std::uint8_t command = pkt[1];
  const std::uint8_t sub = pkt[2];
  if (kind > 1) return E_OTHER_PROTOCOL;

  bool known_command = false;
  for (const Route& r : kRoutes) {
    if (r.kind != kind || static_cast<std::uint8_t>(r.command) != command) continue;
    known_command = true;
    if (r.sub == kAnySub || r.sub == sub) return (this->*r.validate)(pkt);
  }
  return known_command ? E_UNDEF_SUBFUNCTION : E_UNDEF_FUNCTION;
}
