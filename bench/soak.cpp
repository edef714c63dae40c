// soak: many htsim stations doing random work against one headless server
// for a while, then checks that nothing was lost or left behind.
//
// Each station has a loopback address of its own (127.0.0.2 on), a disk
// folder and a folder of its own in the server's working folder, and keeps
// the contents it expects of each of its PC files. One after the other it
// runs sessions of one to three requests (send with overwrite, fetch,
// append, delete, list, an idle pause inside the session), pauses without a
// connection, connects and writes noise, or starts a long transfer and kills
// its terminal mid-way (then reconnects at once). A request the terminal
// reports done must show in the PC file byte for byte; a file whose request
// was cut off must hold either its old or its whole new contents.
//
// At the end, with every terminal gone: every PC file as expected, no other
// file (staging leftovers) in the stations' folders, the server's open
// descriptors, threads and resident memory back to their start-up figures
// within a margin, and the server ending with status 0 on SIGTERM (under the
// sanitizers: no report). The figures are printed; the last line is a
// summary, `soak ok ...` or `FAILED: ...`.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/harness.h"

namespace {
using namespace bench;

constexpr int kPcFiles = 6;   // F0.DAT .. F5.DAT per station
constexpr int kHtFiles = 4;   // H0.DAT .. H3.DAT on each disk
// After a dropped transfer the server may still be ending that session; the
// files it touched are left alone this long before they are judged.
constexpr int kSettleMs = 12000;

struct Options {
  CommonOptions common;
  int stations = 8;
  double minutes = 0;
  double seconds = 0;
  std::uint64_t seed = 0;
  bool seed_given = false;
  int max_kib = 256;          // largest ordinary file
  long rss_margin_kib = 8192;  // allowed growth of VmRSS over start-up
  int fd_margin = 2;
  int thread_margin = 0;
};

// What a PC file may hold: one known content, or (after a cut-off request)
// any of a few candidates; nullopt in a candidate means "absent".
struct Expect {
  std::vector<std::optional<std::string>> candidates;
  Clock::time_point settle_at{};
  bool Known() const { return candidates.size() == 1; }
};

enum class Op { kSend, kFetch, kAppend, kDelete, kList, kPause };

struct Planned {
  Op op;
  int pc = -1;          // PC file index
  int ht = -1;          // HT file index
  std::string content;  // what a send or append carries
};

struct Tally {
  long sessions = 0, sends = 0, fetches = 0, appends = 0, deletes = 0, lists = 0, pauses = 0;
  long idles = 0, drops = 0, noises = 0, reconnects_dropped = 0, ambiguous = 0;
  std::uint64_t bytes = 0;
};

struct Station {
  int index = 0;
  std::string address;
  fs::path disk, pc_dir;
  std::mt19937_64 rng;
  std::map<int, Expect> pc;  // absent key: the file does not exist
  std::unique_ptr<Child> child;
  std::vector<Planned> plan;
  bool dropping = false;
  Clock::time_point kill_at{}, next_start{}, last_drop{};
  std::vector<std::string> steps;    // the running session's steps
  std::deque<std::string> history;   // the last sessions, for failure messages
  bool told = false;                 // history printed once
};

std::string Pc_Path(const fs::path& p) {
  std::string out = "C:" + p.string();
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

std::string Pc_Name(int i) { return "F" + std::to_string(i) + ".DAT"; }
std::string Ht_Name(int i) { return "H" + std::to_string(i) + ".DAT"; }

// Where htsim keeps a fetched file: under the PC's path below its disk.
fs::path Fetched(const Station& s, int file) { return s.disk / (s.pc_dir / Pc_Name(file)).relative_path(); }

std::string Random_Bytes(std::mt19937_64& rng, std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; i += 8) {
    const std::uint64_t w = rng();
    for (std::size_t k = 0; k < 8 && i + k < n; ++k) s[i + k] = static_cast<char>(w >> (8 * k));
  }
  return s;
}

int Uniform(std::mt19937_64& rng, int lo, int hi) {
  return std::uniform_int_distribution<int>(lo, hi)(rng);
}

// Mostly small files, now and then an empty one or a larger one.
std::size_t Random_Size(std::mt19937_64& rng, int max_kib) {
  const int r = Uniform(rng, 0, 99);
  if (r < 5) return 0;
  if (r < 70) return static_cast<std::size_t>(Uniform(rng, 1, 4096));
  return static_cast<std::size_t>(Uniform(rng, 4096, max_kib * 1024));
}

bool Read_File(const fs::path& p, std::string* out) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
}

bool Write_File(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

long Status_Field_KiB(int pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0) return std::strtol(line.c_str() + n, nullptr, 10);
  return -1;
}

long Open_Fds(int pid) {
  std::error_code ec;
  long n = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec))
    ++n;
  return ec ? -1 : n;
}

struct Figures {
  long fds = -1, threads = -1, rss_kib = -1;
};

Figures Measure(int pid) {
  return Figures{Open_Fds(pid), Thread_Count(pid), Status_Field_KiB(pid, "VmRSS:")};
}

class Soak {
 public:
  Soak(const Options& o, const fs::path& root) : o_(o), root_(root) {}

  int Run();

 private:
  bool Start_Server(std::string* why);
  void Setup_Station(int i);
  void Start_Next(Station& s);
  void Start_Session(Station& s);
  void Start_Drop(Station& s);
  // The terminal settings every session of s shares.
  HtsimSpec Spec_For(const Station& s) const;
  // Starts s's terminal on spec; false (the station failed, retried in a
  // second) when it cannot start.
  bool Launch(Station& s, const HtsimSpec& spec);
  void Noise(Station& s);
  void Finish(Station& s);
  // Kills every dropping terminal whose moment has come.
  void Kill_Due();
  void Judge_Settled(Station& s, bool final);
  bool Check_Pc(Station& s, int file, const std::optional<std::string>& expected, const std::string& what);
  void Fail_Station(Station& s, const std::string& why);

  const Options& o_;
  fs::path root_;
  ServerConfig config_;
  Server server_;
  std::vector<Station> stations_;
  std::mt19937_64 master_;
  Tally t_;
  std::vector<std::string> failures_;
  bool draining_ = false;
};

void Soak::Fail_Station(Station& s, const std::string& why) {
  const std::string line = "station " + s.address + ": " + why;
  if (failures_.size() < 20) std::cout << "error: " << line << std::endl;
  if (!s.told && failures_.size() < 20) {
    s.told = true;
    std::cout << "  its last sessions, oldest first:" << std::endl;
    for (const std::string& h : s.history) std::cout << h;
  }
  failures_.push_back(line);
}

bool Soak::Start_Server(std::string* why) {
  const int port = Free_Tcp_Port();
  if (port < 0) {
    *why = "no free TCP port";
    return false;
  }
  config_.port = static_cast<std::uint16_t>(port);
  config_.max_io = 255;
  config_.tcp_timeout_s = 10;
  config_.select_timeout_s = 10;
  config_.command_timeout_s = 30;
  return server_.Start(o_.common.tarnel, root_ / "server", config_, 30000, why);
}

void Soak::Setup_Station(int i) {
  Station& s = stations_[static_cast<std::size_t>(i)];
  s.index = i;
  s.address = Loopback_Source(i);
  s.disk = root_ / ("ht" + std::to_string(i + 1));
  s.pc_dir = server_.Work_Dir() / ("s" + std::to_string(i + 1));
  s.rng.seed(master_());
  std::error_code ec;
  fs::create_directories(s.disk, ec);
  fs::create_directories(s.pc_dir, ec);
  // A few files on the PC from the start, so fetches have work at once.
  for (int f = 0; f < kPcFiles; f += 2) {
    const std::string c = Random_Bytes(s.rng, Random_Size(s.rng, o_.max_kib));
    Write_File(s.pc_dir / Pc_Name(f), c);
    s.pc[f].candidates = {c};
  }
  // Stations start spread over the first second.
  s.next_start = Clock::now() + std::chrono::milliseconds(Uniform(s.rng, 0, 1000));
}

bool Soak::Check_Pc(Station& s, int file, const std::optional<std::string>& expected, const std::string& what) {
  const fs::path p = s.pc_dir / Pc_Name(file);
  std::string got;
  const bool present = Read_File(p, &got);
  if (!expected) {
    if (present) {
      Fail_Station(s, what + ": " + p.string() + " should be gone, holds " + std::to_string(got.size()) + " bytes");
      return false;
    }
    return true;
  }
  if (!present) {
    Fail_Station(s, what + ": " + p.string() + " is missing");
    return false;
  }
  if (got != *expected) {
    Fail_Station(s, what + ": " + p.string() + " holds " + std::to_string(got.size()) + " bytes, not the " +
                        std::to_string(expected->size()) + " expected");
    return false;
  }
  return true;
}

// A cut-off file becomes known again once the server has had time to end the
// cut-off session: it must hold one of its candidates.
void Soak::Judge_Settled(Station& s, bool final) {
  for (auto it = s.pc.begin(); it != s.pc.end();) {
    Expect& e = it->second;
    if (e.Known() || (!final && Clock::now() < e.settle_at)) {
      ++it;
      continue;
    }
    const fs::path p = s.pc_dir / Pc_Name(it->first);
    std::string got;
    const bool present = Read_File(p, &got);
    std::optional<std::string> now;
    if (present) now = got;
    if (std::find(e.candidates.begin(), e.candidates.end(), now) == e.candidates.end()) {
      Fail_Station(s, "after a cut-off request " + p.string() + " is " +
                          (present ? "neither old nor new (" + std::to_string(got.size()) + " bytes)"
                                   : std::string("gone")));
    }
    if (!present) {
      it = s.pc.erase(it);
      continue;
    }
    e.candidates = {now};
    ++it;
  }
}

void Soak::Start_Next(Station& s) {
  Judge_Settled(s, false);
  const int r = Uniform(s.rng, 0, 99);
  if (r < 8) {
    ++t_.idles;
    s.next_start = Clock::now() + std::chrono::milliseconds(Uniform(s.rng, 100, 3000));
  } else if (r < 12) {
    Noise(s);
    s.next_start = Clock::now() + std::chrono::milliseconds(Uniform(s.rng, 0, 300));
  } else if (r < 19) {
    Start_Drop(s);
  } else {
    Start_Session(s);
  }
}

// Connects from the station's address and writes a few random bytes
// instead of the handshake, then closes.
void Soak::Noise(Station& s) {
  ++t_.noises;
  const int fd = Connect_Tcp("127.0.0.1", config_.port, s.address, 500, 500);
  if (fd < 0) return;
  const std::string junk = Random_Bytes(s.rng, static_cast<std::size_t>(Uniform(s.rng, 1, 300)));
  Write_All(fd, junk.data(), junk.size());
  if (Uniform(s.rng, 0, 1) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(Uniform(s.rng, 1, 50)));
  Close_Fd(fd);
}

bool Usable(const Station& s, int file) {
  auto it = s.pc.find(file);
  return it == s.pc.end() || it->second.Known();
}

void Soak::Start_Session(Station& s) {
  s.plan.clear();
  std::set<int> used;
  const int n = Uniform(s.rng, 1, 3);
  for (int k = 0; k < n; ++k) {
    Planned p{};
    const int r = Uniform(s.rng, 0, 99);
    p.pc = Uniform(s.rng, 0, kPcFiles - 1);
    if (used.count(p.pc) != 0 || !Usable(s, p.pc)) {
      if (r < 85) continue;
    }
    const bool exists = s.pc.count(p.pc) != 0;
    if (r < 30) {
      p.op = Op::kSend;
    } else if (r < 50) {
      p.op = exists ? Op::kFetch : Op::kSend;
    } else if (r < 65) {
      p.op = exists ? Op::kAppend : Op::kSend;
    } else if (r < 75) {
      p.op = exists ? Op::kDelete : Op::kSend;
    } else if (r < 85) {
      p.op = Op::kList;
    } else {
      p.op = Op::kPause;
    }
    if (p.op == Op::kList) {
      // Listing compares with every file of the station: only when all are known.
      bool all_known = true;
      for (const auto& [f, e] : s.pc) all_known = all_known && e.Known();
      if (!all_known) continue;
    }
    if (p.op == Op::kSend || p.op == Op::kAppend) {
      p.ht = Uniform(s.rng, 0, kHtFiles - 1);
      p.content = Random_Bytes(s.rng, Random_Size(s.rng, p.op == Op::kAppend ? 64 : o_.max_kib));
    }
    if (p.op != Op::kList && p.op != Op::kPause) used.insert(p.pc);
    s.plan.push_back(std::move(p));
  }
  if (s.plan.empty()) s.plan.push_back(Planned{Op::kPause, -1, -1, {}});

  HtsimSpec spec = Spec_For(s);
  for (Planned& p : s.plan) {
    const std::string pc = Pc_Path(s.pc_dir / Pc_Name(p.pc < 0 ? 0 : p.pc));
    switch (p.op) {
      case Op::kSend:
        // Each planned send writes its HT file afresh (htsim is not running).
        Write_File(s.disk / Ht_Name(p.ht), p.content);
        spec.steps.push_back("send -o A:\\" + Ht_Name(p.ht) + " " + pc);
        break;
      case Op::kAppend:
        Write_File(s.disk / Ht_Name(p.ht), p.content);
        spec.steps.push_back("append A:\\" + Ht_Name(p.ht) + " " + pc);
        break;
      case Op::kFetch: {
        std::error_code ec;
        fs::remove(Fetched(s, p.pc), ec);
        spec.steps.push_back("fetch " + pc);
        break;
      }
      case Op::kDelete:
        spec.steps.push_back("delete " + pc);
        break;
      case Op::kList:
        spec.steps.push_back("info " + Pc_Path(s.pc_dir / "*.*"));
        break;
      case Op::kPause:
        spec.steps.push_back("sleep " + std::to_string(Uniform(s.rng, 10, 2000)));
        break;
    }
  }
  // Two sends in one session may write the same HT file: the second would
  // have replaced the first's content before htsim ran. Keep one per file.
  std::set<int> hts;
  for (const Planned& p : s.plan)
    if (p.ht >= 0 && !hts.insert(p.ht).second) {
      s.plan.resize(1);
      spec.steps.resize(1);
      Write_File(s.disk / Ht_Name(s.plan[0].ht), s.plan[0].content);
      break;
    }
  s.dropping = false;
  Launch(s, spec);
}

HtsimSpec Soak::Spec_For(const Station& s) const {
  HtsimSpec spec;
  spec.port = config_.port;
  spec.source = s.address;
  spec.disk = s.disk;
  spec.timeout_s = o_.common.timeout_s;
  return spec;
}

bool Soak::Launch(Station& s, const HtsimSpec& spec) {
  s.steps = spec.steps;
  s.child = std::make_unique<Child>();
  std::string why;
  if (!Start_Htsim(o_.common.htsim, spec, s.child.get(), &why)) {
    Fail_Station(s, why);
    s.child.reset();
    s.next_start = Clock::now() + std::chrono::seconds(1);
    return false;
  }
  ++t_.sessions;
  return true;
}

// A long send or append with small blocks whose terminal is killed after a
// random moment; the PC file must stay old or become whole new.
void Soak::Start_Drop(Station& s) {
  s.plan.clear();
  Planned p{};
  p.pc = Uniform(s.rng, 0, kPcFiles - 1);
  if (!Usable(s, p.pc)) {
    Start_Session(s);
    return;
  }
  p.op = s.pc.count(p.pc) != 0 && Uniform(s.rng, 0, 2) == 0 ? Op::kAppend : Op::kSend;
  p.ht = Uniform(s.rng, 0, kHtFiles - 1);
  p.content = Random_Bytes(s.rng, static_cast<std::size_t>(Uniform(s.rng, 256, 2048) * 1024));
  Write_File(s.disk / Ht_Name(p.ht), p.content);
  const std::string pc = Pc_Path(s.pc_dir / Pc_Name(p.pc));
  HtsimSpec spec = Spec_For(s);
  spec.extra = {"--block", "256"};
  spec.steps.push_back((p.op == Op::kSend ? "send -o A:\\" : "append A:\\") + Ht_Name(p.ht) + " " + pc);
  s.plan.push_back(std::move(p));
  if (!Launch(s, spec)) return;
  ++t_.drops;
  s.dropping = true;
  // Such a transfer takes some tenths of a second on loopback: most kills
  // land inside it, a few before the handshake or after the end.
  s.kill_at = Clock::now() + std::chrono::milliseconds(Uniform(s.rng, 5, 300));
}

void Soak::Kill_Due() {
  const Clock::time_point now = Clock::now();
  for (Station& s : stations_)
    if (s.child && s.dropping && s.child->Running() && now >= s.kill_at) s.child->Signal(SIGKILL);
}

// The terminal has ended: apply what it reports to the station's
// expectations and check the files the requests touched.
void Soak::Finish(Station& s) {
  Child& c = *s.child;
  const int code = c.Exit_Code();
  const bool killed = s.dropping && code == 128 + SIGKILL;
  const bool handshake = Find_Line(c, "link handshake ok") != nullptr;
  const bool recent_drop = Clock::now() - s.last_drop < std::chrono::milliseconds(kSettleMs + 5000);
  bool ok = code == 0 || killed;
  // A reconnect while the server still serves the cut-off session is dropped
  // before the handshake; that is the server's rule, not a failure.
  if (!ok && !handshake && recent_drop && (code == 5 || code == 6)) {
    ++t_.reconnects_dropped;
    ok = true;
  }
  {
    std::string h = "  | session" + std::string(s.dropping ? " (killed)" : "") + ", exit " + std::to_string(code) + ":";
    for (const std::string& st : s.steps) h += " [" + st + "]";
    h += "\n";
    for (const OutputLine& l : c.Lines())
      if (l.text.rfind("ht ", 0) == 0 || l.text.rfind("pc ", 0) == 0 || l.text.rfind("result", 0) == 0)
        h += "  |   " + l.text + "\n";
    s.history.push_back(h);
    if (s.history.size() > 6) s.history.pop_front();
  }
  if (!ok) Fail_Station(s, "htsim ended with exit " + std::to_string(code) + "; its last lines:\n" + Tail(c, 8));

  bool cut = false;  // a request before this one did not complete: later ones never ran
  std::size_t list_n = 0;
  for (const Planned& p : s.plan) {
    const std::string pcname = Pc_Path(s.pc_dir / Pc_Name(p.pc < 0 ? 0 : p.pc));
    switch (p.op) {
      case Op::kSend:
      case Op::kAppend: {
        const bool send = p.op == Op::kSend;
        const std::string prefix = (send ? "ht send A:\\" : "ht append A:\\") + Ht_Name(p.ht) + " ";
        const bool done = !cut && Find_Line(c, prefix) != nullptr;
        const auto it = s.pc.find(p.pc);
        std::optional<std::string> old;
        if (it != s.pc.end()) old = it->second.candidates[0];
        const std::string now = send ? p.content : old.value_or("") + p.content;
        if (done) {
          (send ? t_.sends : t_.appends)++;
          t_.bytes += p.content.size();
          s.pc[p.pc].candidates = {now};
          // The server has answered the last block: the file is in place.
          Check_Pc(s, p.pc, now, send ? "completed send" : "completed append");
        } else if (!cut) {
          cut = true;
          if (!killed && !ok) break;
          ++t_.ambiguous;
          Expect& e = s.pc[p.pc];
          e.candidates = {old, now};
          e.settle_at = Clock::now() + std::chrono::milliseconds(kSettleMs);
        }
        break;
      }
      case Op::kFetch: {
        if (cut) break;
        if (Find_Line(c, "ht recv ") == nullptr && !ok) {
          cut = true;
          break;
        }
        ++t_.fetches;
        std::string got;
        const std::string& want = *s.pc[p.pc].candidates[0];
        if (!Read_File(Fetched(s, p.pc), &got) || got != want) {
          // Only a missing report is allowed to lose the file.
          if (ok && !killed)
            Fail_Station(s, "fetched " + pcname + " differs from the PC's copy (" + std::to_string(got.size()) +
                                " bytes, not " + std::to_string(want.size()) + ")");
        } else {
          t_.bytes += got.size();
        }
        break;
      }
      case Op::kDelete: {
        if (cut) break;
        if (Find_Line(c, "ht delete " + pcname) == nullptr) {
          cut = true;
          if (!ok) break;
          Fail_Station(s, "no report of the delete of " + pcname + "; last lines:\n" + Tail(c, 6));
          break;
        }
        ++t_.deletes;
        s.pc.erase(p.pc);
        Check_Pc(s, p.pc, std::nullopt, "completed delete");
        break;
      }
      case Op::kList: {
        if (cut) break;
        const std::string pattern = Pc_Path(s.pc_dir / "*.*");
        // A session may list more than once: this is its list_n-th listing.
        const OutputLine* total = Find_Line(c, "ht info " + pattern + " matches=", ++list_n);
        if (total == nullptr) {
          cut = true;
          break;
        }
        ++t_.lists;
        // The listing names the folders "." and ".." too; the files must be
        // exactly the station's, with their sizes.
        std::map<std::string, std::uint64_t> listed, want;
        const std::string head = "ht info " + pattern + " match=";
        std::size_t block = 1;
        for (const OutputLine& l : c.Lines()) {
          if (&l == total) break;
          if (l.text.rfind("ht info " + pattern + " matches=", 0) == 0) ++block;
          if (block != list_n) continue;
          if (l.text.rfind(head, 0) != 0 || l.text.find(" attr=0x10") != std::string::npos) continue;
          const std::size_t size_at = l.text.find(" size=", head.size());
          if (size_at == std::string::npos) continue;
          std::string name = l.text.substr(head.size(), size_at - head.size());
          name = name.substr(name.rfind('\\') + 1);
          listed[name] = std::strtoull(l.text.c_str() + size_at + 6, nullptr, 10);
        }
        for (const auto& [f, e] : s.pc) want[Pc_Name(f)] = e.candidates[0]->size();
        if (listed != want) {
          std::string shown, expected, now;
          for (const auto& [n, b] : listed) shown += " " + n + "=" + std::to_string(b);
          for (const auto& [n, b] : want) expected += " " + n + "=" + std::to_string(b);
          std::error_code ec;
          for (fs::directory_iterator it(s.pc_dir, ec), e; !ec && it != e; it.increment(ec))
            now += " " + it->path().filename().string() + "=" + std::to_string(it->file_size(ec));
          Fail_Station(s, "the listing shows" + shown + ", not" + expected + " (the folder now:" + now + ")");
        }
        break;
      }
      case Op::kPause:
        if (Find_Line(c, "ht sleep") != nullptr) ++t_.pauses;
        break;
    }
  }
  if (killed) s.last_drop = Clock::now();
  s.child.reset();
  s.plan.clear();
  s.dropping = false;
  // Reconnect at once after a drop; otherwise a short breath.
  s.next_start = Clock::now() + std::chrono::milliseconds(killed ? 0 : Uniform(s.rng, 0, 200));
}

int Soak::Run() {
  const double run_s = o_.minutes * 60 + o_.seconds;
  std::cout << "soak: " << o_.stations << " stations for " << Fixed(run_s, 0) << " s, seed " << o_.seed
            << std::endl;
  std::string why;
  if (!Start_Server(&why)) return Fail(why);
  // Start-up figures: the server listening, nobody connected yet.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const Figures start = Measure(server_.Pid());
  std::cout << "start-up: fds " << start.fds << ", threads " << start.threads << ", VmRSS " << start.rss_kib
            << " KiB" << std::endl;

  master_.seed(o_.seed);
  stations_.resize(static_cast<std::size_t>(o_.stations));
  for (int i = 0; i < o_.stations; ++i) Setup_Station(i);

  const Clock::time_point began = Clock::now();
  const Clock::time_point stop_at = began + std::chrono::milliseconds(static_cast<long>(run_s * 1000));
  Figures peak = start;
  Clock::time_point next_report = began + std::chrono::seconds(60);
  for (;;) {
    const Clock::time_point now = Clock::now();
    draining_ = now >= stop_at;
    std::vector<Child*> running;
    bool any = false;
    for (std::size_t i = 0; i < stations_.size(); ++i) {
      Station& s = stations_[i];
      // Finishing and starting sessions takes a while with many stations
      // (files are written and compared); kills are looked at often enough
      // that they still land inside the transfers they are meant to cut.
      if (i % 8 == 0) Kill_Due();
      if (s.child) {
        any = true;
        if (!s.child->Output_Open() && s.child->Poll_Exit()) {
          Finish(s);
          continue;
        }
        running.push_back(s.child.get());
      } else if (!draining_ && Clock::now() >= s.next_start) {
        Start_Next(s);
        if (s.child) {
          any = true;
          running.push_back(s.child.get());
        }
      }
    }
    if (draining_ && !any) break;
    if (Clock::now() > stop_at + std::chrono::seconds(static_cast<long>(o_.common.timeout_s) + 30)) {
      failures_.push_back("terminals still running long after the end");
      for (Station& s : stations_)
        if (s.child) s.child->Stop(1000);
      break;
    }
    if (!server_.Alive()) {
      failures_.push_back("the server ended during the run (exit code " + std::to_string(server_.Exit_Code()) +
                          "); its output:\n" + server_.Log_Tail(20));
      break;
    }
    if (running.empty())
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    else
      Pump_Output(running, 10);
    Kill_Due();
    const Figures f = Measure(server_.Pid());
    peak.fds = std::max(peak.fds, f.fds);
    peak.threads = std::max(peak.threads, f.threads);
    peak.rss_kib = std::max(peak.rss_kib, f.rss_kib);
    if (Clock::now() >= next_report) {
      next_report += std::chrono::seconds(60);
      std::cout << "t=" << Fixed(Seconds(began, Clock::now()), 0) << "s sessions " << t_.sessions << ", fds "
                << f.fds << ", threads " << f.threads << ", VmRSS " << f.rss_kib << " KiB" << std::endl;
    }
  }
  const double ran = Seconds(began, Clock::now());

  // Every terminal is gone. The server ends the sessions it still holds when
  // it notices their connections closed; wait for its figures to come back.
  Figures end = Measure(server_.Pid());
  const Clock::time_point settle_limit = Clock::now() + std::chrono::seconds(config_.tcp_timeout_s + 20);
  auto back = [&](const Figures& f) {
    return f.fds <= start.fds + o_.fd_margin && f.threads <= start.threads + o_.thread_margin &&
           f.rss_kib <= start.rss_kib + o_.rss_margin_kib;
  };
  while (server_.Alive() && !back(end) && Clock::now() < settle_limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    end = Measure(server_.Pid());
  }
  std::cout << "peak:     fds " << peak.fds << ", threads " << peak.threads << ", VmRSS " << peak.rss_kib << " KiB"
            << std::endl;
  std::cout << "end:      fds " << end.fds << ", threads " << end.threads << ", VmRSS " << end.rss_kib << " KiB"
            << std::endl;
  if (end.fds > start.fds + o_.fd_margin)
    failures_.push_back("the server holds " + std::to_string(end.fds - start.fds) + " more descriptors than at start-up");
  if (end.threads > start.threads + o_.thread_margin)
    failures_.push_back("the server runs " + std::to_string(end.threads - start.threads) +
                        " more threads than at start-up");
  if (end.rss_kib > start.rss_kib + o_.rss_margin_kib)
    failures_.push_back("the server's VmRSS grew by " + std::to_string(end.rss_kib - start.rss_kib) +
                        " KiB (margin " + std::to_string(o_.rss_margin_kib) + ")");

  // Files: every station's folder holds exactly the files it expects, each
  // as expected (cut-off ones: one of their candidates).
  long files = 0;
  for (Station& s : stations_) {
    Judge_Settled(s, true);
    std::set<std::string> want;
    for (const auto& [f, e] : s.pc) {
      want.insert(Pc_Name(f));
      Check_Pc(s, f, e.candidates[0], "at the end");
      ++files;
    }
    std::error_code ec;
    for (fs::directory_iterator it(s.pc_dir, ec), e; !ec && it != e; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (want.count(name) == 0) Fail_Station(s, "left behind in the PC folder: " + name);
    }
  }
  {
    std::error_code ec;
    for (fs::directory_iterator it(server_.Work_Dir(), ec), e; !ec && it != e; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (!it->is_directory()) failures_.push_back("left behind in the working folder: " + name);
    }
  }

  // The server's own end: SIGTERM, status 0, no sanitizer report in its output.
  int exit_code = -1;
  if (server_.Alive()) {
    exit_code = server_.Terminate(20000);
  }
  const std::string log = server_.Log_Tail(100000);
  const bool report = log.find("Sanitizer") != std::string::npos || log.find("runtime error:") != std::string::npos;
  std::cout << "server exit " << exit_code << (report ? ", sanitizer report in its output" : "") << std::endl;
  if (exit_code != 0)
    failures_.push_back("the server ended with status " + std::to_string(exit_code) + " on SIGTERM; its output:\n" +
                        server_.Log_Tail(30));
  else if (report)
    failures_.push_back("sanitizer report in the server's output:\n" + server_.Log_Tail(40));

  std::cout << "ran " << Fixed(ran, 0) << " s: sessions " << t_.sessions << " (sends " << t_.sends << ", fetches "
            << t_.fetches << ", appends " << t_.appends << ", deletes " << t_.deletes << ", lists " << t_.lists
            << ", pauses " << t_.pauses << "), idle " << t_.idles << ", drops " << t_.drops << " (cut off "
            << t_.ambiguous << ", reconnects refused " << t_.reconnects_dropped << "), noise " << t_.noises
            << ", MB moved " << Fixed(t_.bytes / 1e6, 1) << ", files checked " << files << std::endl;
  if (!failures_.empty()) {
    std::cout << failures_.size() << " failures" << std::endl;
    return Fail(failures_.front().substr(0, failures_.front().find('\n')) + " (seed " + std::to_string(o_.seed) +
                ")");
  }
  std::cout << "soak ok: " << o_.stations << " stations, " << Fixed(ran, 0) << " s, " << t_.sessions
            << " sessions, seed " << o_.seed << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"soak: many htsim stations doing random work against one tarnel server, then checks that "
               "no file, descriptor, thread or memory was lost"};
  Options o;
  o.common.cpu = -1;
  o.common.timeout_s = 120;
  Add_Common_Options(app, &o.common);
  app.add_option("--stations", o.stations, "terminals at once (1 to 255)")
      ->capture_default_str()
      ->check(CLI::Range(1, 255));
  app.add_option("--minutes", o.minutes, "minutes of random work")->check(CLI::Range(0.0, 1440.0));
  app.add_option("--seconds", o.seconds, "seconds of random work (added to --minutes)")
      ->check(CLI::Range(0.0, 86400.0));
  app.add_option("--seed", o.seed, "seed of the random work (default: from the clock; printed)");
  app.add_option("--max-kib", o.max_kib, "largest file of an ordinary send in KiB")
      ->capture_default_str()
      ->check(CLI::Range(1, 65536));
  app.add_option("--rss-margin-kib", o.rss_margin_kib, "allowed growth of the server's VmRSS at the end")
      ->capture_default_str();
  app.add_option("--fd-margin", o.fd_margin, "allowed extra descriptors of the server at the end")
      ->capture_default_str();
  app.add_option("--thread-margin", o.thread_margin, "allowed extra threads of the server at the end")
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  if (app.count("--seed") == 0) o.seed = std::random_device{}() ^ static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
  if (o.minutes <= 0 && o.seconds <= 0) o.minutes = 1;
  std::string why;
  if (!Apply_Common_Options(o.common, &why)) return Fail(why);
  Scratch scratch;
  if (!scratch.Create(o.common, "soak", &why)) return Fail(why);
  Soak soak(o, scratch.Root());
  return soak.Run();
}
