// htsim's side of a session: its frame assembler, its link layer and the
// session that serves the PC's requests on a disk folder. The input is what
// the PC sends. The disk is a scratch folder (htsim keeps every path inside
// it); the link reads from the input only, so the session ends when the
// input does.
//
// Input: byte 0: bit 0 takes the rest as packets (split by their lengths)
// and wraps each into a PC data frame behind the greeting, the second
// handshake step and a poll for the HT's idle notice, with a poll after each, bit 1 repairs their checksums;
// without bit 0 the rest is the raw frame stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "platform/clock.h"
#include "tools/htsim/disk.h"
#include "tools/htsim/link.h"
#include "tools/htsim/session.h"

namespace {

namespace fs = std::filesystem;

class InputTransport : public htsim::Transport {
 public:
  explicit InputTransport(fuzz::Bytes in) : in_(std::move(in)) {}
  long Read(std::uint8_t* buf, std::size_t n, std::uint64_t) override {
    if (pos_ >= in_.size()) return kClosed;
    // Small pieces, so that frames arrive cut at every place.
    std::size_t k = std::min({n, in_.size() - pos_, std::size_t{1} + (pos_ % 701)});
    std::copy(in_.begin() + static_cast<long>(pos_), in_.begin() + static_cast<long>(pos_ + k), buf);
    pos_ += k;
    return static_cast<long>(k);
  }
  bool Write(const std::uint8_t*, std::size_t, std::size_t, std::uint64_t) override { return true; }
  void Close() override {}

 private:
  fuzz::Bytes in_;
  std::size_t pos_ = 0;
};

void Control(fuzz::Bytes* out, std::uint8_t code, std::uint16_t word4 = 0) {
  const std::uint8_t f[8] = {code, 0, 0, 0, static_cast<std::uint8_t>(word4 & 0xFF),
                             static_cast<std::uint8_t>(word4 >> 8), 0, 0};
  out->insert(out->end(), f, f + 8);
}

// Packets of the stream, each in data frames of at most 8184 bytes,
// each frame followed by a poll.
fuzz::Bytes Wrap(const fuzz::Bytes& packets) {
  fuzz::Bytes out;
  Control(&out, htsim::kGreeting, 8192);
  Control(&out, htsim::kStep1);
  Control(&out, htsim::kPoll);  // the HT's idle notice
  std::size_t pos = 0;
  while (pos < packets.size()) {
    std::size_t len = packets.size() - pos;
    if (pos + 5 <= packets.size()) {
      const std::size_t whole = 7 + (packets[pos + 3] | (packets[pos + 4] << 8));
      if (whole < len) len = whole;
    }
    for (std::size_t off = 0; off < len; off += htsim::kMaxFramePayload) {
      const std::size_t n = std::min(len - off, htsim::kMaxFramePayload);
      const std::uint8_t h[8] = {htsim::kPcData, 0, static_cast<std::uint8_t>(n & 0xFF),
                                 static_cast<std::uint8_t>(n >> 8), 0, 0, 0, 0};
      out.insert(out.end(), h, h + 8);
      out.insert(out.end(), packets.begin() + static_cast<long>(pos + off),
                 packets.begin() + static_cast<long>(pos + off + n));
      Control(&out, htsim::kPoll);
    }
    pos += len;
  }
  Control(&out, htsim::kPoll);
  Control(&out, htsim::kCloseEnd);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 100000) return 0;
  const std::uint8_t mode = data[0];
  fuzz::Bytes rest(data + 1, data + size);
  if (mode & 2) fuzz::Repair_Checksums(&rest);
  const fuzz::Bytes stream = (mode & 1) ? Wrap(rest) : rest;

  // The frame assembler on its own, fed in uneven pieces.
  {
    htsim::FrameAssembler frames;
    htsim::PcFrame f;
    for (std::size_t pos = 0; pos < stream.size();) {
      const std::size_t k = std::min(stream.size() - pos, std::size_t{1} + pos % 97);
      frames.Feed(stream.data() + pos, k);
      pos += k;
      int r;
      while ((r = frames.Next(&f)) == 1) {
      }
      if (r < 0) break;
    }
  }

  fuzz::Empty_Scratch_Folder();
  const fs::path disk_root = fs::path(fuzz::Scratch_Folder()) / "ht";
  fs::create_directories(disk_root / "SUB");
  std::ofstream(disk_root / "SALES.DAT", std::ios::binary) << "sales of the day";
  std::ofstream(disk_root / "SUB" / "A.DAT", std::ios::binary) << std::string(5000, 'a');

  InputTransport transport(stream);
  htsim::Link link(transport, {});
  htsim::HtDisk disk(disk_root);
  std::ostringstream report;
  const std::uint64_t deadline = platform::Monotonic_Ms() + 2000;
  htsim::Session session(link, &disk, report, {}, deadline);
  session.Run();
  // FUZZ_DEBUG=1 shows what the simulated HT reported, for a look at an input.
  if (std::getenv("FUZZ_DEBUG") != nullptr) std::fputs(report.str().c_str(), stderr);
  return 0;
}
