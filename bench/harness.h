// What every benchmark needs around the programs it measures: the programs'
// paths, a scratch folder, the server's configuration files, starting and
// stopping the headless server, running htsim stations and reading their
// reports, test files, and the server's peak memory.
//
// Every wait is bounded; a piece that is missing or does not do its part
// makes the benchmark stop with a message saying which and why.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/os.h"

namespace bench {

namespace fs = std::filesystem;

struct CommonOptions {
  std::string tarnel;        // the server program
  std::string htsim;         // the HT simulator
  std::string peer;          // the baseline's HT half
  std::string scratch_parent;  // where the scratch folder goes ($TMPDIR or /tmp)
  bool keep = false;         // keep the scratch folder for a look afterwards
  int repeat = 3;            // runs per case; the best counts
  double timeout_s = 300;    // limit of every single run
  int cpu = 0;               // CPU for everything the benchmark runs; -1: any
};

// Adds --tarnel, --htsim, --peer, --scratch, --keep, --repeat, --timeout, --cpu with
// defaults found beside the benchmark executable (../app/tarnel,
// ../tools/htsim/htsim, ./baseline_peer in the build tree).
void Add_Common_Options(CLI::App& app, CommonOptions* o);

// Applies what must hold before anything starts (the CPU); false with *why.
bool Apply_Common_Options(const CommonOptions& o, std::string* why);

// Prints a failure line and returns the exit status for it (1), so a
// benchmark ends with `return Fail("...")`; the failure is the last line.
int Fail(const std::string& why);

// A folder of its own for one benchmark run, removed at the end unless kept.
class Scratch {
 public:
  Scratch() = default;
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  bool Create(const CommonOptions& o, const std::string& name, std::string* why);
  const fs::path& Root() const { return root_; }

 private:
  fs::path root_;
  bool keep_ = false;
};

// The server's settings as the benchmarks vary them.
struct ServerConfig {
  std::uint16_t port = 0;
  std::size_t max_write = 2032;       // [ETC] MAXSENDSIZE: block size the PC sends
  int max_io = 100;                   // [ETHERNET] MAX_IO
  std::vector<std::string> use_ip;    // [USE_IP] n=address, n from 1
  int tcp_timeout_s = 60;
  int select_timeout_s = 60;
  int command_timeout_s = 30;         // [MODE] COMMAND_TIMEOUT (0: none)
};

// The texts of device.ini and panelset.ini for a server whose working folder
// (received files, relative names) is work_dir and whose error log is
// error_file.
std::string Device_Ini(const ServerConfig& c, const fs::path& work_dir, const fs::path& error_file);
std::string Panelset_Ini(const ServerConfig& c);

bool Write_Text(const fs::path& path, const std::string& text, std::string* why);

// True when something listens on the TCP port (any local address), judged
// from /proc/net/tcp without connecting, so the server sees no extra
// station.
bool Port_Listening(std::uint16_t port);

// The i-th (from 0) loopback source address of a run with many stations:
// 127.0.0.2 to 127.0.0.251, then 127.0.1.2 and on.
std::string Loopback_Source(int i);

// VmHWM of a process in KiB (peak resident memory), -1 when unknown.
long Peak_Memory_KiB(int pid);
// The number of threads of a process, -1 when unknown.
long Thread_Count(int pid);

// The headless server in a scratch program directory.
class Server {
 public:
  ~Server() { Stop(); }
  // Makes dir (program directory) and dir/pc (working folder and current
  // folder of the server), writes the two ini files and starts
  // `tarnel --headless --program-dir dir`; waits at most timeout_ms until it
  // listens on the configured port.
  bool Start(const std::string& tarnel, const fs::path& dir, const ServerConfig& c, int timeout_ms,
             std::string* why);
  const fs::path& Work_Dir() const { return work_; }
  int Pid() const { return child_.Pid(); }
  bool Alive() { return !child_.Poll_Exit(); }
  long Peak_Memory_KiB() const { return bench::Peak_Memory_KiB(child_.Pid()); }
  // SIGTERM, a few seconds' grace, then SIGKILL.
  void Stop() { child_.Stop(5000); }
  // SIGTERM and a wait of at most grace_ms for the end: the exit status, or
  // -1 when the server had to be killed.
  int Terminate(int grace_ms);
  // The exit status once the server has ended (-1 while it runs).
  int Exit_Code() const { return child_.Exit_Code(); }
  // The last lines of the server's log.
  std::string Log_Tail(std::size_t lines) const;

 private:
  Child child_;
  fs::path log_;
  fs::path work_;
};

// One htsim run.
struct HtsimSpec {
  std::uint16_t port = 0;
  std::string source;                // connect from this address (empty: any)
  fs::path disk;                     // the HT's disk folder (made when missing)
  std::vector<std::string> steps;    // --do steps
  std::vector<std::string> extra;    // further options (--block N, --segment N)
  // htsim stamps its lines itself (--times): right however late the
  // benchmark reads them, which matters with many stations at once.
  bool times = false;
  double timeout_s = 300;
};

bool Start_Htsim(const std::string& htsim, const HtsimSpec& spec, Child* child, std::string* why);

// Reads the children's output until every one has ended, at most timeout_ms;
// the ones still running then are killed. true when all ended in time.
bool Wait_All(const std::vector<Child*>& children, int timeout_ms);

// The n-th (from 1) line that starts with prefix, or null.
const OutputLine* Find_Line(const Child& c, const std::string& prefix, std::size_t n = 1);
std::size_t Count_Lines(const Child& c, const std::string& prefix);
// The last lines of a child's output, for failure messages.
std::string Tail(const Child& c, std::size_t lines);

// Seconds between two lines of one htsim run: from the first line starting
// with `from` to the n-th line starting with `to`. false with *why (naming
// the run's last lines) when either is missing.
bool Seconds_Between(const Child& c, const std::string& from, const std::string& to, std::size_t n,
                     double* seconds, std::string* why);

// One file moved by one htsim session against a running server: PC -> HT
// with the step `fetch NAME` (timed from htsim's "ht fetch" report, written
// when the PC's announcement arrived, to its "ht recv" report of the last
// block), HT -> PC with `send NAME NAME` (from "ht announce" to "ht send",
// which follows the PC's answer to the last block, so the PC's copy into
// place is inside). The source must exist (pc_dir/NAME or ht_disk/NAME); the
// destination is removed before and after, and compared with the source.
struct TransferRun {
  std::uint16_t port = 0;
  bool pc_to_ht = true;
  std::string name;
  fs::path pc_dir;
  fs::path ht_disk;
  std::string source;              // htsim's source address (empty: any)
  std::vector<std::string> extra;  // further htsim options
  double timeout_s = 300;
};
bool Run_Transfer(const std::string& htsim, const TransferRun& r, double* seconds, std::string* why);

// A file of `bytes` pseudo-random bytes (the same for the same seed).
bool Make_File(const fs::path& path, std::uint64_t bytes, std::uint32_t seed, std::string* why);
// true when both files exist and hold the same bytes; else *why says how
// they differ.
bool Same_Files(const fs::path& a, const fs::path& b, std::string* why);

double Seconds(Clock::time_point from, Clock::time_point to);
// Megabytes (10^6 bytes) per second.
double Mb_Per_S(std::uint64_t bytes, double seconds);
std::string Fixed(double v, int digits);

}  // namespace bench
