#include "tests/e2e/e2e.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/clock.h"
#include "platform/socket.h"

namespace e2e {

// Sanitizer builds run several times slower; every time limit grows with them.
int Scaled(int ms) { return ms * TARNEL_E2E_TIME_FACTOR; }

ScratchDir::ScratchDir(const std::string& what) {
  std::random_device rd;
  for (;;) {
    const auto p = std::filesystem::temp_directory_path() / ("tarnel-e2e-" + what + "-" + std::to_string(rd()));
    std::error_code ec;
    if (std::filesystem::create_directory(p, ec)) {
      path_ = p.string();
      return;
    }
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void ScratchDir::Write(const std::string& name, const std::string& text) const {
  std::ofstream out(File(name), std::ios::binary);
  out << text;
}

std::uint16_t Free_Port() {
  const int s = platform::Tcp_Socket_Open();
  platform::Socket_Bind(s, "127.0.0.1", 0);
  const int port = platform::Socket_Local_Port(s);
  platform::Socket_Close(s);
  return static_cast<std::uint16_t>(port > 0 ? port : 0);
}

std::string Read_File(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool Wait_For_Text(const std::string& path, const std::string& needle, int timeout_ms) {
  const std::uint64_t limit = platform::Monotonic_Ms() + static_cast<std::uint64_t>(Scaled(timeout_ms));
  for (;;) {
    if (Read_File(path).find(needle) != std::string::npos) return true;
    if (platform::Monotonic_Ms() >= limit) return false;
    platform::Sleep_Ms(20);
  }
}

std::string Device_Ini(const std::string& program_dir, std::uint16_t port, int max_io,
                       const std::vector<std::string>& use_ip, int tcp_timeout) {
  std::string t = "IF=ETHERNET\r\nErrorFile=" + program_dir + "/error.log\r\nWorkFile=" + program_dir +
                  "\r\nINFORMATION=e2e\r\n[RS232C]\r\nPort=COM1\r\nBaud=9600\r\nParity=NONE\r\nStop=1\r\n"
                  "Data=8\r\n[SCSI]\r\nScantime=2\r\n[ETHERNET]\r\nTCP_TIMEOUT=" +
                  std::to_string(tcp_timeout) + "\r\nSELECT_TIMEOUT=" + std::to_string(tcp_timeout) +
                  "\r\nPORTNO=" + std::to_string(port) + "\r\nMAX_IO=" + std::to_string(max_io) + "\r\n[USE_IP]\r\n";
  for (const std::string& line : use_ip) t += line + "\r\n";
  return t;
}

std::string Panelset_Ini() {
  return "[CODE]\r\n-1=0\r\n[MODE]\r\nMINIMIZE=OFF\r\nSERVER=ON\r\n1SHOT=OFF\r\nCOMMAND_TIMEOUT=0\r\n"
         "DUPLICATE=OFF\r\nCHILD_THROUGH=OFF\r\n[DEBUG]\r\nDETAILLOG=0\r\n";
}

Server::~Server() {
  // A server that a test left running is stopped in order, then killed.
  if (child_.Pid() > 0 && Wait(0) < 0) {
    child_.Signal(SIGTERM);
    Wait(20000);
  }
}

std::vector<std::string> Program_Env(const ScratchDir& dir) { return {"XDG_RUNTIME_DIR=" + dir.Path()}; }

bool Server::Start(bool wait_serving, const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> argv = {TARNEL_EXE};
  if (open_files_ > 0)
    argv.insert(argv.begin(), {"/bin/sh", "-c", "ulimit -n " + std::to_string(open_files_) + " && exec \"$0\" \"$@\""});
  if (args.empty()) {
    argv.insert(argv.end(), {"--headless", "--program-dir", dir_.Path()});
  } else {
    argv.insert(argv.end(), args.begin(), args.end());
  }
  std::vector<std::string> environment = Program_Env(dir_);
  environment.push_back("TARNEL_LISTEN=" + listen_);
  environment.insert(environment.end(), env_.begin(), env_.end());
  environment.insert(environment.end(), env.begin(), env.end());
  std::string why;
  if (!child_.Start(argv, dir_.File(name_ + ".out"), dir_.File(name_ + ".err"), environment, &why)) return false;
  return !wait_serving || Wait_For(" serving ", 20000);
}

std::string Server::Socket_Path() const {
  const std::string out = Out();
  const std::string mark = "; requests on ";
  const std::size_t at = out.find(mark);
  if (at == std::string::npos) return "";
  const std::size_t from = at + mark.size();
  return out.substr(from, out.find('\n', from) - from);
}

int Server::Wait(int timeout_ms) {
  int status = -1;
  return child_.Wait(timeout_ms == 0 ? 0 : Scaled(timeout_ms), &status) ? status : -1;
}

bool Ht::Start(std::uint16_t port, const std::string& source, const std::vector<std::string>& args,
               double timeout_s) {
  std::vector<std::string> argv = {HTSIM_EXE, "--port", std::to_string(port), "--timeout",
                                   std::to_string(timeout_s * TARNEL_E2E_TIME_FACTOR)};
  if (!source.empty()) {
    argv.push_back("--source");
    argv.push_back(source);
  }
  argv.insert(argv.end(), args.begin(), args.end());
  std::string why;
  return child_.Start(argv, dir_.File(name_ + ".out"), dir_.File(name_ + ".err"), {}, &why);
}

bool Ht::Start_Line(const std::vector<std::string>& args, double timeout_s) {
  std::vector<std::string> argv = {HTSIM_EXE, "--timeout", std::to_string(timeout_s * TARNEL_E2E_TIME_FACTOR)};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string why;
  return child_.Start(argv, dir_.File(name_ + ".out"), dir_.File(name_ + ".err"), {}, &why);
}

int Ht::Wait(int timeout_ms) {
  int status = -1;
  return child_.Wait(Scaled(timeout_ms), &status) ? status : -1;
}

int Tarnelctl(const ScratchDir& dir, const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> argv = {TARNELCTL_EXE, "--program-dir", dir.Path()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(dir, argv, {}, out);
}

int Run(const ScratchDir& dir, const std::vector<std::string>& argv, const std::vector<std::string>& env,
        std::string* out, int uid, unsigned gid) {
  platform::ChildProcess child;
  if (uid >= 0) child.Set_User(static_cast<unsigned>(uid), gid);
  std::vector<std::string> environment = Program_Env(dir);
  environment.insert(environment.end(), env.begin(), env.end());
  std::string why;
  if (!child.Start(argv, dir.File("run.out"), dir.File("run.err"), environment, &why)) return -1;
  int status = -1;
  if (!child.Wait(Scaled(20000), &status)) return -1;
  if (out) *out = Read_File(dir.File("run.out")) + Read_File(dir.File("run.err"));
  return status;
}

int Count_Lines(const std::string& text, const std::string& needle) {
  int n = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.find(needle) != std::string::npos) ++n;
  return n;
}

}  // namespace e2e
