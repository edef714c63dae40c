// The IO-box driver's frame handling: the frames an IO box answers its
// READs with come from the input, on a fake bus. A clock that jumps ahead
// on every reading and never sleeps makes every wait for a box that does
// not answer end at once.
//
// Input: operations. Byte b < 0x40 queues the next (word % 14400) input
// bytes as the box's answer to a READ; 0x40..0x7F receives (word % 20000) + 1
// bytes (a poll when bit 0 is set); 0x80..0xBF sends that many; anything
// else closes the channel in mode b & 3 and ends the input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "linkman/tether32.h"
#include "scsi/boxlink.h"
#include "scsi/testing.h"
#include "scsi/tests/fake_aspi.h"

namespace {

std::int64_t g_ms = 0;
std::int64_t Jump_Seconds() { return (g_ms += 2000) / 1000; }
std::uint32_t Jump_Tick() { return static_cast<std::uint32_t>(g_ms += 2000); }
void No_Sleep(std::uint32_t) {}
const boxlink::Clock kJumping = {Jump_Seconds, Jump_Tick, No_Sleep};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 100000) return 0;
  using fakeaspi::Bus;
  Bus& bus = Bus::Get();
  bus.Install();
  boxlink::Reset_Driver_State();
  boxlink::Set_Clock(&kJumping);
  Gscsi_scan = 0x01;
  SCSILOG = 0;
  GScanTime = 3000;
  if (ch_init() != 0) return 0;
  bus.Set_Device(0, fakeaspi::Device::kIoBox);
  const int listener = ch_open();
  if (listener < 1) return 0;
  bus.Queue_Read(0, fakeaspi::Frame('0'));
  int channel = -1;
  if (ch_listen(listener, 1) == 1) {
    bus.Queue_Read(0, fakeaspi::Frame('2'));
    channel = ch_accept(listener);
  }
  if (channel >= 1) {
    fuzz::Input in(data, size);
    std::vector<unsigned char> buf(20001);
    for (int op = 0; op < 64 && in.Left() > 0; ++op) {
      const std::uint8_t b = in.Byte();
      if (b < 0x40) {
        const std::string frame = in.Text(in.Word() % 14400u);
        bus.Queue_Read(0, std::vector<std::uint8_t>(frame.begin(), frame.end()));
      } else if (b < 0x80) {
        ch_recv(channel, buf.data(), in.Word() % 20000u + 1, b & 1);
      } else if (b < 0xC0) {
        ch_send(channel, buf.data(), in.Word() % 20000u + 1);
      } else {
        ch_close(channel, b & 3);
        channel = -1;
        break;
      }
    }
    if (channel >= 1) ch_close(channel, '!');
  }
  ch_close(listener, '!');
  boxlink::Set_Clock(nullptr);
  boxlink::Use_Real_Back_End();
  return 0;
}
