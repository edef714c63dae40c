// Every session can be stopped: a script that runs itself, or two scripts
// that run each other, never wait for the HT, so only the operator's stop
// ends them. It must end them within two seconds, as the link manager's
// stop waits for every engine.
#include <map>

#include "engine/tests/session_harness.h"

namespace session_test {
namespace {

constexpr std::uint64_t kStopLimitMs = 2000;

class SessionStop : public SessionTest {
 protected:
  // Runs one session on its own thread, lets it loop for a while, checks
  // that it is busy and silent, then sets the abort flag. Returns the
  // ending code and, in *stop_ms, how long the engine took to end. An
  // engine that ignores the flag is freed by taking its scripts away.
  short Run_And_Abort(const std::vector<std::string>& scripts, std::uint64_t* stop_ms) {
    std::atomic<bool> done{false};
    short result = -1;
    std::thread worker([&] {
      result = engine_.Run_State_Machine(testsupport::FakeChannel::Channel());
      done = true;
    });
    platform::Sleep_Ms(300);
    EXPECT_FALSE(done.load()) << "the script ended by itself";
    // The link manager asks only busy HTs to end.
    EXPECT_EQ(platform::Load(Info_Of(kHt).BusyFlag), 1);
    EXPECT_TRUE(Sent().empty()) << "the loop does not talk to the HT";

    const std::uint64_t asked = platform::Monotonic_Ms();
    Set_Abort_From_GUI(kHt, std::int32_t{1});
    Wait_Until([&] { return done.load(); }, kStopLimitMs + 500);
    *stop_ms = platform::Monotonic_Ms() - asked;
    if (!done) {
      ADD_FAILURE() << "the engine ignored the abort flag";
      std::error_code ec;
      for (const std::string& s : scripts) std::filesystem::remove(dir_ / s, ec);
    }
    while (!done) {
      platform::Pump_Messages();
      platform::Wait_Message(5);
    }
    worker.join();
    platform::Pump_Messages();
    return result;
  }
};

TEST_F(SessionStop, ScriptsThatRunThemselvesEndWithin2sOfAnAbort) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> files;
    std::string line;
  } cases[] = {
      {"a script that runs itself", {{"a.scr", "/E a.scr\n"}}, "/E a.scr"},
      {"two scripts that run each other", {{"a.scr", "/E b.scr"}, {"b.scr", "/E a.scr"}}, "/1/E a.scr"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh_Engine();
    Reset_Record();
    fake_.Clear_Sent();
    std::vector<std::string> names;
    for (const auto& [name, text] : c.files) {
      Write_File(name, text);
      names.push_back(name);
    }
    Write_Command_Buffer(kHt, c.line.c_str());
    fake_.Feed(Idle_Notice());

    std::uint64_t stop_ms = 0;
    EXPECT_EQ(Run_And_Abort(names, &stop_ms), E_BREAK_KEY);
    EXPECT_LT(stop_ms, kStopLimitMs);
    // The same ending as an abort while waiting for a command line.
    EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0x00, 0xF8)}));
    EXPECT_EQ(target_.Codes().back(), E_BREAK_KEY);
    EXPECT_EQ(engine_.ScriptFile, nullptr);
  }
}

// A script the HT names in its idle notice is stopped the same way.
TEST_F(SessionStop, AScriptTheHtStartsEndsWithin2sOfAnAbort) {
  Write_File("LOOP.SCR", "/E LOOP.SCR\n");
  fake_.Feed(Packet(1, 'I', 's', Text("LOOP.SCR")));
  std::uint64_t stop_ms = 0;
  EXPECT_EQ(Run_And_Abort({"LOOP.SCR"}, &stop_ms), E_BREAK_KEY);
  EXPECT_LT(stop_ms, kStopLimitMs);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0x00, 0xF8)}));
}

}  // namespace
}  // namespace session_test
