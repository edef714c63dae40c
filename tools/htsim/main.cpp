// htsim: a handheld terminal on TCP/IP, for trying out and testing a PC
// that runs tarnel without a terminal at hand.
#include <CLI/CLI.hpp>

#include <cmath>
#include <filesystem>
#include <system_error>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tools/htsim/disk.h"
#include "tools/htsim/link.h"
#include "tools/htsim/serial_link.h"
#include "platform/serial.h"
#include "tools/htsim/scsi_main.h"
#include "tools/htsim/session.h"
#include "tools/htsim/steps.h"

namespace {

const char* Result_Name(int code) {
  switch (code) {
    case htsim::kExitOk: return "ok";
    case htsim::kExitProtocol: return "protocol-error";
    case htsim::kExitUsage: return "usage-error";
    case htsim::kExitPcError: return "pc-error";
    case htsim::kExitTimeout: return "timeout";
    case htsim::kExitConnection: return "connection-error";
    case htsim::kExitRefused: return "refused";
    case htsim::kExitHtError: return "ht-error";
  }
  return "error";
}

int Finish(int code) {
  std::cout << "result " << Result_Name(code) << " exit=" << code << std::endl;
  return code;
}

constexpr const char* kFooter = R"(
Output: one line per exchange on standard output, words and key=value fields:
  link ...   connection, greeting, handshake, resends, close
  ht ...     a request the HT made and what the PC answered
  pc ...     a request the PC made and what the HT did
  pc end class=0x05 detail=0x04 code=75 "Command Timout Error"
  ht end ... the HT's own end indication
  error ...  what went wrong
  result NAME exit=N   always the last line
Exit codes:
  0 clean session          1 protocol error by the PC (frame, checksum, sequence)
  2 usage error            3 the PC ended the session with an error (code >= 29)
  4 time-out               5 no connection, or it broke or closed unexpectedly
  6 refused by the PC      7 the HT could not carry out a PC request
)";

}  // namespace

int main(int argc, char** argv) {
  if (htsim::Is_Scsi_Run(argc, argv)) return htsim::Run_Scsi(argc, argv);
  CLI::App app{
      "htsim plays a handheld terminal (HT) that connects to the PC over TCP/IP,\n"
      "with a folder as its disk: it either reports idle and carries out what the PC\n"
      "asks, or makes its own requests (--do steps)."};
  std::string host = "127.0.0.1";
  int port = 0;
  std::string source;
  std::string disk_dir;
  std::vector<std::string> dos;
  std::string steps_file;
  std::size_t block = 2032;
  std::size_t segment = 0;
  std::vector<unsigned> resend;
  double timeout = 30;
  std::string serial_device;
  bool pty = false;
  std::string pty_link;
  int baud = 9600;
  int sessions = 1;
  bool times = false;
  app.add_option("-p,--port", port, "the PC's TCP port (TCP/IP)")->check(CLI::Range(1, 65535));
  app.add_option("--serial", serial_device, "RS-232C: the serial device to the PC (e.g. /dev/ttyUSB0)");
  app.add_flag("--pty", pty, "RS-232C over a pseudo-terminal pair made here; its PC side is printed");
  app.add_option("--link", pty_link, "with --pty: a symbolic link to the PC side at this path");
  app.add_option("--baud", baud, "RS-232C line speed")->capture_default_str();
  app.add_option("--sessions", sessions, "RS-232C: sessions in a row on the line")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000));
  app.add_option("--host", host, "the PC's IPv4 address")->capture_default_str()->check(CLI::ValidIPV4);
  app.add_option("--source", source, "connect from this local address (e.g. 127.0.0.3)")
      ->check(CLI::ValidIPV4);
  app.add_option("--disk", disk_dir, "folder that stands for the HT's disk (every drive letter)")
      ->check(CLI::ExistingDirectory);
  app.add_option("--do", dos, "one step (repeatable; see Steps below)")->allow_extra_args(false);
  app.add_option("--steps", steps_file, "file of steps, one per line")->check(CLI::ExistingFile);
  app.add_option("--block", block, "content bytes per data block the HT sends")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, htsim::kMaxPacketData - 2));
  app.add_option("--segment", segment, "write every link frame in pieces of N bytes")
      ->check(CLI::Range(std::size_t{1}, std::size_t{65536}));
  app.add_option("--resend", resend, "answer the N-th PC data frame with a resend request (repeatable)")
      ->allow_extra_args(false)
      ->check(CLI::PositiveNumber);
  app.add_flag("--times", times, "end every report line with us=N, the monotonic clock in microseconds");
  app.add_option("--timeout", timeout, "seconds the whole run may take")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 86400.0));
  app.footer(std::string(htsim::Steps_Help()) + "\n" + kFooter);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int r = app.exit(e);
    return r == 0 ? 0 : htsim::kExitUsage;
  }

  const std::uint64_t deadline =
      platform::Monotonic_Ms() + static_cast<std::uint64_t>(std::llround(timeout * 1000));

  htsim::SessionOptions options;
  options.block_size = block;
  options.times = times;
  std::string why;
  for (const std::string& d : dos) {
    htsim::Step s;
    if (!htsim::Parse_Step(d, &s, &why)) {
      std::cout << "error step '" << d << "': " << why << std::endl;
      return Finish(htsim::kExitUsage);
    }
    options.steps.push_back(std::move(s));
  }
  if (!steps_file.empty()) {
    std::ifstream in(steps_file);
    if (!in || !htsim::Parse_Steps(in, &options.steps, &why)) {
      std::cout << "error " << steps_file << ": " << (in ? why : "cannot be read") << std::endl;
      return Finish(htsim::kExitUsage);
    }
  }
  if (!htsim::Check_Steps(options.steps, &why)) {
    std::cout << "error " << why << std::endl;
    return Finish(htsim::kExitUsage);
  }

  for (const htsim::Step& st : options.steps) {
    const bool needs_disk = st.kind == htsim::StepKind::kAppend ||
                            st.kind == htsim::StepKind::kSend || st.kind == htsim::StepKind::kFetch;
    if (needs_disk && disk_dir.empty()) {
      std::cout << "error step '" << st.text << "' needs --disk" << std::endl;
      return Finish(htsim::kExitUsage);
    }
  }

  std::unique_ptr<htsim::HtDisk> disk;
  if (!disk_dir.empty()) disk = std::make_unique<htsim::HtDisk>(disk_dir);

  if (pty || !serial_device.empty()) {
    std::unique_ptr<platform::SerialPort> line;
    if (pty) {
      char slave[256];
      if (platform::Pty_Open(&line, slave, sizeof slave) != platform::SERIAL_OK) {
        std::cout << "error cannot make a pseudo-terminal" << std::endl;
        return Finish(htsim::kExitConnection);
      }
      std::cout << "link pty " << slave << std::endl;
      if (!pty_link.empty()) {
        std::error_code ec;
        std::filesystem::remove(pty_link, ec);
        std::filesystem::create_symlink(slave, pty_link, ec);
        if (ec) {
          std::cout << "error cannot link " << pty_link << ": " << ec.message() << std::endl;
          return Finish(htsim::kExitUsage);
        }
        std::cout << "link path " << pty_link << std::endl;
      }
    } else {
      platform::SerialOpenFailure fail;
      if (platform::Serial_Open(serial_device.c_str(), &line, &fail) != platform::SERIAL_OK) {
        std::cout << "error " << fail.text << std::endl;
        return Finish(htsim::kExitConnection);
      }
      std::cout << "link serial " << serial_device << std::endl;
    }
    platform::SerialConfig cfg;
    cfg.baud = static_cast<std::uint32_t>(baud);
    if (line->Configure(cfg) != platform::SERIAL_OK) {
      std::cout << "error line settings refused (baud " << baud << ")" << std::endl;
      return Finish(htsim::kExitUsage);
    }
    htsim::SerialLink link(*line);
    int result = htsim::kExitOk;
    for (int i = 0; i < sessions && result == htsim::kExitOk; ++i) {
      htsim::SessionOptions o = options;
      o.session_number = static_cast<std::uint16_t>(i + 1);
      htsim::Session session(link, disk.get(), std::cout, std::move(o), deadline);
      result = session.Run();
    }
    if (!pty_link.empty()) {
      std::error_code ec;
      std::filesystem::remove(pty_link, ec);
    }
    return Finish(result);
  }
  if (port == 0) {
    std::cout << "error --port, --serial or --pty is needed" << std::endl;
    return Finish(htsim::kExitUsage);
  }

  const std::uint64_t now = platform::Monotonic_Ms();
  const int connect_ms = static_cast<int>(std::min<std::uint64_t>(deadline - now, 0x7FFFFFFF));
  int s = htsim::SocketTransport::Connect(host, static_cast<std::uint16_t>(port), source, connect_ms,
                                          &why);
  if (s < 0) {
    std::cout << "error connect " << host << ":" << port << ": " << why << std::endl;
    return Finish(platform::Monotonic_Ms() >= deadline ? htsim::kExitTimeout
                                                       : htsim::kExitConnection);
  }
  std::cout << "link connect " << host << ":" << port;
  if (!source.empty()) std::cout << " source=" << source;
  std::cout << std::endl;

  htsim::SocketTransport transport(s);
  htsim::LinkOptions link_options;
  link_options.segment = segment;
  link_options.resend_frames.insert(resend.begin(), resend.end());
  htsim::Link link(transport, link_options);
  htsim::Session session(link, disk.get(), std::cout, std::move(options), deadline);
  return Finish(session.Run());
}
