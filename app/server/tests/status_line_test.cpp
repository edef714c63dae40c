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

InfoHT Progress(std::uint16_t mode, const char* file, std::uint16_t session = 3) {
  InfoHT info = Record(mode, 0, file);
  info.SNo = session;
  return info;
}

// A tracker whose files are all 2,000,000 bytes, except "MISSING".
StatusTracker Tracker() {
  return StatusTracker([](const std::string& path) -> std::int64_t { return path == "MISSING" ? -1 : 2000000; });
}

std::vector<StatusEvent::Kind> Kinds(const std::vector<StatusEvent>& events) {
  std::vector<StatusEvent::Kind> kinds;
  for (const StatusEvent& e : events) kinds.push_back(e.kind);
  return kinds;
}

using K = StatusEvent::Kind;

TEST(StatusTracker, AFileStartsWithItsFirstNotificationAndEndsWithTheNext) {
  StatusTracker t = Tracker();
  EXPECT_EQ(Kinds(t.On_Status(4, 0, Progress(1, "C:\\A.DAT"), 1000)),
            (std::vector<K>{StatusEvent::kFileStarted, StatusEvent::kProgress}));
  EXPECT_EQ(Kinds(t.On_Status(4, 50, Progress(1, "C:\\A.DAT"), 1500)), std::vector<K>{StatusEvent::kProgress});
  EXPECT_EQ(Kinds(t.On_Status(4, 100, Progress(1, "C:\\A.DAT"), 2000)), std::vector<K>{StatusEvent::kProgress});
  // The next file ends the last one, which went whole.
  const std::vector<StatusEvent> next = t.On_Status(4, 0, Progress(1, "C:\\B.DAT"), 3000);
  ASSERT_EQ(Kinds(next), (std::vector<K>{StatusEvent::kFileEnded, StatusEvent::kFileStarted, StatusEvent::kProgress}));
  EXPECT_EQ(next[0].file, "C:\\A.DAT");
  EXPECT_TRUE(next[0].complete);
  EXPECT_EQ(next[0].bytes, 2000000);
  EXPECT_DOUBLE_EQ(next[0].seconds, 2.0);
  EXPECT_EQ(Event_Text(next[0]), "HT 4 session 3 sent C:\\A.DAT: 2000000 bytes in 2.00 s, 1.00 MB/s, complete");
  EXPECT_EQ(Event_Text(next[1]), "HT 4 session 3 sending C:\\B.DAT started");
  EXPECT_EQ(Event_Text(next[2]), "HT 4 session 3 sending C:\\B.DAT 0%");
}

TEST(StatusTracker, TheSessionsEndingDecidesTheLastFile) {
  // Whole and a normal end: complete.
  StatusTracker t = Tracker();
  t.On_Status(2, 0, Progress(2, "C:\\IN.DAT"), 0);
  t.On_Status(2, 100, Progress(2, "C:\\IN.DAT"), 500);
  std::vector<StatusEvent> end = t.On_Status(2, 3, Record(3, 73), 1000);
  ASSERT_EQ(Kinds(end), (std::vector<K>{StatusEvent::kFileEnded, StatusEvent::kSessionEnded}));
  EXPECT_TRUE(end[0].complete);
  EXPECT_EQ(Event_Text(end[0]).rfind("HT 2 session 3 received C:\\IN.DAT: 2000000 bytes", 0), 0u);

  // Whole, but the session ended with an error (the file could not replace the
  // old one): failed, with the code and no size.
  t.On_Status(2, 0, Progress(2, "C:\\IN.DAT"), 2000);
  t.On_Status(2, 100, Progress(2, "C:\\IN.DAT"), 2500);
  end = t.On_Status(2, 0, Record(0, 70), 3000);
  ASSERT_EQ(end.size(), 2u);
  EXPECT_FALSE(end[0].complete);
  EXPECT_EQ(end[0].bytes, -1);
  EXPECT_EQ(end[0].code, 70);
  EXPECT_EQ(Event_Text(end[0]), "HT 2 session 3 receiving C:\\IN.DAT failed at 100% after 1.00 s: ending 70 " +
                                    Ending_Text(70));

  // Cut off halfway: failed at that percentage.
  t.On_Status(2, 0, Progress(1, "C:\\OUT.DAT"), 4000);
  t.On_Status(2, 40, Progress(1, "C:\\OUT.DAT"), 4100);
  end = t.On_Status(2, 0, Record(0, 29), 4200);
  ASSERT_EQ(end.size(), 2u);
  EXPECT_FALSE(end[0].complete);
  EXPECT_EQ(end[0].percent, 40);

  // With no file going, an ending is only an ending.
  EXPECT_EQ(Kinds(t.On_Status(2, 0, Record(0, 72), 5000)), std::vector<K>{StatusEvent::kSessionEnded});
}

TEST(StatusTracker, TheSameFileAgainAndOtherStationsAreKeptApart) {
  StatusTracker t = Tracker();
  t.On_Status(1, 0, Progress(1, "C:\\A.DAT"), 0);
  t.On_Status(1, 100, Progress(1, "C:\\A.DAT"), 10);
  // HT 2's file does not end HT 1's.
  EXPECT_EQ(Kinds(t.On_Status(2, 0, Progress(1, "C:\\A.DAT"), 20)),
            (std::vector<K>{StatusEvent::kFileStarted, StatusEvent::kProgress}));
  // The same name again from 0%: a new file on HT 1.
  EXPECT_EQ(Kinds(t.On_Status(1, 0, Progress(1, "C:\\A.DAT"), 30)),
            (std::vector<K>{StatusEvent::kFileEnded, StatusEvent::kFileStarted, StatusEvent::kProgress}));
  // A program's normal end (85) leaves the file going.
  EXPECT_EQ(Kinds(t.On_Status(1, 0, Record(0, 85), 40)), std::vector<K>{StatusEvent::kSessionEnded});
  // A size that cannot be told is said so.
  StatusTracker m = Tracker();
  m.On_Status(1, 0, Progress(1, "MISSING"), 0);
  m.On_Status(1, 100, Progress(1, "MISSING"), 0);
  const std::vector<StatusEvent> end = m.On_Status(1, 3, Record(3, 73), 0);
  EXPECT_EQ(Event_Text(end[0]), "HT 1 session 3 sent MISSING: size not known, 0.00 s, complete");
  // Out-of-range HT numbers give nothing; the link's codes pass.
  EXPECT_TRUE(t.On_Status(256, 0, Record(1, 0, "X"), 0).empty());
  EXPECT_EQ(Event_Text(t.On_Status(0, 96, InfoHT{}, 0)[0]), "link ending 96 Bind Error");
}

}  // namespace

namespace {

InfoHT MeaningRecord(std::uint16_t mode, std::uint16_t index) {
  InfoHT info{};
  info.HTNo = 4;
  info.Mode = mode;
  info.Index = index;
  info.OPMode = 1;
  return info;
}

}  // namespace

TEST(StatusMeaning, BarsStartAtZeroAndEndWithTheTransfersEndingCode) {
  StatusMeaning m = Status_Meaning(4, 0, MeaningRecord(1, 0));
  EXPECT_TRUE(m.start_bar && m.update_bar && !m.reset_bar);
  m = Status_Meaning(4, 50, MeaningRecord(2, 0));
  EXPECT_TRUE(!m.start_bar && m.update_bar && !m.reset_bar);
  // A send ends at 100 % or more with 73; a receive only at exactly 100 %.
  EXPECT_TRUE(Status_Meaning(4, 100, MeaningRecord(1, 73)).reset_bar);
  EXPECT_TRUE(Status_Meaning(4, 101, MeaningRecord(1, 73)).reset_bar);
  EXPECT_FALSE(Status_Meaning(4, 100, MeaningRecord(1, 0)).reset_bar);
  EXPECT_TRUE(Status_Meaning(4, 100, MeaningRecord(2, 73)).reset_bar);
  EXPECT_FALSE(Status_Meaning(4, 101, MeaningRecord(2, 73)).reset_bar);
  EXPECT_TRUE(Status_Meaning(4, 0, MeaningRecord(3, 73)).reset_bar);
  EXPECT_EQ(Status_Meaning(4, 0, MeaningRecord(1, 0)).op_mode, 1);
}

TEST(StatusMeaning, EndingCodesDecideBetweenNothingResetAndErrorWindow) {
  const StatusMeaning quiet = Status_Meaning(4, 0, MeaningRecord(0, 29));
  EXPECT_TRUE(quiet.ignore);
  EXPECT_FALSE(quiet.show_op_mode || quiet.reset_bar || quiet.error_window);
  for (std::uint16_t code : {0, 72}) {
    const StatusMeaning m = Status_Meaning(4, 0, MeaningRecord(0, code));
    EXPECT_TRUE(m.reset_bar && !m.error_window) << code;
  }
  for (std::uint16_t code : {85, 0xFFFF}) {
    const StatusMeaning m = Status_Meaning(4, 0, MeaningRecord(0, code));
    EXPECT_TRUE(!m.ignore && !m.reset_bar && !m.error_window) << code;
  }
  const StatusMeaning error = Status_Meaning(4, 0, MeaningRecord(0, 38));
  EXPECT_TRUE(error.error_window && error.reset_bar);
  EXPECT_EQ(error.code, 38);
  // The link manager's reports carry the code in lParam and no HT record.
  const StatusMeaning link = Status_Meaning(0, 96, MeaningRecord(1, 0));
  EXPECT_TRUE(link.error_window);
  EXPECT_EQ(link.code, 96);
  EXPECT_EQ(link.op_mode, 0);
  EXPECT_TRUE(Status_Meaning(0, 29, InfoHT{}).ignore);
  EXPECT_FALSE(Status_Meaning(0, -1, InfoHT{}).error_window);
  EXPECT_STREQ(Op_Mode_Text(1), "PC in Non-Server Mode ......");
  EXPECT_STREQ(Op_Mode_Text(0), "PC in Server Mode ......");
}
