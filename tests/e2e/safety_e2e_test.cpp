// The server's safety options, its log for administrators and tarnelctl's
// subcommands, run against the real programs: --listed-only and --confine,
// connection lines and the JSON log, status, run (with --wait) and abort.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "tests/e2e/e2e.h"

namespace {

namespace fs = std::filesystem;
using e2e::Ht;
using e2e::ScratchDir;
using e2e::Server;
using json = nlohmann::json;

struct ProgramDir {
  explicit ProgramDir(const char* name, const std::vector<std::string>& use_ip) : dir(name) {
    port = e2e::Free_Port();
    dir.Write("device.ini", e2e::Device_Ini(dir.Path(), port, 8, use_ip));
    dir.Write("panelset.ini", e2e::Panelset_Ini());
  }
  std::string Sub(const std::string& name) const {
    const std::string path = dir.File(name);
    fs::create_directories(path);
    return path;
  }
  ScratchDir dir;
  std::uint16_t port;
};

std::vector<std::string> Headless(const ScratchDir& dir, const std::vector<std::string>& more) {
  std::vector<std::string> args = {"--headless", "--program-dir", dir.Path()};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// Whether a file of that name lies anywhere below folder.
bool Holds_File_Named(const std::string& folder, const std::string& name) {
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(folder, ec))
    if (e.path().filename() == name) return true;
  return false;
}

std::vector<json> Json_Lines(const std::string& text) {
  std::vector<json> records;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) records.push_back(json::parse(line));  // throws on a line that is not JSON
  return records;
}

TEST(SafetyE2E, ListedOnlyServesAListedStationAndRefusesAnUnlistedOne) {
  ProgramDir s("listed", {"3=127.0.0.3"});
  Server server(s.dir);
  ASSERT_TRUE(server.Start(true, Headless(s.dir, {"--listed-only"}))) << server.Err();
  EXPECT_NE(server.Out().find("(listed stations only)"), std::string::npos) << server.Out();

  Ht listed(s.dir, "listed");
  ASSERT_TRUE(listed.Start(s.port, "127.0.0.3", {"--do", "time"}));
  EXPECT_EQ(listed.Wait(30000), 0) << listed.Out();
  Ht unlisted(s.dir, "unlisted");
  ASSERT_TRUE(unlisted.Start(s.port, "127.0.0.9", {"--do", "time"}));
  EXPECT_EQ(unlisted.Wait(30000), 6) << unlisted.Out();
  EXPECT_NE(unlisted.Out().find("link refused \"No More Connection 8\""), std::string::npos) << unlisted.Out();
  EXPECT_EQ(unlisted.Out().find("ht time"), std::string::npos) << unlisted.Out();

  ASSERT_TRUE(server.Wait_For("connection from 127.0.0.9 refused: the address is not listed in [USE_IP]", 10000))
      << server.Out();
  // One line per connection and per disconnection, with address, HT and session.
  ASSERT_TRUE(server.Wait_For("HT 3 session 0 disconnected from 127.0.0.3 (ending 72", 10000)) << server.Out();
  const std::string out = server.Out();
  EXPECT_EQ(e2e::Count_Lines(out, "HT 3 session 0 connected from 127.0.0.3"), 1) << out;
  EXPECT_EQ(e2e::Count_Lines(out, "connected from 127.0.0.9"), 0) << out;

  // Without the option the same address is served (under the lowest free number).
  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(30000), 0) << server.Out();
  Server open(s.dir, "open");
  ASSERT_TRUE(open.Start()) << open.Err();
  Ht again(s.dir, "again");
  ASSERT_TRUE(again.Start(s.port, "127.0.0.9", {"--do", "time"}));
  EXPECT_EQ(again.Wait(30000), 0) << again.Out();
}

TEST(SafetyE2E, UnlistedPeersThatNeverAnswerDoNotHoldUpListedStations) {
  // TCP_TIMEOUT 60: a refusal that waited on the listener would keep the
  // listed station out for a minute.
  ProgramDir s("listed-silent", {"3=127.0.0.3"});
  s.dir.Write("device.ini", e2e::Device_Ini(s.dir.Path(), s.port, 8, {"3=127.0.0.3"}, 60));
  Server server(s.dir);
  ASSERT_TRUE(server.Start(true, Headless(s.dir, {"--listed-only"}))) << server.Err();
  std::vector<int> silent;
  for (int i = 0; i < 6; ++i) {
    const int sock = platform::Tcp_Socket_Open();
    ASSERT_GT(sock, 0);
    ASSERT_EQ(platform::Socket_Connect(sock, "127.0.0.1", s.port, "127.0.0.9", 5000), platform::SOCKET_OK);
    silent.push_back(sock);
  }
  ASSERT_TRUE(server.Wait_For("connection from 127.0.0.9 refused", 10000)) << server.Out();
  const std::uint64_t start = platform::Monotonic_Ms();
  Ht listed(s.dir, "listed");
  ASSERT_TRUE(listed.Start(s.port, "127.0.0.3", {"--do", "time"}));
  EXPECT_EQ(listed.Wait(30000), 0) << listed.Out();
  // Served while the silent peers still hold their refusals (5 s each at most).
  EXPECT_LT(platform::Monotonic_Ms() - start, 20000u) << server.Out();
  for (int sock : silent) platform::Socket_Close(sock);
  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(30000), 0) << server.Out();
}

TEST(SafetyE2E, ConfineRefusesDotDotAndSymbolicLinksOutOfTheDriveRoot) {
  ProgramDir s("confine", {"3=127.0.0.3", "4=127.0.0.4"});
  const std::string c = s.Sub("c");
  s.dir.Write("c/IN.DAT", "inside");
  ScratchDir outside("confine-outside");
  outside.Write("SECRET.TXT", "secret");
  fs::create_directory_symlink(outside.Path(), c + "/OUT");
  Server server(s.dir);
  server.Add_Environment("TARNEL_DRIVES=C=" + c);
  server.Add_Environment("TARNEL_CONFINE=1");
  ASSERT_TRUE(server.Start()) << server.Err();
  EXPECT_NE(server.Out().find("PC paths confined to the drive roots"), std::string::npos) << server.Out();

  // A command line names a path above the root: the file is not found.
  const std::string disk3 = s.Sub("ht3");
  Ht idle(s.dir, "ht3");
  ASSERT_TRUE(idle.Start(s.port, "127.0.0.3", {"--disk", disk3}));
  ASSERT_TRUE(idle.Wait_For("ht idle", 20000)) << idle.Out();
  std::string out;
  ASSERT_EQ(e2e::Tarnelctl(s.dir, {"0", "2", "/1/S C:\\..\\..\\etc\\passwd A:\\"}, &out), 0) << out;
  idle.Wait(30000);
  EXPECT_FALSE(Holds_File_Named(disk3, "passwd")) << idle.Out();
  EXPECT_TRUE(server.Wait_For("PC path C:\\..\\..\\etc\\passwd refused", 10000)) << server.Out();

  // A terminal asks for a file through a link out of the root, and for one inside.
  const std::string disk4 = s.Sub("ht4");
  Ht fetch(s.dir, "ht4");
  ASSERT_TRUE(fetch.Start(s.port, "127.0.0.4",
                          {"--disk", disk4, "--do", "fetch C:\\IN.DAT", "--do", "fetch C:\\OUT\\SECRET.TXT"}));
  fetch.Wait(30000);
  EXPECT_TRUE(Holds_File_Named(disk4, "IN.DAT")) << fetch.Out();
  EXPECT_FALSE(Holds_File_Named(disk4, "SECRET.TXT")) << fetch.Out();
  EXPECT_TRUE(server.Wait_For("PC path C:\\OUT\\SECRET.TXT refused", 10000)) << server.Out();

  // A terminal sends a file through the link: nothing lands outside.
  const std::string disk5 = s.Sub("ht5");
  std::ofstream(disk5 + "/UP.DAT") << "upload";
  Ht send(s.dir, "ht5");
  ASSERT_TRUE(send.Start(s.port, "127.0.0.4", {"--disk", disk5, "--do", "send UP.DAT C:\\OUT\\UP.DAT"}));
  send.Wait(30000);
  EXPECT_FALSE(fs::exists(outside.File("UP.DAT"))) << send.Out();
  EXPECT_TRUE(server.Wait_For("PC path C:\\OUT\\UP.DAT refused", 10000)) << server.Out();
  // The error log lies outside drive C: but is the operator's own: written.
  EXPECT_FALSE(e2e::Read_File(s.dir.File("error.log")).empty());
  EXPECT_EQ(server.Out().find(" ending 76 "), std::string::npos) << server.Out();
  EXPECT_EQ(server.Out().find("error.log refused"), std::string::npos) << server.Out();
}

TEST(SafetyE2E, JsonLogIsOneObjectPerLineWithConnectionRecords) {
  ProgramDir s("jsonlog", {"3=127.0.0.3"});
  Server server(s.dir);
  ASSERT_TRUE(server.Start(false, Headless(s.dir, {"--log-format", "json"}))) << server.Err();
  ASSERT_TRUE(server.Wait_For("\"event\":\"server\",\"message\":\"serving TCP/IP", 20000)) << server.Out();
  Ht ht(s.dir, "ht3");
  ASSERT_TRUE(ht.Start(s.port, "127.0.0.3", {"--do", "time"}));
  EXPECT_EQ(ht.Wait(30000), 0) << ht.Out();
  ASSERT_TRUE(server.Wait_For("\"event\":\"disconnect\"", 10000)) << server.Out();
  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.Wait(30000), 0) << server.Out();

  std::vector<json> records;
  ASSERT_NO_THROW(records = Json_Lines(server.Out())) << server.Out();
  int connects = 0, disconnects = 0;
  for (const json& r : records) {
    ASSERT_TRUE(r.is_object());
    for (const char* key : {"time", "priority", "event", "message"}) EXPECT_TRUE(r.contains(key)) << r.dump();
    if (r["event"] == "connect") {
      ++connects;
      EXPECT_EQ(r["ht"], 3);
      EXPECT_EQ(r["session"], 0);
      EXPECT_EQ(r["peer"], "127.0.0.3");
      EXPECT_EQ(r["priority"], 6);
    }
    if (r["event"] == "disconnect") {
      ++disconnects;
      EXPECT_EQ(r["ht"], 3);
      EXPECT_EQ(r["peer"], "127.0.0.3");
      EXPECT_EQ(r["code"], 72);
    }
  }
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(records.back()["message"], "stopped");
}

TEST(TarnelctlE2E, StatusJsonListsTwoLiveStations) {
  ProgramDir s("ctlstatus", {"3=127.0.0.3", "5=127.0.0.5"});
  Server server(s.dir);
  ASSERT_TRUE(server.Start()) << server.Err();
  Ht a(s.dir, "ht3");
  Ht b(s.dir, "ht5");
  ASSERT_TRUE(a.Start(s.port, "127.0.0.3", {}));
  ASSERT_TRUE(b.Start(s.port, "127.0.0.5", {}));
  ASSERT_TRUE(a.Wait_For("ht idle", 20000)) << a.Out();
  ASSERT_TRUE(b.Wait_For("ht idle", 20000)) << b.Out();

  json reply;
  bool both_waiting = false;
  for (int i = 0; i < 100 && !both_waiting; ++i) {
    std::string out;
    ASSERT_EQ(e2e::Tarnelctl(s.dir, {"status", "--json"}, &out), 0) << out;
    reply = json::parse(out, nullptr, false);
    ASSERT_FALSE(reply.is_discarded()) << out;
    int waiting = 0;
    for (const json& st : reply["stations"]) waiting += st["state"] == "waiting" ? 1 : 0;
    both_waiting = waiting == 2;
    if (!both_waiting) platform::Sleep_Ms(100);
  }
  ASSERT_TRUE(both_waiting) << reply.dump();
  EXPECT_EQ(reply["ok"], true);
  EXPECT_EQ(reply["interface"], "TCP/IP");
  ASSERT_EQ(reply["stations"].size(), 2u) << reply.dump();
  EXPECT_EQ(reply["stations"][0]["ht"], 3);
  EXPECT_EQ(reply["stations"][0]["address"], "127.0.0.3");
  EXPECT_EQ(reply["stations"][1]["ht"], 5);
  EXPECT_EQ(reply["stations"][1]["address"], "127.0.0.5");
  for (const json& st : reply["stations"]) {
    EXPECT_EQ(st["session"], 0);
    EXPECT_EQ(st["direction"], "");
    for (const char* key : {"file", "percent", "last_code", "last_text"}) EXPECT_TRUE(st.contains(key)) << st.dump();
  }

  // The table names the same stations; abort ends HT 5's session.
  std::string table;
  ASSERT_EQ(e2e::Tarnelctl(s.dir, {"status"}, &table), 0) << table;
  EXPECT_EQ(e2e::Count_Lines(table, "127.0.0.3"), 1) << table;
  EXPECT_EQ(e2e::Count_Lines(table, "127.0.0.5"), 1) << table;
  std::string out;
  ASSERT_EQ(e2e::Tarnelctl(s.dir, {"abort", "5"}, &out), 0) << out;
  EXPECT_EQ(b.Wait(30000), 3) << b.Out();
  EXPECT_TRUE(server.Wait_For("HT 5 session 0 ending 29", 10000)) << server.Out();
  EXPECT_EQ(e2e::Tarnelctl(s.dir, {"abort", "7"}, &out), 1) << out;
  EXPECT_NE(out.find("HT 7 has no session"), std::string::npos) << out;
}

TEST(TarnelctlE2E, RunChecksTheLineAndWaitTellsHowTheSessionEnded) {
  ProgramDir s("ctlrun", {"3=127.0.0.3"});
  Server server(s.dir);
  ASSERT_TRUE(server.Start()) << server.Err();
  const std::string disk = s.Sub("ht3");
  Ht ht(s.dir, "ht3");
  ASSERT_TRUE(ht.Start(s.port, "127.0.0.3", {"--disk", disk}, 60));
  ASSERT_TRUE(ht.Wait_For("ht idle", 20000)) << ht.Out();

  // A syntax error is refused before anything is handed in.
  std::string out;
  EXPECT_EQ(e2e::Tarnelctl(s.dir, {"run", "3", "/1/P \"unclosed"}, &out), 1) << out;
  EXPECT_NE(out.find("not handed in"), std::string::npos) << out;
  EXPECT_NE(out.find("code 37"), std::string::npos) << out;
  EXPECT_EQ(e2e::Tarnelctl(s.dir, {"run", "3", "/Q what"}, &out), 1) << out;
  EXPECT_EQ(server.Out().find("command line handed in"), std::string::npos) << server.Out();

  // A line run once: done when its last command is.
  EXPECT_EQ(e2e::Tarnelctl(s.dir, {"run", "3", "/1/P hello-run", "--wait", "--timeout", "30"}, &out), 0) << out;
  EXPECT_TRUE(ht.Wait_For("pc display \"hello-run\"", 10000)) << ht.Out();

  // The HT cannot carry out the line: the session ends with an error.
  EXPECT_EQ(e2e::Tarnelctl(s.dir, {"run", "3", "/1/R A:\\NOSUCH.DAT C:\\", "--wait", "--timeout", "30"}, &out), 1)
      << out << server.Out();
  EXPECT_NE(out.find("HT 3 session 0 ending "), std::string::npos) << out;
  ht.Wait(30000);

  // A line without /1 ends its session normally (73).
  Ht next(s.dir, "ht3b");
  ASSERT_TRUE(next.Start(s.port, "127.0.0.3", {"--disk", disk}));
  ASSERT_TRUE(next.Wait_For("ht idle", 20000)) << next.Out();
  EXPECT_EQ(e2e::Tarnelctl(s.dir, {"run", "3", "/P bye", "--wait", "--timeout", "30"}, &out), 0) << out;
  EXPECT_NE(out.find("ending 73"), std::string::npos) << out;
  EXPECT_EQ(next.Wait(30000), 0) << next.Out();
}

}  // namespace
