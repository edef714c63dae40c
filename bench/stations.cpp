// stations: many htsim stations at once, each fetching a file of its own,
// from the loopback source addresses 127.0.0.2, .3, ... (unlisted, so the
// server numbers them; --use-ip lists them in [USE_IP] instead). The
// stations connect as they start and begin their fetch at one common moment
// (unless --stagger spaces them). One row per
// number of stations (default 1, 16, 64 and 255), each with a fresh server:
// whether all completed, the aggregate rate from the first announcement to
// the last file, the same for the baseline pair with as many connections
// (and the ratio of the two), the server's peak memory (VmHWM) and its
// threads at the most, and the peak memory per active station beyond the
// server's start-up figure.
// Last line: the ratio of the row with the most stations.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
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

struct RowOptions {
  CommonOptions common;
  std::uint64_t mib = 1;
  std::size_t block = 2032;
  bool use_ip = false;
  int stagger_ms = 0;
};

struct Row {
  int stations = 0;
  int complete = 0;
  double base_mb_s = 0;
  double mb_s = 0;
  double median_own = 0, lowest_own = 0;
  long start_kib = 0, peak_kib = 0, threads = 0;
  std::string failure;  // empty when all completed
};

// One row: the baseline pair with `stations` connections, then a fresh
// server with as many htsim stations. false with *why when the row could
// not be measured at all (a failed station is a result, in row.failure).
bool Run_Row(const RowOptions& o, int stations, Scratch& scratch, Row* row, std::string* why) {
  const std::uint64_t bytes = o.mib << 20;
  const int run_ms = static_cast<int>(o.common.timeout_s * 1000);
  row->stations = stations;

  std::vector<Exchange> script;
  Add_File(&script, true, bytes, std::min<std::size_t>(o.block, 64998), File_Name(0).size() + 2);
  const BaselineResult b = Run_Baseline(o.common.peer, script, stations, run_ms);
  if (!b.ok) {
    *why = "baseline with " + std::to_string(stations) + " pairs: " + b.why;
    return false;
  }
  row->base_mb_s = Mb_Per_S(bytes * static_cast<std::uint64_t>(stations), b.seconds);

  const int port = Free_Tcp_Port();
  if (port < 0) {
    *why = "no free TCP port";
    return false;
  }
  ServerConfig config;
  config.port = static_cast<std::uint16_t>(port);
  config.max_write = o.block;
  config.max_io = 255;
  if (o.use_ip)
    for (int i = 0; i < stations; ++i) config.use_ip.push_back(Loopback_Source(i));
  const fs::path dir = scratch.Root() / ("n" + std::to_string(stations));
  Server server;
  if (!server.Start(o.common.tarnel, dir / "server", config, 15000, why)) return false;
  for (int i = 0; i < stations; ++i)
    if (!Make_File(server.Work_Dir() / File_Name(i), bytes, static_cast<std::uint32_t>(1000 + i), why)) return false;
  row->start_kib = server.Peak_Memory_KiB();
  row->threads = Thread_Count(server.Pid());

  std::vector<std::unique_ptr<Child>> children;
  std::vector<Child*> all;
  // Starting hundreds of programs takes a while; so that the stations do
  // fetch at once, each connects and then waits until a common moment,
  // allowing a generous start-up time per station (unless staggered).
  const Clock::time_point go = Clock::now() + std::chrono::milliseconds(o.stagger_ms > 0 ? 0 : 500 + 20 * stations);
  for (int i = 0; i < stations; ++i) {
    HtsimSpec spec;
    spec.port = config.port;
    spec.source = Loopback_Source(i);
    spec.disk = dir / ("ht" + std::to_string(i + 1));
    spec.steps = {"fetch " + File_Name(i)};
    const auto wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(go - Clock::now()).count();
    if (wait_ms > 0) spec.steps.insert(spec.steps.begin(), "sleep " + std::to_string(wait_ms));
    spec.extra = {"--block", std::to_string(std::min<std::size_t>(o.block, 64998))};
    spec.timeout_s = o.common.timeout_s;
    spec.times = true;
    children.push_back(std::make_unique<Child>());
    if (!Start_Htsim(o.common.htsim, spec, children.back().get(), why)) return false;
    all.push_back(children.back().get());
    const Clock::time_point next = Clock::now() + std::chrono::milliseconds(o.stagger_ms);
    while (o.stagger_ms > 0 && Clock::now() < next)
      Pump_Output(all, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count()) + 1);
  }
  // Until every station has ended, looking at the server's threads meanwhile.
  const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(run_ms + 10000);
  for (;;) {
    Pump_Output(all, 50);
    row->threads = std::max(row->threads, Thread_Count(server.Pid()));
    bool ended = true;
    for (Child* c : all)
      if (c->Output_Open() || !c->Poll_Exit()) ended = false;
    if (ended || Clock::now() >= limit) break;
  }
  for (Child* c : all)
    if (c->Running()) c->Stop(1000);
  row->peak_kib = server.Peak_Memory_KiB();
  const bool server_alive = server.Alive();

  Clock::time_point first_start = Clock::time_point::max(), last_end = Clock::time_point::min();
  std::vector<double> own_rates;
  for (int i = 0; i < stations; ++i) {
    const Child& c = *children[static_cast<std::size_t>(i)];
    const OutputLine* start = Find_Line(c, "ht fetch");
    const OutputLine* end = Find_Line(c, "ht recv");
    std::string bad;
    if (c.Exit_Code() != 0 || start == nullptr || end == nullptr) {
      bad = "station " + Loopback_Source(i) + ": htsim exit " + std::to_string(c.Exit_Code()) +
            "; its last lines:\n" + Tail(c, 6);
    } else if (!Same_Files(server.Work_Dir() / File_Name(i), dir / ("ht" + std::to_string(i + 1)) / File_Name(i),
                           &bad)) {
      bad = "station " + Loopback_Source(i) + ": " + bad;
    }
    if (!bad.empty()) {
      if (row->failure.empty()) row->failure = bad;
      continue;
    }
    ++row->complete;
    own_rates.push_back(Mb_Per_S(bytes, Seconds(start->at, end->at)));
    first_start = std::min(first_start, start->at);
    last_end = std::max(last_end, end->at);
  }
  if (!row->failure.empty() && !server_alive)
    row->failure += "the server has ended; its output:\n" + server.Log_Tail(12);
  server.Stop();
  if (!own_rates.empty()) {
    std::sort(own_rates.begin(), own_rates.end());
    row->median_own = own_rates[own_rates.size() / 2];
    row->lowest_own = own_rates.front();
    row->mb_s = Mb_Per_S(bytes * static_cast<std::uint64_t>(row->complete), Seconds(first_start, last_end));
  }
  // The stations' folders go: 255 copies of the file add up.
  std::error_code ec;
  fs::remove_all(dir, ec);
  return true;
}

bool Parse_Counts(const std::string& text, std::vector<int>* out) {
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    char* end = nullptr;
    const long n = std::strtol(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0' || n < 1 || n > 255) return false;
    out->push_back(static_cast<int>(n));
  }
  return !out->empty();
}
}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"stations: many HTs fetching at once through tarnel, against as many baseline pairs"};
  RowOptions o;
  // A healthy run takes seconds; a station the server never greets waits
  // for this long.
  o.common.timeout_s = 120;
  // Many stations at once use every CPU there is.
  o.common.cpu = -1;
  Add_Common_Options(app, &o.common);
  std::string counts = "1,16,64,255";
  app.add_option("--stations", counts, "numbers of stations, one row each (1 to 255, comma-separated)")
      ->capture_default_str();
  app.add_option("--mib", o.mib, "MiB per station")->capture_default_str()->check(CLI::Range(1, 1000));
  app.add_option("--block", o.block, "MAX_WRITE_SIZE")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{65000}));
  app.add_flag("--use-ip", o.use_ip, "list the stations' addresses in [USE_IP]");
  app.add_option("--stagger", o.stagger_ms, "ms between the stations' starts (0: all at once)")
      ->capture_default_str()
      ->check(CLI::Range(0, 10000));
  CLI11_PARSE(app, argc, argv);
  std::vector<int> rows;
  if (!Parse_Counts(counts, &rows)) return Fail("--stations wants numbers 1 to 255 separated by commas: " + counts);

  std::string why;
  if (!Apply_Common_Options(o.common, &why)) return Fail(why);
  Scratch scratch;
  if (!scratch.Create(o.common, "stations", &why)) return Fail(why);

  std::cout << "stations: " << o.mib << " MiB each PC->HT, block " << o.block << ", "
            << (o.stagger_ms > 0 ? "started " + std::to_string(o.stagger_ms) + " ms apart" : std::string("all at once"))
            << ", " << (o.use_ip ? "listed in [USE_IP]" : "unlisted") << ", MB = 10^6 bytes, memory in MiB"
            << std::endl;
  std::cout << "stations complete  tarnel_MB/s  baseline_MB/s  ratio  own_median/lowest_MB/s  VmHWM  start  "
               "per_station  threads"
            << std::endl;
  double last_ratio = 0;
  std::string failures;
  for (int n : rows) {
    Row r;
    if (!Run_Row(o, n, scratch, &r, &why)) return Fail(why);
    const double ratio = r.base_mb_s > 0 ? r.mb_s / r.base_mb_s : 0;
    const double per_station_mib = (r.peak_kib - r.start_kib) / 1024.0 / n;
    std::printf("%8d %8d %12.1f %14.1f %6.2f %11.1f/%-11.1f %6.1f %6.1f %12.3f %8ld\n", n, r.complete, r.mb_s,
                r.base_mb_s, ratio, r.median_own, r.lowest_own, r.peak_kib / 1024.0, r.start_kib / 1024.0,
                per_station_mib, r.threads);
    std::fflush(stdout);
    if (!r.failure.empty() && failures.empty())
      failures = std::to_string(n - r.complete) + " of " + std::to_string(n) + " stations did not complete; first: " +
                 r.failure;
    last_ratio = ratio;
  }
  if (!failures.empty()) return Fail(failures);
  std::cout << "ratio " << Fixed(last_ratio, 2) << std::endl;
  return 0;
}
