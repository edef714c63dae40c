// Benchmark harness: see harness.h.
#include "bench/harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <thread>

namespace bench {

void Add_Common_Options(CLI::App& app, CommonOptions* o) {
  const fs::path self = Self_Path();
  const fs::path dir = self.empty() ? fs::current_path() : self.parent_path();
  o->tarnel = (dir / ".." / "app" / "tarnel").lexically_normal().string();
  o->htsim = (dir / ".." / "tools" / "htsim" / "htsim").lexically_normal().string();
  o->peer = (dir / "baseline_peer").lexically_normal().string();
  const char* tmp = std::getenv("TMPDIR");
  o->scratch_parent = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  app.add_option("--tarnel", o->tarnel, "the server program")->capture_default_str();
  app.add_option("--htsim", o->htsim, "the HT simulator")->capture_default_str();
  app.add_option("--peer", o->peer, "the baseline's HT half")->capture_default_str();
  app.add_option("--scratch", o->scratch_parent, "folder for the scratch folder")->capture_default_str();
  app.add_flag("--keep", o->keep, "keep the scratch folder (logs, disks) afterwards");
  app.add_option("--repeat", o->repeat, "runs per case; the best one counts")
      ->capture_default_str()
      ->check(CLI::Range(1, 100));
  app.add_option("--timeout", o->timeout_s, "seconds any single run may take")
      ->capture_default_str()
      ->check(CLI::Range(1.0, 3600.0));
  app.add_option("--cpu", o->cpu,
                 "run the benchmark and every program it starts on this CPU (-1: any CPU); "
                 "a stop-and-wait exchange runs at very different speeds depending on whether "
                 "its two ends share a CPU, so one CPU for all gives comparable figures")
      ->capture_default_str()
      ->check(CLI::Range(-1, 1023));
}

bool Apply_Common_Options(const CommonOptions& o, std::string* why) {
  if (o.cpu < 0) return true;
  return Pin_To_Cpu(o.cpu, why);
}

int Fail(const std::string& why) {
  std::cout << "FAILED: " << why << std::endl;
  return 1;
}

// ---- Scratch folder -----------------------------------------------------------

Scratch::~Scratch() {
  if (root_.empty()) return;
  if (keep_) {
    std::cout << "scratch kept: " << root_.string() << std::endl;
    return;
  }
  std::error_code ec;
  fs::remove_all(root_, ec);
}

bool Scratch::Create(const CommonOptions& o, const std::string& name, std::string* why) {
  keep_ = o.keep;
  std::random_device rd;
  for (int attempt = 0; attempt < 20; ++attempt) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(rd()));
    const fs::path p = fs::path(o.scratch_parent) / ("tarnel-bench-" + name + "-" + tag);
    std::error_code ec;
    if (fs::create_directories(p, ec)) {
      root_ = p;
      return true;
    }
    if (ec) {
      *why = "cannot make " + p.string() + ": " + ec.message();
      return false;
    }
  }
  *why = "cannot find a free scratch folder name under " + o.scratch_parent;
  return false;
}

// ---- Configuration ------------------------------------------------------------

std::string Device_Ini(const ServerConfig& c, const fs::path& work_dir, const fs::path& error_file) {
  std::ostringstream s;
  const char* nl = "\r\n";
  s << "IF=ETHERNET" << nl << "ErrorFile=" << error_file.string() << nl
    << "WorkFile=" << work_dir.string() << nl << "INFORMATION=benchmark" << nl << "[RS232C]" << nl
    << "Port=COM1" << nl << "Baud=9600" << nl << "Parity=NONE" << nl << "Stop=1" << nl << "Data=8"
    << nl << "[SCSI]" << nl << "Scantime=2" << nl << "[ETHERNET]" << nl
    << "TCP_TIMEOUT=" << c.tcp_timeout_s << nl << "PING_TIMEOUT=1000" << nl
    << "SELECT_TIMEOUT=" << c.select_timeout_s << nl << "PORTNO=" << c.port << nl
    << "MAX_IO=" << c.max_io << nl << "[USE_IP]" << nl;
  for (std::size_t i = 0; i < c.use_ip.size() && i < 255; ++i) s << (i + 1) << "=" << c.use_ip[i] << nl;
  s << "[IOBOX]" << nl << "IOBOX_RBYTES=8192" << nl;
  return s.str();
}

std::string Panelset_Ini(const ServerConfig& c) {
  std::ostringstream s;
  const char* nl = "\r\n";
  // All six [MODE] keys, so the run options read cleanly; several instances
  // may run (benchmarks and tests on one machine).
  s << "[CODE]" << nl << "-1=0" << nl << "[MODE]" << nl << "MINIMIZE=OFF" << nl << "SERVER=ON" << nl
    << "1SHOT=OFF" << nl << "COMMAND_TIMEOUT=" << c.command_timeout_s << nl << "DUPLICATE=ON" << nl
    << "CHILD_THROUGH=OFF" << nl << "[GUI]" << nl << "BARHEIGHT=45" << nl << "NUMOFBAR=3" << nl
    << "[DEBUG]" << nl << "DETAILLOG=0" << nl << "SCSILOG=0" << nl << "[ETC]" << nl
    << "MAXSENDSIZE=" << c.max_write << nl;
  return s.str();
}

bool Write_Text(const fs::path& path, const std::string& text, std::string* why) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    *why = "cannot write " + path.string();
    return false;
  }
  return true;
}

bool Port_Listening(std::uint16_t port) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);  // column titles
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (!(fields >> slot >> local >> remote >> state)) continue;
    const std::size_t colon = local.find(':');
    if (colon == std::string::npos || state != "0A") continue;
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) return true;
  }
  return false;
}

long Peak_Memory_KiB(int pid) {
  if (pid <= 0) return -1;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

std::string Loopback_Source(int i) {
  return "127.0." + std::to_string(i / 250) + "." + std::to_string(2 + i % 250);
}

long Thread_Count(int pid) {
  if (pid <= 0) return -1;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::strtol(line.c_str() + 8, nullptr, 10);
  }
  return -1;
}

// ---- The server ---------------------------------------------------------------

bool Server::Start(const std::string& tarnel, const fs::path& dir, const ServerConfig& c,
                   int timeout_ms, std::string* why) {
  std::error_code ec;
  work_ = dir / "pc";
  fs::create_directories(work_, ec);
  if (ec) {
    *why = "cannot make " + work_.string() + ": " + ec.message();
    return false;
  }
  if (!Write_Text(dir / "device.ini", Device_Ini(c, work_, dir / "error.log"), why) ||
      !Write_Text(dir / "panelset.ini", Panelset_Ini(c), why))
    return false;
  if (Port_Listening(c.port)) {
    *why = "port " + std::to_string(c.port) + " is taken already";
    return false;
  }
  log_ = dir / "server.log";
  SpawnOptions o;
  o.argv = {tarnel, "--headless", "--program-dir", dir.string()};
  o.cwd = work_.string();
  o.log_path = log_.string();
  if (!child_.Start(o, why)) {
    *why = "cannot start the server: " + *why;
    return false;
  }
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (Port_Listening(c.port)) return true;
    if (child_.Poll_Exit()) {
      *why = "the server ended (exit " + std::to_string(child_.Exit_Code()) +
             ") before it listened on port " + std::to_string(c.port) + "; its output:\n" + Log_Tail(12);
      return false;
    }
    if (Clock::now() >= end) {
      *why = "the server did not listen on port " + std::to_string(c.port) + " within " +
             std::to_string(timeout_ms / 1000) + " s; its output:\n" + Log_Tail(12);
      Stop();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int Server::Terminate(int grace_ms) {
  if (child_.Poll_Exit()) return child_.Exit_Code();
  child_.Signal(15);
  if (child_.Wait_Exit(grace_ms)) return child_.Exit_Code();
  child_.Stop(0);
  return -1;
}

std::string Server::Log_Tail(std::size_t lines) const {
  std::ifstream in(log_);
  std::deque<std::string> last;
  std::string line;
  while (std::getline(in, line)) {
    last.push_back(line);
    if (last.size() > lines) last.pop_front();
  }
  std::string out;
  for (const std::string& l : last) out += "  | " + l + "\n";
  if (out.empty()) out = "  | (nothing)\n";
  return out;
}

// ---- htsim --------------------------------------------------------------------

bool Start_Htsim(const std::string& htsim, const HtsimSpec& spec, Child* child, std::string* why) {
  std::error_code ec;
  fs::create_directories(spec.disk, ec);
  SpawnOptions o;
  o.argv = {htsim, "--port", std::to_string(spec.port), "--disk", spec.disk.string(), "--timeout",
            Fixed(spec.timeout_s, 1)};
  if (!spec.source.empty()) {
    o.argv.push_back("--source");
    o.argv.push_back(spec.source);
  }
  for (const std::string& s : spec.steps) {
    o.argv.push_back("--do");
    o.argv.push_back(s);
  }
  o.argv.insert(o.argv.end(), spec.extra.begin(), spec.extra.end());
  if (spec.times) o.argv.push_back("--times");
  if (!child->Start(o, why)) {
    *why = "cannot start htsim: " + *why;
    return false;
  }
  return true;
}

bool Wait_All(const std::vector<Child*>& children, int timeout_ms) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    bool all = true;
    for (Child* c : children) {
      if (c->Output_Open() || !c->Poll_Exit()) all = false;
    }
    if (all) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) break;
    // A child that closed its output but has not ended yet is polled again
    // shortly; otherwise the wait ends with the next output.
    Pump_Output(children, static_cast<int>(std::min<long long>(left, 50)));
  }
  for (Child* c : children) {
    c->Stop(1000);
    Pump_Output({c}, 0);
  }
  return false;
}

const OutputLine* Find_Line(const Child& c, const std::string& prefix, std::size_t n) {
  for (const OutputLine& l : c.Lines()) {
    if (l.text.rfind(prefix, 0) == 0 && --n == 0) return &l;
  }
  return nullptr;
}

std::size_t Count_Lines(const Child& c, const std::string& prefix) {
  std::size_t n = 0;
  for (const OutputLine& l : c.Lines())
    if (l.text.rfind(prefix, 0) == 0) ++n;
  return n;
}

std::string Tail(const Child& c, std::size_t lines) {
  const auto& all = c.Lines();
  std::string out;
  for (std::size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
    out += "  | " + all[i].text + "\n";
  if (out.empty()) out = "  | (no output)\n";
  return out;
}

bool Seconds_Between(const Child& c, const std::string& from, const std::string& to, std::size_t n,
                     double* seconds, std::string* why) {
  const OutputLine* a = Find_Line(c, from);
  const OutputLine* b = Find_Line(c, to, n);
  if (a == nullptr || b == nullptr) {
    *why = "htsim (exit " + std::to_string(c.Exit_Code()) + ") did not report '" +
           (a == nullptr ? from : to) + "'; its last lines:\n" + Tail(c, 8);
    return false;
  }
  *seconds = Seconds(a->at, b->at);
  return true;
}

bool Run_Transfer(const std::string& htsim, const TransferRun& r, double* seconds, std::string* why) {
  const fs::path src = (r.pc_to_ht ? r.pc_dir : r.ht_disk) / r.name;
  const fs::path dst = (r.pc_to_ht ? r.ht_disk : r.pc_dir) / r.name;
  std::error_code ec;
  fs::remove(dst, ec);
  HtsimSpec spec;
  spec.port = r.port;
  spec.source = r.source;
  spec.disk = r.ht_disk;
  spec.steps = {r.pc_to_ht ? "fetch " + r.name : "send " + r.name + " " + r.name};
  spec.extra = r.extra;
  spec.timeout_s = r.timeout_s;
  Child c;
  if (!Start_Htsim(htsim, spec, &c, why)) return false;
  const bool ended = Wait_All({&c}, static_cast<int>(r.timeout_s * 1000) + 10000);
  bool ok = ended && c.Exit_Code() == 0;
  if (!ok) {
    *why = std::string("htsim ") + (ended ? "ended with exit " + std::to_string(c.Exit_Code())
                                          : "did not end in time") +
           " (" + spec.steps[0] + "); its last lines:\n" + Tail(c, 8);
  } else if (r.pc_to_ht) {
    ok = Seconds_Between(c, "ht fetch", "ht recv", 1, seconds, why);
  } else {
    ok = Seconds_Between(c, "ht announce", "ht send", 1, seconds, why);
  }
  if (ok) ok = Same_Files(src, dst, why);
  fs::remove(dst, ec);
  return ok;
}

// ---- Files --------------------------------------------------------------------

bool Make_File(const fs::path& path, std::uint64_t bytes, std::uint32_t seed, std::string* why) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 gen(seed);
  std::vector<std::uint64_t> chunk(1 << 17);  // 1 MiB
  while (out && bytes > 0) {
    for (auto& w : chunk) w = gen();
    const std::uint64_t n = std::min<std::uint64_t>(bytes, chunk.size() * sizeof chunk[0]);
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
    bytes -= n;
  }
  out.close();
  if (!out) {
    *why = "cannot write " + path.string();
    return false;
  }
  return true;
}

bool Same_Files(const fs::path& a, const fs::path& b, std::string* why) {
  std::error_code ea, eb;
  const auto sa = fs::file_size(a, ea);
  const auto sb = fs::file_size(b, eb);
  if (ea || eb) {
    *why = (ea ? a : b).string() + " is missing";
    return false;
  }
  if (sa != sb) {
    *why = b.string() + " holds " + std::to_string(sb) + " bytes instead of " + std::to_string(sa);
    return false;
  }
  std::ifstream ia(a, std::ios::binary), ib(b, std::ios::binary);
  std::vector<char> ba(1 << 20), bb(1 << 20);
  std::uint64_t at = 0;
  while (ia && ib) {
    ia.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    ib.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    const auto na = ia.gcount(), nb = ib.gcount();
    if (na != nb || !std::equal(ba.begin(), ba.begin() + na, bb.begin())) {
      *why = b.string() + " differs from " + a.string() + " after byte " + std::to_string(at);
      return false;
    }
    if (na == 0) break;
    at += static_cast<std::uint64_t>(na);
  }
  return true;
}

// ---- Figures ------------------------------------------------------------------

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

double Mb_Per_S(std::uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0;
}

std::string Fixed(double v, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

}  // namespace bench
