// Programs started from an argument vector (no shell), with their standard
// output and error going to files: for the end-to-end tests, which run the
// real tarnel, htsim and tarnelctl side by side.
//
// One ChildProcess object is used by one thread at a time.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace platform {

class ChildProcess {
 public:
  ChildProcess() = default;
  // A child still running is killed (SIGKILL) and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (a path) with the arguments argv. Standard output and
  // error go to the files named (created or truncated; "" keeps the
  // caller's), standard input reads nothing. env adds or replaces
  // "NAME=VALUE" entries of the caller's environment. False with *why when
  // the program could not be started.
  bool Start(const std::vector<std::string>& argv, const std::string& stdout_path,
             const std::string& stderr_path, const std::vector<std::string>& env, std::string* why);

  // Makes Start run the child as user uid with group gid and no
  // supplementary groups (only root may). Its output files are still
  // opened as the caller.
  void Set_User(unsigned uid, unsigned gid) {
    as_user_ = true;
    uid_ = uid;
    gid_ = gid;
  }

  // The child's process id, 0 when none was started.
  int Pid() const { return pid_; }

  // Sends signo (SIGTERM, SIGINT, ...) to a child that has not been reaped.
  bool Signal(int signo);

  // Waits up to timeout_ms for the child to end and reaps it. True with
  // *status = its exit status, or 128 + the signal that ended it; false
  // when it still runs (or none was started).
  bool Wait(int timeout_ms, int* status);

 private:
  int pid_ = 0;
  bool reaped_ = false;
  int status_ = 0;
  bool as_user_ = false;
  unsigned uid_ = 0;
  unsigned gid_ = 0;
};

// Result of Run_As_User when the child could not become that user.
constexpr int kRunAsCannotSwitch = 125;

// Runs body in a child process (a copy of the caller made with fork) as
// user uid with group gid and no supplementary groups, and returns what
// body returned (0 to 124 are meant for it); kRunAsCannotSwitch when the
// child could not switch (only root can); -1 when no child could be made
// or it did not end within timeout_ms (it is then killed). For tests that
// need another user's process. body runs in a copy of a possibly
// multi-threaded process: it should only use this layer's calls and keep
// to small work.
int Run_As_User(unsigned uid, unsigned gid, const std::function<int()>& body, int timeout_ms);

}  // namespace platform
