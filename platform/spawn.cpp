#include "platform/spawn.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/clock.h"

extern char** environ;

namespace platform {

namespace {

std::string Name_Of(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// In a child made by fork: default signal handling, nothing blocked, then
// the given user and group with no supplementary groups. Only calls that
// are safe between fork and exec. False when the switch failed.
bool Become_User(unsigned uid, unsigned gid) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int signo = 1; signo < NSIG; ++signo) signal(signo, SIG_DFL);
  if (setgroups(0, nullptr) != 0) return false;
  if (setresgid(gid, gid, gid) != 0) return false;
  if (setresuid(uid, uid, uid) != 0) return false;
  return true;
}

// Opens path for the child's descriptor fd (in the child, before exec).
bool Redirect(int fd, const char* path, int flags) {
  const int f = open(path, flags | O_CLOEXEC, 0644);
  if (f < 0) return false;
  // dup2 clears close-on-exec on the copy.
  const bool ok = dup2(f, fd) == fd;
  if (f != fd) close(f);
  return ok;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& stdout_path,
                         const std::string& stderr_path, const std::vector<std::string>& env,
                         std::string* why) {
  if (pid_ > 0 || argv.empty()) {
    if (why) *why = pid_ > 0 ? "already started" : "no program";
    return false;
  }
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& extra : env) replaced = replaced || Name_Of(extra) == Name_Of(entry);
    if (!replaced) environment.push_back(entry);
  }
  environment.insert(environment.end(), env.begin(), env.end());
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  if (as_user_) {
    // posix_spawn cannot change the user: fork, switch, exec.
    const pid_t pid = fork();
    if (pid < 0) {
      if (why) *why = std::string("fork: ") + std::strerror(errno);
      return false;
    }
    if (pid == 0) {
      const int write_flags = O_WRONLY | O_CREAT | O_TRUNC;
      if (!Redirect(0, "/dev/null", O_RDONLY) ||
          (!stdout_path.empty() && !Redirect(1, stdout_path.c_str(), write_flags)) ||
          (!stderr_path.empty() && !Redirect(2, stderr_path.c_str(), write_flags)) || !Become_User(uid_, gid_))
        _exit(127);
      execve(argv[0].c_str(), args.data(), envp.data());
      _exit(127);
    }
    pid_ = pid;
    reaped_ = false;
    return true;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!stdout_path.empty())
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!stderr_path.empty())
    posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The child starts with default signal handling and nothing blocked.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int r = posix_spawn(&pid, argv[0].c_str(), &actions, &attr, args.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (r != 0) {
    if (why) *why = argv[0] + ": " + std::strerror(r);
    return false;
  }
  pid_ = pid;
  reaped_ = false;
  return true;
}

bool ChildProcess::Signal(int signo) {
  if (pid_ <= 0 || reaped_) return false;
  return kill(pid_, signo) == 0;
}

bool ChildProcess::Wait(int timeout_ms, int* status) {
  if (pid_ <= 0) return false;
  const std::uint64_t deadline = Monotonic_Ms() + static_cast<std::uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  while (!reaped_) {
    int raw = 0;
    const pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
      break;
    }
    if (r < 0 && errno != EINTR) return false;
    if (Monotonic_Ms() >= deadline) return false;
    Sleep_Ms(10);
  }
  if (status) *status = status_;
  return true;
}

int Run_As_User(unsigned uid, unsigned gid, const std::function<int()>& body, int timeout_ms) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (!Become_User(uid, gid)) _exit(kRunAsCannotSwitch);
    const int r = body();
    _exit(r & 0xFF);
  }
  const std::uint64_t deadline = Monotonic_Ms() + static_cast<std::uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    int raw = 0;
    const pid_t r = waitpid(pid, &raw, WNOHANG);
    if (r == pid) return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    if ((r < 0 && errno != EINTR) || Monotonic_Ms() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
      }
      return -1;
    }
    Sleep_Ms(5);
  }
}

}  // namespace platform
