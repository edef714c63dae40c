#include "fuzz/fuzz_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <system_error>

namespace fuzz {

bool Socket_Pair_Holding(const std::uint8_t* data, std::size_t size, int fds[2]) {
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  int buf = 1 << 20;
  for (int i = 0; i < 2; ++i) {
    ::setsockopt(fds[i], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    ::setsockopt(fds[i], SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fds[0], data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return true;
}


namespace fs = std::filesystem;

std::vector<std::string> Split_At_Nul(const std::uint8_t* data, std::size_t size,
                                      std::size_t max_pieces) {
  std::vector<std::string> pieces(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && pieces.size() < max_pieces) {
      pieces.emplace_back();
      continue;
    }
    pieces.back().push_back(static_cast<char>(data[i]));
  }
  return pieces;
}

void Repair_Checksums(Bytes* stream) {
  Bytes& s = *stream;
  std::size_t pos = 0;
  while (pos + 5 <= s.size()) {
    const std::size_t len = s[pos + 3] | (s[pos + 4] << 8);
    if (len > 65000 || pos + 5 + len + 2 > s.size()) return;
    unsigned sum = 0;
    for (std::size_t i = pos; i < pos + 5 + len; ++i) sum += s[i];
    const auto check = static_cast<std::uint16_t>(0x10000u - (sum & 0xFFFFu));
    s[pos + 5 + len] = static_cast<std::uint8_t>(check & 0xFF);
    s[pos + 5 + len + 1] = static_cast<std::uint8_t>(check >> 8);
    pos += 5 + len + 2;
  }
}

namespace {

struct Scratch {
  std::string path;
  Scratch() {
    std::random_device rd;
    path = (fs::temp_directory_path() / ("tarnel-fuzz-" + std::to_string(rd()) + std::to_string(rd())))
               .string();
    fs::create_directories(path);
  }
  ~Scratch() {
    std::error_code ec;
    Make_Writable();
    fs::remove_all(path, ec);
  }
  void Make_Writable() const {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::end(it); it.increment(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
};

Scratch& The_Scratch() {
  static Scratch s;
  return s;
}

}  // namespace

const std::string& Scratch_Folder() { return The_Scratch().path; }

void Empty_Scratch_Folder() {
  Scratch& s = The_Scratch();
  s.Make_Writable();
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(s.path, ec)) fs::remove_all(e.path(), ec);
}

}  // namespace fuzz
