// The Command screen and the script runner as the main window opens them:
// directly for HT 1 on RS-232C, after the station selection on SCSI and
// TCP/IP; OK puts the line into each chosen station's command buffer. At
// the end, a send composed in the Command screen reaches two terminals.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRadioButton>

#include <fstream>

#include "app/gui/forms/command_screen.h"
#include "app/gui/forms/script_runner.h"
#include "app/gui/tests/gui_fixture.h"
#include "platform/spawn.h"

namespace {

using gui_test::GuiTest;

std::string Slot(int ht) {
  char buf[CMD_BUF_SIZE];
  Read_Command_Buffer(ht, buf, sizeof buf);
  return buf;
}

template <typename W>
W* Control(QWidget* dialog, int id) {
  return dialog->findChild<W*>(QStringLiteral("ctl%1").arg(id));
}

class FormsWiring : public GuiTest {
 protected:
  // A station selection that chooses chosen_ as its OK does; an empty
  // choice stands for Cancel.
  StationSelector Selector() {
    return [this](QWidget*, SelectionMode m, int) {
      ++selections_;
      mode_ = m;
      if (chosen_.empty()) return false;
      for (int ht = 1; ht <= MAX_HT; ++ht) {
        const int on = std::find(chosen_.begin(), chosen_.end(), ht) != chosen_.end() ? 1 : 0;
        platform::Store(Info_Of(ht).CheckFlag, on);
        platform::Store(Info_Of(ht).CurrentlySelected, on);
      }
      return true;
    };
  }

  void TearDown() override {
    if (window_ && window_->Link_Manager_Running()) window_->Run_Command(ID_LINK_STOP);
    GuiTest::TearDown();
  }
  template <typename D>
  D* Open_Form(MainWindow& w) {
    D* form = w.findChild<D*>();
    if (form != nullptr) {
      EXPECT_TRUE(form->isVisible());
    }
    return form;
  }

  // Terminals 1..n on 127.0.0.6N, each with a disk folder htN, serving the PC.
  void Start_Terminals(int n) {
    for (int i = 1; i <= n; ++i) {
      const auto disk = dir_ / ("ht" + std::to_string(i));
      std::filesystem::create_directories(disk);
      auto child = std::make_unique<platform::ChildProcess>();
      ASSERT_TRUE(child->Start({HTSIM_EXE, "--port", std::to_string(port_), "--source",
                                "127.0.0.6" + std::to_string(i), "--disk", disk.string(), "--timeout", "30"},
                               (dir_ / ("ht" + std::to_string(i) + ".out")).string(), "", {}, nullptr));
      terminals_.push_back(std::move(child));
    }
  }
  bool Received(int ht, const std::string& name, std::uintmax_t size) const {
    std::error_code ec;
    return std::filesystem::file_size(dir_ / ("ht" + std::to_string(ht)) / name, ec) == size && !ec;
  }
  // Every terminal ended its session cleanly (status 0).
  void Expect_Terminals_Ended() {
    for (auto& t : terminals_) {
      int status = -1;
      bool ended = false;
      Spin_Until([&] { return ended = t->Wait(0, &status); }, 30000);
      if (!ended) t->Signal(9), t->Wait(5000, &status);
      EXPECT_EQ(status, 0);
    }
    terminals_.clear();
  }
  std::string Pc_Path(const std::string& name) const {
    std::string pc = "C:" + (dir_ / name).string();
    std::replace(pc.begin(), pc.end(), '/', '\\');
    return pc;
  }

  std::vector<std::unique_ptr<platform::ChildProcess>> terminals_;
  std::vector<int> chosen_;
  int selections_ = 0;
  SelectionMode mode_ = SelectionMode::kAbort;
};

TEST_F(FormsWiring, Rs232cOpensTheScreenForHt1WithoutASelection) {
  Device_Ini("RS232C");
  Panelset_Ini();
  chosen_ = {2};
  MainWindow& w = Open_Window(Selector());
  w.Run_Command(ID_EXEC_COMMAND);
  EXPECT_EQ(selections_, 0);
  QPointer<CommandScreen> screen = Open_Form<CommandScreen>(w);
  ASSERT_NE(screen, nullptr);
  EXPECT_TRUE(screen->isModal());
  // Asked again while it is open: still one screen.
  w.Run_Command(ID_EXEC_COMMAND);
  w.Run_Command(ID_EXEC_SCRIPT);
  EXPECT_EQ(w.findChildren<QDialog*>().size(), 1u);
  // With no device.ini the start after OK only says so: no port is opened.
  std::filesystem::remove(dir_ / "device.ini");
  Control<QComboBox>(screen, 1011)->setCurrentIndex(kFormBuzzer);
  screen->accept();
  EXPECT_EQ(Slot(1), "/B");
  EXPECT_EQ(Slot(2), "");
  EXPECT_EQ(platform::Load(Info_Of(1).BatchFlag), 1);
  // Batch switched Command and Script File off; the window shows it.
  EXPECT_FALSE(w.Flags().command);
  EXPECT_FALSE(w.Action(ID_EXEC_COMMAND)->isEnabled());
  EXPECT_FALSE(w.Action(ID_EXEC_SCRIPT)->isEnabled());
  EXPECT_NE(std::find(answered_.begin(), answered_.end(),
                      "Message Box: Device.ini File missing \n Cannot establish communication"),
            answered_.end());
  EXPECT_TRUE(Spin_Until([&] { return screen.isNull(); }, 2000));
}

TEST_F(FormsWiring, TcpipCommandFollowsTheSelectionAndReachesTheChosenSlots) {
  Device_Ini("ETHERNET", "2=127.0.0.2\r\n5=127.0.0.5\r\n6=127.0.0.6\r\n");
  Panelset_Ini();
  chosen_ = {2, 5};
  MainWindow& w = Open_Window(Selector());
  Write_Command_Buffer(6, "/B");
  w.Run_Command(ID_EXEC_COMMAND);
  EXPECT_EQ(selections_, 1);
  EXPECT_EQ(mode_, SelectionMode::kCommand);
  CommandScreen* screen = Open_Form<CommandScreen>(w);
  ASSERT_NE(screen, nullptr);
  Control<QPlainTextEdit>(screen, 1028)->setPlainText("A.TXT");
  Control<QLineEdit>(screen, 1030)->setText("B:\\");
  Control<QCheckBox>(screen, 1025)->setChecked(true);
  Control<QCheckBox>(screen, 1027)->setChecked(true);
  Control<QRadioButton>(screen, 1036)->setChecked(true);
  screen->accept();
  EXPECT_EQ(Slot(2), "/1/SOU A.TXT B:\\");
  EXPECT_EQ(Slot(5), "/1/SOU A.TXT B:\\");
  EXPECT_EQ(Slot(6), "/B");
  EXPECT_EQ(platform::Load(Info_Of(2).BatchFlag), 0);
  EXPECT_TRUE(w.Link_Manager_Running());
  EXPECT_TRUE(w.Ping_Panel_Laid_Out());
  EXPECT_TRUE(answered_.empty()) << answered_.front();
}

TEST_F(FormsWiring, CancelledSelectionOpensNothing) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  MainWindow& w = Open_Window(Selector());
  w.Run_Command(ID_EXEC_COMMAND);
  w.Run_Command(ID_EXEC_SCRIPT);
  EXPECT_EQ(selections_, 2);
  EXPECT_EQ(w.findChild<CommandScreen*>(), nullptr);
  EXPECT_EQ(w.findChild<ScriptRunner*>(), nullptr);
}

TEST_F(FormsWiring, ScriptRunnerListsTheWorkingFolderAndStartsTheChosenScript) {
  Device_Ini("ETHERNET", "3=127.0.0.3\r\n4=127.0.0.4\r\n");
  Panelset_Ini();
  std::ofstream(dir_ / "night.scr") << "/B\r\n";
  std::ofstream(dir_ / "DAY.SCR") << "/B\r\n";
  chosen_ = {3};
  MainWindow& w = Open_Window(Selector());
  w.Run_Command(ID_EXEC_SCRIPT);
  EXPECT_EQ(mode_, SelectionMode::kScript);
  ScriptRunner* runner = Open_Form<ScriptRunner>(w);
  ASSERT_NE(runner, nullptr);
  ASSERT_EQ(runner->List()->count(), 2);
  EXPECT_EQ(runner->List()->item(0)->text(), "DAY.SCR");
  runner->List()->setCurrentRow(1);
  Control<QRadioButton>(runner, 1054)->setChecked(true);
  runner->accept();
  EXPECT_EQ(Slot(3), "/1/E night.scr");
  EXPECT_EQ(Slot(4), "");
  EXPECT_TRUE(w.Link_Manager_Running());

  // Batch on another station.
  chosen_ = {4};
  w.Run_Command(ID_EXEC_SCRIPT);
  Spin_Until([&] { return w.findChildren<ScriptRunner*>().size() == 1; }, 2000);
  runner = w.findChildren<ScriptRunner*>().back();
  runner->accept();
  EXPECT_EQ(Slot(4), "/E DAY.SCR");
  EXPECT_EQ(platform::Load(Info_Of(4).BatchFlag), 1);
}

TEST_F(FormsWiring, EmptyWorkingFolderKeepsTheRunnerOpen) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  chosen_ = {1};
  MainWindow& w = Open_Window(Selector());
  w.Run_Command(ID_EXEC_SCRIPT);
  ScriptRunner* runner = Open_Form<ScriptRunner>(w);
  ASSERT_NE(runner, nullptr);
  runner->accept();
  EXPECT_EQ(answered_, std::vector<std::string>{"Message Box: No Items in Working Directory"});
  EXPECT_TRUE(runner->isVisible());
  EXPECT_EQ(platform::Load(Info_Of(1).BatchFlag), 0);
  EXPECT_FALSE(w.Link_Manager_Running());
  runner->reject();
}

// The operator chooses two TCP/IP terminals and sends a file to both from
// the Command screen; the terminals connect, find the command and receive it.
TEST_F(FormsWiring, SendComposedInTheCommandScreenReachesTwoTerminals) {
  Device_Ini("ETHERNET", "1=127.0.0.61\r\n2=127.0.0.62\r\n");
  Panelset_Ini();
  std::ofstream(dir_ / "ORDERS.DAT") << std::string(5000, 'o');
  chosen_ = {1, 2};
  MainWindow& w = Open_Window(Selector());
  w.Run_Command(ID_EXEC_COMMAND);
  CommandScreen* screen = Open_Form<CommandScreen>(w);
  ASSERT_NE(screen, nullptr);
  const std::string pc_file = Pc_Path("ORDERS.DAT");
  Control<QPlainTextEdit>(screen, 1028)->setPlainText(QString::fromStdString(pc_file));
  Control<QLineEdit>(screen, 1030)->setText("A:\\");
  // Batch: the engine appends the end of session, so each terminal's
  // session ends after the file.
  screen->accept();
  ASSERT_TRUE(w.Link_Manager_Running());

  Start_Terminals(2);
  EXPECT_TRUE(Spin_Until([&] { return Received(1, "ORDERS.DAT", 5000) && Received(2, "ORDERS.DAT", 5000); }, 30000));
  Expect_Terminals_Ended();
  // A batch line stays for the terminals' next sessions.
  EXPECT_EQ(Slot(1), "/S " + pc_file + " A:\\");
  EXPECT_EQ(Slot(2), Slot(1));
}

// A script of the working folder started in Batch mode from the runner
// runs on both chosen terminals.
TEST_F(FormsWiring, ScriptStartedInBatchModeRunsOnTwoTerminals) {
  Device_Ini("ETHERNET", "1=127.0.0.61\r\n2=127.0.0.62\r\n");
  Panelset_Ini();
  std::ofstream(dir_ / "PRICES.DAT") << std::string(3000, 'p');
  std::ofstream(dir_ / "stock.dat") << std::string(700, 's');
  std::ofstream(dir_ / "daily.scr") << "/S " << Pc_Path("PRICES.DAT") << " A:\\\r\n/S " << Pc_Path("stock.dat")
                                    << " A:\\\r\n";
  chosen_ = {1, 2};
  MainWindow& w = Open_Window(Selector());
  w.Run_Command(ID_EXEC_SCRIPT);
  ScriptRunner* runner = Open_Form<ScriptRunner>(w);
  ASSERT_NE(runner, nullptr);
  ASSERT_EQ(runner->List()->count(), 1);
  runner->accept();
  EXPECT_EQ(Slot(1), "/E daily.scr");
  Start_Terminals(2);
  EXPECT_TRUE(Spin_Until(
      [&] {
        return Received(1, "PRICES.DAT", 3000) && Received(2, "PRICES.DAT", 3000) && Received(1, "stock.dat", 700) &&
               Received(2, "stock.dat", 700);
      },
      30000));
  Expect_Terminals_Ended();
}

}  // namespace
