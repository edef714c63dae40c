#include "app/gui/stations/bar_model.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/gui/stations/tests/session_table_guard.h"

namespace stations {
namespace {

// Every character 10 pixels wide.
int Ten_Per_Char(std::string_view s) { return static_cast<int>(s.size()) * 10; }

StationBar Bar(int ht, int cent = 0, int mode = 1) {
  StationBar b;
  b.ht = ht;
  b.session = ht * 10;
  b.mode = mode;
  b.cent = cent;
  b.file = "C:\\DATA\\F" + std::to_string(ht) + ".DAT";
  return b;
}

TEST(BarTexts, StationNumberDirectionAndPercentage) {
  EXPECT_EQ(Shown_Station_Number(Interface::Scsi, 1), 0);  // SCSI ID
  EXPECT_EQ(Shown_Station_Number(Interface::Scsi, 7), 6);
  EXPECT_EQ(Shown_Station_Number(Interface::TcpIp, 1), 1);
  EXPECT_EQ(Shown_Station_Number(Interface::Rs232c, 1), 1);
  EXPECT_STREQ(Direction_Text(1), "Tx");
  EXPECT_STREQ(Direction_Text(2), "Rx");
  EXPECT_STREQ(Direction_Text(0), "Rx");
  EXPECT_EQ(Percent_Text(7), "  7   % ");
  EXPECT_EQ(Percent_Text(100), "100   % ");
}

TEST(BarTexts, IpAddressMatchesTheWholeKey) {
  StationIpTable table;
  Clear_Station_Ip_Table(&table);
  std::strcpy(table.rows[0].key, "3");
  std::strcpy(table.rows[0].address, "127.0.0.3");
  std::strcpy(table.rows[1].key, "12");
  std::strcpy(table.rows[1].address, "127.0.0.12");
  table.count = 2;
  EXPECT_EQ(Ip_Address_Of(table, 3), "127.0.0.3");
  EXPECT_EQ(Ip_Address_Of(table, 12), "127.0.0.12");
  EXPECT_EQ(Ip_Address_Of(table, 1), "");  // "12" must not match "1"
  EXPECT_EQ(Ip_Address_Of(table, 7), "");
  table.count = 9999;  // a damaged count stops at the empty key
  EXPECT_EQ(Ip_Address_Of(table, 7), "");
}

TEST(FitFileText, PathFileNameOrDots) {
  // Item 400 wide: 200 pixels of room, 20 characters.
  EXPECT_EQ(Fit_File_Text("C:\\DATA\\SHORT.DAT", 400, Ten_Per_Char, 10), "C:\\DATA\\SHORT.DAT");
  EXPECT_EQ(Fit_File_Text("C:\\A_VERY_LONG_FOLDER\\ORDERS.DAT", 400, Ten_Per_Char, 10), "ORDERS.DAT");
  EXPECT_EQ(Fit_File_Text("/srv/ht/a_long_native_folder/X.DAT", 400, Ten_Per_Char, 10), "X.DAT");
  // The name alone is still too wide: 20 characters, the last three dots.
  EXPECT_EQ(Fit_File_Text("C:\\DATA\\ABCDEFGHIJKLMNOPQRSTUVWXYZ.DAT", 400, Ten_Per_Char, 10),
            "ABCDEFGHIJKLMNOPQ...");
  // Less space up to the frame than the rule's room: the smaller one counts.
  EXPECT_EQ(Fit_File_Text("C:\\DATA\\SHORT.DAT", 400, Ten_Per_Char, 10, 100), "SHORT.DAT");
  EXPECT_EQ(Fit_File_Text("C:\\DATA\\SHORT.DAT", 400, Ten_Per_Char, 10, 60), "SHO...");
  // Exactly as wide as the room: kept whole.
  EXPECT_EQ(Fit_File_Text("ABCDEFGHIJKLMNOPQRST", 400, Ten_Per_Char, 10), "ABCDEFGHIJKLMNOPQRST");
}

TEST(FitFileText, NarrowFontsWideCharactersAndNoRoom) {
  // Characters wider than the average: k would still run over the bar, so
  // characters before the dots go until the text fits.
  auto wide = [](std::string_view s) { return static_cast<int>(s.size()) * 40; };
  EXPECT_EQ(Fit_File_Text("ABCDEFGH", 400, wide, 10), "AB...");
  auto mixed = [](std::string_view s) {
    int w = 0;
    for (char c : s) w += c == 'W' ? 30 : 10;
    return w;
  };
  const std::string fitted = Fit_File_Text(std::string(40, 'W'), 400, mixed, 10);
  EXPECT_EQ(fitted, std::string(5, 'W') + "...");
  EXPECT_LE(mixed(fitted), 200);
  // No room at all, and a zero average width, give an empty text, no crash.
  EXPECT_EQ(Fit_File_Text("ABCDEFGH", 150, Ten_Per_Char, 10), "");
  EXPECT_EQ(Fit_File_Text("ABCDEFGHIJKLMNOPQRSTUVWXYZ", 400, Ten_Per_Char, 0).substr(0, 3), "ABC");
  // Two-byte characters are cut between characters, never inside one.
  std::string accents;
  for (int i = 0; i < 30; ++i) accents += "\xC3\xA9";  // é
  const std::string cut = Fit_File_Text(accents, 400, Ten_Per_Char, 10);
  EXPECT_EQ(cut.substr(cut.size() - 3), "...");
  EXPECT_EQ((cut.size() - 3) % 2, 0u);
  EXPECT_EQ(cut.substr(0, 2), "\xC3\xA9");
}

TEST(BarLayout, PositionsAtDefaultHeight) {
  const BarLayout l = Layout_Bar(Rect{0, 90, 800, 135}, 45, 2, 1);
  EXPECT_EQ(l.outer, (Rect{0, 90, 800, 135}));
  EXPECT_EQ(l.middle, (Rect{2, 92, 798, 133}));
  EXPECT_EQ(l.inner, (Rect{3, 93, 797, 132}));
  EXPECT_EQ(l.label_x, 20);
  EXPECT_EQ(l.number_x, 100);
  EXPECT_EQ(l.session_label_x, 125);
  EXPECT_EQ(l.session_x, 209);
  EXPECT_EQ(l.mode_x, 75);
  EXPECT_EQ(l.percent_x, 720);
  EXPECT_EQ(l.station_y, 96);   // 45 / 7 = 6
  EXPECT_EQ(l.ip_y, 108);       // 45 / 2.4 = 18.75
  EXPECT_EQ(l.mode_y, 119);     // 135 - 16.67
  EXPECT_EQ(l.percent_y, 103);  // 135 - 32.14
  EXPECT_EQ(l.box, (Rect{300, 101, 700, 117}));  // 45 / 3.8 = 11.8, 45 / 2.5 = 18
  EXPECT_DOUBLE_EQ(l.scale, 4.0);
}

TEST(BarLayout, NarrowItemsAndOddBordersStayWellFormed) {
  const BarLayout l = Layout_Bar(Rect{0, 0, 350, 45}, 45, 30, -4);
  EXPECT_FALSE(l.inner.right < l.inner.left);
  EXPECT_GE(l.box.Width(), 0);  // 300 .. 250 would be negative
  EXPECT_EQ(Fill_Edge(l, 50), l.box.right);
}

TEST(FillEdge, TruncatedScaleAndNeverPastTheBox) {
  BarLayout l = Layout_Bar(Rect{0, 0, 800, 45}, 45, 2, 1);
  EXPECT_EQ(Fill_Edge(l, 0), 302);
  EXPECT_EQ(Fill_Edge(l, 50), 502);
  EXPECT_EQ(Fill_Edge(l, 99), 698);
  EXPECT_EQ(Fill_Edge(l, 100), 700);  // 702 would paint over the frame
  EXPECT_EQ(Fill_Edge(l, 250), 700);
  l = Layout_Bar(Rect{0, 0, 733, 45}, 45, 2, 1);  // box 333 wide, 3.33 per percent
  EXPECT_EQ(Fill_Edge(l, 33), 302 + 109);
}

TEST(FastUpdate, OnlyThePercentageAndTheChangedSpan) {
  const BarLayout l = Layout_Bar(Rect{0, 45, 800, 90}, 45, 2, 1);
  UpdateArea a = Fast_Update_Area(l, 302, 502, 14);
  EXPECT_EQ(a.fill, (Rect{302, l.box.top, 502, l.box.bottom}));
  EXPECT_EQ(a.percent, (Rect{720, l.percent_y, 797, l.percent_y + 16}));
  a = Fast_Update_Area(l, 502, 502, 14);
  EXPECT_TRUE(a.fill.Empty());
  // A percentage that goes back (a new file without a 0 first) clears the
  // span it leaves.
  a = Fast_Update_Area(l, 602, 402, 14);
  EXPECT_EQ(a.fill, (Rect{402, l.box.top, 602, l.box.bottom}));
  // The initial edge (300) lies left of the first fill: the 2 pixels count.
  a = Fast_Update_Area(l, BarList::kInitialEdge, Fill_Edge(l, 1), 14);
  EXPECT_EQ(a.fill.left, 300);
  EXPECT_EQ(a.fill.right, 306);
}

TEST(BarList, FourSessionsWithThreeRowsScrollAndShrink) {
  BarList list(3);
  for (int ht = 1; ht <= 4; ++ht) EXPECT_EQ(list.Start_Bar(Bar(ht), false), BarList::Start::Appended);
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Visible_Rows(), 3);
  EXPECT_EQ(list.Max_Top(), 1);
  EXPECT_EQ(list.Visible_Row_Of(4), -1);
  list.Set_Top(7);
  EXPECT_EQ(list.Top(), 1);
  EXPECT_EQ(list.Visible_Row_Of(4), 2);
  EXPECT_EQ(list.Visible_Row_Of(1), -1);

  EXPECT_TRUE(list.Reset_Bar(2));
  EXPECT_TRUE(list.Reset_Bar(3));
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Visible_Rows(), 2);
  EXPECT_EQ(list.Top(), 0);  // nothing left to scroll
  EXPECT_EQ(list.Visible_Row_Of(1), 0);
  EXPECT_EQ(list.Visible_Row_Of(4), 1);
  EXPECT_FALSE(list.Reset_Bar(3));
}

TEST(BarList, StartOrderRefreshAbortAndUpdates) {
  BarList list(3);
  list.Start_Bar(Bar(9), false);
  list.Start_Bar(Bar(2), false);
  EXPECT_EQ(list.Start_Bar(Bar(5), true), BarList::Start::Ignored);  // being aborted
  EXPECT_EQ(list.Count(), 2);
  StationBar again = Bar(9, 0, 2);
  again.file = "NEXT.DAT";
  EXPECT_EQ(list.Start_Bar(again, false), BarList::Start::Refreshed);
  EXPECT_EQ(list.At(0).ht, 9);  // order of starting kept
  EXPECT_EQ(list.At(0).file, "NEXT.DAT");
  EXPECT_EQ(list.At(1).ht, 2);
  EXPECT_TRUE(list.Update_Bar(Bar(2, 40)));
  EXPECT_EQ(list.Find(2)->cent, 40);
  EXPECT_FALSE(list.Update_Bar(Bar(5, 40)));  // no bar: nothing
  EXPECT_EQ(list.Count(), 2);
}

TEST(BarList, EdgesStartAt300AndAreForgottenWithTheBar) {
  BarList list(0);  // NUMOFBAR below 1 still shows one row
  list.Start_Bar(Bar(255), false);
  EXPECT_EQ(list.Visible_Rows(), 1);
  EXPECT_EQ(list.Edge(255), 300);
  list.Set_Edge(255, 512);
  EXPECT_EQ(list.Edge(255), 512);
  list.Reset_Bar(255);
  EXPECT_EQ(list.Edge(255), 300);
  list.Set_Edge(4000, 1);  // out of range: ignored
  EXPECT_EQ(list.Edge(4000), 300);
}

TEST(BarList, RemovingRowsAboveTheTopKeepsTheSameBarsInView) {
  BarList list(2);
  for (int ht = 1; ht <= 5; ++ht) list.Start_Bar(Bar(ht), false);
  list.Set_Top(2);  // HT 3 and 4 visible
  list.Reset_Bar(1);
  EXPECT_EQ(list.Visible_Row_Of(3), 0);
  EXPECT_EQ(list.Visible_Row_Of(4), 1);
}

TEST(PlacePanel, AboveTheStatusBarByRowCount) {
  const Rect status{0, 400, 600, 420};
  PanelPlacement p = Place_Panel(status, false, 4, 3, 45);
  ASSERT_TRUE(p.shown);
  EXPECT_EQ(p.panel, (Rect{1, 400 - 148, 597, 400 - 148 + 145}));
  EXPECT_EQ(p.list, (Rect{0, 0, 592, 140}));
  p = Place_Panel(status, false, 2, 3, 45);
  EXPECT_EQ(p.panel.Height(), 100);
  EXPECT_EQ(p.panel.top, 400 - 103);
  EXPECT_EQ(p.list.Height(), 95);
  p = Place_Panel(status, true, 2, 3, 45);
  EXPECT_TRUE(p.shown);
  EXPECT_EQ(p.panel, (Rect{3000, 10, 3010, 20}));
  EXPECT_FALSE(Place_Panel(status, false, 0, 3, 45).shown);
}

TEST(ReadStationBar, CopiesTheRecordAndTrimsTheFile) {
  stations_test::SessionTableGuard guard;
  InfoHT& info = Info_Of(12);
  info.HTNo = 12;
  info.SNo = 3;
  info.Mode = 2;
  info.Cent = 64;
  info.AbortFromGUI = 1;
  stations_test::Set_File(info, "C:\\IN\\ORDERS.DAT");
  bool abort = false;
  const StationBar bar = Read_Station_Bar(12, &abort);
  EXPECT_EQ(bar.ht, 12);
  EXPECT_EQ(bar.session, 3);
  EXPECT_EQ(bar.mode, 2);
  EXPECT_EQ(bar.cent, 64);
  EXPECT_EQ(bar.file, "C:\\IN\\ORDERS.DAT");
  EXPECT_TRUE(abort);
  // A File field without any terminator and no blanks is read up to its size.
  std::memset(info.File, 'X', sizeof info.File);
  EXPECT_EQ(Read_Station_Bar(12).file.size(), sizeof info.File);
  EXPECT_EQ(Read_Station_Bar(0, &abort).ht, 0);
  EXPECT_FALSE(abort);
  EXPECT_EQ(Read_Station_Bar(256).ht, 0);
}

}  // namespace
}  // namespace stations
