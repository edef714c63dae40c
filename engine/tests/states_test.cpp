// The state machine's own helpers: the command list cursor, the session
// start, the abort poll, and the bound of the command list.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/rox32.h"
#include "platform/atomic.h"

namespace {

constexpr int kHt = 5;

TEST(CommandList, ExtractAndAdvance) {
  char list[] = "G \aP hello\a";
  std::unique_ptr<char[]> first(RS232_ROX::Extract_Command(list));
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first.get(), "G ");
  char* next = RS232_ROX::Update_CommandBuf(list);
  EXPECT_STREQ(next, "P hello\a");
  std::unique_ptr<char[]> second(RS232_ROX::Extract_Command(next));
  EXPECT_STREQ(second.get(), "P hello");
  next = RS232_ROX::Update_CommandBuf(next);
  EXPECT_EQ(*next, '\0');
  EXPECT_EQ(next, list + std::strlen(list));
}

TEST(CommandList, TextWithoutCommandEnd) {
  // Nothing complete to carry out, and the cursor never leaves the string.
  char list[] = "G \aunfinished";
  char* rest = RS232_ROX::Update_CommandBuf(list);
  EXPECT_EQ(RS232_ROX::Extract_Command(rest), nullptr);
  EXPECT_EQ(RS232_ROX::Update_CommandBuf(rest), list + std::strlen(list));
  char empty[] = "";
  EXPECT_EQ(RS232_ROX::Extract_Command(empty), nullptr);
  EXPECT_EQ(RS232_ROX::Update_CommandBuf(empty), empty);
}

TEST(SessionStart, ResetsTheSessionAndKeepsTheListUnlessAScriptIsKept) {
  auto e = std::make_unique<RS232_ROX>();
  e->HTNumber = kHt;
  e->SessionCount = 42;
  e->State = 4;
  e->PcDriven = e->ScriptMode = e->CheckGuiFirst = e->TransferOption = e->EndSession = e->ListRewind = 1;
  e->FileCount = 3;
  e->BytesExpected = 99;
  std::strcpy(e->CurrentFile, "x");
  std::strcpy(e->CommandList, "G \a");
  e->Init_State_Machine();
  EXPECT_EQ(e->State, 0);
  EXPECT_EQ(e->PcDriven + e->ScriptMode + e->CheckGuiFirst + e->TransferOption + e->EndSession + e->ListRewind, 0);
  EXPECT_EQ(e->FileCount, 0);
  EXPECT_EQ(e->BytesExpected, 0);
  EXPECT_EQ(e->CurrentFile[0], '\0');
  EXPECT_STREQ(e->CommandList, "G \a") << "a command in force runs again";
  EXPECT_EQ(e->SessionInfo.Session, 42);
  EXPECT_EQ(e->SessionInfo.Level, '1');
  EXPECT_EQ(e->SessionInfo.Id[0], 'A');
  EXPECT_EQ(e->SessionInfo.Id[3], 'W');

  std::strcpy(e->ScriptCommand, "I a.scr");
  e->Init_State_Machine();
  EXPECT_EQ(e->CommandList[0], '\0') << "a kept script starts from its command";
}

TEST(AbortPoll, TakesTheLowByteOfTheFlag) {
  RS232_ROX e;
  e.HTNumber = kHt;
  InfoHT& info = Info_Of(kHt);
  platform::Store(info.AbortFromGUI, std::int32_t{0x100});
  EXPECT_EQ(e.Poll_Abort_Flag(), 0);
  EXPECT_EQ(e.EndSession, 0);
  platform::Store(info.AbortFromGUI, std::int32_t{0x101});
  EXPECT_EQ(e.Poll_Abort_Flag(), E_BREAK_KEY);
  EXPECT_EQ(e.EndSession, 1);
  platform::Store(info.AbortFromGUI, std::int32_t{0});
  EXPECT_EQ(e.Poll_Abort_Flag(), 0);
  EXPECT_EQ(e.EndSession, 0);

  // An engine without an HT number touches no record.
  e.HTNumber = 0;
  EXPECT_EQ(e.Poll_Abort_Flag(), 0);
}

TEST(UiCommand, CopiesAtMostTheGivenSize) {
  RS232_ROX e;
  e.HTNumber = kHt;
  Write_Command_Buffer(kHt, "/B/P hello");
  char small[5];
  e.Get_UI_Command(small, sizeof small);
  EXPECT_STREQ(small, "/B/P");
  char whole[CMD_BUF_SIZE];
  e.Get_UI_Command(whole);
  EXPECT_STREQ(whole, "/B/P hello");
  e.SetClockPending = 1;
  e.Clear_UI_Command();
  EXPECT_TRUE(Command_Buffer_Empty(kHt));
  EXPECT_EQ(e.SetClockPending, 0);
  e.Get_UI_Command(whole);
  EXPECT_STREQ(whole, "");
}

// A script line whose commands no longer fit behind the pending ones ends
// the session with 41 and never writes past the list.
TEST(IdleList, ListThatCannotTakeTheNextScriptLineEndsWith41) {
  auto e = std::make_unique<RS232_ROX>();
  e->HTNumber = kHt;
  std::vector<unsigned char> buffer(PACKET_BUF_SIZE);
  e->PacketBuf = buffer.data();
  const std::filesystem::path script = std::filesystem::temp_directory_path() / "states_test_overflow.scr";
  std::ofstream(script) << "/B\n/B\n";
  e->ScriptFile = std::fopen(script.string().c_str(), "r");
  ASSERT_NE(e->ScriptFile, nullptr);
  e->ScriptMode = 1;
  e->RepeatCommand = 0;

  // Pending commands fill all but 2 bytes; "G " and its end need 3 more.
  std::string pending;
  while (pending.size() + 3 <= sizeof e->CommandList - 2) pending += "G \a";
  pending.append(sizeof e->CommandList - 2 - pending.size(), 'x');
  pending.back() = '\a';
  std::memcpy(e->CommandList, pending.c_str(), pending.size() + 1);

  short result = 0;
  char* next = e->Idle_State_Process(7, e->CommandList, &result);
  EXPECT_EQ(result, E_MEMORY);
  EXPECT_EQ(next, e->CommandList);
  EXPECT_EQ(e->CommandList[0], '\0') << "a run-once list is cleared after an error";

  if (e->ScriptFile) std::fclose(e->ScriptFile);
  e->ScriptFile = nullptr;
  e->PacketBuf = nullptr;
  std::filesystem::remove(script);
}

// Finished commands ahead of the cursor are dropped when the next script
// line comes in, so a long script never fills the list.
TEST(IdleList, ScriptLinesDoNotAccumulateInTheList) {
  auto e = std::make_unique<RS232_ROX>();
  e->HTNumber = kHt;
  std::vector<unsigned char> buffer(PACKET_BUF_SIZE);
  e->PacketBuf = buffer.data();
  const std::filesystem::path script = std::filesystem::temp_directory_path() / "states_test_long.scr";
  std::ofstream(script) << "/B\n";
  e->ScriptFile = std::fopen(script.string().c_str(), "r");
  ASSERT_NE(e->ScriptFile, nullptr);
  e->ScriptMode = 1;
  e->RepeatCommand = 1;
  // A finished stretch of 32000 bytes ahead of the pending "L ".
  std::string done(32000, 'x');
  done += "\aZ \a";
  std::memcpy(e->CommandList, done.c_str(), done.size() + 1);

  short result = 0;
  char* next = e->Idle_State_Process(7, e->CommandList + 32001, &result);
  // The pending "Z " moved to the front, the line's "G " behind it; "Z " is
  // carried out first (30, an unknown command).
  EXPECT_EQ(result, E_UNDEF_FUNCTION);
  EXPECT_EQ(next, e->CommandList);
  EXPECT_EQ(std::string(e->CommandList), "Z \aG \a");

  if (e->ScriptFile) std::fclose(e->ScriptFile);
  e->ScriptFile = nullptr;
  e->PacketBuf = nullptr;
  std::filesystem::remove(script);
}

}  // namespace
