// htsim --scsi: the simulated SCSI bus with up to seven IO boxes, each with
// its own terminal behaviour given by the options after its --box.
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tools/htsim/iobox.h"
#include "tools/htsim/scsi_main.h"
#include "tools/htsim/steps.h"

namespace htsim {

namespace {

int Finish(int code) {
  const char* name = code == kExitOk ? "ok" : code == kExitUsage ? "usage-error" : code == kExitTimeout ? "timeout" : "error";
  std::cout << "result " << name << " exit=" << code << std::endl;
  std::cout.flush();
  // Box threads may still wait on a PC that went away: end without them.
  std::_Exit(code);
}

bool Parse_Kind(const std::string& text, BoxKind* kind) {
  if (text == "terminal") *kind = BoxKind::kTerminal;
  else if (text == "other") *kind = BoxKind::kOther;
  else if (text == "hang") *kind = BoxKind::kHang;
  else if (text == "hang-close") *kind = BoxKind::kHangClose;
  else if (text == "bad-close") *kind = BoxKind::kBadClose;
  else return false;
  return true;
}

// Parses one box's options (args[0] is its SCSI ID).
bool Parse_Box(const std::vector<std::string>& args, std::uint64_t deadline, BoxOptions* box, std::string* why) {
  CLI::App app{"one IO box"};
  int id = -1;
  std::string kind = "terminal";
  std::vector<std::string> dos;
  std::string steps_file;
  std::size_t block = 2032;
  std::vector<unsigned> resend;
  int sessions = 1;
  unsigned call_after = 0;
  std::string listen_code;
  app.add_option("id", id, "SCSI ID 0..6")->required()->check(CLI::Range(0, 6));
  app.add_option("--kind", kind, "terminal, other, hang, hang-close, bad-close");
  app.add_option("--disk", box->disk_dir)->check(CLI::ExistingDirectory);
  app.add_option("--do", dos)->allow_extra_args(false);
  app.add_option("--steps", steps_file)->check(CLI::ExistingFile);
  app.add_option("--block", block)->check(CLI::Range(std::size_t{1}, kMaxPacketData - 2));
  app.add_option("--resend", resend)->allow_extra_args(false)->check(CLI::PositiveNumber);
  app.add_option("--sessions", sessions)->check(CLI::Range(1, 1000000));
  app.add_option("--call-after", call_after);
  app.add_option("--listen-code", listen_code);
  std::vector<std::string> rev(args.rbegin(), args.rend());
  try {
    app.parse(rev);
  } catch (const CLI::ParseError& e) {
    *why = e.what();
    return false;
  }
  box->id = id;
  if (!Parse_Kind(kind, &box->kind)) {
    *why = "unknown --kind " + kind;
    return false;
  }
  if (!listen_code.empty()) {
    const unsigned long v = std::strtoul(listen_code.c_str(), nullptr, 0);
    if (v != 0x09 && v != 0x18 && v != 0x1A) {
      *why = "--listen-code must be 0x09, 0x18 or 0x1A";
      return false;
    }
    box->listen_code = static_cast<std::uint8_t>(v);
  }
  box->session.block_size = block;
  for (const std::string& d : dos) {
    Step s;
    if (!Parse_Step(d, &s, why)) return false;
    box->session.steps.push_back(std::move(s));
  }
  if (!steps_file.empty()) {
    std::ifstream in(steps_file);
    if (!in || !Parse_Steps(in, &box->session.steps, why)) return false;
  }
  if (!Check_Steps(box->session.steps, why)) return false;
  box->link.resend_frames.insert(resend.begin(), resend.end());
  box->sessions = sessions;
  box->call_after_ms = call_after;
  box->deadline_ms = deadline;
  return true;
}

}  // namespace

bool Is_Scsi_Run(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--scsi") return true;
  return false;
}

int Run_Scsi(int argc, char** argv) {
  std::string name;
  double timeout = 30;
  std::vector<std::vector<std::string>> box_args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--box") {
      box_args.emplace_back();
      continue;
    }
    if (!box_args.empty()) {
      box_args.back().push_back(a);
      continue;
    }
    if (a == "--scsi" && i + 1 < argc) {
      name = argv[++i];
    } else if (a == "--timeout" && i + 1 < argc) {
      timeout = std::atof(argv[++i]);
    } else {
      std::cout << "error unknown option " << a << " (before the first --box: --scsi NAME, --timeout S)" << std::endl;
      return Finish(kExitUsage);
    }
  }
  if (name.empty() || timeout <= 0 || box_args.empty() || box_args.size() > 7) {
    std::cout << "error usage: htsim --scsi NAME [--timeout S] --box ID [box options] ... (1 to 7 boxes)"
              << std::endl;
    return Finish(kExitUsage);
  }
  const std::uint64_t deadline = platform::Monotonic_Ms() + static_cast<std::uint64_t>(std::llround(timeout * 1000));
  std::vector<BoxOptions> boxes;
  std::set<int> ids;
  for (const auto& args : box_args) {
    BoxOptions b;
    std::string why;
    if (!Parse_Box(args, deadline, &b, &why)) {
      std::cout << "error box " << (args.empty() ? std::string("?") : args[0]) << ": " << why << std::endl;
      return Finish(kExitUsage);
    }
    if (!ids.insert(b.id).second) {
      std::cout << "error box " << b.id << " given twice" << std::endl;
      return Finish(kExitUsage);
    }
    boxes.push_back(std::move(b));
  }
  Bus bus(std::move(boxes), std::cout);
  std::string why;
  if (!bus.Listen(name, &why)) {
    std::cout << "error listen " << name << ": " << why << std::endl;
    return Finish(kExitConnection);
  }
  std::cout << "link bus " << name << std::endl;
  return Finish(bus.Serve(deadline));
}

}  // namespace htsim
