// The script editor as the Script menu opens it: fields by command, Add and
// Combine, Save into the working directory, Open's checks, Exit's question.
#include "app/gui/forms/script_editor.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <algorithm>
#include <fstream>
#include <sstream>

#include "app/gui/tests/gui_fixture.h"
#include "engine/rox32.h"
#include "platform/atomic.h"
#include "platform/spawn.h"

namespace {

using gui_test::GuiTest;

class ScriptEditorTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    Set_Script_File_Chooser([this](ScriptFileDialog kind, const std::string& start_dir) {
      dialogs_.push_back({kind, start_dir});
      return chosen_;
    });
  }
  void TearDown() override {
    Set_Script_File_Chooser({});
    GuiTest::TearDown();
  }

  // The main window on RS-232C with the working directory in the program
  // directory.
  MainWindow& Window() {
    Device_Ini("RS232C");
    Panelset_Ini();
    return Open_Window();
  }
  ScriptEditor* Editor() { return window_->findChild<ScriptEditor*>(); }
  template <class T>
  T* Control(ScriptEditor* e, int id) {
    T* w = e->findChild<T*>(QString("ctl%1").arg(id));
    EXPECT_NE(w, nullptr) << id;
    return w;
  }
  void Choose_Command(ScriptEditor* e, int command) {
    QComboBox* combo = Control<QComboBox>(e, 1038);
    combo->setCurrentIndex(command);
    emit combo->activated(command);
  }
  QString Label(ScriptEditor* e, const char* name) { return e->findChild<QLabel*>(name)->text(); }
  static void Flush_Deletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
  }

  struct Dialog {
    ScriptFileDialog kind;
    std::string start_dir;
  };
  std::vector<Dialog> dialogs_;
  std::string chosen_;
};

TEST_F(ScriptEditorTest, ChosenCommandEnablesAndLabelsTheFields) {
  MainWindow& w = Window();
  w.Run_Command(ID_SCRIPT_NEW);
  ScriptEditor* e = Editor();
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->isVisible());
  EXPECT_EQ(e->windowTitle(), "New Script File ->");
  EXPECT_EQ(Control<QComboBox>(e, 1038)->count(), kFormCommandCount);
  EXPECT_EQ(Control<QComboBox>(e, 1045)->currentText(), "A:");
  EXPECT_EQ(Control<QLineEdit>(e, 1046)->text(), "0");
  EXPECT_EQ(Control<QLineEdit>(e, 1039)->maxLength(), 10);
  EXPECT_EQ(Control<QLineEdit>(e, 1044)->maxLength(), 8);
  // Send, as opened.
  EXPECT_TRUE(Control<QLineEdit>(e, 1051)->isEnabled());
  EXPECT_TRUE(Control<QPushButton>(e, 1050)->isEnabled());
  EXPECT_TRUE(Control<QCheckBox>(e, 1049)->isEnabled());
  EXPECT_FALSE(Control<QComboBox>(e, 1045)->isEnabled());
  EXPECT_EQ(Label(e, "firstLabel"), "File(s)");
  EXPECT_EQ(Label(e, "secondLabel"), "Destination Dir");

  Control<QLineEdit>(e, 1051)->setText("A.TXT");
  Control<QCheckBox>(e, 1047)->setChecked(true);
  Choose_Command(e, kFormReceive);
  EXPECT_FALSE(Control<QPushButton>(e, 1050)->isEnabled());
  EXPECT_TRUE(Control<QLineEdit>(e, 1051)->text().isEmpty());  // emptied on a change
  EXPECT_TRUE(Control<QCheckBox>(e, 1047)->isChecked());       // still offered: kept

  Choose_Command(e, kFormDelete);
  EXPECT_FALSE(Control<QLineEdit>(e, 1051)->isEnabled());
  EXPECT_TRUE(Control<QLineEdit>(e, 1052)->isEnabled());
  EXPECT_FALSE(Control<QCheckBox>(e, 1049)->isEnabled());
  EXPECT_FALSE(Control<QCheckBox>(e, 1049)->isChecked());
  EXPECT_EQ(Label(e, "secondLabel"), "Enter File");

  // The editor offers the Options group for Move.
  Choose_Command(e, kFormMove);
  EXPECT_TRUE(Control<QCheckBox>(e, 1049)->isEnabled());
  EXPECT_EQ(Label(e, "firstLabel"), "Source File");
  EXPECT_EQ(Label(e, "secondLabel"), "Destination File");

  Choose_Command(e, kFormSetFileInfo);
  EXPECT_TRUE(Control<QCheckBox>(e, 1040)->isEnabled());
  EXPECT_TRUE(Control<QLineEdit>(e, 1046)->isEnabled());
  EXPECT_TRUE(Control<QLineEdit>(e, 1039)->isEnabled());
  EXPECT_FALSE(Control<QComboBox>(e, 1045)->isEnabled());

  Choose_Command(e, kFormEndSession);
  EXPECT_EQ(Label(e, "secondLabel"), "Ending Code");
  Control<QLineEdit>(e, 1052)->setText("5");
  // No Single in the editor: never a "/1".
  Control<QPushButton>(e, 1032)->click();
  EXPECT_EQ(e->Script_Text(), "// 5");
}

TEST_F(ScriptEditorTest, AddPutsCrLfBetweenLinesAndCombineJoinsTheLast) {
  MainWindow& w = Window();
  w.Run_Command(ID_SCRIPT_NEW);
  ScriptEditor* e = Editor();
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(e->Modified());
  Choose_Command(e, kFormBuzzer);
  Control<QPushButton>(e, 1032)->click();
  EXPECT_EQ(e->Script_Text(), "/B");
  EXPECT_TRUE(e->Modified());
  Control<QPushButton>(e, 1032)->click();
  EXPECT_EQ(e->Script_Text(), "/B\r\n/B");
  Control<QPushButton>(e, 1033)->click();
  EXPECT_EQ(e->Script_Text(), "/B\r\n/B /B");
  // After a line the operator ended, Add starts no empty line.
  e->findChild<QPlainTextEdit*>("ctl1031")->setPlainText("/B\n");
  Control<QPushButton>(e, 1032)->click();
  EXPECT_EQ(e->Script_Text(), "/B\r\n/B");

  // Browse appends the quoted path to the files field.
  Choose_Command(e, kFormSend);
  chosen_ = "/data/a b.txt";
  Control<QPushButton>(e, 1050)->click();
  Control<QPushButton>(e, 1050)->click();
  EXPECT_EQ(Control<QLineEdit>(e, 1051)->text(), "\"/data/a b.txt\" \"/data/a b.txt\"");
  ASSERT_FALSE(dialogs_.empty());
  EXPECT_EQ(dialogs_.back().kind, ScriptFileDialog::kBrowse);
}

TEST_F(ScriptEditorTest, SaveWritesIntoTheWorkingDirectoryOnly) {
  MainWindow& w = Window();
  w.Run_Command(ID_SCRIPT_NEW);
  ScriptEditor* e = Editor();
  ASSERT_NE(e, nullptr);
  Choose_Command(e, kFormSend);
  Control<QLineEdit>(e, 1051)->setText("A.TXT");
  Control<QLineEdit>(e, 1052)->setText("B:\\");
  Control<QPushButton>(e, 1032)->click();
  Choose_Command(e, kFormBuzzer);
  Control<QPushButton>(e, 1032)->click();

  // Another folder is refused, nothing written.
  std::filesystem::create_directories(dir_ / "other");
  chosen_ = (dir_ / "other" / "run.scr").string();
  Control<QPushButton>(e, 1034)->click();
  ASSERT_EQ(answered_.size(), 1u);
  EXPECT_EQ(answered_[0], "Message Box: Cannot Save this File. \n Only '.SCR' from Working Directory can be Saved.");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "other" / "run.scr"));
  EXPECT_EQ(e->windowTitle(), "New Script File ->");

  // The dialog starts in the working directory; its default extension.
  chosen_ = (dir_ / "run").string();
  Control<QPushButton>(e, 1034)->click();
  EXPECT_EQ(dialogs_.back().kind, ScriptFileDialog::kSave);
  EXPECT_EQ(dialogs_.back().start_dir, dir_.string());
  EXPECT_EQ(answered_.size(), 1u);
  EXPECT_EQ(Read_File("run.scr"), "/S A.TXT B:\\\r\n/B");
  EXPECT_EQ(e->windowTitle().toStdString(), (dir_ / "run.scr").string());

  // Save again writes there without a dialog; Save As asks.
  const std::size_t asked = dialogs_.size();
  Control<QPushButton>(e, 1032)->click();
  Control<QPushButton>(e, 1034)->click();
  EXPECT_EQ(dialogs_.size(), asked);
  EXPECT_EQ(Read_File("run.scr"), "/S A.TXT B:\\\r\n/B\r\n/B");
  chosen_ = (dir_ / "copy.SCR").string();
  Control<QPushButton>(e, 1035)->click();
  EXPECT_EQ(dialogs_.size(), asked + 1);
  EXPECT_EQ(Read_File("copy.SCR"), "/S A.TXT B:\\\r\n/B\r\n/B");
  EXPECT_EQ(e->Path(), (dir_ / "copy.SCR").string());

  // Too big: refused, and the saved file keeps what it held.
  e->findChild<QPlainTextEdit*>("ctl1031")->setPlainText(QString(20001, 'x'));
  Control<QPushButton>(e, 1034)->click();
  EXPECT_EQ(answered_.back(), "Message Box: File Size too big\n Can not save this file");
  EXPECT_EQ(Read_File("copy.SCR"), "/S A.TXT B:\\\r\n/B\r\n/B");
}

TEST_F(ScriptEditorTest, ExitWithChangesAsksAndKeepsAnUnsavedScriptOpen) {
  MainWindow& w = Window();
  w.Run_Command(ID_SCRIPT_NEW);
  QPointer<ScriptEditor> e = Editor();
  ASSERT_FALSE(e.isNull());
  // Nothing changed: no question.
  Control<QPushButton>(e, 2)->click();
  Flush_Deletes();
  EXPECT_TRUE(e.isNull());
  EXPECT_TRUE(answered_.empty());

  w.Run_Command(ID_SCRIPT_NEW);
  e = Editor();
  ASSERT_FALSE(e.isNull());
  Choose_Command(e, kFormBuzzer);
  Control<QPushButton>(e, 1032)->click();
  // Yes, but the save dialog is cancelled: the script stays on screen.
  box_reply_ = platform::IDYES;
  chosen_.clear();
  Control<QPushButton>(e, 2)->click();
  Flush_Deletes();
  ASSERT_FALSE(e.isNull());
  EXPECT_TRUE(e->isVisible());
  ASSERT_EQ(answered_.size(), 1u);
  EXPECT_EQ(answered_[0], "Message Box: Script File has changed. \n Do you want to Save it ?");

  // Yes and a name: saved, then closed.
  chosen_ = (dir_ / "last.scr").string();
  Control<QPushButton>(e, 2)->click();
  Flush_Deletes();
  EXPECT_TRUE(e.isNull());
  EXPECT_EQ(Read_File("last.scr"), "/B");

  // No: closed without writing.
  w.Run_Command(ID_SCRIPT_NEW);
  e = Editor();
  ASSERT_FALSE(e.isNull());
  Choose_Command(e, kFormBuzzer);
  Control<QPushButton>(e, 1032)->click();
  box_reply_ = platform::IDNO;
  chosen_ = (dir_ / "never.scr").string();
  QTest::keyClick(e, Qt::Key_Escape);
  Flush_Deletes();
  EXPECT_TRUE(e.isNull());
  EXPECT_FALSE(std::filesystem::exists(dir_ / "never.scr"));
}

TEST_F(ScriptEditorTest, OpenChecksTheFileAndLoadsIt) {
  MainWindow& w = Window();
  std::filesystem::create_directories(dir_ / "other");
  std::ofstream(dir_ / "other" / "RUN.SCR", std::ios::binary) << "/B";
  std::ofstream(dir_ / "RUN.SCR", std::ios::binary) << "/S A B\r\n/B /B\r\n";
  std::ofstream(dir_ / "notes.txt", std::ios::binary) << "/B";
  std::ofstream(dir_ / "big.scr", std::ios::binary) << std::string(20001, 'x');

  const std::pair<std::string, const char*> refusals[] = {
      {(dir_ / "notes.txt").string(), "Cannot open this file \n Only '.SCR' can be opened"},
      {(dir_ / "other" / "RUN.SCR").string(), "Cannot open this file \n Only '.SCR' from working dir can be opened"},
      {(dir_ / "big.scr").string(), "File Size too big. \n Can't open the Script File."},
  };
  for (const auto& [file, text] : refusals) {
    answered_.clear();
    chosen_ = file;
    w.Run_Command(ID_SCRIPT_OPEN);
    EXPECT_EQ(Editor(), nullptr) << file;
    ASSERT_EQ(answered_.size(), 1u) << file;
    EXPECT_EQ(answered_[0], std::string("Message Box: ") + text);
  }
  EXPECT_EQ(dialogs_.back().kind, ScriptFileDialog::kOpen);
  EXPECT_EQ(dialogs_.back().start_dir, dir_.string());

  // Cancelled: nothing opens, nothing said.
  answered_.clear();
  chosen_.clear();
  w.Run_Command(ID_SCRIPT_OPEN);
  EXPECT_EQ(Editor(), nullptr);
  EXPECT_TRUE(answered_.empty());

  chosen_ = (dir_ / "RUN.SCR").string();
  w.Run_Command(ID_SCRIPT_OPEN);
  ScriptEditor* e = Editor();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->windowTitle().toStdString(), chosen_);
  EXPECT_EQ(e->Script_Text(), "/S A B\r\n/B /B\r\n");
  EXPECT_FALSE(e->Modified());
  e->close();
  Flush_Deletes();

  // device.ini goes first, before any dialog.
  std::filesystem::remove(dir_ / "device.ini");
  answered_.clear();
  const std::size_t asked = dialogs_.size();
  w.Run_Command(ID_SCRIPT_OPEN);
  EXPECT_EQ(dialogs_.size(), asked);
  ASSERT_EQ(answered_.size(), 1u);
  EXPECT_EQ(answered_[0], "Message Box: Device.ini File missing\n Cannot open any Script File");
}

TEST_F(ScriptEditorTest, EditMenuActsOnTheFieldWithTheFocus) {
  MainWindow& w = Window();
  w.Run_Command(ID_SCRIPT_NEW);
  ScriptEditor* e = Editor();
  ASSERT_NE(e, nullptr);
  e->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(e));
  const auto run = [&](int which) { e->findChild<QAction*>(QString("edit%1").arg(which))->trigger(); };
  QLineEdit* files = Control<QLineEdit>(e, 1051);
  QLineEdit* dest = Control<QLineEdit>(e, 1052);
  files->setText("A.TXT");
  files->setFocus();
  ASSERT_TRUE(Spin_Until([&] { return QApplication::focusWidget() == files; }, 2000));
  files->selectAll();
  run(1);  // Copy
  dest->setFocus();
  ASSERT_TRUE(Spin_Until([&] { return QApplication::focusWidget() == dest; }, 2000));
  run(2);  // Paste
  EXPECT_EQ(dest->text(), "A.TXT");
  dest->selectAll();
  run(3);  // Delete
  EXPECT_TRUE(dest->text().isEmpty());
  EXPECT_EQ(files->text(), "A.TXT");
  files->setFocus();
  ASSERT_TRUE(Spin_Until([&] { return QApplication::focusWidget() == files; }, 2000));
  files->selectAll();
  run(0);  // Cut
  EXPECT_TRUE(files->text().isEmpty());
}

// A script written and saved in the editor runs in Batch mode on two
// terminals, each carrying out every command of it.
TEST_F(ScriptEditorTest, ScriptWrittenInTheEditorRunsInBatchOnTwoTerminals) {
  Device_Ini("ETHERNET", "1=127.0.0.41\r\n2=127.0.0.42\r\n");
  Panelset_Ini();
  std::ofstream(dir_ / "DATA.TXT", std::ios::binary) << "payload for the terminals\r\n";
  std::string pc_data = "C:" + (dir_ / "DATA.TXT").string();
  std::replace(pc_data.begin(), pc_data.end(), '/', '\\');
  MainWindow& w = Open_Window();

  w.Run_Command(ID_SCRIPT_NEW);
  ScriptEditor* e = Editor();
  ASSERT_NE(e, nullptr);
  Choose_Command(e, kFormDispStr);
  Control<QLineEdit>(e, 1051)->setText("from-script");
  Control<QPushButton>(e, 1032)->click();
  Choose_Command(e, kFormSend);
  Control<QLineEdit>(e, 1051)->setText(QString::fromStdString(pc_data));
  Control<QLineEdit>(e, 1052)->setText("\\");
  Control<QCheckBox>(e, 1047)->setChecked(true);
  Control<QPushButton>(e, 1032)->click();
  Choose_Command(e, kFormBuzzer);
  Control<QPushButton>(e, 1033)->click();
  chosen_ = (dir_ / "TWO.SCR").string();
  Control<QPushButton>(e, 1034)->click();
  ASSERT_TRUE(answered_.empty()) << answered_[0];
  EXPECT_EQ(Read_File("TWO.SCR"), "/p from-script\r\n/SO " + pc_data + " \\ /B");
  e->close();

  w.Run_Command(ID_LINK_START);
  ASSERT_TRUE(w.Link_Manager_Running());
  std::vector<std::unique_ptr<platform::ChildProcess>> terminals;
  for (int i = 1; i <= 2; ++i) {
    const auto disk = dir_ / ("ht" + std::to_string(i));
    std::filesystem::create_directories(disk);
    auto child = std::make_unique<platform::ChildProcess>();
    ASSERT_TRUE(child->Start({HTSIM_EXE, "--port", std::to_string(port_), "--source",
                              "127.0.0." + std::to_string(40 + i), "--disk", disk.string(), "--timeout", "60"},
                             (dir_ / ("ht" + std::to_string(i) + ".out")).string(), "", {}, nullptr));
    terminals.push_back(std::move(child));
  }
  const auto out = [&](int i) { return Read_File(("ht" + std::to_string(i) + ".out").c_str()); };
  ASSERT_TRUE(Spin_Until([&] { return out(1).find("ht idle") != std::string::npos &&
                                      out(2).find("ht idle") != std::string::npos; }, 30000))
      << out(1) << out(2);

  // Both terminals chosen in the selection, then the runner's Batch line.
  platform::Store(Info_Of(1).CheckFlag, 1);
  platform::Store(Info_Of(2).CheckFlag, 1);
  ASSERT_EQ(Distribute_Line(w, Script_Run_Line("TWO.SCR", false), true, DistributeKind::kScript),
            DistributeResult::kDone);
  EXPECT_EQ(platform::Load(Info_Of(1).BatchFlag), 1);
  const auto ran = [&](int i) {
    const std::string o = out(i);
    return o.find("pc display \"from-script\"") != std::string::npos && o.find("pc buzzer") != std::string::npos;
  };
  EXPECT_TRUE(Spin_Until([&] { return ran(1) && ran(2); }, 30000)) << out(1) << out(2);
  for (int i = 1; i <= 2; ++i) {
    const std::string o = out(i);
    // In script order: the text, the file, the buzzer.
    const std::size_t display = o.find("pc display \"from-script\"");
    const std::size_t send = o.find("pc announce");
    EXPECT_LT(display, send) << o;
    EXPECT_LT(send, o.find("pc buzzer")) << o;
    std::ifstream got(dir_ / ("ht" + std::to_string(i)) / "DATA.TXT", std::ios::binary);
    std::stringstream ss;
    ss << got.rdbuf();
    EXPECT_EQ(ss.str(), "payload for the terminals\r\n") << o;
  }
  w.Run_Command(ID_LINK_STOP);
  EXPECT_FALSE(w.Link_Manager_Running());
  for (auto& t : terminals) {
    int status = 0;
    if (!t->Wait(20000, &status)) t->Signal(9), t->Wait(5000, &status);
  }
}

TEST_F(ScriptEditorTest, Screenshot) {
  MainWindow& w = Window();
  w.Run_Command(ID_SCRIPT_NEW);
  ScriptEditor* e = Editor();
  ASSERT_NE(e, nullptr);
  Choose_Command(e, kFormSend);
  Control<QLineEdit>(e, 1051)->setText("C:\\DATA\\ORDERS.DAT");
  Control<QLineEdit>(e, 1052)->setText("A:\\");
  Control<QCheckBox>(e, 1047)->setChecked(true);
  Control<QPushButton>(e, 1032)->click();
  Choose_Command(e, kFormBuzzer);
  Control<QPushButton>(e, 1032)->click();
  Control<QPushButton>(e, 1033)->click();
  Choose_Command(e, kFormReceive);
  Control<QLineEdit>(e, 1051)->setText("A:\\LOG\\*.TXT");
  Control<QLineEdit>(e, 1052)->setText("C:\\LOGS");
  std::filesystem::create_directories(TARNEL_SCREENSHOT_DIR);
  const QString file = QString(TARNEL_SCREENSHOT_DIR) + "/script-editor.png";
  EXPECT_TRUE(e->grab().save(file));
  EXPECT_TRUE(std::filesystem::exists(file.toStdString()));
}

}  // namespace
