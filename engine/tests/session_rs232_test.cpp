// The RS-232C session loop: it owns the line, runs session after session,
// keeps or drops the command between them, and sets the line up again after
// failures. The line is a recording driver whose sends and receives go to
// the scripted HT of the fake channel.
#include <functional>

#include "channel/mux32.h"
#include "engine/tests/session_harness.h"
#include "linkman/tether32.h"

namespace session_test {
namespace {

constexpr int kLineHt = 1;
constexpr int kListener = 1;

// What the line was asked to do, and what it answers.
struct Line {
  std::mutex mutex;
  std::vector<std::string> calls;
  int open_result = kListener;
  int listen_result = 1;
  std::vector<int> accept_results;  // front first; then the fake's channel
  testsupport::FakeChannel* fake = nullptr;
  std::function<void(const std::string&)> on_call;

  void Record(const std::string& call) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      calls.push_back(call);
    }
    if (on_call) on_call(call);
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  int Count(const std::string& call) {
    std::vector<std::string> all = Calls();
    return static_cast<int>(std::count(all.begin(), all.end(), call));
  }
};

Line* g_line = nullptr;

int Line_Init() {
  g_line->Record("init");
  return 0;
}
int Line_Open() {
  g_line->Record("open");
  return g_line->open_result;
}
int Line_Bind(int, int) { return 0; }
int Line_Connect(int, int) { return 0; }
int Line_Listen(int channel, int backlog) {
  g_line->Record("listen(" + std::to_string(channel) + "," + std::to_string(backlog) + ")");
  return g_line->listen_result;
}
int Line_Accept(int channel) {
  g_line->Record("accept(" + std::to_string(channel) + ")");
  std::lock_guard<std::mutex> lock(g_line->mutex);
  if (g_line->accept_results.empty()) return testsupport::FakeChannel::Channel();
  int r = g_line->accept_results.front();
  g_line->accept_results.erase(g_line->accept_results.begin());
  return r;
}
long Line_Send(int channel, unsigned char* data, std::uint32_t length) {
  return g_line->fake->Do_Send(channel, data, length);
}
long Line_Recv(int channel, unsigned char* data, std::uint32_t length, int flags) {
  return g_line->fake->Do_Recv(channel, data, length, flags);
}
int Line_Close(int channel, unsigned char mode) {
  g_line->Record("close(" + std::to_string(channel) + "," + std::to_string(mode) + ")");
  return 0;
}
int Line_Reset() {
  g_line->Record("reset");
  return 0;
}
int Line_Handshake(int) { return 0; }

const ChannelDriver kLineDriver = {Line_Init, Line_Open, Line_Bind,  Line_Connect, Line_Listen,    Line_Accept,
                                   Line_Send, Line_Recv, Line_Close, Line_Reset,   Line_Handshake, Line_Handshake};

using Calls = std::vector<std::string>;

// Calls of one session on the line: listen, accept, the session's close.
Calls Session_Calls(int close_mode) {
  return {"listen(1,1)", "accept(1)", "close(7," + std::to_string(close_mode) + ")"};
}

Calls Join(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Calls kSetUp = {"init", "open"};
const Calls kTearDown = {"close(1,0)", "reset"};

class Rs232Loop : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    line_.fake = &fake_;
    g_line = &line_;
    saved_driver_ = Set_Channel_Driver(0, &kLineDriver);
    std::ofstream(dir_ / "device.ini") << "IF=RS232C\n[RS232C]\nPORT=COM1\nBAUD=9600\nPARITY=NONE\nSTOP=1\nDATA=8\n";
    const std::string module = (dir_ / "tarnel").string();
    module.copy(handle_.module_path, sizeof handle_.module_path - 1);
    saved_handle_ = Instance_Handle;
    platform::Store(Instance_Handle, &handle_);
    Reset_Line_Record();
  }

  void TearDown() override {
    platform::Store(Instance_Handle, saved_handle_);
    Set_Channel_Driver(0, saved_driver_);
    g_line = nullptr;
    Reset_Line_Record();
    SessionTest::TearDown();
  }

  static void Reset_Line_Record() {
    Clear_Command_Buffer(kLineHt);
    InfoHT& info = Info_Of(kLineHt);
    platform::Store(info.AbortFromGUI, std::int32_t{0});
    platform::Store(info.WaitingGUICommand, std::int32_t{0});
  }

  static void Abort() { Set_Abort_From_GUI(kLineHt, std::int32_t{1}); }

  short Run_Loop() {
    return On_Engine_Thread([this] { return engine_.ROX_Start(kLineHt); });
  }

  int Count_Sent(const Bytes& packet) const {
    std::vector<Bytes> sent = Sent();
    return static_cast<int>(std::count(sent.begin(), sent.end(), packet));
  }

  Line line_;
  InstanceHandle handle_{};
  InstanceHandle* saved_handle_ = nullptr;
  const ChannelDriver* saved_driver_ = nullptr;
};

TEST_F(Rs232Loop, RunOnceLineIsCarriedOutOnceAndTheNextSessionWaits) {
  Write_Command_Buffer(kLineHt, "/1/B//");
  fake_.Feed(Idle_Notice());
  // The HT answers each request and comes back after every end indication.
  Answer_With([](const Bytes& sent) { return sent[1] == 'E' ? Idle_Notice() : Response(sent[1]); });
  while_running_ = [this] {
    // The second session waits for a command that never comes.
    if (Sent().size() >= 2 && platform::Load(Info_Of(kLineHt).WaitingGUICommand) == 1) Abort();
  };

  EXPECT_EQ(Run_Loop(), E_BREAK_KEY);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{Packet(1, 'G', 0, {}), End_Indication(0, 0), End_Indication(0x00, 0xF8)}));
  EXPECT_EQ(line_.Calls(), Join({kSetUp, Session_Calls(1), Session_Calls(1), kTearDown}));
  EXPECT_TRUE(Command_Buffer_Empty(kLineHt));
  EXPECT_EQ(platform::Load(Info_Of(kLineHt).AbortFromGUI), 0);
  EXPECT_EQ(engine_.PacketBuf, nullptr);
  EXPECT_EQ(engine_.HTNumber, kLineHt);
  EXPECT_EQ(engine_.PostStatus, 1);
}

TEST_F(Rs232Loop, LineWithoutRunOnceRunsAgainInEverySession) {
  Write_Command_Buffer(kLineHt, "/B");
  fake_.Feed(Idle_Notice());
  int ends = 0;
  Answer_With([&](const Bytes& sent) {
    if (sent[1] != 'E') return Response(sent[1]);
    if (++ends < 3) return Idle_Notice();
    // The operator stops the line after the third session.
    Abort();
    return Bytes{};
  });

  EXPECT_EQ(Run_Loop(), -1);
  EXPECT_EQ(Count_Sent(Packet(1, 'G', 0, {})), 3);
  EXPECT_EQ(Count_Sent(End_Indication(0, 0)), 3);
  EXPECT_EQ(line_.Calls(),
            Join({kSetUp, Session_Calls(1), Session_Calls(1), Session_Calls(1), {"listen(1,1)"}, kTearDown}));
  EXPECT_EQ(engine_.SessionCount, 3);
  // The stop releases everything.
  EXPECT_TRUE(Command_Buffer_Empty(kLineHt));
  EXPECT_EQ(engine_.CommandList[0], '\0');
  EXPECT_EQ(platform::Load(Info_Of(kLineHt).AbortFromGUI), 0);
  EXPECT_EQ(engine_.EndSession, 0);
}

TEST_F(Rs232Loop, FailedSessionSetsTheLineUpAgain) {
  // The HT ends the first session itself: the line closes with mode 0.
  fake_.Feed(Packet(1, 'E', 0, {0, 0}));
  line_.on_call = [this](const std::string& call) {
    if (call == "init" && line_.Count("init") == 2) Abort();
  };
  EXPECT_EQ(Run_Loop(), -1);
  EXPECT_EQ(line_.Calls(), Join({kSetUp, Session_Calls(0), kTearDown, kSetUp, {"listen(1,1)"}, kTearDown}));
  EXPECT_TRUE(Sent().empty());
}

TEST_F(Rs232Loop, OneShotModeEndsAfterOneSessionAndSaysSo) {
  OneShotMode = 1;
  Write_Command_Buffer(kLineHt, "/B");
  fake_.Feed(Idle_Notice());
  Answer_With([](const Bytes& sent) { return sent[1] == 'E' ? Bytes{} : Response(sent[1]); });
  EXPECT_EQ(Run_Loop(), E_PC_END);
  EXPECT_EQ(line_.Calls(), Join({kSetUp, Session_Calls(1), kTearDown}));
  EXPECT_TRUE(Command_Buffer_Empty(kLineHt));
  std::vector<Status> seen = target_.Seen();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().msg, WM_ONESHOT_END);
  EXPECT_EQ(seen.back().ht, 0u);
  EXPECT_EQ(seen.back().value, 0);
}

TEST_F(Rs232Loop, LineThatCannotBeSetUpIsReported) {
  // No settings file: the channel layer's own result comes back.
  std::filesystem::remove(dir_ / "device.ini");
  EXPECT_EQ(Run_Loop(), CH_NO_INI);
  EXPECT_EQ(target_.Codes(), (std::vector<int>{E_STARTUP}));
  EXPECT_EQ(engine_.PacketBuf, nullptr);
}

TEST_F(Rs232Loop, OpenFailuresAreReportedOnceAtTheSecond) {
  line_.open_result = 0;
  for (int attempt = 1; attempt <= 4; ++attempt) {
    SCOPED_TRACE(attempt);
    EXPECT_EQ(Run_Loop(), -1);
    EXPECT_EQ(engine_.OpenFailCount, attempt % 2);
  }
  EXPECT_EQ(target_.Codes(), (std::vector<int>{E_OPEN}));
  EXPECT_EQ(line_.Count("reset"), 4);
  EXPECT_EQ(line_.Count("listen(1,1)"), 0);
}

TEST_F(Rs232Loop, ListenAndAcceptFailures) {
  line_.listen_result = -3;
  EXPECT_EQ(Run_Loop(), -1);
  EXPECT_EQ(line_.Calls(), Join({kSetUp, {"listen(1,1)"}, kTearDown}));
  EXPECT_EQ(target_.Codes(), (std::vector<int>{E_LISTEN}));

  // A failed accept is reported and the line set up again.
  line_.calls.clear();
  line_.listen_result = 1;
  line_.accept_results = {0};
  line_.on_call = [this](const std::string& call) {
    if (call == "init" && line_.Count("init") == 2) Abort();
  };
  EXPECT_EQ(Run_Loop(), -1);
  EXPECT_EQ(line_.Calls(), Join({kSetUp, {"listen(1,1)", "accept(1)"}, kTearDown, kSetUp, {"listen(1,1)"}, kTearDown}));
  EXPECT_EQ(target_.Codes(), (std::vector<int>{E_LISTEN, E_ACCEPT}));
}

// The link manager's stop of the RS-232C line (its stop flag and the
// abort flag of HT 1) ends a script that runs itself within two seconds.
TEST_F(Rs232Loop, LinkManagerStopEndsAScriptThatRunsItself) {
  Write_File("self.scr", "/E self.scr\n");
  Write_Command_Buffer(kLineHt, "/E self.scr");
  fake_.Feed(Idle_Notice());
  ASSERT_EQ(Start_A_Session(LINK_RS232C, 0), 1);
  ASSERT_TRUE(Wait_Until([] { return platform::Load(Info_Of(kLineHt).BusyFlag) == 1; }));
  platform::Sleep_Ms(300);

  // An engine that ignores the stop is freed by taking its script away.
  std::atomic<bool> stopped{false};
  std::thread watchdog([&] {
    const std::uint64_t give_up = platform::Monotonic_Ms() + 3000;
    while (!stopped && platform::Monotonic_Ms() < give_up) platform::Sleep_Ms(10);
    if (!stopped) {
      std::error_code ec;
      std::filesystem::remove(dir_ / "self.scr", ec);
    }
  });
  const std::uint64_t asked = platform::Monotonic_Ms();
  EXPECT_EQ(Stop_A_Session(LINK_RS232C, 0), 1);
  const std::uint64_t stop_ms = platform::Monotonic_Ms() - asked;
  stopped = true;
  watchdog.join();

  EXPECT_LT(stop_ms, 2000u);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0x00, 0xF8)}));
  EXPECT_TRUE(Command_Buffer_Empty(kLineHt));
  EXPECT_EQ(platform::Load(Info_Of(kLineHt).AbortFromGUI), 0);
}

}  // namespace
}  // namespace session_test
