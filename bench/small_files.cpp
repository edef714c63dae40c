// small-files: many small files PC -> HT in one fetch (htsim asks for
// small\*.dat), or with --send HT -> PC in one send (each file replacing the
// PC's copy, so the cost of making each received file durable is inside),
// against the baseline pair exchanging the frames of the same files (file
// information, answer, one data block, answer per file).
// Last line: files per second through tarnel and htsim.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "bench/baseline.h"
#include "bench/harness.h"

namespace {
using namespace bench;

std::string File_Name(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "f%04d.dat", i);
  return buf;
}
}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"small-files: many small files PC->HT (or HT->PC) through tarnel and htsim, against the baseline pair"};
  CommonOptions common;
  Add_Common_Options(app, &common);
  int files = 1000;
  std::uint64_t size = 1024;
  std::size_t block = 2032;
  app.add_option("--files", files, "number of files")->capture_default_str()->check(CLI::Range(1, 9999));
  app.add_option("--size", size, "bytes per file")->capture_default_str()->check(CLI::Range(0, 1 << 24));
  app.add_option("--block", block, "MAX_WRITE_SIZE")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{64998}));
  bool send = false;
  app.add_flag("--send", send, "HT->PC: htsim sends the files, each replacing the PC's copy");
  CLI11_PARSE(app, argc, argv);
  const int run_ms = static_cast<int>(common.timeout_s * 1000);

  std::string why;
  if (!Apply_Common_Options(common, &why)) return Fail(why);
  Scratch scratch;
  if (!scratch.Create(common, "small-files", &why)) return Fail(why);
  const int port = Free_Tcp_Port();
  if (port < 0) return Fail("no free TCP port");
  ServerConfig config;
  config.port = static_cast<std::uint16_t>(port);
  config.max_write = block;
  Server server;
  if (!server.Start(common.tarnel, scratch.Root() / "server", config, 15000, &why)) return Fail(why);
  const fs::path pc_dir = server.Work_Dir() / "small";
  const fs::path ht_disk = scratch.Root() / "ht";
  // The source files; with --send the PC holds older copies that the
  // received files replace.
  for (int i = 0; i < files; ++i) {
    if (!Make_File((send ? ht_disk / "small" : pc_dir) / File_Name(i), size, static_cast<std::uint32_t>(100 + i), &why))
      return Fail(why);
    if (send && !Make_File(pc_dir / File_Name(i), size, 7, &why)) return Fail(why);
  }
  std::string send_step = "send -o";
  for (int i = 0; i < files; ++i) send_step += " small\\" + File_Name(i) + " small\\" + File_Name(i);

  std::vector<Exchange> script;
  const std::size_t name_chars = std::string("small\\").size() + File_Name(0).size();
  for (int i = 0; i < files; ++i) Add_File(&script, !send, size, block, name_chars);

  std::cout << "small-files: " << files << " files of " << size << (send ? " bytes HT->PC in one send" : " bytes PC->HT in one fetch")
            << ", best of "
            << common.repeat << " runs" << std::endl;
  double best = 0, best_base = 0;
  double first_part = 0, last_part = 0;  // of the best run
  const std::size_t part = static_cast<std::size_t>(std::max(1, files / 10));
  for (int r = 0; r < common.repeat; ++r) {
    const BaselineResult b = Run_Baseline(common.peer, script, 1, run_ms);
    if (!b.ok) return Fail("baseline: " + b.why);
    if (r == 0 || b.seconds < best_base) best_base = b.seconds;

    std::error_code ec;
    if (!send) fs::remove_all(ht_disk, ec);
    HtsimSpec spec;
    spec.port = config.port;
    spec.disk = ht_disk;
    spec.steps = {send ? send_step : std::string("fetch small\\*.dat")};
    spec.extra = {"--block", std::to_string(block)};
    spec.timeout_s = common.timeout_s;
    Child c;
    if (!Start_Htsim(common.htsim, spec, &c, &why)) return Fail(why);
    const bool ended = Wait_All({&c}, run_ms + 10000);
    if (!ended || c.Exit_Code() != 0)
      return Fail(std::string("htsim ") + (ended ? "ended with exit " + std::to_string(c.Exit_Code()) : "did not end in time") +
                  "; its last lines:\n" + Tail(c, 8) +
                  (server.Alive() ? "" : "the server has ended; its output:\n" + server.Log_Tail(12)));
    const char* const from = send ? "ht announce" : "ht fetch";
    const char* const to = send ? "ht send" : "ht recv";
    const std::size_t got = Count_Lines(c, to);
    if (got != static_cast<std::size_t>(files))
      return Fail(std::string("htsim ") + (send ? "sent " : "received ") + std::to_string(got) + " of " +
                  std::to_string(files) + " files");
    double s = 0;
    if (!Seconds_Between(c, from, to, got, &s, &why)) return Fail(why);
    for (int i = 0; i < files; ++i)
      if (!Same_Files(pc_dir / File_Name(i), ht_disk / "small" / File_Name(i), &why)) return Fail(why);
    if (r == 0 || s < best) {
      best = s;
      // The first and the last tenth of the files: equal when the cost per
      // file does not grow with the number of files already moved.
      Seconds_Between(c, from, to, part, &first_part, &why);
      const OutputLine* a = Find_Line(c, to, got - part);
      const OutputLine* z = Find_Line(c, to, got);
      last_part = a != nullptr && z != nullptr && got > part ? Seconds(a->at, z->at) : 0;
    }
  }
  server.Stop();
  const double real = files / best, base = files / best_base;
  std::cout << "tarnel " << Fixed(real, 1) << " files/s (" << Fixed(best * 1000, 1) << " ms), baseline "
            << Fixed(base, 1) << " files/s (" << Fixed(best_base * 1000, 1) << " ms), ratio "
            << Fixed(real / base, 2) << std::endl;
  std::cout << "first " << part << " files " << Fixed(first_part * 1000, 1) << " ms, last " << part
            << " files " << Fixed(last_part * 1000, 1) << " ms" << std::endl;
  std::cout << "files_per_second " << Fixed(real, 1) << std::endl;
  return 0;
}
