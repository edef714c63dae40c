// Who may hand a running tarnel requests, where its socket lives, and the
// examples of the help texts and READMEs, run against the real programs.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/access.h"
#include "platform/clock.h"
#include "tests/e2e/e2e.h"

namespace {

using e2e::Ht;
using e2e::ScratchDir;
using e2e::Server;

constexpr int kNobody = 65534;
constexpr const char* kExampleDir = "/srv/tarnel";

struct ProgramDir {
  explicit ProgramDir(const char* name, const std::vector<std::string>& use_ip = {"3=127.0.0.3"}) : dir(name) {
    port = e2e::Free_Port();
    dir.Write("device.ini", e2e::Device_Ini(dir.Path(), port, 8, use_ip));
    dir.Write("panelset.ini", e2e::Panelset_Ini());
  }
  ScratchDir dir;
  std::uint16_t port;
};

// Waits (bounded) until tarnelctl's reply to args is want.
bool Wait_For_Reply(const ScratchDir& dir, const std::vector<std::string>& args, const std::string& want) {
  std::string reply;
  for (int i = 0; i < 100; ++i) {
    if (e2e::Tarnelctl(dir, args, &reply) == 0 && reply == want) return true;
    platform::Sleep_Ms(100);
  }
  return false;
}

// A copy of tarnelctl that every user may run, whatever the permissions of
// the build folder.
std::string Public_Tarnelctl(const ScratchDir& dir) {
  namespace fs = std::filesystem;
  const fs::path bin = fs::path(dir.Path()) / "bin";
  fs::create_directories(bin);
  fs::copy_file(TARNELCTL_EXE, bin / "tarnelctl", fs::copy_options::overwrite_existing);
  fs::permissions(bin, static_cast<fs::perms>(0755));
  fs::permissions(bin / "tarnelctl", static_cast<fs::perms>(0755));
  return (bin / "tarnelctl").string();
}

TEST(ControlE2E, AnotherUsersTarnelctlIsKeptOutAndItsCommandNeverRuns) {
  if (platform::Own_User_Id() != 0) GTEST_SKIP() << "running tarnelctl as another user needs root";
  ProgramDir s("otheruser");
  std::filesystem::permissions(s.dir.Path(), static_cast<std::filesystem::perms>(0755));
  Server server(s.dir);
  ASSERT_TRUE(server.Start()) << server.Err();
  const std::string socket = server.Socket_Path();
  ASSERT_EQ(socket.rfind(s.dir.Path() + "/tarnel/tarnel-", 0), 0u) << server.Out();
  const std::string ctl = Public_Tarnelctl(s.dir);
  Ht ht(s.dir, "ht3");
  ASSERT_TRUE(ht.Start(s.port, "127.0.0.3", {}));
  ASSERT_TRUE(ht.Wait_For("ht idle", 20000)) << ht.Out();

  // The socket's folder keeps the other user out.
  const std::vector<std::string> request = {ctl, "--control-socket", socket, "0", "2", "/1/P from-nobody"};
  std::string out;
  EXPECT_EQ(e2e::Run(s.dir, request, {}, &out, kNobody, kNobody), 2) << out;
  EXPECT_NE(out.find("may not use its socket"), std::string::npos) << out;

  // Opened up by hand, the server itself turns the user away.
  std::filesystem::permissions(std::filesystem::path(socket).parent_path(), static_cast<std::filesystem::perms>(0755));
  std::filesystem::permissions(socket, static_cast<std::filesystem::perms>(0666));
  EXPECT_EQ(e2e::Run(s.dir, request, {}, &out, kNobody, kNobody), 2) << out;
  EXPECT_NE(out.find("closed the connection without a reply"), std::string::npos) << out;
  EXPECT_TRUE(server.Wait_For("data-copy request refused: uid 65534 pid ", 5000)) << server.Out();

  // Nothing reached HT 3: its command buffer is empty, and the server's own
  // user is still served.
  ASSERT_EQ(e2e::Tarnelctl(s.dir, {"1", "2"}, &out), 0) << out;
  EXPECT_EQ(out, "1\n");
  ASSERT_EQ(e2e::Tarnelctl(s.dir, {"0", "2", "/1/P from-root"}, &out), 0) << out;
  EXPECT_EQ(out, "1\n");
  EXPECT_TRUE(ht.Wait_For("pc display \"from-root\"", 20000)) << ht.Out();
  EXPECT_EQ(ht.Out().find("from-nobody"), std::string::npos) << ht.Out();

  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(30000), 0) << server.Out() << server.Err();
  ht.Wait(30000);
  // The socket file went with the server.
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST(ControlE2E, StaleSocketIsTakenOverAndALiveOneIsTheOtherInstance) {
  ProgramDir s("instances");
  Server first(s.dir);
  ASSERT_TRUE(first.Start()) << first.Err();
  const std::string socket = first.Socket_Path();
  ASSERT_FALSE(socket.empty()) << first.Out();

  // DUPLICATE=OFF: a second server of the same program directory does not start.
  {
    Server second(s.dir, "second");
    ASSERT_TRUE(second.Start(false));
    EXPECT_EQ(second.Wait(20000), 1);
    EXPECT_NE(second.Err().find("another tarnel already serves"), std::string::npos) << second.Err();
  }

  // A server that dies leaves its socket file; the next one takes it over.
  ASSERT_TRUE(first.Signal(SIGKILL));
  first.Wait(20000);
  ASSERT_TRUE(std::filesystem::exists(socket));
  std::string out;
  EXPECT_EQ(e2e::Tarnelctl(s.dir, {"4", "0"}, &out), 2) << out;
  EXPECT_NE(out.find("none runs"), std::string::npos) << out;
  Server next(s.dir, "next");
  ASSERT_TRUE(next.Start()) << next.Err() << next.Out();
  EXPECT_EQ(next.Socket_Path(), socket);
  ASSERT_EQ(e2e::Tarnelctl(s.dir, {"4", "0"}, &out), 0) << out;
  EXPECT_EQ(out, "1\n");
  ASSERT_TRUE(next.Signal(SIGTERM));
  EXPECT_EQ(next.Wait(30000), 0) << next.Out() << next.Err();
}

TEST(ControlE2E, ServerRefusesAnUnsafeSocketFolderAndSaysWhy) {
  ProgramDir s("unsafe");
  const std::string folder = s.dir.Path() + "/tarnel";
  std::filesystem::create_directory(folder);
  std::filesystem::permissions(folder, static_cast<std::filesystem::perms>(0777));
  Server server(s.dir);
  ASSERT_TRUE(server.Start(false));
  EXPECT_EQ(server.Wait(20000), 1);
  EXPECT_NE(server.Err().find(folder), std::string::npos) << server.Err();
  EXPECT_NE(server.Err().find("may be written by every user"), std::string::npos) << server.Err();
}

TEST(ControlE2E, ControlSocketOptionMeetsOnBothSides) {
  ProgramDir s("ctlsocket");
  const std::string socket = s.dir.Path() + "/ctl/requests.sock";
  Server server(s.dir);
  ASSERT_TRUE(server.Start(true, {"--headless", "--program-dir", s.dir.Path(), "--control-socket", socket}))
      << server.Err();
  EXPECT_EQ(server.Socket_Path(), socket);
  std::string out;
  ASSERT_EQ(e2e::Tarnelctl(s.dir, {"--control-socket", socket, "4", "0"}, &out), 0) << out;
  EXPECT_EQ(out, "1\n");
  // The default place of that program directory is not served.
  EXPECT_EQ(e2e::Tarnelctl(s.dir, {"4", "0"}, &out), 2) << out;

  // A command line longer than an HT takes is refused before it is sent.
  const std::string longest = "/1/P " + std::string(1994, 'x');
  EXPECT_EQ(e2e::Tarnelctl(s.dir, {"--control-socket", socket, "0", "2", longest + "y"}, &out), 1) << out;
  EXPECT_NE(out.find("at most 1999"), std::string::npos) << out;
  ASSERT_EQ(e2e::Tarnelctl(s.dir, {"--control-socket", socket, "1", "2"}, &out), 0) << out;
  EXPECT_EQ(out, "1\n");  // HT 3's buffer stayed empty
  ASSERT_EQ(e2e::Tarnelctl(s.dir, {"--control-socket", socket, "0", "2", longest}, &out), 0) << out;
  EXPECT_EQ(out, "1\n");
  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(30000), 0) << server.Out() << server.Err();
}

// ---- Examples ---------------------------------------------------------------

// Splits a command line as a POSIX shell does for words, quotes and
// backslashes (no expansions).
std::vector<std::string> Shell_Words(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\'') {
      const std::size_t end = line.find('\'', i + 1);
      word += line.substr(i + 1, end - i - 1);
      i = end == std::string::npos ? line.size() : end;
      in_word = true;
    } else if (c == '"') {
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size() && std::string("\"\\$`").find(line[i + 1]) != std::string::npos)
          ++i;
        word += line[i];
      }
      in_word = true;
    } else if (c == '\\' && i + 1 < line.size()) {
      word += line[++i];
      in_word = true;
    } else if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

// The example command lines of a help text or README: indented lines that
// start with the program's name (after an optional "$ " prompt) and are no
// synopsis (no [optional] parts, no "...").
std::vector<std::string> Examples_In(const std::string& text) {
  std::vector<std::string> found;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || (line[0] != ' ' && line[0] != '\t')) continue;
    std::string t = line.substr(line.find_first_not_of(" \t"));
    if (t.rfind("$ ", 0) == 0) t = t.substr(2);
    if (t.rfind("tarnel ", 0) != 0 && t.rfind("tarnelctl ", 0) != 0) continue;
    if (t.find('[') != std::string::npos || t.find("...") != std::string::npos) continue;
    found.push_back(t);
  }
  return found;
}

std::string Help_Of(const ScratchDir& dir, const char* exe) {
  std::string out;
  e2e::Run(dir, {exe, "--help"}, {}, &out);
  return out;
}

// Every example names the program directory /srv/tarnel; here it is the
// test's own.
std::vector<std::string> Runnable(const std::string& example, const std::string& program_dir) {
  std::vector<std::string> words = Shell_Words(example);
  words[0] = words[0] == "tarnel" ? TARNEL_EXE : TARNELCTL_EXE;
  for (std::string& w : words)
    if (w == kExampleDir) w = program_dir;
  return words;
}

// tarnelctl's OP or subcommand: its first word that is no option or an
// option's value.
std::string Operation_Of(const std::vector<std::string>& argv) {
  for (std::size_t i = 1; i < argv.size(); ++i) {
    if (argv[i].rfind("--", 0) == 0) {
      ++i;  // every option of tarnelctl before its OP takes a value
      continue;
    }
    return argv[i];
  }
  return "";
}

TEST(ControlE2E, EveryExampleOfTheHelpTextsAndReadmesWorks) {
  ProgramDir s("examples");
  // The examples' C:\DATA\ORDERS.DAT lies in the program directory.
  std::filesystem::create_directories(s.dir.Path() + "/DATA");
  s.dir.Write("DATA/ORDERS.DAT", "order 1\r\norder 2\r\n");
  const std::vector<std::string> env = {"TARNEL_DRIVES=C=" + s.dir.Path()};

  struct Source {
    std::string name;
    std::string text;
  };
  const std::string src = TARNEL_SOURCE_DIR;
  std::vector<Source> sources = {
      {"tarnelctl --help", Help_Of(s.dir, TARNELCTL_EXE)},
      {"tarnel --help", Help_Of(s.dir, TARNEL_EXE)},
      {"README.md", e2e::Read_File(src + "/README.md")},
      {"tools/tarnelctl/README.md", e2e::Read_File(src + "/tools/tarnelctl/README.md")},
      {"app/server/README.md", e2e::Read_File(src + "/app/server/README.md")},
  };

  // tarnel's own examples: each starts a server that serves and stops in order.
  for (const Source& source : sources) {
    for (const std::string& example : Examples_In(source.text)) {
      if (example.rfind("tarnel ", 0) != 0) continue;
      SCOPED_TRACE(source.name + ": " + example);
      ProgramDir own("example-server");
      std::vector<std::string> argv = Runnable(example, own.dir.Path());
      Server server(own.dir);
      ASSERT_TRUE(server.Start(true, std::vector<std::string>(argv.begin() + 1, argv.end()), env))
          << server.Out() << server.Err();
      ASSERT_TRUE(server.Signal(SIGTERM));
      EXPECT_EQ(server.Wait(30000), 0) << server.Out() << server.Err();
    }
  }

  // tarnelctl's: run in order against a server with HT 3 waiting for commands.
  Server server(s.dir);
  ASSERT_TRUE(server.Start(true, {}, env)) << server.Err();
  ScratchDir disk("examples-ht");
  Ht ht(s.dir, "ht3");
  ASSERT_TRUE(ht.Start(s.port, "127.0.0.3", {"--disk", disk.Path()}, 200));
  ASSERT_TRUE(ht.Wait_For("ht idle", 20000)) << ht.Out();
  for (const Source& source : sources) {
    const std::vector<std::string> examples = Examples_In(source.text);
    EXPECT_FALSE(examples.empty()) << source.name << " shows no example";
    std::filesystem::remove(disk.File("ORDERS.DAT"));
    bool sends_orders = false;
    for (const std::string& example : examples) {
      if (example.rfind("tarnelctl ", 0) != 0) continue;
      SCOPED_TRACE(source.name + ": " + example);
      const std::vector<std::string> argv = Runnable(example, s.dir.Path());
      std::string out;
      ASSERT_EQ(e2e::Run(s.dir, argv, env, &out), 0) << out;
      const std::string op = Operation_Of(argv);
      if (op == "status" || op == "run" || op == "abort") {
        // The subcommands: answered (run --wait: the line ran), with words.
        EXPECT_FALSE(out.empty());
        sends_orders = sends_orders || (op == "run" && example.find("ORDERS.DAT") != std::string::npos);
        continue;
      }
      EXPECT_TRUE(out == "1\n" || out == "0\n") << out;
      if (Operation_Of(argv) == "0") {
        EXPECT_EQ(out, "1\n") << "the command line was not taken";
      }
      if (out == "1\n" && Operation_Of(argv) == "0") {
        sends_orders = sends_orders || example.find("ORDERS.DAT") != std::string::npos;
        // Taken by HT 3's engine, and carried out.
        EXPECT_TRUE(Wait_For_Reply(s.dir, {"1", "2"}, "1\n"));
      }
    }
    if (sends_orders) {
      EXPECT_TRUE(e2e::Wait_For_Text(disk.File("ORDERS.DAT"), "order 2", 20000))
          << source.name << "\n" << ht.Out() << server.Out();
    }
  }
  // No example was a line the engine could not take.
  EXPECT_EQ(server.Out().find(" ending 37 "), std::string::npos) << server.Out();
  EXPECT_EQ(server.Out().find(" ending 77 "), std::string::npos) << server.Out();
  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(30000), 0) << server.Out() << server.Err();
  ht.Wait(30000);
}

}  // namespace
