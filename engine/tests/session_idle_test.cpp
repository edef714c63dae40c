// Whole sessions in which the PC is the master: waiting for command lines,
// the run-once rule, the commands of the idle state, and how they end.
#include <ctime>

#include "engine/tests/session_harness.h"
#include "platform/process.h"

namespace session_test {
namespace {

class IdleState : public SessionTest {
 protected:
  // An HT that answers every request with a general response of the same
  // letters and stays silent after the PC's end indication.
  void Answer_Every_Request() {
    Answer_With([](const Bytes& sent) { return sent[1] == 'E' ? Bytes{} : Response(sent[1], sent[2]); });
  }

  bool Engine_Waits_For_A_Command() {
    return Wait_Until([] { return platform::Load(Info_Of(kHt).WaitingGUICommand) == 1; });
  }
};

TEST_F(IdleState, NoCommandWithinTheTimeoutEndsWith75AndItsEndIndication) {
  GCommandTimeout = 1;
  fake_.Feed(Idle_Notice());
  const std::uint64_t start = platform::Monotonic_Ms();
  EXPECT_EQ(Run_Session(), E_COMMAND_TIMEOUT);
  const std::uint64_t elapsed = platform::Monotonic_Ms() - start;
  // More than one whole second must have passed.
  EXPECT_GE(elapsed, 2000u);
  EXPECT_LT(elapsed, 3500u);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0x04, 0x05)}));
  EXPECT_EQ(target_.Codes(), (std::vector<int>{E_COMMAND_TIMEOUT}));
  EXPECT_EQ(platform::Load(Info_Of(kHt).WaitingGUICommand), 0);
  EXPECT_EQ(engine_.OpMode, 1);
  EXPECT_EQ(engine_.PcDriven, 1);
}

// An engine that sleeps without a limit learns of a limit set while it
// sleeps, and counts it from the start of its wait: the session ends with 75
// once more than the new limit has passed since the wait began.
TEST_F(IdleState, ATimeoutSetWhileTheEngineSleepsEndsTheWaitWith75) {
  GCommandTimeout = 0;
  fake_.Feed(Idle_Notice());
  std::uint64_t waiting_since = 0;
  std::thread set_limit([&] {
    if (!Engine_Waits_For_A_Command()) return;
    waiting_since = platform::Monotonic_Ms();
    platform::Sleep_Ms(300);
    Set_Command_Timeout(1);
  });
  EXPECT_EQ(Run_Session(), E_COMMAND_TIMEOUT);
  const std::uint64_t ended = platform::Monotonic_Ms();
  set_limit.join();
  ASSERT_NE(waiting_since, 0u);
  EXPECT_GE(ended - waiting_since, 1900u) << "more than one whole second counts";
  EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0x04, 0x05)}));
}

TEST_F(IdleState, AbortWhileWaitingForACommandEndsWith29AndItsEndIndication) {
  fake_.Feed(Idle_Notice());
  bool aborted = false;
  while_running_ = [&] {
    if (!aborted && platform::Load(Info_Of(kHt).WaitingGUICommand) == 1) {
      Set_Abort_From_GUI(kHt, std::int32_t{1});
      aborted = true;
    }
  };
  EXPECT_EQ(Run_Session(), E_BREAK_KEY);
  EXPECT_TRUE(aborted);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0x00, 0xF8)}));
  EXPECT_EQ(platform::Load(Info_Of(kHt).WaitingGUICommand), 0);
  EXPECT_NE(Error_Log().find("Break Key Interrupt Ending Notice"), std::string::npos);
}

// Waiting costs next to no processor time, with and without a time limit,
// and a run-once line written into the buffer is taken at once; the session
// then waits for the next line.
TEST_F(IdleState, WaitingIsCheapAndNewLinesAreSeenQuickly) {
  for (int timeout : {0, 30}) {
    SCOPED_TRACE(timeout);
    GCommandTimeout = timeout;
    fake_.Clear_Sent();
    fake_.Feed(Idle_Notice());
    Answer_Every_Request();
    std::vector<std::uint64_t> latencies;
    bool cpu_checked = false;
    double cpu_ms = 0;

    std::thread hand_in([&] {
      if (!Engine_Waits_For_A_Command()) return;
      const std::clock_t cpu0 = std::clock();
      platform::Sleep_Ms(400);
      cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
      cpu_checked = true;
      for (std::size_t i = 1; i <= 5; ++i) {
        if (!Engine_Waits_For_A_Command()) return;
        const std::uint64_t t0 = platform::Monotonic_Ms();
        Write_Command_Buffer(kHt, "/1/B");
        if (!fake_.Wait_Sent_Packets(i, 2000)) return;
        latencies.push_back(platform::Monotonic_Ms() - t0);
        // The answer arrives; the used line is cleared and the engine waits again.
        if (!Wait_Until([&] { return Command_Buffer_Empty(kHt); })) return;
      }
      Engine_Waits_For_A_Command();
      Set_Abort_From_GUI(kHt, std::int32_t{1});
    });
    EXPECT_EQ(Run_Session(), E_BREAK_KEY);
    hand_in.join();

    ASSERT_TRUE(cpu_checked);
    // A busy wait would take about the whole 400 ms.
    EXPECT_LT(cpu_ms, 60.0);
    ASSERT_EQ(latencies.size(), 5u);
    std::sort(latencies.begin(), latencies.end());
    EXPECT_LT(latencies[2], 50u);
    std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 6u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(sent[i], Packet(1, 'G', 0, {}));
    EXPECT_EQ(sent[5], End_Indication(0x00, 0xF8));
    Reset_Record();
  }
}

TEST_F(IdleState, LineWithoutRunOncePrefixClosesTheSessionAndStaysInForce) {
  Write_Command_Buffer(kHt, "/B");
  fake_.Feed(Idle_Notice());
  Answer_Every_Request();
  EXPECT_EQ(Run_Session(), E_PC_END);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{Packet(1, 'G', 0, {}), End_Indication(0, 0)}));
  EXPECT_EQ(engine_.RepeatCommand, 1u);
  EXPECT_FALSE(Command_Buffer_Empty(kHt));
  EXPECT_EQ(Error_Log(), "");

  // The same engine's next session runs the translated line again.
  fake_.Clear_Sent();
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_PC_END);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{Packet(1, 'G', 0, {}), End_Indication(0, 0)}));
}

TEST_F(IdleState, AnyValidResponseIsAcceptedAfterADeleteRequest) {
  const Bytes request = Packet(1, 'D', 0, Cat({Le16(1), Text("\\x\\a.txt")}));
  Write_Command_Buffer(kHt, "/D \\x\\a.txt");
  fake_.Feed(Idle_Notice());
  Answer_With([](const Bytes& sent) { return sent[1] == 'D' ? Response('M') : Bytes{}; });
  EXPECT_EQ(Run_Session(), E_PC_END);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{request, End_Indication(0, 0)}));

  // A time response is as good as any other.
  fake_.Clear_Sent();
  fake_.Feed(Idle_Notice());
  Answer_With([](const Bytes& sent) {
    return sent[1] == 'D' ? Packet(0, 'J', 0, Cat({{5, 4}, Le16(2003), {8, 7, 6}})) : Bytes{};
  });
  EXPECT_EQ(Run_Session(), E_PC_END);

  // A request of another letter is out of protocol.
  fake_.Clear_Sent();
  fake_.Feed(Idle_Notice());
  Answer_With([](const Bytes& sent) {
    return sent[1] == 'D' ? Packet(1, 'X', 0, Cat({Le16(0), Chars("1AT"), {0}, Chars("W")})) : Bytes{};
  });
  EXPECT_EQ(Run_Session(), E_OTHER_PROTOCOL);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{request, End_Indication(0x06, 0x01)}));

  // The HT's end indication ends the session without one from the PC.
  fake_.Clear_Sent();
  fake_.Feed(Idle_Notice());
  Answer_With([](const Bytes& sent) { return sent[1] == 'D' ? Packet(1, 'E', 0, {0x13, 0x03}) : Bytes{}; });
  EXPECT_EQ(Run_Session(), E_END_FROM_HT);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{request}));
  EXPECT_NE(Error_Log().find("Write Protect Error"), std::string::npos);
}

TEST_F(IdleState, EndCommandsCarryTheirClass) {
  Write_Command_Buffer(kHt, "// 12");
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_PC_END);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0, 12)}));

  Write_Command_Buffer(kHt, "/F d:");
  Fresh_Engine();
  fake_.Clear_Sent();
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_PC_END);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0, 0xDF)}));
}

TEST_F(IdleState, UntranslatableLineEndsWith37) {
  for (const char* line : {"/Q", "// 300", "no slash"}) {
    SCOPED_TRACE(line);
    Write_Command_Buffer(kHt, line);
    Fresh_Engine();
    fake_.Clear_Sent();
    fake_.Feed(Idle_Notice());
    EXPECT_EQ(Run_Session(), E_PARAMETER);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0x07, 0x01)}));
  }
}

TEST_F(IdleState, FailedSendEndsWith72AfterLoggingIt) {
  Write_Command_Buffer(kHt, "/B");
  fake_.Feed(Idle_Notice());
  fake_.Fail_Send_At(1, -1);
  EXPECT_EQ(Run_Session(), E_END_FROM_HT);
  EXPECT_TRUE(Sent().empty());
  EXPECT_NE(Error_Log().find("Communication Error"), std::string::npos);
}

TEST_F(IdleState, DiskInformationOfAnHtDriveIsReported) {
  Write_Command_Buffer(kHt, "/I b:");
  fake_.Feed(Idle_Notice());
  Answer_With([](const Bytes& sent) {
    return sent[1] == 'C' ? Packet(0, 'C', 0, Cat({Le32(1000), Le32(500), {0}})) : Bytes{};
  });
  EXPECT_EQ(Run_Session(), E_PC_END);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{Packet(1, 'C', 0, {'B'}), End_Indication(0, 0)}));
  std::ifstream in(dir_ / "DISKINFO.CLP", std::ios::binary);
  std::stringstream report;
  report << in.rdbuf();
  EXPECT_EQ(report.str(),
            "\nFollowing are the details of B Drive\nDisk Capacity   : 1000\nDisk Free Space : 500\n"
            "Disk Condition  : Disk Exists (Format Finish)\n");

  // Any other answer is out of sequence.
  fake_.Clear_Sent();
  fake_.Feed(Idle_Notice());
  Answer_With([](const Bytes& sent) { return sent[1] == 'C' ? Response('G') : Bytes{}; });
  EXPECT_EQ(Run_Session(), E_SEQUENCE);
}

// ---------------------------------------------------------------------------
// Child programs

TEST_F(IdleState, ChildExitCodesBecome98To107WhenTheyCount) {
  GErrCode = 0x1F0;
  struct Case {
    int status;
    short code;
  };
  for (Case c : {Case{255, 98}, Case{250, 103}, Case{246, 107}}) {
    SCOPED_TRACE(c.status);
    Write_Command_Buffer(kHt, ("/C exit " + std::to_string(c.status)).c_str());
    Fresh_Engine();
    fake_.Clear_Sent();
    fake_.Feed(Idle_Notice());
    EXPECT_EQ(Run_Session(), c.code);
    // The end indication carries GErrCode + code - 98, low byte first.
    const int value = 0x1F0 + c.code - 98;
    EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(static_cast<std::uint8_t>(value & 0xFF),
                                                         static_cast<std::uint8_t>(value >> 8))}));
    std::vector<int> codes = target_.Codes();
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes[codes.size() - 2], E_PROCESS_NORMAL);
    EXPECT_EQ(codes.back(), c.code);
  }

  // Other exit codes count as success.
  Write_Command_Buffer(kHt, "/C exit 245");
  Fresh_Engine();
  fake_.Clear_Sent();
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_PC_END);
}

TEST_F(IdleState, ChildExitCodesAreIgnoredWithoutGErrCode) {
  Write_File("ran", "");
  std::filesystem::remove(dir_ / "ran");
  Write_Command_Buffer(kHt, ("/C touch " + Work_Path("ran") + "; exit 255").c_str());
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_PC_END);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "ran")) << "the child was waited for";
  EXPECT_EQ(target_.Codes(), (std::vector<int>{E_PROCESS_NORMAL, E_PC_END}));
}

TEST_F(IdleState, ChildGoesOnByItselfWithGChildThrough) {
  GChildThrough = 1;
  Write_Command_Buffer(kHt, "/C sleep 3");
  fake_.Feed(Idle_Notice());
  const std::uint64_t start = platform::Monotonic_Ms();
  EXPECT_EQ(Run_Session(), E_PC_END);
  EXPECT_LT(platform::Monotonic_Ms() - start, 1500u) << "the child was not waited for";
  EXPECT_EQ(target_.Codes(), (std::vector<int>{E_PROCESS_NORMAL, E_PC_END}));
}

TEST_F(IdleState, ChildThatCannotStartEndsWith74) {
  platform::Set_Child_Shell_For_Testing("/nonexistent/shell");
  for (int through : {0, 1}) {
    SCOPED_TRACE(through);
    GChildThrough = through;
    Write_Command_Buffer(kHt, "/C true");
    Fresh_Engine();
    fake_.Clear_Sent();
    fake_.Feed(Idle_Notice());
    EXPECT_EQ(Run_Session(), E_SPAWN);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0x03, 0x05)}));
  }
  platform::Set_Child_Shell_For_Testing("");
}

// ---------------------------------------------------------------------------
// Scripts

TEST_F(IdleState, ScriptCommandRunsTheScriptAndRunsItAgainInTheNextSession) {
  Write_File("two.scr", "/B\n/P x\n");
  Write_Command_Buffer(kHt, "/E two.scr");
  Answer_Every_Request();
  const std::vector<Bytes> expected = {Packet(1, 'G', 0, {}), Packet(1, 'P', 0, Text("x")), End_Indication(0, 0)};
  for (int session = 0; session < 2; ++session) {
    SCOPED_TRACE(session);
    fake_.Clear_Sent();
    fake_.Feed(Idle_Notice());
    EXPECT_EQ(Run_Session(), E_PC_END);
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(std::string(engine_.ScriptCommand), "I " + std::string(DefWorkFile) + "two.scr");
  }
}

TEST_F(IdleState, ScriptThatIsTooBigOrMissingIsRefused) {
  Write_File("big.scr", std::string(32767, '\n'));
  Write_Command_Buffer(kHt, "/E big.scr");
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_PC_END) << "a script of 32767 bytes runs";

  Write_File("big.scr", std::string(32768, '\n'));
  fake_.Clear_Sent();
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_SCRIPT_TOO_BIG);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0x1A, 0x05)}));

  Write_Command_Buffer(kHt, "/E none.scr");
  Fresh_Engine();
  fake_.Clear_Sent();
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_FILE_NOTHING);
}

TEST_F(IdleState, ScriptPathTooLongForAScriptCommandEndsWith37) {
  // "I " and a path of 262 characters do not fit a script command.
  std::string folder = dir_.string() + "/" + std::string(255 - dir_.string().size(), 'd');
  std::filesystem::create_directories(folder);
  Set_Text(DefWorkFile, folder + "\\");
  std::ofstream(folder + "/s.scr") << "/B\n";
  Write_Command_Buffer(kHt, "/E s.scr");
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_PARAMETER);
  EXPECT_EQ(engine_.ScriptCommand[0], '\0');
}

}  // namespace
}  // namespace session_test
