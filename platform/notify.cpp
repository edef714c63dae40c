#include "platform/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace platform {

bool Notify_Service_Manager(const std::string& state, std::string* why) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || name[0] == '\0') {
    if (why) *why = "NOTIFY_SOCKET is not set";
    return false;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::size_t len = std::strlen(name);
  if ((name[0] != '/' && name[0] != '@') || len >= sizeof addr.sun_path) {
    if (why) *why = std::string("NOTIFY_SOCKET=") + name + " names no socket";
    return false;
  }
  std::memcpy(addr.sun_path, name, len);
  if (name[0] == '@') addr.sun_path[0] = '\0';
  const socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);

  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (why) *why = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  ssize_t sent;
  do {
    sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr),
                    addr_len);
  } while (sent < 0 && errno == EINTR);
  const int err = errno;
  ::close(fd);
  if (sent != static_cast<ssize_t>(state.size())) {
    if (why) *why = std::string("sendto ") + name + ": " + std::strerror(err);
    return false;
  }
  return true;
}

std::string Monotonic_Usec_Field() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  const unsigned long long usec =
      static_cast<unsigned long long>(ts.tv_sec) * 1000000ULL + static_cast<unsigned long long>(ts.tv_nsec) / 1000ULL;
  return "MONOTONIC_USEC=" + std::to_string(usec);
}

}  // namespace platform
