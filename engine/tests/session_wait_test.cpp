// Whole sessions in which the HT is the master: its requests, the PC's
// answers byte for byte, and how such sessions end.
#include "engine/tests/session_harness.h"

namespace session_test {
namespace {

// Date and time fields as file information carries them.
Bytes Date_Field(int day, int month, int year) {
  return Cat({{static_cast<unsigned char>(day), static_cast<unsigned char>(month)}, Le16(static_cast<std::uint16_t>(year))});
}

Bytes File_Info(std::uint32_t size, const Bytes& date, const Bytes& time, std::uint8_t attr, const std::string& name) {
  return Cat({Le32(size), date, time, {attr}, Text(name)});
}

Bytes Session_Info_Request() { return Packet(1, 'X', 0, Cat({Le16(0), Chars("1AT"), {0}, Chars("W")})); }

Bytes Session_Info_Response(std::uint16_t session) {
  return Packet(0, 'X', 0, Cat({Le16(session), Chars("1AT"), {0}, Chars("W")}));
}

using WaitState = SessionTest;

TEST_F(WaitState, FileRequestsAreCarriedOutAndAnswered) {
  Write_File("a.txt", "12345");
  Write_File("gone.txt", "x");
  const Bytes no_time = {0, 0, 0};
  fake_.Feed(Packet(1, 'K', 0, File_Info(0, Date_Field(1, 1, 2004), no_time, 0x10, Pc_Path("new\\deeper"))))
      .Feed(Packet(1, 'M', 0, Text(Pc_Path("a.txt") + "::" + Pc_Path("b.txt"))))
      .Feed(Packet(1, 'D', 0, Cat({Le16(1), Text(Pc_Path("gone.txt"))})))
      .Feed(Packet(1, 'U', 0, File_Info(5, Date_Field(7, 3, 2004), {30, 45, 13}, 0x20, Pc_Path("b.txt"))))
      .Feed(Packet(1, 'V', 'f', Text(Pc_Path("b.txt"))))
      .Feed(Packet(1, 'E', 0, {0x02, 0x02}));

  EXPECT_EQ(Run_Session(), E_END_FROM_HT);

  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "new" / "deeper"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "a.txt"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "b.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "gone.txt"));
  fileinfotag info{};
  RS232_ROX::Get_File_Info(Pc_Path("b.txt").c_str(), &info);
  EXPECT_EQ(info.Date, 0x070307D4u);
  EXPECT_EQ(Bytes(info.Time, info.Time + 3), (Bytes{30, 45, 13}));

  std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 5u) << "the HT's end indication is not answered";
  EXPECT_EQ(sent[0], Response('K'));
  EXPECT_EQ(sent[1], Response('M'));
  EXPECT_EQ(sent[2], Response('D'));
  EXPECT_EQ(sent[3], Response('U'));
  EXPECT_EQ(sent[4], Packet(0, 'V', 'f', File_Info(5, Date_Field(7, 3, 2004), {30, 45, 13}, info.Attributes, Pc_Path("b.txt"))));

  // The HT's own ending is logged with its code and reported as 72.
  EXPECT_NE(Error_Log().find("0x02\t0x02\tFile Not Found"), std::string::npos) << Error_Log();
  EXPECT_EQ(target_.Codes(), (std::vector<int>{E_END_FROM_HT}));
  EXPECT_EQ(platform::Load(Info_Of(kHt).BusyFlag), 1);
}

TEST_F(WaitState, ClockDiskSessionAndDisplayRequests) {
  fake_.Feed(Packet(1, 'J', 0, {}))
      .Feed(Packet(1, 'C', 0, {'c'}))
      .Feed(Session_Info_Request())
      .Feed(Packet(1, 'P', 0, Text("Hello HT")))
      .Feed(Packet(1, 'E', 0, {0, 0}));
  engine_.SessionCount = 17;

  EXPECT_EQ(Run_Session(), E_END_FROM_HT);

  std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 4u);
  // The PC's clock: day, month, year, seconds, minutes, hours.
  ASSERT_EQ(sent[0].size(), 14u);
  EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 5), (Bytes{0, 'J', 0, 7, 0}));
  EXPECT_GE(sent[0][5], 1);
  EXPECT_LE(sent[0][6], 12);
  // Drive C: is answered with its size, free space and condition 0.
  ASSERT_EQ(sent[1].size(), 16u);
  EXPECT_EQ(Bytes(sent[1].begin(), sent[1].begin() + 5), (Bytes{0, 'C', 0, 9, 0}));
  EXPECT_EQ(sent[1][13], 0);
  EXPECT_EQ(sent[2], Session_Info_Response(17));
  EXPECT_EQ(sent[3], Response('P'));

  std::vector<Box> boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Hello HT");
  EXPECT_EQ(boxes[0].caption, "Display String");
  EXPECT_EQ(boxes[0].flags, platform::MB_OK | platform::MB_ICONINFORMATION);
  EXPECT_EQ(Error_Log(), "") << "a normal ending from the HT writes no record";
}

TEST_F(WaitState, DisplayStringWaitsUntilTheBoxIsClosed) {
  std::atomic<bool> release{false};
  platform::Set_Message_Box_Handler([&](const std::string&, const std::string&, unsigned) {
    while (!release) platform::Sleep_Ms(2);
    return platform::IDOK;
  });
  fake_.Feed(Packet(1, 'P', 0, Text("wait"))).Feed(Packet(1, 'E', 0, {0, 0}));
  std::thread closer([&] {
    platform::Sleep_Ms(150);
    // Nothing is answered while the box is open.
    EXPECT_EQ(fake_.Send_Calls(), 0);
    release = true;
  });
  EXPECT_EQ(Run_Session(), E_END_FROM_HT);
  closer.join();
  EXPECT_EQ(Sent(), (std::vector<Bytes>{Response('P')}));
}

TEST_F(WaitState, UnexpectedPacketsEndTheSessionWithTheirCodeAndEndIndication) {
  struct Case {
    Bytes packet;
    short code;
    Bytes end;
  };
  const Case cases[] = {
      {Packet(1, 'B', 0, {}), E_UNDEF_FUNCTION, End_Indication(0x00, 0x01)},
      {Response('D'), E_OTHER_PROTOCOL, End_Indication(0x06, 0x01)},
      {Packet(1, 'S', 'i', File_Info(1, Date_Field(1, 1, 2004), {0, 0, 0}, 0, "x")), E_SEQUENCE,
       End_Indication(0x04, 0x01)},
      {Packet(1, 'A', 'd', {0, 0xF1}), E_SEQUENCE, End_Indication(0x04, 0x01)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testsupport::Hex(c.packet));
    fake_.Clear_Sent();
    fake_.Feed(c.packet);
    EXPECT_EQ(Run_Session(), c.code);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{c.end}));
  }
  EXPECT_NE(Error_Log().find("Undefine Function Code"), std::string::npos);
  EXPECT_NE(Error_Log().find("Other Protocol Error"), std::string::npos);
}

TEST_F(WaitState, TimeOutsAreWaitedThroughAndAnAbortEndsWith29) {
  fake_.Feed_Timeout().Feed_Timeout().Feed(Session_Info_Request());
  Answer_With([this](const Bytes& sent) {
    if (sent[1] == 'X') Set_Abort_From_GUI(kHt, std::int32_t{1});
    return Bytes{};
  });
  fake_.Feed_Timeout();

  EXPECT_EQ(Run_Session(), E_BREAK_KEY);
  std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], Session_Info_Response(0));
  EXPECT_EQ(sent[1], End_Indication(0x00, 0xF8));
  EXPECT_EQ(target_.Codes(), (std::vector<int>{E_BREAK_KEY}));
}

TEST_F(WaitState, BrokenChannelEndsWith71AndTheEndIndicationIsStillTried) {
  fake_.Feed_Failure(-1);
  EXPECT_EQ(Run_Session(), E_COMMUNICATION);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0x00, 0x05)}));

  // A send that fails as well is logged as a second record.
  fake_.Clear_Sent();
  fake_.Feed_Failure(-1);
  fake_.Fail_Send_At(fake_.Send_Calls() + 1, -5);
  EXPECT_EQ(Run_Session(), E_COMMUNICATION);
  EXPECT_NE(Error_Log().find("Timeout Error"), std::string::npos);
}

TEST_F(WaitState, SessionCountRunsTo255ThenStartsAgainAt0) {
  engine_.SessionCount = 254;
  for (std::uint16_t expected : {254, 255, 0}) {
    SCOPED_TRACE(expected);
    fake_.Clear_Sent();
    fake_.Feed(Session_Info_Request()).Feed(Packet(1, 'E', 0, {0, 0}));
    EXPECT_EQ(Run_Session(), E_END_FROM_HT);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{Session_Info_Response(expected)}));
  }
  EXPECT_EQ(engine_.SessionCount, 1);
  EXPECT_EQ(engine_.PacketBuf, nullptr) << "each session frees its packet buffer";
}

TEST_F(WaitState, IdleNoticeNamingAScriptRunsItFromTheWorkFolder) {
  // The last line has no line feed; it still runs, and the session ends.
  Write_File("RUN.SCR", "/B\n\n/P hello\r\n/B");
  fake_.Feed(Packet(1, 'I', 's', Text("RUN.SCR")));
  Answer_With([](const Bytes& sent) { return sent[1] == 'E' ? Bytes{} : Response(sent[1]); });

  EXPECT_EQ(Run_Session(), E_PC_END);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{Packet(1, 'G', 0, {}), Packet(1, 'P', 0, Text("hello")), Packet(1, 'G', 0, {}),
                                         End_Indication(0, 0)}));
  EXPECT_EQ(engine_.RepeatCommand, 0u);
  std::vector<Status> seen = target_.Seen();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().index, E_PC_END);
  EXPECT_EQ(seen.back().mode, 3);
  EXPECT_EQ(seen.back().value, 3);
}

TEST_F(WaitState, ScriptNoticeTakesAWaitingCommandLineFirst) {
  Write_File("RUN.SCR", "/P from script\n");
  Answer_With([](const Bytes& sent) { return sent[1] == 'E' ? Bytes{} : Response(sent[1]); });
  // The script is not needed, so its name does not matter, even when the
  // notice names none at all.
  for (const Bytes& name : {Text("RUN.SCR"), Text(""), Bytes{}}) {
    SCOPED_TRACE(testsupport::Hex(name));
    Fresh_Engine();
    fake_.Clear_Sent();
    Write_Command_Buffer(kHt, "/1/B//");
    fake_.Feed(Packet(1, 'I', 's', name));
    EXPECT_EQ(Run_Session(), E_PC_END);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{Packet(1, 'G', 0, {}), End_Indication(0, 0)}));
  }
}

TEST_F(WaitState, ScriptNoticeThatCannotBeOpenedEndsWith54) {
  fake_.Feed(Packet(1, 'I', 's', Text("NONE.SCR")));
  EXPECT_EQ(Run_Session(), E_FILE_NOTHING);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0x12, 0x02)}));
  EXPECT_EQ(engine_.ScriptMode, 0);

  // A work folder so long that the script's path does not fit.
  Set_Text(DefWorkFile, std::string(1023, 'w'));
  fake_.Clear_Sent();
  fake_.Feed(Packet(1, 'I', 's', Text("RUN.SCR")));
  EXPECT_EQ(Run_Session(), E_FILE_NOTHING);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{End_Indication(0x12, 0x02)}));
}

}  // namespace
}  // namespace session_test
