// so_send and so_recv: data frames with acknowledgements, and polling.
#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/socket.h"
#include "tcpip/internal.h"
#include "tcpip/netport.h"

using namespace netport;

namespace {

constexpr std::uint32_t kMaxLength = 65536;
constexpr int kExtraWaitMs = 100;

// Waits for the HT's answer to a frame of ours: SELECT_TIMEOUT seconds and
// then 100 ms more. Bytes already held from an earlier read count as
// arrived. True when something is there to read; false when nothing came or
// the wait itself failed.
bool Await_Answer(int s, const FrameReader& r) {
  if (r.Pending()) return true;
  const int seconds = std::max(0, g_settings.select_timeout.load());
  const long long ms = std::min<long long>(static_cast<long long>(seconds) * 1000, 0x7FFFFFFF);
  int w = platform::Socket_Wait(s, platform::SocketWait::Readable, static_cast<int>(ms));
  if (w == 0) w = platform::Socket_Wait(s, platform::SocketWait::Readable, kExtraWaitMs);
  return w > 0;
}

bool Passed(std::uint64_t start, std::uint64_t limit_ms) {
  return platform::Monotonic_Ms() - start >= limit_ms;
}

}  // namespace

long so_send(int s, unsigned char* data, std::uint32_t length) {
  if (data == nullptr || length == 0 || length > kMaxLength || s <= 0) return SO_BAD_ARGUMENT;
  Slot* slot = Find_Slot(s);
  if (slot == nullptr) return SO_BAD_ARGUMENT;
  const std::uint64_t start = platform::Monotonic_Ms();
  const std::uint64_t limit = Tcp_Timeout_Ms();
  std::uint32_t done = 0;
  while (done < length) {
    if (Passed(start, limit)) return done > 0 ? static_cast<long>(done) : long{SO_TIMED_OUT};
    const std::uint32_t chunk = std::min<std::uint32_t>(length - done, kMaxPayload);
    long sent = Send_Data_Frame(s, slot->send_frame, data + done, chunk);
    if (sent < 0) return sent;
    if (!Await_Answer(s, slot->reader)) return SO_BAD_ARGUMENT;
    int n = Read_Frame(s, slot->reader);
    if (n < 0) return SO_BAD_ARGUMENT;
    const std::uint8_t code = slot->reader.buf[0];
    if (code == kResend) continue;
    if (code == kHtData && n > 0 &&
        !slot->queue.Append(slot->reader.buf + kHeaderSize, static_cast<std::uint32_t>(n))) {
      // The HT keeps sending data nobody reads; rather end the session than
      // lose some of it.
      return SO_LINK_BROKEN;
    }
    done += chunk;
  }
  return static_cast<long>(length);
}

long so_recv(int s, unsigned char* data, std::uint32_t length, int flags) {
  if (flags < 0 || data == nullptr || length == 0 || length > kMaxLength || s <= 0)
    return SO_BAD_ARGUMENT;
  Slot* slot = Find_Slot(s);
  if (slot == nullptr) return SO_BAD_ARGUMENT;
  std::uint32_t delivered = slot->queue.Take(data, length);
  if (delivered == length) return static_cast<long>(length);
  if (flags & 1) return static_cast<long>(delivered);

  const std::uint64_t start = platform::Monotonic_Ms();
  const std::uint64_t limit = Tcp_Timeout_Ms();
  while (delivered < length) {
    if (Passed(start, limit)) return delivered > 0 ? static_cast<long>(delivered) : long{SO_TIMED_OUT};
    const std::uint32_t chunk = std::min<std::uint32_t>(length - delivered, kMaxPayload);
    // One poll for one frame: when bytes of the next frame are already here
    // they answer an earlier poll, and polling again would put the HT one
    // frame ahead of us.
    if (!slot->reader.Pending() && Send_Control(s, kPoll) == SendOutcome::Failed)
      return SO_SOCKET_ERROR;
    if (!Await_Answer(s, slot->reader)) return SO_BAD_ARGUMENT;
    int n = Read_Frame(s, slot->reader);
    if (n < 0) return n;
    const std::uint8_t* payload = slot->reader.buf + kHeaderSize;
    const auto got = static_cast<std::uint32_t>(n);
    if (got > chunk) {
      std::memcpy(data + delivered, payload, chunk);
      slot->queue.Append(payload + chunk, got - chunk);  // the queue was emptied above
      return static_cast<long>(length);
    }
    if (got > 0) std::memcpy(data + delivered, payload, got);
    delivered += got;
  }
  return static_cast<long>(length);
}
