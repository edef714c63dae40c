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

// The environment every program of a test gets: its data-copy socket in
// the scratch folder (XDG_RUNTIME_DIR), so tests never meet each other or a
// tarnel that runs on the machine.
std::vector<std::string> Program_Env(const ScratchDir& dir);

// A tarnel --headless in its own program directory.
class Server {
 public:
  // Its output goes to NAME.out and NAME.err in dir.
  Server(const ScratchDir& dir, const std::string& name = "server") : dir_(dir), name_(name) {}
  ~Server();
  // Starts it; with wait_serving, waits until it reports that it serves.
  // args replace "--headless --program-dir DIR" when not empty; env adds to
  // Program_Env's.
  bool Start(bool wait_serving = true, const std::vector<std::string>& args = {},
             const std::vector<std::string>& env = {});
  // The data-copy socket it reported serving on; "" when none.
  std::string Socket_Path() const;
  std::string Out() const { return Read_File(dir_.File(name_ + ".out")); }
  std::string Err() const { return Read_File(dir_.File(name_ + ".err")); }
  // Environment entries ("NAME=value") added at the next Start.
  void Add_Environment(const std::string& entry) { env_.push_back(entry); }
  int Pid() const { return child_.Pid(); }
  // Starts it with that limit of open files (RLIMIT_NOFILE) when > 0.
  void Set_Open_Files(int n) { open_files_ = n; }
  bool Wait_For(const std::string& needle, int timeout_ms) const {
    return Wait_For_Text(dir_.File(name_ + ".out"), needle, timeout_ms);
  }
  bool Signal(int signo) { return child_.Signal(signo); }
  // Waits for the end; -1 when it did not end in time.
  int Wait(int timeout_ms);
  // TARNEL_LISTEN for the next Start (127.0.0.1 unless changed).
  void Set_Listen(const std::string& address) { listen_ = address; }

 private:
  const ScratchDir& dir_;
  std::string name_;
  platform::ChildProcess child_;
  std::vector<std::string> env_;
  std::string listen_ = "127.0.0.1";
  int open_files_ = 0;
};

// One htsim run; its output goes to a file of the scratch folder.
class Ht {
 public:
  Ht(const ScratchDir& dir, const std::string& name) : dir_(dir), name_(name) {}
  bool Start(std::uint16_t port, const std::string& source, const std::vector<std::string>& args,
             double timeout_s = 40);
  // An htsim on a serial line (args name it: --pty, --serial).
  bool Start_Line(const std::vector<std::string>& args, double timeout_s = 40);
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

// Runs argv (argv[0] a path) to its end (bounded) with Program_Env and env;
// as user uid (group gid, no other groups) when uid >= 0. *out gets its
// standard output and error. The exit status, or -1.
int Run(const ScratchDir& dir, const std::vector<std::string>& argv, const std::vector<std::string>& env,
        std::string* out, int uid = -1, unsigned gid = 0);

// Counts the lines of text that contain needle.
int Count_Lines(const std::string& text, const std::string& needle);

}  // namespace e2e
