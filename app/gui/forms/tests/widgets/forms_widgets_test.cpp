// The Command screen and the script runner driven as an operator would, on
// the offscreen platform, against a stand-in for the main window. Pictures
// of both go into the build folder's screenshots/.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/core/startup.h"
#include "app/gui/forms/command_screen.h"
#include "app/gui/forms/script_runner.h"
#include "app/gui/stations/tests/session_table_guard.h"
#include "engine/rox32.h"
#include "platform/atomic.h"

namespace {

// What the main window does for the forms, recorded.
class FakeHost : public FormHost {
 public:
  int Interface_Type() const override { return interface_type; }
  void Command_Flags_Off() override { ++flags_off; }
  bool Link_Manager_Running() const override { return running; }
  void Start_Link_Manager() override {
    ++starts;
    running = true;
  }
  void Lay_Out_Ping_Panel() override { ++ping_layouts; }

  int interface_type = kTcpip;
  bool running = false;
  int flags_off = 0, starts = 0, ping_layouts = 0;
};

std::string Slot(int ht) {
  char buf[CMD_BUF_SIZE];
  Read_Command_Buffer(ht, buf, sizeof buf);
  return buf;
}

void Save_Screenshot(QWidget* widget, const char* name) {
  QDir().mkpath(QStringLiteral(TARNEL_SCREENSHOT_DIR));
  const QString path = QStringLiteral(TARNEL_SCREENSHOT_DIR "/") + QString::fromLatin1(name);
  QVERIFY2(widget->grab().save(path), qPrintable(path));
}

template <typename W>
W* Control(QWidget* dialog, int id) {
  return dialog->findChild<W*>(QStringLiteral("ctl%1").arg(id));
}

QPushButton* Ok_Button(QWidget* dialog) {
  for (QPushButton* b : dialog->findChildren<QPushButton*>())
    if (b->text().remove('&') == QLatin1String("OK")) return b;
  return nullptr;
}

QPushButton* Cancel_Button(QWidget* dialog) {
  for (QPushButton* b : dialog->findChildren<QPushButton*>())
    if (b->text().remove('&') == QLatin1String("Cancel")) return b;
  return nullptr;
}

QGroupBox* Group(QWidget* dialog, const char* title) {
  for (QGroupBox* g : dialog->findChildren<QGroupBox*>())
    if (g->title() == QLatin1String(title)) return g;
  return nullptr;
}

}  // namespace

class FormsWidgetsTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    guard_ = new stations_test::SessionTableGuard;
    for (int ht = 1; ht <= MAX_HT; ++ht) Clear_Command_Buffer(ht);
    messages_.clear();
  }
  void cleanup() {
    for (int ht = 1; ht <= MAX_HT; ++ht) Clear_Command_Buffer(ht);
    delete guard_;
  }

  // Opening: every control with its id, the initial values, Send's rules.
  void commandScreenOpensWithTheInitialValues() {
    FakeHost host;
    CommandScreen screen(host, Record());
    QCOMPARE(screen.windowTitle(), QStringLiteral("Command  Screen"));
    for (int id : {1011, 1012, 1013, 1015, 1016, 1021, 1022, 1023, 1024, 1025, 1026, 1027, 1028, 1029, 1030, 1036, 1037,
                   1072, 1085})
      QVERIFY2(screen.findChild<QWidget*>(QStringLiteral("ctl%1").arg(id)) != nullptr, qPrintable(QString::number(id)));
    auto* command = Control<QComboBox>(&screen, 1011);
    QCOMPARE(command->count(), 15);
    QCOMPARE(command->currentText(), QStringLiteral("Send"));
    QCOMPARE(command->itemText(9), QStringLiteral("Append  Recv"));
    QCOMPARE(command->itemText(13), QStringLiteral("End  Session"));
    auto* drive = Control<QComboBox>(&screen, 1012);
    QCOMPARE(drive->count(), 26);
    QCOMPARE(drive->currentText(), QStringLiteral("A:"));
    QCOMPARE(drive->itemText(25), QStringLiteral("Z:"));
    QCOMPARE(Control<QLineEdit>(&screen, 1013)->text(), QStringLiteral("0"));
    QCOMPARE(Control<QLineEdit>(&screen, 1015)->text(), QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"))
                .match(Control<QLineEdit>(&screen, 1016)->text())
                .hasMatch());
    QVERIFY(Control<QRadioButton>(&screen, 1037)->isChecked());
    QVERIFY(!Control<QRadioButton>(&screen, 1036)->isChecked());
    QVERIFY(Control<QPushButton>(&screen, 1029)->isEnabled());
    QVERIFY(Group(&screen, "Options")->isEnabled());
    QVERIFY(!Group(&screen, "Attrib")->isEnabled());
    QCOMPARE(Control<QLabel>(&screen, 1072)->text(), QStringLiteral("File(s)"));
    QCOMPARE(Control<QLabel>(&screen, 1085)->text(), QStringLiteral("Destination Dir"));
  }

  // Choosing a command empties the text fields, clears the boxes it does
  // not use, and enables and labels what it does use.
  void chosenCommandEnablesAndLabelsItsFields() {
    FakeHost host;
    CommandScreen screen(host, Record());
    screen.show();
    auto* command = Control<QComboBox>(&screen, 1011);
    auto* first = Control<QPlainTextEdit>(&screen, 1028);
    auto* second = Control<QLineEdit>(&screen, 1030);
    auto* update = Control<QCheckBox>(&screen, 1027);
    QTest::keyClicks(first, QStringLiteral("A.TXT"));
    QTest::keyClicks(second, QStringLiteral("B:\\"));
    update->setChecked(true);

    command->setCurrentIndex(kFormDelete);
    QVERIFY(first->toPlainText().isEmpty());
    QVERIFY(second->text().isEmpty());
    QVERIFY(!update->isChecked());
    QVERIFY(!update->isEnabled());
    QVERIFY(Control<QCheckBox>(&screen, 1025)->isEnabled());
    QVERIFY(!first->isEnabled());
    QVERIFY(second->isEnabled());
    QCOMPARE(Control<QLabel>(&screen, 1085)->text(), QStringLiteral("Enter File"));

    command->setCurrentIndex(kFormReceive);
    QVERIFY(!Control<QPushButton>(&screen, 1029)->isEnabled());
    QVERIFY(first->isEnabled());

    command->setCurrentIndex(kFormAppendRecv);
    QCOMPARE(Control<QLabel>(&screen, 1072)->text(), QStringLiteral("Destination File"));
    QCOMPARE(Control<QLabel>(&screen, 1085)->text(), QStringLiteral("Source File"));
    QVERIFY(Control<QPushButton>(&screen, 1029)->isEnabled());
    QVERIFY(!Group(&screen, "Options")->isEnabled());

    command->setCurrentIndex(kFormSetFileInfo);
    QVERIFY(Group(&screen, "Attrib")->isEnabled());
    QVERIFY(Control<QCheckBox>(&screen, 1021)->isEnabled());
    QVERIFY(Control<QLineEdit>(&screen, 1013)->isEnabled());
    QVERIFY(Control<QLineEdit>(&screen, 1015)->isEnabled());
    QVERIFY(!Control<QComboBox>(&screen, 1012)->isEnabled());
    Control<QCheckBox>(&screen, 1021)->setChecked(true);

    command->setCurrentIndex(kFormFormat);
    QVERIFY(Control<QComboBox>(&screen, 1012)->isEnabled());
    QVERIFY(!Control<QCheckBox>(&screen, 1021)->isChecked());
    QVERIFY(!Control<QLineEdit>(&screen, 1015)->isEnabled());

    command->setCurrentIndex(kFormExec);
    QCOMPARE(Control<QLabel>(&screen, 1072)->text(), QStringLiteral("Child Process"));
    QVERIFY(!second->isEnabled());
  }

  // "End  Session" forces Single and takes Batch away; the next command
  // gives Batch back.
  void endSessionForcesSingle() {
    FakeHost host;
    host.interface_type = kRs232;
    CommandScreen screen(host, Record());
    auto* single = Control<QRadioButton>(&screen, 1036);
    auto* batch = Control<QRadioButton>(&screen, 1037);
    Control<QComboBox>(&screen, 1011)->setCurrentIndex(kFormEndSession);
    QVERIFY(single->isChecked());
    QVERIFY(!batch->isEnabled());
    QCOMPARE(Control<QLabel>(&screen, 1085)->text(), QStringLiteral("Ending Code"));
    QTest::keyClicks(Control<QLineEdit>(&screen, 1030), QStringLiteral("73"));
    QTest::mouseClick(Ok_Button(&screen), Qt::LeftButton);
    QCOMPARE(screen.result(), int(QDialog::Accepted));
    QCOMPARE(Slot(1), std::string("/1// 73"));
    QCOMPARE(platform::Load(Info_Of(1).BatchFlag), 0);
    QCOMPARE(host.flags_off, 0);

    CommandScreen again(host, Record());
    Control<QComboBox>(&again, 1011)->setCurrentIndex(kFormEndSession);
    Control<QComboBox>(&again, 1011)->setCurrentIndex(kFormBuzzer);
    QVERIFY(Control<QRadioButton>(&again, 1037)->isChecked());
    QVERIFY(Control<QRadioButton>(&again, 1037)->isEnabled());
  }

  // OK on TCP/IP: the line in the slot of each chosen station, Batch marks
  // them, the others keep what they had, the link starts.
  void okWritesTheLineIntoEachChosenStationsSlot() {
    FakeHost host;
    Write_Command_Buffer(4, "/B");
    Info_Of(3).CheckFlag = 1;
    Info_Of(200).CheckFlag = 1;
    CommandScreen screen(host, Record());
    screen.show();
    QTest::keyClicks(Control<QPlainTextEdit>(&screen, 1028), QStringLiteral("A.TXT"));
    QTest::keyClicks(Control<QLineEdit>(&screen, 1030), QStringLiteral("B:\\"));
    QTest::mouseClick(Control<QCheckBox>(&screen, 1025), Qt::LeftButton);
    QTest::mouseClick(Control<QCheckBox>(&screen, 1027), Qt::LeftButton);
    QCOMPARE(screen.Command_Line(), std::string("/SOU A.TXT B:\\"));
    QTest::mouseClick(Ok_Button(&screen), Qt::LeftButton);
    QVERIFY(!screen.isVisible());
    QCOMPARE(Slot(3), std::string("/SOU A.TXT B:\\"));
    QCOMPARE(Slot(200), std::string("/SOU A.TXT B:\\"));
    QCOMPARE(Slot(4), std::string("/B"));
    QCOMPARE(Slot(5), std::string());
    QCOMPARE(platform::Load(Info_Of(3).BatchFlag), 1);
    QCOMPARE(platform::Load(Info_Of(4).BatchFlag), 0);
    QCOMPARE(platform::Load(Info_Of(200).CurrentlySelected), 1);
    QCOMPARE(host.starts, 1);
    QCOMPARE(host.ping_layouts, 1);
    QVERIFY(messages_.empty());
  }

  // Single mode on RS-232C: "/1" first, HT 1's slot replaced, no batch.
  void singleModeOnRs232cReplacesHt1sSlot() {
    FakeHost host;
    host.interface_type = kRs232;
    host.running = true;
    Write_Command_Buffer(1, "/B /B /B /B /B /B");
    CommandScreen screen(host, Record());
    screen.show();
    Control<QComboBox>(&screen, 1011)->setCurrentIndex(kFormDispStr);
    QTest::mouseClick(Control<QRadioButton>(&screen, 1036), Qt::LeftButton);
    Control<QPlainTextEdit>(&screen, 1028)->setPlainText(QStringLiteral("HELLO\nWORLD"));
    screen.accept();
    // A line break typed into the multi-line field is a blank in the line.
    QCOMPARE(Slot(1), std::string("/1/p HELLO WORLD"));
    QCOMPARE(platform::Load(Info_Of(1).BatchFlag), 0);
    QCOMPARE(host.starts, 0);
  }

  // A line longer than a command buffer: a message, nothing written, the
  // screen stays. Cancel writes nothing either.
  void tooLongLineIsRefusedAndCancelWritesNothing() {
    FakeHost host;
    Info_Of(2).CheckFlag = 1;
    CommandScreen screen(host, Record());
    screen.show();
    Control<QPlainTextEdit>(&screen, 1028)->setPlainText(QString(CMD_BUF_SIZE, QLatin1Char('x')));
    QTest::mouseClick(Ok_Button(&screen), Qt::LeftButton);
    QCOMPARE(messages_.size(), std::size_t{1});
    QVERIFY(messages_[0].find("too long") != std::string::npos);
    QVERIFY(screen.isVisible());
    QCOMPARE(Slot(2), std::string());
    QCOMPARE(platform::Load(Info_Of(2).BatchFlag), 0);
    QCOMPARE(host.starts, 0);
    QTest::mouseClick(Cancel_Button(&screen), Qt::LeftButton);
    QCOMPARE(screen.result(), int(QDialog::Rejected));
    QCOMPARE(Slot(2), std::string());
    QCOMPARE(host.starts, 0);
  }

  // Browse appends each marked path in quotes; the dialog it opens.
  void browseAppendsEveryMarkedPathQuoted() {
    FakeHost host;
    CommandScreen screen(host, Record());
    int asked = 0;
    QStringList answer = {QStringLiteral("/data/a b.txt"), QStringLiteral("/data/c.h")};
    screen.Set_Browse_Chooser([&](QWidget*) {
      ++asked;
      return answer;
    });
    auto* first = Control<QPlainTextEdit>(&screen, 1028);
    QTest::keyClicks(first, QStringLiteral("X.DAT"));
    QTest::mouseClick(Control<QPushButton>(&screen, 1029), Qt::LeftButton);
    QCOMPARE(asked, 1);
    QCOMPARE(first->toPlainText(), QStringLiteral("X.DAT \"/data/a b.txt\" \"/data/c.h\""));
    answer.clear();  // cancelled: the field stays
    screen.Browse();
    QCOMPARE(first->toPlainText(), QStringLiteral("X.DAT \"/data/a b.txt\" \"/data/c.h\""));
    first->clear();
    answer = {QStringLiteral("/e.scr")};
    screen.Browse();
    QCOMPARE(first->toPlainText(), QStringLiteral("\"/e.scr\""));
    Control<QLineEdit>(&screen, 1030)->setText(QStringLiteral("A:\\"));
    QCOMPARE(screen.Command_Line(), std::string("/S \"/e.scr\" A:\\"));

    std::unique_ptr<QFileDialog> dialog(Make_Browse_Dialog(&screen));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Browse"));
    QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
    const QStringList filters = dialog->nameFilters();
    QCOMPARE(filters.size(), 4);
    // Shown by the text before the patterns; "*.*" lists every file.
    QCOMPARE(filters[0], QStringLiteral("All Files(*.*) (*)"));
    QCOMPARE(filters[1], QStringLiteral("SCR Files (*.scr) (*.scr)"));
    QCOMPARE(filters[2], QStringLiteral("C++ Files (*.cpp) (*.cpp)"));
    QCOMPARE(filters[3], QStringLiteral("Header Files \\ (*.h) (*.h)"));
    QVERIFY(dialog->testOption(QFileDialog::HideNameFilterDetails));
  }

  void commandScreenScreenshot() {
    FakeHost host;
    CommandScreen screen(host, Record());
    screen.show();
    QVERIFY(QTest::qWaitForWindowExposed(&screen));
    QTest::keyClicks(Control<QPlainTextEdit>(&screen, 1028), QStringLiteral("C:\\DATA\\ORDERS.DAT"));
    QTest::keyClicks(Control<QLineEdit>(&screen, 1030), QStringLiteral("A:\\"));
    Control<QCheckBox>(&screen, 1025)->setChecked(true);
    Save_Screenshot(&screen, "command-screen.png");
  }

  // The runner: the working folder's scripts sorted, the first selected,
  // Batch preset; OK writes "/E NAME" or "/1/E NAME".
  void runnerListsScriptsAndStartsTheChosenOne() {
    Folder folder("runner");
    for (const char* name : {"zeta.scr", "Alpha.SCR", "beta.scr", "readme.txt"}) folder.Touch(name);
    FakeHost host;
    host.interface_type = kRs232;
    ScriptRunner runner(host, folder.path.string() + "\\", Record());
    QCOMPARE(runner.windowTitle(), QStringLiteral("Select  Script  File For Execution"));
    QListWidget* list = runner.List();
    QCOMPARE(list->count(), 3);
    QCOMPARE(list->item(0)->text(), QStringLiteral("Alpha.SCR"));
    QCOMPARE(list->item(2)->text(), QStringLiteral("zeta.scr"));
    QCOMPARE(list->currentRow(), 0);
    QVERIFY(Control<QRadioButton>(&runner, 1055)->isChecked());
    runner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&runner));
    Save_Screenshot(&runner, "script-runner.png");
    QTest::mouseClick(Ok_Button(&runner), Qt::LeftButton);
    QCOMPARE(runner.result(), int(QDialog::Accepted));
    QCOMPARE(Slot(1), std::string("/E Alpha.SCR"));
    QCOMPARE(platform::Load(Info_Of(1).BatchFlag), 1);
    QCOMPARE(host.flags_off, 1);
    QCOMPARE(host.starts, 1);

    // Single, another file, on TCP/IP: only the chosen stations.
    host.interface_type = kTcpip;
    Info_Of(7).CheckFlag = 1;
    ScriptRunner single(host, folder.path.string(), Record());
    single.List()->setCurrentRow(1);
    Control<QRadioButton>(&single, 1054)->setChecked(true);
    single.accept();
    QCOMPARE(Slot(7), std::string("/1/E beta.scr"));
    QCOMPARE(Slot(8), std::string());
    QCOMPARE(platform::Load(Info_Of(7).BatchFlag), 0);
    QVERIFY(messages_.empty());
  }

  // No scripts: the message, the window stays, no station is marked.
  void emptyFolderSaysSoAndStays() {
    Folder folder("empty");
    folder.Touch("notes.txt");
    FakeHost host;
    host.interface_type = kRs232;
    ScriptRunner runner(host, folder.path.string(), Record());
    runner.show();
    QCOMPARE(runner.List()->count(), 0);
    QTest::mouseClick(Ok_Button(&runner), Qt::LeftButton);
    QCOMPARE(messages_, std::vector<std::string>{"No Items in Working Directory"});
    QVERIFY(runner.isVisible());
    QCOMPARE(platform::Load(Info_Of(1).BatchFlag), 0);
    QCOMPARE(host.flags_off, 0);
    QCOMPARE(host.starts, 0);
    QCOMPARE(Slot(1), std::string());
  }

 private:
  struct Folder {
    explicit Folder(const char* name) : path(std::filesystem::temp_directory_path() / (std::string("tarnel-forms-") + name)) {
      std::filesystem::remove_all(path);
      std::filesystem::create_directories(path);
    }
    ~Folder() { std::filesystem::remove_all(path); }
    void Touch(const char* name) const { std::ofstream(path / name) << "/B"; }
    std::filesystem::path path;
  };

  FormMessage Record() {
    return [this](const std::string& text) { messages_.push_back(text); };
  }

  stations_test::SessionTableGuard* guard_ = nullptr;
  std::vector<std::string> messages_;
};

QTEST_MAIN(FormsWidgetsTest)
#include "forms_widgets_test.moc"
