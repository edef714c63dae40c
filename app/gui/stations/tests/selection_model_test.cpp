#include "app/gui/stations/selection_model.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "app/core/progdir.h"
#include "app/gui/stations/tests/session_table_guard.h"

namespace stations {
namespace {

TEST(GridShape, SquareIshRule) {
  struct Case {
    int n, rows, cols;
  } cases[] = {{0, 0, 0},  {1, 1, 1},  {2, 1, 2},  {3, 1, 3},   {4, 2, 2},    {5, 2, 3},
               {6, 2, 3},  {8, 2, 4},  {9, 3, 3},  {10, 3, 4},  {12, 3, 4},   {13, 3, 5},
               {16, 4, 4}, {17, 4, 5}, {99, 9, 11}, {100, 10, 10}, {254, 15, 17}, {-3, 0, 0}};
  for (const Case& c : cases) {
    const GridShape g = Grid_Shape(c.n);
    EXPECT_EQ(g.rows, c.rows) << c.n;
    EXPECT_EQ(g.cols, c.cols) << c.n;
    if (c.n > 0) {
      EXPECT_GE(g.rows * g.cols, c.n) << c.n;
    }
  }
}

TEST(GridCells, TenStationsGiveThreeByFourWithElevenAndTwelveRemoved) {
  std::vector<int> stations;
  for (int n = 1; n <= 10; ++n) stations.push_back(n);
  const std::vector<GridCell> cells = Grid_Cells(stations);
  ASSERT_EQ(cells.size(), 12u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(cells[static_cast<std::size_t>(i)].number, i + 1);
    EXPECT_FALSE(cells[static_cast<std::size_t>(i)].removed);
  }
  EXPECT_EQ(cells[10].number, 11);
  EXPECT_TRUE(cells[10].removed);
  EXPECT_EQ(cells[11].number, 12);
  EXPECT_TRUE(cells[11].removed);
  // Row-major, 55 by 30, the first column 15 pixels from the left.
  EXPECT_EQ(cells[4].row, 1);
  EXPECT_EQ(cells[4].col, 0);
  EXPECT_EQ(cells[4].rect, (Rect{15, 45, 70, 75}));
  EXPECT_EQ(cells[3].rect, (Rect{15 + 3 * 55, 15, 15 + 4 * 55, 45}));
}

TEST(GridCells, GapsInTheStationNumbers) {
  const std::vector<GridCell> cells = Grid_Cells({3, 7, 200});
  ASSERT_EQ(cells.size(), 3u);  // 1 by 3
  EXPECT_EQ(cells[0].number, 3);
  EXPECT_EQ(cells[2].number, 200);
  EXPECT_TRUE(Grid_Cells({}).empty());
}

TEST(StationLabel, ThreeDigits) {
  EXPECT_EQ(Station_Label(1), "001");
  EXPECT_EQ(Station_Label(9), "009");
  EXPECT_EQ(Station_Label(10), "010");
  EXPECT_EQ(Station_Label(99), "099");
  EXPECT_EQ(Station_Label(100), "100");
  EXPECT_EQ(Station_Label(254), "254");
}

TEST(WindowLayouts, TcpWindowAndScsiList) {
  TcpWindowLayout l = Tcp_Window_Layout(GridShape{3, 4});
  EXPECT_EQ(l.width, 380);  // 4 * 55 + 30 = 250, at least 380
  EXPECT_EQ(l.height, 210);
  EXPECT_EQ(l.buttons[0].left, 40);
  EXPECT_EQ(l.buttons[1].left, 120);
  EXPECT_EQ(l.buttons[2].left, 200);
  EXPECT_EQ(l.buttons[3].left, 280);
  for (const Rect& b : l.buttons) EXPECT_EQ(b.bottom, 180);
  l = Tcp_Window_Layout(GridShape{15, 17});
  EXPECT_EQ(l.width, 17 * 55 + 30);
  EXPECT_EQ(l.height, 15 * 30 + 120);
  EXPECT_EQ(l.buttons[3].right, l.width - 100 + kButtonWidth);
  EXPECT_EQ(Scsi_List_Rect(400, 280), (Rect{20, 14, 210, 155}));
  EXPECT_EQ(Scsi_Item_Text(0), " SCSI ID   0");
  EXPECT_EQ(Scsi_Item_Text(6), " SCSI ID   6");
}

TEST(StationEnabled, RulesPerInterfaceAndMode) {
  const auto tcp = Interface::TcpIp;
  const auto scsi = Interface::Scsi;
  // batch, busy, start status
  EXPECT_TRUE(Station_Enabled(tcp, SelectionMode::Command, 0, 0, 0));
  EXPECT_TRUE(Station_Enabled(tcp, SelectionMode::Script, 0, 0, 0));
  EXPECT_FALSE(Station_Enabled(tcp, SelectionMode::Command, 1, 0, 1));
  EXPECT_FALSE(Station_Enabled(tcp, SelectionMode::Script, 0, 1, 1));
  EXPECT_FALSE(Station_Enabled(tcp, SelectionMode::Abort, 0, 0, 1));
  EXPECT_TRUE(Station_Enabled(tcp, SelectionMode::Abort, 1, 0, 0));
  EXPECT_TRUE(Station_Enabled(tcp, SelectionMode::Abort, 0, 1, 0));
  // SCSI also needs the IO box powered on; any non-zero bit counts.
  EXPECT_FALSE(Station_Enabled(scsi, SelectionMode::Command, 0, 0, 0));
  EXPECT_TRUE(Station_Enabled(scsi, SelectionMode::Command, 0, 0, 64));
  EXPECT_FALSE(Station_Enabled(scsi, SelectionMode::Command, 0, 1, 1));
  EXPECT_FALSE(Station_Enabled(scsi, SelectionMode::Abort, 0, 1, 0));
  EXPECT_TRUE(Station_Enabled(scsi, SelectionMode::Abort, 0, 1, 2));
  EXPECT_FALSE(Station_Enabled(tcp, SelectionMode::Command, 0));
  EXPECT_FALSE(Station_Enabled(tcp, SelectionMode::Command, 256));
}

class SelectionTest : public ::testing::Test {
 protected:
  stations_test::SessionTableGuard guard_;
};

TEST_F(SelectionTest, OnlyEnabledStationsAreChosenAndMarked) {
  Info_Of(1).BusyFlag = 1;
  Info_Of(3).BatchFlag = 1;
  Info_Of(200).CheckFlag = 1;  // left over from an earlier selection
  Info_Of(200).CurrentlySelected = 1;
  StationSelection s(Interface::TcpIp, SelectionMode::Command, {1, 2, 3, 4});
  EXPECT_EQ(Info_Of(200).CheckFlag, 0);  // cleared on opening
  EXPECT_FALSE(s.Enabled(0));
  EXPECT_TRUE(s.Enabled(1));
  EXPECT_FALSE(s.Enabled(2));
  EXPECT_EQ(Info_Of(1).EnableFlag, 0);
  EXPECT_EQ(Info_Of(2).EnableFlag, 1);
  EXPECT_FALSE(s.Set_Checked(0, true));  // disabled: refused
  EXPECT_FALSE(s.Checked(0));

  s.Select_All();
  EXPECT_EQ(s.Chosen(), (std::vector<int>{2, 4}));
  s.Set_Checked(3, false);
  ASSERT_TRUE(s.Accept());
  EXPECT_EQ(Info_Of(2).CheckFlag, 1);
  EXPECT_EQ(Info_Of(2).CurrentlySelected, 1);
  EXPECT_EQ(Info_Of(4).CheckFlag, 0);
  EXPECT_EQ(Info_Of(1).CheckFlag, 0);
  EXPECT_EQ(Info_Of(200).CurrentlySelected, 0);
}

TEST_F(SelectionTest, NothingCheckedIsRefused) {
  StationSelection s(Interface::TcpIp, SelectionMode::Command, {5, 6});
  EXPECT_FALSE(s.Accept());
  s.Select_All();
  s.Cancel_All();
  EXPECT_FALSE(s.Accept());
  EXPECT_EQ(Info_Of(5).CheckFlag, 0);
  EXPECT_EQ(Info_Of(5).CurrentlySelected, 0);
}

TEST_F(SelectionTest, AStationThatTurnsBusyIsUncheckedOnRefresh) {
  StationSelection s(Interface::TcpIp, SelectionMode::Command, {7, 8});
  s.Select_All();
  Info_Of(7).BusyFlag = 1;
  s.Refresh();
  EXPECT_FALSE(s.Enabled(0));
  EXPECT_FALSE(s.Checked(0));
  EXPECT_EQ(Info_Of(7).EnableFlag, 0);
  EXPECT_EQ(s.Chosen(), (std::vector<int>{8}));
  // A station whose flag is on but which turned disabled is never chosen.
  ASSERT_TRUE(s.Accept());
  EXPECT_EQ(Info_Of(7).CheckFlag, 0);
}

TEST_F(SelectionTest, ScsiNeedsPowerAndOffersSevenBoxes) {
  for (int ht = 1; ht <= 7; ++ht) Info_Of(ht).StartStatus = ht == 3 ? 0 : 1 << (ht - 1);
  Info_Of(8).StartStatus = 1;
  Info_Of(8).CheckFlag = 1;  // left over from a TCP/IP selection
  StationSelection s(Interface::Scsi, SelectionMode::Command, {1, 2, 3, 4, 5, 6, 7, 8, 0});
  EXPECT_EQ(s.Size(), 7);
  EXPECT_FALSE(s.Enabled(2));
  s.Select_All();
  ASSERT_TRUE(s.Accept());
  EXPECT_EQ(Info_Of(1).CheckFlag, 1);
  EXPECT_EQ(Info_Of(3).CheckFlag, 0);
  EXPECT_EQ(Info_Of(8).CheckFlag, 0);
  EXPECT_EQ(s.Chosen(), (std::vector<int>{1, 2, 4, 5, 6, 7}));
}

TEST_F(SelectionTest, AbortModeOffersWorkingStations) {
  Info_Of(10).BusyFlag = 1;
  StationSelection s(Interface::TcpIp, SelectionMode::Abort, {9, 10});
  s.Select_All();
  EXPECT_EQ(s.Chosen(), (std::vector<int>{10}));
  EXPECT_EQ(Station_Tooltip(Interface::TcpIp, SelectionMode::Abort, 9, "127.0.0.9"),
            "Station 009 at 127.0.0.9\nIdle");
  EXPECT_EQ(Station_Tooltip(Interface::TcpIp, SelectionMode::Abort, 10, ""), "Station 010");
  EXPECT_EQ(Station_Tooltip(Interface::Scsi, SelectionMode::Command, 1, ""),
            "IO box with SCSI ID 0\nNot powered on");
}

TEST(ConfiguredTcpStations, KeysOneTo254FromDeviceIni) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("tarnel-stations-use-ip-" + std::to_string(std::random_device{}()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  {
    std::ofstream ini(dir / "device.ini");
    ini << "IF=ETHERNET\r\n[ETHERNET]\r\nPORTNO=5000\r\n[USE_IP]\r\n";
    ini << "7=127.0.0.7\r\n3=127.0.0.3\r\n255=127.0.0.255\r\n254=127.0.0.254\r\n";
  }
  ASSERT_TRUE(Set_Program_Directory(dir.string()));
  const std::vector<TcpStation> stations = Configured_Tcp_Stations();
  Reset_Program_Directory();
  std::filesystem::remove_all(dir);
  ASSERT_EQ(stations.size(), 3u);  // 255 is not offered
  EXPECT_EQ(stations[0].number, 3);
  EXPECT_EQ(stations[0].address, "127.0.0.3");
  EXPECT_EQ(stations[1].number, 7);
  EXPECT_EQ(stations[2].number, 254);
}

}  // namespace
}  // namespace stations
