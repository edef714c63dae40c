// segmented: one large file HT -> PC with htsim writing every link frame in
// pieces of 1460 bytes (one Ethernet segment each), against the same
// transfer with whole frames in the same run. The PC must gather frames that
// arrive in pieces without waiting on fixed sleeps.
// Last line: the lowest ratio, over the block sizes, of the transfer in
// pieces to the baseline pair writing the same pieces. (Pieces against whole
// frames is printed too, but it measures the machine more than the programs:
// on loopback the pair itself loses most of its speed to pieces.)
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "bench/baseline.h"
#include "bench/harness.h"

namespace {
using namespace bench;
constexpr std::size_t kLargestBlock = 64998;
}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"segmented: HT->PC with every frame written in pieces, against whole frames"};
  CommonOptions common;
  Add_Common_Options(app, &common);
  std::uint64_t mib = 64;
  std::size_t piece = 1460;
  std::vector<std::size_t> blocks = {2032, 65000};
  app.add_option("--mib", mib, "file size in MiB")->capture_default_str()->check(CLI::Range(1, 4000));
  app.add_option("--piece", piece, "bytes per write of a frame")
      ->capture_default_str()
      ->check(CLI::Range(1, 65536));
  app.add_option("--blocks", blocks, "block sizes (MAX_WRITE_SIZE and htsim --block)")
      ->capture_default_str()
      ->delimiter(',')
      ->check(CLI::Range(std::size_t{1}, std::size_t{65000}));
  CLI11_PARSE(app, argc, argv);
  const std::uint64_t bytes = mib << 20;

  std::string why;
  if (!Apply_Common_Options(common, &why)) return Fail(why);
  Scratch scratch;
  if (!scratch.Create(common, "segmented", &why)) return Fail(why);
  const fs::path ht_disk = scratch.Root() / "ht";
  if (!Make_File(ht_disk / "up.bin", bytes, 3, &why)) return Fail(why);

  std::cout << "segmented: " << mib << " MiB HT->PC, frames written in pieces of " << piece
            << " bytes, best of " << common.repeat << " runs per case, MB = 10^6 bytes" << std::endl;
  double lowest = 1e9;
  for (std::size_t block : blocks) {
    const std::size_t content = std::min(block, kLargestBlock);
    const int port = Free_Tcp_Port();
    if (port < 0) return Fail("no free TCP port");
    ServerConfig config;
    config.port = static_cast<std::uint16_t>(port);
    config.max_write = block;
    Server server;
    if (!server.Start(common.tarnel, scratch.Root() / ("server-" + std::to_string(block)), config,
                      15000, &why))
      return Fail(why);
    TransferRun run;
    run.port = config.port;
    run.pc_to_ht = false;
    run.name = "up.bin";
    run.pc_dir = server.Work_Dir();
    run.ht_disk = ht_disk;
    run.timeout_s = common.timeout_s;
    // For comparison, what the machine allows for the same frames written
    // whole and in pieces.
    std::vector<Exchange> script;
    Add_File(&script, false, bytes, content, run.name.size());
    double whole = 0, cut = 0, base_whole = 0, base_cut = 0;
    for (int i = 0; i < common.repeat; ++i) {
      for (bool segmented : {false, true}) {
        const BaselineResult b = Run_Baseline(common.peer, script, 1, static_cast<int>(common.timeout_s * 1000),
                                              segmented ? piece : 0);
        if (!b.ok) return Fail("baseline: " + b.why);
        double& best_base = segmented ? base_cut : base_whole;
        if (i == 0 || b.seconds < best_base) best_base = b.seconds;
        run.extra = {"--block", std::to_string(content)};
        if (segmented) {
          run.extra.push_back("--segment");
          run.extra.push_back(std::to_string(piece));
        }
        double s = 0;
        if (!Run_Transfer(common.htsim, run, &s, &why)) {
          if (!server.Alive()) why += "the server has ended; its output:\n" + server.Log_Tail(12);
          return Fail(why);
        }
        double& best = segmented ? cut : whole;
        if (i == 0 || s < best) best = s;
      }
    }
    server.Stop();
    const double w = Mb_Per_S(bytes, whole), c = Mb_Per_S(bytes, cut);
    const double bw = Mb_Per_S(bytes, base_whole), bc = Mb_Per_S(bytes, base_cut);
    std::cout << "block " << content << " HT->PC: whole frames " << Fixed(w, 1) << " MB/s, in pieces "
              << Fixed(c, 1) << " MB/s, ratio " << Fixed(c / w, 2) << " (baseline pair: " << Fixed(bw, 1)
              << " and " << Fixed(bc, 1) << " MB/s, ratio " << Fixed(bc / bw, 2) << ")" << std::endl;
    std::cout << "block " << content << " HT->PC in pieces against the pair in pieces: ratio " << Fixed(c / bc, 2)
              << std::endl;
    lowest = std::min(lowest, c / bc);
  }
  std::cout << "ratio " << Fixed(lowest, 2) << std::endl;
  return 0;
}
