// baseline_peer: the HT half of the baseline pair (baseline.h). Connects to
// the benchmark, acknowledges every data frame, answers every poll with a
// data frame of the length the poll names (written in pieces of --segment
// bytes when given), and ends at 0x0C, when the
// benchmark closes, or when nothing arrives for --timeout-ms.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "bench/baseline.h"
#include "bench/os.h"

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  std::string source;
  long port = 0;
  long timeout_ms = 60000;
  long segment = 0;  // write answer frames in pieces of this size (0: whole)
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--port") port = std::strtol(argv[i + 1], nullptr, 10);
    else if (key == "--host") host = argv[i + 1];
    else if (key == "--source") source = argv[i + 1];
    else if (key == "--timeout-ms") timeout_ms = std::strtol(argv[i + 1], nullptr, 10);
    else if (key == "--segment") segment = std::strtol(argv[i + 1], nullptr, 10);
  }
  if (port < 1 || port > 65535 || timeout_ms < 1 || segment < 0) {
    std::cerr << "usage: baseline_peer --port N [--host A] [--source A] [--timeout-ms N] [--segment N]\n";
    return 2;
  }
  const int fd = bench::Connect_Tcp(host, static_cast<std::uint16_t>(port), source,
                                    static_cast<int>(timeout_ms), static_cast<int>(timeout_ms));
  if (fd < 0) {
    std::cerr << "baseline_peer: cannot connect to " << host << ":" << port << "\n";
    return 1;
  }
  using bench::kFrameHeader;
  std::vector<std::uint8_t> in(kFrameHeader + bench::kMaxFramePayload);
  std::vector<std::uint8_t> out(kFrameHeader + bench::kMaxFramePayload, 0xA5);
  std::uint8_t ack[kFrameHeader] = {0x01, 0, 0, 0, 0, 0, 0, 0};
  for (;;) {
    if (!bench::Read_All(fd, in.data(), kFrameHeader)) break;
    const std::size_t n = in[2] | (in[3] << 8);
    if (in[0] == 0x10) {
      if (n > bench::kMaxFramePayload || !bench::Read_All(fd, in.data() + kFrameHeader, n)) break;
      if (!bench::Write_All(fd, ack, sizeof ack)) break;
    } else if (in[0] == 0x20) {
      if (n > bench::kMaxFramePayload) break;
      std::memset(out.data(), 0, kFrameHeader);
      out[2] = in[2];
      out[3] = in[3];
      const std::size_t whole = kFrameHeader + n;
      const std::size_t piece = segment > 0 ? static_cast<std::size_t>(segment) : whole;
      bool ok = true;
      for (std::size_t at = 0; ok && at < whole; at += piece)
        ok = bench::Write_All(fd, out.data() + at, std::min(piece, whole - at));
      if (!ok) break;
    } else if (in[0] == 0x0C) {
      bench::Close_Fd(fd);
      return 0;
    } else {
      break;
    }
  }
  bench::Close_Fd(fd);
  return 1;
}
