// The RS-232C driver's receive path with its look-ahead: polls that put up
// to 10 bytes aside and blocking reads that take them first. The HT's end
// of a simulated null-modem cable writes what the input says; the driver
// is told it is stopping, so that a blocking read that finds nothing ends at
// once instead of waiting for its time limit.
//
// Input: a sequence of operations. A byte with bit 7 set makes the HT write
// the next (b & 0x7F) + 1 input bytes; any other byte is a receive of
// (b >> 1) + 1 bytes, a poll when bit 0 is set.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "channel/mux32.h"
#include "channel/serial_driver.h"
#include "fuzz/fuzz_support.h"
#include "platform/atomic.h"
#include "platform/serial.h"
#include "platform/serial_sim.h"

namespace {

void No_Sleep(std::uint32_t) {}
std::uint64_t g_ms = 0;
std::uint64_t Step_Now() { return g_ms += 10; }
const SerialDriverClock kClock = {Step_Now, No_Sleep};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 20000) return 0;
  static std::once_flag once;
  std::call_once(once, [] {
    ::setenv("TARNEL_COM1", "sim:fuzz-com1", 1);
    GSerialSettings = SerialSettings{0, 5, 0, 0, 3, {}};  // COM1 9600 8N1
    Set_Serial_Driver_Clock(&kClock);
  });
  platform::Store(GInterface, 0);
  auto line = platform::NullModem::Create(false);
  platform::Serial_Register_Simulated("sim:fuzz-com1", line, 0);
  std::unique_ptr<platform::SerialPort> ht = line->Open_End(1);
  platform::SerialConfig cfg;
  cfg.rts_cts = true;
  ht->Configure(cfg);

  const ChannelDriver& d = Serial_Channel_Driver();
  Set_Serial_Stopping(false);
  if (d.init() == 1) {
    const int listener = d.open();
    ht->Set_Lines(platform::kLineDtr | platform::kLineRts, 0);
    const int s = d.accept(listener);
    Set_Serial_Stopping(true);
    if (s > 0) {
      fuzz::Input in(data, size);
      std::vector<unsigned char> buf(256);
      for (int op = 0; op < 2000 && in.Left() > 0; ++op) {
        const std::uint8_t b = in.Byte();
        if (b & 0x80) {
          const std::string bytes = in.Text((b & 0x7F) + 1u);
          // Non-blocking: what the cable cannot take now is dropped.
          ht->Write(bytes.data(), bytes.size());
        } else {
          const std::uint32_t n = (b >> 1) + 1u;
          if (d.recv(s, buf.data(), n, b & 1) < 0 && !(b & 1)) continue;
        }
      }
      d.close(s, '!');
    }
    d.close(listener, '!');
  }
  Set_Serial_Stopping(false);
  d.reset();
  ht.reset();
  platform::Serial_Unregister_Simulated("sim:fuzz-com1");
  return 0;
}
