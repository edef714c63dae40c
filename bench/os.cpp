// System calls of the benchmarks: see os.h.
#include "bench/os.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace bench {

namespace {

int Decode_Status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 255;
}

void Set_Io_Options(int fd, int io_timeout_ms) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{};
  tv.tv_sec = io_timeout_ms / 1000;
  tv.tv_usec = (io_timeout_ms % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool Ipv4(const std::string& text, in_addr* out) { return inet_pton(AF_INET, text.c_str(), out) == 1; }

}  // namespace

Child::~Child() {
  if (Running()) Stop(0);
  Close_Output();
}

bool Child::Start(const SpawnOptions& options, std::string* why) {
  if (options.argv.empty()) {
    *why = "no program";
    return false;
  }
  const std::string& program = options.argv[0];
  if (access(program.c_str(), X_OK) != 0) {
    *why = program + ": " + std::strerror(errno);
    return false;
  }
  // Everything the child needs is prepared before fork: between fork and
  // exec it only makes async-signal-safe calls.
  std::vector<char*> argv;
  for (const std::string& a : options.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int out[2] = {-1, -1};
  if (options.log_path.empty()) {
    if (pipe2(out, O_CLOEXEC) != 0) {
      *why = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
  } else {
    out[1] = open(options.log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out[1] < 0) {
      *why = options.log_path + ": " + std::strerror(errno);
      return false;
    }
  }
  int err[2];
  if (pipe2(err, O_CLOEXEC) != 0) {
    *why = std::string("pipe: ") + std::strerror(errno);
    if (out[0] >= 0) close(out[0]);
    close(out[1]);
    return false;
  }
  const int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();

  const pid_t pid = fork();
  if (pid == 0) {
    // A benchmark that dies (killed, crashed) takes its programs with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (null_in >= 0) dup2(null_in, 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    int e = 0;
    if (cwd != nullptr && chdir(cwd) != 0) {
      e = errno;
    } else {
      execv(argv[0], argv.data());
      e = errno;
    }
    ssize_t ignored = write(err[1], &e, sizeof e);
    (void)ignored;
    _exit(127);
  }
  if (null_in >= 0) close(null_in);
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    *why = std::string("fork: ") + std::strerror(errno);
    if (out[0] >= 0) close(out[0]);
    close(err[0]);
    return false;
  }
  int e = 0;
  ssize_t got;
  do {
    got = read(err[0], &e, sizeof e);
  } while (got < 0 && errno == EINTR);
  close(err[0]);
  pid_ = pid;
  reaped_ = false;
  exit_code_ = -1;
  out_fd_ = out[0];
  if (got == static_cast<ssize_t>(sizeof e)) {
    // exec failed: the child has already ended.
    Wait_Exit(1000);
    Close_Output();
    *why = program + ": " + std::strerror(e);
    return false;
  }
  return true;
}

bool Child::Poll_Exit() {
  if (pid_ <= 0) return true;
  if (reaped_) return true;
  int status = 0;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    reaped_ = true;
    exit_code_ = Decode_Status(status);
    return true;
  }
  if (r < 0 && errno == ECHILD) {
    reaped_ = true;
    exit_code_ = 255;
    return true;
  }
  return false;
}

bool Child::Wait_Exit(int timeout_ms) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (Poll_Exit()) return true;
    if (Clock::now() >= end) return false;
    // Children under measurement are read by Pump_Output; here only the end
    // is awaited, so a short sleep costs nothing that is measured.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void Child::Signal(int signo) {
  if (Running()) kill(pid_, signo);
}

void Child::Stop(int grace_ms) {
  if (!Running()) return;
  Signal(SIGTERM);
  if (grace_ms > 0 && Wait_Exit(grace_ms)) return;
  Signal(SIGKILL);
  Wait_Exit(5000);
}

void Child::Take(const char* p, std::size_t n, Clock::time_point at) {
  partial_.append(p, n);
  std::size_t start = 0;
  for (;;) {
    const std::size_t nl = partial_.find('\n', start);
    if (nl == std::string::npos) break;
    std::string text = partial_.substr(start, nl - start);
    // A line that says when it was written (htsim --times: " us=N" at its
    // end, the monotonic clock that Clock also reads) is timed by that.
    Clock::time_point when = at;
    const std::size_t us = text.rfind(" us=");
    if (us != std::string::npos) {
      char* end = nullptr;
      const long long v = std::strtoll(text.c_str() + us + 4, &end, 10);
      if (end != nullptr && *end == '\0' && v > 0) {
        when = Clock::time_point(std::chrono::microseconds(v));
        text.erase(us);
      }
    }
    lines_.push_back({when, std::move(text)});
    start = nl + 1;
  }
  partial_.erase(0, start);
}

void Child::Close_Output() {
  if (out_fd_ >= 0) {
    close(out_fd_);
    out_fd_ = -1;
  }
  if (!partial_.empty()) {
    lines_.push_back({Clock::now(), partial_});
    partial_.clear();
  }
}

void Pump_Output(const std::vector<Child*>& children, int timeout_ms) {
  std::vector<pollfd> fds;
  std::vector<Child*> owners;
  for (Child* c : children) {
    if (c->out_fd_ < 0) continue;
    fds.push_back({c->out_fd_, POLLIN, 0});
    owners.push_back(c);
  }
  if (fds.empty()) {
    if (timeout_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    return;
  }
  const int r = poll(fds.data(), fds.size(), timeout_ms);
  if (r <= 0) return;
  const Clock::time_point at = Clock::now();
  char buf[65536];
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    const ssize_t n = read(fds[i].fd, buf, sizeof buf);
    if (n > 0) {
      owners[i]->Take(buf, static_cast<std::size_t>(n), at);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      owners[i]->Close_Output();
    }
  }
}

int Free_Tcp_Port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = 0;
  int port = -1;
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

int Listen_Tcp(bool any, std::uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(any ? INADDR_ANY : INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 128) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

int Accept_Tcp(int listening, int timeout_ms, int io_timeout_ms) {
  pollfd p{listening, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return -1;
  const int fd = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return -1;
  Set_Io_Options(fd, io_timeout_ms);
  return fd;
}

int Connect_Tcp(const std::string& host, std::uint16_t port, const std::string& source,
                int timeout_ms, int io_timeout_ms) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (!Ipv4(host, &to.sin_addr)) return -1;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (!source.empty()) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      if (!Ipv4(source, &from.sin_addr) ||
          bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        close(fd);
        return -1;
      }
    }
    Set_Io_Options(fd, io_timeout_ms);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
    close(fd);
    // The listener may not be up yet: try again until the time is over.
    if (Clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool Write_All(int fd, const void* p, std::size_t n) {
  const char* c = static_cast<const char*>(p);
  while (n > 0) {
    const ssize_t w = send(fd, c, n, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    c += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool Read_All(int fd, void* p, std::size_t n) {
  char* c = static_cast<char*>(p);
  while (n > 0) {
    const ssize_t r = recv(fd, c, n, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return false;
    c += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

void Close_Fd(int fd) {
  if (fd >= 0) close(fd);
}

bool Pin_To_Cpu(int cpu, std::string* why) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (cpu < 0 || cpu >= CPU_SETSIZE) {
    *why = "no CPU " + std::to_string(cpu);
    return false;
  }
  CPU_SET(cpu, &set);
  if (sched_setaffinity(0, sizeof set, &set) != 0) {
    *why = "cannot keep to CPU " + std::to_string(cpu) + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

double Cpu_Seconds(int pid) {
  if (pid <= 0) return -1;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The program's name may hold blanks and parentheses: the fields count
  // from the last ')'. utime and stime are fields 14 and 15.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int n = 3; n <= 15 && (fields >> field); ++n) {
    if (n == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (n == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  const long ticks = sysconf(_SC_CLK_TCK);
  if (ticks <= 0) return -1;
  return static_cast<double>(utime + stime) / static_cast<double>(ticks);
}

std::string Self_Path() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace bench
