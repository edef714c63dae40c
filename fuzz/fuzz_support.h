// Helpers shared by the fuzz targets: splitting an input into pieces,
// repairing packet checksums, and a scratch folder that lives as long as the
// process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

// The input cut at its NUL bytes (at most max_pieces pieces; the last one
// keeps the rest, NULs included).
std::vector<std::string> Split_At_Nul(const std::uint8_t* data, std::size_t size,
                                      std::size_t max_pieces);

// Walks a byte stream of packets by their L fields and writes the correct
// checksum behind each whole packet, so that mutations of headers and data
// reach the validators instead of stopping at the checksum. A header with L
// above 65000 or a packet cut short ends the walk.
void Repair_Checksums(Bytes* stream);

// The same for the TCP/IP-style frames of htsim and the IO boxes is not
// needed: their frames carry no checksum.

// A private folder under the system's temporary folder, made on first use
// and removed at exit. Every call gives the same path (no trailing '/').
const std::string& Scratch_Folder();

// Removes everything inside the scratch folder (the folder stays).
void Empty_Scratch_Folder();

// A local stream socket pair (fds[0], fds[1]) with bytes already sent from
// fds[0] to fds[1]; the buffers are made large enough for 60000 bytes, so
// everything is queued before anyone reads. False when no pair could be made.
bool Socket_Pair_Holding(const std::uint8_t* data, std::size_t size, int fds[2]);

// A reader over the input: takes bytes from the front, zeros once it is empty.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
  std::uint8_t Byte() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }
  // Up to n bytes as text.
  std::string Text(std::size_t n) {
    const std::size_t k = n < n_ ? n : n_;
    std::string s(reinterpret_cast<const char*>(p_), k);
    p_ += k;
    n_ -= k;
    return s;
  }
  // Bytes up to the next NUL (which is consumed), or to the end.
  std::string Until_Nul() {
    std::string s;
    while (n_ > 0) {
      const std::uint8_t b = Byte();
      if (b == 0) break;
      s.push_back(static_cast<char>(b));
    }
    return s;
  }
  Bytes Rest() {
    Bytes b(p_, p_ + n_);
    p_ += n_;
    n_ = 0;
    return b;
  }
  std::size_t Left() const { return n_; }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
};

}  // namespace fuzz
