// ICMP echo (ping) to one IPv4 address at a time.
//
// The system back end sends through a Linux ping socket (SOCK_DGRAM,
// IPPROTO_ICMP; allowed for the groups in net.ipv4.ping_group_range) and,
// when that socket is refused, through a raw ICMP socket (needs
// CAP_NET_RAW). Every request carries its own sequence number (and, on a
// raw socket, this process's identifier); a reply counts only when its
// identifier, sequence number and data match the request, so replies to
// other programs' pings never count. When neither socket opens, the result
// says so together with both errno values.
//
// IcmpBackend is the seam: callers take a back end, tests give them a fake
// (testsupport/fake_icmp.h). All functions are thread-safe; different
// threads may ping at the same time.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace platform {

enum IcmpResult : int {
  ICMP_ANSWERED = 0,      // the matching echo reply arrived in time
  ICMP_TIMED_OUT = -1,    // no matching reply within the time (or the wait was cancelled)
  ICMP_NO_SOCKET = -2,    // neither a ping socket nor a raw socket could be opened
  ICMP_FAILED = -3,       // sending or receiving failed (e.g. no route to the host)
  ICMP_BAD_ADDRESS = -4,  // not a dotted IPv4 address; nothing was sent
};

struct Ipv4Address {
  std::uint8_t bytes[4] = {0, 0, 0, 0};
};

// Reads a dotted IPv4 address strictly: exactly four parts separated by
// single dots, each made of decimal digits only (at least one) with a value
// of 0 to 255; nothing before, between or after. Returns false (and leaves
// *out alone) for anything else, including null.
bool Parse_Ipv4(const char* text, Ipv4Address* out);

// Echo data: 64 bytes, the characters from blank onwards (blank to tilde,
// repeating).
constexpr int kEchoDataSize = 64;
void Fill_Echo_Data(std::uint8_t* data, int size);

struct EchoOutcome {
  int result = ICMP_TIMED_OUT;  // an IcmpResult
  int error = 0;                // errno: ICMP_FAILED's cause; ICMP_NO_SOCKET: the ping socket's
  int raw_error = 0;            // ICMP_NO_SOCKET only: the raw socket's errno
};

// Whether a received packet is the reply to our echo request: an echo
// reply (type 0, code 0) of exactly 8 + 64 bytes carrying sequence seq and
// the echo data, and, when check_identifier, identifier id. with_ip_header:
// the packet starts with an IPv4 header (what a raw socket hands over).
// A ping socket's identifier is chosen by the kernel, which delivers only
// that socket's replies, so it is not checked there.
bool Is_Echo_Reply_For(const std::uint8_t* packet, int size, bool with_ip_header, bool check_identifier,
                       std::uint16_t id, std::uint16_t seq);

class IcmpBackend {
 public:
  virtual ~IcmpBackend() = default;
  // Sends one echo request to address and waits at most timeout_ms for its
  // reply. When cancel is not null, setting it ends the wait early
  // (ICMP_TIMED_OUT) within about 50 ms.
  virtual EchoOutcome Echo(const Ipv4Address& address, std::uint32_t timeout_ms,
                           const std::atomic<bool>* cancel) = 0;
};

// The system's back end (ping socket, else raw socket), one per process.
IcmpBackend& System_Icmp();

// The setting that allows every group to open ping sockets.
constexpr const char* kPingSocketSysctl = "sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"";

// One line for the operator saying why no echo can be sent: both errno
// texts and the sysctl above.
std::string Icmp_Unavailable_Text(int ping_error, int raw_error);

}  // namespace platform
