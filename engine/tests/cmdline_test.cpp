// Name and list helpers of the command language, and the date and time
// fields written in commands.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/rox32.h"
#include "platform/clock.h"

namespace {

using R = RS232_ROX;

TEST(FirstName, BlanksQuotesAndMissingNames) {
  struct Case {
    const char* text;
    bool script;
    unsigned char result;
    const char* name;
  } cases[] = {
      {"  abc def", false, 0, "abc"},
      {"\"a b\" c", false, 0, "a b"},
      {" \"\"", false, 0, ""},
      {"", false, 1, ""},
      {"    ", false, 1, ""},
      {" \"open", false, 1, ""},
      {"  my script.scr", true, 0, "my script.scr"},
      {" \"my run.scr\" x", true, 0, "my run.scr"},
      {"   ", true, 1, ""},
  };
  for (const Case& c : cases) {
    char out[64] = "junk";
    unsigned char r = c.script ? R::Get_FirstScriptFile(c.text, out) : R::Get_FirstFile(c.text, out);
    EXPECT_EQ(r, c.result) << c.text;
    EXPECT_STREQ(out, c.name) << c.text;
  }
  char small[4];
  EXPECT_EQ(R::Get_FirstFile(" abcd", small, sizeof small), 2);
  EXPECT_STREQ(small, "");
}

TEST(MakeFileList, JoinsNamesAndMarksTheDestination) {
  struct Case {
    const char* text;
    unsigned char letter;
    short result;
    const char* list;
  } cases[] = {
      {" a.txt b:\\", 'S', 0, "a.txt##b:"},
      {" a b c", 'R', 0, "a::b##c"},
      {" a", 'S', 0, "a"},
      {" C:\\IN\\", 'R', 0, "C:\\IN"},
      {" a \"b c\"  d", 'D', 0, "a::b c::d"},
      {" x\\", 'D', 0, "x\\"},
      {" src dst", 'A', 0, "src::dst"},
      {" \"old name\" new", 'N', 0, "old name::new"},
      {"   ", 'S', 37, ""},
      {"   ", 'D', 37, ""},
      {"", 'S', 37, ""},
      {"", 'R', 37, ""},
      {"", 'A', 37, ""},
      {"", 'N', 37, ""},
      {"", 'D', 0, ""},
  };
  for (const Case& c : cases) {
    char out[64] = "junk";
    EXPECT_EQ(R::Make_FileList(c.text, out, c.letter), c.result) << c.text << " " << c.letter;
    EXPECT_STREQ(out, c.list) << c.text << " " << c.letter;
  }
  // The unsized form's contract (2 * strlen + 1) holds for the worst case of
  // one-letter names.
  const char* worst = " a b c d e f";
  auto exact = std::make_unique<char[]>(2 * std::strlen(worst) + 1);
  EXPECT_EQ(R::Make_FileList(worst, exact.get(), 'D'), 0);
  EXPECT_STREQ(exact.get(), "a::b::c::d::e::f");
  char small[6];
  EXPECT_EQ(R::Make_FileList(" a b c", small, sizeof small, 'D'), E_MEMORY);
  EXPECT_STREQ(small, "");
}

TEST(ListReaders, CountsAndPicksNames) {
  EXPECT_EQ(R::Get_FileCount("a"), 1);
  EXPECT_EQ(R::Get_FileCount("a::b::c"), 3);
  EXPECT_EQ(R::Get_FileCount("a::b##c"), 2);

  const char* command = "S a::b##d";
  const char* want[] = {"", "a", "b", "d", ""};
  for (unsigned short n = 0; n < 5; ++n) {
    char out[16] = "junk";
    R::Get_SubString(command, n, out);
    EXPECT_STREQ(out, want[n]) << n;
  }
  char out[16] = "junk";
  R::Get_SubString("noblank", 1, out);
  EXPECT_STREQ(out, "");

  struct Case {
    const char* entry;
    const char* name;
  } names[] = {{"A pc::ht", "pc"}, {"S a##d", "a"}, {"M x", "x"}, {"A", ""}, {"M a##b::c", "a##b"}};
  for (const Case& c : names) {
    R::Get_FileName(c.entry, out);
    EXPECT_STREQ(out, c.name) << c.entry;
  }
  char tiny[3];
  EXPECT_FALSE(R::Get_FileName("A long::x", tiny, sizeof tiny));
  EXPECT_FALSE(R::Get_SubString("S long::x", 1, tiny, sizeof tiny));

  R::Extract_File_Name("abcdef", out, 3);
  EXPECT_STREQ(out, "abc");
  R::Extract_File_Name("abcdef", out, 0);
  EXPECT_STREQ(out, "");
  R::Extract_File_Name("ab", out, 5);  // never reads past the end of src
  EXPECT_STREQ(out, "ab");
}

TEST(SmallHelpers, CountsDigitsAndOptions) {
  EXPECT_EQ(R::Get_Count("a\"b\" \"c"), 3);
  EXPECT_EQ(R::IsNumericString(""), 1);
  EXPECT_EQ(R::IsNumericString("0123"), 1);
  EXPECT_EQ(R::IsNumericString("12a"), 0);
  EXPECT_EQ(R::Make_Number("12"), 12);
  EXPECT_EQ(R::Make_Number("300"), 44);
  EXPECT_EQ(R::Make_Number("99999999999999999999"), 255);  // 10^20 - 1, no overflow

  struct Case {
    const char* letters;
    unsigned char option;
    unsigned char ok;
  } options[] = {
      {"", 'S', 1},    {"ORU", 'S', 1}, {"uro", 's', 1}, {"OO", 'S', 0},  {"X", 'S', 0},
      {"ORUO", 'R', 0}, {"R", 'A', 1},  {"S", 'A', 1},   {"RS", 'A', 0},  {"O", 'A', 0},
      {"AHRS", 'X', 1}, {"AA", 'X', 0}, {"Q", 'X', 0},   {"XY", 'D', 1},  {"ROX", 'D', 0},
      {"", 'N', 1},     {"X", 'N', 0},  {"", '/', 1},
  };
  for (const Case& c : options) {
    EXPECT_EQ(R::Valid_Option(c.letters, c.option), c.ok) << c.letters << " " << c.option;
  }
}

TEST(DateAndTime, FieldsOfCommandTexts) {
  struct DateCase {
    const char* text;
    unsigned long date;
  } dates[] = {
      {"2004-3-7", 0x070307D4ul},
      {"T 2003-04-05$06:07:08", 0x050407D3ul},
      {"U 0 2004-03-07$ FFFFFF Z a", 0x070307D4ul},
      {"2004-03", 0x000307D4ul},
      {"3-7", 0x00070003ul},  // a short year is read from the text's start, not before it
      {"U 10 04-3-7$x", 0x07030004ul},
      {"2004/3/7", 0},
      {"", 0},
  };
  for (const DateCase& c : dates) EXPECT_EQ(R::Get_Date(c.text), c.date) << c.text;

  struct TimeCase {
    const char* text;
    unsigned char result;
    unsigned char sec, min, hour;
  } times[] = {
      {"13:45:30", 0, 30, 45, 13},
      {"T 2003-04-05$06:07:08", 0, 8, 7, 6},
      {"U 0 FFFFFFFF$13:45:30 Z file2.txt", 0, 30, 45, 13},
      {"5:07:08", 0, 8, 7, 5},
      {"$6:07", 0, 0, 7, 6},
  };
  for (const TimeCase& c : times) {
    char out[3] = {1, 1, 1};
    EXPECT_EQ(R::Get_Time(c.text, out), c.result) << c.text;
    EXPECT_EQ(static_cast<unsigned char>(out[0]), c.sec) << c.text;
    EXPECT_EQ(static_cast<unsigned char>(out[1]), c.min) << c.text;
    EXPECT_EQ(static_cast<unsigned char>(out[2]), c.hour) << c.text;
  }
  char untouched[3] = {9, 9, 9};
  EXPECT_EQ(R::Get_Time("2004-03-07", untouched), 1);
  EXPECT_EQ(untouched[0], 9);
}

TEST(DateAndTime, PcClockTexts) {
  platform::LocalTime before = platform::Get_Local_Time();
  char date[R::SYSTEM_TANDD_SIZE], time[R::SYSTEM_TANDD_SIZE];
  R::Get_System_TandD(date, 1);
  R::Get_System_TandD(time, 0);
  char want[32];
  std::snprintf(want, sizeof want, "%04d-%02d-%02d", before.year, before.month, before.day);
  EXPECT_STREQ(date, want);
  ASSERT_EQ(std::strlen(time), 8u);
  EXPECT_EQ(time[2], ':');
  EXPECT_EQ(time[5], ':');
  // Both texts read back through the command parsers.
  EXPECT_EQ(R::Get_Date(date) & 0xFFFFu, static_cast<unsigned long>(before.year));
  char parsed[3];
  EXPECT_EQ(R::Get_Time(time, parsed), 0);

  char small[8] = "junk";
  EXPECT_FALSE(R::Get_System_TandD(small, sizeof small, 1));
  EXPECT_STREQ(small, "");
}

}  // namespace
