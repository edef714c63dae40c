// Frame reading and writing on one connection.
#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/socket.h"
#include "tcpip/internal.h"
#include "tcpip/netport.h"

namespace netport {

namespace {

constexpr int kWaitStepMs = 100;
constexpr int kSendWaits = 100;

int Step_Until(std::uint64_t deadline_ms, std::uint64_t now) {
  return static_cast<int>(std::min<std::uint64_t>(kWaitStepMs, deadline_ms - now));
}

// One read towards a frame: appends what arrives to r. 0 when bytes came,
// -4 when the deadline passed while nothing arrived, -27 when the connection
// failed or the peer closed.
int Fill(int s, FrameReader& r, std::size_t want, std::uint64_t deadline_ms) {
  for (;;) {
    long n = platform::Socket_Recv(s, r.buf + r.held, want);
    if (n > 0) {
      r.held += static_cast<std::uint32_t>(n);
      return 0;
    }
    if (n != platform::SOCKET_WOULD_BLOCK) return SO_LINK_BROKEN;
    std::uint64_t now = platform::Monotonic_Ms();
    if (now >= deadline_ms) return SO_TIMED_OUT;
    if (platform::Socket_Wait(s, platform::SocketWait::Readable, Step_Until(deadline_ms, now)) < 0)
      return SO_LINK_BROKEN;
  }
}

}  // namespace

void FrameReader::Consume() {
  if (used == 0) return;
  std::uint32_t rest = held - used;
  if (rest > 0) std::memmove(buf, buf + used, rest);
  held = rest;
  used = 0;
}

std::uint32_t RecvQueue::Take(std::uint8_t* dst, std::uint32_t n) {
  std::uint32_t m = std::min(n, Count());
  if (m > 0) std::memcpy(dst, data + read, m);
  read += m;
  if (read == end) read = end = 0;
  return m;
}

bool RecvQueue::Append(const std::uint8_t* src, std::uint32_t n) {
  if (n == 0) return true;
  if (Count() + n > sizeof data) return false;
  if (end + n > sizeof data) {
    std::memmove(data, data + read, Count());
    end -= read;
    read = 0;
  }
  std::memcpy(data + end, src, n);
  end += n;
  return true;
}

void Control_Frame(std::uint8_t out[kHeaderSize], std::uint8_t code, std::uint16_t word4) {
  std::memset(out, 0, kHeaderSize);
  out[0] = code;
  out[4] = static_cast<std::uint8_t>(word4 & 0xFF);
  out[5] = static_cast<std::uint8_t>(word4 >> 8);
}

namespace {

// Sends n1 bytes at p1 and then n2 at p2 (n2 may be 0), waiting while the
// kernel's send buffer is full: see Send_Whole.
SendOutcome Send_Whole_Two(int s, const std::uint8_t* p1, std::size_t n1, const std::uint8_t* p2,
                           std::size_t n2) {
  std::size_t done = 0;
  int waits = 0;
  while (done < n1 + n2) {
    long r = done < n1 ? platform::Socket_Send_Two(s, p1 + done, n1 - done, p2, n2)
                       : platform::Socket_Send(s, p2 + (done - n1), n2 - (done - n1));
    if (r > 0) {
      done += static_cast<std::size_t>(r);
      continue;
    }
    if (r != platform::SOCKET_WOULD_BLOCK) return SendOutcome::Failed;
    if (++waits > kSendWaits) return SendOutcome::Blocked;
    if (platform::Socket_Wait(s, platform::SocketWait::Writable, kWaitStepMs) < 0)
      return SendOutcome::Failed;
  }
  return SendOutcome::Sent;
}

}  // namespace

SendOutcome Send_Whole(int s, const std::uint8_t* p, std::size_t n) { return Send_Whole_Two(s, p, n, nullptr, 0); }

SendOutcome Send_Control(int s, std::uint8_t code, std::uint16_t word4) {
  std::uint8_t frame[kHeaderSize];
  Control_Frame(frame, code, word4);
  return Send_Whole(s, frame, sizeof frame);
}

long Send_Data_Frame(int s, const std::uint8_t* data, std::uint32_t chunk) {
  std::uint8_t header[kHeaderSize];
  Control_Frame(header, kPcData);
  header[2] = static_cast<std::uint8_t>(chunk & 0xFF);
  header[3] = static_cast<std::uint8_t>(chunk >> 8);
  switch (Send_Whole_Two(s, header, sizeof header, data, chunk)) {
    case SendOutcome::Sent: return static_cast<long>(chunk);
    case SendOutcome::Blocked: return SO_SEND_BLOCKED;
    case SendOutcome::Failed: break;
  }
  return SO_LINK_BROKEN;
}

int Read_Frame(int s, FrameReader& r) {
  r.Consume();
  if (Tcp_Timeout_Ms() == 0) return SO_TIMED_OUT;
  std::uint64_t deadline = Deadline_From_Now();
  while (r.held < kHeaderSize) {
    int e = Fill(s, r, kFrameSize - r.held, deadline);
    if (e < 0) return e;
  }
  if (r.buf[0] != kHtData) {
    r.used = kHeaderSize;
    return 0;
  }
  const std::uint32_t length = r.buf[2] + 256u * r.buf[3];
  if (length > kMaxPayload) {
    // The stream cannot be trusted past a header like this one.
    r.Clear();
    return SO_LINK_BROKEN;
  }
  const std::uint32_t whole = static_cast<std::uint32_t>(kHeaderSize) + length;
  if (r.held < whole) {
    deadline = Deadline_From_Now();
    while (r.held < whole) {
      int e = Fill(s, r, whole - r.held, deadline);
      if (e < 0) return e;
    }
  }
  r.used = whole;
  return static_cast<int>(length);
}

ScanResult Await_Control(int s, FrameReader& r, std::uint8_t code, std::uint64_t deadline_ms,
                         std::size_t read_max, bool ignore_closed) {
  r.Consume();
  for (;;) {
    for (std::uint32_t i = 0; i + kHeaderSize <= r.held; ++i) {
      if (r.buf[i] != code) continue;
      bool zeros = true;
      for (std::size_t k = 1; k < kHeaderSize && zeros; ++k) zeros = r.buf[i + k] == 0;
      if (!zeros) continue;
      r.used = i + static_cast<std::uint32_t>(kHeaderSize);
      return ScanResult::Found;
    }
    // Keep only what could be the start of the frame awaited.
    constexpr std::uint32_t keep = kHeaderSize - 1;
    if (r.held > keep) {
      std::memmove(r.buf, r.buf + r.held - keep, keep);
      r.held = keep;
    }
    std::size_t want = std::min(read_max, kFrameSize - r.held);
    long n = platform::Socket_Recv(s, r.buf + r.held, want);
    if (n > 0) {
      r.held += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n == 0 && !ignore_closed) return ScanResult::Closed;
    if (n < 0 && n != platform::SOCKET_WOULD_BLOCK) return ScanResult::Failed;
    std::uint64_t now = platform::Monotonic_Ms();
    if (now >= deadline_ms) return ScanResult::TimedOut;
    if (n == 0) {
      // The peer has closed and nothing more can arrive: just let the time
      // limit run out at a slow pace.
      platform::Sleep_Ms(static_cast<std::uint32_t>(Step_Until(deadline_ms, now)));
      continue;
    }
    if (platform::Socket_Wait(s, platform::SocketWait::Readable, Step_Until(deadline_ms, now)) < 0)
      return ScanResult::Failed;
  }
}

}  // namespace netport
