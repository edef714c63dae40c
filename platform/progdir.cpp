// Executable path from /proc/self/exe; whole-file replacement by a temporary
// file and rename(2).
#include "platform/progdir.h"

#include <cstdio>

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace platform {

namespace {

std::string Reason(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
}

// Folder part of a native path ("." for a bare name).
std::string Folder_Of(const std::string& path) {
  const std::size_t cut = path.rfind('/');
  if (cut == std::string::npos) return ".";
  if (cut == 0) return "/";
  return path.substr(0, cut);
}

bool Write_All(int fd, std::string_view bytes, int* err) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *err = errno;
      return false;
    }
    if (n == 0) {
      *err = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool Executable_Path(std::string* path) {
  std::vector<char> buf(PATH_MAX + 1);
  for (int tries = 0; tries < 4; ++tries) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) < buf.size()) {
      path->assign(buf.data(), static_cast<std::size_t>(n));
      return !path->empty();
    }
    buf.resize(buf.size() * 2);  // the name may have been cut: try a bigger buffer
  }
  return false;
}

bool Replace_File(const std::string& native_path, std::string_view contents, std::string* why) {
  std::string scratch;
  std::string& reason = why ? *why : scratch;
  if (native_path.empty()) {
    reason = "empty file name";
    return false;
  }

  // Replace the target of a symbolic link, not the link itself.
  std::string target = native_path;
  struct stat st {};
  if (::lstat(native_path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* real = ::realpath(native_path.c_str(), nullptr);
    if (real != nullptr) {
      target = real;
      ::free(real);
    }
  }

  mode_t mode = 0644;
  if (::stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      reason = Reason(target.c_str(), EISDIR);
      return false;
    }
    mode = st.st_mode & 07777;
  }

  const std::string folder = Folder_Of(target);
  const std::size_t cut = target.rfind('/');
  const std::string base = cut == std::string::npos ? target : target.substr(cut + 1);
  std::string temp = folder + "/." + base + ".XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');

  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    reason = Reason("cannot create a temporary file", errno);
    return false;
  }
  temp.assign(name.data());

  int err = 0;
  bool ok = Write_All(fd, contents, &err);
  if (ok && ::fchmod(fd, mode) != 0) {
    err = errno;
    ok = false;
  }
  if (ok && ::fsync(fd) != 0) {
    err = errno;
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    err = errno;
    ok = false;
  }
  if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    reason = Reason(target.c_str(), err);
    return false;
  }

  // Make the rename itself durable; a failure here does not undo the write.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool Read_Small_File(const std::string& native_path, std::string* text, std::size_t max_bytes,
                     bool* opened) {
  std::FILE* f = std::fopen(native_path.c_str(), "rb");
  if (opened != nullptr) *opened = f != nullptr;
  if (f == nullptr) return false;
  char chunk[4096];
  std::size_t n;
  bool ok = true;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    text->append(chunk, n);
    if (text->size() > max_bytes) {
      ok = false;
      break;
    }
  }
  if (std::ferror(f) != 0) ok = false;
  std::fclose(f);
  return ok;
}

}  // namespace platform
