// The messages between the simulator back end and htsim's simulated SCSI
// bus (docs/scsi_simulator.md). Little-endian, fixed 32-byte headers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace simwire {

constexpr std::size_t kHeader = 32;
constexpr std::uint32_t kMaxData = 65536;

enum Op : std::uint8_t { kExecute = 1, kAbort = 2 };
enum Direction : std::uint8_t { kNone = 0, kIn = 1, kOut = 2 };

// Back end to htsim: execute (followed by out_len data bytes) or abort (the
// request with that tag is dropped; nothing is answered).
struct Request {
  std::uint32_t tag = 0;
  std::uint8_t op = kExecute;
  std::uint8_t target = 0;
  std::uint8_t direction = kNone;
  std::uint8_t cdb_len = 6;
  std::uint8_t cdb[16] = {};
  std::uint32_t allocation = 0;  // bytes the initiator can take (direction in)
  std::uint32_t out_len = 0;     // bytes that follow (direction out)
};

// htsim to back end (followed by data_len data bytes).
struct Reply {
  std::uint32_t tag = 0;
  std::uint8_t host_status = 0;
  std::uint8_t target_status = 0;
  std::uint8_t sense_len = 0;
  std::uint8_t sense[14] = {};
  std::uint32_t data_len = 0;
};

inline void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint32_t Get32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void Encode(const Request& r, std::uint8_t* h) {
  for (std::size_t i = 0; i < kHeader; ++i) h[i] = 0;
  Put32(h, r.tag);
  h[4] = r.op;
  h[5] = r.target;
  h[6] = r.direction;
  h[7] = r.cdb_len;
  for (int i = 0; i < 16; ++i) h[8 + i] = r.cdb[i];
  Put32(h + 24, r.allocation);
  Put32(h + 28, r.out_len);
}

inline Request Decode_Request(const std::uint8_t* h) {
  Request r;
  r.tag = Get32(h);
  r.op = h[4];
  r.target = h[5];
  r.direction = h[6];
  r.cdb_len = h[7];
  for (int i = 0; i < 16; ++i) r.cdb[i] = h[8 + i];
  r.allocation = Get32(h + 24);
  r.out_len = Get32(h + 28);
  return r;
}

inline void Encode(const Reply& r, std::uint8_t* h) {
  for (std::size_t i = 0; i < kHeader; ++i) h[i] = 0;
  Put32(h, r.tag);
  h[4] = r.host_status;
  h[5] = r.target_status;
  h[6] = r.sense_len;
  for (int i = 0; i < 14; ++i) h[8 + i] = r.sense[i];
  Put32(h + 24, r.data_len);
}

inline Reply Decode_Reply(const std::uint8_t* h) {
  Reply r;
  r.tag = Get32(h);
  r.host_status = h[4];
  r.target_status = h[5];
  r.sense_len = h[6] > 14 ? 14 : h[6];
  for (int i = 0; i < 14; ++i) r.sense[i] = h[8 + i];
  r.data_len = Get32(h + 24);
  return r;
}

}  // namespace simwire
