// The baseline pair: the benchmark process plays the PC and baseline_peer
// the HT, and they exchange the link frames a transfer would exchange (the
// same payload sizes, one acknowledgement or poll per frame, stop-and-wait,
// TCP_NODELAY, every frame in one write) with no work behind them: no
// packets are built or checked and no file is read or written. What tarnel
// and htsim reach is measured against what this pair reaches in the same run.
//
// Wire of the pair (the link framing of docs/tcpip_framing.md, with one
// addition the peer needs to know how much to answer):
//   PC 0x10 len payload  ->  HT answers 0x01 (8 bytes)
//   PC 0x20, bytes 2-3 = n  ->  HT answers 0x00 with n payload bytes
//   PC 0x0C  ->  HT closes and ends
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

constexpr std::size_t kFrameHeader = 8;
constexpr std::size_t kMaxFramePayload = 8184;

// Packet sizes of the HT packet protocol (kind, letters, length, data,
// checksum): a data block of n content bytes is n + 9 bytes, a file
// information of a name of k characters 21 + k, a general response 9.
constexpr std::size_t Data_Packet_Bytes(std::size_t content) { return content + 9; }
constexpr std::size_t File_Info_Packet_Bytes(std::size_t name_chars) { return 21 + name_chars; }
constexpr std::size_t kResponsePacketBytes = 9;

// One stop-and-wait step: a PC data frame and its acknowledgement, or a poll
// and the HT's data frame.
struct Exchange {
  bool pc_sends = true;
  std::uint16_t length = 0;  // payload bytes, 1..8184
};

// Appends the frames of one packet: cut into pieces of at most 8184 bytes.
void Add_Packet(std::vector<Exchange>* script, bool pc_sends, std::size_t packet_bytes);

// The frames of one file going one way: its file information and answer,
// its data blocks of at most block content bytes, and the answer to the last
// block, as the engine and htsim exchange them.
void Add_File(std::vector<Exchange>* script, bool pc_to_ht, std::uint64_t bytes, std::size_t block,
              std::size_t name_chars);

struct BaselineResult {
  bool ok = false;
  double seconds = 0;  // from the first exchange to the last, slowest pair
  std::string why;
};

// Runs the script over `pairs` connections at once: that many baseline_peer
// processes (from 127.0.0.2, .3, ... when pairs > 1), each served by its own
// thread of this process. Every wait is bounded by timeout_ms. segment > 0
// makes the peers write their data frames in pieces of that many bytes.
BaselineResult Run_Baseline(const std::string& peer_program, const std::vector<Exchange>& script,
                            int pairs, int timeout_ms, std::size_t segment = 0);

}  // namespace bench
