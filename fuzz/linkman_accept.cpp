// The link manager's TCP/IP accept path with the real TCP/IP driver: the
// listener, station numbers from [USE_IP], the connection table, the
// handshake, the replacement of a station's earlier connection and the
// close, against connections from 127.0.0.2 to 127.0.0.9 (the first four
// listed, the rest not) that send the input's bytes. The engine's session is
// a stub (the session target fuzzes the engine itself), so no PC file is
// touched. The link runs for the whole process; each input is bounded: at
// most 6 connections, each read from for at most 20 ms, and a wait of at
// most 3 s for the stations to be gone.
//
// Input: byte 0 chooses the stub (bit 0: it returns 71 instead of 0; bit 1:
// it takes 3 ms). Then per connection an op byte (bits 0-2: source
// 127.0.0.(2 + n); bit 3: stays open until the input's end; bits 4-5: how
// long to read what the PC sends, 0, 5 or 20 ms; bit 6: the bytes go in two
// pieces 2 ms apart), a length byte L and L bytes to send.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/core/progdir.h"
#include "engine/rox32.h"
#include "fuzz/fuzz_support.h"
#include "linkman/testing.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/socket.h"
#include "testsupport/free_port.h"

namespace {

constexpr int kConnections = 6;
constexpr std::uint64_t kGoneWaitMs = 3000;

std::atomic<int> g_stub{0};

short Stub_Session(RS232_ROX&, int) {
  const int stub = g_stub.load();
  if (stub & 2) platform::Sleep_Ms(3);
  return static_cast<short>((stub & 1) ? 71 : 0);
}

int g_port = 0;

void Stop_Link() {
  if (Session_Running(LINK_TCPIP)) Stop_A_Session(LINK_TCPIP, 0);
  End_Remaining_Sessions(10000);
}

// Starts the link once per process: a program directory in the scratch
// folder whose device.ini lists four stations and a free loopback port.
bool Start_Link() {
  static bool started = false;
  static bool ok = false;
  if (started) return ok;
  started = true;
  const int port = testsupport::Free_Loopback_Port();
  if (port <= 0) return false;
  const std::string dir = fuzz::Scratch_Folder() + "/";
  std::ofstream(dir + "device.ini", std::ios::binary)
      << "IF=ETHERNET\r\n[ETHERNET]\r\nTCP_TIMEOUT=1\r\nSELECT_TIMEOUT=1\r\nPORTNO=" << port
      << "\r\nMAX_IO=3\r\n[USE_IP]\r\n1=127.0.0.2\r\n2=127.0.0.3\r\n3=127.0.0.4\r\n4=127.0.0.5\r\n";
  if (!Set_Program_Directory(dir)) return false;
  setenv("TARNEL_LISTEN", "127.0.0.1", 1);
  platform::Set_Message_Box_Handler([](const std::string&, const std::string&, unsigned) { return platform::IDOK; });
  tether::Set_Session_Runner(Stub_Session);
  tether::Set_Listen_Pause_Ms(5);
  if (Start_A_Session(LINK_TCPIP, 0) < 0) return false;
  std::atexit(Stop_Link);
  g_port = port;
  ok = true;
  return true;
}

// Reads what the PC sends for up to ms milliseconds (or until it closes).
void Drain(int s, int ms) {
  if (ms <= 0) return;
  const std::uint64_t end = platform::Monotonic_Ms() + static_cast<std::uint64_t>(ms);
  std::uint8_t buf[4096];
  for (;;) {
    const std::uint64_t now = platform::Monotonic_Ms();
    if (now >= end) return;
    if (platform::Socket_Wait(s, platform::SocketWait::Readable, static_cast<int>(end - now)) <= 0) return;
    if (platform::Socket_Recv(s, buf, sizeof buf) <= 0) return;
  }
}

void Send_All(int s, const std::uint8_t* p, std::size_t n) {
  std::size_t done = 0;
  for (int tries = 0; done < n && tries < 50; ++tries) {
    const long w = platform::Socket_Send(s, p + done, n - done);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
    } else if (w == platform::SOCKET_WOULD_BLOCK) {
      platform::Socket_Wait(s, platform::SocketWait::Writable, 10);
    } else {
      return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4096 || !Start_Link()) return 0;
  fuzz::Input in(data, size);
  g_stub.store(in.Byte());
  std::vector<int> open;
  for (int c = 0; c < kConnections && in.Left() >= 2; ++c) {
    const std::uint8_t op = in.Byte();
    const fuzz::Bytes bytes = [&] {
      const std::string t = in.Text(in.Byte());
      return fuzz::Bytes(t.begin(), t.end());
    }();
    const std::string source = "127.0.0." + std::to_string(2 + (op & 7));
    const int s = platform::Tcp_Socket_Open();
    if (s <= 0) break;
    if (platform::Socket_Connect(s, "127.0.0.1", static_cast<std::uint16_t>(g_port), source.c_str(), 1000) !=
        platform::SOCKET_OK) {
      platform::Socket_Close(s);
      continue;
    }
    const int read_ms = (op >> 4 & 3) == 0 ? 0 : (op >> 4 & 3) == 1 ? 5 : 20;
    if ((op & 0x40) && bytes.size() > 1) {
      Send_All(s, bytes.data(), bytes.size() / 2);
      platform::Sleep_Ms(2);
      Send_All(s, bytes.data() + bytes.size() / 2, bytes.size() - bytes.size() / 2);
    } else if (!bytes.empty()) {
      Send_All(s, bytes.data(), bytes.size());
    }
    Drain(s, read_ms);
    if (op & 8) {
      open.push_back(s);
    } else {
      platform::Socket_Close(s);
    }
  }
  for (int s : open) platform::Socket_Close(s);
  // Every station the input connected ends once its connection is gone.
  const std::uint64_t end = platform::Monotonic_Ms() + kGoneWaitMs;
  while (platform::Load(TCPIP_Connections[TCPIP_COUNT_INDEX]) > 0 && platform::Monotonic_Ms() < end)
    platform::Sleep_Ms(1);
  return 0;
}
