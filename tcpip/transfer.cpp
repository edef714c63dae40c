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
// arrived. Ready when something is there to read (a closed link included,
// which the read that follows reports); None when nothing came or the wait
// itself failed; Broken when the read failed.
//
// The wait is a read with the socket's receive time-out, one system call per
// answer where a readiness wait and a read would take two. On a socket that
// is not in blocking mode, or when a signal cuts the read short, the rest of
// the time is waited with a readiness wait.
enum class Answer { Ready, None, Broken };

Answer Await_Answer(int s, Slot& slot) {
  FrameReader& r = slot.reader;
  if (r.Pending()) return Answer::Ready;
  r.Consume();
  const int seconds = std::max(0, g_settings.select_timeout.load());
  const long long limit = std::min<long long>(static_cast<long long>(seconds) * 1000 + kExtraWaitMs, 0x7FFFFFFF);
  const std::uint64_t deadline = platform::Monotonic_Ms() + static_cast<std::uint64_t>(limit);
  const long got = platform::Socket_Recv_Within(s, r.buf + r.held, kFrameSize - r.held,
                                                static_cast<int>(limit), &slot.recv_timeout_ms);
  if (got > 0) {
    r.held += static_cast<std::uint32_t>(got);
    return Answer::Ready;
  }
  if (got == 0) return Answer::Ready;
  if (got != platform::SOCKET_WOULD_BLOCK) return Answer::Broken;
  const std::uint64_t now = platform::Monotonic_Ms();
  if (now >= deadline) return Answer::None;
  const int w = platform::Socket_Wait(s, platform::SocketWait::Readable, static_cast<int>(deadline - now));
  return w > 0 ? Answer::Ready : Answer::None;
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
    long sent = Send_Data_Frame(s, data + done, chunk);
    if (sent < 0) return sent;
    if (Await_Answer(s, *slot) != Answer::Ready) return SO_BAD_ARGUMENT;
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
    switch (Await_Answer(s, *slot)) {
      case Answer::Ready: break;
      case Answer::None: return SO_BAD_ARGUMENT;
      case Answer::Broken: return SO_LINK_BROKEN;
    }
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
