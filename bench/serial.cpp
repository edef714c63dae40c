// serial: one file PC->HT and one HT->PC over the simulated RS-232C line,
// paced at 115200 baud 8N1 (10 bits a character: 11520 bytes/s on the
// wire). The engine's session loop runs in one-shot mode on the real serial
// driver against htsim's session code on the cable's other end, all in this
// process (the simulated line exists only inside one). A transfer is timed
// from htsim's reports: from `pc announce` to `pc recv` (PC->HT) and from
// `pc fetch` to `pc send` (HT->PC, the PC has answered the last block).
// Prints the payload rate of each direction as a ratio of 11520 bytes/s, the
// line's own rate measured in the same run, and as last line the lower
// ratio.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "bench/harness.h"
#include "channel/mux32.h"
#include "engine/rox32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/serial.h"
#include "platform/serial_sim.h"
#include "platform/window.h"
#include "tools/htsim/disk.h"
#include "tools/htsim/serial_link.h"
#include "tools/htsim/session.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kLineBytesPerSecond = 115200.0 / 10.0;
constexpr int kLineHt = 1;
constexpr const char* kDevice = "sim:bench-serial";

// htsim's report lines, each with the moment it was complete.
class StampedLines : public std::streambuf {
 public:
  struct Line {
    Clock::time_point at;
    std::string text;
  };
  std::vector<Line> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Line> out;
    out.swap(lines_);
    return out;
  }

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    std::lock_guard<std::mutex> lock(mutex_);
    if (c == '\n') {
      lines_.push_back({Clock::now(), current_});
      current_.clear();
    } else {
      current_.push_back(static_cast<char>(c));
    }
    return c;
  }

 private:
  std::mutex mutex_;
  std::string current_;
  std::vector<Line> lines_;
};

class Quiet : public platform::MessageTarget {
 public:
  void Handle(const platform::Message&) override {}
};

void Set_Text(char (&field)[1024], const std::string& s) {
  std::memset(field, 0, sizeof field);
  s.copy(field, sizeof field - 1);
}

std::string Pc_Path(const fs::path& p) {
  std::string s = "C:" + p.string();
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

bool Write_Random(const fs::path& p, std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  std::ofstream out(p, std::ios::binary);
  out << s;
  return static_cast<bool>(out);
}

bool Same_Files(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  if (!x || !y) return false;
  return std::string(std::istreambuf_iterator<char>(x), {}) == std::string(std::istreambuf_iterator<char>(y), {});
}

struct Outcome {
  bool ok = false;
  double seconds = 0;
  std::string why;
};

// One one-shot session with the operator's line `command`; times the
// transfer between the first report starting with `from` and the first
// starting with `to`.
Outcome Run_Session(platform::SerialPort& ht_port, const htsim::HtDisk& disk, const std::string& command,
                    const std::string& from, const std::string& to, double timeout_s) {
  Outcome o;
  Write_Command_Buffer(kLineHt, command.c_str());
  StampedLines lines;
  std::ostream out(&lines);
  const auto limit = std::chrono::milliseconds(static_cast<long long>(timeout_s * 1000));
  std::atomic<bool> ht_done{false}, pc_done{false};
  int ht_code = -1;
  short pc_code = 0;
  std::thread ht([&] {
    htsim::SerialLink link(ht_port);
    const std::uint64_t deadline = platform::Monotonic_Ms() + static_cast<std::uint64_t>(timeout_s * 1000);
    htsim::Session session(link, &disk, out, htsim::SessionOptions{}, deadline);
    ht_code = session.Run();
    ht_done = true;
  });
  std::thread pc([&] {
    RS232_ROX engine;
    pc_code = engine.ROX_Start(kLineHt);
    pc_done = true;
  });
  const auto end = Clock::now() + limit;
  while (!(ht_done && pc_done) && Clock::now() < end) {
    platform::Pump_Messages();
    platform::Wait_Message(20);
  }
  if (!(ht_done && pc_done)) Set_Abort_From_GUI(kLineHt, std::int32_t{1});
  while (!(ht_done && pc_done)) {
    platform::Pump_Messages();
    platform::Wait_Message(20);
  }
  ht.join();
  pc.join();
  platform::Pump_Messages();
  const std::vector<StampedLines::Line> seen = lines.Take();
  const StampedLines::Line* a = nullptr;
  const StampedLines::Line* b = nullptr;
  for (const auto& l : seen) {
    if (!a && l.text.rfind(from, 0) == 0) a = &l;
    if (a && !b && l.text.rfind(to, 0) == 0) b = &l;
  }
  if (ht_code != htsim::kExitOk || pc_code != E_PC_END || !a || !b) {
    o.why = "session ended with htsim " + std::to_string(ht_code) + ", engine " + std::to_string(pc_code);
    for (const auto& l : seen) o.why += "\n  ht | " + l.text;
    return o;
  }
  o.ok = true;
  o.seconds = std::chrono::duration<double>(b->at - a->at).count();
  return o;
}

// The simulated line's own rate in this run: n bytes written at one end and
// read at the other, as fast as the line carries them.
double Raw_Line_Rate(std::size_t n) {
  auto line = platform::NullModem::Create(true);
  auto x = line->Open_End(0);
  auto y = line->Open_End(1);
  platform::SerialConfig cfg;
  cfg.baud = 115200;
  cfg.rts_cts = false;
  x->Configure(cfg);
  y->Configure(cfg);
  x->Set_Lines(platform::kLineDtr | platform::kLineRts, 0);
  y->Set_Lines(platform::kLineDtr | platform::kLineRts, 0);
  std::vector<unsigned char> out(n, 0x55), in(8192);
  const auto t0 = Clock::now();
  std::size_t written = 0, read = 0;
  while (read < n && Clock::now() - t0 < std::chrono::seconds(120)) {
    if (written < n) {
      long w = x->Write(out.data() + written, n - written);
      if (w > 0) written += static_cast<std::size_t>(w);
    }
    long r = y->Read(in.data(), in.size());
    if (r > 0) {
      read += static_cast<std::size_t>(r);
      continue;
    }
    y->Wait(platform::kSerialReadable | platform::kSerialWritable, 0, 0, 50);
  }
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  return s > 0 ? static_cast<double>(read) / s : 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"serial: one file each way over the simulated RS-232C line at 115200 baud 8N1"};
  std::size_t kib = 1024;
  std::size_t raw_kib = 64;
  double timeout_s = 600;
  bool keep = false;
  app.add_option("--kib", kib, "size of each file in KiB")->capture_default_str()->check(CLI::Range(1, 65536));
  app.add_option("--raw-kib", raw_kib, "KiB for the line's own rate")->capture_default_str()->check(CLI::Range(1, 65536));
  app.add_option("--timeout", timeout_s, "limit of each session in seconds")->capture_default_str();
  app.add_flag("--keep", keep, "keep the scratch folder");
  CLI11_PARSE(app, argc, argv);

  bench::CommonOptions common;
  common.keep = keep;
  if (const char* t = std::getenv("TMPDIR")) common.scratch_parent = t;
  if (common.scratch_parent.empty()) common.scratch_parent = "/tmp";
  bench::Scratch scratch;
  std::string why;
  if (!scratch.Create(common, "serial", &why)) return bench::Fail(why);
  const fs::path root = scratch.Root();
  std::error_code ec;
  fs::create_directories(root / "pc" / "in", ec);
  fs::create_directories(root / "disk", ec);
  {
    std::ofstream ini(root / "device.ini", std::ios::binary);
    ini << "IF=RS232C\r\n[RS232C]\r\nPort=COM1\r\nBaud=115200\r\nParity=NONE\r\nStop=1\r\nData=8\r\n";
  }
  const std::size_t bytes = kib * 1024;
  if (!Write_Random(root / "pc" / "TO_HT.BIN", bytes, 1) || !Write_Random(root / "disk" / "FROM_HT.BIN", bytes, 2))
    return bench::Fail("cannot write the test files under " + root.string());

  static InstanceHandle handle{};
  std::snprintf(handle.module_path, sizeof handle.module_path, "%s", (root / "tarnel").string().c_str());
  Instance_Handle = &handle;
  Set_Text(DefWorkFile, (root / "pc").string() + "\\");
  Set_Text(DefErrorFile, (root / "error.log").string());
  Quiet window;
  HandleForROXToMainWindow = &window;
  platform::Store(OneShotMode, std::int32_t{1});
  platform::Set_Message_Box_Handler([](const std::string&, const std::string&, unsigned) { return platform::IDOK; });

  auto line = platform::NullModem::Create(true);
  platform::Serial_Register_Simulated(kDevice, line, 0);
  ::setenv("TARNEL_COM1", kDevice, 1);
  std::unique_ptr<platform::SerialPort> ht_port = line->Open_End(1);
  platform::SerialConfig cfg;
  cfg.baud = 115200;
  ht_port->Configure(cfg);
  htsim::HtDisk disk(root / "disk");

  std::printf("line 115200 baud 8N1: %.0f bytes/s nominal; file %zu bytes each way\n", kLineBytesPerSecond, bytes);
  const double raw = Raw_Line_Rate(raw_kib * 1024);
  std::printf("simulated line, raw %zu KiB one way: %.0f bytes/s (ratio %.3f)\n", raw_kib, raw,
              raw / kLineBytesPerSecond);
  std::fflush(stdout);

  const Outcome down = Run_Session(*ht_port, disk, "/S " + Pc_Path(root / "pc" / "TO_HT.BIN") + " A:\\",
                                   "pc announce", "pc recv", timeout_s);
  if (!down.ok) return bench::Fail("PC->HT: " + down.why);
  if (!Same_Files(root / "pc" / "TO_HT.BIN", root / "disk" / "TO_HT.BIN"))
    return bench::Fail("PC->HT: the HT's copy differs");
  const double down_ratio = static_cast<double>(bytes) / down.seconds / kLineBytesPerSecond;
  std::printf("PC->HT %zu bytes in %.2f s: %.0f bytes/s, ratio %.3f\n", bytes, down.seconds,
              static_cast<double>(bytes) / down.seconds, down_ratio);
  std::fflush(stdout);

  const Outcome up = Run_Session(*ht_port, disk, "/R \\FROM_HT.BIN " + Pc_Path(root / "pc" / "in"),
                                 "pc fetch", "pc send", timeout_s);
  if (!up.ok) return bench::Fail("HT->PC: " + up.why);
  if (!Same_Files(root / "disk" / "FROM_HT.BIN", root / "pc" / "in" / "FROM_HT.BIN"))
    return bench::Fail("HT->PC: the PC's copy differs");
  const double up_ratio = static_cast<double>(bytes) / up.seconds / kLineBytesPerSecond;
  std::printf("HT->PC %zu bytes in %.2f s: %.0f bytes/s, ratio %.3f\n", bytes, up.seconds,
              static_cast<double>(bytes) / up.seconds, up_ratio);

  ht_port.reset();
  platform::Serial_Unregister_Simulated(kDevice);
  HandleForROXToMainWindow = nullptr;
  if (raw > 0)
    std::printf("against the simulated line's own rate: PC->HT %.3f, HT->PC %.3f\n",
                static_cast<double>(bytes) / down.seconds / raw, static_cast<double>(bytes) / up.seconds / raw);
  std::printf("ratio %.3f\n", std::min(down_ratio, up_ratio));
  return 0;
}
