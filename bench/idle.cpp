// idle: many htsim stations connected and idle in the PC-driven state (each
// has sent its idle notice and waits for the PC's commands, which never
// come). Measures the server's CPU share over a window with nothing to do:
// an idle station should cost nothing. The baseline in the same run is the
// server with no station at all.
// Last line: idle_cpu_percent X (percent of one core, with the stations).
#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/harness.h"

namespace {
using namespace bench;

// The server's CPU share in percent of one core over window_s.
double Cpu_Percent(const Server& server, double window_s) {
  const double before = Cpu_Seconds(server.Pid());
  const Clock::time_point from = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(window_s * 1000)));
  const double after = Cpu_Seconds(server.Pid());
  const double span = Seconds(from, Clock::now());
  if (before < 0 || after < 0 || span <= 0) return -1;
  return 100.0 * (after - before) / span;
}
}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"idle: the server's CPU share while many stations idle in the PC-driven state"};
  CommonOptions common;
  common.timeout_s = 120;
  common.cpu = -1;
  Add_Common_Options(app, &common);
  int stations = 255;
  double window_s = 10;
  int command_timeout = 0;
  app.add_option("--stations", stations, "number of idle stations")->capture_default_str()->check(CLI::Range(1, 255));
  app.add_option("--window", window_s, "seconds over which the CPU share is measured")
      ->capture_default_str()
      ->check(CLI::Range(1.0, 60.0));
  app.add_option("--command-timeout", command_timeout, "[MODE] COMMAND_TIMEOUT of the server (0: none)")
      ->capture_default_str()
      ->check(CLI::Range(0, 3600));
  CLI11_PARSE(app, argc, argv);

  std::string why;
  if (!Apply_Common_Options(common, &why)) return Fail(why);
  // The stations must outlive the measurement.
  const double needed_s = 2 * window_s + 30 + command_timeout;
  if (common.timeout_s < needed_s) common.timeout_s = needed_s;
  Scratch scratch;
  if (!scratch.Create(common, "idle", &why)) return Fail(why);
  const int port = Free_Tcp_Port();
  if (port < 0) return Fail("no free TCP port");
  ServerConfig config;
  config.port = static_cast<std::uint16_t>(port);
  config.max_io = 255;
  config.command_timeout_s = command_timeout;

  std::cout << "idle: " << stations << " stations idle in the PC-driven state, COMMAND_TIMEOUT=" << command_timeout
            << ", CPU share over " << Fixed(window_s, 0) << " s in percent of one core" << std::endl;

  Server server;
  if (!server.Start(common.tarnel, scratch.Root() / "server", config, 15000, &why)) return Fail(why);
  // Let the start-up settle, then the server alone.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double alone = Cpu_Percent(server, window_s);
  std::cout << "server without stations: " << Fixed(alone, 3) << " %" << std::endl;

  std::vector<std::unique_ptr<Child>> children;
  std::vector<Child*> all;
  for (int i = 0; i < stations; ++i) {
    HtsimSpec spec;
    spec.port = config.port;
    spec.source = Loopback_Source(i);
    spec.disk = scratch.Root() / ("ht" + std::to_string(i + 1));
    spec.steps = {"idle"};
    spec.timeout_s = common.timeout_s;
    children.push_back(std::make_unique<Child>());
    if (!Start_Htsim(common.htsim, spec, children.back().get(), &why)) return Fail(why);
    all.push_back(children.back().get());
  }
  // Every station has sent its idle notice.
  const Clock::time_point limit = Clock::now() + std::chrono::seconds(60);
  int idle = 0;
  while (Clock::now() < limit) {
    Pump_Output(all, 100);
    idle = 0;
    for (Child* c : all)
      if (Find_Line(*c, "ht idle") != nullptr) ++idle;
    if (idle == stations) break;
    bool ended = false;
    for (Child* c : all) ended = ended || !c->Output_Open();
    if (ended) break;
  }
  if (idle != stations) {
    std::string first;
    for (Child* c : all)
      if (Find_Line(*c, "ht idle") == nullptr) {
        first = Tail(*c, 6);
        break;
      }
    return Fail(std::to_string(stations - idle) + " stations did not go idle; first one's last lines:\n" + first);
  }
  // The engines reach their idle state a few milliseconds after the notice.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const long threads = Thread_Count(server.Pid());
  const double busy = Cpu_Percent(server, window_s);
  Pump_Output(all, 0);
  int still = 0;
  for (Child* c : all)
    if (c->Output_Open()) ++still;
  server.Stop();
  for (Child* c : all) c->Stop(2000);
  if (still != stations) return Fail(std::to_string(stations - still) + " stations ended during the measurement");
  if (busy < 0 || alone < 0) return Fail("cannot read the server's CPU time");
  std::cout << "server threads with the stations: " << threads << std::endl;
  std::cout << "server with " << stations << " idle stations: " << Fixed(busy, 3) << " % (goal below 0.5 %)"
            << std::endl;
  std::cout << "idle_cpu_percent " << Fixed(busy, 3) << std::endl;
  return 0;
}
