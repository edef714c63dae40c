// The PC file layer on Linux: drive table, case-insensitive resolution,
// PC file semantics over POSIX calls, directory search, file times, disks,
// temporary files and the current folder.
#include "platform/pcfs.h"

#include "platform/clock.h"
#include "platform/faults.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <limits>
#include <mutex>
#include <unordered_map>

namespace platform {

namespace {

bool Is_Sep(char c) { return c == '\\' || c == '/'; }

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool Is_Letter(char c) {
  char u = Upper(c);
  return u >= 'A' && u <= 'Z';
}

bool Equal_No_Case(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (Upper(*a) != Upper(*b)) return false;
  return *a == *b;
}

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// Folder part of a native path ("." for a bare name).
std::string Parent_Of(const std::string& native) {
  std::size_t k = native.find_last_of('/');
  if (k == std::string::npos) return ".";
  if (k == 0) return "/";
  return native.substr(0, k);
}

using faults::Call;
using faults::Should_Fail;

// While fault injection is enabled, files opened here read and write
// through these hooks so that a chosen read or write can fail. The stream's
// descriptor is kept beside it, since fileno() knows none for such a stream.
struct HookedFile {
  int fd;
  std::FILE* file = nullptr;
};

std::mutex g_hooked_mutex;
std::unordered_map<std::FILE*, int> g_hooked_fds;  // guarded by g_hooked_mutex

ssize_t Hooked_Read(void* cookie, char* buf, size_t n) {
  if (Should_Fail(Call::kRead)) return -1;
  ssize_t r;
  do {
    r = ::read(static_cast<HookedFile*>(cookie)->fd, buf, n);
  } while (r < 0 && errno == EINTR);
  return r;
}

ssize_t Hooked_Write(void* cookie, const char* buf, size_t n) {
  if (Should_Fail(Call::kWrite)) return 0;  // 0 is the hooks' way to report an error
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::write(static_cast<HookedFile*>(cookie)->fd, buf + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return static_cast<ssize_t>(done);
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

int Hooked_Seek(void* cookie, off64_t* offset, int whence) {
  const off64_t r = ::lseek64(static_cast<HookedFile*>(cookie)->fd, *offset, whence);
  if (r < 0) return -1;
  *offset = r;
  return 0;
}

int Hooked_Close(void* cookie) {
  auto* h = static_cast<HookedFile*>(cookie);
  {
    std::lock_guard<std::mutex> lock(g_hooked_mutex);
    g_hooked_fds.erase(h->file);
  }
  const int r = ::close(h->fd);
  delete h;
  return r;
}

// Wraps an open descriptor in a stream: a plain one, or a hooked one while
// fault injection is enabled. Null (descriptor closed) on failure.
std::FILE* Stream_Of(int fd, const char* mode) {
  if (!faults::Enabled()) {
    std::FILE* f = ::fdopen(fd, mode);
    if (f == nullptr) ::close(fd);
    return f;
  }
  auto* h = new HookedFile{fd};
  std::FILE* f = ::fopencookie(h, mode, cookie_io_functions_t{Hooked_Read, Hooked_Write, Hooked_Seek, Hooked_Close});
  if (f == nullptr) {
    ::close(fd);
    delete h;
    return nullptr;
  }
  h->file = f;
  std::lock_guard<std::mutex> lock(g_hooked_mutex);
  g_hooked_fds[f] = fd;
  return f;
}

// The descriptor under a stream opened here (-1 for none).
int Fd_Of(std::FILE* f) {
  const int fd = ::fileno(f);
  if (fd >= 0) return fd;
  std::lock_guard<std::mutex> lock(g_hooked_mutex);
  auto it = g_hooked_fds.find(f);
  return it == g_hooked_fds.end() ? -1 : it->second;
}

// Open flags of an fopen mode ("r", "wb", "a+" ...), close on exec.
int Open_Flags(const char* mode) {
  const bool plus = std::strchr(mode, '+') != nullptr;
  int flags = O_CLOEXEC;
  switch (mode[0]) {
    case 'w': flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
    case 'a': flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default: flags |= plus ? O_RDWR : O_RDONLY; break;
  }
  if (std::strchr(mode, 'x') != nullptr) flags |= O_EXCL;
  return flags;
}

std::string Last_Component(const std::string& native) {
  std::size_t k = native.find_last_of('/');
  return k == std::string::npos ? native : native.substr(k + 1);
}

bool Is_Folder(const std::string& native) {
  struct stat st;
  return ::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The one place where errno becomes a result.
FsResult From_Errno(int e, const std::string& native) {
  switch (e) {
    case ENOENT:
      return Is_Folder(Parent_Of(native)) ? FS_NOT_FOUND : FS_PATH_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return FS_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
    case EBUSY:
      return FS_ACCESS_DENIED;
    case EEXIST:
      return FS_EXISTS;
    case ENOTEMPTY:
      return FS_NOT_EMPTY;
    case EXDEV:
      return FS_NOT_SAME_DEVICE;
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
      return FS_NO_SPACE;
    case EINVAL:
    case EBADF:
      return FS_INVALID;
    default:
      return FS_IO_ERROR;
  }
}

// The entry of folder dir that equals name ignoring ASCII case, the first in
// byte order when several do.
bool Find_Case_Variant(const std::string& dir, const std::string& name, std::string* found) {
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return false;
  bool any = false;
  while (struct dirent* e = ::readdir(d)) {
    if (!Equal_No_Case(e->d_name, name.c_str())) continue;
    if (!any || std::strcmp(e->d_name, found->c_str()) < 0) *found = e->d_name;
    any = true;
  }
  ::closedir(d);
  return any;
}

std::atomic<bool> g_confined{false};
std::atomic<ConfineRefusalHook> g_refusal_hook{nullptr};
std::atomic<void*> g_refusal_context{nullptr};

std::mutex g_extra_roots_mu;
std::vector<std::string> g_extra_roots;

// The roots of every mapped drive, A: to Z:, and the extra roots.
std::vector<std::string> Mapped_Roots() {
  std::vector<std::string> roots;
  {
    std::lock_guard<std::mutex> lock(g_extra_roots_mu);
    roots = g_extra_roots;
  }
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    std::string root;
    if (Drive_Root(letter, &root)) roots.push_back(std::move(root));
  }
  return roots;
}

bool Refuse_Path(const char* pc_path, const std::string& why) {
  if (ConfineRefusalHook hook = g_refusal_hook.load()) hook(pc_path, why.c_str(), g_refusal_context.load());
  return false;
}

// PC path to native path. *is_root tells that the path names a drive's root
// folder or the system's root.
bool Resolve(const char* pc_path, std::string* native, bool* is_root, bool confine = true) {
  if (pc_path == nullptr || native == nullptr) return false;
  std::string s(pc_path);
  std::string base;
  std::size_t pos = 0;
  bool drive = false;
  bool climbs_out = false;
  if (s.size() >= 2 && Is_Letter(s[0]) && s[1] == ':') {
    if (!Drive_Root(s[0], &base)) return false;
    drive = true;
    pos = 2;
  } else if (!s.empty() && Is_Sep(s[0])) {
    base = "/";
    pos = 1;
  }

  std::vector<std::string> parts;
  while (pos < s.size()) {
    std::size_t end = pos;
    while (end < s.size() && !Is_Sep(s[end])) ++end;
    if (end > pos) {
      std::string part = s.substr(pos, end - pos);
      if (drive && part == ".") {
        // stays in the same folder
      } else if (drive && part == "..") {
        if (!parts.empty())
          parts.pop_back();
        else
          climbs_out = true;  // the drive root's parent is the root, unless confined
      } else {
        parts.push_back(std::move(part));
      }
    }
    pos = end + 1;
  }

  // A path that exists as spelled resolves to itself (every folder on the
  // way then exists as spelled too), so one lstat answers for all of its
  // components; only a path missing as spelled is walked name by name.
  std::string cur = base;
  for (const std::string& part : parts) cur = Join(cur, part);
  struct stat whole;
  if (!parts.empty() && ::lstat(cur.c_str(), &whole) != 0) {
    cur = base;
    bool looking = true;
    for (const std::string& part : parts) {
      std::string cand = Join(cur, part);
      if (looking && part != "." && part != "..") {
        struct stat st;
        if (::lstat(cand.c_str(), &st) != 0) {
          std::string variant;
          if (errno == ENOENT && Find_Case_Variant(cur, part, &variant))
            cand = Join(cur, variant);
          else
            looking = false;  // nothing below a missing name can exist
        }
      }
      cur = std::move(cand);
    }
  }
  if (confine && g_confined.load(std::memory_order_relaxed)) {
    if (climbs_out) return Refuse_Path(pc_path, "\"..\" climbs above the root of drive " + std::string(1, Upper(s[0])) + ":");
    std::string why;
    if (!Inside_Roots(cur, Mapped_Roots(), &why)) return Refuse_Path(pc_path, why);
  }
  // Under a confinement (fuzzing) a path outside the allowed folder is
  // treated like one on a drive that does not exist.
  if (!faults::Path_Allowed(cur)) return false;
  if (is_root != nullptr) *is_root = parts.empty() && (drive || base == "/");
  *native = cur;
  return true;
}

std::uint8_t Attributes_From(mode_t mode, const std::string& name) {
  std::uint8_t a = S_ISDIR(mode) ? ATTR_DIRECTORY : ATTR_ARCHIVE;
  if ((mode & 0222) == 0) a |= ATTR_READONLY;
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") a |= ATTR_HIDDEN;
  return a;
}

void Fill_Stat(const struct stat& st, bool is_link, const std::string& name, FileStat* out) {
  out->is_dir = S_ISDIR(st.st_mode);
  out->is_link = is_link;
  out->size = out->is_dir ? 0 : static_cast<std::uint64_t>(st.st_size);
  out->mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  out->attributes = Attributes_From(st.st_mode, name);
}

// stat that follows a link, falling back to the link itself when dangling.
bool Stat_Native(const std::string& native, FileStat* out, int* err) {
  struct stat lst;
  if (Should_Fail(Call::kStat) || ::lstat(native.c_str(), &lst) != 0) {
    *err = errno;
    return false;
  }
  bool is_link = S_ISLNK(lst.st_mode);
  struct stat st;
  if (is_link && ::stat(native.c_str(), &st) == 0)
    Fill_Stat(st, true, Last_Component(native), out);
  else
    Fill_Stat(lst, is_link, Last_Component(native), out);
  return true;
}

bool Writing_Mode(const char* mode) {
  return std::strpbrk(mode, "wa+") != nullptr;
}

bool Match_Here(const char* p, const char* n) {
  // Iterative glob with one backtrack point per '*'.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*n != '\0') {
    if (*p == '*') {
      star = p++;
      resume = n;
    } else if (*p == '?' || (*p != '\0' && Upper(*p) == Upper(*n))) {
      ++p;
      ++n;
    } else if (star != nullptr) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == '\0';
}

std::uint64_t Mul_Sat(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a)
    return std::numeric_limits<std::uint64_t>::max();
  return a * b;
}

}  // namespace

// ---------------------------------------------------------------------------
// Paths

bool Drive_Root(char letter, std::string* native_root) {
  if (!Is_Letter(letter) || native_root == nullptr) return false;
  const char want = Upper(letter);
  if (const char* table = std::getenv("TARNEL_DRIVES")) {
    std::string t(table);
    std::size_t pos = 0;
    while (pos <= t.size()) {
      std::size_t end = t.find(';', pos);
      if (end == std::string::npos) end = t.size();
      std::string entry = t.substr(pos, end - pos);
      std::size_t b = entry.find_first_not_of(" \t");
      std::size_t e = entry.find_last_not_of(" \t");
      entry = b == std::string::npos ? std::string() : entry.substr(b, e - b + 1);
      if (entry.size() >= 2 && Upper(entry[0]) == want && entry[1] == '=') {
        std::string root = entry.substr(2);
        if (root.empty()) return false;  // "X=" marks the drive unmapped
        while (root.size() > 1 && root.back() == '/') root.pop_back();
        *native_root = root;
        return true;
      }
      pos = end + 1;
    }
  }
  if (want == 'C') {
    *native_root = "/";
    return true;
  }
  return false;
}

bool To_Native_Path(const char* pc_path, std::string* native) {
  return Resolve(pc_path, native, nullptr);
}

bool To_Native_Path_Unconfined(const char* pc_path, std::string* native) {
  return Resolve(pc_path, native, nullptr, false);
}

void Set_Confined(bool on) { g_confined.store(on); }

bool Confined() { return g_confined.load(); }

void Set_Confine_Extra_Roots(const std::vector<std::string>& folders) {
  std::lock_guard<std::mutex> lock(g_extra_roots_mu);
  g_extra_roots.clear();
  for (const std::string& f : folders)
    if (!f.empty()) g_extra_roots.push_back(f);
}

void Set_Confine_Refusal_Hook(ConfineRefusalHook hook, void* context) {
  g_refusal_context.store(context);
  g_refusal_hook.store(hook);
}

bool Inside_Roots(const std::string& native, const std::vector<std::string>& roots, std::string* why) {
  std::string dummy;
  if (why == nullptr) why = &dummy;
  std::vector<std::string> real_roots;
  for (const std::string& root : roots) {
    char buf[PATH_MAX];
    if (::realpath(root.c_str(), buf) != nullptr) {
      real_roots.emplace_back(buf);
    } else if (::realpath(Parent_Of(root).c_str(), buf) != nullptr) {
      // A file to be created (an error log before its first line).
      real_roots.push_back(Join(buf, Last_Component(root)));
    }
  }
  auto inside = [&real_roots](const std::string& real) {
    for (const std::string& root : real_roots) {
      if (root == "/" || real == root) return true;
      if (real.size() > root.size() && real.compare(0, root.size(), root) == 0 && real[root.size()] == '/')
        return true;
    }
    return false;
  };
  std::string p = native.empty() ? std::string(".") : native;
  if (p[0] != '/') {
    std::string cwd;
    if (!Get_Current_Folder(&cwd)) {
      *why = "the current folder cannot be told";
      return false;
    }
    p = Join(cwd, p);
  }
  // The deepest part of the path that exists decides, with every link on it
  // followed; a dangling link is followed by hand to where it would lead.
  // The bound ends a loop of dangling links.
  // The names below it that do not exist yet (no links among them) follow
  // it in tail.
  std::string tail;
  for (int step = 0; step < 64; ++step) {
    char buf[PATH_MAX];
    if (::realpath(p.c_str(), buf) != nullptr) {
      const std::string real = tail.empty() ? std::string(buf) : Join(buf, tail);
      if (inside(real)) return true;
      *why = native + " leads to " + real + ", outside the drive roots";
      return false;
    }
    struct stat st;
    if (::lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t n = ::readlink(p.c_str(), target, sizeof target - 1);
      if (n <= 0) break;
      target[n] = '\0';
      p = target[0] == '/' ? std::string(target) : Join(Parent_Of(p), target);
      continue;
    }
    const std::string parent = Parent_Of(p);
    const std::string name = Last_Component(p);
    if (parent == p || name == "..") break;  // ".." after a missing name fails anyway
    if (!name.empty() && name != ".") tail = tail.empty() ? name : name + "/" + tail;
    p = parent;
  }
  *why = native + " cannot be traced to a drive root";
  return false;
}

bool Has_Wildcards(const char* text) {
  return text != nullptr && std::strpbrk(text, "*?") != nullptr;
}

bool Wildcard_Match(const char* pattern, const char* name) {
  if (pattern == nullptr || name == nullptr) return false;
  if (Match_Here(pattern, name)) return true;
  std::size_t n = std::strlen(pattern);
  if (n >= 2 && pattern[n - 2] == '.' && pattern[n - 1] == '*') {
    std::string stem(pattern, n - 2);
    return Match_Here(stem.c_str(), name);
  }
  return false;
}

// ---------------------------------------------------------------------------
// Opening files

std::FILE* Open_PC_File(const char* pc_path, const char* mode, FsResult* why, FileStat* info) {
  FsResult dummy;
  if (why == nullptr) why = &dummy;
  if (pc_path == nullptr || mode == nullptr || pc_path[0] == '\0') {
    *why = FS_INVALID;
    return nullptr;
  }
  std::string native;
  if (!Resolve(pc_path, &native, nullptr)) {
    *why = FS_NO_DRIVE;
    return nullptr;
  }
  // Writing is refused before the open, which would already cut the file;
  // a folder opened for reading is refused after it, from the open file.
  const bool writing = Writing_Mode(mode);
  struct stat st;
  if (writing && ::stat(native.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode) || (st.st_mode & 0222) == 0) {
      *why = FS_ACCESS_DENIED;
      return nullptr;
    }
  }
  std::FILE* f = nullptr;
  if (Should_Fail(Call::kOpen)) {
    f = nullptr;
  } else if (faults::Enabled()) {
    int fd;
    do {
      fd = ::open(native.c_str(), Open_Flags(mode), 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) f = Stream_Of(fd, mode);
  } else {
    std::string m(mode);
    if (m.find('e') == std::string::npos) m += 'e';  // close on exec
    do {
      f = std::fopen(native.c_str(), m.c_str());
    } while (f == nullptr && errno == EINTR);
  }
  if (f == nullptr) {
    *why = From_Errno(errno, native);
    return nullptr;
  }
  if (!writing || info != nullptr) {
    if (::fstat(Fd_Of(f), &st) != 0) {
      const int e = errno;
      std::fclose(f);
      *why = From_Errno(e, native);
      return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
      std::fclose(f);
      *why = FS_ACCESS_DENIED;
      return nullptr;
    }
    if (info != nullptr) Fill_Stat(st, false, Last_Component(native), info);
  }
  *why = FS_OK;
  return f;
}

std::FILE* Open_PC_File(const char* pc_path, const char* mode, FsResult* why) {
  return Open_PC_File(pc_path, mode, why, nullptr);
}

std::FILE* Open_PC_File(const char* pc_path, const char* mode) {
  return Open_PC_File(pc_path, mode, nullptr);
}

FsResult Truncate_File(std::FILE* file, std::uint64_t size) {
  if (file == nullptr) return FS_INVALID;
  if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return FS_NO_SPACE;
  std::fflush(file);
  int r;
  do {
    r = ::ftruncate(Fd_Of(file), static_cast<off_t>(size));
  } while (r != 0 && errno == EINTR);
  return r == 0 ? FS_OK : From_Errno(errno, std::string());
}

FsResult Set_File_Times(std::FILE* file, std::int64_t t) {
  if (file == nullptr) return FS_INVALID;
  std::fflush(file);
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = static_cast<time_t>(t);
  ts[0].tv_nsec = ts[1].tv_nsec = 0;
  return ::futimens(Fd_Of(file), ts) == 0 ? FS_OK : From_Errno(errno, std::string());
}

// ---------------------------------------------------------------------------
// Information and changes by path

FsResult Stat_PC(const char* pc_path, FileStat* st) {
  if (pc_path == nullptr || st == nullptr || pc_path[0] == '\0') return FS_INVALID;
  std::string native;
  if (!Resolve(pc_path, &native, nullptr)) return FS_NO_DRIVE;
  int err = 0;
  if (!Stat_Native(native, st, &err)) return From_Errno(err, native);
  return FS_OK;
}

bool Exists_PC(const char* pc_path) {
  FileStat st;
  return Stat_PC(pc_path, &st) == FS_OK;
}

FsResult Set_Attributes_PC(const char* pc_path, std::uint8_t attributes) {
  if (pc_path == nullptr || pc_path[0] == '\0') return FS_INVALID;
  std::string native;
  if (!Resolve(pc_path, &native, nullptr)) return FS_NO_DRIVE;
  struct stat st;
  if (Should_Fail(Call::kStat) || ::stat(native.c_str(), &st) != 0) return From_Errno(errno, native);
  if (S_ISDIR(st.st_mode)) return FS_OK;
  mode_t mode = st.st_mode & 07777;
  mode_t want = mode;
  if (attributes & ATTR_READONLY)
    want = mode & ~static_cast<mode_t>(0222);
  else if ((mode & 0222) == 0)
    want = mode | S_IWUSR;
  if (want == mode) return FS_OK;
  return ::chmod(native.c_str(), want) == 0 ? FS_OK : From_Errno(errno, native);
}

FsResult Set_Times_PC(const char* pc_path, std::int64_t t) {
  if (pc_path == nullptr || pc_path[0] == '\0') return FS_INVALID;
  std::string native;
  if (!Resolve(pc_path, &native, nullptr)) return FS_NO_DRIVE;
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = static_cast<time_t>(t);
  ts[0].tv_nsec = ts[1].tv_nsec = 0;
  return ::utimensat(AT_FDCWD, native.c_str(), ts, 0) == 0 ? FS_OK : From_Errno(errno, native);
}

bool Same_Entry(const char* pc_a, const char* pc_b) {
  if (pc_a == nullptr || pc_b == nullptr || pc_a[0] == '\0' || pc_b[0] == '\0') return false;
  std::string a, b;
  if (!Resolve(pc_a, &a, nullptr) || !Resolve(pc_b, &b, nullptr)) return false;
  struct stat sa, sb;
  if (::lstat(a.c_str(), &sa) != 0 || ::lstat(b.c_str(), &sb) != 0) return false;
  if (sa.st_dev != sb.st_dev || sa.st_ino != sb.st_ino) return false;
  if (Last_Component(a) != Last_Component(b)) return false;
  struct stat pa, pb;
  if (::stat(Parent_Of(a).c_str(), &pa) != 0 || ::stat(Parent_Of(b).c_str(), &pb) != 0) return false;
  return pa.st_dev == pb.st_dev && pa.st_ino == pb.st_ino;
}

FsResult Delete_PC_File(const char* pc_path) {
  if (pc_path == nullptr || pc_path[0] == '\0') return FS_INVALID;
  std::string native;
  bool root = false;
  if (!Resolve(pc_path, &native, &root)) return FS_NO_DRIVE;
  struct stat st;
  if (Should_Fail(Call::kStat) || ::lstat(native.c_str(), &st) != 0) return From_Errno(errno, native);
  if (root || S_ISDIR(st.st_mode)) return FS_ACCESS_DENIED;
  if (!S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0) return FS_ACCESS_DENIED;
  if (Should_Fail(Call::kUnlink)) return From_Errno(errno, native);
  return ::unlink(native.c_str()) == 0 ? FS_OK : From_Errno(errno, native);
}

FsResult Make_PC_Dir(const char* pc_path) {
  if (pc_path == nullptr || pc_path[0] == '\0') return FS_INVALID;
  std::string native;
  if (!Resolve(pc_path, &native, nullptr)) return FS_NO_DRIVE;
  if (Should_Fail(Call::kMkdir)) return From_Errno(errno, native);
  return ::mkdir(native.c_str(), 0777) == 0 ? FS_OK : From_Errno(errno, native);
}

FsResult Remove_PC_Dir(const char* pc_path) {
  if (pc_path == nullptr || pc_path[0] == '\0') return FS_INVALID;
  std::string native;
  bool root = false;
  if (!Resolve(pc_path, &native, &root)) return FS_NO_DRIVE;
  if (root) return FS_ACCESS_DENIED;  // a drive's root folder is never removed
  if (Should_Fail(Call::kUnlink)) return From_Errno(errno, native);
  if (::rmdir(native.c_str()) == 0) return FS_OK;
  if (errno == EEXIST) return FS_NOT_EMPTY;
  return From_Errno(errno, native);
}

FsResult Rename_PC(const char* from_pc, const char* to_pc) {
  if (from_pc == nullptr || to_pc == nullptr || from_pc[0] == '\0' || to_pc[0] == '\0')
    return FS_INVALID;
  std::string from, to;
  if (!Resolve(from_pc, &from, nullptr) || !Resolve(to_pc, &to, nullptr)) return FS_NO_DRIVE;
  if (Should_Fail(Call::kRename)) return From_Errno(errno, to);
  if (::rename(from.c_str(), to.c_str()) == 0) return FS_OK;
  int e = errno;
  if (e == ENOENT && ::access(from.c_str(), F_OK) != 0) return From_Errno(e, from);
  return From_Errno(e, to);
}

FsResult Delete_Native_File(const char* native_path) {
  if (native_path == nullptr || native_path[0] == '\0') return FS_INVALID;
  if (Should_Fail(Call::kUnlink)) return From_Errno(errno, native_path);
  return ::unlink(native_path) == 0 ? FS_OK : From_Errno(errno, native_path);
}

// ---------------------------------------------------------------------------
// Dates and times

void Pack_File_Time(std::int64_t t, std::uint32_t* date, std::uint8_t time[3]) {
  Follow_Time_Zone();  // follows changes of TZ and of the zone file
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  std::uint32_t d = 0;
  std::uint8_t s = 0, mi = 0, h = 0;
  if (::localtime_r(&tt, &tm) != nullptr) {
    d = (static_cast<std::uint32_t>(tm.tm_mday) << 24) |
        (static_cast<std::uint32_t>(tm.tm_mon + 1) << 16) |
        (static_cast<std::uint32_t>(tm.tm_year + 1900) & 0xFFFFu);
    s = static_cast<std::uint8_t>(tm.tm_sec & ~1);
    mi = static_cast<std::uint8_t>(tm.tm_min);
    h = static_cast<std::uint8_t>(tm.tm_hour);
  }
  if (date != nullptr) *date = d;
  if (time != nullptr) {
    time[0] = s;
    time[1] = mi;
    time[2] = h;
  }
}

bool Local_To_Epoch(int year, int month, int day, int hour, int minute, int second,
                    std::int64_t* t) {
  if (year < 1900 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
    return false;
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  time_t r = ::mktime(&tm);
  // mktime moves a day that the month lacks (30 February) into the next
  // month; such a date is refused. An hour skipped by a clock change is not.
  if (tm.tm_year != year - 1900 || tm.tm_mon != month - 1 || tm.tm_mday != day) return false;
  if (t != nullptr) *t = static_cast<std::int64_t>(r);
  return true;
}

// ---------------------------------------------------------------------------
// Disks

bool Disk_Space(char letter, std::uint64_t* total, std::uint64_t* free_bytes) {
  std::string root;
  if (!Drive_Root(letter, &root)) return false;
  struct statvfs vfs;
  int r;
  do {
    r = ::statvfs(root.c_str(), &vfs);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return false;
  std::uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  if (total != nullptr) *total = Mul_Sat(vfs.f_blocks, unit);
  if (free_bytes != nullptr) *free_bytes = Mul_Sat(vfs.f_bavail, unit);
  return true;
}

// ---------------------------------------------------------------------------
// Temporary files

std::FILE* Make_Temp_File(std::string* native_name) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  path = Join(path, "qvrXXXXXX");
  std::vector<char> tmpl(path.begin(), path.end());
  tmpl.push_back('\0');
  if (Should_Fail(Call::kOpen)) return nullptr;
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return nullptr;
  std::FILE* f = Stream_Of(fd, "w+b");
  if (f == nullptr) {
    ::unlink(tmpl.data());
    return nullptr;
  }
  if (native_name != nullptr) *native_name = tmpl.data();
  return f;
}

// ---------------------------------------------------------------------------
// Staging files

namespace {

constexpr char kStagingPrefix[] = ".qvr";
constexpr char kStagingSuffix[] = ".tmp";
constexpr std::size_t kStagingDigits = 16;
// A staging file untouched for this long belongs to no receive any more.
constexpr std::int64_t kStaleStagingSeconds = 24 * 60 * 60;
// A folder is swept for stale staging files at most this often, so that
// many receives into one big folder do not read it again and again.
constexpr std::int64_t kSweepIntervalSeconds = 60 * 60;
constexpr std::size_t kSweptFoldersMax = 1024;
// Longest chain of symbolic links followed, as the system itself allows.
constexpr int kMaxLinks = 40;

bool Is_Hex_Lower(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

std::int64_t Now_Seconds() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec);
}

// The path a file's own symbolic links finally lead to (the folders on the
// way are taken as they are); the path itself when it is no link. A chain
// that does not end gives false.
bool Follow_Links(const std::string& native, std::string* target) {
  std::string cur = native;
  for (int hop = 0; hop <= kMaxLinks; ++hop) {
    struct stat st;
    if (::lstat(cur.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *target = cur;
      return true;
    }
    std::vector<char> buf(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n;
    for (;;) {
      n = ::readlink(cur.c_str(), buf.data(), buf.size());
      if (n < 0) return false;
      if (static_cast<std::size_t>(n) < buf.size()) break;
      if (buf.size() > (1u << 16)) return false;
      buf.resize(buf.size() * 2);  // the link grew meanwhile
    }
    std::string link(buf.data(), static_cast<std::size_t>(n));
    if (link.empty()) return false;
    cur = link[0] == '/' ? link : Join(Parent_Of(cur), link);
  }
  return false;
}

// The native path of the file a PC path finally names.
FsResult Final_Target(const char* pc_path, std::string* target) {
  if (pc_path == nullptr || pc_path[0] == '\0') return FS_INVALID;
  std::string native;
  if (!Resolve(pc_path, &native, nullptr)) return FS_NO_DRIVE;
  if (!Follow_Links(native, target)) return FS_PATH_NOT_FOUND;
  return FS_OK;
}

// fsync of the file or folder at native; FS_OK or the failure.
FsResult Sync_Path(const std::string& native, int flags) {
  int fd;
  do {
    fd = ::open(native.c_str(), flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return From_Errno(errno, native);
  int r;
  if (Should_Fail(Call::kFsync)) {
    r = -1;
  } else {
    do {
      r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
  }
  const int e = errno;
  ::close(fd);
  return r == 0 ? FS_OK : From_Errno(e, native);
}

// Deletes the staging files of folder that nobody has touched for a day.
void Remove_Stale_Staging(const std::string& folder) {
  DIR* d = ::opendir(folder.c_str());
  if (d == nullptr) return;
  std::vector<std::string> stale;
  const std::int64_t now = static_cast<std::int64_t>(::time(nullptr));
  while (struct dirent* e = ::readdir(d)) {
    if (!Is_Staging_Name(e->d_name)) continue;
    const std::string path = Join(folder, e->d_name);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (now - static_cast<std::int64_t>(st.st_mtime) > kStaleStagingSeconds) stale.push_back(path);
  }
  ::closedir(d);
  for (const std::string& path : stale) ::unlink(path.c_str());
}

// Sweeps folder unless it was swept within the last interval.
void Sweep_Once_In_A_While(const std::string& folder) {
  static std::mutex mutex;
  static std::unordered_map<std::string, std::int64_t> swept;
  const std::int64_t now = Now_Seconds();
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = swept.find(folder);
    if (it != swept.end() && now - it->second < kSweepIntervalSeconds) return;
    if (swept.size() >= kSweptFoldersMax) swept.clear();
    swept[folder] = now;
  }
  Remove_Stale_Staging(folder);
}

}  // namespace

bool Is_Staging_Name(const char* path) {
  if (path == nullptr) return false;
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p)
    if (Is_Sep(*p)) name = p + 1;
  const std::size_t prefix = sizeof kStagingPrefix - 1, suffix = sizeof kStagingSuffix - 1;
  if (std::strlen(name) != prefix + kStagingDigits + suffix) return false;
  if (std::strncmp(name, kStagingPrefix, prefix) != 0) return false;
  if (std::strcmp(name + prefix + kStagingDigits, kStagingSuffix) != 0) return false;
  return std::all_of(name + prefix, name + prefix + kStagingDigits, Is_Hex_Lower);
}

std::FILE* Create_Staging_File(const char* pc_path, std::string* staging_native, FsResult* why) {
  FsResult dummy;
  if (why == nullptr) why = &dummy;
  std::string target;
  *why = Final_Target(pc_path, &target);
  if (*why != FS_OK) return nullptr;
  const std::string folder = Parent_Of(target);
  Sweep_Once_In_A_While(folder);

  // While the old file exists its content may be private; the new content
  // is kept as private until it takes the old file's place and permissions.
  struct stat st;
  const mode_t mode = ::stat(target.c_str(), &st) == 0 ? 0600 : 0666;
  static std::atomic<std::uint32_t> counter{0};
  for (int attempt = 0; attempt < 16; ++attempt) {
    char name[sizeof kStagingPrefix + kStagingDigits + sizeof kStagingSuffix];
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const auto stamp = static_cast<unsigned long long>(ts.tv_sec) * 1000000ull +
                       static_cast<unsigned long long>(ts.tv_nsec / 1000);
    std::snprintf(name, sizeof name, "%s%08llx%04x%04x%s", kStagingPrefix, stamp & 0xFFFFFFFFull,
                  static_cast<unsigned>(counter.fetch_add(1) & 0xFFFF),
                  static_cast<unsigned>(::getpid()) & 0xFFFFu, kStagingSuffix);
    const std::string path = Join(folder, name);
    int fd = -1;
    if (Should_Fail(Call::kOpen)) {
      *why = From_Errno(errno, path);
      return nullptr;
    }
    do {
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      *why = From_Errno(errno, path);
      return nullptr;
    }
    std::FILE* f = Stream_Of(fd, "wb");
    if (f == nullptr) {
      *why = From_Errno(errno, path);
      ::unlink(path.c_str());
      return nullptr;
    }
    if (staging_native != nullptr) *staging_native = path;
    *why = FS_OK;
    return f;
  }
  *why = FS_EXISTS;
  return nullptr;
}

FsResult Adopt_Owner_And_Mode(std::FILE* staging, const char* pc_path) {
  if (staging == nullptr) return FS_INVALID;
  std::string target;
  FsResult r = Final_Target(pc_path, &target);
  if (r != FS_OK) return r;
  struct stat st;
  if (::stat(target.c_str(), &st) != 0) return FS_OK;  // nothing to take over
  const int fd = Fd_Of(staging);
  // The owner first: changing it may clear mode bits that are set after.
  struct stat own;
  if (::fstat(fd, &own) == 0 && (own.st_uid != st.st_uid || own.st_gid != st.st_gid) &&
      ::fchown(fd, st.st_uid, st.st_gid) != 0) {
    // Not privileged: the group alone may still be given; the owner stays
    // the receiving program's.
    const int group_only = ::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
    (void)group_only;
  }
  const mode_t mode = st.st_mode & 01777 & ~static_cast<mode_t>(S_ISUID | S_ISGID);
  return ::fchmod(fd, mode) == 0 ? FS_OK : From_Errno(errno, target);
}

FsResult Replace_With_Staging(const std::string& staging_native, const char* pc_path) {
  if (staging_native.empty()) return FS_INVALID;
  std::string target;
  FsResult r = Final_Target(pc_path, &target);
  if (r != FS_OK) return r;
  // The data reaches the disk before the new file takes the old one's place,
  // and the folder's new entry after it, so that a power cut leaves either
  // the old file or the whole new one.
  r = Sync_Path(staging_native, O_RDONLY);
  if (r != FS_OK) return r;
  if (Should_Fail(Call::kRename) || ::rename(staging_native.c_str(), target.c_str()) != 0)
    return From_Errno(errno, target);
  // The rename has happened: a folder that cannot be synced does not undo
  // it, so the replacement counts as done.
  Sync_Path(Parent_Of(target), O_RDONLY | O_DIRECTORY);
  return FS_OK;
}

// ---------------------------------------------------------------------------
// Current folder

bool Get_Current_Folder(std::string* native) {
  if (native == nullptr) return false;
  std::vector<char> buf(256);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE || buf.size() > (1u << 20)) return false;
    buf.resize(buf.size() * 2);
  }
  *native = buf.data();
  return true;
}

FsResult Set_Current_Folder(const char* pc_path) {
  if (pc_path == nullptr || pc_path[0] == '\0') return FS_INVALID;
  std::string native;
  if (!Resolve(pc_path, &native, nullptr)) return FS_NO_DRIVE;
  return ::chdir(native.c_str()) == 0 ? FS_OK : From_Errno(errno, native);
}

// ---------------------------------------------------------------------------
// Directory search

bool DirSearch::First(const char* pc_pattern, FoundEntry* found) {
  Close();
  if (pc_pattern == nullptr) return false;
  std::string p(pc_pattern);
  std::size_t k = p.find_last_of("\\/");
  if (k != std::string::npos) {
    folder_pc_ = p.substr(0, k + 1);
    pattern_ = p.substr(k + 1);
  } else if (p.size() >= 2 && Is_Letter(p[0]) && p[1] == ':') {
    folder_pc_ = p.substr(0, 2);
    pattern_ = p.substr(2);
  } else {
    folder_pc_.clear();
    pattern_ = p;
  }
  if (pattern_.empty()) return false;

  bool root = false;
  if (!Resolve(folder_pc_.empty() ? "." : folder_pc_.c_str(), &folder_native_, &root))
    return false;
  if (folder_native_ == "/") root = true;
  DIR* d = ::opendir(folder_native_.c_str());
  if (d == nullptr) return false;
  while (struct dirent* e = ::readdir(d)) {
    bool dot = std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0;
    if (dot && root) continue;
    // A receive's unfinished file is nobody's to see.
    if (Is_Staging_Name(e->d_name)) continue;
    names_.emplace_back(e->d_name);
  }
  ::closedir(d);
  auto rank = [](const std::string& n) { return n == "." ? 0 : n == ".." ? 1 : 2; };
  std::sort(names_.begin(), names_.end(), [&](const std::string& a, const std::string& b) {
    int ra = rank(a), rb = rank(b);
    if (ra != rb) return ra < rb;
    return a < b;
  });
  next_ = 0;
  active_ = true;
  return Next(found);
}

bool DirSearch::Next(FoundEntry* found) {
  while (active_ && next_ < names_.size()) {
    const std::string& name = names_[next_++];
    if (!Wildcard_Match(pattern_.c_str(), name.c_str())) continue;
    FileStat st;
    int err = 0;
    if (!Stat_Native(Join(folder_native_, name), &st, &err)) continue;  // gone meanwhile
    if (found != nullptr) {
      found->name = name;
      found->is_dir = st.is_dir;
      found->is_link = st.is_link;
      found->size = st.size;
      found->mtime = st.mtime;
      found->attributes = st.attributes;
    }
    return true;
  }
  Close();
  return false;
}

void DirSearch::Close() {
  active_ = false;
  names_.clear();
  names_.shrink_to_fit();
  next_ = 0;
}

}  // namespace platform
