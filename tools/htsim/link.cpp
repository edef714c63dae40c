// The HT's side of the link framing.
#include "tools/htsim/link.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/socket.h"

namespace htsim {

namespace {

constexpr std::size_t kReadChunk = 65536;

int Wait_Ms(std::uint64_t deadline_ms) {
  const std::uint64_t now = platform::Monotonic_Ms();
  if (now >= deadline_ms) return 0;
  return static_cast<int>(std::min<std::uint64_t>(deadline_ms - now, 1000));
}

std::string Hex(std::uint8_t v) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%02X", unsigned{v});
  return b;
}

}  // namespace

// ---- SocketTransport --------------------------------------------------------

SocketTransport::~SocketTransport() { Close(); }

long SocketTransport::Read(std::uint8_t* buf, std::size_t n, std::uint64_t deadline_ms) {
  if (s_ <= 0) return kFailed;
  for (;;) {
    // One blocking read with the time left (at most a second at a time, so
    // the socket's receive time-out is set once and stays): the usual frame
    // costs one system call.
    const int ms = Wait_Ms(deadline_ms);
    long r = ms == 0 ? platform::Socket_Recv(s_, buf, n) : platform::Socket_Recv_Within(s_, buf, n, ms, &recv_timeout_ms_);
    if (r > 0) return r;
    if (r == 0) return kClosed;
    if (r != platform::SOCKET_WOULD_BLOCK) return kFailed;
    if (ms == 0) return kTimedOut;
    // The time passed or a signal came; a socket that does not block would
    // come back at once, so the rest of the wait is a readiness wait.
    const int rest = Wait_Ms(deadline_ms);
    if (rest > 0 && platform::Socket_Wait(s_, platform::SocketWait::Readable, rest) < 0) return kFailed;
  }
}

bool SocketTransport::Write(const std::uint8_t* p, std::size_t n, std::size_t segment,
                            std::uint64_t deadline_ms) {
  if (s_ <= 0) return false;
  const std::size_t piece_max = segment == 0 ? n : segment;
  std::size_t done = 0;
  while (done < n) {
    // One piece: handed over with as few calls as the kernel allows, so each
    // piece leaves as its own segment when segment is set.
    const std::size_t piece_end = std::min(n, done + piece_max);
    while (done < piece_end) {
      long r = platform::Socket_Send(s_, p + done, piece_end - done);
      if (r > 0) {
        done += static_cast<std::size_t>(r);
        continue;
      }
      if (r != platform::SOCKET_WOULD_BLOCK) return false;
      int ms = Wait_Ms(deadline_ms);
      if (ms == 0) return false;
      if (platform::Socket_Wait(s_, platform::SocketWait::Writable, ms) < 0) return false;
    }
  }
  return true;
}

void SocketTransport::Close() {
  if (s_ > 0) {
    platform::Socket_Shutdown(s_);
    platform::Socket_Close(s_);
    s_ = 0;
  }
}

int SocketTransport::Connect(const std::string& host, std::uint16_t port,
                             const std::string& source, int timeout_ms, std::string* why) {
  int s = platform::Tcp_Socket_Open();
  if (s < 0) {
    *why = std::string("socket: ") + std::strerror(platform::Socket_Last_Error());
    return s;
  }
  int r = platform::Socket_Connect(s, host.c_str(), port, source.empty() ? nullptr : source.c_str(),
                                   timeout_ms);
  if (r != platform::SOCKET_OK) {
    *why = r == platform::SOCKET_TIMED_OUT ? std::string("timed out")
                                           : std::strerror(platform::Socket_Last_Error());
    platform::Socket_Close(s);
    return r;
  }
  return s;
}

// ---- FrameAssembler ---------------------------------------------------------

void FrameAssembler::Feed(const std::uint8_t* p, std::size_t n) {
  if (start_ == buf_.size()) {
    buf_.clear();
    start_ = 0;
  } else if (start_ >= kReadChunk) {
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buf_.insert(buf_.end(), p, p + n);
}

int FrameAssembler::Next(PcFrame* out) {
  if (Held() < kFrameHeader) return 0;
  const std::uint8_t* h = buf_.data() + start_;
  const std::uint8_t code = h[0];
  if (code == kPcData) {
    const std::size_t length = h[2] + 256u * h[3];
    if (h[1] != 0 || h[4] != 0 || h[5] != 0 || h[6] != 0 || h[7] != 0 || length > kMaxFramePayload)
      return -1;
    if (Held() < kFrameHeader + length) return 0;
    out->code = code;
    out->word4 = 0;
    out->payload.assign(h + kFrameHeader, h + kFrameHeader + length);
    start_ += kFrameHeader + length;
    return 1;
  }
  const bool value_allowed = code == kGreeting;
  if (h[1] != 0 || h[2] != 0 || h[3] != 0 || h[6] != 0 || h[7] != 0 ||
      (!value_allowed && (h[4] != 0 || h[5] != 0)))
    return -1;
  out->code = code;
  out->word4 = static_cast<std::uint16_t>(h[4] + 256u * h[5]);
  out->payload.clear();
  start_ += kFrameHeader;
  return 1;
}

// ---- Link -------------------------------------------------------------------

std::vector<std::string> Link::Take_Events() {
  std::vector<std::string> e;
  e.swap(events_);
  return e;
}

Link::Status Link::Fail(Status s, std::string why) {
  why_ = std::move(why);
  return s;
}

Link::Status Link::Next_Frame(PcFrame* f, std::uint64_t deadline_ms) {
  std::uint8_t buf[kReadChunk];
  for (;;) {
    int r = frames_.Next(f);
    if (r == 1) return Status::kOk;
    if (r < 0) return Fail(Status::kProtocol, "bytes from the PC that are no frame");
    long n = t_.Read(buf, sizeof buf, deadline_ms);
    if (n > 0) {
      frames_.Feed(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == Transport::kClosed) return Fail(Status::kClosed, "the PC closed the connection");
    if (n == Transport::kTimedOut) return Fail(Status::kTimedOut, "no frame from the PC in time");
    return Fail(Status::kFailed, "connection failed while reading");
  }
}

Link::Status Link::Write_Control(std::uint8_t code, std::uint64_t deadline_ms) {
  std::uint8_t f[kFrameHeader] = {code, 0, 0, 0, 0, 0, 0, 0};
  if (!t_.Write(f, sizeof f, options_.segment, deadline_ms))
    return Fail(Status::kFailed, "connection failed while writing");
  return Status::kOk;
}

Link::Status Link::Write_Data(const std::uint8_t* p, std::size_t n, std::uint64_t deadline_ms) {
  frame_.assign(kFrameHeader, 0);
  frame_[0] = kHtData;
  frame_[2] = static_cast<std::uint8_t>(n & 0xFF);
  frame_[3] = static_cast<std::uint8_t>(n >> 8);
  frame_.insert(frame_.end(), p, p + n);
  if (!t_.Write(frame_.data(), frame_.size(), options_.segment, deadline_ms))
    return Fail(Status::kFailed, "connection failed while writing");
  return Status::kOk;
}

Link::Status Link::Open(std::uint64_t deadline_ms, Greeting* g) {
  PcFrame f;
  Status s = Next_Frame(&f, deadline_ms);
  if (s != Status::kOk) return s;
  if (f.code == kPcData) {
    // The PC serves as many HTs as it may: it says so in a data frame and
    // expects 0x12, then sends 0x0C and closes.
    g->refused = true;
    // The text ends at its first NUL; an empty payload (no storage) is an
    // empty text.
    const auto nul = std::find(f.payload.begin(), f.payload.end(), std::uint8_t{0});
    g->refusal.assign(f.payload.begin(), nul);
    s = Write_Control(kRefusalAnswer, deadline_ms);
    if (s != Status::kOk) return s;
    s = Next_Frame(&f, deadline_ms);
    if (s == Status::kClosed || (s == Status::kOk && f.code == kCloseEnd)) {
      t_.Close();
      return Status::kOk;
    }
    if (s != Status::kOk) return s;
    return Fail(Status::kProtocol, "frame " + Hex(f.code) + " after the refusal");
  }
  if (f.code != kGreeting) return Fail(Status::kProtocol, "frame " + Hex(f.code) + " instead of the greeting");
  g->rbytes = f.word4;
  s = Write_Control(kStep0, deadline_ms);
  if (s != Status::kOk) return s;
  s = Next_Frame(&f, deadline_ms);
  if (s != Status::kOk) return s;
  if (f.code != kStep1) return Fail(Status::kProtocol, "frame " + Hex(f.code) + " instead of '1'");
  return Write_Control(kStep2, deadline_ms);
}

void Link::Send(Bytes packet) { out_.push_back(std::move(packet)); }

Link::Status Link::Send_Urgent(Bytes packet, std::uint64_t deadline_ms) {
  if (ack_pending_ && packet.size() <= kMaxFramePayload) {
    ack_pending_ = false;
    return Write_Data(packet.data(), packet.size(), deadline_ms);
  }
  Send(std::move(packet));
  return Status::kOk;
}

void Link::End_Session(bool drop_queued) {
  over_ = true;
  producer_ = {};
  if (drop_queued) {
    out_.clear();
    out_pos_ = 0;
  }
}

Link::Status Link::Flush_Ack(std::uint64_t deadline_ms) {
  if (!ack_pending_) return Status::kOk;
  ack_pending_ = false;
  return Write_Control(kAcknowledge, deadline_ms);
}

Link::Status Link::Serve_Polls(std::uint64_t deadline_ms) {
  while (owed_polls_ > 0) {
    if (out_.empty() && producer_) {
      Bytes next;
      if (producer_(&next)) {
        out_.push_back(std::move(next));
      } else {
        producer_ = {};
      }
    }
    if (!out_.empty()) {
      // One frame: a piece of the front packet, or with fill_frames as many
      // packets (and pieces) as fit.
      const std::size_t room = std::min(options_.max_payload, std::size_t{65535});
      Bytes payload;
      do {
        const Bytes& front = out_.front();
        const std::size_t piece = std::min(room - payload.size(), front.size() - out_pos_);
        payload.insert(payload.end(), front.begin() + static_cast<std::ptrdiff_t>(out_pos_),
                       front.begin() + static_cast<std::ptrdiff_t>(out_pos_ + piece));
        out_pos_ += piece;
        if (out_pos_ == front.size()) {
          out_.pop_front();
          out_pos_ = 0;
          if (options_.fill_frames && out_.empty() && producer_) {
            Bytes next;
            if (producer_(&next))
              out_.push_back(std::move(next));
            else
              producer_ = {};
          }
        }
      } while (options_.fill_frames && !out_.empty() && payload.size() < room);
      Status s = Write_Data(payload.data(), payload.size(), deadline_ms);
      if (s != Status::kOk) return s;
    } else if (over_) {
      Status s = Write_Control(kEndOfSession, deadline_ms);
      if (s != Status::kOk) return s;
    } else {
      // Nothing to say yet: the poll stays owed until there is.
      break;
    }
    --owed_polls_;
  }
  return Status::kOk;
}

Link::Status Link::On_Pc_Data(PcFrame& f, std::uint64_t deadline_ms) {
  ++pc_frames_;
  // A poll the PC sent earlier has been given up once it sends data.
  owed_polls_ = 0;
  if (options_.resend_frames.count(pc_frames_) != 0) {
    events_.push_back("resend frame=" + std::to_string(pc_frames_));
    return Write_Control(kResend, deadline_ms);
  }
  in_.insert(in_.end(), f.payload.begin(), f.payload.end());
  const std::size_t whole = Packet_Length(in_.data(), in_.size());
  if (whole != 0 && in_.size() >= whole) {
    // The packet is complete: its frame is answered once the session has
    // looked at it, so an error can travel in the answer.
    ack_pending_ = true;
    return Status::kOk;
  }
  return Write_Control(kAcknowledge, deadline_ms);
}

int Link::Take_Packet(Bytes* packet) {
  if (in_.empty()) return 0;
  if (in_[0] != kResponse && in_[0] != kCommand) return -1;
  const std::size_t whole = Packet_Length(in_.data(), in_.size());
  if (whole == 0 || in_.size() < whole) return 0;
  packet->assign(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(whole));
  in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(whole));
  return 1;
}

Link::Status Link::Receive(Bytes* packet, std::uint64_t deadline_ms) {
  Status s = Flush_Ack(deadline_ms);
  if (s != Status::kOk) return s;
  s = Serve_Polls(deadline_ms);
  if (s != Status::kOk) return s;
  PcFrame f;
  for (;;) {
    int got = Take_Packet(packet);
    if (got == 1) return Status::kOk;
    if (got < 0) return Fail(Status::kProtocol, "PC packet starts with kind " + Hex(in_[0]));
    s = Next_Frame(&f, deadline_ms);
    if (s != Status::kOk) return s;
    switch (f.code) {
      case kPcData:
        s = On_Pc_Data(f, deadline_ms);
        break;
      case kPoll:
        ++polls_;
        ++owed_polls_;
        s = Serve_Polls(deadline_ms);
        break;
      case kStep3:
        s = On_Close_Request(deadline_ms);
        return s == Status::kOk ? Status::kCloseRequest : s;
      case kCloseEnd:
        s = On_Close_End(deadline_ms);
        return s == Status::kOk ? Status::kCloseEnd : s;
      default:
        return Fail(Status::kProtocol, "unexpected frame " + Hex(f.code));
    }
    if (s != Status::kOk) return s;
  }
}

Link::Status Link::On_Close_Request(std::uint64_t deadline_ms) {
  // The PC asks to close: acknowledge, and ask for our own close.
  by_exchange_ = true;
  Status s = Write_Control(kStep2, deadline_ms);
  return s == Status::kOk ? Write_Control(kStep3, deadline_ms) : s;
}

Link::Status Link::On_Close_End(std::uint64_t deadline_ms) {
  const std::uint8_t zeros[kFrameHeader] = {};
  const bool ok = t_.Write(zeros, sizeof zeros, options_.segment, deadline_ms);
  t_.Close();
  closed_ = true;
  return ok ? Status::kOk : Fail(Status::kFailed, "connection failed while writing");
}

Link::Status Link::Close(std::uint64_t deadline_ms, bool* by_exchange) {
  Status s = Status::kOk;
  if (!closed_) {
    s = Flush_Ack(deadline_ms);
    if (s == Status::kOk) s = Serve_Polls(deadline_ms);
  }
  PcFrame f;
  while (s == Status::kOk && !closed_) {
    s = Next_Frame(&f, deadline_ms);
    if (s != Status::kOk) break;
    switch (f.code) {
      case kPoll:
        ++polls_;
        ++owed_polls_;
        s = Serve_Polls(deadline_ms);
        break;
      case kStep3:
        s = On_Close_Request(deadline_ms);
        break;
      case kStep2:
        break;  // the PC's acknowledgement of our '3'
      case kPcData:
        // Data after the end is acknowledged and left unread.
        ++pc_frames_;
        events_.push_back("data after the end dropped bytes=" + std::to_string(f.payload.size()));
        s = Write_Control(kAcknowledge, deadline_ms);
        break;
      case kCloseEnd:
        s = On_Close_End(deadline_ms);
        break;
      default:
        s = Fail(Status::kProtocol, "unexpected frame " + Hex(f.code) + " while closing");
        break;
    }
  }
  *by_exchange = by_exchange_;
  if (!closed_) t_.Close();
  return s;
}

}  // namespace htsim
