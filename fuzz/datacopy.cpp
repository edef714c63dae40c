// Data-copy requests as the server takes them from its socket: an 8-byte
// header after the magic (tag, length) and the data. Input: tag (4 bytes,
// little-endian), then the data. The detail log goes to a scratch drive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "app/server/datacopy.h"
#include "engine/rox32.h"
#include "fuzz/fuzz_support.h"
#include "platform/faults.h"

namespace {

class Host : public DataCopyHost {
 public:
  int Interface_Type() const override { return type; }
  void Command_Flags_Off() override {}
  bool Link_Manager_Running() const override { return running; }
  void Start_Link_Manager() override { running = true; }
  std::string Detail_Log_Path() const override { return "C:\\LOGS\\detail.log"; }
  int type = 2;
  bool running = false;
};

std::string Root() { return fuzz::Scratch_Folder() + "/drive"; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::once_flag once;
  std::call_once(once, [] {
    std::filesystem::create_directories(Root() + "/LOGS");
    ::setenv("TARNEL_DRIVES", ("C=" + Root()).c_str(), 1);
    platform::faults::Confine_Paths(Root());
  });
  fuzz::Input in(data, size);
  std::uint32_t tag = in.Word();
  tag |= static_cast<std::uint32_t>(in.Word()) << 16;
  const fuzz::Bytes rest = in.Rest();
  if (rest.size() > 65536) return 0;
  Host host;
  host.type = static_cast<int>(tag >> 16) % 3;
  host.running = (tag >> 18) & 1;
  const std::string block(rest.begin(), rest.end());
  Handle_Data_Copy(tag & 0xFFFF, block.data(), block.size(), host);
  // The same request without a terminating NUL inside the block.
  Handle_Data_Copy(tag & 0xFFFF, block.empty() ? nullptr : block.data(), block.size(), host);
  for (int ht = 1; ht <= MAX_HT; ++ht) Clear_Command_Buffer(ht);
  return 0;
}
