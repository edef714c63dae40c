// Internal to the TCP/IP driver: settings, the connection table, frame
// reading and writing. Not for other folders (tests may use it).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace netport {

// ---- Frames ---------------------------------------------------------------

constexpr std::size_t kFrameSize = 8192;   // one frame buffer: header + payload
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kMaxPayload = kFrameSize - kHeaderSize;  // 8184
constexpr std::size_t kScanRead = 2057;    // read size of the control-frame waits

enum FrameCode : std::uint8_t {
  kHtData = 0x00,        // HT data frame; all zero: the HT's last word of a close
  kResend = 0x08,        // HT: send the same chunk again
  kGreeting = 0x0B,      // PC: first frame on a new connection
  kCloseEnd = 0x0C,      // PC: last frame of a close (and of a refusal)
  kPcData = 0x10,        // PC data frame
  kRefusalAnswer = 0x12, // HT: answer to the refusal message
  kEndOfSession = 0x18,  // HT: end of session, awaited by close mode 1
  kPoll = 0x20,          // PC: send your next frame
  kStep0 = '0',
  kStep1 = '1',
  kStep2 = '2',
  kStep3 = '3',
};

// Bytes read from one connection: the frame last read at buf[0..used) and
// whatever arrived behind it, up to held. Bytes behind a frame are the start
// of the next one and are kept for the next read.
struct FrameReader {
  std::uint8_t buf[kFrameSize];
  std::uint32_t held = 0;
  std::uint32_t used = 0;

  // Drops the frame last read, moving the bytes behind it to the front.
  void Consume();
  // True when bytes of a further frame are already here.
  bool Pending() const { return held > used; }
  void Clear() { held = used = 0; }
};

// Unread HT payload: the rest of an over-long frame, or a data frame that
// answered one of ours. Holds two full payloads.
struct RecvQueue {
  std::uint8_t data[2 * kMaxPayload];
  std::uint32_t read = 0;
  std::uint32_t end = 0;

  std::uint32_t Count() const { return end - read; }
  // Copies min(n, Count()) bytes out; an emptied queue restarts at 0.
  std::uint32_t Take(std::uint8_t* dst, std::uint32_t n);
  // Appends n bytes; false (queue unchanged) when they do not fit.
  bool Append(const std::uint8_t* src, std::uint32_t n);
  void Clear() { read = end = 0; }
};

// Builds an 8-byte control frame: code, zeros, word4 little-endian at 4..5.
void Control_Frame(std::uint8_t out[kHeaderSize], std::uint8_t code, std::uint16_t word4 = 0);

enum class SendOutcome { Sent, Blocked, Failed };

// Hands n bytes to the kernel, the whole frame in one write; only when the
// kernel takes part of it (send buffer full) is the rest written after
// readiness waits of at most 100 ms. Blocked: still would-block after 100
// such waits (10 s). Failed: any other socket error.
SendOutcome Send_Whole(int s, const std::uint8_t* p, std::size_t n);

// Sends an 8-byte control frame with Send_Whole.
SendOutcome Send_Control(int s, std::uint8_t code, std::uint16_t word4 = 0);

// Sends one PC data frame (chunk <= kMaxPayload bytes), its header and the
// payload in place, with Send_Whole's waits: chunk on success, -22 when
// blocked, -27 on a socket error.
long Send_Data_Frame(int s, const std::uint8_t* data, std::uint32_t chunk);

// Reads one HT frame into r (after dropping the one read before). Returns the
// payload length of a data frame (payload at r.buf + 8), 0 for a control
// frame (code at r.buf[0]), -4 when TCP_TIMEOUT passed (at once when it is 0),
// -27 on a socket error, a closed peer or a payload length above 8184.
int Read_Frame(int s, FrameReader& r);

enum class ScanResult { Found, TimedOut, Closed, Failed };

// Waits until the bytes from s hold the control frame code + seven zero
// bytes; bytes before it are dropped, bytes behind it stay in r. Reads at
// most read_max bytes at a time. Would-block waits for readiness until
// deadline_ms (Monotonic_Ms). When ignore_closed, a closed peer does not end
// the wait (it paces itself until the deadline).
ScanResult Await_Control(int s, FrameReader& r, std::uint8_t code, std::uint64_t deadline_ms,
                         std::size_t read_max, bool ignore_closed = false);

// ---- Settings (written by so_init, read by every call) --------------------

struct Settings {
  std::atomic<int> port{0};            // PORTNO, 1..65535 (0 without device.ini)
  std::atomic<int> tcp_timeout{0};     // seconds
  std::atomic<int> select_timeout{0};  // seconds
  std::atomic<int> iobox_rbytes{0};
};
extern Settings g_settings;

// TCP_TIMEOUT in ms (0 when not positive) and the deadline it sets from now.
std::uint64_t Tcp_Timeout_Ms();
std::uint64_t Deadline_From_Now();

// Address texts from so_init: where so_bind listens ("" = all interfaces) and
// where so_connect connects.
std::string Bind_Address();
std::string Connect_Address();

// device.ini in the program directory (Instance_Handle's folder); "" when no
// program directory is known.
std::string Device_Ini_Path();

// Plain decimal conversion: leading blanks and a sign, digits up to the
// first non-digit; saturates at the int range.
int Plain_Decimal(const char* text);

// Station number for a peer address: the [USE_IP] key whose value is exactly
// peer, else the lowest key number 1..255 that has no entry and is not marked
// in TCPIP_Connections, else 0. A missing device.ini shows a message box and
// gives 0.
int Station_Number(const char* peer);

// ---- Connection table -----------------------------------------------------

constexpr int kSlots = 255;

struct Slot {
  int socket = 0;  // 0: free; changed only under the table lock
  FrameReader reader;
  RecvQueue queue;
  // The socket's receive time-out as last set (0: never set), so that
  // waiting for an answer sets it only when it changes.
  int recv_timeout_ms = 0;
};

// The slot of an accepted socket, or null. The buffers belong to the thread
// that works on the connection.
Slot* Find_Slot(int s);
// Takes the first free slot for s with empty buffers; null when all are taken.
Slot* Take_Slot(int s);
// Releases s's slot, handing its unread bytes to *carry; false when s has none.
bool Release_Slot(int s, FrameReader* carry);
// Clears the buffers of every free slot.
void Clear_Free_Slots();

// Sockets from so_open, until so_close or so_reset.
enum class OpenedKind { None, Plain, Listening, Connected };
bool Track_Opened(int s);
OpenedKind Opened_Kind(int s);
void Mark_Opened(int s, OpenedKind kind);
OpenedKind Untrack_Opened(int s);
// The wake of listening socket s (0 when it has none), -1 when s is not a
// listening socket of this driver. Marking a socket Listening creates its
// wake; forgetting the socket closes it.
int Listening_Wake(int s);
// Signals listening socket s's wake; false when s is not one.
bool Wake_Listening(int s);
// Shuts down both directions of accepted socket s while it still holds its
// slot; false when it holds none.
bool Shutdown_Slot(int s);
// platform::Socket_Peer_Gone of accepted socket s while it holds its slot;
// -1 when it holds none.
int Peer_Gone_Of_Slot(int s);

// so_reset's work on the tables: shuts down every slot's connection and
// closes and forgets every socket from so_open.
void Reset_Tables();

}  // namespace netport
