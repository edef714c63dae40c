// stations: many htsim stations at once, each fetching a file of its own,
// from the source addresses 127.0.0.2, .3, ... (unlisted, so the server
// numbers them; --use-ip lists them in [USE_IP] instead). Reports whether all
// completed, the aggregate rate from the first announcement to the last
// file, the same for the baseline pair with as many connections, and the
// server's peak memory (VmHWM).
// Last line: the aggregate MB/s through tarnel and htsim.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench/baseline.h"
#include "bench/harness.h"

namespace {
using namespace bench;

std::string File_Name(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "s%03d.bin", i + 1);
  return buf;
}
}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"stations: many HTs fetching at once through tarnel, against the baseline pair"};
  CommonOptions common;
  // A healthy run takes seconds; a station the server never greets waits
  // for this long.
  common.timeout_s = 60;
  // Many stations at once use every CPU there is.
  common.cpu = -1;
  Add_Common_Options(app, &common);
  int stations = 64;
  std::uint64_t mib = 4;
  std::size_t block = 2032;
  bool use_ip = false;
  int stagger_ms = 0;
  app.add_option("--stations", stations, "number of stations")
      ->capture_default_str()
      ->check(CLI::Range(1, 250));
  app.add_option("--mib", mib, "MiB per station")->capture_default_str()->check(CLI::Range(1, 1000));
  app.add_option("--block", block, "MAX_WRITE_SIZE")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{65000}));
  app.add_flag("--use-ip", use_ip, "list the stations' addresses in [USE_IP]");
  app.add_option("--stagger", stagger_ms, "ms between the stations' starts (0: all at once)")
      ->capture_default_str()
      ->check(CLI::Range(0, 10000));
  CLI11_PARSE(app, argc, argv);
  const std::uint64_t bytes = mib << 20;
  const int run_ms = static_cast<int>(common.timeout_s * 1000);
  auto source = [](int i) { return "127.0.0." + std::to_string(2 + i); };

  std::string why;
  if (!Apply_Common_Options(common, &why)) return Fail(why);
  Scratch scratch;
  if (!scratch.Create(common, "stations", &why)) return Fail(why);
  const int port = Free_Tcp_Port();
  if (port < 0) return Fail("no free TCP port");
  ServerConfig config;
  config.port = static_cast<std::uint16_t>(port);
  config.max_write = block;
  config.max_io = std::max(100, stations);
  if (use_ip)
    for (int i = 0; i < stations; ++i) config.use_ip.push_back(source(i));

  std::cout << "stations: " << stations << " stations "
            << (stagger_ms > 0 ? "started " + std::to_string(stagger_ms) + " ms apart" : std::string("at once"))
            << ", " << mib << " MiB each PC->HT, block "
            << block << ", " << (use_ip ? "listed in [USE_IP]" : "unlisted") << ", MB = 10^6 bytes"
            << std::endl;

  std::vector<Exchange> script;
  Add_File(&script, true, bytes, std::min<std::size_t>(block, 64998), File_Name(0).size() + 2);
  const BaselineResult b = Run_Baseline(common.peer, script, stations, run_ms);
  if (!b.ok) return Fail("baseline: " + b.why);
  const double base = Mb_Per_S(bytes * static_cast<std::uint64_t>(stations), b.seconds);
  std::cout << "baseline: " << Fixed(base, 1) << " MB/s aggregate (" << Fixed(b.seconds, 2) << " s)" << std::endl;

  Server server;
  if (!server.Start(common.tarnel, scratch.Root() / "server", config, 15000, &why)) return Fail(why);
  for (int i = 0; i < stations; ++i)
    if (!Make_File(server.Work_Dir() / File_Name(i), bytes, static_cast<std::uint32_t>(1000 + i), &why))
      return Fail(why);
  const long idle_kib = server.Peak_Memory_KiB();

  std::vector<std::unique_ptr<Child>> children;
  std::vector<Child*> all;
  const Clock::time_point spawned = Clock::now();
  for (int i = 0; i < stations; ++i) {
    HtsimSpec spec;
    spec.port = config.port;
    spec.source = source(i);
    spec.disk = scratch.Root() / ("ht" + std::to_string(i + 1));
    spec.steps = {"fetch " + File_Name(i)};
    spec.extra = {"--block", std::to_string(std::min<std::size_t>(block, 64998))};
    spec.timeout_s = common.timeout_s;
    children.push_back(std::make_unique<Child>());
    if (!Start_Htsim(common.htsim, spec, children.back().get(), &why)) return Fail(why);
    all.push_back(children.back().get());
    // Spacing the starts: the output of the running ones is read meanwhile.
    const Clock::time_point next = Clock::now() + std::chrono::milliseconds(stagger_ms);
    while (stagger_ms > 0 && Clock::now() < next)
      Pump_Output(all, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count()) + 1);
  }
  const bool in_time = Wait_All(all, run_ms + 10000);
  const Clock::time_point ended = Clock::now();
  const long peak_kib = server.Peak_Memory_KiB();
  const bool server_alive = server.Alive();

  int complete = 0;
  std::string first_failure;
  Clock::time_point first_start = Clock::time_point::max(), last_end = Clock::time_point::min();
  std::vector<double> own_rates;  // each station's own rate, announcement to file
  for (int i = 0; i < stations; ++i) {
    const Child& c = *children[static_cast<std::size_t>(i)];
    const OutputLine* start = Find_Line(c, "ht fetch");
    const OutputLine* end = Find_Line(c, "ht recv");
    std::string bad;
    if (c.Exit_Code() != 0 || start == nullptr || end == nullptr) {
      bad = "station " + source(i) + ": htsim exit " + std::to_string(c.Exit_Code()) + "; its last lines:\n" +
            Tail(c, 6);
    } else if (!Same_Files(server.Work_Dir() / File_Name(i), scratch.Root() / ("ht" + std::to_string(i + 1)) / File_Name(i),
                           &bad)) {
      bad = "station " + source(i) + ": " + bad;
    }
    if (!bad.empty()) {
      if (first_failure.empty()) first_failure = bad;
      continue;
    }
    ++complete;
    own_rates.push_back(Mb_Per_S(bytes, Seconds(start->at, end->at)));
    first_start = std::min(first_start, start->at);
    last_end = std::max(last_end, end->at);
  }
  server.Stop();

  std::cout << "complete " << complete << " of " << stations << (in_time ? "" : " (time limit reached)")
            << std::endl;
  std::cout << "wall time from start to the last station's end " << Fixed(Seconds(spawned, ended), 2) << " s"
            << std::endl;
  std::cout << "server peak memory (VmHWM) " << Fixed(peak_kib / 1024.0, 1) << " MiB (after start-up "
            << Fixed(idle_kib / 1024.0, 1) << " MiB)" << std::endl;
  if (complete != stations) {
    if (!server_alive) first_failure += "the server has ended; its output:\n" + server.Log_Tail(12);
    return Fail(std::to_string(stations - complete) + " stations did not complete; first: " + first_failure);
  }
  std::sort(own_rates.begin(), own_rates.end());
  std::cout << "one station's own rate: median " << Fixed(own_rates[own_rates.size() / 2], 1) << " MB/s, lowest "
            << Fixed(own_rates.front(), 1) << " MB/s" << std::endl;
  const double span = Seconds(first_start, last_end);
  const double real = Mb_Per_S(bytes * static_cast<std::uint64_t>(stations), span);
  std::cout << "tarnel: " << Fixed(real, 1) << " MB/s aggregate (" << Fixed(span, 2)
            << " s from the first announcement to the last file), ratio " << Fixed(real / base, 2)
            << std::endl;
  std::cout << "aggregate_mb_s " << Fixed(real, 1) << std::endl;
  return 0;
}
