// The toolkit-free rules of the main window and the splash window.
#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QTest>

#include <filesystem>

#include "app/gui/shell_rules.h"
#include "app/gui/splash.h"
#include "app/gui/tests/gui_fixture.h"

namespace {

TEST(ShellRules, ErrorSlotsGiveTheFirstFreeSlotUntilEightAreOpen) {
  ErrorSlots table;
  for (int i = 0; i < 8; ++i) EXPECT_EQ(table.Open(), i);
  EXPECT_EQ(table.Open(), -1);
  EXPECT_EQ(table.Count(), 8);
  table.Close(3);
  table.Close(3);  // a second close of the same slot changes nothing
  EXPECT_EQ(table.Count(), 7);
  EXPECT_EQ(table.Open(), 3);
  table.Close(-1);
  table.Close(8);
  EXPECT_EQ(table.Count(), 8);
}

TEST(ShellRules, TitlesInterfacesAndStationNumbers) {
  EXPECT_EQ(Error_Window_Title(5, 12, kTcpip), "Error in Session12 for IOBOX 5");
  EXPECT_EQ(Error_Window_Title(1, 3, kScsi), "Error in Session3 for IOBOX 0");
  EXPECT_EQ(Error_Window_Title(0, 3, kTcpip), "Message Box");
  EXPECT_EQ(Interface_Of_If("Ethernet"), kTcpip);
  EXPECT_EQ(Interface_Of_If("rs232c"), kRs232);
  EXPECT_EQ(Interface_Of_If("Scsi"), kScsi);
  EXPECT_EQ(Interface_Of_If("ETHERNET2"), -1);
  EXPECT_EQ(Interface_Of_If(""), -1);
  EXPECT_STREQ(If_Text_Of(kTcpip), "ETHERNET");
  EXPECT_EQ(Last_Ht(kScsi), 7);
  EXPECT_EQ(Last_Ht(kTcpip), 255);
  EXPECT_EQ(Last_Ht(kRs232), 1);
}

class StartFlags : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto& info : HTInfoAry) info = InfoHT{};
  }
  void TearDown() override { SetUp(); }
};

TEST_F(StartFlags, CommandFlagsAtStartLookAtTheInterfacesRange) {
  EXPECT_TRUE(Command_Flags_At_Start(kScsi));
  for (int ht = 1; ht <= 7; ++ht) platform::Store(Info_Of(ht).BusyFlag, 1);
  EXPECT_FALSE(Command_Flags_At_Start(kScsi));  // every IO box busy
  EXPECT_TRUE(Command_Flags_At_Start(kTcpip));  // HT 8 and up are free
  EXPECT_TRUE(Command_Flags_At_Start(kRs232));  // busy alone does not count on RS-232C
  platform::Store(Info_Of(1).BatchFlag, 1);
  EXPECT_FALSE(Command_Flags_At_Start(kRs232));
  // Abort follows the busy HTs of the range only.
  for (int ht = 1; ht <= 7; ++ht) platform::Store(Info_Of(ht).BusyFlag, 0);
  platform::Store(Info_Of(1).BatchFlag, 0);
  platform::Store(Info_Of(9).BusyFlag, 1);
  EXPECT_FALSE(Evaluate_Enables(CommandFlags{}, kScsi, true).abort);
  EXPECT_TRUE(Evaluate_Enables(CommandFlags{}, kTcpip, true).abort);
}

class Splash : public gui_test::GuiTest {};

TEST_F(Splash, ShowsThePictureOfTheProgramDirectoryAndFollowsTheMouse) {
  std::filesystem::create_directories(TARNEL_SCREENSHOT_DIR);
  EXPECT_EQ(Show_Splash(), nullptr);  // no vek32.bmp
  std::filesystem::copy_file(std::string(TARNEL_SOURCE_DIR) + "/app/default-config/vek32.bmp", dir_ / "vek32.bmp");
  SplashWindow* splash = Show_Splash();
  ASSERT_NE(splash, nullptr);
  EXPECT_TRUE(splash->isVisible());
  EXPECT_EQ(splash->size(), QSize(360, 180));
  const QPoint start = splash->pos();
  QTest::mousePress(splash, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
  QMouseEvent move(QEvent::MouseMove, QPointF(40, 30), splash->mapToGlobal(QPointF(40, 30)), Qt::NoButton,
                   Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(splash, &move);
  EXPECT_EQ(splash->pos(), start + QPoint(30, 20));
  splash->grab().save(QString(TARNEL_SCREENSHOT_DIR) + "/splash.png");
  splash->close();  // deletes itself
}

}  // namespace
