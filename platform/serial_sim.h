// A simulated null-modem cable for tests and benchmarks: two ends that are
// SerialPorts. What one end writes the other reads, optionally paced at the
// writer's configured baud rate and frame size; each end's DTR and RTS are
// the other's DSR and CTS, and every change wakes waiters. Faults can be put
// on the line: line errors at the receiving end (the next character arrives
// garbled and the error is counted) and a pulled cable (no lines, data
// lost). All members are thread-safe.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/serial.h"

namespace platform {

enum class LineFault { kFraming, kParity, kOverrun };

class NullModem {
 public:
  // paced: characters take their time on the wire (frame bits / baud each);
  // otherwise they arrive at once.
  static std::shared_ptr<NullModem> Create(bool paced);
  virtual ~NullModem() = default;

  // A port on end 0 or 1. At most one open port per end; a second one while
  // the first lives is refused (null), like a device held by a program.
  virtual std::unique_ptr<SerialPort> Open_End(int end) = 0;
  // The next character that reaches end `at` is garbled and counted as fault.
  virtual void Inject(int at, LineFault fault) = 0;
  // Pulls (true) or plugs back (false) the cable.
  virtual void Pull_Cable(bool pulled) = 0;
};

// Serial_Open(device) hands out end `end` of line while registered.
void Serial_Register_Simulated(const char* device, std::shared_ptr<NullModem> line, int end);
void Serial_Unregister_Simulated(const char* device);

}  // namespace platform
