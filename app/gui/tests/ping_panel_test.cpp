// The station ping panel in the main window (offscreen): laid out at a
// TCP/IP start, fed from the status notifications, stopped and made anew.
#include <QDialog>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>

#include <gtest/gtest.h>

#include <filesystem>

#include "app/gui/ping/ping_panel.h"
#include "app/gui/tests/gui_fixture.h"
#include "platform/atomic.h"

namespace gui_test {
namespace {

using ping::PingPanel;

class PingPanelTest : public GuiTest {
 protected:
  // Starts the link on TCP/IP and waits for the panel's initial pass.
  PingPanel* Start(MainWindow& w) {
    w.Run_Command(ID_LINK_START);
    EXPECT_TRUE(w.Link_Manager_Running()) << (answered_.empty() ? "" : answered_.front());
    EXPECT_TRUE(Spin_Until([&] {
      return w.Ping_Panel() != nullptr && w.Ping_Panel()->Model().Pass_Finished() &&
             !w.Ping_Panel()->Model().Pass_Running();
    }));
    return w.Ping_Panel();
  }
  // A status notification as an engine sends it, with the HT's record.
  void Status(MainWindow& w, int ht, int mode, int index, int value) {
    platform::Store(Info_Of(ht).Mode, static_cast<std::uint16_t>(mode));
    platform::Store(Info_Of(ht).Index, static_cast<std::uint16_t>(index));
    platform::Post_Message(&w, WM_HT_STATUS, static_cast<platform::WPARAM>(ht), value);
  }
  const std::string kThree = "1=127.0.0.1\r\n2=127.0.0.2\r\n3=ht3.example\r\n";
};

TEST_F(PingPanelTest, TcpipStartLaysItOutAndPingsEveryStation) {
  Device_Ini("ETHERNET", kThree);
  Panelset_Ini();
  icmp_.Silent("127.0.0.2");
  MainWindow& w = Open_Window();
  EXPECT_EQ(w.Ping_Panel(), nullptr);
  PingPanel* p = Start(w);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(w.Ping_Panel_Laid_Out());
  EXPECT_TRUE(p->Checking());
  EXPECT_TRUE(p->isVisible());
  EXPECT_EQ(p->Model().State_Of_Ht(1), ping::kPingSuccess);
  EXPECT_EQ(p->Model().State_Of_Ht(2), ping::kPingFail);
  EXPECT_EQ(p->Model().State_Of_Ht(3), ping::kPingFail);
  EXPECT_EQ(icmp_.Echoes("127.0.0.1"), 5);
  EXPECT_EQ(icmp_.Echoes("127.0.0.2"), 1);
  EXPECT_EQ(icmp_.Timeouts().front(), 1000u);  // PING_TIMEOUT absent
  EXPECT_TRUE(p->Notice_Text().isEmpty());

  // Placed 6 pixels inside, 1 below the toolbar, above the bars' room.
  const QRect bar = w.Tool_Bar()->geometry();
  EXPECT_EQ(p->geometry().left(), 6);
  EXPECT_EQ(p->geometry().width(), w.width() - 12);
  EXPECT_EQ(p->geometry().top(), bar.y() + bar.height() + 1);
  EXPECT_EQ(p->geometry().bottom() + 1, w.statusBar()->geometry().top() - (45 * 3 + 13));
  // ... and again when the window changes size.
  w.resize(w.width() + 100, w.height() + 40);
  QCoreApplication::processEvents();
  EXPECT_EQ(p->geometry().width(), w.width() - 12);
  EXPECT_EQ(p->geometry().bottom() + 1, w.statusBar()->geometry().top() - (45 * 3 + 13));

  // The button and the tooltips.
  QPushButton* b = p->Ping_Button();
  EXPECT_EQ(b->text(), "PING");
  EXPECT_EQ(b->toolTip(), "Do Pinging");
  EXPECT_EQ(b->geometry(), QRect(20, 3, 80, 21));
  EXPECT_EQ(b->property("controlId").toInt(), 1001);
  const ping::PanelLayout l = ping::Layout_Panel(p->width(), p->height());
  const stations::Rect c1 = ping::Cell_Rect(l.grid, p->Model().Shape(), 1);
  EXPECT_EQ(p->Tooltip_At(QPoint((c1.left + c1.right) / 2, (c1.top + c1.bottom) / 2)), "127.0.0.2");
  EXPECT_TRUE(p->Tooltip_At(QPoint(1, p->height() - 1)).isEmpty());
  EXPECT_TRUE(answered_.empty()) << answered_.front();
}

TEST_F(PingPanelTest, SessionsChangeLampsAndACommunicatingOneKeepsBlinkingThroughPing) {
  Device_Ini("ETHERNET", kThree);
  Panelset_Ini();
  MainWindow& w = Open_Window();
  PingPanel* p = Start(w);
  ASSERT_NE(p, nullptr);
  Status(w, 2, 1, 0, 0);  // HT 2 sends
  ASSERT_TRUE(Spin_Until([&] { return p->Model().State_Of_Ht(2) == ping::kCommunicating; }));
  const bool phase = p->Blink_Phase();
  ASSERT_TRUE(Spin_Until([&] { return p->Blink_Phase() != phase; }, 3000));

  const int before = icmp_.Echoes("127.0.0.2");
  QTest::mouseClick(p->Ping_Button(), Qt::LeftButton);
  ASSERT_TRUE(Spin_Until([&] { return p->Model().Pass_Finished() && !p->Model().Pass_Running(); }));
  EXPECT_EQ(p->Model().Last_Pass(), ping::Pass::kPing);
  EXPECT_EQ(p->Model().State_Of_Ht(2), ping::kCommunicating);
  EXPECT_EQ(icmp_.Echoes("127.0.0.2"), before);
  EXPECT_EQ(icmp_.Echoes("127.0.0.1"), 10);

  Status(w, 2, 0, 73, 0);  // ended normally
  Status(w, 1, 0, 7, 0);   // ended with an error (an error window opens too)
  ASSERT_TRUE(Spin_Until([&] { return p->Model().State_Of_Ht(1) == ping::kCommFailed; }));
  EXPECT_EQ(p->Model().State_Of_Ht(2), ping::kCommSuccess);
  // A notification of a station that the table does not hold changes nothing.
  Status(w, 9, 1, 0, 0);
  QCoreApplication::processEvents();
  EXPECT_FALSE(p->Model().Any_Communicating());
}

TEST_F(PingPanelTest, ClosingItAloneIsRefusedAndStopStartMakesItAnew) {
  Device_Ini("ETHERNET", kThree);
  Panelset_Ini();
  MainWindow& w = Open_Window();
  QPointer<PingPanel> first = Start(w);
  ASSERT_NE(first, nullptr);
  first->close();
  EXPECT_TRUE(first->isVisible());
  ASSERT_EQ(answered_.size(), 1u);
  EXPECT_EQ(answered_[0], "Message Box: Please Use Link Manager Stop for Closing ");
  Status(w, 1, 1, 0, 0);
  ASSERT_TRUE(Spin_Until([&] { return first->Model().State_Of_Ht(1) == ping::kCommunicating; }));

  w.Run_Command(ID_LINK_STOP);
  EXPECT_FALSE(w.Ping_Panel_Laid_Out());
  EXPECT_EQ(w.Ping_Panel(), nullptr);
  // Deleted later, as a running event loop would.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(first.isNull());

  const int echoes = icmp_.Total();
  PingPanel* second = Start(w);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(second->Checking());
  EXPECT_GT(icmp_.Total(), echoes);  // pinged anew
  EXPECT_EQ(second->Model().State_Of_Ht(1), ping::kPingSuccess);
  EXPECT_EQ(second->Model().State_Of_Ht(3), ping::kPingFail);
}

TEST_F(PingPanelTest, StopEndsARunningPassAndRs232cHasNoPanel) {
  Device_Ini("ETHERNET", kThree);
  Panelset_Ini();
  icmp_.Delay_Ms(300);
  MainWindow& w = Open_Window();
  w.Run_Command(ID_LINK_START);
  ASSERT_TRUE(Spin_Until([&] { return w.Ping_Panel() != nullptr && w.Ping_Panel()->Model().Pass_Running(); }));
  EXPECT_TRUE(w.Ping_Panel()->Notice_Text().startsWith("Pinging Stations ..."));
  w.Run_Command(ID_LINK_STOP);
  EXPECT_EQ(w.Ping_Panel(), nullptr);
  EXPECT_LT(icmp_.Total(), 15);

  Device_Ini("RS232C");
  w.Run_Command(ID_CONF_RS232C);
  w.Lay_Out_Ping_Panel();
  EXPECT_FALSE(w.Ping_Panel_Laid_Out());
}

TEST_F(PingPanelTest, WindowGrowsToFitTheGridUnlessHeightIsFixed) {
  std::string sixteen;
  for (int n = 1; n <= 16; ++n) sixteen += std::to_string(n) + "=127.0.0." + std::to_string(n) + "\r\n";
  Device_Ini("ETHERNET", sixteen);
  Panelset_Ini("SERVER=OFF\r\n1SHOT=OFF\r\n", "[GUI]\r\nBARHEIGHT=60\r\nNUMOFBAR=5\r\n");
  MainWindow& w = Open_Window();
  w.resize(720, 460);
  PingPanel* p = Start(w);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->Model().Shape().rows, 4);
  EXPECT_EQ(w.height(), 4 * 14 + 60 * 5 + 163);
  w.Run_Command(ID_LINK_STOP);

  window_.reset();
  Panelset_Ini("SERVER=OFF\r\n1SHOT=OFF\r\n", "[GUI]\r\nBARHEIGHT=60\r\nNUMOFBAR=5\r\nMAINWINHEIGHTFIX=1\r\n");
  MainWindow& fixed = Open_Window();
  fixed.resize(720, 460);
  ASSERT_NE(Start(fixed), nullptr);
  EXPECT_EQ(fixed.height(), 460);
}

TEST_F(PingPanelTest, WithoutIcmpSocketsEveryStationFailsAndThePanelSaysWhy) {
  Device_Ini("ETHERNET", kThree);
  Panelset_Ini();
  icmp_.No_Socket(EACCES, EPERM);
  MainWindow& w = Open_Window();
  PingPanel* p = Start(w);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->Model().State_Of_Ht(1), ping::kPingFail);
  EXPECT_TRUE(p->Notice_Text().contains("net.ipv4.ping_group_range"));
  EXPECT_TRUE(answered_.empty());
}

TEST_F(PingPanelTest, Screenshot) {
  std::string stations;
  for (int n = 1; n <= 12; ++n) stations += std::to_string(n) + "=127.0.0." + std::to_string(n) + "\r\n";
  Device_Ini("ETHERNET", stations);
  Panelset_Ini();
  icmp_.Silent("127.0.0.4");
  icmp_.Silent("127.0.0.9");
  MainWindow& w = Open_Window();
  w.resize(720, 460);
  PingPanel* p = Start(w);
  ASSERT_NE(p, nullptr);
  Status(w, 2, 1, 0, 10);
  Status(w, 5, 0, 73, 0);
  Status(w, 7, 0, 7, 0);
  ASSERT_TRUE(Spin_Until([&] { return p->Model().State_Of_Ht(7) == ping::kCommFailed; }));
  for (QDialog* d : w.Error_Windows()) d->close();
  QCoreApplication::processEvents();
  std::filesystem::create_directories(TARNEL_SCREENSHOT_DIR);
  const QImage shot = w.grab().toImage();
  ASSERT_TRUE(shot.save(QString(TARNEL_SCREENSHOT_DIR) + "/ping-panel.png"));
  // The panel is white with a filler-free 3 by 4 grid.
  EXPECT_EQ(p->Model().Cell_Count(), 12);
  const QImage panel = p->grab().toImage();
  EXPECT_EQ(panel.pixelColor(panel.width() - 3, panel.height() - 3), QColor(Qt::white));
  const ping::PanelLayout l = ping::Layout_Panel(p->width(), p->height());
  const stations::Rect lamp = ping::Lamp_Of_Cell(ping::Cell_Rect(l.grid, p->Model().Shape(), 0));
  EXPECT_EQ(panel.pixelColor((lamp.left + lamp.right) / 2, (lamp.top + lamp.bottom) / 2), QColor(150, 200, 255));
}

}  // namespace
}  // namespace gui_test
