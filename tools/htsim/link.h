// The HT's side of the TCP/IP link framing (docs/tcpip_framing.md): the
// opening handshake, answering the PC's polls with data frames, acknowledging
// the PC's data frames, and both ways of closing. HT packets go in and out
// whole; this layer cuts and joins them into frames.
//
// Everything runs on the caller's thread against a Transport, so tests can
// feed it bytes in any pieces. Every wait ends at a deadline on
// platform::Monotonic_Ms().
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tools/htsim/packet.h"

namespace htsim {

// Frame codes of the link.
enum LinkCode : std::uint8_t {
  kHtData = 0x00,
  kResend = 0x08,
  kGreeting = 0x0B,
  kCloseEnd = 0x0C,
  kPcData = 0x10,
  kRefusalAnswer = 0x12,
  kEndOfSession = 0x18,
  kPoll = 0x20,
  kStep0 = '0',
  kStep1 = '1',
  kStep2 = '2',
  kStep3 = '3',
  // What this HT answers to a PC data frame it accepts. The PC takes any code
  // but 0x00 and 0x08 as an acknowledgement.
  kAcknowledge = 0x01,
};

constexpr std::size_t kFrameHeader = 8;
constexpr std::size_t kMaxFramePayload = 8184;

// A byte stream to the PC.
class Transport {
 public:
  virtual ~Transport() = default;
  enum : long { kClosed = 0, kTimedOut = -1, kFailed = -2 };
  // Reads what has arrived, at most n bytes, waiting until deadline_ms for
  // the first byte. Returns the count (>= 1), kClosed when the PC closed the
  // connection, kTimedOut or kFailed.
  virtual long Read(std::uint8_t* buf, std::size_t n, std::uint64_t deadline_ms) = 0;
  // Writes all n bytes; when segment > 0, in separate writes of at most
  // segment bytes each. false when the connection failed or the deadline
  // passed.
  virtual bool Write(const std::uint8_t* p, std::size_t n, std::size_t segment,
                     std::uint64_t deadline_ms) = 0;
  // Ends the connection.
  virtual void Close() = 0;
};

// A transport over a connected socket of platform/socket.h (TCP_NODELAY set).
class SocketTransport : public Transport {
 public:
  explicit SocketTransport(int socket) : s_(socket) {}
  ~SocketTransport() override;
  long Read(std::uint8_t* buf, std::size_t n, std::uint64_t deadline_ms) override;
  bool Write(const std::uint8_t* p, std::size_t n, std::size_t segment,
             std::uint64_t deadline_ms) override;
  void Close() override;

  // Connects to host:port, from source when it is not empty. Returns the
  // socket (>= 1) or a negative result; *why gets a reason text on failure.
  static int Connect(const std::string& host, std::uint16_t port, const std::string& source,
                     int timeout_ms, std::string* why);

 private:
  int s_;
  int recv_timeout_ms_ = 0;  // the receive time-out set on s_ (0: none yet)
};

// One frame from the PC.
struct PcFrame {
  std::uint8_t code = 0;
  std::uint16_t word4 = 0;  // bytes 4-5 (the greeting's value)
  Bytes payload;            // data frames only
};

// Joins the PC's byte stream into frames. Data frames (0x10) carry the
// length in bytes 2-3 (at most 8184); every other frame is 8 bytes with
// zeros in bytes 1-7, except bytes 4-5 of the greeting.
class FrameAssembler {
 public:
  void Feed(const std::uint8_t* p, std::size_t n);
  // 1: a frame was taken into *out; 0: more bytes are needed; -1: the bytes
  // at the front are no frame (the stream cannot be trusted any more).
  int Next(PcFrame* out);
  std::size_t Held() const { return buf_.size() - start_; }

 private:
  std::vector<std::uint8_t> buf_;
  std::size_t start_ = 0;
};

struct LinkOptions {
  std::size_t segment = 0;           // write frames in pieces of this size (0: whole)
  std::set<unsigned> resend_frames;  // answer these PC data frames (1-based) with 0x08
  // Largest payload of one answer to a poll, and whether one answer may
  // carry the pieces of several packets (an IO box buffers its terminal's
  // output and hands the PC as much as its READ can take).
  std::size_t max_payload = kMaxFramePayload;
  bool fill_frames = false;
};

// What a session needs of the link to the PC, over TCP/IP (Link, below) or
// a serial line (SerialLink, serial_link.h).
class HtLink {
 public:
  enum class Status {
    kOk,
    kTimedOut,      // the deadline passed
    kClosed,        // the PC closed the connection (serial: dropped its line)
    kFailed,        // socket or line failure
    kProtocol,      // bytes that are no frame, a malformed packet start, an
                    // unexpected frame
    kCloseRequest,  // the PC asked to close ('3', answered with '2' and '3')
                    // instead of sending a packet; Close() finishes it
    kCloseEnd,      // the PC sent its last close frame (0x0C, answered; the
                    // connection is closed)
  };

  struct Greeting {
    bool refused = false;
    std::uint16_t rbytes = 0;  // the greeting's value
    std::string refusal;       // the refusal's text
    bool line = false;         // a serial line: no greeting, the PC's DSR came
  };

  virtual ~HtLink() = default;
  // False on a serial line, where a session ends by dropping DTR instead of
  // a close exchange.
  virtual bool Has_Close_Exchange() const { return true; }
  virtual Status Open(std::uint64_t deadline_ms, Greeting* g) = 0;
  virtual void Send(Bytes packet) = 0;
  virtual void Set_Producer(std::function<bool(Bytes*)> producer) = 0;
  virtual Status Send_Urgent(Bytes packet, std::uint64_t deadline_ms) = 0;
  virtual Status Receive(Bytes* packet, std::uint64_t deadline_ms) = 0;
  virtual void End_Session(bool drop_queued) = 0;
  virtual Status Flush(std::uint64_t deadline_ms) = 0;
  virtual Status Close(std::uint64_t deadline_ms, bool* by_exchange) = 0;
  virtual const std::string& Why() const = 0;
  virtual std::vector<std::string> Take_Events() = 0;
};

class Link : public HtLink {
 public:
  Link(Transport& t, LinkOptions options) : t_(t), options_(std::move(options)) {}

  // Waits for the greeting and runs the HT's side of the handshake ('0',
  // '1', '2'). A refusal (a data frame instead of the greeting) is answered
  // with 0x12; *g says which of the two happened.
  Status Open(std::uint64_t deadline_ms, Greeting* g) override;

  // Queues a packet; it goes out frame by frame as the PC polls (from the
  // next Receive or Close on).
  void Send(Bytes packet) override;
  // Sets a source of further packets, asked when the queue runs empty while
  // the PC polls; it returns false when it has no more. Cleared by passing {}.
  void Set_Producer(std::function<bool(Bytes*)> producer) override { producer_ = std::move(producer); }
  // Sends a packet at once: inside the acknowledgement of the PC frame that
  // completed the packet last received (a 0x00 data frame, how an HT reports
  // an error in the middle of the PC's data), else queued like Send. Only
  // for packets of at most 8184 bytes (end indications).
  Status Send_Urgent(Bytes packet, std::uint64_t deadline_ms) override;

  // Runs the link until a whole PC packet has arrived; it is then in *packet
  // (starting with its kind byte). Polls are answered meanwhile.
  Status Receive(Bytes* packet, std::uint64_t deadline_ms) override;

  // The session is over: the producer is dropped, and so are the queued
  // packets when drop_queued (the PC ended it); polls that find nothing more
  // to send are answered with the end-of-session frame 0x18.
  void End_Session(bool drop_queued) override;

  // Answers the acknowledgement still owed for the last packet received.
  Status Flush(std::uint64_t deadline_ms) override { return Flush_Ack(deadline_ms); }

  // Runs the close: answers polls with 0x18, a '3' with '2' and '3', the last
  // frame 0x0C with the all-zero frame, then closes. kOk when the close
  // ended with 0x0C (also when Receive already saw it); *by_exchange tells
  // whether the PC started it with '3'.
  Status Close(std::uint64_t deadline_ms, bool* by_exchange) override;

  // A description of the last failure.
  const std::string& Why() const override { return why_; }
  unsigned Pc_Data_Frames() const { return pc_frames_; }
  unsigned Polls() const { return polls_; }

  // Reported link events ("resend frame=3"), taken by the caller.
  std::vector<std::string> Take_Events() override;

 private:
  Status Next_Frame(PcFrame* f, std::uint64_t deadline_ms);
  Status Write_Control(std::uint8_t code, std::uint64_t deadline_ms);
  Status Write_Data(const std::uint8_t* p, std::size_t n, std::uint64_t deadline_ms);
  Status Flush_Ack(std::uint64_t deadline_ms);
  Status Serve_Polls(std::uint64_t deadline_ms);
  Status On_Pc_Data(PcFrame& f, std::uint64_t deadline_ms);
  Status Fail(Status s, std::string why);
  Status On_Close_Request(std::uint64_t deadline_ms);
  Status On_Close_End(std::uint64_t deadline_ms);
  // A whole packet at the front of in_, moved to *packet.
  int Take_Packet(Bytes* packet);

  Transport& t_;
  LinkOptions options_;
  FrameAssembler frames_;
  Bytes in_;                 // PC packet bytes not yet taken
  std::deque<Bytes> out_;    // packets for the PC's polls
  std::size_t out_pos_ = 0;  // bytes of out_.front() already sent
  std::function<bool(Bytes*)> producer_;
  bool ack_pending_ = false;  // the PC frame that completed a packet is unanswered
  unsigned owed_polls_ = 0;   // polls that found nothing to send
  bool over_ = false;
  bool by_exchange_ = false;  // the PC sent '3'
  bool closed_ = false;       // the close ended with 0x0C
  unsigned pc_frames_ = 0;
  unsigned polls_ = 0;
  Bytes frame_;               // write buffer of one frame
  std::string why_;
  std::vector<std::string> events_;
};

}  // namespace htsim
