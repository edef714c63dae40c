// The scripted fake channel and the packet-building helpers (see the header).
#include "testsupport/fake_channel.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace testsupport {

// --- Packet building ---------------------------------------------------------

std::uint16_t Frame_Checksum(const Bytes& header_and_data) {
  unsigned sum = 0;
  for (unsigned char b : header_and_data) sum += b;
  return static_cast<std::uint16_t>(0x10000u - (sum & 0xFFFFu));
}

Bytes Packet(std::uint8_t kind, std::uint8_t command, std::uint8_t sub, const Bytes& data) {
  assert(data.size() <= 0xFFFF);
  const auto len = static_cast<std::uint16_t>(data.size());
  Bytes p;
  p.reserve(5 + data.size() + 2);
  for (unsigned char b : {kind, command, sub, static_cast<unsigned char>(len & 0xFF),
                          static_cast<unsigned char>(len >> 8)})
    p.push_back(b);
  p.insert(p.end(), data.begin(), data.end());
  Bytes sum = Le16(Frame_Checksum(p));
  p.insert(p.end(), sum.begin(), sum.end());
  return p;
}

Bytes Le16(std::uint16_t v) { return {static_cast<unsigned char>(v & 0xFF), static_cast<unsigned char>(v >> 8)}; }

Bytes Le32(std::uint32_t v) {
  return {static_cast<unsigned char>(v & 0xFF), static_cast<unsigned char>((v >> 8) & 0xFF),
          static_cast<unsigned char>((v >> 16) & 0xFF), static_cast<unsigned char>(v >> 24)};
}

Bytes Chars(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes Text(std::string_view s) {
  Bytes b = Chars(s);
  b.push_back(0);
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string Hex(const Bytes& b) {
  std::string s;
  char two[4];
  for (std::size_t i = 0; i < b.size(); ++i) {
    std::snprintf(two, sizeof two, "%02X", b[i]);
    if (i) s += ' ';
    s += two;
  }
  return s;
}

std::vector<Bytes> Split_Packets(const Bytes& stream) {
  std::vector<Bytes> out;
  std::size_t pos = 0;
  while (pos < stream.size()) {
    std::size_t size = stream.size() - pos;
    if (size >= 5) {
      std::size_t whole = 7 + (stream[pos + 3] | stream[pos + 4] << 8);
      size = std::min(size, whole);
    }
    out.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                     stream.begin() + static_cast<std::ptrdiff_t>(pos + size));
    pos += size;
  }
  return out;
}

Bytes In_Buffer(const Bytes& packet, std::size_t size) {
  Bytes buf(std::max(size, packet.size()), 0);
  std::copy(packet.begin(), packet.end(), buf.begin());
  return buf;
}

// --- Driver table ------------------------------------------------------------

namespace {

FakeChannel* g_fake = nullptr;

int Fake_Init() { return 0; }
int Fake_Open() { return 1; }
int Fake_Bind(int, int) { return 0; }
int Fake_Connect(int, int) { return 0; }
int Fake_Listen(int, int) { return g_fake->Do_Listen(); }
int Fake_Accept(int) { return FakeChannel::Channel(); }
long Fake_Send(int channel, unsigned char* data, std::uint32_t length) {
  return g_fake->Do_Send(channel, data, length);
}
long Fake_Recv(int channel, unsigned char* data, std::uint32_t length, int flags) {
  return g_fake->Do_Recv(channel, data, length, flags);
}
int Fake_Close(int, unsigned char mode) { return g_fake->Do_Close(mode); }
int Fake_Reset() { return 0; }
int Fake_Handshake(int) { return 0; }

const ChannelDriver kFakeDriver = {
    Fake_Init,  Fake_Open,  Fake_Bind,  Fake_Connect, Fake_Listen,    Fake_Accept,
    Fake_Send,  Fake_Recv,  Fake_Close, Fake_Reset,   Fake_Handshake, Fake_Handshake,
};

}  // namespace

FakeChannel::FakeChannel(int gi) : owner_(std::this_thread::get_id()), gi_(gi) {
  assert(g_fake == nullptr && "only one FakeChannel at a time");
  g_fake = this;
  saved_interface_ = GInterface;
  saved_driver_ = Set_Channel_Driver(gi, &kFakeDriver);
  GInterface = gi;
}

FakeChannel::~FakeChannel() {
  Set_Channel_Driver(gi_, saved_driver_);
  GInterface = saved_interface_;
  g_fake = nullptr;
}

// --- Script ------------------------------------------------------------------

void FakeChannel::Push(Step s) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(s));
  }
  changed_.notify_all();
}

FakeChannel& FakeChannel::Feed(const Bytes& bytes) {
  if (!bytes.empty()) Push({StepKind::kBytes, bytes, 0});
  return *this;
}

FakeChannel& FakeChannel::Feed_Would_Block(int times) {
  for (int i = 0; i < times; ++i) Push({StepKind::kWouldBlock, {}, 0});
  return *this;
}

FakeChannel& FakeChannel::Feed_Timeout() {
  Push({StepKind::kFailure, {}, -5});
  return *this;
}

FakeChannel& FakeChannel::Feed_Failure(long result) {
  Push({StepKind::kFailure, {}, result});
  return *this;
}

void FakeChannel::Set_Exhausted_Result(long result) {
  std::lock_guard<std::mutex> lock(mutex_);
  exhausted_result_ = result;
}

void FakeChannel::Set_Recv_Wait_Ms(unsigned ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  recv_wait_ms_ = ms;
}

std::size_t FakeChannel::Unread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const Step& s : script_) n += s.bytes.size();
  return n;
}

std::size_t FakeChannel::Steps_Left() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return script_.size();
}

std::vector<FakeChannel::RecvCall> FakeChannel::Recv_Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recv_calls_;
}

std::vector<unsigned> FakeChannel::Recv_Lengths() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<unsigned> out;
  for (const RecvCall& c : recv_calls_)
    if ((c.flags & 1) == 0) out.push_back(c.length);
  return out;
}

long FakeChannel::Do_Recv(int, unsigned char* data, std::uint32_t length, int flags) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto finish = [&](long result) {
    recv_calls_.push_back({length, flags, result});
    return result;
  };

  if (flags & 1) {
    // Poll: whatever is at the front, never waiting.
    if (script_.empty()) return finish(0);
    Step& front = script_.front();
    if (front.kind == StepKind::kWouldBlock) {
      script_.pop_front();
      return finish(0);
    }
    if (front.kind == StepKind::kFailure) {
      long r = front.result;
      script_.pop_front();
      return finish(r);
    }
    std::uint32_t got = 0;
    while (got < length && !script_.empty() && script_.front().kind == StepKind::kBytes) {
      Bytes& b = script_.front().bytes;
      std::size_t take = std::min<std::size_t>(length - got, b.size());
      std::memcpy(data + got, b.data(), take);
      b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(take));
      got += static_cast<std::uint32_t>(take);
      if (b.empty()) script_.pop_front();
    }
    return finish(got);
  }

  // Blocking read of exactly length bytes.
  const bool may_wait = std::this_thread::get_id() != owner_;
  std::uint32_t got = 0;
  while (got < length) {
    if (script_.empty()) {
      if (may_wait) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(recv_wait_ms_);
        changed_.wait_until(lock, deadline, [&] { return !script_.empty(); });
      }
      if (script_.empty()) return finish(exhausted_result_);
    }
    Step& front = script_.front();
    if (front.kind == StepKind::kWouldBlock) {
      script_.pop_front();
      continue;
    }
    if (front.kind == StepKind::kFailure) {
      long r = front.result;
      script_.pop_front();
      return finish(r);
    }
    std::size_t take = std::min<std::size_t>(length - got, front.bytes.size());
    std::memcpy(data + got, front.bytes.data(), take);
    front.bytes.erase(front.bytes.begin(), front.bytes.begin() + static_cast<std::ptrdiff_t>(take));
    got += static_cast<std::uint32_t>(take);
    if (front.bytes.empty()) script_.pop_front();
  }
  return finish(static_cast<long>(got));
}

// --- Send side ---------------------------------------------------------------

void FakeChannel::Fail_Send_At(int n, long result) {
  std::lock_guard<std::mutex> lock(mutex_);
  fail_send_at_ = n;
  fail_send_result_ = result;
}

void FakeChannel::Set_Responder(Responder r) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = std::move(r);
}

long FakeChannel::Do_Send(int, const unsigned char* data, std::uint32_t length) {
  Bytes sent(data, data + length);
  Responder responder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++send_calls_;
    if (send_calls_ == fail_send_at_) return fail_send_result_;
    writes_.push_back(sent);
    responder = responder_;
  }
  changed_.notify_all();
  if (responder) responder(*this, sent);
  return static_cast<long>(length);
}

int FakeChannel::Send_Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return send_calls_;
}

std::vector<Bytes> FakeChannel::Sent_Writes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

Bytes FakeChannel::Sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Bytes all;
  for (const Bytes& w : writes_) all.insert(all.end(), w.begin(), w.end());
  return all;
}

std::vector<Bytes> FakeChannel::Sent_Packets() const { return Split_Packets(Sent()); }

void FakeChannel::Clear_Sent() {
  std::lock_guard<std::mutex> lock(mutex_);
  writes_.clear();
}

std::size_t FakeChannel::Sent_Packet_Count_Locked() const {
  Bytes all;
  for (const Bytes& w : writes_) all.insert(all.end(), w.begin(), w.end());
  return Split_Packets(all).size();
}

bool FakeChannel::Wait_Sent_Packets(std::size_t n, unsigned timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return Sent_Packet_Count_Locked() >= n; });
}

// --- Other operations --------------------------------------------------------

void FakeChannel::Set_Listen_Result(int result) {
  std::lock_guard<std::mutex> lock(mutex_);
  listen_result_ = result;
}

int FakeChannel::Do_Listen() {
  std::lock_guard<std::mutex> lock(mutex_);
  return listen_result_;
}

int FakeChannel::Do_Close(unsigned char mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  close_modes_.push_back(mode);
  return 0;
}

std::vector<int> FakeChannel::Close_Modes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return close_modes_;
}

}  // namespace testsupport
