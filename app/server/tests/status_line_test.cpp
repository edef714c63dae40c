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
