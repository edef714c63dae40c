// htsim's packet reader and every field decoder, on each packet of the
// input (split by the packets' lengths). fuzz_htsim_packet_fixsum repairs
// the checksums first (TARNEL_FUZZ_FIXSUM).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tools/htsim/packet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 200000) return 0;
  fuzz::Bytes stream(data, data + size);
#ifdef TARNEL_FUZZ_FIXSUM
  fuzz::Repair_Checksums(&stream);
#endif
  std::size_t pos = 0;
  while (pos < stream.size()) {
    const std::size_t left = stream.size() - pos;
    std::size_t n = htsim::Packet_Length(stream.data() + pos, left);
    if (n == 0 || n > left) n = left;  // a packet cut short is read as it is
    // A copy of exactly the packet, so that reading past it is caught.
    const fuzz::Bytes pkt(stream.begin() + static_cast<long>(pos), stream.begin() + static_cast<long>(pos + n));
    pos += n;
    htsim::PacketView v;
    if (htsim::Read_Packet(pkt.data(), pkt.size(), &v) != 0) continue;
    std::uint16_t status, count;
    htsim::Decode_General(v, &status);
    htsim::FileInfo info;
    htsim::Decode_File_Info(v, &info);
    std::uint32_t total, free_bytes;
    bool overwrite;
    htsim::Decode_Transfer_Info(v, &count, &total, &overwrite);
    htsim::Block block;
    htsim::Decode_Block(v, &block);
    htsim::Stamp stamp;
    if (htsim::Decode_Clock(v, &stamp) == 0) htsim::Stamp_Text(stamp);
    std::uint8_t condition, error_class, detail;
    htsim::Decode_Disk_Info(v, &total, &free_bytes, &condition);
    std::string names, text;
    htsim::Decode_Delete(v, &count, &names);
    if (htsim::Decode_End(v, &error_class, &detail) == 0)
      htsim::Code_Text(htsim::Code_Of(error_class, detail));
    htsim::SessionAnswer answer;
    htsim::Decode_Session_Info(v, &answer);
    htsim::Decode_Text(v, &text);
  }
  return 0;
}
