#include "platform/signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

// Written by the handler (async-signal-safe: write only), read by the watcher.
std::atomic<int> g_write_fd{-1};
int g_read_fd = -1;
std::thread* g_watcher = nullptr;
constexpr unsigned char kQuit = 0;

extern "C" void On_Stop_Signal(int signo) {
  const int saved = errno;
  const int fd = g_write_fd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const unsigned char b = static_cast<unsigned char>(signo);
    ssize_t r = write(fd, &b, 1);
    (void)r;  // a full pipe already holds a stop request
  }
  errno = saved;
}

void Watch(HWND target, UINT msg, int fd) {
  for (;;) {
    unsigned char b;
    ssize_t r = read(fd, &b, 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || b == kQuit) return;
    Post_Message(target, msg, static_cast<WPARAM>(b), 0);
  }
}

bool Set_Handler(int signo, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return sigaction(signo, &sa, nullptr) == 0;
}

}  // namespace

bool Start_Stop_Signal_Watch(HWND target, UINT msg) {
  if (g_watcher != nullptr) return false;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  // The handler must never block on a full pipe.
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  g_read_fd = fds[0];
  g_write_fd.store(fds[1]);
  try {
    g_watcher = new std::thread(Watch, target, msg, fds[0]);
  } catch (...) {
    g_write_fd.store(-1);
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (!Set_Handler(SIGINT, On_Stop_Signal) || !Set_Handler(SIGTERM, On_Stop_Signal) ||
      !Set_Handler(SIGHUP, On_Stop_Signal) || !Set_Handler(SIGPIPE, SIG_IGN)) {
    End_Stop_Signal_Watch();
    return false;
  }
  return true;
}

void End_Stop_Signal_Watch() {
  if (g_watcher == nullptr) return;
  Set_Handler(SIGINT, SIG_DFL);
  Set_Handler(SIGTERM, SIG_DFL);
  Set_Handler(SIGHUP, SIG_DFL);
  Set_Handler(SIGPIPE, SIG_DFL);
  const int fd = g_write_fd.exchange(-1);
  const unsigned char quit = kQuit;
  ssize_t r = write(fd, &quit, 1);
  (void)r;
  g_watcher->join();
  delete g_watcher;
  g_watcher = nullptr;
  close(fd);
  close(g_read_fd);
  g_read_fd = -1;
}

}  // namespace platform
