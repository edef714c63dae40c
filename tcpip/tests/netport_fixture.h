// Test support for the TCP/IP driver: a program directory with device.ini, a
// listening socket from the driver on 127.0.0.1, and an HT played by the test
// over a raw loopback socket.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "channel/mux32.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/socket.h"
#include "tcpip/internal.h"
#include "tcpip/netport.h"
#include "testsupport/free_port.h"

namespace nptest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Control(std::uint8_t code, std::uint16_t word4 = 0) {
  Bytes b(8, 0);
  b[0] = code;
  b[4] = static_cast<std::uint8_t>(word4 & 0xFF);
  b[5] = static_cast<std::uint8_t>(word4 >> 8);
  return b;
}

// An HT data frame (code 0x00) with the given payload.
inline Bytes Ht_Data(const Bytes& payload) {
  Bytes b(8, 0);
  b[2] = static_cast<std::uint8_t>(payload.size() & 0xFF);
  b[3] = static_cast<std::uint8_t>(payload.size() >> 8);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

inline Bytes Pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 131 + seed) % 251);
  return b;
}

inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct PcFrame {
  std::uint8_t code = 0xFF;
  Bytes header;
  Bytes payload;
};

// The HT's end of one connection.
class Peer {
 public:
  Peer() = default;
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  ~Peer() { Close(); }

  bool Connect(int port, const char* to = "127.0.0.1", const char* from = nullptr) {
    fd_ = platform::Tcp_Socket_Open();
    if (fd_ <= 0) return false;
    return platform::Socket_Connect(fd_, to, static_cast<std::uint16_t>(port), from, 2000) ==
           platform::SOCKET_OK;
  }
  void Close() {
    if (fd_ > 0) platform::Socket_Close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }

  bool Send(const Bytes& b) {
    std::size_t done = 0;
    const std::uint64_t end = platform::Monotonic_Ms() + 2000;
    while (done < b.size()) {
      long r = platform::Socket_Send(fd_, b.data() + done, b.size() - done);
      if (r > 0) {
        done += static_cast<std::size_t>(r);
      } else if (r == platform::SOCKET_WOULD_BLOCK && platform::Monotonic_Ms() < end) {
        platform::Socket_Wait(fd_, platform::SocketWait::Writable, 50);
      } else {
        return false;
      }
    }
    return true;
  }

  // Reads exactly n bytes; fewer when the time passed or the PC closed.
  Bytes Read(std::size_t n, int timeout_ms = 3000) {
    Bytes out;
    const std::uint64_t end = platform::Monotonic_Ms() + static_cast<std::uint64_t>(timeout_ms);
    std::uint8_t buf[4096];
    while (out.size() < n) {
      long r = platform::Socket_Recv(fd_, buf, std::min(sizeof buf, n - out.size()));
      if (r > 0) {
        out.insert(out.end(), buf, buf + r);
        continue;
      }
      if (r != platform::SOCKET_WOULD_BLOCK) break;
      std::uint64_t now = platform::Monotonic_Ms();
      if (now >= end) break;
      platform::Socket_Wait(fd_, platform::SocketWait::Readable, static_cast<int>(end - now));
    }
    return out;
  }

  // Reads one frame of the PC: 8 bytes, plus the payload of a 0x10 frame.
  bool Read_Frame(PcFrame* f, int timeout_ms = 3000) {
    f->header = Read(8, timeout_ms);
    if (f->header.size() != 8) return false;
    f->code = f->header[0];
    f->payload.clear();
    if (f->code == netport::kPcData) {
      std::size_t n = f->header[2] + 256u * f->header[3];
      f->payload = Read(n, timeout_ms);
      if (f->payload.size() != n) return false;
    }
    return true;
  }

  // Expects one control frame with this code.
  bool Expect(std::uint8_t code, int timeout_ms = 3000) {
    Bytes b = Read(8, timeout_ms);
    return b == Control(code);
  }

  // True when nothing arrives within ms (neither bytes nor an end).
  bool Quiet(int ms) { return platform::Socket_Wait(fd_, platform::SocketWait::Readable, ms) == 0; }

  // True when the PC closed the connection within timeout_ms; *extra counts
  // bytes that came before the end.
  bool Sees_End(int timeout_ms = 3000, std::size_t* extra = nullptr) {
    std::size_t count = 0;
    const std::uint64_t end = platform::Monotonic_Ms() + static_cast<std::uint64_t>(timeout_ms);
    std::uint8_t buf[4096];
    for (;;) {
      long r = platform::Socket_Recv(fd_, buf, sizeof buf);
      if (r > 0) {
        count += static_cast<std::size_t>(r);
        continue;
      }
      if (extra) *extra = count;
      if (r == 0 || r == platform::SOCKET_FAILED) return true;
      std::uint64_t now = platform::Monotonic_Ms();
      if (now >= end) return false;
      platform::Socket_Wait(fd_, platform::SocketWait::Readable, static_cast<int>(end - now));
    }
  }

 private:
  int fd_ = -1;
};

constexpr const char* kDefaultIni =
    "[ETHERNET]\r\n"
    "PORTNO=0\r\n"
    "TCP_TIMEOUT=2\r\n"
    "SELECT_TIMEOUT=2\r\n"
    "[IOBOX]\r\n"
    "IOBOX_RBYTES=4660\r\n";

class NetportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() /
           ("tarnel-netport-" + std::to_string(rd()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    std::string module = (dir_ / "tarnel").string();
    std::snprintf(handle_.module_path, sizeof handle_.module_path, "%s", module.c_str());
    Instance_Handle = &handle_;
    setenv("TARNEL_LISTEN", "127.0.0.1", 1);
    platform::Set_Message_Box_Handler([this](const std::string& text, const std::string&, unsigned) {
      std::lock_guard<std::mutex> lock(boxes_mutex_);
      boxes_.push_back(text);
      return platform::IDOK;
    });
  }

  void TearDown() override {
    if (listening_ > 0) so_close(listening_, 0);
    so_reset();
    platform::Set_Message_Box_Handler({});
    Instance_Handle = nullptr;
    unsetenv("TARNEL_LISTEN");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Writes device.ini; unless as_given, PORTNO=0 in raw stands for a port
  // nobody listens on.
  void Write_Ini(const std::string& raw, bool as_given = false) {
    const std::string text = as_given ? raw : testsupport::With_Free_Port(raw);
    std::FILE* f = std::fopen((dir_ / "device.ini").string().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }

  // so_init with this device.ini, then a listening socket on an ephemeral
  // port of 127.0.0.1.
  void Start(const std::string& ini = kDefaultIni) {
    Write_Ini(ini);
    Start_Without_Ini();
  }
  void Start_Without_Ini() {
    ASSERT_EQ(so_init(), 0);
    listening_ = so_open();
    ASSERT_GT(listening_, 0);
    ASSERT_EQ(so_bind(listening_, 5), 0);
    port_ = platform::Socket_Local_Port(listening_);
    ASSERT_GT(port_, 0);
  }

  // Waits (bounded) until the driver sees a waiting connection.
  bool Wait_Listen(int ms = 2000) {
    const std::uint64_t end = platform::Monotonic_Ms() + static_cast<std::uint64_t>(ms);
    while (platform::Monotonic_Ms() < end) {
      if (so_listen(listening_, 1) == 1) return true;
      platform::Sleep_Ms(2);
    }
    return false;
  }

  // Connects peer (from `from` when given) and accepts it.
  int Accept_From(Peer& peer, const char* from = nullptr) {
    if (!peer.Connect(port_, "127.0.0.1", from)) return -100;
    if (!Wait_Listen()) return -101;
    return so_accept(listening_);
  }

  std::vector<std::string> Boxes() {
    std::lock_guard<std::mutex> lock(boxes_mutex_);
    return boxes_;
  }

  std::filesystem::path dir_;
  InstanceHandle handle_{};
  int listening_ = -1;
  int port_ = 0;
  std::mutex boxes_mutex_;
  std::vector<std::string> boxes_;
};

}  // namespace nptest
