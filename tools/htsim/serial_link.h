// The HT's side of an RS-232C line: packets go out and come in as they are,
// with no framing under them. The HT raises DTR and RTS while it holds a
// session and drops them at its end; the PC's DTR, seen as DSR, tells that
// the PC is there. Runs on the caller's thread against a platform SerialPort
// (a device, a pseudo-terminal's master side or a simulated cable's end).
#pragma once

#include <deque>
#include <memory>

#include "platform/serial.h"
#include "tools/htsim/link.h"

namespace htsim {

class SerialLink : public HtLink {
 public:
  explicit SerialLink(platform::SerialPort& port) : port_(port) {}

  // Raises DTR and RTS and waits for the PC's DSR.
  Status Open(std::uint64_t deadline_ms, Greeting* g) override;
  void Send(Bytes packet) override { out_.push_back(std::move(packet)); }
  void Set_Producer(std::function<bool(Bytes*)> producer) override { producer_ = std::move(producer); }
  Status Send_Urgent(Bytes packet, std::uint64_t deadline_ms) override;
  // Writes what is queued (and what the producer has) while it reads, until
  // a whole PC packet is in.
  Status Receive(Bytes* packet, std::uint64_t deadline_ms) override;
  void End_Session(bool drop_queued) override;
  Status Flush(std::uint64_t deadline_ms) override;
  // Writes what is left, then drops DTR and RTS. When the HT spoke last (its
  // end indication), it first gives the PC up to two seconds to read it and
  // drop its own line, so the PC does not lose DSR before the packet.
  Status Close(std::uint64_t deadline_ms, bool* by_exchange) override;
  bool Has_Close_Exchange() const override { return false; }
  const std::string& Why() const override { return why_; }
  std::vector<std::string> Take_Events() override;

 private:
  // Writes without waiting what the line takes now; kOk, or why not.
  Status Write_Some();
  bool Pending() const { return !out_.empty() || static_cast<bool>(producer_); }
  Status Fail(Status s, std::string why);
  bool Pc_There();

  platform::SerialPort& port_;
  std::deque<Bytes> out_;
  std::size_t out_pos_ = 0;
  std::function<bool(Bytes*)> producer_;
  Bytes in_;
  std::string why_;
  std::vector<std::string> events_;
  bool sent_last_ = false;  // bytes went out after the last packet came in
};

}  // namespace htsim
