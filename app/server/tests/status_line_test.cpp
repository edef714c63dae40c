// The server's log line for each kind of status notification.
#include <gtest/gtest.h>

#include <cstring>

#include "app/server/status_line.h"

namespace {

const platform::LocalTime kWhen{2026, 3, 7, 9, 5, 4, 6, 0};

InfoHT Record(std::uint16_t mode, std::uint16_t index, const char* file = "") {
  InfoHT info{};
  info.SNo = 3;
  info.Mode = mode;
  info.Index = index;
  std::memset(info.File, ' ', sizeof info.File);
  std::memcpy(info.File, file, std::strlen(file));
  return info;
}

TEST(StatusLine, OneLinePerKindOfNotification) {
  EXPECT_EQ(Status_Line(kWhen, 0, 96, InfoHT{}), "2026-03-07 09:05:04 link ending 96 Bind Error");
  EXPECT_EQ(Status_Line(kWhen, 12, 45, Record(1, 0, "C:\\DATA\\A.DAT")),
            "2026-03-07 09:05:04 HT 12 session 3 sending C:\\DATA\\A.DAT 45%");
  EXPECT_EQ(Status_Line(kWhen, 12, 100, Record(2, 0, "B.DAT")),
            "2026-03-07 09:05:04 HT 12 session 3 receiving B.DAT 100%");
  EXPECT_EQ(Status_Line(kWhen, 1, 0, Record(0, 72)), "2026-03-07 09:05:04 HT 1 session 3 ending 72 " +
                                                         Ending_Text(72));
  EXPECT_EQ(Status_Line(kWhen, 1, 3, Record(3, 73)), "2026-03-07 09:05:04 HT 1 session 3 ending 73 " +
                                                         Ending_Text(73));
  EXPECT_EQ(Status_Line(kWhen, 1, 0, Record(0, 0xFFFF)), "2026-03-07 09:05:04 HT 1 session 3 ending -1");
  EXPECT_EQ(Status_Line(kWhen, 1, 0, Record(0, 500)), "2026-03-07 09:05:04 HT 1 session 3 ending 500");
  EXPECT_EQ(Status_Line(kWhen, 1, 7, Record(4, 0)), "2026-03-07 09:05:04 HT 1 session 3 mode 4 value 7");
}

TEST(StatusLine, ErrorWindowsOnlyForRealErrors) {
  for (std::uint16_t quiet : {0, 72, 29, 85, 0xFFFF}) EXPECT_FALSE(Opens_Error_Window(Record(0, quiet))) << quiet;
  EXPECT_TRUE(Opens_Error_Window(Record(0, 38)));
  EXPECT_FALSE(Opens_Error_Window(Record(3, 73)));
  EXPECT_FALSE(Opens_Error_Window(Record(1, 0)));
}

}  // namespace

namespace {

InfoHT Progress(std::uint16_t mode, std::uint16_t index) {
  InfoHT info{};
  info.HTNo = 4;
  info.Mode = mode;
  info.Index = index;
  info.OPMode = 1;
  return info;
}

}  // namespace

TEST(StatusMeaning, BarsStartAtZeroAndEndWithTheTransfersEndingCode) {
  StatusMeaning m = Status_Meaning(4, 0, Progress(1, 0));
  EXPECT_TRUE(m.start_bar && m.update_bar && !m.reset_bar);
  m = Status_Meaning(4, 50, Progress(2, 0));
  EXPECT_TRUE(!m.start_bar && m.update_bar && !m.reset_bar);
  // A send ends at 100 % or more with 73; a receive only at exactly 100 %.
  EXPECT_TRUE(Status_Meaning(4, 100, Progress(1, 73)).reset_bar);
  EXPECT_TRUE(Status_Meaning(4, 101, Progress(1, 73)).reset_bar);
  EXPECT_FALSE(Status_Meaning(4, 100, Progress(1, 0)).reset_bar);
  EXPECT_TRUE(Status_Meaning(4, 100, Progress(2, 73)).reset_bar);
  EXPECT_FALSE(Status_Meaning(4, 101, Progress(2, 73)).reset_bar);
  EXPECT_TRUE(Status_Meaning(4, 0, Progress(3, 73)).reset_bar);
  EXPECT_EQ(Status_Meaning(4, 0, Progress(1, 0)).op_mode, 1);
}

TEST(StatusMeaning, EndingCodesDecideBetweenNothingResetAndErrorWindow) {
  const StatusMeaning quiet = Status_Meaning(4, 0, Progress(0, 29));
  EXPECT_TRUE(quiet.ignore);
  EXPECT_FALSE(quiet.show_op_mode || quiet.reset_bar || quiet.error_window);
  for (std::uint16_t code : {0, 72}) {
    const StatusMeaning m = Status_Meaning(4, 0, Progress(0, code));
    EXPECT_TRUE(m.reset_bar && !m.error_window) << code;
  }
  for (std::uint16_t code : {85, 0xFFFF}) {
    const StatusMeaning m = Status_Meaning(4, 0, Progress(0, code));
    EXPECT_TRUE(!m.ignore && !m.reset_bar && !m.error_window) << code;
  }
  const StatusMeaning error = Status_Meaning(4, 0, Progress(0, 38));
  EXPECT_TRUE(error.error_window && error.reset_bar);
  EXPECT_EQ(error.code, 38);
  // The link manager's reports carry the code in lParam and no HT record.
  const StatusMeaning link = Status_Meaning(0, 96, Progress(1, 0));
  EXPECT_TRUE(link.error_window);
  EXPECT_EQ(link.code, 96);
  EXPECT_EQ(link.op_mode, 0);
  EXPECT_TRUE(Status_Meaning(0, 29, InfoHT{}).ignore);
  EXPECT_FALSE(Status_Meaning(0, -1, InfoHT{}).error_window);
  EXPECT_STREQ(Op_Mode_Text(1), "PC in Non-Server Mode ......");
  EXPECT_STREQ(Op_Mode_Text(0), "PC in Server Mode ......");
}
