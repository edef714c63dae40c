#include "platform/unixsock.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/clock.h"

namespace platform {

namespace {

bool Make_Address(const std::string& name, sockaddr_un* addr, socklen_t* len) {
  if (name.empty() || name.size() > kUnixNameMax) return false;
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  // Abstract namespace: a leading NUL, then the name without a terminator.
  std::memcpy(addr->sun_path + 1, name.data(), name.size());
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return true;
}

int New_Socket() {
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s == 0) {
    // Descriptor 0 is never handed out (it reads as "none" above).
    int moved = fcntl(s, F_DUPFD_CLOEXEC, 1);
    close(s);
    s = moved;
  }
  return s;
}

void Set_Non_Blocking(int s) {
  int flags = fcntl(s, F_GETFL, 0);
  if (flags >= 0) fcntl(s, F_SETFL, flags | O_NONBLOCK);
}

// Milliseconds left until deadline (a Monotonic_Ms value); -1 for no limit.
int Left(std::uint64_t deadline, bool limited) {
  if (!limited) return -1;
  std::uint64_t now = Monotonic_Ms();
  return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

// 1 ready, 0 time out, -1 failure; *hung_up (when given) tells whether the
// socket was shut down.
int Wait_For(int s, short events, std::uint64_t deadline, bool limited, bool* hung_up = nullptr) {
  for (;;) {
    pollfd p{s, events, 0};
    int r = poll(&p, 1, Left(deadline, limited));
    if (r >= 0) {
      if (hung_up) *hung_up = r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
      return r > 0 ? 1 : 0;
    }
    if (errno != EINTR) return -1;
  }
}

}  // namespace

int Unix_Listen(const std::string& name, std::string* why) {
  sockaddr_un addr;
  socklen_t len;
  if (!Make_Address(name, &addr, &len)) {
    if (why) *why = "socket name empty or too long";
    return UNIX_FAILED;
  }
  int s = New_Socket();
  if (s < 0) {
    if (why) *why = std::strerror(errno);
    return UNIX_FAILED;
  }
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    int e = errno;
    close(s);
    if (why) *why = std::strerror(e);
    return e == EADDRINUSE ? UNIX_IN_USE : UNIX_FAILED;
  }
  if (listen(s, 16) != 0) {
    int e = errno;
    close(s);
    if (why) *why = std::strerror(e);
    return UNIX_FAILED;
  }
  Set_Non_Blocking(s);
  return s;
}

int Unix_Accept(int listening, int timeout_ms) {
  const bool limited = timeout_ms >= 0;
  const std::uint64_t deadline = Monotonic_Ms() + (limited ? static_cast<std::uint64_t>(timeout_ms) : 0);
  for (;;) {
    int c = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0) {
      if (c == 0) {
        int moved = fcntl(c, F_DUPFD_CLOEXEC, 1);
        close(c);
        if (moved < 0) return UNIX_FAILED;
        c = moved;
      }
      Set_Non_Blocking(c);
      return c;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    // A listening socket that was shut down reports EINVAL.
    if (errno == EINVAL) return UNIX_CLOSED;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return UNIX_FAILED;
    bool hung_up = false;
    int w = Wait_For(listening, POLLIN, deadline, limited, &hung_up);
    if (w < 0) return UNIX_FAILED;
    if (w == 0) return UNIX_TIMED_OUT;
    // Unix_Wake shut the listener down: nothing will arrive any more.
    if (hung_up) return UNIX_CLOSED;
  }
}

void Unix_Wake(int listening) { shutdown(listening, SHUT_RDWR); }

int Unix_Connect(const std::string& name, int timeout_ms) {
  sockaddr_un addr;
  socklen_t len;
  if (!Make_Address(name, &addr, &len)) return UNIX_FAILED;
  int s = New_Socket();
  if (s < 0) return UNIX_FAILED;
  Set_Non_Blocking(s);
  const bool limited = timeout_ms >= 0;
  const std::uint64_t deadline = Monotonic_Ms() + (limited ? static_cast<std::uint64_t>(timeout_ms) : 0);
  for (;;) {
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), len) == 0) return s;
    if (errno == EINTR) continue;
    if (errno == ECONNREFUSED || errno == ENOENT) {
      close(s);
      return UNIX_NO_PEER;
    }
    if (errno == EAGAIN) {
      // The owner's backlog is full: try again shortly.
      if (Left(deadline, limited) == 0) {
        close(s);
        return UNIX_TIMED_OUT;
      }
      Sleep_Ms(5);
      continue;
    }
    close(s);
    return UNIX_FAILED;
  }
}

long Unix_Send_All(int s, const void* data, std::size_t n, int timeout_ms) {
  const bool limited = timeout_ms >= 0;
  const std::uint64_t deadline = Monotonic_Ms() + (limited ? static_cast<std::uint64_t>(timeout_ms) : 0);
  const char* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = send(s, p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      done += static_cast<std::size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EPIPE || errno == ECONNRESET)) return UNIX_CLOSED;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return UNIX_FAILED;
    int w = Wait_For(s, POLLOUT, deadline, limited);
    if (w < 0) return UNIX_FAILED;
    if (w == 0) return UNIX_TIMED_OUT;
  }
  return static_cast<long>(n);
}

long Unix_Recv_All(int s, void* data, std::size_t n, int timeout_ms) {
  const bool limited = timeout_ms >= 0;
  const std::uint64_t deadline = Monotonic_Ms() + (limited ? static_cast<std::uint64_t>(timeout_ms) : 0);
  char* p = static_cast<char*>(data);
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = recv(s, p + done, n - done, MSG_DONTWAIT);
    if (r > 0) {
      done += static_cast<std::size_t>(r);
      continue;
    }
    if (r == 0) return UNIX_CLOSED;
    if (errno == EINTR) continue;
    if (errno == ECONNRESET) return UNIX_CLOSED;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return UNIX_FAILED;
    int w = Wait_For(s, POLLIN, deadline, limited);
    if (w < 0) return UNIX_FAILED;
    if (w == 0) return UNIX_TIMED_OUT;
  }
  return static_cast<long>(n);
}

void Unix_Close(int s) {
  if (s > 0) close(s);
}

}  // namespace platform
