// Translation of command lines into basic commands, option separation, the
// bounds of the command list, and reading script files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/rox32.h"

namespace {

const unsigned char* U(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.c_str()); }

struct CommandsTest : ::testing::Test {
  std::unique_ptr<RS232_ROX> rox = std::make_unique<RS232_ROX>();
  char saved_work[sizeof DefWorkFile];

  void SetUp() override {
    std::memcpy(saved_work, DefWorkFile, sizeof DefWorkFile);
    std::strcpy(DefWorkFile, "C:\\WORK");
  }
  void TearDown() override {
    if (rox->ScriptFile) std::fclose(rox->ScriptFile);
    std::memcpy(DefWorkFile, saved_work, sizeof DefWorkFile);
  }

  // Translates line into a cleared CommandList; the list, or "#code".
  std::string Translate(const std::string& line) {
    std::memset(rox->CommandList, 0, sizeof rox->CommandList);
    short r = rox->Translate_Command(U(line), rox->CommandList);
    if (r != 0) return "#" + std::to_string(r);
    return rox->CommandList;
  }
};

// Expected lists write the byte 7 that closes each basic command as \a.
TEST_F(CommandsTest, TranslationTable) {
  struct Case {
    const char* line;
    std::string list;
  } cases[] = {
      // send and fetch
      {"/S a.txt b.txt \\TARGET", "S a.txt::b.txt##\\TARGET\a"},
      {"/SUR *.dat \\D", "VSR *.dat##\\D\aSRU *.dat##\\D\a"},
      {"/sur a b", "VSR a##b\aSRU a##b\a"},
      {"/SO a b", "SO a##b\a"},
      {"/RRO \\APP\\*.* C:\\IN\\", "RWO \\APP\\*.*##C:\\IN\a"},
      {"/RRO \\APP\\*.* C:\\IN\\//", "RWO \\APP\\*.*##C:\\IN\aE \a"},
      {"/RU x d", "VR x##d\aRU x##d\a"},
      {"/S a", "S a\a"},
      {"/S a \\//", "S a##\aE \a"},  // the root as destination
      {"/SX a b", "#77"},
      {"/SOO a b", "#77"},
      {"/SORUO a b", "#37"},
      {"/S", "#37"},
      {"/S    ", "#37"},
      {"/S \"a b", "#37"},
      {"/A a b", "A a::b\a"},
      {"/AS a b", "A a::b\a"},
      {"/AR a b", "RA a::b\a"},
      {"/ARS a b", "#37"},
      {"/AX a b", "#77"},
      // delete, move, information
      {"/D \"my file.txt\"", "D my file.txt\a"},
      {"/DOR a b", "DRO a::b\a"},
      {"/DX a", "D a\a"},
      {"/DROX a", "#37"},
      {"/D", "#37"},
      {"/N old new", "M old::new\a"},
      {"/N \"old name\" new", "M old name::new\a"},
      {"/N", "#37"},
      {"/N old", "#37"},
      {"/N a b c", "#37"},
      {"/N \"\" new", "#37"},
      {"/I C:", "C C:\a"},
      {"/I \\APP\\*.DAT", "VG \\APP\\*.DAT\a"},
      {"/I", "#37"},
      // clock and file information
      {"/T 2003-04-05 06:07:08", "T 2003-04-05$06:07:08\a"},
      {"/T 06:07:08 2003-04-05", "T 2003-04-05$06:07:08\a"},
      {"/T foo", "#37"},
      {"/T 2003-04-05 2004-01-01", "#37"},
      {"/X a.txt", "U 0 FFFFFFFF$ FFFFFF Z a.txt\a"},
      {"/XRH a.txt 100 2004-03-07 13:45:30", "U 100 2004-03-07$13:45:30 RH a.txt\a"},
      {"/Xa a.txt 13:45:30//", "U 0 FFFFFFFF$13:45:30 A a.txt\aE \a"},
      {"/XS \"my f.txt\" 2004-03-07", "U 0 2004-03-07$ FFFFFF S my f.txt\a"},
      {"/X a.txt 4294967296", "#37"},
      {"/X a.txt 10 20", "#37"},
      {"/X a.txt big", "#37"},
      {"/XRR a", "#77"},
      {"/XAHRSA a", "#37"},
      {"/X", "#37"},
      // display, buzzer, programs, scripts, format
      {"/P hello//", "P hello\aE \a"},
      {"/P \"hello world\"//", "P hello world\aE \a"},
      {"/P //", "P \aE \a"},
      {"/P", "#37"},
      {"/Phello", "#37"},
      {"/B//", "G \aE \a"},
      {"/C prog /x \"a b\"//", "B prog /x \"a b\"\aE \a"},
      {"/c copy a C:\\dir\\//", "B copy a C:\\dir\aE \a"},
      {"/B/C ls -l", "G \aB ls -l\a"},
      {"/C", "#37"},
      {"/E run.scr", "I C:\\WORK\\run.scr\a"},
      {"/E my run.scr//", "I C:\\WORK\\my run.scr\aE \a"},
      {"/E \"my run.scr\"", "I C:\\WORK\\my run.scr\a"},
      {"/E", "#37"},
      {"/F X:", "EF X\a"},
      {"/F d:", "EF D\a"},
      {"/F X", "#37"},
      {"/F", "#37"},
      // ends
      {"//", "E \a"},
      {"// 12", "EP \x0c\a"},
      {"// 255", "EP \xff\a"},
      {"// 0", "E \a"},      // class 0 is the plain end; a NUL would cut the list
      {"// 7", "#37"},       // the byte 7 cannot sit inside a command
      {"// 300", "#37"},
      {"// 1x", "#37"},
      {"//12", "#37"},
      // whole lines
      {"/S a b/RRO c d\\//", "S a##b\aRWO c##d\aE \a"},
      {"/Q", "#77"},
      {"/1/S a b", "#77"},  // the run-once prefix is the idle state's, not an option
      {"S a b", "#37"},
      {" /S a b", "#37"},
      {"", "#37"},
      {"/S a b\a/B", "#37"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Translate(c.line), c.list) << "line: " << c.line;
  }
}

TEST_F(CommandsTest, ScriptPathFollowsTheWorkFolder) {
  std::strcpy(DefWorkFile, "C:\\WORK\\");
  EXPECT_EQ(Translate("/E run.scr"), "I C:\\WORK\\run.scr\a");
  // The kept script command (ScriptCommand) must hold the whole command.
  std::string name(RS232_ROX::SCRIPT_COMMAND_SIZE, 'n');
  EXPECT_EQ(Translate("/E " + name), "#37");

  char path[32];
  EXPECT_EQ(RS232_ROX::Make_Script_Path("RUN.SCR", path, sizeof path), 0);
  EXPECT_STREQ(path, "C:\\WORK\\RUN.SCR");
  EXPECT_EQ(RS232_ROX::Make_Script_Path("RUN.SCR", path, 12), E_FILE_NOTHING);
  EXPECT_STREQ(path, "");
  EXPECT_EQ(RS232_ROX::Make_Script_Path("", path, sizeof path), E_FILE_NOTHING);
}

// True when text matches pattern, where 'D' stands for any decimal digit.
bool Shaped(const std::string& text, const std::string& pattern) {
  if (text.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == 'D' ? !digit : text[i] != pattern[i]) return false;
  }
  return true;
}

TEST_F(CommandsTest, TimeSetTakesTheMissingPartsFromThePcClock) {
  char today[RS232_ROX::SYSTEM_TANDD_SIZE];
  RS232_ROX::Get_System_TandD(today, 1);
  rox->SetClockPending = 0;
  std::string list = Translate("/T 06:07:08");
  EXPECT_TRUE(Shaped(list, "T DDDD-DD-DD$06:07:08\a")) << list;
  EXPECT_EQ(list.substr(2, 10), today);
  EXPECT_EQ(rox->SetClockPending, 1);

  rox->SetClockPending = 0;
  list = Translate("/T 2003-04-05");
  EXPECT_TRUE(Shaped(list, "T 2003-04-05$DD:DD:DD\a")) << list;
  EXPECT_EQ(rox->SetClockPending, 0);

  list = Translate("/T");
  EXPECT_TRUE(Shaped(list, "T DDDD-DD-DD$DD:DD:DD\a")) << list;
  EXPECT_EQ(rox->SetClockPending, 1);
}

TEST_F(CommandsTest, SeparateCommandTakesOneOption) {
  struct Case {
    const char* text;
    short result;
    const char* option;
  } cases[] = {
      {"/S a b/R c d", 0, "S a b"},
      {"x /B", 0, "B"},
      {"// 12", 0, "/ 12"},
      {"/S C:\\dir\\/B", 0, "S C:\\dir"},
      {"/S a \\/B", 0, "S a \\"},
      {"/P \"a b/c\"/B", 0, "P \"a b/c\""},
      {"/P   hi//", 0, "P hi"},
      {"no option", 37, ""},
  };
  for (const Case& c : cases) {
    char out[64] = "junk";
    EXPECT_EQ(RS232_ROX::Separate_Command(reinterpret_cast<const unsigned char*>(c.text), out), c.result)
        << c.text;
    EXPECT_STREQ(out, c.option) << c.text;
  }
  char small[4];
  EXPECT_EQ(RS232_ROX::Separate_Command(U("/S a b"), small, sizeof small), E_MEMORY);
}

// --- Bounds of the command list ----------------------------------------------

TEST_F(CommandsTest, TranslationThatDoesNotFitGives41AndWritesNothing) {
  const std::string line = "/S a.txt b.txt \\TARGET";
  const std::string want = "S a.txt::b.txt##\\TARGET\a";

  // Exactly enough room for the commands and the NUL, then one byte less, in
  // heap buffers of that exact size so that any overrun is caught.
  auto fit = std::make_unique<char[]>(want.size() + 1);
  fit[0] = '\0';
  EXPECT_EQ(rox->Translate_Command(U(line), fit.get(), want.size() + 1), 0);
  EXPECT_EQ(std::string(fit.get()), want);
  auto tight = std::make_unique<char[]>(want.size());
  tight[0] = '\0';
  EXPECT_EQ(rox->Translate_Command(U(line), tight.get(), want.size()), E_MEMORY);
  EXPECT_STREQ(tight.get(), "");

  // A nearly full CommandList keeps its content, and the member behind it is
  // untouched.
  std::memset(rox->CommandList, 'x', sizeof rox->CommandList - 10);
  rox->CommandList[sizeof rox->CommandList - 10] = '\0';
  std::memset(rox->ScriptCommand, 'k', sizeof rox->ScriptCommand);
  const std::string before(rox->CommandList);
  EXPECT_EQ(rox->Translate_Command(U(line), rox->CommandList), E_MEMORY);
  EXPECT_EQ(std::string(rox->CommandList), before);
  for (char c : rox->ScriptCommand) ASSERT_EQ(c, 'k');

  // Translating at a position inside the list is bounded by the list's end;
  // a pointer outside it is refused.
  EXPECT_EQ(rox->Translate_Command(U(line), rox->CommandList + sizeof rox->CommandList - 5), E_MEMORY);
  char elsewhere[256] = "";
  EXPECT_EQ(rox->Translate_Command(U(line), elsewhere), E_MEMORY);
}

TEST_F(CommandsTest, RepeatedAndLongLinesStopAtTheEndOfTheList) {
  std::memset(rox->CommandList, 0, sizeof rox->CommandList);
  std::memset(rox->ScriptCommand, 'k', sizeof rox->ScriptCommand);
  // A line near the command buffer's limit, with the update flag, doubles
  // in translation; appending it again and again must end with 41.
  std::string line = "/SU";
  while (line.size() < CMD_BUF_SIZE - 10) line += " n";
  short r = 0;
  int rounds = 0;
  for (; rounds < 100 && r == 0; ++rounds) r = rox->Translate_Command(U(line), rox->CommandList);
  EXPECT_EQ(r, E_MEMORY);
  EXPECT_GT(rounds, 2);
  std::size_t len = strnlen(rox->CommandList, sizeof rox->CommandList);
  ASSERT_LT(len, sizeof rox->CommandList);
  EXPECT_EQ(rox->CommandList[len - 1], '\a');  // only whole commands
  for (char c : rox->ScriptCommand) ASSERT_EQ(c, 'k');

  // One script-sized line that alone does not fit leaves nothing behind.
  std::string big = "/D";
  while (big.size() < 32000) big += " abc";
  EXPECT_EQ(Translate(big), "#41");
  EXPECT_STREQ(rox->CommandList, "");
}

TEST_F(CommandsTest, ArbitraryLinesNeverOverrunASmallList) {
  // Lines built from the characters the syntax cares about, translated into
  // heap buffers of random exact sizes: only the system's codes come back and
  // the list stays a terminated string inside its buffer.
  std::mt19937 rng(5);
  const std::string alphabet = "/\\\" :-$SRADNITXPBCEFQ1uro 0123456789ab*.";
  for (int round = 0; round < 3000; ++round) {
    std::string line(rng() % 60, ' ');
    for (char& c : line) c = alphabet[rng() % alphabet.size()];
    std::size_t cap = 1 + rng() % 80;
    auto list = std::make_unique<char[]>(cap);
    list[0] = '\0';
    short r = rox->Translate_Command(U(line), list.get(), cap);
    ASSERT_TRUE(r == 0 || r == 37 || r == 41 || r == 77) << line << " -> " << r;
    ASSERT_LT(strnlen(list.get(), cap), cap) << line;
  }
}

// --- Script files ------------------------------------------------------------

struct ScriptTest : CommandsTest {
  std::string path;
  int opened = 0;

  void Open(const std::string& content) {
    if (!path.empty()) std::filesystem::remove(path);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path = (std::filesystem::temp_directory_path() /
            (std::string("cmdscript_") + info->name() + std::to_string(++opened)))
               .string();
    std::ofstream(path, std::ios::binary) << content;
    rox->ScriptFile = std::fopen(path.c_str(), "r");
    ASSERT_NE(rox->ScriptFile, nullptr);
  }
  void TearDown() override {
    CommandsTest::TearDown();
    rox->ScriptFile = nullptr;
    if (!path.empty()) std::filesystem::remove(path);
  }
  // Reads every line: each as "text|more".
  std::vector<std::string> Read_All() {
    std::vector<std::string> lines;
    std::vector<char> out(RS232_ROX::SCRIPT_LINE_SIZE);
    for (int i = 0; i < 20; ++i) {
      unsigned char more = rox->Get_Script_Command(out.data());
      lines.push_back(std::string(out.data()) + "|" + std::to_string(more));
      if (!more) break;
    }
    return lines;
  }
};

TEST_F(ScriptTest, LinesEmptyLinesAndTheLastLine) {
  struct Case {
    std::string content;
    std::vector<std::string> lines;
  } cases[] = {
      {"/S a b\n\n\r\n/B\r\n/P x", {"/S a b|1", "/B|1", "/P x//|0"}},
      {"/B\n", {"/B|1", "//|0"}},
      {"\n\n\n", {"//|0"}},
      {"", {"//|0"}},
  };
  for (const Case& c : cases) {
    Open(c.content);
    EXPECT_EQ(Read_All(), c.lines) << c.content;
    EXPECT_EQ(rox->ScriptFile, nullptr);  // closed at the end
  }
  // Without an open script the session is closed.
  char out[8];
  EXPECT_EQ(rox->Get_Script_Command(out), 0);
  EXPECT_STREQ(out, "//");
}

TEST_F(ScriptTest, ALineThatDoesNotFitEndsTheScriptWith97) {
  Open("/B\n/S " + std::string(100, 'a') + " d\n/B\n");
  char out[64];
  short error = -1;
  EXPECT_EQ(rox->Get_Script_Command(out, sizeof out, &error), 1);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(rox->Get_Script_Command(out, sizeof out, &error), 0);
  EXPECT_EQ(error, E_SCRIPT_TOO_BIG);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(rox->ScriptFile, nullptr);

  // The boundary: a last line of 10 characters needs 13 bytes.
  for (std::size_t size : {std::size_t{13}, std::size_t{12}}) {
    Open("/B 4567890");
    auto exact = std::make_unique<char[]>(size);
    EXPECT_EQ(rox->Get_Script_Command(exact.get(), size, &error), 0);
    EXPECT_STREQ(exact.get(), size == 13 ? "/B 4567890//" : "");
    EXPECT_EQ(error, size == 13 ? 0 : E_SCRIPT_TOO_BIG);
  }

  // The short form reads the longest line a script may hold (and its "//").
  Open(std::string(32767, 'x'));
  std::vector<std::string> lines = Read_All();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string(32767, 'x') + "//|0");
}

}  // namespace
