// Turning away a TCP/IP connection beyond MAX_IO: the link manager writes
// the refusal to the socket itself, waits for the HT's answer and ends the
// connection.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "channel/mux32.h"
#include "linkman/internal.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/profile.h"
#include "platform/socket.h"

namespace tether {

namespace {

constexpr std::size_t kMessageSize = 31;
constexpr std::size_t kTextSize = 23;
constexpr std::size_t kFrameSize = 8;
constexpr std::uint8_t kRefusalCode = 0x10;
constexpr std::uint8_t kAnswerCode = 0x12;
constexpr std::uint8_t kEndCode = 0x0C;
constexpr int kDefaultTimeout = 60;
constexpr int kWaitStepMs = 100;
constexpr unsigned char kCloseAtOnce = 33;
constexpr const char* kNotFound = "Stringnotfound";

// Hands all n bytes to the socket before the deadline. False on a socket
// error or when the time ran out.
bool Send_All(int s, const std::uint8_t* p, std::size_t n, std::uint64_t deadline) {
  while (n > 0) {
    long r = platform::Socket_Send(s, p, n);
    if (r > 0) {
      p += r;
      n -= static_cast<std::size_t>(r);
      continue;
    }
    if (r != platform::SOCKET_WOULD_BLOCK) return false;
    const std::uint64_t now = platform::Monotonic_Ms();
    if (now >= deadline) return false;
    const std::uint64_t left = deadline - now;
    platform::Socket_Wait(s, platform::SocketWait::Writable,
                          static_cast<int>(left < kWaitStepMs ? left : kWaitStepMs));
  }
  return true;
}

// True when held[0..n) contains code followed by seven zero bytes.
bool Holds_Frame(const std::uint8_t* held, std::size_t n, std::uint8_t code) {
  for (std::size_t i = 0; i + kFrameSize <= n; ++i) {
    if (held[i] != code) continue;
    bool zeros = true;
    for (std::size_t k = 1; k < kFrameSize && zeros; ++k) zeros = held[i + k] == 0;
    if (zeros) return true;
  }
  return false;
}

// Reads 8 bytes at a time until the answer frame has arrived. False on a
// socket error, a closed connection or when the deadline passed.
bool Await_Answer(int s, std::uint64_t deadline) {
  // The last bytes received; a frame may arrive cut into pieces.
  std::uint8_t held[4 * kFrameSize];
  std::size_t n = 0;
  for (;;) {
    const std::uint64_t now = platform::Monotonic_Ms();
    if (now >= deadline) return false;
    if (n + kFrameSize > sizeof held) {
      // Keep the last seven bytes: the start of a frame cut by the read.
      std::memmove(held, held + n - (kFrameSize - 1), kFrameSize - 1);
      n = kFrameSize - 1;
    }
    long r = platform::Socket_Recv(s, held + n, kFrameSize);
    if (r > 0) {
      n += static_cast<std::size_t>(r);
      if (Holds_Frame(held, n, kAnswerCode)) return true;
      continue;
    }
    if (r != platform::SOCKET_WOULD_BLOCK) return false;  // closed or failed
    const std::uint64_t left = deadline - now;
    platform::Socket_Wait(s, platform::SocketWait::Readable,
                          static_cast<int>(left < kWaitStepMs ? left : kWaitStepMs));
  }
}

}  // namespace

int Refusal_Timeout_Seconds() {
  const std::string ini = Device_Ini_Path();
  if (!File_Exists(ini)) {
    platform::Message_Box("Device.ini Not Found", "Message Box");
    return 0;
  }
  char value[80];
  platform::Get_Private_Profile_String("ETHERNET", "TCP_TIMEOUT", kNotFound, value, sizeof value, ini.c_str());
  if (std::strcmp(value, kNotFound) == 0) return kDefaultTimeout;
  long seconds = std::strtol(value, nullptr, 10);
  if (seconds < 0) return 0;
  return seconds > 86400 ? 86400 : static_cast<int>(seconds);
}

void Refuse_Connection(int s, int max_io, std::uint32_t limit_ms) {
  char text[kTextSize] = {};
  std::snprintf(text, sizeof text, "No More Connection %d", max_io);
  std::uint8_t message[kMessageSize] = {kRefusalCode, 0, static_cast<std::uint8_t>(kTextSize)};
  std::memcpy(message + kFrameSize, text, kTextSize);

  const std::uint64_t wait_ms =
      std::min<std::uint64_t>(static_cast<std::uint64_t>(Refusal_Timeout_Seconds()) * 1000, limit_ms);
  const std::uint64_t deadline = platform::Monotonic_Ms() + wait_ms;
  if (Send_All(s, message, sizeof message, deadline) && Await_Answer(s, deadline)) {
    const std::uint8_t end[kFrameSize] = {kEndCode};
    Send_All(s, end, sizeof end, deadline);
  }
  // Every way out ends the connection and uncounts it.
  Add_To_Count(-1);
  Close(s, kCloseAtOnce);
}

}  // namespace tether
