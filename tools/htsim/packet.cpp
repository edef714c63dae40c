// HT packet building and reading over the engine's checksum and error table.
#include "tools/htsim/packet.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "engine/rox32.h"

namespace htsim {

namespace {

constexpr std::size_t kMaxText = 1023;       // text fields: L <= 1024 with the NUL
constexpr std::size_t kMaxInfoName = 1023;   // file information: L <= 1036

void Put16(Bytes& b, std::uint16_t v) {
  b.push_back(RS232_ROX::Extract_LByte(v));
  b.push_back(RS232_ROX::Extract_HByte(v));
}

void Put32(Bytes& b, std::uint32_t v) {
  Put16(b, RS232_ROX::Extract_LWord(v));
  Put16(b, RS232_ROX::Extract_HWord(v));
}

std::uint16_t Get16(const std::uint8_t* p) { return RS232_ROX::Make_Word(p[0], p[1]); }

std::uint32_t Get32(const std::uint8_t* p) {
  return RS232_ROX::Make_DWord(Get16(p), Get16(p + 2));
}

void Put_Text(Bytes& b, const std::string& text, std::size_t max) {
  std::size_t n = std::min(text.size(), max);
  b.insert(b.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
  b.push_back(0);
}

// Characters up to the first NUL within n bytes.
std::string Text_Of(const std::uint8_t* p, std::size_t n) {
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(p, 0, n));
  return std::string(reinterpret_cast<const char*>(p), end ? static_cast<std::size_t>(end - p) : n);
}

}  // namespace

std::string Stamp_Text(const Stamp& s) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", unsigned{s.year},
                unsigned{s.month}, unsigned{s.day}, unsigned{s.hour}, unsigned{s.minute},
                unsigned{s.second});
  return buf;
}

bool FileInfo::Empty() const {
  return size == 0 && stamp.year == 0 && stamp.month == 0 && stamp.day == 0 && stamp.hour == 0 &&
         stamp.minute == 0 && stamp.second == 0;
}

Bytes Build_Packet(std::uint8_t kind, std::uint8_t command, std::uint8_t sub,
                   const std::uint8_t* data, std::size_t n) {
  assert(n <= kMaxPacketData);
  Bytes p;
  p.reserve(n + kPacketFrame);
  p.push_back(kind);
  p.push_back(command);
  p.push_back(sub);
  Put16(p, static_cast<std::uint16_t>(n));
  if (n > 0) p.insert(p.end(), data, data + n);
  const auto sum = static_cast<std::uint16_t>(RS232_ROX::Calc_Checksum(p.data()));
  Put16(p, sum);
  return p;
}

Bytes Build_Packet(std::uint8_t kind, std::uint8_t command, std::uint8_t sub, const Bytes& data) {
  return Build_Packet(kind, command, sub, data.data(), data.size());
}

Bytes General_Response(std::uint8_t command, std::uint8_t sub, std::uint16_t status) {
  Bytes d;
  Put16(d, status);
  return Build_Packet(kResponse, command, sub, d);
}

Bytes File_Info_Packet(std::uint8_t kind, std::uint8_t command, std::uint8_t sub,
                       const FileInfo& info) {
  Bytes d;
  Put32(d, info.size);
  if (info.no_date) {
    d.insert(d.end(), 4, 0xFF);
  } else {
    d.push_back(info.stamp.day);
    d.push_back(info.stamp.month);
    Put16(d, info.stamp.year);
  }
  if (info.no_time) {
    d.insert(d.end(), 3, 0xFF);
  } else {
    d.push_back(info.stamp.second);
    d.push_back(info.stamp.minute);
    d.push_back(info.stamp.hour);
  }
  d.push_back(info.attributes);
  Put_Text(d, info.name, kMaxInfoName);
  return Build_Packet(kind, command, sub, d);
}

Bytes Data_Block(std::uint8_t command, std::uint8_t block, const std::uint8_t* content,
                 std::size_t n, bool last) {
  assert(n + 2 <= kMaxPacketData);
  Bytes p;
  p.reserve(n + 2 + kPacketFrame);
  p.push_back(kCommand);
  p.push_back(command);
  p.push_back('d');
  Put16(p, static_cast<std::uint16_t>(n + 2));
  p.push_back(block);
  if (n > 0) p.insert(p.end(), content, content + n);
  p.push_back(last ? kLastBlock : kMoreBlocks);
  Put16(p, static_cast<std::uint16_t>(RS232_ROX::Calc_Checksum(p.data())));
  return p;
}

Bytes Transfer_Info(std::uint16_t count, std::uint32_t total, bool overwrite) {
  Bytes d;
  Put16(d, count);
  Put32(d, total);
  d.push_back(overwrite ? 1 : 0);
  return Build_Packet(kCommand, 'S', 't', d);
}

Bytes Text_Packet(std::uint8_t kind, std::uint8_t command, std::uint8_t sub,
                  const std::string& text) {
  Bytes d;
  Put_Text(d, text, kMaxText);
  return Build_Packet(kind, command, sub, d);
}

Bytes Delete_Request(std::uint8_t sub, std::uint16_t count, const std::string& names) {
  Bytes d;
  Put16(d, count);
  Put_Text(d, names, kMaxText);
  return Build_Packet(kCommand, 'D', sub, d);
}

Bytes Disk_Info_Request(char drive) {
  const auto letter = static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(drive)));
  return Build_Packet(kCommand, 'C', 0, &letter, 1);
}

Bytes Disk_Info_Response(std::uint32_t total, std::uint32_t free, std::uint8_t condition) {
  Bytes d;
  Put32(d, total);
  Put32(d, free);
  d.push_back(condition);
  return Build_Packet(kResponse, 'C', 0, d);
}

Bytes Idle_Notice(const std::string& script) {
  if (script.empty()) return Build_Packet(kCommand, 'I', 0, nullptr, 0);
  const std::string name = script.substr(0, 12);
  return Build_Packet(kCommand, 'I', 's', reinterpret_cast<const std::uint8_t*>(name.data()),
                      name.size());
}

Bytes Session_Info_Request(std::uint16_t session, const std::string& text) {
  Bytes d;
  Put16(d, session);
  d.push_back('1');
  d.push_back('A');
  d.push_back('T');
  d.push_back(0);
  d.push_back('W');
  if (!text.empty()) Put_Text(d, text, 1023);
  return Build_Packet(kCommand, 'X', 0, d);
}

Bytes End_Indication(std::uint8_t error_class, std::uint8_t detail) {
  const std::uint8_t d[2] = {detail, error_class};
  return Build_Packet(kCommand, 'E', 0, d, 2);
}

std::size_t Packet_Length(const std::uint8_t* p, std::size_t n) {
  if (n < kPacketHeader) return 0;
  return RS232_ROX::Get_DataLength(p);
}

int Read_Packet(const std::uint8_t* p, std::size_t n, PacketView* out) {
  if (n < kPacketFrame || (p[0] != kResponse && p[0] != kCommand)) return E_OTHER_PROTOCOL;
  if (Packet_Length(p, n) != n) return E_DATA_LENGTH;
  if (RS232_ROX::Valid_Checksum(p) != 1) return E_CHECKSUM;
  out->kind = p[0];
  out->command = p[1];
  out->sub = p[2];
  out->length = Get16(p + 3);
  out->data = p + kPacketHeader;
  return 0;
}

int Decode_General(const PacketView& v, std::uint16_t* status) {
  if (v.length != 2) return E_DATA_LENGTH;
  *status = Get16(v.data);
  return 0;
}

int Decode_File_Info(const PacketView& v, FileInfo* out) {
  if (v.length < 13 || v.length > 1036) return E_DATA_LENGTH;
  const std::uint8_t* d = v.data;
  FileInfo f;
  f.size = Get32(d);
  if (f.size > kMaxFileSize) return E_FILE_SIZE;
  f.no_date = d[4] == 0xFF && d[5] == 0xFF && d[6] == 0xFF && d[7] == 0xFF;
  f.stamp.day = d[4];
  f.stamp.month = d[5];
  f.stamp.year = Get16(d + 6);
  f.no_time = d[8] == 0xFF && d[9] == 0xFF && d[10] == 0xFF;
  f.stamp.second = d[8];
  f.stamp.minute = d[9];
  f.stamp.hour = d[10];
  f.attributes = d[11];
  f.name = Text_Of(d + 12, v.length - 12u);
  *out = std::move(f);
  return 0;
}

int Decode_Transfer_Info(const PacketView& v, std::uint16_t* count, std::uint32_t* total,
                         bool* overwrite) {
  if (v.length != 7) return E_DATA_LENGTH;
  *count = Get16(v.data);
  *total = Get32(v.data + 2);
  if (*total > kMaxFileSize) return E_DATA_ERROR;
  if (v.data[6] > 1) return E_OVERWRITE_OPTION;
  *overwrite = v.data[6] == 1;
  return 0;
}

int Decode_Block(const PacketView& v, Block* out) {
  if (v.length < 2) return E_DATA_LENGTH;
  const std::uint8_t mark = v.data[v.length - 1u];
  if (mark != kMoreBlocks && mark != kLastBlock) return E_EOF_FLAG;
  out->number = v.data[0];
  out->content = v.data + 1;
  out->size = v.length - 2u;
  out->last = mark == kLastBlock;
  return 0;
}

int Decode_Clock(const PacketView& v, Stamp* out) {
  if (v.length != 7) return E_DATA_LENGTH;
  const std::uint8_t* d = v.data;
  Stamp s;
  s.day = d[0];
  s.month = d[1];
  s.year = Get16(d + 2);
  s.second = d[4];
  s.minute = d[5];
  s.hour = d[6];
  if (s.day < 1 || s.day > 31 || s.month < 1 || s.month > 12 || s.year == 0) return E_DATE;
  if (s.second > 59 || s.minute > 59 || s.hour > 23) return E_TIME;
  *out = s;
  return 0;
}

int Decode_Disk_Info(const PacketView& v, std::uint32_t* total, std::uint32_t* free,
                     std::uint8_t* condition) {
  if (v.length != 9) return E_DATA_LENGTH;
  *total = Get32(v.data);
  *free = Get32(v.data + 4);
  *condition = v.data[8];
  return 0;
}

int Decode_Delete(const PacketView& v, std::uint16_t* count, std::string* names) {
  if (v.length < 3 || v.length > 1026) return E_DATA_LENGTH;
  *count = Get16(v.data);
  *names = Text_Of(v.data + 2, v.length - 2u);
  return 0;
}

int Decode_End(const PacketView& v, std::uint8_t* error_class, std::uint8_t* detail) {
  if (v.length != 2) return E_DATA_LENGTH;
  *detail = v.data[0];
  *error_class = v.data[1];
  return 0;
}

int Decode_Session_Info(const PacketView& v, SessionAnswer* out) {
  if (v.length < 7 || v.length > 1031) return E_DATA_LENGTH;
  out->session = Get16(v.data);
  out->level = v.data[2];
  out->text = v.length > 7 ? Text_Of(v.data + 7, v.length - 7u) : std::string();
  return 0;
}

int Decode_Text(const PacketView& v, std::string* out) {
  if (v.length > 1024) return E_DATA_LENGTH;
  *out = Text_Of(v.data, v.length);
  return 0;
}

ErrorPair Pair_Of(int code) {
  if (code < 0 || code >= ERROR_COUNT) code = E_UNKNOWN;
  return {ErrorTable[code].Class, ErrorTable[code].Detail};
}

int Code_Of(std::uint8_t error_class, std::uint8_t detail) {
  return RS232_ROX::Get_Error_Message(error_class, detail);
}

std::string Code_Text(int code) {
  if (code < 0 || code >= ERROR_COUNT) return std::string();
  return Text_Of(reinterpret_cast<const std::uint8_t*>(ErrorTable[code].Message),
                 sizeof ErrorTable[code].Message);
}

}  // namespace htsim
