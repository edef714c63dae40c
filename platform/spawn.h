// Programs started from an argument vector (no shell), with their standard
// output and error going to files: for the end-to-end tests, which run the
// real tarnel, htsim and tarnelctl side by side.
//
// One ChildProcess object is used by one thread at a time.
#pragma once

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
};

}  // namespace platform
