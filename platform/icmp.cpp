#include "platform/icmp.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace platform {

bool Parse_Ipv4(const char* text, Ipv4Address* out) {
  if (text == nullptr) return false;
  Ipv4Address a;
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (*p != '.') return false;
      ++p;
    }
    if (*p < '0' || *p > '9') return false;
    int value = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + (*p - '0');
      if (value > 255) return false;
      ++p;
    }
    a.bytes[part] = static_cast<std::uint8_t>(value);
  }
  if (*p != '\0') return false;
  *out = a;
  return true;
}

void Fill_Echo_Data(std::uint8_t* data, int size) {
  for (int i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(' ' + i % ('~' - ' ' + 1));
}

std::string Icmp_Unavailable_Text(int ping_error, int raw_error) {
  return std::string("No ICMP socket can be opened (ping socket: ") + std::strerror(ping_error) +
         "; raw socket: " + std::strerror(raw_error) + "), so every station counts as not answering. " +
         "Allow ping sockets with: " + kPingSocketSysctl;
}

namespace {

constexpr int kHeaderSize = 8;  // type, code, checksum, identifier, sequence
constexpr int kPacketSize = kHeaderSize + kEchoDataSize;
constexpr int kSliceMs = 50;    // how often a wait looks at its cancel flag

std::uint16_t Checksum(const std::uint8_t* p, int n) {
  std::uint32_t sum = 0;
  for (int i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
  if (n % 2 != 0) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

}  // namespace

bool Is_Echo_Reply_For(const std::uint8_t* packet, int size, bool with_ip_header, bool check_identifier,
                       std::uint16_t id, std::uint16_t seq) {
  if (packet == nullptr || size < 0) return false;
  const std::uint8_t* icmp = packet;
  if (with_ip_header) {
    if (size < 20) return false;
    const int header = (packet[0] & 0x0F) * 4;
    if (header < 20 || header > size) return false;
    icmp = packet + header;
    size -= header;
  }
  if (size != kPacketSize) return false;
  if (icmp[0] != ICMP_ECHOREPLY || icmp[1] != 0) return false;
  if (check_identifier && (icmp[4] != static_cast<std::uint8_t>(id >> 8) || icmp[5] != static_cast<std::uint8_t>(id)))
    return false;
  if (icmp[6] != static_cast<std::uint8_t>(seq >> 8) || icmp[7] != static_cast<std::uint8_t>(seq)) return false;
  std::uint8_t data[kEchoDataSize];
  Fill_Echo_Data(data, kEchoDataSize);
  return std::memcmp(icmp + kHeaderSize, data, kEchoDataSize) == 0;
}

namespace {

class SystemIcmp : public IcmpBackend {
 public:
  SystemIcmp() {
    // A raw socket sees every echo reply that reaches the host; this
    // process's identifier tells its own apart. A random one avoids
    // clashing with another instance that started with a neighbouring pid.
    std::uint16_t id = 0;
    if (getrandom(&id, sizeof id, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof id))
      id = static_cast<std::uint16_t>(getpid());
    identifier_ = id;
  }

  EchoOutcome Echo(const Ipv4Address& address, std::uint32_t timeout_ms,
                   const std::atomic<bool>* cancel) override {
    EchoOutcome out;
    bool raw = false;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
    if (fd < 0) {
      const int ping_error = errno;
      fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
      if (fd < 0) {
        out.result = ICMP_NO_SOCKET;
        out.error = ping_error;
        out.raw_error = errno;
        return out;
      }
      raw = true;
    }
    out = Exchange(fd, raw, address, timeout_ms, cancel);
    ::close(fd);
    return out;
  }

 private:
  EchoOutcome Exchange(int fd, bool raw, const Ipv4Address& address, std::uint32_t timeout_ms,
                       const std::atomic<bool>* cancel) {
    EchoOutcome out;
    // Sequence numbers run on across calls and threads, so every request
    // of this process is told apart from the others.
    const std::uint16_t seq = static_cast<std::uint16_t>(sequence_.fetch_add(1, std::memory_order_relaxed));
    std::uint8_t packet[kPacketSize] = {};
    packet[0] = ICMP_ECHO;
    packet[1] = 0;
    packet[4] = static_cast<std::uint8_t>(identifier_ >> 8);
    packet[5] = static_cast<std::uint8_t>(identifier_);
    packet[6] = static_cast<std::uint8_t>(seq >> 8);
    packet[7] = static_cast<std::uint8_t>(seq);
    Fill_Echo_Data(packet + kHeaderSize, kEchoDataSize);
    const std::uint16_t sum = Checksum(packet, kPacketSize);
    packet[2] = static_cast<std::uint8_t>(sum >> 8);
    packet[3] = static_cast<std::uint8_t>(sum);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr, address.bytes, 4);
    ssize_t sent;
    do {
      sent = ::sendto(fd, packet, sizeof packet, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof packet)) {
      out.result = ICMP_FAILED;
      out.error = sent < 0 ? errno : EMSGSIZE;
      return out;
    }

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (cancel != nullptr && cancel->load(std::memory_order_acquire)) break;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kSliceMs)));
      if (ready < 0 && errno != EINTR) {
        out.result = ICMP_FAILED;
        out.error = errno;
        return out;
      }
      if (ready <= 0) continue;
      // Read everything waiting; other programs' replies are passed over.
      for (;;) {
        std::uint8_t in[1500];
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t n = ::recvfrom(fd, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < 0) {
          if (errno == EINTR) continue;
          if (errno == EAGAIN || errno == EWOULDBLOCK) break;
          out.result = ICMP_FAILED;
          out.error = errno;
          return out;
        }
        if (std::memcmp(&from.sin_addr, address.bytes, 4) == 0 &&
            Is_Echo_Reply_For(in, static_cast<int>(n), raw, raw, identifier_, seq)) {
          out.result = ICMP_ANSWERED;
          return out;
        }
      }
    }
    out.result = ICMP_TIMED_OUT;
    out.error = ETIMEDOUT;
    return out;
  }

  std::uint16_t identifier_ = 0;
  std::atomic<std::uint32_t> sequence_{1};
};

}  // namespace

IcmpBackend& System_Icmp() {
  static SystemIcmp icmp;
  return icmp;
}

}  // namespace platform
