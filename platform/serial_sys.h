// Internal to platform/: the system calls behind the real serial line, as a
// table so tests can put a fake underneath serial.cpp and check what it asks
// of the kernel (termios bits, modem-line ioctls, locks) without hardware.
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

namespace platform {

struct SerialSys {
  int (*open)(const char* path, int flags);
  int (*close)(int fd);
  long (*read)(int fd, void* data, unsigned long n);
  long (*write)(int fd, const void* data, unsigned long n);
  int (*poll)(pollfd* fds, unsigned long n, int timeout_ms);
  int (*fstat)(int fd, struct stat* st);
  int (*tcgetattr)(int fd, termios* t);
  int (*tcsetattr)(int fd, int when, const termios* t);
  int (*tcflush)(int fd, int queue);
  // ioctl with a pointer argument (TIOCMGET, TIOCMBIS, TIOCMBIC, TIOCEXCL,
  // TIOCNXCL, TIOCGICOUNT); arg may be null.
  int (*ioctl)(int fd, unsigned long request, void* arg);
  int (*flock)(int fd, int op);
  int (*kill)(int pid, int sig);
};

// The table in use; the real calls unless a test replaced it.
const SerialSys& Serial_Sys();
// Replaces the table (null: the real calls); returns the previous one.
const SerialSys* Set_Serial_Sys(const SerialSys* sys);

}  // namespace platform
