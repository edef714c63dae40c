// The real serial line over a fake of its system calls: what it asks of the
// kernel for the line settings, the modem lines, the exclusive open and the
// lock file.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "platform/serial.h"
#include "platform/serial_sys.h"

namespace platform {
namespace {

constexpr int kFd = 42;

struct FakeKernel {
  int open_errno = 0;
  int open_flags = 0;
  mode_t mode = S_IFCHR | 0660;
  bool has_modem = true;
  int modem = 0;  // TIOCM_* bits
  termios tios{};
  int tcsetattr_calls = 0;
  bool exclusive = false;
  int flock_op = 0;
  std::vector<int> live_pids;
  serial_icounter_struct icount{};
  bool closed = false;
};

FakeKernel* k = nullptr;

int F_Open(const char*, int flags) {
  k->open_flags = flags;
  if (k->open_errno != 0) {
    errno = k->open_errno;
    return -1;
  }
  return kFd;
}
int F_Close(int) {
  k->closed = true;
  return 0;
}
long F_Read(int, void*, unsigned long) {
  errno = EAGAIN;
  return -1;
}
long F_Write(int, const void*, unsigned long n) { return static_cast<long>(n); }
int F_Poll(pollfd*, unsigned long, int) { return 0; }
int F_Fstat(int, struct stat* st) {
  *st = {};
  st->st_mode = k->mode;
  return 0;
}
int F_Tcgetattr(int, termios* t) {
  if (!S_ISCHR(k->mode)) {
    errno = ENOTTY;
    return -1;
  }
  *t = k->tios;
  return 0;
}
int F_Tcsetattr(int, int, const termios* t) {
  k->tios = *t;
  ++k->tcsetattr_calls;
  return 0;
}
int F_Tcflush(int, int) { return 0; }
int F_Ioctl(int, unsigned long request, void* arg) {
  if (!k->has_modem && (request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC ||
                        request == TIOCGICOUNT)) {
    errno = ENOTTY;
    return -1;
  }
  switch (request) {
    case TIOCMGET: *static_cast<int*>(arg) = k->modem; return 0;
    case TIOCMBIS: k->modem |= *static_cast<int*>(arg); return 0;
    case TIOCMBIC: k->modem &= ~*static_cast<int*>(arg); return 0;
    case TIOCEXCL: k->exclusive = true; return 0;
    case TIOCNXCL: k->exclusive = false; return 0;
    case TIOCGICOUNT: *static_cast<serial_icounter_struct*>(arg) = k->icount; return 0;
  }
  errno = EINVAL;
  return -1;
}
int F_Flock(int, int op) {
  k->flock_op = op;
  return 0;
}
int F_Kill(int pid, int) {
  for (int p : k->live_pids)
    if (p == pid) return 0;
  errno = ESRCH;
  return -1;
}

const SerialSys kFake = {F_Open,      F_Close, F_Read,  F_Write, F_Poll,  F_Fstat,
                         F_Tcgetattr, F_Tcsetattr, F_Tcflush, F_Ioctl, F_Flock, F_Kill};

class SerialDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    k = &kernel_;
    lock_dir_ = std::filesystem::temp_directory_path() /
                ("tarnel-serial-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(lock_dir_);
    std::filesystem::create_directories(lock_dir_);
    ::setenv("TARNEL_LOCK_DIR", lock_dir_.c_str(), 1);
    saved_ = Set_Serial_Sys(&kFake);
  }
  void TearDown() override {
    Set_Serial_Sys(saved_);
    ::unsetenv("TARNEL_LOCK_DIR");
    std::filesystem::remove_all(lock_dir_);
    k = nullptr;
  }
  std::string Lock_File() const { return (lock_dir_ / "LCK..ttyFAKE0").string(); }
  int Open(std::unique_ptr<SerialPort>* port, SerialOpenFailure* why) {
    return Serial_Open("/dev/ttyFAKE0", port, why);
  }

  FakeKernel kernel_;
  std::filesystem::path lock_dir_;
  const SerialSys* saved_ = nullptr;
};

TEST_F(SerialDevice, OpensExclusivelyWithLockFileThatGoesAtClose) {
  std::unique_ptr<SerialPort> port;
  SerialOpenFailure why;
  ASSERT_EQ(Open(&port, &why), SERIAL_OK) << why.text;
  EXPECT_TRUE(kernel_.open_flags & O_NOCTTY);
  EXPECT_TRUE(kernel_.open_flags & O_NONBLOCK);
  EXPECT_TRUE(kernel_.exclusive);
  EXPECT_EQ(kernel_.flock_op, LOCK_EX | LOCK_NB);
  std::ifstream in(Lock_File(), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  char want[16];
  std::snprintf(want, sizeof want, "%10d\n", static_cast<int>(::getpid()));
  EXPECT_EQ(text, want);
  port.reset();
  EXPECT_TRUE(kernel_.closed);
  EXPECT_FALSE(kernel_.exclusive);
  EXPECT_FALSE(std::filesystem::exists(Lock_File()));
  // Closing drops both outputs.
  EXPECT_EQ(kernel_.modem & (TIOCM_DTR | TIOCM_RTS), 0);
}

TEST_F(SerialDevice, LockFilesOfLiveAndDeadProcesses) {
  // A live holder: refused with its PID, device closed again.
  { std::ofstream(Lock_File()) << "      4711\n"; }
  kernel_.live_pids = {4711};
  std::unique_ptr<SerialPort> port;
  SerialOpenFailure why;
  EXPECT_EQ(Open(&port, &why), SERIAL_BUSY);
  EXPECT_EQ(why.holder_pid, 4711);
  EXPECT_NE(std::string(why.text).find("/dev/ttyFAKE0"), std::string::npos);
  EXPECT_NE(std::string(why.text).find("4711"), std::string::npos);
  EXPECT_TRUE(kernel_.closed);
  EXPECT_FALSE(port);

  // The holder is gone: the stale lock is taken over.
  kernel_.live_pids.clear();
  kernel_.closed = false;
  ASSERT_EQ(Open(&port, &why), SERIAL_OK) << why.text;
  std::ifstream in(Lock_File());
  int pid = 0;
  in >> pid;
  EXPECT_EQ(pid, ::getpid());
}

TEST_F(SerialDevice, OpenFailuresSayWhy) {
  std::unique_ptr<SerialPort> port;
  SerialOpenFailure why;
  kernel_.open_errno = EACCES;
  EXPECT_EQ(Open(&port, &why), SERIAL_FAILED);
  EXPECT_NE(std::string(why.text).find("dialout"), std::string::npos);
  EXPECT_NE(std::string(why.text).find("/dev/ttyFAKE0"), std::string::npos);
  EXPECT_EQ(why.error, EACCES);

  kernel_.open_errno = ENOENT;
  EXPECT_EQ(Open(&port, &why), SERIAL_FAILED);
  EXPECT_NE(std::string(why.text).find("No such file"), std::string::npos);

  kernel_.open_errno = 0;
  kernel_.mode = S_IFREG | 0644;
  EXPECT_EQ(Open(&port, &why), SERIAL_NOT_DEVICE);
  EXPECT_NE(std::string(why.text).find("regular file"), std::string::npos);
  EXPECT_TRUE(kernel_.closed);
  EXPECT_FALSE(std::filesystem::exists(Lock_File()));
}

TEST_F(SerialDevice, LineSettingsBecomeTermiosBits) {
  std::unique_ptr<SerialPort> port;
  ASSERT_EQ(Open(&port, nullptr), SERIAL_OK);
  kernel_.tios.c_lflag = ICANON | ECHO | ISIG;
  kernel_.tios.c_iflag = ICRNL | IXON;
  kernel_.tios.c_oflag = OPOST;

  SerialConfig c;
  c.baud = 115200;
  c.data_bits = 8;
  c.parity = 0;
  c.stop = 0;
  c.rts_cts = true;
  ASSERT_EQ(port->Configure(c), SERIAL_OK);
  const termios& t = kernel_.tios;
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);

  c.baud = 110;
  c.data_bits = 7;
  c.parity = 2;
  c.stop = 2;
  c.rts_cts = false;
  ASSERT_EQ(port->Configure(c), SERIAL_OK);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
  EXPECT_TRUE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_cflag & PARODD);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_iflag & INPCK);
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B110));

  c.data_bits = 5;
  c.parity = 1;
  ASSERT_EQ(port->Configure(c), SERIAL_OK);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
  EXPECT_TRUE(t.c_cflag & PARODD);

  // Settings the line cannot take change nothing.
  const int calls = kernel_.tcsetattr_calls;
  c.stop = 1;
  EXPECT_EQ(port->Configure(c), SERIAL_BAD_SETTING);
  c.stop = 0;
  c.baud = 600;
  EXPECT_EQ(port->Configure(c), SERIAL_BAD_SETTING);
  EXPECT_EQ(kernel_.tcsetattr_calls, calls);
}

TEST_F(SerialDevice, ModemLinesAndErrorCounters) {
  std::unique_ptr<SerialPort> port;
  ASSERT_EQ(Open(&port, nullptr), SERIAL_OK);
  ASSERT_EQ(port->Set_Lines(kLineDtr | kLineRts, 0), SERIAL_OK);
  EXPECT_EQ(kernel_.modem & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
  ASSERT_EQ(port->Set_Lines(0, kLineRts), SERIAL_OK);
  EXPECT_EQ(kernel_.modem & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR);

  kernel_.modem = TIOCM_CTS | TIOCM_DSR;
  unsigned lines = 0;
  ASSERT_EQ(port->Get_Lines(&lines), SERIAL_OK);
  EXPECT_EQ(lines, kLineCts | kLineDsr);
  kernel_.modem = TIOCM_DTR | TIOCM_CD;
  ASSERT_EQ(port->Get_Lines(&lines), SERIAL_OK);
  EXPECT_EQ(lines, kLineDtr | kLineCd);

  kernel_.icount.frame = 3;
  kernel_.icount.parity = 1;
  kernel_.icount.overrun = 2;
  SerialErrorCounts e;
  ASSERT_EQ(port->Error_Counts(&e), SERIAL_OK);
  EXPECT_EQ(e.framing, 3u);
  EXPECT_EQ(e.parity, 1u);
  EXPECT_EQ(e.overrun, 2u);
}

TEST_F(SerialDevice, WithoutModemLinesCtsIsOnAndOutputsAreRemembered) {
  kernel_.has_modem = false;
  std::unique_ptr<SerialPort> port;
  ASSERT_EQ(Open(&port, nullptr), SERIAL_OK);
  port->Set_Lines(kLineDtr, 0);
  unsigned lines = 0;
  ASSERT_EQ(port->Get_Lines(&lines), SERIAL_OK);
  // The fake's poll reports no hang-up: the other side holds the device.
  EXPECT_EQ(lines, kLineDtr | kLineCts | kLineDsr);
  SerialErrorCounts e;
  EXPECT_EQ(port->Error_Counts(&e), SERIAL_OK);
  EXPECT_EQ(e.framing, 0u);
}

TEST(SerialNames, ComPortsMapToDevicesOrTheEnvironment) {
  char dev[64];
  ::unsetenv("TARNEL_COM3");
  Serial_Device_For_Port(3, dev, sizeof dev);
  EXPECT_STREQ(dev, "/dev/ttyS2");
  ::setenv("TARNEL_COM3", "/dev/serial/by-id/usb-x", 1);
  Serial_Device_For_Port(3, dev, sizeof dev);
  EXPECT_STREQ(dev, "/dev/serial/by-id/usb-x");
  Serial_Device_For_Port(3, dev, 8);  // cut, still terminated
  EXPECT_STREQ(dev, "/dev/se");
  ::unsetenv("TARNEL_COM3");
}

TEST(SerialNames, RealPathsThatAreNoDevices) {
  const auto dir = std::filesystem::temp_directory_path() / ("tarnel-notdev-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  { std::ofstream(dir / "file") << "x"; }
  std::unique_ptr<SerialPort> port;
  SerialOpenFailure why;
  EXPECT_EQ(Serial_Open((dir / "file").c_str(), &port, &why), SERIAL_NOT_DEVICE);
  EXPECT_EQ(Serial_Open(dir.c_str(), &port, &why), SERIAL_NOT_DEVICE);
  EXPECT_NE(std::string(why.text).find("folder"), std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST(PseudoTerminal, DsrTellsWhetherTheOtherSideHoldsItOpen) {
  std::unique_ptr<SerialPort> master;
  char slave[128];
  ASSERT_EQ(Pty_Open(&master, slave, sizeof slave), SERIAL_OK);
  unsigned lines = 0;
  master->Get_Lines(&lines);
  EXPECT_EQ(lines & (kLineCts | kLineDsr), unsigned{kLineCts});

  ::setenv("TARNEL_LOCK_DIR", "/nonexistent-lock-dir", 1);  // no lock file
  std::unique_ptr<SerialPort> pc;
  SerialOpenFailure why;
  ASSERT_EQ(Serial_Open(slave, &pc, &why), SERIAL_OK) << why.text;
  EXPECT_EQ(master->Wait(0, kLineDsr, 0, 2000), static_cast<int>(kSerialLinesChanged));
  pc->Get_Lines(&lines);
  EXPECT_TRUE(lines & kLineDsr);

  // Raw both ways.
  ASSERT_EQ(pc->Write("ab\r\n", 4), 4);
  ASSERT_GT(master->Wait(kSerialReadable, 0, 0, 2000), 0);
  char buf[8] = {};
  EXPECT_EQ(master->Read(buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "ab\r\n");

  pc.reset();
  EXPECT_EQ(master->Wait(0, kLineDsr, kLineDsr, 2000), static_cast<int>(kSerialLinesChanged));
  ::unsetenv("TARNEL_LOCK_DIR");
}

}  // namespace
}  // namespace platform
