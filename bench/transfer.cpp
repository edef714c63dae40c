// transfer: one large file PC -> HT and HT -> PC over loopback, for each
// block size, against the baseline pair exchanging the same link frames.
// Last line: the lowest ratio to the baseline over all cases.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "bench/baseline.h"
#include "bench/harness.h"

namespace {

using namespace bench;

// The largest content of one data block: the data field (block number,
// content, end mark) may hold at most 65000 bytes.
constexpr std::size_t kLargestBlock = 64998;

struct Figures {
  std::size_t block = 0;
  bool pc_to_ht = true;
  double real_s = 0;
  double base_s = 0;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"transfer: one file PC->HT and HT->PC through tarnel and htsim, against the baseline pair"};
  CommonOptions common;
  Add_Common_Options(app, &common);
  std::uint64_t mib = 64;
  std::vector<std::size_t> blocks = {2032, 65000};
  app.add_option("--mib", mib, "file size in MiB")->capture_default_str()->check(CLI::Range(1, 4000));
  app.add_option("--blocks", blocks, "MAX_WRITE_SIZE values to run")
      ->capture_default_str()
      ->delimiter(',')
      ->check(CLI::Range(std::size_t{1}, std::size_t{65000}));
  bool baseline_only = false;
  app.add_flag("--baseline-only", baseline_only, "measure the baseline pair alone");
  CLI11_PARSE(app, argc, argv);
  const std::uint64_t bytes = mib << 20;
  const int run_ms = static_cast<int>(common.timeout_s * 1000);

  std::string why;
  if (!Apply_Common_Options(common, &why)) return Fail(why);
  Scratch scratch;
  if (!scratch.Create(common, "transfer", &why)) return Fail(why);
  const fs::path ht_disk = scratch.Root() / "ht";
  const std::string down = "down.bin", up = "up.bin";
  if (!Make_File(ht_disk / up, bytes, 2, &why)) return Fail(why);

  std::cout << "transfer: " << mib << " MiB, best of " << common.repeat
            << " runs per case, MB = 10^6 bytes" << std::endl;
  std::vector<Figures> all;
  for (std::size_t block : blocks) {
    const std::size_t content = std::min(block, kLargestBlock);
    const int port = Free_Tcp_Port();
    if (port < 0) return Fail("no free TCP port");
    ServerConfig config;
    config.port = static_cast<std::uint16_t>(port);
    config.max_write = block;
    Server server;
    const fs::path dir = scratch.Root() / ("server-" + std::to_string(block));
    if (!baseline_only) {
      if (!server.Start(common.tarnel, dir, config, 15000, &why)) return Fail(why);
      if (!Make_File(server.Work_Dir() / down, bytes, 1, &why)) return Fail(why);
    }

    for (bool pc_to_ht : {true, false}) {
      Figures f;
      f.block = block;
      f.pc_to_ht = pc_to_ht;
      std::vector<Exchange> script;
      // The PC names the file .\NAME to the HT; the HT names it as given.
      Add_File(&script, pc_to_ht, bytes, content, pc_to_ht ? down.size() + 2 : up.size());
      TransferRun run;
      run.port = config.port;
      run.pc_to_ht = pc_to_ht;
      run.name = pc_to_ht ? down : up;
      run.pc_dir = server.Work_Dir();
      run.ht_disk = ht_disk;
      run.extra = {"--block", std::to_string(content)};
      run.timeout_s = common.timeout_s;
      std::string runs, base_runs;  // every run's figure, to show the spread
      for (int i = 0; i < common.repeat; ++i) {
        const BaselineResult b = Run_Baseline(common.peer, script, 1, run_ms);
        if (!b.ok) return Fail("baseline: " + b.why);
        if (i == 0 || b.seconds < f.base_s) f.base_s = b.seconds;
        base_runs += " " + Fixed(Mb_Per_S(bytes, b.seconds), 1);
        if (baseline_only) continue;
        double s = 0;
        if (!Run_Transfer(common.htsim, run, &s, &why)) {
          if (!server.Alive()) why += "the server has ended; its output:\n" + server.Log_Tail(12);
          return Fail(why);
        }
        if (i == 0 || s < f.real_s) f.real_s = s;
        runs += " " + Fixed(Mb_Per_S(bytes, s), 1);
      }
      const double real = Mb_Per_S(bytes, f.real_s), base = Mb_Per_S(bytes, f.base_s);
      if (baseline_only) {
        std::cout << "MAX_WRITE_SIZE " << block << " " << (pc_to_ht ? "PC->HT" : "HT->PC")
                  << ": baseline " << Fixed(base, 1) << " MB/s (" << script.size() << " frames)"
                  << std::endl;
        continue;
      }
      std::cout << "MAX_WRITE_SIZE " << block << " " << (pc_to_ht ? "PC->HT" : "HT->PC") << ": tarnel "
                << Fixed(real, 1) << " MB/s, baseline " << Fixed(base, 1) << " MB/s, ratio "
                << Fixed(real / base, 2) << std::endl
                << "  runs: tarnel" << runs << ", baseline" << base_runs << std::endl;
      all.push_back(f);
    }
    server.Stop();
  }
  if (baseline_only) return 0;
  double lowest = 1e9;
  for (const Figures& f : all) lowest = std::min(lowest, f.base_s / f.real_s);
  std::cout << "ratio " << Fixed(lowest, 2) << std::endl;
  return 0;
}
