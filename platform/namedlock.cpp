// Named locks over flock on lock files. Lock files are never deleted: a file
// removed while another process waits on it would let a third one lock a
// new file of the same name at the same time.
#include "platform/namedlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

std::string Lock_Folder() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.back() != '/') path += '/';
  return path + "tarnel-locks";
}

}  // namespace

// Letters, digits, '-' and '_' stand for themselves, every other byte is
// "%XX". Long names keep a readable head and get a hash of the whole name,
// so the file name stays within the file system's limit.
std::string NamedLock::File_For(const char* name) {
  static const char hex[] = "0123456789ABCDEF";
  std::string enc;
  for (const char* p = name; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_') {
      enc += static_cast<char>(c);
    } else {
      enc += '%';
      enc += hex[c >> 4];
      enc += hex[c & 15];
    }
  }
  if (enc.size() > 180) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a over the raw name
    for (const char* p = name; *p != '\0'; ++p) {
      h ^= static_cast<unsigned char>(*p);
      h *= 1099511628211ull;
    }
    enc.resize(160);
    enc += '~';
    for (int i = 15; i >= 0; --i) enc += hex[(h >> (i * 4)) & 15];
  }
  return Lock_Folder() + "/" + enc + ".lock";
}

NamedLock::~NamedLock() { Close(); }

bool NamedLock::Open(const char* name) {
  Close();
  if (name == nullptr || name[0] == '\0') return false;
  std::string folder = Lock_Folder();
  if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return false;
  std::string file = File_For(name);
  int fd;
  do {
    fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  fd_ = fd;
  return true;
}

bool NamedLock::Lock() {
  if (fd_ < 0) return false;
  if (held_) return true;
  int r;
  do {
    r = ::flock(fd_, LOCK_EX);
  } while (r != 0 && errno == EINTR);
  held_ = r == 0;
  return held_;
}

bool NamedLock::Try_Lock() {
  if (fd_ < 0) return false;
  if (held_) return true;
  int r;
  do {
    r = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  held_ = r == 0;
  return held_;
}

void NamedLock::Unlock() {
  if (fd_ >= 0 && held_) ::flock(fd_, LOCK_UN);
  held_ = false;
}

void NamedLock::Close() {
  Unlock();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace platform
