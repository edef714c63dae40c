// HT packets as the simulator builds and reads them: the frame (kind,
// command, sub-command, length, data, checksum), the data fields of every
// type the HT sends or receives, and the error pairs of end indications.
// Pure functions: no I/O. The checksum and the error table are the engine's
// own (engine/rox32.h), so both ends of a test run share one codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace htsim {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kPacketHeader = 5;       // kind, command, sub-command, L
constexpr std::size_t kPacketFrame = 7;        // header plus checksum
constexpr std::size_t kMaxPacketData = 65000;  // largest L
constexpr std::uint32_t kMaxFileSize = 0xFFFE0001u;
constexpr std::uint8_t kMoreBlocks = 0xF0;
constexpr std::uint8_t kLastBlock = 0xF1;

enum PacketKind : std::uint8_t { kResponse = 0, kCommand = 1 };

// Date and time of a file or a clock, as the packets carry them.
struct Stamp {
  std::uint16_t year = 0;
  std::uint8_t month = 0;
  std::uint8_t day = 0;
  std::uint8_t hour = 0;
  std::uint8_t minute = 0;
  std::uint8_t second = 0;
  bool operator==(const Stamp&) const = default;
};

// "YYYY-MM-DD HH:MM:SS".
std::string Stamp_Text(const Stamp& s);

// The file-information layout (file information, set-file-information,
// make-directory, get-file-information answers).
struct FileInfo {
  std::uint32_t size = 0;
  Stamp stamp;
  bool no_date = false;  // date field FF FF FF FF (set-file-information only)
  bool no_time = false;  // time field FF FF FF
  std::uint8_t attributes = 0;
  std::string name;
  // All of size, date and time zero: "no (more) files" in a search answer.
  bool Empty() const;
};

constexpr std::uint8_t kAttrReadOnly = 0x01;
constexpr std::uint8_t kAttrHidden = 0x02;
constexpr std::uint8_t kAttrSystem = 0x04;
constexpr std::uint8_t kAttrDirectory = 0x10;
constexpr std::uint8_t kAttrArchive = 0x20;

// ---- Building ---------------------------------------------------------------

// A complete packet with its checksum. data may be null when n is 0; n must
// not exceed kMaxPacketData (asserted).
Bytes Build_Packet(std::uint8_t kind, std::uint8_t command, std::uint8_t sub,
                   const std::uint8_t* data, std::size_t n);
Bytes Build_Packet(std::uint8_t kind, std::uint8_t command, std::uint8_t sub, const Bytes& data);

// General response (kind 0, L = 2) with the request's letters.
Bytes General_Response(std::uint8_t command, std::uint8_t sub, std::uint16_t status = 0);
// File information in the file-information layout; the name gets its NUL.
// Names are cut so that L stays within 1036.
Bytes File_Info_Packet(std::uint8_t kind, std::uint8_t command, std::uint8_t sub,
                       const FileInfo& info);
// One data block: block number, n content bytes, end mark.
Bytes Data_Block(std::uint8_t command, std::uint8_t block, const std::uint8_t* content,
                 std::size_t n, bool last);
// Transfer information 'S' 't' (kind 1).
Bytes Transfer_Info(std::uint16_t count, std::uint32_t total, bool overwrite);
// A text field with its NUL: transfer request, delete list, move, display,
// get-file-information. Texts are cut to 1023 characters.
Bytes Text_Packet(std::uint8_t kind, std::uint8_t command, std::uint8_t sub,
                  const std::string& text);
// Delete request 'D': sub-command bits 1 (read-only too) and 2 (sub-folders),
// the name count and the "::" list.
Bytes Delete_Request(std::uint8_t sub, std::uint16_t count, const std::string& names);
// Get-disk-information request 'C' for one drive letter (upper-cased).
Bytes Disk_Info_Request(char drive);
// Disk-information answer (kind 0 'C').
Bytes Disk_Info_Response(std::uint32_t total, std::uint32_t free, std::uint8_t condition);
// Idle notice: sub-command 0 without a script, 's' with its name (no NUL,
// at most 12 characters).
Bytes Idle_Notice(const std::string& script);
// Session information 'X': session number, the protocol-level bytes and an
// optional text.
Bytes Session_Info_Request(std::uint16_t session, const std::string& text);
// End indication: detail at offset 5, class at offset 6.
Bytes End_Indication(std::uint8_t error_class, std::uint8_t detail);

// ---- Reading ----------------------------------------------------------------

// A received packet (the bytes are owned by the caller's buffer).
struct PacketView {
  std::uint8_t kind = 0;
  std::uint8_t command = 0;
  std::uint8_t sub = 0;
  std::uint16_t length = 0;
  const std::uint8_t* data = nullptr;  // length bytes
};

// Total length (L + 7) from the first five bytes; 0 when fewer are given.
std::size_t Packet_Length(const std::uint8_t* p, std::size_t n);

// Checks the frame of one whole packet (n = L + 7): 36 for a kind byte other
// than 0 and 1, 39 when n does not match L, 33 for a checksum mismatch,
// else 0 with *out filled.
int Read_Packet(const std::uint8_t* p, std::size_t n, PacketView* out);

// Field decoders; each returns 0 or the error code of its first failing check.
int Decode_General(const PacketView& v, std::uint16_t* status);
int Decode_File_Info(const PacketView& v, FileInfo* out);         // 39, 42
int Decode_Transfer_Info(const PacketView& v, std::uint16_t* count, std::uint32_t* total,
                         bool* overwrite);                          // 39, 58, 46
struct Block {
  std::uint8_t number = 0;
  const std::uint8_t* content = nullptr;
  std::size_t size = 0;
  bool last = false;
};
int Decode_Block(const PacketView& v, Block* out);                  // 39, 47
int Decode_Clock(const PacketView& v, Stamp* out);                  // 39, 43, 44
int Decode_Disk_Info(const PacketView& v, std::uint32_t* total, std::uint32_t* free,
                     std::uint8_t* condition);                      // 39
int Decode_Delete(const PacketView& v, std::uint16_t* count, std::string* names);  // 39
int Decode_End(const PacketView& v, std::uint8_t* error_class, std::uint8_t* detail);  // 39
struct SessionAnswer {
  std::uint16_t session = 0;
  std::uint8_t level = 0;
  std::string text;
};
int Decode_Session_Info(const PacketView& v, SessionAnswer* out);    // 39
// Text field up to its NUL or the end of the data; 39 when L > 1024.
int Decode_Text(const PacketView& v, std::string* out);

// ---- Error pairs ------------------------------------------------------------

struct ErrorPair {
  std::uint8_t error_class = 0;
  std::uint8_t detail = 0;
};
// The pair an end indication carries for an ending code of the shared table.
ErrorPair Pair_Of(int code);
// The ending code of a pair (unknown pairs give 64).
int Code_Of(std::uint8_t error_class, std::uint8_t detail);
// The table's message for a code ("" outside the table).
std::string Code_Text(int code);

}  // namespace htsim
