#include "tools/htsim/serial_link.h"

#include <algorithm>

#include "platform/clock.h"

namespace htsim {

namespace {

constexpr std::uint64_t kLingerMs = 2000;

int Left_Ms(std::uint64_t deadline_ms) {
  const std::uint64_t now = platform::Monotonic_Ms();
  if (now >= deadline_ms) return 0;
  return static_cast<int>(std::min<std::uint64_t>(deadline_ms - now, 0x7FFFFFFF));
}

}  // namespace

HtLink::Status SerialLink::Fail(Status s, std::string why) {
  why_ = std::move(why);
  return s;
}

bool SerialLink::Pc_There() {
  unsigned lines = 0;
  return port_.Get_Lines(&lines) == platform::SERIAL_OK && (lines & platform::kLineDsr) != 0;
}

HtLink::Status SerialLink::Open(std::uint64_t deadline_ms, Greeting* g) {
  *g = Greeting{};
  g->line = true;
  port_.Set_Lines(platform::kLineDtr | platform::kLineRts, 0);
  while (!Pc_There()) {
    const int left = Left_Ms(deadline_ms);
    if (left == 0) return Fail(Status::kTimedOut, "the PC's DSR did not come");
    port_.Wait(0, platform::kLineDsr, 0, left);
  }
  return Status::kOk;
}

HtLink::Status SerialLink::Write_Some() {
  for (;;) {
    if (out_.empty()) {
      if (!producer_) return Status::kOk;
      Bytes next;
      if (!producer_(&next)) {
        producer_ = nullptr;
        return Status::kOk;
      }
      out_.push_back(std::move(next));
      out_pos_ = 0;
    }
    Bytes& p = out_.front();
    while (out_pos_ < p.size()) {
      const long w = port_.Write(p.data() + out_pos_, p.size() - out_pos_);
      if (w == platform::SERIAL_GONE) return Fail(Status::kClosed, "the line went away");
      if (w < 0) return Fail(Status::kFailed, "write failed");
      if (w == 0) return Status::kOk;  // the line is full for now
      out_pos_ += static_cast<std::size_t>(w);
      sent_last_ = true;
    }
    out_.pop_front();
    out_pos_ = 0;
  }
}

HtLink::Status SerialLink::Send_Urgent(Bytes packet, std::uint64_t deadline_ms) {
  // Ahead of everything that has not started going out yet.
  if (out_.empty() || out_pos_ == 0)
    out_.push_front(std::move(packet));
  else
    out_.insert(out_.begin() + 1, std::move(packet));
  producer_ = nullptr;
  return Flush(deadline_ms);
}

HtLink::Status SerialLink::Flush(std::uint64_t deadline_ms) {
  while (!out_.empty()) {
    Status s = Write_Some();
    if (s != Status::kOk) return s;
    if (out_.empty()) break;
    if (!Pc_There()) return Fail(Status::kClosed, "the PC dropped its line");
    const int left = Left_Ms(deadline_ms);
    if (left == 0) return Fail(Status::kTimedOut, "the line did not take the packet in time");
    port_.Wait(platform::kSerialWritable, platform::kLineDsr, platform::kLineDsr, left);
  }
  return Status::kOk;
}

HtLink::Status SerialLink::Receive(Bytes* packet, std::uint64_t deadline_ms) {
  std::uint8_t buf[8192];
  for (;;) {
    if (!in_.empty()) {
      if (in_[0] != kResponse && in_[0] != kCommand)
        return Fail(Status::kProtocol, "PC packet starts with kind " + std::to_string(in_[0]));
      const std::size_t whole = Packet_Length(in_.data(), in_.size());
      if (whole != 0 && in_.size() >= whole) {
        packet->assign(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(whole));
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(whole));
        sent_last_ = false;
        return Status::kOk;
      }
    }
    Status s = Write_Some();
    if (s != Status::kOk) return s;
    const long r = port_.Read(buf, sizeof buf);
    if (r == platform::SERIAL_GONE) return Fail(Status::kClosed, "the line went away");
    if (r < 0) return Fail(Status::kFailed, "read failed");
    if (r > 0) {
      in_.insert(in_.end(), buf, buf + r);
      continue;
    }
    if (!Pc_There()) return Fail(Status::kClosed, "the PC dropped its line");
    const int left = Left_Ms(deadline_ms);
    if (left == 0) return Fail(Status::kTimedOut, "no packet from the PC in time");
    const unsigned what = platform::kSerialReadable | (Pending() ? platform::kSerialWritable : 0u);
    port_.Wait(what, platform::kLineDsr, platform::kLineDsr, left);
  }
}

void SerialLink::End_Session(bool drop_queued) {
  producer_ = nullptr;
  if (drop_queued) {
    // A packet that is half out stays whole on the line.
    while (out_.size() > (out_pos_ > 0 ? 1u : 0u)) out_.pop_back();
  }
}

HtLink::Status SerialLink::Close(std::uint64_t deadline_ms, bool* by_exchange) {
  *by_exchange = false;
  producer_ = nullptr;
  Status s = Flush(deadline_ms);
  if (s == Status::kOk && sent_last_) {
    const std::uint64_t linger = std::min<std::uint64_t>(deadline_ms, platform::Monotonic_Ms() + kLingerMs);
    while (Pc_There()) {
      const int left = Left_Ms(linger);
      if (left == 0) break;
      port_.Wait(0, platform::kLineDsr, platform::kLineDsr, left);
    }
  }
  port_.Set_Lines(0, platform::kLineDtr | platform::kLineRts);
  return s == Status::kClosed ? Status::kOk : s;
}

std::vector<std::string> SerialLink::Take_Events() {
  std::vector<std::string> e;
  e.swap(events_);
  return e;
}

}  // namespace htsim
