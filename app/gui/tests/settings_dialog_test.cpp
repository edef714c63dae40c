// The Settings command and the help window as the operator sees them: the
// dialog of the checked interface with its captions and buttons, OK and
// Save As Default writing device.ini, refusals keeping the dialog open, and
// F1 showing the operator's guide.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QTimer>

#include <cstdlib>

#include "app/gui/settings/settings_dialogs.h"
#include "app/gui/shell_rules.h"
#include "app/gui/tests/gui_fixture.h"

namespace {

using gui_test::GuiTest;

class SettingsDialogTest : public GuiTest {
 protected:
  // Runs the Settings command; act gets the dialog once it is open and must
  // leave it closed.
  void Settings(const std::function<void(SettingsDialog*)>& act) {
    bool acted = false;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
      auto* d = qobject_cast<SettingsDialog*>(QApplication::activeModalWidget());
      if (d == nullptr || acted) return;
      acted = true;
      act(d);
      if (d->isVisible()) d->reject();
    });
    poll.start();
    window_->Run_Command(ID_CONF_SETTINGS);
    EXPECT_TRUE(acted);
  }
  template <class W>
  static W* Control(SettingsDialog* d, const char* id) {
    W* w = d->findChild<W*>(id);
    EXPECT_NE(w, nullptr) << id;
    return w;
  }
  static QString Label_Of(SettingsDialog* d, const char* id) {
    QWidget* w = d->findChild<QWidget*>(id);
    for (QLabel* l : d->findChildren<QLabel*>())
      if (l->buddy() == w) return l->text();
    return "(no label)";
  }
  static void Screenshot(QWidget* w, const char* name) {
    QDir().mkpath(TARNEL_SCREENSHOT_DIR);
    EXPECT_TRUE(w->grab().save(QString(TARNEL_SCREENSHOT_DIR) + "/" + name));
  }
  static void Click(SettingsDialog* d, const char* button) { Control<QPushButton>(d, button)->click(); }
};

TEST_F(SettingsDialogTest, TcpipRefusesPort1023KeepsTheDialogOpenAndOkWritesKeepingIf) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  Open_Window();
  Settings([&](SettingsDialog* d) {
    EXPECT_EQ(d->windowTitle(), "TCP/IP");
    EXPECT_EQ(Label_Of(d, "1060"), "IP  Address");
    EXPECT_EQ(Label_Of(d, "1063"), "Port No");
    EXPECT_EQ(Label_Of(d, "1061"), "Working  Dir");
    EXPECT_EQ(Label_Of(d, "1062"), "Error  Log  File");
    EXPECT_TRUE(Control<QLineEdit>(d, "1060")->isReadOnly());
    EXPECT_EQ(Control<QLineEdit>(d, "1063")->text(), QString::number(port_));
    EXPECT_EQ(Control<QPushButton>(d, "ok")->text(), "OK");
    EXPECT_EQ(Control<QPushButton>(d, "cancel")->text(), "Cancel");
    EXPECT_EQ(Control<QPushButton>(d, "saveAsDefault")->text(), "Save As Default");
    Screenshot(d, "settings-tcpip.png");

    Control<QLineEdit>(d, "1063")->setText("1023");
    Click(d, "ok");
    EXPECT_TRUE(d->isVisible());
    Control<QLineEdit>(d, "1063")->setText("");
    Click(d, "saveAsDefault");
    EXPECT_TRUE(d->isVisible());
    Control<QLineEdit>(d, "1061")->setText(QString::fromStdString(dir_.string() + "/gone"));
    Click(d, "ok");
    EXPECT_TRUE(d->isVisible());

    Control<QLineEdit>(d, "1061")->setText(QString::fromStdString(dir_.string()));
    Control<QLineEdit>(d, "1063")->setText("1024");
    Click(d, "ok");
    EXPECT_FALSE(d->isVisible());
  });
  EXPECT_EQ(answered_, (std::vector<std::string>{
                           "Message Box: Invalid Port No, Please enter a value greater than 1023",
                           "Message Box: Invalid Port No, Please enter a value greater than 1023",
                           "Message Box: Working Directory not valid\n Please enter valid Working Directory"}));
  const std::string ini = Read_File("device.ini");
  EXPECT_EQ(ini.rfind("IF=ETHERNET\r\n", 0), 0u);
  EXPECT_NE(ini.find("\r\nPORTNO=1024\r\n"), std::string::npos);
}

TEST_F(SettingsDialogTest, Rs232cShowsItsListsAndSaveAsDefaultSetsIf) {
  Device_Ini("RS232C");
  Panelset_Ini();
  Open_Window();
  // OK keeps IF as the file has it, also when another interface is checked.
  Write_File("device.ini", Read_File("device.ini").replace(0, 11, "IF=SCSI\r\n"));
  Read_Device_Ini();
  Settings([&](SettingsDialog* d) {
    EXPECT_EQ(d->windowTitle(), "RS232C");
    EXPECT_EQ(Label_Of(d, "1065"), "&COM  PORT");
    EXPECT_EQ(Label_Of(d, "1003"), "&Baud  Rate");
    EXPECT_EQ(Label_Of(d, "1004"), "&Parity");
    EXPECT_EQ(Label_Of(d, "1007"), "&Stop  Bits");
    EXPECT_EQ(Label_Of(d, "1008"), "&Data Bits");
    EXPECT_EQ(Label_Of(d, "1000"), "&Working  Dir");
    EXPECT_EQ(Label_Of(d, "1001"), "&Error  Log  File");
    EXPECT_EQ(Control<QPushButton>(d, "saveAsDefault")->text(), "Sa&ve As Default");
    QComboBox* port = Control<QComboBox>(d, "1065");
    ASSERT_GE(port->count(), 4);
    EXPECT_EQ(port->itemText(0), "COM1");
    EXPECT_EQ(port->itemText(3), "COM4");
    EXPECT_EQ(port->currentText(), "COM1");
    EXPECT_EQ(Control<QComboBox>(d, "1003")->currentText(), "9600");
    EXPECT_EQ(Control<QComboBox>(d, "1003")->count(), 10);
    EXPECT_EQ(Control<QComboBox>(d, "1004")->currentText(), "NONE");
    EXPECT_EQ(Control<QComboBox>(d, "1008")->currentText(), "8");
    Screenshot(d, "settings-rs232c.png");
    Click(d, "ok");
    EXPECT_FALSE(d->isVisible());
  });
  EXPECT_EQ(Read_File("device.ini").rfind("IF=SCSI\r\n", 0), 0u);
  Settings([&](SettingsDialog* d) {
    Control<QComboBox>(d, "1065")->setCurrentIndex(2);
    Control<QComboBox>(d, "1003")->setCurrentText("115200");
    Click(d, "saveAsDefault");
  });
  const std::string ini = Read_File("device.ini");
  EXPECT_EQ(ini.rfind("IF=RS232C\r\n", 0), 0u);
  EXPECT_NE(ini.find("\r\nPort=COM3\r\nBaud=115200\r\n"), std::string::npos);
  EXPECT_TRUE(answered_.empty());
}

TEST_F(SettingsDialogTest, ScsiStoresADriveRootAndCancelChangesNothing) {
  Device_Ini("SCSI");
  Panelset_Ini();
  Open_Window();
  const std::string before = Read_File("device.ini");
  Settings([&](SettingsDialog* d) {
    EXPECT_EQ(d->windowTitle(), "SCSI");
    EXPECT_EQ(Label_Of(d, "1056"), "Working  Dir");
    EXPECT_EQ(Label_Of(d, "1057"), "Error  Log  File");
    EXPECT_EQ(Control<QPushButton>(d, "saveAsDefault")->text(), "Save  As  Default");
    Screenshot(d, "settings-scsi.png");
    Control<QLineEdit>(d, "1056")->setText("C:");
    Click(d, "cancel");
  });
  EXPECT_EQ(Read_File("device.ini"), before);
  Settings([&](SettingsDialog* d) {
    Control<QLineEdit>(d, "1056")->setText("C:");
    Click(d, "saveAsDefault");
  });
  EXPECT_STREQ(DefWorkFile, "C:\\");
  EXPECT_NE(Read_File("device.ini").find("\r\nWorkFile=C:\\\r\n"), std::string::npos);
}

TEST_F(SettingsDialogTest, OpeningWithoutDeviceIniSaysSoAndStillOpens) {
  Device_Ini("SCSI");
  Panelset_Ini();
  Open_Window();
  std::filesystem::remove(dir_ / "device.ini");
  Settings([&](SettingsDialog* d) { Click(d, "cancel"); });
  EXPECT_EQ(answered_, std::vector<std::string>{"Message Box: Device.ini file missing\n Cant Set the parameters."});
}

TEST_F(SettingsDialogTest, F1ShowsTheOperatorsGuideOrSaysWhereItWasLookedFor) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  setenv("TARNEL_HELP_GUIDE", TARNEL_SOURCE_DIR "/docs/operators.md", 1);
  w.Run_Command(ID_HELP);
  auto* help = w.findChild<HelpWindow*>("helpWindow");
  ASSERT_NE(help, nullptr);
  EXPECT_TRUE(help->isVisible());
  EXPECT_EQ(help->windowTitle(), "Tarnel Help");
  const QString text = help->Browser()->toPlainText();
  EXPECT_TRUE(text.startsWith("Operator's guide")) << text.left(80).toStdString();
  EXPECT_TRUE(text.contains("Ending codes"));
  Screenshot(help, "help.png");
  // The Help menu's item raises the same window.
  w.Run_Command(ID_HELP_FINDER);
  EXPECT_EQ(w.findChildren<HelpWindow*>().size(), 1);
  help->close();
  EXPECT_TRUE(answered_.empty());

  setenv("TARNEL_HELP_GUIDE", (dir_ / "missing.md").c_str(), 1);
  w.Run_Command(ID_HELP);
  unsetenv("TARNEL_HELP_GUIDE");
  ASSERT_EQ(answered_.size(), 1u);
  EXPECT_EQ(answered_[0].rfind("Tarnel Help: The operator's guide (operators.md) was not found.", 0), 0u);
  EXPECT_NE(answered_[0].find((dir_ / "missing.md").string()), std::string::npos);
}

}  // namespace
