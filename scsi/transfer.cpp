// ch_send and ch_recv: data frames with their acknowledgements (and the
// early data an acknowledgement may carry), polls, and the receive queue.
#include <algorithm>
#include <cstring>

#include "platform/atomic.h"
#include "scsi/internal.h"

namespace boxlink {

namespace {

constexpr std::uint32_t kMaxLength = 65535;
constexpr std::uint32_t kSendLimitMs = 15000;
constexpr std::uint32_t kRecvLimitMs = 60000;
constexpr int kAttempts = 100;

bool Valid(int channel) {
  return channel >= 1 && channel <= kChannels && platform::Load(S().ch[channel].in_use) != 0;
}

// One command with the 100-attempt rule: a selection time-out (status 4,
// host status 0x11) is tried again, after 1 ms when pause is set. Returns 0
// when the command ended (its outcome in *o), else the driver's result.
int With_Attempts(Block& b, int t, Cmd cmd, std::uint8_t* buf, std::uint32_t len, std::uint16_t count, bool pause,
                  Outcome* o) {
  const int ha = platform::Load(S().adapter);
  for (int i = 0; i < kAttempts; ++i) {
    *o = Execute(b, ha, t, cmd, buf, len, count, kLongPeriod);
    if (!o->submitted) return BL_ASPI_ERROR;
    if (o->deadline) {
      Add(Gvp_reset_flag, t);
      return BL_DEADLINE;
    }
    // A status the ABI does not define (or an abort from elsewhere) says
    // nothing about what reached the box: the box cannot be trusted.
    if (o->status != SS_COMP && o->status != SS_ERR) return BL_ASPI_ERROR;
    if (o->status == SS_ERR && o->ha == HASTAT_SEL_TO) {
      if (pause) Now().sleep(1);
      continue;
    }
    if (o->ha != HASTAT_OK && o->ha != HASTAT_DO_DU) return BL_ASPI_ERROR;
    return 0;
  }
  return BL_ASPI_ERROR;
}

// Sends one data frame and reads its acknowledgement. 0 accepted, 1 send the
// chunk again, or a negative result.
int Send_Chunk(Channel& c, int t, const unsigned char* data, std::uint32_t n) {
  Block* b = Block_For(t);
  if (b == nullptr) {
    Add(Gvp_reset_flag, t);
    return BL_DEADLINE;
  }
  std::memset(c.send, 0, kHeader + n);
  c.send[0] = kData;
  c.send[2] = static_cast<std::uint8_t>(n & 0xFF);
  c.send[3] = static_cast<std::uint8_t>(n >> 8);
  std::memcpy(c.send + kHeader, data, n);
  Outcome o;
  const auto frame = static_cast<std::uint32_t>(kHeader + n);
  int r = With_Attempts(*b, t, Cmd::kWrite, c.send, frame, static_cast<std::uint16_t>(frame), true, &o);
  if (r < 0) return r;
  std::memset(b->data, 0, kAckBuffer);
  r = With_Attempts(*b, t, Cmd::kRead, b->data, kAckBuffer, kHeader, false, &o);
  if (r < 0) return r;
  const std::uint8_t* ack = b->data;
  if (ack[0] == kResendCode) return 1;
  if (ack[0] != kAck) return BL_BAD_ARGUMENT;
  PerId& p = S().id[t];
  if (ack[1] == 1) {
    const std::uint32_t count = ack[2] + 256u * ack[3];
    // Only a count whose bytes fit behind the frame is early data; a larger
    // one would announce bytes that never arrived.
    if (count >= 1 && count < kEarlyBuffer) {
      std::memcpy(p.early, ack + kHeader, count);
      p.early_count = count;
    } else {
      p.early_count = 0;
    }
  }
  return 0;
}

// Poll, then read one data frame into c.recv. Payload length, or a negative
// result.
long Read_Frame(Channel& c, int t) {
  Block* b = Block_For(t);
  if (b == nullptr) {
    Add(Gvp_reset_flag, t);
    return BL_DEADLINE;
  }
  const int ha = platform::Load(S().adapter);
  std::memset(b->data, 0, kHeader);
  b->data[0] = kPoll;
  Outcome o = Execute(*b, ha, t, Cmd::kWrite, b->data, kHeader, kHeader, kLongPeriod);
  if (!o.submitted) return BL_ASPI_ERROR;
  if (o.deadline) {
    Add(Gvp_reset_flag, t);
    return BL_DEADLINE;
  }
  if (o.ha != HASTAT_OK) return BL_ASPI_ERROR;
  std::memset(c.recv, 0, sizeof c.recv);
  o = Execute(*b, ha, t, Cmd::kRead, c.recv, kRecvFrame, static_cast<std::uint16_t>(kRecvFrame), kLongPeriod);
  if (!o.submitted) return BL_ASPI_ERROR;
  if (o.deadline) {
    Add(Gvp_reset_flag, t);
    return BL_DEADLINE;
  }
  if (o.ha != HASTAT_OK && o.ha != HASTAT_DO_DU) return BL_ASPI_ERROR;
  if (o.status != SS_COMP && o.status != SS_ERR) return BL_ASPI_ERROR;
  if (c.recv[0] != 0) return BL_BAD_ARGUMENT;
  const std::uint32_t n = c.recv[2] + 256u * c.recv[3];
  // A frame announcing more than the buffer holds cannot be trusted.
  if (n > kRecvChunk) return BL_BAD_ARGUMENT;
  return static_cast<long>(n);
}

}  // namespace

}  // namespace boxlink

using namespace boxlink;

long ch_send(int channel, unsigned char* data, std::uint32_t length) {
  if (data == nullptr || length == 0 || length > kMaxLength) return BL_BAD_ARGUMENT;
  if (!Valid(channel)) return BL_NOT_IN_USE;
  Channel& c = S().ch[channel];
  const int t = c.id;
  if (t >= kIds) return BL_NOT_IN_USE;
  if (Has(Gvp_reset_flag, t)) return BL_NEEDS_RESET;
  const std::uint32_t start = Now().tick();
  std::uint32_t done = 0;
  while (done < length) {
    if (Now().tick() - start >= kSendLimitMs) {
      Hang_Up(t);
      return BL_NEEDS_RESET;
    }
    const std::uint32_t chunk = std::min(length - done, kSendChunk);
    const int r = Send_Chunk(c, t, data + done, chunk);
    if (r < 0) return r;
    if (r == 1) continue;
    done += chunk;
  }
  return static_cast<long>(length);
}

long ch_recv(int channel, unsigned char* data, std::uint32_t length, int flags) {
  if (flags < 0 || data == nullptr || length == 0 || length > kMaxLength) return BL_BAD_ARGUMENT;
  if (!Valid(channel)) return BL_NOT_IN_USE;
  Channel& c = S().ch[channel];
  const int t = c.id;
  if (t >= kIds) return BL_NOT_IN_USE;
  if (Has(Gvp_reset_flag, t)) return BL_NEEDS_RESET;
  PerId& p = S().id[t];

  if (flags == 1) {
    if (length >= 11) return BL_BAD_ARGUMENT;
    if (p.early_count == 0) return 0;
    const std::uint32_t n = std::min(length, p.early_count);
    std::memcpy(data, p.early, n);
    std::memset(p.early, 0, sizeof p.early);
    p.early_count = 0;
    return static_cast<long>(n);
  }

  std::uint32_t got = 0;
  if (p.early_count > 0) {
    if (p.early_count >= length) {
      std::memcpy(data, p.early, length);
      p.early_count -= length;
      std::memmove(p.early, p.early + length, p.early_count);
      return static_cast<long>(length);
    }
    std::memcpy(data, p.early, p.early_count);
    got = p.early_count;
    p.early_count = 0;
    std::memset(p.early, 0, sizeof p.early);
  }

  if (c.q_count > 0) {
    const std::uint32_t want = length - got;
    const std::uint32_t n = std::min(want, c.q_count);
    std::memcpy(data + got, c.recv + kHeader + c.q_read, n);
    got += n;
    c.q_read += n;
    c.q_count -= n;
    if (c.q_count == 0) c.q_read = c.q_end = 0;
    if (got == length) return static_cast<long>(length);
  }

  const std::uint32_t start = Now().tick();
  while (got < length) {
    if (Now().tick() - start >= kRecvLimitMs) return BL_TIMED_OUT;
    const std::uint32_t chunk = std::min(length - got, kRecvChunk);
    const long n = Read_Frame(c, t);
    if (n < 0) return n;
    const auto payload = static_cast<std::uint32_t>(n);
    if (payload > chunk) {
      std::memcpy(data + got, c.recv + kHeader, chunk);
      c.q_read = chunk;
      c.q_end = payload;
      c.q_count = payload - chunk;
      return static_cast<long>(length);
    }
    std::memcpy(data + got, c.recv + kHeader, payload);
    got += payload;
  }
  return static_cast<long>(length);
}

const ChannelDriver& Boxlink_Channel_Driver() {
  static const ChannelDriver driver = {
      ch_init,
      ch_open,
      [](int, int) { return 0; },
      [](int, int) { return 0; },
      ch_listen,
      ch_accept,
      ch_send,
      ch_recv,
      ch_close,
      ch_reset,
      [](int) { return 0; },
      [](int) { return 0; },
  };
  return driver;
}
