// End-to-end test support: the real tarnel (headless), htsim and tarnelctl
// as separate processes on loopback, each in a scratch program directory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/spawn.h"

namespace e2e {

// ms stretched for slow (sanitizer) builds.
int Scaled(int ms);

// A folder of its own under the temporary folder, removed at the end.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& what);
  ~ScratchDir();
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

// A TCP port on 127.0.0.1 that nobody listens on right now.
std::uint16_t Free_Port();

// Everything a program wrote to a file so far.
std::string Read_File(const std::string& path);

// Waits (bounded) until the file holds needle; true when it does.
bool Wait_For_Text(const std::string& path, const std::string& needle, int timeout_ms);

// device.ini for TCP/IP on port with the given [USE_IP] lines ("3=127.0.0.3")
// and MAX_IO; the program directory doubles as the working folder.
std::string Device_Ini(const std::string& program_dir, std::uint16_t port, int max_io,
                       const std::vector<std::string>& use_ip, int tcp_timeout = 20);
// panelset.ini in server mode without a command time-out.
std::string Panelset_Ini();

// A tarnel --headless in its own program directory.
class Server {
 public:
  Server(const ScratchDir& dir) : dir_(dir) {}
  ~Server();
  // Starts it; with wait_serving, waits until it reports that it serves.
  // open_files > 0 starts it with that limit of open files (RLIMIT_NOFILE).
  bool Start(bool wait_serving = true, int open_files = 0);
  std::string Out() const { return Read_File(dir_.File("server.out")); }
  std::string Err() const { return Read_File(dir_.File("server.err")); }
  bool Wait_For(const std::string& needle, int timeout_ms) const {
    return Wait_For_Text(dir_.File("server.out"), needle, timeout_ms);
  }
  bool Signal(int signo) { return child_.Signal(signo); }
  // Waits for the end; -1 when it did not end in time.
  int Wait(int timeout_ms);
  // TARNEL_LISTEN for the next Start (127.0.0.1 unless changed).
  void Set_Listen(const std::string& address) { listen_ = address; }

 private:
  const ScratchDir& dir_;
  platform::ChildProcess child_;
  std::string listen_ = "127.0.0.1";
};

// One htsim run; its output goes to a file of the scratch folder.
class Ht {
 public:
  Ht(const ScratchDir& dir, const std::string& name) : dir_(dir), name_(name) {}
  bool Start(std::uint16_t port, const std::string& source, const std::vector<std::string>& args,
             double timeout_s = 40);
  std::string Out() const { return Read_File(dir_.File(name_ + ".out")); }
  bool Wait_For(const std::string& needle, int timeout_ms) const {
    return Wait_For_Text(dir_.File(name_ + ".out"), needle, timeout_ms);
  }
  // Waits for htsim's end; -1 when it did not end in time.
  int Wait(int timeout_ms);
  bool Signal(int signo) { return child_.Signal(signo); }

 private:
  const ScratchDir& dir_;
  std::string name_;
  platform::ChildProcess child_;
};

// Runs tarnelctl with args to its end (bounded); *out gets its output.
int Tarnelctl(const ScratchDir& dir, const std::vector<std::string>& args, std::string* out);

// Counts the lines of text that contain needle.
int Count_Lines(const std::string& text, const std::string& needle);

}  // namespace e2e
