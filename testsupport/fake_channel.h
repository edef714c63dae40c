// A scripted channel for engine tests: it stands in for the HT at the other
// end of a channel, so a test reads like a transcript of the exchange.
//
//   testsupport::FakeChannel fake;                 // TCP/IP by default
//   fake.Feed(Packet(1, 'I', 0, {}));              // the HT reports idle
//   fake.Feed_Timeout();                           // then stays silent once
//   ... run the engine on fake.Channel() ...
//   auto out = fake.Sent_Packets();                // what the PC sent
//   EXPECT_EQ(out[0], Packet(0, 'I', 0, Le16(0)));
//
// Installing. The constructor installs the fake as the driver of one
// interface through Set_Channel_Driver and sets GInterface to it; the
// destructor restores the previous driver table and GInterface. Only one
// FakeChannel may exist at a time. Every channel operation of mux32 then
// reaches the fake: Open gives 1, Accept gives Channel() (7), Listen gives
// Set_Listen_Result's value (default 1), Close records its mode and gives 0,
// the rest give 0.
//
// Receiving. Recv consumes the script, a queue of steps, front first:
//   Feed(bytes)         bytes the HT sends; a blocking read takes exactly
//                       the count it asks for, across as many byte steps
//                       as needed, and returns the count;
//   Feed_Would_Block()  a poll (flags bit 0 set) finds nothing and returns 0;
//                       a blocking read skips the step;
//   Feed_Timeout()      the read returns -5 (time-out);
//   Feed_Failure(r)     the read returns r (default -1, a broken channel).
// A time-out or failure step that comes while a blocking read has taken only
// part of its count ends that read; the bytes taken are gone, as on a real
// line. A poll returns at once with the bytes at the front of the script (up
// to its count), 0 when the script is empty or starts with a would-block
// step, or the result of a time-out or failure step at the front.
//
// Exhausted script. A blocking read that finds the script empty waits for a
// Feed from another thread for at most Set_Recv_Wait_Ms (default 2000 ms),
// then returns Set_Exhausted_Result's value (default -5, a time-out), so a
// test never hangs. On the thread that created the fake it does not wait:
// nobody could feed while that thread is blocked.
//
// Sending. Send records every buffer it is given and returns its length.
// Fail_Send_At(n, r) makes the n-th Send call (counted from 1 since the
// fake was created) return r instead, without recording it. A responder
// (Set_Responder) is called inside each successful Send with the bytes sent
// and may Feed the HT's answer: an HT that reacts to the PC's packets.
//
// Threads. All members may be called from any thread; a mutex guards the
// state and a condition variable wakes waiting readers and Wait_Sent_Packets.
// The responder runs on the sending thread without the mutex held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "channel/mux32.h"

namespace testsupport {

using Bytes = std::vector<unsigned char>;

// --- Packet building (independent of the engine's own codec) ---------------

// Checksum of header and data as the frame carries it: two's complement of
// the 16-bit byte sum.
std::uint16_t Frame_Checksum(const Bytes& header_and_data);
// A complete packet: kind, command, sub-command, L = data.size(), data and
// the correct checksum.
Bytes Packet(std::uint8_t kind, std::uint8_t command, std::uint8_t sub, const Bytes& data);
// Little-endian fields and texts for data fields.
Bytes Le16(std::uint16_t v);
Bytes Le32(std::uint32_t v);
Bytes Text(std::string_view s);     // the characters followed by a NUL
Bytes Chars(std::string_view s);    // the characters only
// Concatenation: Cat({Le16(1), Le32(100), {1}}).
Bytes Cat(std::initializer_list<Bytes> parts);
// "00 41 00 02 ..." for readable failure messages.
std::string Hex(const Bytes& b);
// Splits a byte stream into frames by their L fields; a trailing piece too
// short to be a whole frame is the last element as it stands.
std::vector<Bytes> Split_Packets(const Bytes& stream);
// A zero-filled packet buffer of the engine's size (65007 bytes) that starts
// with packet, for calling validators directly.
Bytes In_Buffer(const Bytes& packet, std::size_t size = 65007);

// --- The fake ---------------------------------------------------------------

class FakeChannel {
 public:
  struct RecvCall {
    unsigned length;  // count asked for
    int flags;        // 1 = poll
    long result;      // what the fake returned
  };

  // Installs the fake for interface gi (0 RS-232C, 1 SCSI, 2 TCP/IP).
  explicit FakeChannel(int gi = 2);
  ~FakeChannel();
  FakeChannel(const FakeChannel&) = delete;
  FakeChannel& operator=(const FakeChannel&) = delete;

  // The channel number Accept hands out; Send and Recv accept any positive one.
  static constexpr int Channel() { return 7; }

  // Script steps (see above); each returns *this for chaining.
  FakeChannel& Feed(const Bytes& bytes);
  FakeChannel& Feed_Would_Block(int times = 1);
  FakeChannel& Feed_Timeout();
  FakeChannel& Feed_Failure(long result = -1);
  void Set_Exhausted_Result(long result);
  void Set_Recv_Wait_Ms(unsigned ms);
  // Bytes still waiting in the script.
  std::size_t Unread() const;
  // Number of script steps still waiting.
  std::size_t Steps_Left() const;
  std::vector<RecvCall> Recv_Calls() const;
  // Counts asked for by the blocking reads only, in order.
  std::vector<unsigned> Recv_Lengths() const;

  // Send side.
  void Fail_Send_At(int n, long result = -1);
  using Responder = std::function<void(FakeChannel& fake, const Bytes& sent)>;
  void Set_Responder(Responder r);
  int Send_Calls() const;            // all calls, the failed ones too
  std::vector<Bytes> Sent_Writes() const;  // one element per recorded Send
  Bytes Sent() const;                // all recorded bytes in order
  std::vector<Bytes> Sent_Packets() const;  // Split_Packets(Sent())
  void Clear_Sent();
  // Waits until at least n packets were sent; false after timeout_ms.
  bool Wait_Sent_Packets(std::size_t n, unsigned timeout_ms) const;

  // Other channel operations.
  void Set_Listen_Result(int result);
  std::vector<int> Close_Modes() const;

  // Driver entries (called through the installed driver table).
  long Do_Send(int channel, const unsigned char* data, std::uint32_t length);
  long Do_Recv(int channel, unsigned char* data, std::uint32_t length, int flags);
  int Do_Listen();
  int Do_Close(unsigned char mode);

 private:
  enum class StepKind { kBytes, kWouldBlock, kFailure };
  struct Step {
    StepKind kind;
    Bytes bytes;       // kBytes: what is left of them
    long result = 0;   // kFailure
  };

  void Push(Step s);
  std::size_t Sent_Packet_Count_Locked() const;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<Step> script_;
  long exhausted_result_ = -5;
  unsigned recv_wait_ms_ = 2000;
  std::thread::id owner_;
  std::vector<RecvCall> recv_calls_;
  std::vector<Bytes> writes_;
  int send_calls_ = 0;
  int fail_send_at_ = 0;
  long fail_send_result_ = -1;
  Responder responder_;
  int listen_result_ = 1;
  std::vector<int> close_modes_;
  int gi_;
  int saved_interface_;
  const ChannelDriver* saved_driver_;
};

}  // namespace testsupport
