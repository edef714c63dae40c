// The few system calls the benchmarks make themselves: starting, watching and
// stopping the programs under measurement, and the plain blocking sockets of
// the baseline pair. bench/ is no part of the product, so it keeps these here
// instead of widening platform/ for them.
//
// Every wait takes a time limit; nothing here blocks without one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// One line a child wrote, with the moment it was read from the pipe.
struct OutputLine {
  Clock::time_point at;
  std::string text;
};

struct SpawnOptions {
  std::vector<std::string> argv;  // argv[0] is the program's path
  std::string cwd;                // empty: the benchmark's own folder
  // Where standard output and error go: empty for a pipe the caller reads
  // with Pump_Output (lines with time stamps), else this file (created or
  // truncated), for programs that log more than anyone reads.
  std::string log_path;
};

// A started child program. Not copyable; the destructor kills and reaps a
// child that still runs, and a child is killed by the system when the thread
// that started it ends (so a killed benchmark leaves no server behind).
class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts the program. false with *why when it could not be started (no
  // such file, not executable, no process).
  bool Start(const SpawnOptions& options, std::string* why);

  int Pid() const { return pid_; }
  bool Running() const { return pid_ > 0 && !reaped_; }
  // Non-blocking: true once the child has ended (then Exit_Code is valid).
  bool Poll_Exit();
  // Waits at most timeout_ms for the end. true when it ended.
  bool Wait_Exit(int timeout_ms);
  // Exit status 0..255, or 128 + n for death by signal n; -1 while running.
  int Exit_Code() const { return exit_code_; }
  // Sends a signal (SIGTERM 15, SIGKILL 9) while the child runs.
  void Signal(int signo);
  // SIGTERM, then SIGKILL after grace_ms; always reaps.
  void Stop(int grace_ms);

  // Lines read so far from the pipe (pipe mode only).
  const std::vector<OutputLine>& Lines() const { return lines_; }
  bool Output_Open() const { return out_fd_ >= 0; }

 private:
  friend void Pump_Output(const std::vector<Child*>& children, int timeout_ms);
  void Take(const char* p, std::size_t n, Clock::time_point at);
  void Close_Output();

  int pid_ = -1;
  bool reaped_ = false;
  int exit_code_ = -1;
  int out_fd_ = -1;
  std::string partial_;
  std::vector<OutputLine> lines_;
};

// Waits at most timeout_ms for output from any of the children and reads
// what has arrived from every one of them (a child's output pipe closes at
// its end; a last line without a newline is kept as a line).
void Pump_Output(const std::vector<Child*>& children, int timeout_ms);

// A TCP port on which nothing listens right now (the kernel's choice), or
// -1. Another program may take it before the caller uses it; the window is
// small enough for benchmarks.
int Free_Tcp_Port();

// ---- Blocking loopback sockets for the baseline pair -------------------------
// All descriptors have TCP_NODELAY and a receive and send time-out, so a read
// or write that waits longer than that fails instead of hanging.

// Listens on 127.0.0.1 (or all interfaces when any) at a port of the
// kernel's choice, written to *port. Returns the descriptor or -1.
int Listen_Tcp(bool any, std::uint16_t* port);
// Accepts one connection, waiting at most timeout_ms. Descriptor or -1.
int Accept_Tcp(int listening, int timeout_ms, int io_timeout_ms);
// Connects to host:port from source (empty: the kernel's choice), waiting at
// most timeout_ms. Descriptor or -1.
int Connect_Tcp(const std::string& host, std::uint16_t port, const std::string& source,
                int timeout_ms, int io_timeout_ms);
// Writes all n bytes (false on failure or time-out).
bool Write_All(int fd, const void* p, std::size_t n);
// Reads exactly n bytes (false on failure, time-out or the peer's end).
bool Read_All(int fd, void* p, std::size_t n);
void Close_Fd(int fd);

// Keeps the calling process (and the programs it starts from now on, which
// inherit it) on one CPU. false with *why when the CPU cannot be used.
bool Pin_To_Cpu(int cpu, std::string* why);

// CPU time (user and system) a process has used so far, in seconds; -1
// when unknown.
double Cpu_Seconds(int pid);

// Path of the running benchmark executable (empty when unknown).
std::string Self_Path();

}  // namespace bench
