// PC path resolution and wildcard matching. Input: a PC path, a wildcard
// pattern and a name, separated by NUL bytes. Every drive maps to a small
// scratch tree and paths outside it are refused, so resolution (which looks
// for names in any case) only ever reads that tree; a search runs over it
// with the pattern.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/faults.h"
#include "platform/pcfs.h"

namespace {

std::string Root() { return fuzz::Scratch_Folder() + "/drive"; }

void Set_Up_Once() {
  static std::once_flag once;
  std::call_once(once, [] {
    namespace fs = std::filesystem;
    fs::create_directories(Root() + "/Data/Sub");
    fs::create_directories(Root() + "/data2");
    std::ofstream(Root() + "/Data/Prices.DAT") << "x";
    std::ofstream(Root() + "/Data/Sub/a.b.c") << "y";
    std::ofstream(Root() + "/readme") << "z";
    std::string table;
    for (char c = 'A'; c <= 'Z'; ++c) table += std::string(1, c) + "=" + Root() + ";";
    ::setenv("TARNEL_DRIVES", table.c_str(), 1);
    platform::faults::Confine_Paths(Root());
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;
  Set_Up_Once();
  const auto parts = fuzz::Split_At_Nul(data, size, 3);
  const std::string path = parts[0];
  const std::string pattern = parts.size() > 1 ? parts[1] : std::string();
  const std::string name = parts.size() > 2 ? parts[2] : std::string();

  std::string native;
  platform::To_Native_Path(path.c_str(), &native);
  platform::Has_Wildcards(path.c_str());
  platform::Wildcard_Match(pattern.c_str(), name.c_str());
  platform::Wildcard_Match(path.c_str(), pattern.c_str());
  platform::FileStat st;
  platform::Stat_PC(path.c_str(), &st);
  // A search with the path as pattern, bounded in entries.
  platform::DirSearch search;
  platform::FoundEntry found;
  if (search.First(path.c_str(), &found)) {
    for (int entries = 0; entries < 64 && search.Next(&found); ++entries) {
    }
  }
  return 0;
}
