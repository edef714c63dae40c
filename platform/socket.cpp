#include "platform/socket.h"

#include "platform/faults.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/clock.h"

namespace platform {

namespace {

thread_local int t_last_error = 0;

int Fail() {
  t_last_error = errno;
  return SOCKET_FAILED;
}

bool Would_Block(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

// accept(2) failures that leave the listening socket as it was: a shortage
// of descriptors or kernel memory, a connection that went away before it was
// taken, a firewall's veto, and the network errors that Linux passes on from
// the new connection.
bool Accept_Retry_Later(int e) {
  switch (e) {
    case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
    case ECONNABORTED: case EPROTO: case EPERM:
    case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN: case ENONET:
    case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

int Fail_Accept() {
  const int e = errno;
  t_last_error = e;
  return Accept_Retry_Later(e) ? SOCKET_RETRY_LATER : SOCKET_FAILED;
}

// Keepalive as the header describes; a socket without it still works.
void Set_Keepalive(int fd) {
  int on = 1;
  int idle = kKeepaliveIdleS;
  int interval = kKeepaliveIntervalS;
  int probes = kKeepaliveProbes;
  (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

void Copy_Text(char* out, std::size_t cap, const char* text) {
  if (out == nullptr || cap == 0) return;
  std::size_t n = std::strlen(text);
  if (n >= cap) n = cap - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
}

void Address_Text(const in_addr& a, char* out, std::size_t cap) {
  char text[INET_ADDRSTRLEN] = "";
  if (inet_ntop(AF_INET, &a, text, sizeof text) == nullptr) text[0] = '\0';
  Copy_Text(out, cap, text);
}

// Descriptor 0 would look like "no channel" to the layers above; when the
// kernel hands it out (standard input was closed) the socket moves to a
// higher number and 0 is kept busy with /dev/null.
int Avoid_Zero(int fd) {
  if (fd != 0) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  if (moved < 0) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  close(fd);
  int placeholder = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (placeholder > 0) close(placeholder);  // 0 was taken meanwhile: nothing to hold
  return moved;
}

bool Make_Address(const char* address, std::uint16_t port, sockaddr_in* sa) {
  std::memset(sa, 0, sizeof *sa);
  sa->sin_family = AF_INET;
  sa->sin_port = htons(port);
  if (address == nullptr || address[0] == '\0') {
    sa->sin_addr.s_addr = htonl(INADDR_ANY);
    return true;
  }
  return inet_pton(AF_INET, address, &sa->sin_addr) == 1;
}

// poll(2) on n descriptors, resuming an interrupted wait with the time that
// is left. 1 when any is ready (revents filled in), 0 when the time passed,
// SOCKET_FAILED when the wait failed or a descriptor is not open.
int Poll_Many(pollfd* p, nfds_t n, int timeout_ms) {
  const std::uint64_t start = Monotonic_Ms();
  int left = timeout_ms;
  for (;;) {
    int r = poll(p, n, left);
    if (r > 0) {
      for (nfds_t i = 0; i < n; ++i) {
        if (p[i].revents & POLLNVAL) {
          errno = EBADF;
          return Fail();
        }
      }
      return 1;
    }
    if (r == 0) return 0;
    if (errno != EINTR) return Fail();
    if (timeout_ms > 0) {
      std::uint64_t spent = Monotonic_Ms() - start;
      if (spent >= static_cast<std::uint64_t>(timeout_ms)) return 0;
      left = timeout_ms - static_cast<int>(spent);
    }
  }
}

int Poll_One(int s, short events, int timeout_ms) {
  pollfd p{};
  p.fd = s;
  p.events = events;
  return Poll_Many(&p, 1, timeout_ms);
}

int Get_Flags(int s) {
  int flags;
  do flags = fcntl(s, F_GETFL);
  while (flags < 0 && errno == EINTR);
  return flags;
}

int Set_Flags(int s, int flags) {
  int r;
  do r = fcntl(s, F_SETFL, flags);
  while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace

int Socket_Last_Error() { return t_last_error; }

int Tcp_Socket_Open() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail();
  fd = Avoid_Zero(fd);
  if (fd < 0) return Fail();
  return fd;
}

int Socket_Buffer_Sizes(int s, int* send_bytes, int* recv_bytes) {
  int snd = 0, rcv = 0;
  socklen_t len = sizeof snd;
  if (getsockopt(s, SOL_SOCKET, SO_SNDBUF, &snd, &len) != 0) return Fail();
  len = sizeof rcv;
  if (getsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcv, &len) != 0) return Fail();
  if (send_bytes) *send_bytes = snd;
  if (recv_bytes) *recv_bytes = rcv;
  return SOCKET_OK;
}

int Socket_Bind(int s, const char* address, std::uint16_t port) {
  sockaddr_in sa;
  if (!Make_Address(address, port, &sa)) {
    errno = EINVAL;
    return Fail();
  }
  int one = 1;
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return Fail();
  if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return Fail();
  return SOCKET_OK;
}

int Socket_Listen(int s, int backlog) {
  if (listen(s, backlog) != 0) return Fail();
  // Accepting must never block, even when the waiting connection was reset
  // between a readiness test and the accept.
  if (Socket_Set_Non_Blocking(s, true) != SOCKET_OK) return SOCKET_FAILED;
  return SOCKET_OK;
}

int Socket_Accept(int listening, char* peer, std::size_t peer_cap) {
  Copy_Text(peer, peer_cap, "");
  sockaddr_in sa{};
  int fd;
  for (;;) {
    socklen_t len = sizeof sa;
    fd = accept4(listening, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) break;
    if (errno == EINTR) continue;
    if (Would_Block(errno)) return SOCKET_WOULD_BLOCK;
    return Fail_Accept();
  }
  fd = Avoid_Zero(fd);
  if (fd < 0) return Fail_Accept();
  // Stop-and-wait frames must never sit waiting for a delayed acknowledgement;
  // a socket without the option still works, only slower.
  int one = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  Set_Keepalive(fd);
  if (sa.sin_family == AF_INET) Address_Text(sa.sin_addr, peer, peer_cap);
  return fd;
}

int Socket_Connect(int s, const char* address, std::uint16_t port, const char* source,
                   int timeout_ms) {
  sockaddr_in sa;
  if (address == nullptr || address[0] == '\0' || !Make_Address(address, port, &sa)) {
    errno = EINVAL;
    return Fail();
  }
  if (source != nullptr) {
    sockaddr_in local;
    if (source[0] == '\0' || !Make_Address(source, 0, &local)) {
      errno = EINVAL;
      return Fail();
    }
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return Fail();
  }
  // The attempt itself always runs non-blocking so that an interrupted or
  // time-limited connect can be finished with poll and SO_ERROR.
  const int flags = Get_Flags(s);
  if (flags < 0) return Fail();
  if (!(flags & O_NONBLOCK) && Set_Flags(s, flags | O_NONBLOCK) != 0) return Fail();
  int result = SOCKET_OK;
  if (connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      result = Fail();
    } else {
      int ready = Poll_One(s, POLLOUT, timeout_ms);
      if (ready == 0) {
        errno = ETIMEDOUT;
        t_last_error = ETIMEDOUT;
        result = SOCKET_TIMED_OUT;
      } else if (ready < 0) {
        result = SOCKET_FAILED;
      } else {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
          result = Fail();
        } else if (err != 0) {
          errno = err;
          result = Fail();
        }
      }
    }
  }
  if (!(flags & O_NONBLOCK)) {
    int saved = errno;
    if (Set_Flags(s, flags) != 0 && result == SOCKET_OK) result = Fail();
    errno = saved;
  }
  if (result == SOCKET_OK) {
    int one = 1;
    (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return result;
}

int Socket_Set_Non_Blocking(int s, bool on) {
  int flags = Get_Flags(s);
  if (flags < 0) return Fail();
  int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && Set_Flags(s, wanted) != 0) return Fail();
  return SOCKET_OK;
}

int Socket_Set_No_Delay(int s) {
  int one = 1;
  if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) return Fail();
  return SOCKET_OK;
}

long Socket_Send(int s, const void* data, std::size_t n) {
  if (faults::Should_Fail_Socket(faults::Call::kSend, s)) return Fail();
  for (;;) {
    ssize_t r = send(s, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r >= 0) return static_cast<long>(r);
    if (errno == EINTR) continue;
    if (Would_Block(errno)) return SOCKET_WOULD_BLOCK;
    return Fail();
  }
}

long Socket_Send_Two(int s, const void* p1, std::size_t n1, const void* p2, std::size_t n2) {
  if (faults::Should_Fail_Socket(faults::Call::kSend, s)) return Fail();
  iovec parts[2];
  parts[0].iov_base = const_cast<void*>(p1);
  parts[0].iov_len = n1;
  parts[1].iov_base = const_cast<void*>(p2);
  parts[1].iov_len = n2;
  msghdr m{};
  m.msg_iov = parts;
  m.msg_iovlen = 2;
  for (;;) {
    ssize_t r = sendmsg(s, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r >= 0) return static_cast<long>(r);
    if (errno == EINTR) continue;
    if (Would_Block(errno)) return SOCKET_WOULD_BLOCK;
    return Fail();
  }
}

long Socket_Recv(int s, void* data, std::size_t n) {
  if (faults::Should_Fail_Socket(faults::Call::kRecv, s)) return Fail();
  for (;;) {
    ssize_t r = recv(s, data, n, MSG_DONTWAIT);
    if (r >= 0) return static_cast<long>(r);
    if (errno == EINTR) continue;
    if (Would_Block(errno)) return SOCKET_WOULD_BLOCK;
    return Fail();
  }
}

long Socket_Recv_Within(int s, void* data, std::size_t n, int timeout_ms, int* timeout_set_ms) {
  if (faults::Should_Fail_Socket(faults::Call::kRecv, s)) return Fail();
  if (timeout_ms < 1) timeout_ms = 1;
  if (*timeout_set_ms != timeout_ms) {
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return Fail();
    *timeout_set_ms = timeout_ms;
  }
  ssize_t r = recv(s, data, n, 0);
  if (r >= 0) return static_cast<long>(r);
  if (errno == EINTR || Would_Block(errno)) return SOCKET_WOULD_BLOCK;
  return Fail();
}

int Socket_Wait(int s, SocketWait what, int timeout_ms) {
  return Poll_One(s, what == SocketWait::Readable ? POLLIN : POLLOUT, timeout_ms);
}

int Socket_Peer_Gone(int s) {
  pollfd p{};
  p.fd = s;
  p.events = POLLRDHUP;
  const int r = Poll_Many(&p, 1, 0);
  if (r <= 0) return r;
  return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0 ? 1 : 0;
}

int Wake_Open() {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return Fail();
  fd = Avoid_Zero(fd);
  if (fd < 0) return Fail();
  return fd;
}

void Wake_Signal(int w) {
  if (w <= 0) return;
  const std::uint64_t one = 1;
  ssize_t r;
  do r = write(w, &one, sizeof one);
  while (r < 0 && errno == EINTR);
  // EAGAIN: the counter is full, so the wake is pending anyway.
}

void Wake_Close(int w) {
  if (w > 0) close(w);
}

int Socket_Wait_Or_Wake(int s, int w, int timeout_ms) {
  pollfd p[2]{};
  p[0].fd = s;
  p[0].events = POLLIN;
  p[1].fd = w;
  p[1].events = POLLIN;
  int r = Poll_Many(p, 2, timeout_ms);
  if (r <= 0) return r;
  if (p[1].revents & POLLIN) {
    // Use the signal up (the descriptor is non-blocking).
    std::uint64_t count = 0;
    ssize_t n;
    do n = read(w, &count, sizeof count);
    while (n < 0 && errno == EINTR);
  }
  return p[0].revents != 0 ? 1 : 2;
}

int Socket_Peer_Address(int s, char* out, std::size_t cap) {
  Copy_Text(out, cap, "");
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return Fail();
  if (sa.sin_family != AF_INET) {
    errno = EAFNOSUPPORT;
    return Fail();
  }
  Address_Text(sa.sin_addr, out, cap);
  return SOCKET_OK;
}

int Socket_Local_Port(int s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return Fail();
  return ntohs(sa.sin_port);
}

int Socket_Shutdown(int s) {
  if (shutdown(s, SHUT_RDWR) != 0) return Fail();
  return SOCKET_OK;
}

int Socket_Close(int s) {
  if (close(s) != 0 && errno != EINTR) return Fail();
  return SOCKET_OK;
}

bool Is_Ipv4_Address(const char* text) {
  if (text == nullptr) return false;
  in_addr a;
  return inet_pton(AF_INET, text, &a) == 1;
}

int Port_Number_From_Text(const char* text) {
  if (text == nullptr || text[0] == '\0') return -1;
  long value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return -1;
    value = value * 10 + (*p - '0');
    if (value > 65535) return -1;
  }
  return value >= 1 ? static_cast<int>(value) : -1;
}

void Host_Address(char* out, std::size_t cap) {
  Copy_Text(out, cap, "127.0.0.1");
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
      if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
      if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
      const in_addr a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr;
      if ((ntohl(a.s_addr) >> 24) == 127) continue;
      Address_Text(a, out, cap);
      freeifaddrs(list);
      return;
    }
    freeifaddrs(list);
  }
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return;
  for (addrinfo* f = found; f != nullptr; f = f->ai_next) {
    if (f->ai_family != AF_INET || f->ai_addr == nullptr) continue;
    Address_Text(reinterpret_cast<const sockaddr_in*>(f->ai_addr)->sin_addr, out, cap);
    break;
  }
  freeaddrinfo(found);
}

bool Listen_Address_From_Environment(char* out, std::size_t cap) {
  const char* text = std::getenv("TARNEL_LISTEN");
  if (text == nullptr || text[0] == '\0') {
    Copy_Text(out, cap, "");
    return false;
  }
  Copy_Text(out, cap, text);
  return true;
}

}  // namespace platform
