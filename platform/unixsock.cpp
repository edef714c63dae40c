#include "platform/unixsock.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/clock.h"

namespace platform {

namespace {

bool Make_Address(const std::string& path, sockaddr_un* addr, socklen_t* len) {
  if (path.empty() || path.size() > kUnixPathMax || path.find('\0') != std::string::npos) return false;
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, path.data(), path.size());
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
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

namespace {

// What a socket file at path is: 1 a live server accepts connections on it,
// 0 nobody does any more (or it went away), -1 something else than a socket
// is there or it cannot be told.
int Probe(const std::string& path, const sockaddr_un& addr, socklen_t len) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : -1;
  if (!S_ISSOCK(st.st_mode)) return -1;
  int s = New_Socket();
  if (s < 0) return -1;
  Set_Non_Blocking(s);
  int r;
  do {
    r = connect(s, reinterpret_cast<const sockaddr*>(&addr), len);
  } while (r != 0 && errno == EINTR);
  const int e = errno;
  close(s);
  if (r == 0 || e == EAGAIN) return 1;  // EAGAIN: alive, its backlog is full
  if (e == ECONNREFUSED || e == ENOENT) return 0;
  return -1;
}

// Holds an flock on path + ".lock" for its lifetime (none when it cannot be
// taken: the caller then goes on unguarded rather than not at all).
class PathLock {
 public:
  explicit PathLock(const std::string& path) {
    const std::string name = path + ".lock";
    fd_ = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return;
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~PathLock() {
    if (fd_ >= 0) close(fd_);  // closing ends the lock
  }
  PathLock(const PathLock&) = delete;
  PathLock& operator=(const PathLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace

int Unix_Listen(const std::string& path, unsigned mode, int gid, std::string* why) {
  sockaddr_un addr;
  socklen_t len;
  if (!Make_Address(path, &addr, &len)) {
    if (why) *why = "socket path empty or longer than " + std::to_string(kUnixPathMax) + " bytes: " + path;
    return UNIX_FAILED;
  }
  auto fail = [&](int s, int e, const std::string& what) {
    if (s >= 0) close(s);
    if (why) *why = what + ": " + std::strerror(e);
    return UNIX_FAILED;
  };
  PathLock lock(path);
  int s = New_Socket();
  if (s < 0) return fail(-1, errno, "socket");
  // A left-over socket file is removed and bound anew; a second round only
  // happens when one was found stale, so two rounds are enough.
  for (int round = 0;; ++round) {
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), len) == 0) break;
    const int e = errno;
    if (e != EADDRINUSE || round == 1) return fail(s, e, path);
    const int probe = Probe(path, addr, len);
    if (probe > 0) {
      close(s);
      if (why) *why = path + " is served by another process";
      return UNIX_IN_USE;
    }
    if (probe < 0) {
      close(s);
      if (why) *why = path + " exists and is not a socket that can be replaced";
      return UNIX_FAILED;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return fail(s, errno, "removing the stale " + path);
  }
  if (gid >= 0 && chown(path.c_str(), static_cast<uid_t>(-1), static_cast<gid_t>(gid)) != 0) {
    const int e = errno;
    unlink(path.c_str());
    return fail(s, e, "setting the group of " + path);
  }
  if (chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    const int e = errno;
    unlink(path.c_str());
    return fail(s, e, "setting the mode of " + path);
  }
  if (listen(s, 16) != 0) {
    const int e = errno;
    unlink(path.c_str());
    return fail(s, e, "listen");
  }
  Set_Non_Blocking(s);
  return s;
}

int Unix_Listen_Abstract(const std::string& name, std::string* why) {
  if (name.empty() || name.size() + 1 > kUnixPathMax || name.find('\0') != std::string::npos) {
    if (why) *why = "socket name empty or longer than " + std::to_string(kUnixPathMax - 1) + " bytes: " + name;
    return UNIX_FAILED;
  }
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  const int s = New_Socket();
  if (s < 0) {
    if (why) *why = std::string("socket: ") + std::strerror(errno);
    return UNIX_FAILED;
  }
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(s, 16) != 0) {
    const int e = errno;
    close(s);
    if (why) *why = name + ": " + std::strerror(e);
    return e == EADDRINUSE ? UNIX_IN_USE : UNIX_FAILED;
  }
  Set_Non_Blocking(s);
  return s;
}

void Unix_Remove(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path.c_str());
}

bool Unix_Peer(int s, UnixPeer* peer) {
  ucred cred;
  socklen_t size = sizeof cred;
  if (getsockopt(s, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred) return false;
  peer->uid = static_cast<unsigned>(cred.uid);
  peer->gid = static_cast<unsigned>(cred.gid);
  peer->pid = static_cast<int>(cred.pid);
  return true;
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

int Unix_Connect(const std::string& path, int timeout_ms) {
  sockaddr_un addr;
  socklen_t len;
  if (!Make_Address(path, &addr, &len)) return UNIX_FAILED;
  int s = New_Socket();
  if (s < 0) return UNIX_FAILED;
  Set_Non_Blocking(s);
  const bool limited = timeout_ms >= 0;
  const std::uint64_t deadline = Monotonic_Ms() + (limited ? static_cast<std::uint64_t>(timeout_ms) : 0);
  for (;;) {
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), len) == 0) return s;
    if (errno == EINTR) continue;
    if (errno == ECONNREFUSED || errno == ENOENT || errno == ENOTDIR) {
      close(s);
      return UNIX_NO_PEER;
    }
    if (errno == EACCES || errno == EPERM) {
      close(s);
      return UNIX_DENIED;
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
