#include "app/gui/ping/ping_model.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <initializer_list>
#include <thread>
#include <string>
#include <utility>

#include "testsupport/fake_icmp.h"

namespace ping {
namespace {

StationIpTable Table(std::initializer_list<std::pair<int, const char*>> rows) {
  StationIpTable t;
  Clear_Station_Ip_Table(&t);
  for (const auto& [number, address] : rows) {
    StationIpRow& r = t.rows[t.count++];
    std::snprintf(r.key, sizeof r.key, "%d", number);
    std::snprintf(r.address, sizeof r.address, "%s", address);
  }
  return t;
}

TEST(PingStation, AllFiveEchoesMustBeAnswered) {
  testsupport::FakeIcmp icmp;
  EXPECT_EQ(Ping_Station(icmp, "127.0.0.1", 300), 0);
  EXPECT_EQ(icmp.Echoes("127.0.0.1"), 5);
  EXPECT_EQ(icmp.Timeouts().front(), 300u);

  // One lost echo of five: not answering, and the ping ends there.
  icmp.Lose_Echo("127.0.0.2", 4);
  platform::EchoOutcome last;
  EXPECT_EQ(Ping_Station(icmp, "127.0.0.2", 300, nullptr, &last), 1);
  EXPECT_EQ(icmp.Echoes("127.0.0.2"), 4);
  EXPECT_EQ(last.result, platform::ICMP_TIMED_OUT);

  // A silent station fails at its first echo; so does one that cannot be
  // reached.
  icmp.Silent("127.0.0.3");
  EXPECT_EQ(Ping_Station(icmp, "127.0.0.3", 300), 1);
  EXPECT_EQ(icmp.Echoes("127.0.0.3"), 1);
  icmp.Fail("127.0.0.4", ENETUNREACH);
  EXPECT_EQ(Ping_Station(icmp, "127.0.0.4", 300, nullptr, &last), 1);
  EXPECT_EQ(last.error, ENETUNREACH);
}

TEST(PingStation, AnAddressThatIsNotDottedIpv4FailsWithoutAnyEcho) {
  testsupport::FakeIcmp icmp;
  for (const char* bad : {"", "ht1.example", "127.0.0", "127.0.0.1.1", "127.0.0.300", "127.0.0.1 "}) {
    platform::EchoOutcome last;
    EXPECT_EQ(Ping_Station(icmp, bad, 300, nullptr, &last), 1) << bad;
    EXPECT_EQ(last.result, platform::ICMP_BAD_ADDRESS);
  }
  EXPECT_EQ(icmp.Total(), 0);
}

TEST(PingStation, SystemBackEndOnLoopback) {
  platform::EchoOutcome last;
  const int r = Ping_Station(platform::System_Icmp(), "127.0.0.9", 2000, nullptr, &last);
  if (last.result == platform::ICMP_NO_SOCKET)
    GTEST_SKIP() << platform::Icmp_Unavailable_Text(last.error, last.raw_error);
  EXPECT_EQ(r, 0);
  // The kernel refuses a broadcast echo at once: not answering.
  EXPECT_EQ(Ping_Station(platform::System_Icmp(), "255.255.255.255", 50), 1);
}

TEST(StationRecords, StationsInTableOrderThenFillersCompletingTheLastRow) {
  testsupport::FakeIcmp icmp;
  PingModel m(icmp);
  ASSERT_TRUE(m.Set_Stations(Table({{3, "127.0.0.3"}, {7, "127.0.0.7"}, {12, "10.0.0.12"}, {200, "x"}, {255, "y"}})));
  EXPECT_EQ(m.Station_Count(), 5);
  EXPECT_EQ(m.Shape().rows, 2);
  EXPECT_EQ(m.Shape().cols, 3);
  ASSERT_EQ(m.Cell_Count(), 6);
  EXPECT_EQ(m.Cell(0).configured, kStation);
  EXPECT_EQ(m.Cell(0).number, 3);
  EXPECT_EQ(m.Cell(4).number, 255);
  EXPECT_EQ(m.Cell(4).address, "y");
  EXPECT_EQ(m.Cell(5).configured, kFiller);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(m.State_Of_Cell(i), kPingFail);
  EXPECT_EQ(m.Cell_Of_Ht(12), 2);
  EXPECT_EQ(m.Cell_Of_Ht(4), -1);
  EXPECT_EQ(stations::Station_Label(m.Cell(0).number), "003");
  EXPECT_EQ(stations::Station_Label(m.Cell(2).number), "012");
  EXPECT_EQ(stations::Station_Label(m.Cell(3).number), "200");

  // 255 stations fill a 15 by 17 grid exactly; none gives an empty grid.
  StationIpTable full;
  Clear_Station_Ip_Table(&full);
  for (int n = 1; n <= 255; ++n) {
    std::snprintf(full.rows[n - 1].key, sizeof full.rows[0].key, "%d", n);
    std::snprintf(full.rows[n - 1].address, sizeof full.rows[0].address, "127.0.1.%d", n);
  }
  full.count = 255;
  ASSERT_TRUE(m.Set_Stations(full));
  EXPECT_EQ(m.Cell_Count(), 255);
  EXPECT_EQ(m.Shape().rows, 15);
  ASSERT_TRUE(m.Set_Stations(Table({})));
  EXPECT_EQ(m.Cell_Count(), 0);
  EXPECT_TRUE(m.Start_Pass(Pass::kInitial, 10));
  EXPECT_TRUE(m.Wait_For_Pass(5000));
  EXPECT_TRUE(m.Pass_Finished());
}

TEST(SessionMessages, CommunicatingThenSuccessOrFailure) {
  testsupport::FakeIcmp icmp;
  PingModel m(icmp);
  m.Set_Stations(Table({{1, "127.0.0.1"}, {9, "127.0.0.9"}}));
  EXPECT_TRUE(m.Apply_Session_Message(WM_PING_COMMUNICATING, 8, 40));
  EXPECT_EQ(m.State_Of_Ht(9), kCommunicating);
  EXPECT_TRUE(m.Any_Communicating());
  EXPECT_TRUE(m.Apply_Session_Message(WM_PING_SESSION_END, 8, 1));
  EXPECT_EQ(m.State_Of_Ht(9), kCommSuccess);
  EXPECT_TRUE(m.Apply_Session_Message(WM_PING_SESSION_END, 0, 0));
  EXPECT_EQ(m.State_Of_Ht(1), kCommFailed);
  EXPECT_FALSE(m.Any_Communicating());
  // Stations not in the table, numbers out of range, other messages.
  EXPECT_TRUE(m.Apply_Session_Message(WM_PING_COMMUNICATING, 4, 0));
  EXPECT_TRUE(m.Apply_Session_Message(WM_PING_COMMUNICATING, 255, 0));
  EXPECT_TRUE(m.Apply_Session_Message(WM_PING_COMMUNICATING, static_cast<platform::WPARAM>(-1), 0));
  EXPECT_FALSE(m.Apply_Session_Message(WM_PING_STOP, 0, 0));
  EXPECT_EQ(m.State_Of_Ht(1), kCommFailed);
  EXPECT_EQ(m.State_Of_Ht(9), kCommSuccess);
}

TEST(StatusForwarding, SendingOrReceivingIsCommunicatingElseTheSessionEnded) {
  auto f = Forward_Of_Status(5, 1, 0, 37);
  EXPECT_EQ(f.msg, WM_PING_COMMUNICATING);
  EXPECT_EQ(f.wParam, 4u);
  EXPECT_EQ(f.lParam, 37);
  EXPECT_EQ(Forward_Of_Status(5, 2, 0, 100).msg, WM_PING_COMMUNICATING);
  for (int mode : {3, 4}) {
    f = Forward_Of_Status(5, mode, 40, 0);
    EXPECT_EQ(f.msg, WM_PING_SESSION_END);
    EXPECT_EQ(f.lParam, 1) << mode;
  }
  EXPECT_EQ(Forward_Of_Status(5, 0, 72, 0).lParam, 1);
  EXPECT_EQ(Forward_Of_Status(5, 0, 73, 0).lParam, 1);
  EXPECT_EQ(Forward_Of_Status(5, 0, 40, 0).lParam, 0);
  EXPECT_EQ(Forward_Of_Status(255, 0, 0, 0).wParam, 254u);
}

TEST(Passes, InitialPassPingsEveryStationAndSetsTheFinishedFlag) {
  testsupport::FakeIcmp icmp;
  icmp.Silent("127.0.0.2");
  PingModel m(icmp);
  m.Set_Stations(Table({{1, "127.0.0.1"}, {2, "127.0.0.2"}, {3, "not-an-address"}}));
  EXPECT_FALSE(m.Pass_Finished());
  ASSERT_TRUE(m.Start_Pass(Pass::kInitial, 1000));
  ASSERT_TRUE(m.Wait_For_Pass(5000));
  EXPECT_TRUE(m.Pass_Finished());
  EXPECT_EQ(m.State_Of_Ht(1), kPingSuccess);
  EXPECT_EQ(m.State_Of_Ht(2), kPingFail);
  EXPECT_EQ(m.State_Of_Ht(3), kPingFail);
  EXPECT_EQ(icmp.Log(), (std::vector<std::string>{"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1",
                                                  "127.0.0.1", "127.0.0.2"}));
  EXPECT_TRUE(m.Unavailable_Notice().empty());
}

TEST(Passes, ACommunicatingStationKeepsItsStateThroughAPingPass) {
  testsupport::FakeIcmp icmp;
  PingModel m(icmp);
  m.Set_Stations(Table({{1, "127.0.0.1"}, {2, "127.0.0.2"}, {3, "127.0.0.3"}}));
  m.Apply_Session_Message(WM_PING_COMMUNICATING, 1, 0);
  m.Apply_Session_Message(WM_PING_SESSION_END, 2, 1);
  ASSERT_TRUE(m.Start_Pass(Pass::kPing, 1000));
  ASSERT_TRUE(m.Wait_For_Pass(5000));
  EXPECT_EQ(m.State_Of_Ht(2), kCommunicating);
  EXPECT_EQ(icmp.Echoes("127.0.0.2"), 0);
  EXPECT_EQ(m.State_Of_Ht(1), kPingSuccess);
  EXPECT_EQ(m.State_Of_Ht(3), kPingSuccess);  // a finished session is pinged again
  EXPECT_EQ(m.Last_Pass(), Pass::kPing);
}

TEST(Passes, ASessionStartingWhileItsStationIsPingedWins) {
  testsupport::FakeIcmp icmp;
  icmp.Delay_Ms(40);
  PingModel m(icmp);
  m.Set_Stations(Table({{1, "127.0.0.1"}}));
  ASSERT_TRUE(m.Start_Pass(Pass::kInitial, 1000));
  while (icmp.Total() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  m.Apply_Session_Message(WM_PING_COMMUNICATING, 0, 0);
  ASSERT_TRUE(m.Wait_For_Pass(5000));
  EXPECT_EQ(m.State_Of_Ht(1), kCommunicating);
}

TEST(Passes, OnePassAtATimeAndClosingStopsIt) {
  testsupport::FakeIcmp icmp;
  icmp.Delay_Ms(20);
  PingModel m(icmp);
  StationIpTable t;
  Clear_Station_Ip_Table(&t);
  for (int n = 1; n <= 40; ++n) {
    std::snprintf(t.rows[n - 1].key, sizeof t.rows[0].key, "%d", n);
    std::snprintf(t.rows[n - 1].address, sizeof t.rows[0].address, "127.0.0.%d", n);
  }
  t.count = 40;
  m.Set_Stations(t);
  ASSERT_TRUE(m.Start_Pass(Pass::kInitial, 1000));
  EXPECT_FALSE(m.Start_Pass(Pass::kPing, 1000));  // refused while one runs
  EXPECT_FALSE(m.Set_Stations(t));
  while (icmp.Total() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  m.Close();
  EXPECT_FALSE(m.Pass_Running());
  EXPECT_TRUE(m.Pass_Finished());
  EXPECT_LT(icmp.Total(), 40 * 5);
  const int echoed = icmp.Total();
  EXPECT_EQ(m.State_Of_Ht(40), kPingFail);
  EXPECT_FALSE(m.Start_Pass(Pass::kPing, 1000));  // none after closing
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(icmp.Total(), echoed);
}

TEST(Passes, NoSocketMakesEveryStationFailAndTellsWhyOnce) {
  testsupport::FakeIcmp icmp;
  icmp.No_Socket(EACCES, EPERM);
  PingModel m(icmp);
  m.Set_Stations(Table({{1, "127.0.0.1"}, {2, "127.0.0.2"}}));
  ASSERT_TRUE(m.Start_Pass(Pass::kInitial, 1000));
  ASSERT_TRUE(m.Wait_For_Pass(5000));
  EXPECT_EQ(m.State_Of_Ht(1), kPingFail);
  EXPECT_EQ(m.State_Of_Ht(2), kPingFail);
  const std::string why = m.Take_Unavailable_Notice();
  EXPECT_NE(why.find("ping_group_range"), std::string::npos);
  EXPECT_TRUE(m.Take_Unavailable_Notice().empty());
  EXPECT_EQ(m.Unavailable_Notice(), why);
}

TEST(Colours, StatesLegendAndBlinking) {
  EXPECT_EQ(State_Colour(kPingSuccess, false), (Rgb{150, 200, 255}));
  EXPECT_EQ(State_Colour(kPingFail, true), (Rgb{0, 0, 0}));
  EXPECT_EQ(State_Colour(kCommunicating, true), (Rgb{0, 255, 0}));
  EXPECT_EQ(State_Colour(kCommunicating, false), (Rgb{0, 150, 0}));
  EXPECT_EQ(State_Colour(kCommSuccess, false), (Rgb{255, 255, 0}));
  EXPECT_EQ(State_Colour(kCommFailed, false), (Rgb{255, 0, 0}));
  EXPECT_STREQ(Legend_Text(kPingSuccess), "Ping Success");
  EXPECT_STREQ(Legend_Text(kPingFail), "Ping Fail");
  EXPECT_STREQ(Legend_Text(kCommunicating), "Communicating");
  EXPECT_STREQ(Legend_Text(kCommSuccess), "Communication Success");
  EXPECT_STREQ(Legend_Text(kCommFailed), "Communication Failed");
}

TEST(Placement, HeightRulePanelPlaceAndGrid) {
  EXPECT_EQ(Fitting_Main_Height(3, 45, 3), 3 * 14 + 135 + 163);
  const stations::Rect r = Place_Ping_Panel(720, 60, 400, 45, 3);
  EXPECT_EQ(r, (stations::Rect{6, 61, 714, 400 - 148}));
  EXPECT_TRUE(Place_Ping_Panel(720, 60, 200, 45, 3).Empty());

  const PanelLayout l = Layout_Panel(704, 175);
  EXPECT_EQ(l.button, (stations::Rect{20, 3, 100, 24}));
  EXPECT_EQ(l.grid.left, 32);
  EXPECT_EQ(l.grid.right, 480);
  EXPECT_EQ(l.grid.bottom, 170);
  EXPECT_GE(l.grid.top, l.button.bottom);
  ASSERT_EQ(l.legend.size(), 5u);
  EXPECT_GE(l.legend[0].left, l.grid.right);
  // Cells row by row, tiling the grid.
  const stations::GridShape shape{2, 3};
  EXPECT_EQ(Cell_Rect(l.grid, shape, 0).left, l.grid.left);
  EXPECT_EQ(Cell_Rect(l.grid, shape, 2).right, l.grid.right);
  EXPECT_EQ(Cell_Rect(l.grid, shape, 3).top, Cell_Rect(l.grid, shape, 0).bottom);
  EXPECT_EQ(Cell_Rect(l.grid, shape, 5).bottom, l.grid.bottom);
  EXPECT_TRUE(Cell_Rect(l.grid, shape, 6).Empty());
  const stations::Rect lamp = Lamp_Of_Cell(Cell_Rect(l.grid, shape, 0));
  EXPECT_EQ(lamp.Width(), 14);
  EXPECT_EQ(lamp.Width(), lamp.Height());
}

}  // namespace
}  // namespace ping
