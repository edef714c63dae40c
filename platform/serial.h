// Serial lines: the one place that touches terminal devices. A line is a
// SerialPort: data both ways without blocking, the modem lines, waits with a
// time limit, and counters of line errors. Three kinds exist:
//  - a real device (termios; /dev/ttyS0, /dev/ttyUSB0, a pseudo-terminal's
//    slave side), opened by Serial_Open;
//  - the master side of a pseudo-terminal pair made by Pty_Open (the
//    simulated terminal's end);
//  - the two ends of a simulated null-modem cable (serial_sim.h), handed out
//    by Serial_Open for device names that a test registered.
// Nothing here throws; results are the small codes below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

enum SerialResult : int {
  SERIAL_OK = 0,
  SERIAL_FAILED = -1,       // a system call failed (the failure's errno is kept)
  SERIAL_BAD_SETTING = -2,  // a setting the line cannot take (1.5 stop bits, odd rates)
  SERIAL_BUSY = -3,         // another program holds the device
  SERIAL_GONE = -4,         // the device went away (pseudo-terminal's other side closed)
  SERIAL_NOT_DEVICE = -5,   // the path is no terminal device (a regular file, a folder)
};

// Modem line bits. DTR and RTS are this end's outputs; CTS, DSR, CD and RI
// what this end sees of the other.
enum SerialLine : unsigned {
  kLineDtr = 0x01,
  kLineRts = 0x02,
  kLineCts = 0x04,
  kLineDsr = 0x08,
  kLineCd = 0x10,
  kLineRi = 0x20,
};

// What Wait reports (bit set); 0 is a time-out.
enum SerialEvent : unsigned {
  kSerialReadable = 0x01,
  kSerialWritable = 0x02,
  kSerialLinesChanged = 0x04,
};

struct SerialConfig {
  std::uint32_t baud = 9600;  // one of 110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200
  std::uint8_t data_bits = 8;  // 5..8
  std::uint8_t parity = 0;     // 0 none, 1 odd, 2 even
  std::uint8_t stop = 0;       // 0 one, 1 one and a half, 2 two
  bool rts_cts = true;         // hardware flow control
};

// Bits on the line per character: start, data, parity, stop (1.5 counts 2).
unsigned Serial_Frame_Bits(const SerialConfig& c);

// Cumulative counts of line errors since the port was opened.
struct SerialErrorCounts {
  std::uint32_t framing = 0;
  std::uint32_t parity = 0;
  std::uint32_t overrun = 0;      // the receiver's hardware lost characters
  std::uint32_t buf_overrun = 0;  // the input queue was full
  std::uint32_t brk = 0;
};

class SerialPort {
 public:
  // Closing drops DTR and RTS (the other end sees DSR and CTS go off).
  virtual ~SerialPort() = default;
  // Raw 8-bit transparent line with the given speed and frame. SERIAL_OK,
  // SERIAL_BAD_SETTING (nothing changed) or SERIAL_FAILED.
  virtual int Configure(const SerialConfig& c) = 0;
  // Raises the outputs in raise, then drops those in drop (kLineDtr,
  // kLineRts). SERIAL_OK or SERIAL_FAILED.
  virtual int Set_Lines(unsigned raise, unsigned drop) = 0;
  // The lines now (SerialLine bits). A device without modem lines reads CTS
  // as on and DSR as on while the other side holds it open.
  virtual int Get_Lines(unsigned* lines) = 0;
  // Takes up to n (>= 1) bytes that have arrived, never waiting. Returns the
  // count, 0 when none are there, SERIAL_GONE or SERIAL_FAILED.
  virtual long Read(void* data, std::size_t n) = 0;
  // Hands up to n (>= 1) bytes to the output queue, never waiting. Returns
  // the count taken (0 when the queue is full or flow control holds the
  // line), SERIAL_GONE or SERIAL_FAILED.
  virtual long Write(const void* data, std::size_t n) = 0;
  // Waits at most timeout_ms (0: just test) until one of the events in what
  // happens; kSerialLinesChanged means that the lines in line_mask differ
  // from known_lines. Returns the bits that hold (0 after the time),
  // SERIAL_GONE or SERIAL_FAILED.
  virtual int Wait(unsigned what, unsigned line_mask, unsigned known_lines, int timeout_ms) = 0;
  // Throws away what waits in the input and/or output queue.
  virtual int Purge(bool input, bool output) = 0;
  // The error counters (zeros where the device keeps none).
  virtual int Error_Counts(SerialErrorCounts* out) = 0;
};

// errno of the calling thread's last SERIAL_FAILED (or of the open failure).
int Serial_Last_Error();

// Why an open failed, as a sentence for a log: names the device and the
// reason ("/dev/ttyS0: Permission denied; the user needs to be in the
// dialout group", "/dev/ttyS1: held by process 4711").
struct SerialOpenFailure {
  int result = SERIAL_OK;
  int error = 0;       // errno, 0 when the reason is not a system error
  int holder_pid = 0;  // SERIAL_BUSY through a lock file: the holder
  char text[320] = "";
};

// The device of COM1..COM4 (port 1..4): TARNEL_COMn when set and not empty,
// else /dev/ttyS(n-1). Writes a NUL-terminated path cut to cap - 1.
void Serial_Device_For_Port(int port, char* out, std::size_t cap);

// Opens a serial device for exclusive use: O_NOCTTY, non-blocking, the
// terminal's exclusive mode, an flock on the device, and the lock file
// LCK..<name> in the lock folder (TARNEL_LOCK_DIR, else /var/lock, else
// /run/lock, where writable) holding our PID. A lock file whose process is
// gone is taken over. Device names registered with Serial_Register_Simulated
// are served by that end instead. On failure *out stays empty and why (when
// not null) says what happened.
int Serial_Open(const char* device, std::unique_ptr<SerialPort>* out, SerialOpenFailure* why);

// A pseudo-terminal pair: *master is this side (the simulated terminal's),
// slave_path[cap] the device the other program opens. The master reads DSR
// as on while somebody else holds the slave open, CTS always on.
int Pty_Open(std::unique_ptr<SerialPort>* master, char* slave_path, std::size_t cap);

// The folder of lock files in use now ("" when none is writable).
void Serial_Lock_Dir(char* out, std::size_t cap);

}  // namespace platform
