// File transfers end to end: tarnel --headless against htsim stations on
// loopback, in both directions, PC-driven (operator lines handed in with
// tarnelctl) and HT-driven (htsim's send, fetch and append), with the files
// compared byte for byte on both sides.
#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/spawn.h"
#include "tests/e2e/e2e.h"

namespace {

namespace fs = std::filesystem;
using e2e::Ht;
using e2e::ScratchDir;
using e2e::Server;

// Stations 1 to 3 by their loopback addresses; tarnelctl's index is n - 1.
const std::vector<std::string> kStations = {"1=127.0.0.31", "2=127.0.0.32", "3=127.0.0.33"};
std::string Address(int ht) { return "127.0.0.3" + std::to_string(ht); }

struct ProgramDir {
  explicit ProgramDir(const char* name) : dir(name) {
    port = e2e::Free_Port();
    dir.Write("device.ini", e2e::Device_Ini(dir.Path(), port, 8, kStations));
    dir.Write("panelset.ini", e2e::Panelset_Ini());
  }
  std::string Sub(const std::string& name) const {
    fs::create_directories(dir.File(name));
    return dir.File(name);
  }
  ScratchDir dir;
  std::uint16_t port;
};

// The engine's name of a local path: drive C: is the root folder.
std::string Pc(const std::string& path) {
  std::string out = "C:" + path;
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

// Bytes that differ from block to block and from file to file, so a block
// dropped, repeated or moved shows in the comparison.
std::string Content(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::uint32_t x = 0x9E3779B9u ^ (seed * 2654435761u);
  for (std::size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

void Put(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

using Files = std::map<std::string, std::string>;

Files Lower(const Files& files) {
  Files out;
  for (const auto& [name, bytes] : files) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    out[lower] = bytes;
  }
  return out;
}

// One line per file, relative path, size and a checksum of the bytes, so a
// failed comparison shows which file differs without dumping its contents.
std::string Listing(const Files& files) {
  std::string out;
  for (const auto& [name, bytes] : files) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    out += name + " " + std::to_string(bytes.size()) + " " + std::to_string(h) + "\n";
  }
  return out;
}

// The listing of every regular file below root, by relative path; with
// fold_case the paths in lower case.
std::string Listing(const std::string& root, bool fold_case = false) {
  Files t;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    if (it->is_regular_file()) {
      std::string name = fs::relative(it->path(), root).string();
      if (fold_case)
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      t[name] = e2e::Read_File(it->path().string());
    }
  return Listing(t);
}

// Waits (bounded) until station ht sits idle waiting for a command.
bool Wait_Idle(const ScratchDir& dir, int ht) {
  std::string reply;
  for (int i = 0; i < 100; ++i) {
    if (e2e::Tarnelctl(dir, {"3", std::to_string(ht - 1)}, &reply) == 0 && reply == "1\n") return true;
    platform::Sleep_Ms(100);
  }
  return false;
}

// Hands the command line to station ht once it waits for one.
void Hand_In(const ScratchDir& dir, int ht, const std::string& line) {
  ASSERT_TRUE(Wait_Idle(dir, ht)) << "HT " << ht << " is not waiting for a command";
  std::string reply;
  ASSERT_EQ(e2e::Tarnelctl(dir, {"0", std::to_string(ht - 1), line}, &reply), 0) << reply;
  ASSERT_EQ(reply, "1\n");
}

// Waits (bounded) for a server line holding both texts.
bool Wait_Server_Line(const Server& server, const std::string& a, const std::string& b, int timeout_ms) {
  const std::uint64_t limit = platform::Monotonic_Ms() + static_cast<std::uint64_t>(e2e::Scaled(timeout_ms));
  for (;;) {
    std::istringstream in(server.Out());
    std::string line;
    while (std::getline(in, line))
      if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) return true;
    if (platform::Monotonic_Ms() >= limit) return false;
    platform::Sleep_Ms(20);
  }
}

// An htsim run the test can kill, to play an HT that drops off the link.
class KillableHt {
 public:
  KillableHt(const ScratchDir& dir, const std::string& name) : dir_(dir), name_(name) {}
  bool Start(std::uint16_t port, const std::string& source, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {HTSIM_EXE, "--port", std::to_string(port), "--timeout",
                                     std::to_string(60 * TARNEL_E2E_TIME_FACTOR), "--source", source};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string why;
    return child_.Start(argv, dir_.File(name_ + ".out"), dir_.File(name_ + ".err"), {}, &why);
  }
  bool Kill() { return child_.Signal(SIGKILL); }
  int Wait(int timeout_ms) {
    int status = -1;
    return child_.Wait(e2e::Scaled(timeout_ms), &status) ? status : -1;
  }
  std::string Out() const { return e2e::Read_File(dir_.File(name_ + ".out")); }

 private:
  const ScratchDir& dir_;
  std::string name_;
  platform::ChildProcess child_;
};

// TMPDIR for the server (where the PC keeps its temporary receive files),
// set only while the server starts; the child keeps its copy.
class TmpDirForChildren {
 public:
  explicit TmpDirForChildren(const std::string& path) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old, had_ = true;
    ::setenv("TMPDIR", path.c_str(), 1);
  }
  ~TmpDirForChildren() {
    if (had_)
      ::setenv("TMPDIR", old_.c_str(), 1);
    else
      ::unsetenv("TMPDIR");
  }

 private:
  std::string old_;
  bool had_ = false;
};

// Block boundaries: with 2032 content bytes a block, 2032 bytes are one
// block, 2033 two, and an empty file is one empty block.
TEST(TransferE2E, SingleFilesPcToHtBothWaysOfAskingAreExact) {
  ProgramDir s("xfer-pc2ht");
  const std::string pc = s.Sub("pc");
  const Files files = {
      {"E0.DAT", ""}, {"B2032.DAT", Content(2032, 1)}, {"B2033.DAT", Content(2033, 2)}};
  for (const auto& [name, bytes] : files) Put(pc + "/" + name, bytes);
  Server server(s.dir);
  ASSERT_TRUE(server.Start()) << server.Err();

  // The operator's send while HT 1 sits idle.
  const std::string disk1 = s.Sub("ht1");
  Ht idle(s.dir, "ht1");
  ASSERT_TRUE(idle.Start(s.port, Address(1), {"--disk", disk1}));
  std::string line = "/S";
  for (const auto& [name, _] : files) line += " " + Pc(pc + "/" + name);
  Hand_In(s.dir, 1, line + " A:\\");
  EXPECT_EQ(idle.Wait(30000), 0) << idle.Out();
  EXPECT_EQ(Listing(disk1), Listing(files)) << idle.Out();
  const std::string out1 = idle.Out();
  EXPECT_EQ(e2e::Count_Lines(out1, "bytes=0 blocks=1"), 1) << out1;
  EXPECT_EQ(e2e::Count_Lines(out1, "bytes=2032 blocks=1"), 1) << out1;
  EXPECT_EQ(e2e::Count_Lines(out1, "bytes=2033 blocks=2"), 1) << out1;

  // HT 2 fetches the same files on its own. Files the HT asked for keep
  // their full PC names, which htsim's disk maps below its folder.
  const std::string disk2 = s.Sub("ht2");
  Ht fetch(s.dir, "ht2");
  std::vector<std::string> args = {"--disk", disk2};
  for (const auto& [name, _] : files) args.insert(args.end(), {"--do", "fetch " + Pc(pc + "/" + name)});
  ASSERT_TRUE(fetch.Start(s.port, Address(2), args));
  EXPECT_EQ(fetch.Wait(30000), 0) << fetch.Out();
  EXPECT_EQ(Listing(disk2 + pc), Listing(files)) << fetch.Out();
  // The PC's files are untouched by either.
  EXPECT_EQ(Listing(pc), Listing(files));
}

TEST(TransferE2E, SingleFilesHtToPcBothWaysOfAskingAreExact) {
  ProgramDir s("xfer-ht2pc");
  const Files files = {
      {"E0.DAT", ""}, {"B2032.DAT", Content(2032, 3)}, {"B2033.DAT", Content(2033, 4)}};
  const std::string disk1 = s.Sub("ht1");
  for (const auto& [name, bytes] : files) Put(disk1 + "/" + name, bytes);
  Server server(s.dir);
  ASSERT_TRUE(server.Start()) << server.Err();

  // The operator fetches HT 1's files into a PC folder.
  const std::string in1 = s.Sub("in1");
  Ht idle(s.dir, "ht1");
  ASSERT_TRUE(idle.Start(s.port, Address(1), {"--disk", disk1}));
  std::string line = "/R";
  for (const auto& [name, _] : files) line += " A:\\" + name;
  Hand_In(s.dir, 1, line + " " + Pc(in1));
  EXPECT_EQ(idle.Wait(30000), 0) << idle.Out();
  EXPECT_EQ(Listing(in1), Listing(files)) << idle.Out() << server.Out();
  const std::string out1 = idle.Out();
  EXPECT_EQ(e2e::Count_Lines(out1, "bytes=2032 blocks=1"), 1) << out1;
  EXPECT_EQ(e2e::Count_Lines(out1, "bytes=2033 blocks=2"), 1) << out1;

  // HT 2 sends the same files on its own ('S' 't'), a list in one request.
  const std::string in2 = s.Sub("in2");
  Ht send(s.dir, "ht2");
  std::string step = "send";
  for (const auto& [name, _] : files) step += " A:\\" + name + " " + Pc(in2 + "/" + name);
  ASSERT_TRUE(send.Start(s.port, Address(2), {"--disk", disk1, "--do", step}));
  EXPECT_EQ(send.Wait(30000), 0) << send.Out();
  EXPECT_EQ(Listing(in2), Listing(files)) << send.Out() << server.Out();
  EXPECT_NE(send.Out().find("ht announce files=3 bytes=4065"), std::string::npos) << send.Out();
}

TEST(TransferE2E, SubFolderSendsAndFetchesRecreateTheTree) {
  ProgramDir s("xfer-tree");
  const Files tree = {{"TOP.DAT", Content(100, 5)},
                                                   {"SUB1/A.DAT", Content(3000, 6)},
                                                   {"SUB1/DEEP/B.DAT", Content(2032, 7)},
                                                   {"SUB2/C.DAT", ""}};
  const std::string pc = s.Sub("pc/TREE");
  for (const auto& [name, bytes] : tree) Put(pc + "/" + name, bytes);
  const std::string disk2 = s.Sub("ht2/TREE");
  for (const auto& [name, bytes] : tree) Put(disk2 + "/" + name, bytes);
  Server server(s.dir);
  ASSERT_TRUE(server.Start()) << server.Err();

  // PC -> HT 1 with sub-folders, into a folder of the HT.
  const std::string disk1 = s.Sub("ht1");
  Ht send(s.dir, "ht1");
  ASSERT_TRUE(send.Start(s.port, Address(1), {"--disk", disk1}));
  Hand_In(s.dir, 1, "/SR " + Pc(pc) + "\\*.* A:\\COPY");
  EXPECT_EQ(send.Wait(30000), 0) << send.Out();
  EXPECT_EQ(Listing(disk1 + "/COPY"), Listing(tree)) << send.Out();

  // HT 2 -> PC with sub-folders.
  const std::string back = s.Sub("back");
  Ht recv(s.dir, "ht2");
  ASSERT_TRUE(recv.Start(s.port, Address(2), {"--disk", s.dir.File("ht2")}));
  Hand_In(s.dir, 2, "/RR A:\\TREE\\*.* " + Pc(back));
  EXPECT_EQ(recv.Wait(30000), 0) << recv.Out();
  // The PC spells the path below the matched source folder in lower case.
  EXPECT_EQ(Listing(back, true), Listing(Lower(tree))) << recv.Out() << server.Out();

  // HT 3 fetches the PC tree with sub-folders on its own.
  const std::string disk3 = s.Sub("ht3");
  Ht fetch(s.dir, "ht3");
  ASSERT_TRUE(fetch.Start(s.port, Address(3), {"--disk", disk3, "--do", "fetch -w " + Pc(pc) + "\\*.*"}));
  EXPECT_EQ(fetch.Wait(30000), 0) << fetch.Out();
  EXPECT_EQ(Listing(disk3 + pc), Listing(tree)) << fetch.Out();
}

TEST(TransferE2E, TwoStationsAppendingToOnePcFileNeverInterleave) {
  ProgramDir s("xfer-append");
  const std::string pc = s.Sub("pc");
  const std::string log = pc + "/LOG.DAT";
  Put(log, "HEAD\n");
  // Small blocks and enough of them make both appends long enough to
  // overlap, even when the second station's program starts a little later
  // (each station is greeted as soon as it connects).
  const std::string a = Content(1500000, 8), b = Content(1500000, 9);
  const std::string disk1 = s.Sub("ht1"), disk2 = s.Sub("ht2");
  Put(disk1 + "/PART.DAT", a);
  Put(disk2 + "/PART.DAT", b);
  Server server(s.dir);
  ASSERT_TRUE(server.Start()) << server.Err();

  Ht one(s.dir, "ht1"), two(s.dir, "ht2");
  const std::string step = "append A:\\PART.DAT " + Pc(log);
  ASSERT_TRUE(one.Start(s.port, Address(1), {"--disk", disk1, "--block", "256", "--do", step}));
  ASSERT_TRUE(two.Start(s.port, Address(2), {"--disk", disk2, "--block", "256", "--do", step}));
  EXPECT_EQ(one.Wait(60000), 0) << one.Out();
  EXPECT_EQ(two.Wait(60000), 0) << two.Out();
  // The two receives overlapped: one station's progress shows up between
  // the other's first and last.
  const std::string out = server.Out();
  const std::size_t first1 = out.find("HT 1 session"), last1 = out.rfind("HT 1 session");
  const std::size_t first2 = out.find("HT 2 session"), last2 = out.rfind("HT 2 session");
  EXPECT_TRUE((first2 > first1 && first2 < last1) || (first1 > first2 && first1 < last2)) << out;
  const std::string got = e2e::Read_File(log);
  ASSERT_EQ(got.size(), 5 + a.size() + b.size()) << server.Out();
  EXPECT_TRUE(got == "HEAD\n" + a + b || got == "HEAD\n" + b + a) << "the two appends are mixed";
  EXPECT_EQ(Listing(pc), Listing(Files{{"LOG.DAT", got}}));
}

// HT 1 drops off while sending over an older PC file, HT 2 while appending;
// HT 3 sends at the same time and must not notice.
TEST(TransferE2E, HtThatDropsOffMidTransferLeavesThePcFilesAsTheyWere) {
  ProgramDir s("xfer-drop");
  const std::string tmp = s.Sub("tmp");
  const std::string pc = s.Sub("pc");
  Put(pc + "/OLD.DAT", "older contents\n");
  Put(pc + "/LOG.DAT", "HEAD\n");
  const std::string big = Content(32u << 20, 10);
  const std::string disk1 = s.Sub("ht1"), disk2 = s.Sub("ht2"), disk3 = s.Sub("ht3");
  Put(disk1 + "/BIG.DAT", big);
  Put(disk2 + "/BIG.DAT", big);
  const std::string other = Content(8u << 20, 11);
  Put(disk3 + "/OTHER.DAT", other);
  Server server(s.dir);
  {
    TmpDirForChildren env(tmp);
    ASSERT_TRUE(server.Start()) << server.Err();
  }

  KillableHt one(s.dir, "ht1"), two(s.dir, "ht2");
  Ht three(s.dir, "ht3");
  // Small blocks keep the big transfers going for a good while.
  ASSERT_TRUE(one.Start(s.port, Address(1),
                        {"--disk", disk1, "--block", "512", "--do", "send -o A:\\BIG.DAT " + Pc(pc + "/OLD.DAT")}));
  ASSERT_TRUE(two.Start(s.port, Address(2),
                        {"--disk", disk2, "--block", "512", "--do", "append A:\\BIG.DAT " + Pc(pc + "/LOG.DAT")}));
  ASSERT_TRUE(three.Start(s.port, Address(3), {"--disk", disk3, "--block", "512", "--do",
                                               "send A:\\OTHER.DAT " + Pc(pc + "/OTHER.DAT")}));
  ASSERT_TRUE(Wait_Server_Line(server, "HT 1 ", " receiving ", 20000)) << server.Out();
  ASSERT_TRUE(Wait_Server_Line(server, "HT 2 ", " receiving ", 20000)) << server.Out();
  ASSERT_TRUE(Wait_Server_Line(server, "HT 3 ", " receiving ", 20000)) << server.Out();
  // Both big transfers are still under way, and so is HT 3's.
  ASSERT_EQ(one.Out().find("ht send "), std::string::npos) << one.Out();
  ASSERT_EQ(two.Out().find("ht append "), std::string::npos) << two.Out();
  ASSERT_EQ(three.Out().find("ht send "), std::string::npos) << "HT 3 ended too soon to overlap";
  ASSERT_TRUE(one.Kill());
  ASSERT_TRUE(two.Kill());
  EXPECT_EQ(one.Wait(10000), 128 + SIGKILL) << one.Out();
  EXPECT_EQ(two.Wait(10000), 128 + SIGKILL) << two.Out();

  EXPECT_EQ(three.Wait(60000), 0) << three.Out();
  EXPECT_TRUE(e2e::Read_File(pc + "/OTHER.DAT") == other) << "HT 3's file is not exact";

  // The PC notices the broken links (at the latest after TCP_TIMEOUT) and
  // ends both sessions.
  EXPECT_TRUE(Wait_Server_Line(server, "HT 1 ", " ending ", 40000)) << server.Out();
  EXPECT_TRUE(Wait_Server_Line(server, "HT 2 ", " ending ", 40000)) << server.Out();
  EXPECT_EQ(e2e::Read_File(pc + "/OLD.DAT"), "older contents\n");
  EXPECT_EQ(e2e::Read_File(pc + "/LOG.DAT"), "HEAD\n");
  EXPECT_EQ(Listing(pc), Listing(Files{{"LOG.DAT", "HEAD\n"}, {"OLD.DAT", "older contents\n"}, {"OTHER.DAT", other}}));
  // No temporary receive file is left behind either.
  EXPECT_EQ(Listing(tmp), "");
}

}  // namespace
