// The simulated HT's disk over a folder.
#include "tools/htsim/disk.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <deque>
#include <system_error>

#include "engine/rox32.h"

namespace htsim {

namespace {

constexpr const char* kTempPrefix = ".htsim-";
constexpr std::size_t kMaxEntries = 65535;  // a transfer information counts in 16 bits

bool Is_Separator(char c) { return c == '\\' || c == '/'; }

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool Same_Ignoring_Case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string Lower_Text(std::string s) {
  for (char& c : s) c = Lower(c);
  return s;
}

// Drops a leading drive letter and colon.
std::string Without_Drive(const std::string& ht) {
  if (ht.size() >= 2 && std::isalpha(static_cast<unsigned char>(ht[0])) && ht[1] == ':')
    return ht.substr(2);
  return ht;
}

// Splits an HT name into the folder part as written (up to and including its
// last separator, or the drive prefix) and the last component.
void Split_Name(const std::string& ht, std::string* folder, std::string* last) {
  std::size_t k = ht.find_last_of("\\/");
  if (k == std::string::npos) {
    std::size_t skip = Without_Drive(ht).size() == ht.size() ? 0 : 2;
    *folder = ht.substr(0, skip);
    *last = ht.substr(skip);
    return;
  }
  *folder = ht.substr(0, k + 1);
  *last = ht.substr(k + 1);
}

bool Is_Temp(const std::string& name) { return name.rfind(kTempPrefix, 0) == 0; }

bool Is_Dir(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(fs::symlink_status(p, ec));
}

bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(p, ec));
}

// The entries of a folder, sorted by name (temporary receive files left out).
std::vector<fs::path> Entries(const fs::path& dir) {
  std::vector<fs::path> v;
  std::error_code ec;
  fs::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!Is_Temp(name)) v.push_back(it->path());
  }
  std::sort(v.begin(), v.end());
  return v;
}

bool Name_Matches(const std::string& pattern, const std::string& name) {
  return Has_Wildcards(pattern) ? Wildcard_Match(pattern, name) : Same_Ignoring_Case(pattern, name);
}

int Remove_File(const fs::path& p, bool read_only_too) {
  if (Is_Read_Only(p)) {
    if (!read_only_too) return E_READ_ONLY_ACCESS;
    Set_Read_Only(p, false);
  }
  std::error_code ec;
  fs::remove(p, ec);
  return ec ? E_READ_ONLY_ACCESS : 0;
}

int Remove_Tree(const fs::path& dir, bool read_only_too) {
  for (const fs::path& p : Entries(dir)) {
    int r = Is_Dir(p) ? Remove_Tree(p, read_only_too) : Remove_File(p, read_only_too);
    if (r != 0) return r;
  }
  std::error_code ec;
  fs::remove(dir, ec);
  return ec ? E_NOT_EXECUTE : 0;
}

// Deletes the files matching pattern in dir and every folder below it.
int Remove_Matching_In_Tree(const fs::path& dir, const std::string& pattern, bool read_only_too) {
  for (const fs::path& p : Entries(dir)) {
    int r = 0;
    if (Is_Dir(p)) {
      r = Remove_Matching_In_Tree(p, pattern, read_only_too);
    } else if (Name_Matches(pattern, p.filename().string())) {
      r = Remove_File(p, read_only_too);
    }
    if (r != 0) return r;
  }
  return 0;
}

std::uint32_t Saturate(std::uintmax_t v) {
  return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v);
}

}  // namespace

bool Has_Wildcards(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

bool Wildcard_Match(const std::string& pattern, const std::string& name) {
  if (pattern == "*.*") return true;
  // Iterative glob with one backtracking point.
  std::size_t p = 0, n = 0, star = std::string::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<std::string> Split_List(const std::string& list) {
  std::vector<std::string> v;
  std::size_t from = 0;
  for (;;) {
    std::size_t k = list.find("::", from);
    std::string part = list.substr(from, k == std::string::npos ? std::string::npos : k - from);
    if (!part.empty()) v.push_back(part);
    if (k == std::string::npos) break;
    from = k + 2;
  }
  return v;
}

Stamp File_Stamp(const fs::path& p) {
  Stamp s;
  std::error_code ec;
  auto ft = fs::last_write_time(p, ec);
  if (ec) return s;
  // In whole seconds: the file clock reaches further than the system
  // clock's nanoseconds (past 2262), seconds hold every file time.
  using namespace std::chrono;
  const auto sys = file_clock::to_sys(floor<seconds>(ft));
  const std::time_t t = static_cast<std::time_t>(sys.time_since_epoch().count());
  std::tm* tm = std::localtime(&t);  // htsim runs on one thread
  if (tm == nullptr) return s;
  s.year = static_cast<std::uint16_t>(tm->tm_year + 1900);
  s.month = static_cast<std::uint8_t>(tm->tm_mon + 1);
  s.day = static_cast<std::uint8_t>(tm->tm_mday);
  s.hour = static_cast<std::uint8_t>(tm->tm_hour);
  s.minute = static_cast<std::uint8_t>(tm->tm_min);
  s.second = static_cast<std::uint8_t>(tm->tm_sec / 2 * 2);
  return s;
}

bool Set_File_Stamp(const fs::path& p, const Stamp& s) {
  std::tm tm{};
  tm.tm_year = s.year - 1900;
  tm.tm_mon = s.month - 1;
  tm.tm_mday = s.day;
  tm.tm_hour = s.hour;
  tm.tm_min = s.minute;
  tm.tm_sec = s.second;
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  // Both clocks count nanoseconds in 64 bits: the system clock cannot hold a
  // date after April 2262, and the file clock (of another epoch) has its own
  // limits; the library converts between the two when it sets the time. The
  // range is checked in whole seconds, where nothing overflows, and a date
  // outside it is refused.
  using namespace std::chrono;
  const sys_seconds sys{seconds{t}};
  const auto in_file = file_clock::from_sys(sys).time_since_epoch();
  constexpr auto kSysMost = floor<seconds>(system_clock::duration::max());
  constexpr auto kSysLeast = ceil<seconds>(system_clock::duration::min());
  constexpr auto kFileMost = floor<seconds>(file_clock::duration::max());
  constexpr auto kFileLeast = ceil<seconds>(file_clock::duration::min());
  if (sys.time_since_epoch() >= kSysMost || sys.time_since_epoch() <= kSysLeast ||
      in_file >= kFileMost || in_file <= kFileLeast)
    return false;
  const fs::file_time_type ft{duration_cast<file_clock::duration>(in_file)};
  std::error_code ec;
  fs::last_write_time(p, ft, ec);
  return !ec;
}

bool Is_Read_Only(const fs::path& p) {
  std::error_code ec;
  fs::perms pr = fs::status(p, ec).permissions();
  if (ec) return false;
  constexpr fs::perms w = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  return (pr & w) == fs::perms::none;
}

void Set_Read_Only(const fs::path& p, bool on) {
  std::error_code ec;
  constexpr fs::perms w = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  if (on) {
    fs::permissions(p, w, fs::perm_options::remove, ec);
  } else {
    fs::permissions(p, fs::perms::owner_write, fs::perm_options::add, ec);
  }
}

HtDisk::HtDisk(fs::path root) : root_(std::move(root)) {}

int HtDisk::Resolve(const std::string& ht, fs::path* out) const {
  const std::string rest = Without_Drive(ht);
  fs::path p = root_;
  bool exact = true;  // every component so far exists
  std::size_t from = 0;
  while (from <= rest.size()) {
    std::size_t k = from;
    while (k < rest.size() && !Is_Separator(rest[k])) ++k;
    const std::string c = rest.substr(from, k - from);
    from = k + 1;
    if (c.empty() || c == ".") continue;
    if (c == "..") return E_PATH_NOT_FOUND;
    if (exact && !Exists(p / c)) {
      const std::string found = Find_Ignoring_Case(p, c);
      exact = !found.empty();
      if (exact) {
        p /= found;
        continue;
      }
    }
    p /= c;
  }
  *out = p;
  return 0;
}

std::string HtDisk::Find_Ignoring_Case(const fs::path& dir, const std::string& name) const {
  std::error_code ec;
  const fs::file_time_type changed = fs::last_write_time(dir, ec);
  if (ec) return "";
  std::lock_guard<std::mutex> lock(names_mu_);
  auto it = names_.find(dir);
  if (it == names_.end() || it->second.changed != changed) {
    FolderNames names;
    names.changed = changed;
    fs::directory_iterator e(dir, ec), end;
    for (; !ec && e != end; e.increment(ec)) {
      std::string n = e->path().filename().string();
      if (Is_Temp(n)) continue;
      std::string& first = names.by_lower[Lower_Text(n)];
      if (first.empty() || n < first) first = std::move(n);
    }
    if (ec) return "";
    it = names_.insert_or_assign(dir, std::move(names)).first;
  }
  auto hit = it->second.by_lower.find(Lower_Text(name));
  return hit == it->second.by_lower.end() ? std::string() : hit->second;
}

void HtDisk::Note_Created(const fs::path& p, fs::file_time_type before) const {
  const fs::path dir = p.parent_path();
  std::error_code ec;
  const fs::file_time_type changed = fs::last_write_time(dir, ec);
  std::lock_guard<std::mutex> lock(names_mu_);
  auto it = names_.find(dir);
  if (it == names_.end()) return;
  if (ec || it->second.changed != before) {
    // Someone else changed the folder since its names were read.
    names_.erase(it);
    return;
  }
  std::string n = p.filename().string();
  std::string& first = it->second.by_lower[Lower_Text(n)];
  if (first.empty() || n < first) first = std::move(n);
  it->second.changed = changed;
}

int HtDisk::Info(const fs::path& p, const std::string& ht_name, FileInfo* out) const {
  std::error_code ec;
  fs::file_status st = fs::status(p, ec);
  if (ec || !fs::exists(st)) return E_FILE_NOT_FOUND;
  FileInfo f;
  const bool dir = fs::is_directory(st);
  if (!dir) f.size = Saturate(fs::file_size(p, ec));
  if (ec) f.size = 0;
  f.stamp = File_Stamp(p);
  f.attributes = dir ? kAttrDirectory : kAttrArchive;
  if (Is_Read_Only(p)) f.attributes |= kAttrReadOnly;
  if (p.filename().string().rfind('.', 0) == 0) f.attributes |= kAttrHidden;
  f.name = ht_name;
  *out = std::move(f);
  return 0;
}

int HtDisk::Find(const std::string& name, bool subfolders, std::vector<DiskEntry>* out) const {
  std::string folder, last;
  Split_Name(name, &folder, &last);
  if (last.empty()) last = "*.*";
  fs::path dir;
  int r = Resolve(folder, &dir);
  if (r != 0) return r;
  if (!subfolders) {
    if (!Has_Wildcards(last)) {
      fs::path p;
      r = Resolve(name, &p);
      if (r != 0) return r;
      std::error_code ec;
      if (fs::is_regular_file(p, ec) && out->size() < kMaxEntries) out->push_back({p, name});
      return 0;
    }
    for (const fs::path& p : Entries(dir)) {
      std::error_code ec;
      const std::string n = p.filename().string();
      if (fs::is_regular_file(p, ec) && Wildcard_Match(last, n) && out->size() < kMaxEntries)
        out->push_back({p, folder + n});
    }
    return 0;
  }
  std::deque<std::pair<fs::path, std::string>> folders{{dir, folder}};
  while (!folders.empty()) {
    auto [d, prefix] = folders.front();
    folders.pop_front();
    std::vector<fs::path> entries = Entries(d);
    for (const fs::path& p : entries)
      if (Is_Dir(p)) folders.emplace_back(p, prefix + p.filename().string() + "\\");
    for (const fs::path& p : entries) {
      std::error_code ec;
      const std::string n = p.filename().string();
      if (fs::is_regular_file(p, ec) && Name_Matches(last, n) && out->size() < kMaxEntries)
        out->push_back({p, prefix + n});
    }
  }
  return 0;
}

int HtDisk::Delete(const std::string& names, bool read_only_too, bool recurse) const {
  for (std::string name : Split_List(names)) {
    while (!name.empty() && Is_Separator(name.back())) name.pop_back();
    std::string folder, last;
    Split_Name(name, &folder, &last);
    if (last.empty()) return E_DELETE_CURRENT_DIR;  // the whole disk
    fs::path dir;
    int r = Resolve(folder, &dir);
    if (r != 0) return r;
    if (Has_Wildcards(last)) {
      for (const fs::path& p : Entries(dir)) {
        if (!Wildcard_Match(last, p.filename().string())) continue;
        if (Is_Dir(p)) {
          if (recurse) {
            r = Remove_Tree(p, read_only_too);
          } else {
            std::error_code ec;
            fs::remove(p, ec);  // only an empty folder goes
          }
        } else {
          r = Remove_File(p, read_only_too);
        }
        if (r != 0) return r;
      }
      continue;
    }
    fs::path p;
    r = Resolve(name, &p);
    if (r != 0) return r;
    if (Exists(p)) {
      if (Is_Dir(p)) {
        if (recurse) {
          r = Remove_Tree(p, read_only_too);
        } else {
          std::error_code ec;
          fs::remove(p, ec);
          if (ec) r = E_NOT_EXECUTE;
        }
      } else {
        r = Remove_File(p, read_only_too);
      }
    } else if (recurse) {
      r = Remove_Matching_In_Tree(dir, last, read_only_too);
    }
    if (r != 0) return r;
  }
  return 0;
}

int HtDisk::Move(const std::string& from, const std::string& to) const {
  fs::path a, b;
  int r = Resolve(from, &a);
  if (r == 0) r = Resolve(to, &b);
  if (r != 0) return r;
  if (!Exists(a) || a == root_) return E_FILE_NOT_FOUND;
  if (Lower_Text(a.string()) == Lower_Text(b.string())) return 0;
  std::error_code ec;
  if (Exists(b)) {
    if (Is_Dir(b)) return E_NOT_EXECUTE;
    if (Is_Read_Only(b)) return E_READ_ONLY_ACCESS;
    fs::remove(b, ec);
    if (ec) return E_READ_ONLY_ACCESS;
  }
  fs::create_directories(b.parent_path(), ec);
  fs::rename(a, b, ec);
  return ec ? E_PATH_NOT_FOUND : 0;
}

void HtDisk::Space(std::uint32_t* total, std::uint32_t* free) const {
  std::error_code ec;
  fs::space_info s = fs::space(root_, ec);
  *total = ec ? 0 : Saturate(s.capacity);
  *free = ec ? 0 : Saturate(s.available);
}

int HtDisk::Set_Info(const FileInfo& info) const {
  fs::path p;
  int r = Resolve(info.name, &p);
  if (r != 0) return r;
  if (!Exists(p) || p == root_) return E_FILE_NOT_FOUND;
  std::error_code ec;
  if (info.size != 0 && fs::is_regular_file(p, ec)) {
    fs::resize_file(p, info.size, ec);
    if (ec) return E_WRITE_ERROR;
  }
  if (!info.no_date && !info.no_time) {
    const Stamp& s = info.stamp;
    if (s.day < 1 || s.day > 31 || s.month < 1 || s.month > 12 || s.year == 0) return E_DATE;
    if (s.second > 59 || s.minute > 59 || s.hour > 23) return E_TIME;
    if (!Set_File_Stamp(p, s)) return E_WRITE_ERROR;
  }
  Set_Read_Only(p, (info.attributes & kAttrReadOnly) != 0);
  return 0;
}

// ---- IncomingFile -----------------------------------------------------------

int IncomingFile::Begin(const fs::path& target, bool append, bool overwrite) {
  Abandon();
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  if (!Is_Dir(target.parent_path())) return E_PATH_NOT_FOUND;
  if (Exists(target)) {
    if (Is_Dir(target)) return E_FILE_NOTHING;
    if (Is_Read_Only(target)) {
      if (!overwrite) return E_READ_ONLY_ACCESS;
      Set_Read_Only(target, false);
    }
  }
  target_ = target;
  append_ = append;
  received_ = 0;
  folder_before_ = fs::last_write_time(target.parent_path(), ec);
  if (ec) folder_before_ = fs::file_time_type{};
  temp_ = target.parent_path() / (std::string(kTempPrefix) + target.filename().string() + ".part");
  out_.open(temp_, std::ios::binary | std::ios::trunc);
  if (!out_) {
    temp_.clear();
    return E_FILE_NOTHING;
  }
  folder_with_temp_ = fs::last_write_time(target.parent_path(), ec);
  if (ec) folder_before_ = fs::file_time_type{};
  return 0;
}

namespace {
// Blocks are gathered up to this size; a block of kDirectWrite bytes or more
// is written as it is, since copying it would cost more than its write.
constexpr std::size_t kWriteChunk = 256 * 1024;
constexpr std::size_t kDirectWrite = 16 * 1024;
}  // namespace

bool IncomingFile::Flush() {
  if (!pending_.empty()) out_.write(reinterpret_cast<const char*>(pending_.data()),
                                    static_cast<std::streamsize>(pending_.size()));
  pending_.clear();
  return static_cast<bool>(out_);
}

int IncomingFile::Write(const std::uint8_t* p, std::size_t n) {
  if (!out_) return E_WRITE_ERROR;
  if ((n >= kDirectWrite || pending_.size() + n > kWriteChunk) && !Flush()) return E_WRITE_ERROR;
  if (n >= kDirectWrite) {
    out_.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
    if (!out_) return E_WRITE_ERROR;
  } else {
    if (pending_.capacity() < kWriteChunk) pending_.reserve(kWriteChunk);
    pending_.insert(pending_.end(), p, p + n);
  }
  received_ += n;
  return 0;
}

int IncomingFile::Commit(std::uint64_t limit, const FileInfo* stamp_from, std::uint64_t* kept) {
  Flush();
  out_.close();
  if (out_.fail()) {
    Abandon();
    return E_WRITE_ERROR;
  }
  const std::uint64_t n = std::min(limit, received_);
  std::error_code ec;
  // Whether anyone else changed the folder while the file came in.
  if (fs::last_write_time(target_.parent_path(), ec) != folder_with_temp_ || ec) folder_before_ = fs::file_time_type{};
  ec.clear();
  if (append_) {
    std::ifstream in(temp_, std::ios::binary);
    std::ofstream to(target_, std::ios::binary | std::ios::app);
    std::vector<char> buf(32768);
    std::uint64_t left = n;
    while (in && to && left > 0) {
      const auto want = static_cast<std::streamsize>(std::min<std::uint64_t>(left, buf.size()));
      in.read(buf.data(), want);
      const std::streamsize got = in.gcount();
      if (got <= 0) break;
      to.write(buf.data(), got);
      left -= static_cast<std::uint64_t>(got);
    }
    to.close();
    const bool ok = !to.fail();
    Abandon();
    if (!ok) return E_WRITE_ERROR;
  } else {
    if (received_ > n) fs::resize_file(temp_, n, ec);
    if (!ec) fs::rename(temp_, target_, ec);
    if (ec) {
      Abandon();
      return E_WRITE_ERROR;
    }
    temp_.clear();
    if (stamp_from != nullptr) {
      if (!stamp_from->no_date && !stamp_from->no_time) Set_File_Stamp(target_, stamp_from->stamp);
      if (stamp_from->attributes & kAttrReadOnly) Set_Read_Only(target_, true);
    }
  }
  *kept = n;
  return 0;
}

void IncomingFile::Abandon() {
  pending_.clear();
  if (out_.is_open()) out_.close();
  if (!temp_.empty()) {
    std::error_code ec;
    fs::remove(temp_, ec);
    temp_.clear();
  }
}

}  // namespace htsim
