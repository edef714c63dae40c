// Packet receive and first-level validation: the input is what an HT sends
// on a channel. Every packet the engine's reader takes from it goes through
// Validate_Packet and its per-type validator.
//
// Built twice: fuzz_packet takes the bytes as they are (noise, bad lengths,
// bad checksums); fuzz_packet_fixsum repairs each packet's checksum first
// (TARNEL_FUZZ_FIXSUM), so mutations reach the field checks behind it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/rox32.h"
#include "fuzz/fuzz_support.h"
#include "testsupport/fake_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Bytes stream(data, data + size);
#ifdef TARNEL_FUZZ_FIXSUM
  fuzz::Repair_Checksums(&stream);
#endif
  static RS232_ROX engine;
  static std::vector<unsigned char> buffer(PACKET_BUF_SIZE);
  testsupport::FakeChannel fake(2);
  fake.Set_Exhausted_Result(-1);
  fake.Set_Recv_Wait_Ms(0);
  fake.Feed(stream);
  // Each round takes at least one byte or ends the stream.
  for (int round = 0; round < 256 && fake.Unread() > 0; ++round) {
    const short r = engine.Receive_Packet(testsupport::FakeChannel::Channel(), buffer.data());
    if (r == 0) engine.Validate_Packet(buffer.data());
    else if (r != 86) break;  // time-out, broken channel or over-long L
  }
  return 0;
}
