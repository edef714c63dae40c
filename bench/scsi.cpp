// scsi: one file PC -> HT and HT -> PC through the SCSI link (tarnel with
// IF=SCSI, the simulator back end, htsim playing one IO box), against the
// same transfer over TCP/IP measured in the same run.
// Last line: the lower of the two ratios SCSI / TCP/IP (speed against speed).
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "bench/harness.h"

namespace {

using namespace bench;

// The transfer over simulated IO boxes: a fresh server and bus per run.
bool Run_Scsi(const CommonOptions& common, const std::string& library, const fs::path& dir,
              const fs::path& pc_file_dir, const fs::path& ht_disk, bool pc_to_ht, const std::string& name,
              std::size_t block, double* seconds, std::string* why) {
  std::error_code ec;
  fs::create_directories(dir / "pc", ec);
  fs::copy_file(pc_file_dir / name, dir / "pc" / name, fs::copy_options::overwrite_existing, ec);
  ServerConfig config;
  config.max_write = block;
  std::string ini = Device_Ini(config, dir / "pc", dir / "error.log");
  ini.replace(0, std::string("IF=ETHERNET").size(), "IF=SCSI");
  if (!Write_Text(dir / "device.ini", ini, why) || !Write_Text(dir / "panelset.ini", Panelset_Ini(config), why))
    return false;
  const fs::path src = (pc_to_ht ? dir / "pc" : ht_disk) / name;
  const fs::path dst = (pc_to_ht ? ht_disk : dir / "pc") / name;
  if (!pc_to_ht) fs::remove(dst, ec);
  if (pc_to_ht) fs::remove(dst, ec);
  static int serial = 0;
  const std::string bus = "tarnel-bench-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
  setenv("TARNEL_SCSI_SIM", bus.c_str(), 1);
  setenv("TARNEL_ASPI_LIBRARY", library.c_str(), 1);

  Child ht;
  SpawnOptions h;
  h.argv = {common.htsim, "--scsi", bus, "--timeout", std::to_string(common.timeout_s), "--box", "0",
            "--disk", ht_disk.string(), "--block", std::to_string(std::min<std::size_t>(block, 64998)), "--do",
            pc_to_ht ? "fetch " + name : "send " + name + " " + name};
  if (!ht.Start(h, why)) return false;
  // The bus listens before the server looks for it.
  for (int i = 0; i < 500 && Count_Lines(ht, "link bus ") == 0; ++i) Pump_Output({&ht}, 10);
  Child server;
  SpawnOptions s;
  s.argv = {common.tarnel, "--headless", "--program-dir", dir.string()};
  s.cwd = (dir / "pc").string();
  s.log_path = (dir / "server.log").string();
  if (!server.Start(s, why)) return false;
  const bool ended = Wait_All({&ht}, static_cast<int>(common.timeout_s * 1000) + 10000);
  server.Stop(5000);
  if (!ended || ht.Exit_Code() != 0) {
    *why = "htsim --scsi " + std::string(ended ? "ended with exit " + std::to_string(ht.Exit_Code()) : "did not end") +
           "; its last lines:\n" + Tail(ht, 8);
    return false;
  }
  const bool ok = pc_to_ht ? Seconds_Between(ht, "box 0 ht fetch", "box 0 ht recv", 1, seconds, why)
                           : Seconds_Between(ht, "box 0 ht announce", "box 0 ht send", 1, seconds, why);
  if (!ok || !Same_Files(src, dst, why)) return false;
  fs::remove(dst, ec);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"scsi: one file each way over simulated IO boxes, against the same over TCP/IP"};
  CommonOptions common;
  Add_Common_Options(app, &common);
  std::uint64_t mib = 16;
  std::size_t block = 2032;
  std::string library;
  app.add_option("--mib", mib, "file size in MiB")->capture_default_str()->check(CLI::Range(1, 4000));
  app.add_option("--block", block, "MAX_WRITE_SIZE")->capture_default_str()->check(CLI::Range(1, 65000));
  app.add_option("--library", library, "the simulator back end (default: ../aspi/sim/libwnaspi32.so)");
  CLI11_PARSE(app, argc, argv);
  if (library.empty()) library = (fs::path(common.tarnel).parent_path().parent_path() / "aspi/sim/libwnaspi32.so").string();
  const std::uint64_t bytes = mib << 20;
  std::string why;
  if (!Apply_Common_Options(common, &why)) return Fail(why);
  if (!fs::exists(library)) return Fail("no simulator back end at " + library);
  Scratch scratch;
  if (!scratch.Create(common, "scsi", &why)) return Fail(why);
  const fs::path ht_disk = scratch.Root() / "ht";
  const fs::path files = scratch.Root() / "files";
  const std::string down = "down.bin", up = "up.bin";
  if (!Make_File(ht_disk / up, bytes, 2, &why) || !Make_File(files / down, bytes, 1, &why)) return Fail(why);

  const int port = Free_Tcp_Port();
  if (port < 0) return Fail("no free TCP port");
  ServerConfig config;
  config.port = static_cast<std::uint16_t>(port);
  config.max_write = block;
  Server tcp;
  if (!tcp.Start(common.tarnel, scratch.Root() / "tcp", config, 15000, &why)) return Fail(why);
  std::error_code ec;
  fs::copy_file(files / down, tcp.Work_Dir() / down, fs::copy_options::overwrite_existing, ec);

  std::cout << "scsi: " << mib << " MiB each way, MAX_WRITE_SIZE " << block << ", best of " << common.repeat
            << " runs, MB = 10^6 bytes" << std::endl;
  double lowest = 1e9;
  int serial = 0;
  for (bool pc_to_ht : {true, false}) {
    const std::string name = pc_to_ht ? down : up;
    double best_tcp = 0, best_scsi = 0;
    for (int i = 0; i < common.repeat; ++i) {
      TransferRun run;
      run.port = config.port;
      run.pc_to_ht = pc_to_ht;
      run.name = name;
      run.pc_dir = tcp.Work_Dir();
      run.ht_disk = ht_disk;
      run.extra = {"--block", std::to_string(std::min<std::size_t>(block, 64998))};
      run.timeout_s = common.timeout_s;
      double t = 0, s = 0;
      if (!Run_Transfer(common.htsim, run, &t, &why)) return Fail("TCP/IP: " + why);
      const fs::path dir = scratch.Root() / ("scsi-" + std::to_string(++serial));
      if (!Run_Scsi(common, library, dir, files, ht_disk, pc_to_ht, name, block, &s, &why))
        return Fail("SCSI: " + why);
      if (i == 0 || t < best_tcp) best_tcp = t;
      if (i == 0 || s < best_scsi) best_scsi = s;
    }
    const double ratio = best_tcp / best_scsi;
    lowest = std::min(lowest, ratio);
    std::cout << (pc_to_ht ? "PC->HT" : "HT->PC") << ": SCSI " << Fixed(Mb_Per_S(bytes, best_scsi), 1)
              << " MB/s, TCP/IP " << Fixed(Mb_Per_S(bytes, best_tcp), 1) << " MB/s, ratio " << Fixed(ratio, 2)
              << std::endl;
  }
  tcp.Stop();
  std::cout << "ratio " << Fixed(lowest, 2) << std::endl;
  return 0;
}
