// Notification 1029 on the screen: the message pane, bars, error windows
// and the detail log; notifications and message boxes from other threads.
#include <gtest/gtest.h>

#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QToolBar>

#include <cstring>
#include <thread>

#include "app/gui/tests/gui_fixture.h"
#include "app/server/status_line.h"
#include "platform/msgbox.h"

namespace {

using gui_test::GuiTest;

class Notifications : public GuiTest {
 protected:
  // HT ht's record as an engine leaves it for a notification.
  static void Record(int ht, std::uint16_t mode, std::uint16_t index, std::uint16_t session = 1,
                     std::uint16_t op_mode = 0, const char* file = "C:\\DATA\\A.DAT") {
    InfoHT& info = Info_Of(ht);
    platform::Store(info.HTNo, static_cast<std::uint16_t>(ht));
    platform::Store(info.SNo, session);
    platform::Store(info.Mode, mode);
    platform::Store(info.Index, index);
    platform::Store(info.OPMode, op_mode);
    std::memset(info.File, ' ', sizeof info.File);
    std::memcpy(info.File, file, std::strlen(file));
  }
  static QString Text_Of(QDialog* w) { return w->findChild<QLabel*>("errorText")->text(); }
};

TEST_F(Notifications, EndingCode29ChangesNothingOnTheScreen) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  const QString before = w.Message_Text();
  Record(4, 1, 0);
  platform::Send_Message(&w, WM_HT_STATUS, 4, 0);  // a bar for HT 4
  ASSERT_EQ(w.Stations()->Bar_Count(), 1);
  const QString shown = w.Message_Text();
  EXPECT_NE(shown, before);  // the first notification shows its mode's text
  w.findChild<QLabel*>("messagePane")->setText("unchanged");
  Record(4, 0, 29, 1, 1);
  platform::Send_Message(&w, WM_HT_STATUS, 4, 0);
  EXPECT_EQ(w.Message_Text(), "unchanged");
  EXPECT_EQ(w.Stations()->Bar_Count(), 1);
  EXPECT_EQ(w.Error_Window_Count(), 0);
  // The last operation mode stayed 0: a mode-1 update shows its text now.
  Record(4, 0, 85, 1, 1);
  platform::Send_Message(&w, WM_HT_STATUS, 4, 0);
  EXPECT_EQ(w.Message_Text(), "PC in Non-Server Mode ......");
  Record(4, 0, 85, 1, 0);
  platform::Send_Message(&w, WM_HT_STATUS, 4, 0);
  EXPECT_EQ(w.Message_Text(), "PC in Server Mode ......");
}

TEST_F(Notifications, NineEndingsOpenSevenErrorWindowsAndOneMoreErrorsWindow) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  for (int ht = 1; ht <= 9; ++ht) {
    Record(ht, 0, static_cast<std::uint16_t>(30 + ht), static_cast<std::uint16_t>(ht + 10));
    platform::Send_Message(&w, WM_HT_STATUS, ht, 0);
  }
  EXPECT_EQ(w.Error_Window_Count(), 8);
  const auto windows = w.Error_Windows();
  ASSERT_EQ(windows.size(), 8u);
  for (int slot = 0; slot < 7; ++slot) {
    const int ht = slot + 1;
    EXPECT_EQ(windows[slot]->windowTitle().toStdString(),
              "Error in Session" + std::to_string(ht + 10) + " for IOBOX " + std::to_string(ht));
    EXPECT_EQ(Text_Of(windows[slot]).toStdString(), Ending_Text(30 + ht));
    EXPECT_TRUE(windows[slot]->isVisible());
  }
  EXPECT_EQ(windows[7]->windowTitle(), "Message Box");
  EXPECT_EQ(Text_Of(windows[7]), "More Errors exist,Check error log file");
  // 20 pixels apart, under the toolbar, following the main window.
  for (int slot = 1; slot < 8; ++slot) {
    EXPECT_EQ(windows[slot]->pos().y() - windows[slot - 1]->pos().y(), 20);
    EXPECT_EQ(windows[slot]->pos().x(), windows[0]->pos().x());
  }
  EXPECT_GT(windows[0]->pos().y(), w.mapToGlobal(QPoint(0, w.Tool_Bar()->geometry().bottom())).y());
  const QPoint before = windows[3]->pos();
  w.move(w.pos() + QPoint(40, 30));
  EXPECT_TRUE(Spin_Until([&] { return windows[3]->pos() == before + QPoint(40, 30); }, 2000));

  // OK frees its slot; the next error takes it.
  QPushButton* ok = windows[2]->findChild<QPushButton*>();
  ASSERT_NE(ok, nullptr);
  ok->click();
  EXPECT_TRUE(Spin_Until([&] { return w.Error_Window_Count() == 7; }, 2000));
  Record(20, 0, 40, 5);
  platform::Send_Message(&w, WM_HT_STATUS, 20, 0);
  ASSERT_EQ(w.Error_Window_Count(), 8);
  EXPECT_EQ(w.Error_Windows()[2]->windowTitle(), "Error in Session5 for IOBOX 20");
}

TEST_F(Notifications, ErrorWindowTitlesNameScsiIdsAndLinkReportsAreMessageBoxes) {
  Device_Ini("SCSI");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  Record(1, 0, 38, 2);
  platform::Send_Message(&w, WM_HT_STATUS, 1, 0);
  platform::Send_Message(&w, WM_HT_STATUS, 0, 95);
  const auto windows = w.Error_Windows();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0]->windowTitle(), "Error in Session2 for IOBOX 0");
  EXPECT_EQ(windows[1]->windowTitle(), "Message Box");
  EXPECT_EQ(Text_Of(windows[1]).toStdString(), Ending_Text(95));
}

TEST_F(Notifications, DetailLogGetsAnEntryPerErrorWindowWhenSwitchedOn) {
  setenv("TARNEL_DRIVES", ("C=" + dir_.string()).c_str(), 1);
  Device_Ini("ETHERNET");
  Panelset_Ini("SERVER=OFF\r\n1SHOT=OFF\r\n", "[DEBUG]\r\nDETAILLOG=1\r\n");
  MainWindow& w = Open_Window();
  Record(6, 0, 38, 9);
  platform::Send_Message(&w, WM_HT_STATUS, 6, 0);
  platform::Send_Message(&w, WM_HT_STATUS, 0, 96);
  Record(6, 0, 72, 9);  // a normal end: no window, no entry
  platform::Send_Message(&w, WM_HT_STATUS, 6, 0);
  const std::string log = Read_File("detail.log");
  unsetenv("TARNEL_DRIVES");
  EXPECT_NE(log.find(" " + Ending_Text(38) + " HTNo:6  SNo:9  Mode:0"), std::string::npos) << log;
  EXPECT_NE(log.find(" " + Ending_Text(96) + " "), std::string::npos) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
}

TEST_F(Notifications, TransfersStartMoveAndEndTheirBars) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  Record(3, 1, 0);
  platform::Send_Message(&w, WM_HT_STATUS, 3, 0);
  Record(5, 2, 0);
  platform::Send_Message(&w, WM_HT_STATUS, 5, 0);
  EXPECT_EQ(w.Stations()->Bar_Count(), 2);
  platform::Store(Info_Of(3).Cent, std::uint16_t{60});
  platform::Send_Message(&w, WM_HT_STATUS, 3, 60);
  EXPECT_EQ(w.Stations()->Bar_Count(), 2);
  Record(3, 1, 73);
  platform::Send_Message(&w, WM_HT_STATUS, 3, 100);
  EXPECT_EQ(w.Stations()->Bar_Count(), 1);
  Record(5, 3, 73);
  platform::Send_Message(&w, WM_HT_STATUS, 5, 100);
  EXPECT_EQ(w.Stations()->Bar_Count(), 0);
  // An HT that asked to abort gets no bar.
  platform::Store(Info_Of(7).AbortFromGUI, 1);
  Record(7, 1, 0);
  platform::Send_Message(&w, WM_HT_STATUS, 7, 0);
  EXPECT_EQ(w.Stations()->Bar_Count(), 0);
}

TEST_F(Notifications, EngineThreadsWaitUntilTheWindowHasReadTheirRecord) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  // Eight engines each deliver a transfer start and then change their
  // record: the window must have read it before the send returns.
  std::vector<std::thread> engines;
  std::atomic<int> delivered{0};
  for (int ht = 1; ht <= 8; ++ht) {
    engines.emplace_back([&w, &delivered, ht] {
      Record(ht, 1, 0);
      if (platform::Send_Message(&w, WM_HT_STATUS, static_cast<platform::WPARAM>(ht), 0)) ++delivered;
      Record(ht, 0, 85);  // what a late read would see: no bar
    });
  }
  EXPECT_TRUE(Spin_Until([&] { return delivered.load() == 8; }));
  for (auto& t : engines) t.join();
  EXPECT_EQ(w.Stations()->Bar_Count(), 8);
}

TEST_F(Notifications, MessageBoxesOfOtherThreadsBlockOnlyTheirCaller) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  w.Set_Box_Answer({});  // shown for real
  std::atomic<int> answer{-1};
  std::thread engine([&answer] {
    answer = platform::Message_Box("Hello from HT 3", "Display String", platform::MB_OK | platform::MB_ICONINFORMATION);
  });
  QMessageBox* box = nullptr;
  ASSERT_TRUE(Spin_Until([&] {
    for (QWidget* top : QApplication::topLevelWidgets())
      if (auto* b = qobject_cast<QMessageBox*>(top); b && b->isVisible() && b->text() == "Hello from HT 3") box = b;
    return box != nullptr;
  }));
  EXPECT_EQ(box->windowTitle(), "Display String");
  // The window thread goes on meanwhile: a notification is handled.
  Record(2, 1, 0);
  platform::Post_Message(&w, WM_HT_STATUS, 2, 0);
  EXPECT_TRUE(Spin_Until([&] { return w.Stations()->Bar_Count() == 1; }));
  EXPECT_EQ(answer.load(), -1);
  box->button(QMessageBox::Ok)->click();
  EXPECT_TRUE(Spin_Until([&] { return answer.load() == platform::IDOK; }));
  engine.join();
}

TEST_F(Notifications, ABoxStillOpenWhenTheWindowGoesReleasesItsCaller) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  w.Set_Box_Answer({});
  std::atomic<bool> returned{false};
  std::thread engine([&returned] {
    platform::Message_Box("Still open", "Display String");
    returned = true;
  });
  ASSERT_TRUE(Spin_Until([&] {
    for (QWidget* top : QApplication::topLevelWidgets())
      if (auto* b = qobject_cast<QMessageBox*>(top); b && b->isVisible() && b->text() == "Still open") return true;
    return false;
  }));
  window_.reset();
  engine.join();
  EXPECT_TRUE(returned.load());
}

}  // namespace
