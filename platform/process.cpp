#include "platform/process.h"

#include "platform/faults.h"

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace platform {

namespace {

std::mutex g_mutex;
std::string g_shell;              // empty: /bin/sh
std::vector<pid_t> g_unreaped;    // children whose reaper thread could not start

bool Is_Blank_Line(const char* line) {
  for (const char* p = line; *p != '\0'; ++p)
    if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') return false;
  return true;
}

// Collects children left by a failed reaper start, without blocking.
void Reap_Leftovers() {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::erase_if(g_unreaped, [](pid_t pid) {
    int status;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
  });
}

// Starts `shell -c line`; -1 when no child could be started. glibc's
// posix_spawn reports a failed exec as an error and collects that child.
pid_t Spawn(const char* line) {
  if (line == nullptr || Is_Blank_Line(line)) return -1;
  std::string shell;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    shell = g_shell.empty() ? "/bin/sh" : g_shell;
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  // Descriptors beyond the standard three (sockets, serial lines, lock
  // files) stay with this program: a child holding a lock file would keep a
  // named lock alive after the program ended.
  bool ok = posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0;
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  ok = ok && posix_spawnattr_setsigdefault(&attr, &all) == 0 &&
       posix_spawnattr_setsigmask(&attr, &none) == 0 &&
       posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;

  pid_t pid = -1;
  if (ok) {
    char arg0[] = "sh";
    char arg1[] = "-c";
    std::string command(line);
    char* argv[] = {arg0, arg1, command.data(), nullptr};
    if (posix_spawn(&pid, shell.c_str(), &actions, &attr, argv, environ) != 0) pid = -1;
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int Map_Status(int status) {
  if (WIFSIGNALED(status)) return kChildKilledBase - WTERMSIG(status);
  const int code = WEXITSTATUS(status);
  return code >= 246 ? code - 256 : code;
}

}  // namespace

bool Run_Child(const char* line, int* exit_code) {
  if (faults::Child_Programs_Refused()) return false;
  Reap_Leftovers();
  const pid_t pid = Spawn(line);
  if (pid < 0) return false;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  if (r != pid) return false;  // someone else collected it: no status to give
  if (exit_code != nullptr) *exit_code = Map_Status(status);
  return true;
}

bool Start_Child(const char* line, int* pid_out) {
  if (faults::Child_Programs_Refused()) return false;
  Reap_Leftovers();
  const pid_t pid = Spawn(line);
  if (pid < 0) return false;
  if (pid_out != nullptr) *pid_out = pid;
  try {
    std::thread([pid] {
      int status;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_unreaped.push_back(pid);
  }
  return true;
}

void Set_Child_Shell_For_Testing(const char* path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_shell = path == nullptr ? "" : path;
}

}  // namespace platform

namespace platform {

void Replace_Program(const char* path, char* const argv[]) { ::execv(path, argv); }

}  // namespace platform
