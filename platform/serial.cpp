#include "platform/serial.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/serial_sim_open.h"
#include "platform/serial_sys.h"

namespace platform {

namespace {

thread_local int t_last_error = 0;

int Fail() {
  t_last_error = errno;
  return SERIAL_FAILED;
}

// ---- The system calls ---------------------------------------------------------

int Sys_Open(const char* path, int flags) {
  int fd;
  do fd = ::open(path, flags); while (fd < 0 && errno == EINTR);
  return fd;
}
int Sys_Close(int fd) { return ::close(fd); }
long Sys_Read(int fd, void* data, unsigned long n) {
  long r;
  do r = ::read(fd, data, n); while (r < 0 && errno == EINTR);
  return r;
}
long Sys_Write(int fd, const void* data, unsigned long n) {
  long r;
  do r = ::write(fd, data, n); while (r < 0 && errno == EINTR);
  return r;
}
int Sys_Poll(pollfd* fds, unsigned long n, int timeout_ms) { return ::poll(fds, n, timeout_ms); }
int Sys_Fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int Sys_Tcgetattr(int fd, termios* t) { return ::tcgetattr(fd, t); }
int Sys_Tcsetattr(int fd, int when, const termios* t) {
  int r;
  do r = ::tcsetattr(fd, when, t); while (r < 0 && errno == EINTR);
  return r;
}
int Sys_Tcflush(int fd, int queue) { return ::tcflush(fd, queue); }
int Sys_Ioctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = ::ioctl(fd, request, arg); while (r < 0 && errno == EINTR);
  return r;
}
int Sys_Flock(int fd, int op) {
  int r;
  do r = ::flock(fd, op); while (r < 0 && errno == EINTR);
  return r;
}
int Sys_Kill(int pid, int sig) { return ::kill(pid, sig); }

const SerialSys kRealSys = {Sys_Open,      Sys_Close,      Sys_Read,    Sys_Write,
                            Sys_Poll,      Sys_Fstat,      Sys_Tcgetattr, Sys_Tcsetattr,
                            Sys_Tcflush,   Sys_Ioctl,      Sys_Flock,   Sys_Kill};

const SerialSys* g_sys = nullptr;

// ---- Helpers --------------------------------------------------------------------

void Copy_Text(char* out, std::size_t cap, const std::string& text) {
  if (out == nullptr || cap == 0) return;
  std::size_t n = text.size() < cap - 1 ? text.size() : cap - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

void Set_Failure(SerialOpenFailure* why, int result, int error, const std::string& text) {
  if (why == nullptr) return;
  why->result = result;
  why->error = error;
  Copy_Text(why->text, sizeof why->text, text);
}

bool Speed_Of(std::uint32_t baud, speed_t* out) {
  switch (baud) {
    case 110: *out = B110; return true;
    case 300: *out = B300; return true;
    case 1200: *out = B1200; return true;
    case 2400: *out = B2400; return true;
    case 4800: *out = B4800; return true;
    case 9600: *out = B9600; return true;
    case 19200: *out = B19200; return true;
    case 38400: *out = B38400; return true;
    case 57600: *out = B57600; return true;
    case 115200: *out = B115200; return true;
  }
  return false;
}

bool Writable_Dir(const char* dir) {
  struct stat st {};
  return ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir, W_OK) == 0;
}

// "LCK.." and the device's name below /dev, slashes made underscores, so
// /dev/ttyS0 is LCK..ttyS0 and /dev/pts/3 is LCK..pts_3. Links are followed
// first, so every name of one device gives the same lock.
std::string Lock_Name(const char* device) {
  char real[PATH_MAX];
  std::string name = ::realpath(device, real) != nullptr ? real : device;
  if (name.rfind("/dev/", 0) == 0) name.erase(0, 5);
  while (!name.empty() && name[0] == '/') name.erase(0, 1);
  for (char& c : name)
    if (c == '/') c = '_';
  return "LCK.." + name;
}

// The PID in a lock file: ten characters of ASCII decimal and a line feed
// (older binary four-byte files are read too).
int Read_Lock_Pid(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  char buf[32] = {};
  std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  if (n == 4 && (buf[0] < ' ' || buf[1] < ' ')) {
    int pid = 0;
    std::memcpy(&pid, buf, 4);
    return pid;
  }
  long pid = std::strtol(buf, nullptr, 10);
  return pid > 0 && pid < INT_MAX ? static_cast<int>(pid) : 0;
}

// Takes the lock file. 1: taken (its path in *taken), 0: no lock folder,
// SERIAL_BUSY (*holder = the live PID), SERIAL_FAILED.
int Take_Lock_File(const char* device, std::string* taken, int* holder) {
  char dir[256];
  Serial_Lock_Dir(dir, sizeof dir);
  if (dir[0] == '\0') return 0;
  const std::string path = std::string(dir) + "/" + Lock_Name(device);
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      char text[16];
      int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
      bool ok = n == 11 && ::write(fd, text, 11) == 11;
      ::close(fd);
      if (!ok) {
        ::unlink(path.c_str());
        return Fail();
      }
      *taken = path;
      return 1;
    }
    if (errno != EEXIST) return errno == EACCES || errno == EROFS ? 0 : Fail();
    const int pid = Read_Lock_Pid(path);
    if (pid > 0) {
      const bool alive = Serial_Sys().kill(pid, 0) == 0 || errno == EPERM;
      if (alive) {
        *holder = pid;
        return SERIAL_BUSY;
      }
    } else if (pid < 0) {
      continue;  // vanished meanwhile
    }
    // Its process is gone (or the file holds no PID): a stale lock.
    ::unlink(path.c_str());
  }
  return SERIAL_BUSY;
}

// ---- The real line ----------------------------------------------------------------

class DevicePort final : public SerialPort {
 public:
  DevicePort(int fd, std::string lock_path, bool pty_master)
      : fd_(fd), lock_path_(std::move(lock_path)), pty_master_(pty_master) {
    int bits = 0;
    has_modem_ = !pty_master && Serial_Sys().ioctl(fd_, TIOCMGET, &bits) == 0;
  }

  ~DevicePort() override {
    const SerialSys& sys = Serial_Sys();
    if (has_modem_) {
      int bits = TIOCM_DTR | TIOCM_RTS;
      sys.ioctl(fd_, TIOCMBIC, &bits);
    }
    if (!pty_master_) {
      sys.ioctl(fd_, TIOCNXCL, nullptr);
      sys.flock(fd_, LOCK_UN);
    }
    sys.close(fd_);
    if (!lock_path_.empty()) ::unlink(lock_path_.c_str());
  }

  int Configure(const SerialConfig& c) override {
    speed_t speed;
    if (!Speed_Of(c.baud, &speed) || c.data_bits < 5 || c.data_bits > 8 || c.parity > 2 ||
        c.stop == 1 || c.stop > 2)
      return SERIAL_BAD_SETTING;
    const SerialSys& sys = Serial_Sys();
    termios t{};
    if (sys.tcgetattr(fd_, &t) != 0) return Fail();
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
    if (c.parity != 0) t.c_iflag |= INPCK;  // parity errors are counted
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[c.data_bits - 5] | CREAD | CLOCAL | HUPCL;
    if (c.parity != 0) t.c_cflag |= PARENB;
    if (c.parity == 1) t.c_cflag |= PARODD;
    if (c.stop == 2) t.c_cflag |= CSTOPB;
    if (c.rts_cts) t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (sys.tcsetattr(fd_, TCSANOW, &t) != 0) return Fail();
    return SERIAL_OK;
  }

  int Set_Lines(unsigned raise, unsigned drop) override {
    Store(own_, (Load(own_) | (raise & (kLineDtr | kLineRts))) & ~(drop & (kLineDtr | kLineRts)));
    if (!has_modem_) return SERIAL_OK;
    const SerialSys& sys = Serial_Sys();
    int up = Modem_Bits(raise), down = Modem_Bits(drop);
    if (up != 0 && sys.ioctl(fd_, TIOCMBIS, &up) != 0) return Fail();
    if (down != 0 && sys.ioctl(fd_, TIOCMBIC, &down) != 0) return Fail();
    return SERIAL_OK;
  }

  int Get_Lines(unsigned* lines) override {
    if (!has_modem_) {
      *lines = Load(own_) | kLineCts | (Hung_Up() ? 0u : kLineDsr);
      return SERIAL_OK;
    }
    int bits = 0;
    if (Serial_Sys().ioctl(fd_, TIOCMGET, &bits) != 0) return Fail();
    unsigned l = 0;
    if (bits & TIOCM_DTR) l |= kLineDtr;
    if (bits & TIOCM_RTS) l |= kLineRts;
    if (bits & TIOCM_CTS) l |= kLineCts;
    if (bits & TIOCM_DSR) l |= kLineDsr;
    if (bits & TIOCM_CD) l |= kLineCd;
    if (bits & TIOCM_RI) l |= kLineRi;
    *lines = l;
    return SERIAL_OK;
  }

  long Read(void* data, std::size_t n) override {
    long r = Serial_Sys().read(fd_, data, n);
    if (r > 0) return r;
    if (r == 0) return Hung_Up() ? SERIAL_GONE : 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno == EIO) return SERIAL_GONE;
    return Fail();
  }

  long Write(const void* data, std::size_t n) override {
    long r = Serial_Sys().write(fd_, data, n);
    if (r >= 0) return r;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno == EIO) return SERIAL_GONE;
    return Fail();
  }

  // Waits on the descriptor; while lines are watched it wakes every 10 ms
  // to read them (the modem-status wait of the kernel cannot be bounded in
  // time, and a device without modem lines has none).
  int Wait(unsigned what, unsigned line_mask, unsigned known_lines, int timeout_ms) override {
    const SerialSys& sys = Serial_Sys();
    const std::uint64_t deadline = Monotonic_Ms() + static_cast<std::uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
      unsigned got = 0;
      if (line_mask != 0) {
        unsigned lines = 0;
        int r = Get_Lines(&lines);
        if (r < 0) return r;
        if ((lines & line_mask) != (known_lines & line_mask)) got |= kSerialLinesChanged;
      }
      const std::uint64_t now = Monotonic_Ms();
      int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
      int slice = line_mask != 0 && left > 10 ? 10 : left;
      if (got != 0) slice = 0;
      pollfd p{};
      p.fd = fd_;
      p.events = static_cast<short>(((what & kSerialReadable) ? POLLIN : 0) |
                                    ((what & kSerialWritable) ? POLLOUT : 0));
      int r = sys.poll(&p, 1, slice);
      if (r < 0) {
        if (errno != EINTR) return Fail();
        continue;
      }
      if (r > 0) {
        if ((what & kSerialReadable) && (p.revents & (POLLIN | POLLERR))) got |= kSerialReadable;
        if ((what & kSerialWritable) && (p.revents & (POLLOUT | POLLERR))) got |= kSerialWritable;
        // A hang-up makes poll return at once; the read tells what it means.
        if ((p.revents & POLLHUP) && (what & kSerialReadable)) got |= kSerialReadable;
        if ((p.revents & POLLHUP) && got == 0 && slice > 0) sys.poll(nullptr, 0, slice);
      }
      if (got != 0) return static_cast<int>(got);
      if (left == 0) return 0;
    }
  }

  int Purge(bool input, bool output) override {
    if (!input && !output) return SERIAL_OK;
    int q = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    return Serial_Sys().tcflush(fd_, q) == 0 ? SERIAL_OK : Fail();
  }

  int Error_Counts(SerialErrorCounts* out) override {
    *out = SerialErrorCounts{};
    serial_icounter_struct ic{};
    if (!has_modem_ || Serial_Sys().ioctl(fd_, TIOCGICOUNT, &ic) != 0) return SERIAL_OK;
    out->framing = static_cast<std::uint32_t>(ic.frame);
    out->parity = static_cast<std::uint32_t>(ic.parity);
    out->overrun = static_cast<std::uint32_t>(ic.overrun);
    out->buf_overrun = static_cast<std::uint32_t>(ic.buf_overrun);
    out->brk = static_cast<std::uint32_t>(ic.brk);
    return SERIAL_OK;
  }

 private:
  static int Modem_Bits(unsigned lines) {
    return ((lines & kLineDtr) ? TIOCM_DTR : 0) | ((lines & kLineRts) ? TIOCM_RTS : 0);
  }

  // The other side of a pseudo-terminal has closed (or never opened).
  bool Hung_Up() {
    pollfd p{};
    p.fd = fd_;
    p.events = 0;
    return Serial_Sys().poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0;
  }

  int fd_;
  std::string lock_path_;
  bool pty_master_;
  bool has_modem_ = false;
  unsigned own_ = 0;  // DTR and RTS as set, for devices without modem lines
};

}  // namespace

const SerialSys& Serial_Sys() {
  const SerialSys* s = Load(g_sys);
  return s ? *s : kRealSys;
}

const SerialSys* Set_Serial_Sys(const SerialSys* sys) {
  const SerialSys* old = Load(g_sys);
  Store(g_sys, sys);
  return old;
}

int Serial_Last_Error() { return t_last_error; }

unsigned Serial_Frame_Bits(const SerialConfig& c) {
  return 1u + c.data_bits + (c.parity != 0 ? 1u : 0u) + (c.stop == 0 ? 1u : 2u);
}

void Serial_Device_For_Port(int port, char* out, std::size_t cap) {
  std::string name = "TARNEL_COM" + std::to_string(port);
  const char* env = std::getenv(name.c_str());
  if (env != nullptr && env[0] != '\0')
    Copy_Text(out, cap, env);
  else
    Copy_Text(out, cap, "/dev/ttyS" + std::to_string(port - 1));
}

void Serial_Lock_Dir(char* out, std::size_t cap) {
  const char* env = std::getenv("TARNEL_LOCK_DIR");
  if (env != nullptr && env[0] != '\0') {
    Copy_Text(out, cap, Writable_Dir(env) ? env : "");
    return;
  }
  for (const char* d : {"/var/lock", "/run/lock"})
    if (Writable_Dir(d)) {
      Copy_Text(out, cap, d);
      return;
    }
  Copy_Text(out, cap, "");
}

int Serial_Open(const char* device, std::unique_ptr<SerialPort>* out, SerialOpenFailure* why) {
  out->reset();
  if (why != nullptr) *why = SerialOpenFailure{};
  if (device == nullptr || device[0] == '\0') {
    Set_Failure(why, SERIAL_NOT_DEVICE, 0, "no serial device named");
    return SERIAL_NOT_DEVICE;
  }
  if (Open_Simulated(device, out)) {
    if (*out) return SERIAL_OK;
    Set_Failure(why, SERIAL_BUSY, 0, std::string(device) + ": in use by another program");
    return SERIAL_BUSY;
  }

  const SerialSys& sys = Serial_Sys();
  const std::string dev = device;
  int fd = sys.open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    t_last_error = e;
    if (e == EACCES || e == EPERM) {
      Set_Failure(why, SERIAL_FAILED, e,
                  dev + ": " + std::strerror(e) + "; the user needs to be in the dialout group");
      return SERIAL_FAILED;
    }
    if (e == EISDIR) {
      Set_Failure(why, SERIAL_NOT_DEVICE, e, dev + ": a folder, not a serial device");
      return SERIAL_NOT_DEVICE;
    }
    if (e == EBUSY) {
      Set_Failure(why, SERIAL_BUSY, e, dev + ": in exclusive use by another program");
      return SERIAL_BUSY;
    }
    Set_Failure(why, SERIAL_FAILED, e, dev + ": " + std::strerror(e));
    return SERIAL_FAILED;
  }
  struct stat st {};
  termios t{};
  if (sys.fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || sys.tcgetattr(fd, &t) != 0) {
    const bool chr = S_ISCHR(st.st_mode);
    sys.close(fd);
    Set_Failure(why, SERIAL_NOT_DEVICE, 0,
                dev + (S_ISREG(st.st_mode) ? ": a regular file, not a serial device"
                       : chr ? ": not a terminal device"
                             : ": not a serial device"));
    return SERIAL_NOT_DEVICE;
  }

  std::string lock_path;
  int holder = 0;
  int lr = Take_Lock_File(device, &lock_path, &holder);
  if (lr == SERIAL_BUSY) {
    sys.close(fd);
    if (why != nullptr) why->holder_pid = holder;
    Set_Failure(why, SERIAL_BUSY, 0, dev + ": held by process " + std::to_string(holder));
    if (why != nullptr) why->holder_pid = holder;
    return SERIAL_BUSY;
  }
  auto undo = [&] {
    sys.close(fd);
    if (!lock_path.empty()) ::unlink(lock_path.c_str());
  };
  if (lr < 0) {
    const int e = t_last_error;
    undo();
    Set_Failure(why, SERIAL_FAILED, e, dev + ": cannot write its lock file: " + std::strerror(e));
    return SERIAL_FAILED;
  }
  if (sys.flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    undo();
    if (e == EWOULDBLOCK) {
      Set_Failure(why, SERIAL_BUSY, e, dev + ": in use by another program");
      return SERIAL_BUSY;
    }
    Set_Failure(why, SERIAL_FAILED, e, dev + ": " + std::strerror(e));
    return SERIAL_FAILED;
  }
  if (sys.ioctl(fd, TIOCEXCL, nullptr) != 0) {
    const int e = errno;
    undo();
    Set_Failure(why, SERIAL_FAILED, e, dev + ": " + std::strerror(e));
    return SERIAL_FAILED;
  }
  sys.tcflush(fd, TCIOFLUSH);
  out->reset(new DevicePort(fd, lock_path, false));
  return SERIAL_OK;
}

int Pty_Open(std::unique_ptr<SerialPort>* master, char* slave_path, std::size_t cap) {
  master->reset();
  int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Fail();
  char name[128];
  if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
    int r = Fail();
    ::close(fd);
    return r;
  }
  // Raw from the start, so nothing the terminal writes is echoed or changed
  // before the other program has set the line up.
  termios t{};
  if (::tcgetattr(fd, &t) == 0) {
    ::cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &t);
  }
  // Opening and closing the slave once puts the master into the hung-up
  // state that then tells whether somebody holds the slave open.
  int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s >= 0) ::close(s);
  int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
  Copy_Text(slave_path, cap, name);
  master->reset(new DevicePort(fd, std::string(), true));
  return SERIAL_OK;
}

}  // namespace platform
