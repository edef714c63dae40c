#include "platform/notify.h"

#include <sys/socket.h>
#include <sys/stat.h>
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

namespace platform {

bool Journal_Stream_Matches(const char* journal_stream, unsigned long long device, unsigned long long inode) {
  if (journal_stream == nullptr || journal_stream[0] == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long dev = std::strtoull(journal_stream, &end, 10);
  if (errno != 0 || end == journal_stream || *end != ':') return false;
  const char* ino_text = end + 1;
  const unsigned long long ino = std::strtoull(ino_text, &end, 10);
  if (errno != 0 || end == ino_text || *end != '\0') return false;
  return dev == device && ino == inode;
}

bool Stdout_Is_Journal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  struct stat st;
  if (::fstat(STDOUT_FILENO, &st) != 0) return false;
  return Journal_Stream_Matches(stream, static_cast<unsigned long long>(st.st_dev),
                                static_cast<unsigned long long>(st.st_ino));
}

}  // namespace platform
