// The station bars panel and the selection windows driven as an operator
// would, on the offscreen platform. Each test saves a picture of what it
// shows into the build folder's screenshots/.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QKeyEvent>
#include <QListWidget>
#include <QMainWindow>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/core/panelset.h"
#include "app/core/progdir.h"
#include "app/gui/stations/main_window_view.h"
#include "app/gui/stations/selection_dialogs.h"
#include "app/gui/stations/station_panel.h"
#include "app/gui/stations/tests/session_table_guard.h"
#include "platform/msgbox.h"

using namespace stations;

namespace {

void Save_Screenshot(QWidget* widget, const char* name) {
  QDir().mkpath(QStringLiteral(TARNEL_SCREENSHOT_DIR));
  const QString path = QStringLiteral(TARNEL_SCREENSHOT_DIR "/") + QString::fromLatin1(name);
  QVERIFY2(widget->grab().save(path), qPrintable(path));
}

// A main window as the operator sees it, recording the keys that reach it.
class HostWindow : public QMainWindow {
 public:
  HostWindow() {
    setWindowTitle(QStringLiteral("Tarnel"));
    resize(800, 400);
    statusBar()->showMessage(QStringLiteral("PC in Server Mode ......"));
  }
  std::vector<int> keys;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Alt) return;  // the modifier's own press
    keys.push_back(event->keyCombination().toCombined());
  }
};

PanelSettings Settings(int num_of_bar = 3) {
  PanelSettings s;
  s.num_of_bar = num_of_bar;
  s.send_rgb[0] = 200;  // send in red, receive in green, so they can be told apart
  s.send_rgb[1] = 0;
  s.send_rgb[2] = 0;
  s.recv_rgb[0] = 0;
  s.recv_rgb[1] = 160;
  s.recv_rgb[2] = 0;
  return s;
}

StationBar Bar(int ht, int cent, int mode, const std::string& file) {
  StationBar b;
  b.ht = ht;
  b.session = 100 + ht;
  b.mode = mode;
  b.cent = cent;
  b.file = file;
  return b;
}

QImage List_Image(StationPanel& panel) { return panel.List()->viewport()->grab().toImage(); }

QColor Pixel(const QImage& image, int x, int y) { return image.pixelColor(x, y); }

// A program directory holding a device.ini with the given [USE_IP] lines.
class ProgramDir {
 public:
  explicit ProgramDir(const std::string& use_ip) {
    dir_ = std::filesystem::temp_directory_path() /
           ("tarnel-gui-stations-test-" + std::to_string(QCoreApplication::applicationPid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "device.ini") << "IF=ETHERNET\r\n[ETHERNET]\r\nPORTNO=5000\r\n[USE_IP]\r\n" << use_ip;
    Set_Program_Directory(dir_.string());
  }
  ~ProgramDir() {
    Reset_Program_Directory();
    std::filesystem::remove_all(dir_);
  }

 private:
  std::filesystem::path dir_;
};

}  // namespace

class StationWidgetsTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    guard_ = new stations_test::SessionTableGuard;
    boxes_.clear();
    platform::Set_Message_Box_Handler([this](const std::string& text, const std::string&, unsigned) {
      boxes_.push_back(text);
      return platform::IDOK;
    });
    Clear_Station_Ip_Table(&table_);
    for (int i = 0; i < 6; ++i) {
      std::snprintf(table_.rows[i].key, sizeof table_.rows[i].key, "%d", i + 1);
      std::snprintf(table_.rows[i].address, sizeof table_.rows[i].address, "127.0.0.%d", i + 1);
    }
    table_.count = 6;
  }

  void cleanup() {
    platform::Set_Message_Box_Handler({});
    delete guard_;
    guard_ = nullptr;
  }

  // Four sessions with three rows: three show and the list scrolls; when
  // two end the panel shrinks to two rows; with the last one it goes.
  void fourSessionsScrollThenShrink() {
    HostWindow host;
    StationPanel panel(Settings(3), &host);
    panel.Set_Interface(Interface::TcpIp);
    panel.Set_Station_Table(&table_);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    const QRect status = host.statusBar()->geometry();
    panel.Layout_Panel(status, false);
    QVERIFY(!panel.isVisible());

    panel.Start_Bar(Bar(1, 0, 1, "C:\\DATA\\ORDERS.DAT"), false);
    panel.Update_Bar(Bar(1, 72, 1, "C:\\DATA\\ORDERS.DAT"));
    panel.Start_Bar(Bar(2, 0, 2, "A:\\SALES\\DAY0412.CSV"), false);
    panel.Update_Bar(Bar(2, 35, 2, "A:\\SALES\\DAY0412.CSV"));
    panel.Start_Bar(Bar(3, 0, 1, "C:\\MASTER\\PRICES.DAT"), false);
    panel.Update_Bar(Bar(3, 100, 1, "C:\\MASTER\\PRICES.DAT"));
    QVERIFY(panel.isVisible());
    QCOMPARE(panel.height(), 3 * 45 + 10);
    QCOMPARE(panel.geometry().bottom() + 1, status.top() - 3);
    QCOMPARE(panel.List()->verticalScrollBar()->maximum(), 0);

    // The fourth comes from the session table, as the notification delivers it.
    InfoHT& info = Info_Of(4);
    info.SNo = 104;
    info.Mode = 2;
    info.Cent = 0;
    stations_test::Set_File(info, "C:\\IN\\STOCK.DAT");
    panel.Start_Bar(4);
    QCOMPARE(panel.Bars().Count(), 4);
    QCOMPARE(panel.height(), 3 * 45 + 10);  // still three rows
    QCOMPARE(panel.List()->verticalScrollBar()->maximum(), 1);
    QCOMPARE(panel.Bars().Visible_Row_Of(4), -1);
    panel.List()->verticalScrollBar()->setValue(1);
    QCOMPARE(panel.Bars().Top(), 1);
    QCOMPARE(panel.Bars().Visible_Row_Of(4), 2);
    QCoreApplication::processEvents();  // the scroll bar shows from the event loop
    QVERIFY(panel.List()->verticalScrollBar()->isVisible());
    // The bars got narrower for the scroll bar: the fast path's remembered
    // edges follow, so the next update starts where the fill really ends.
    const int narrower = panel.List()->viewport()->width();
    QVERIFY(narrower < panel.List()->width());
    QCOMPARE(panel.Bars().Edge(2), Fill_Edge(Layout_Bar(Rect{0, 0, narrower, 45}, 45, 2, 1), 35));
    Save_Screenshot(&host, "bars_panel.png");

    panel.Reset_Bar(1);
    panel.Reset_Bar(3);
    QCOMPARE(panel.Bars().Count(), 2);
    QCOMPARE(panel.height(), 2 * 45 + 10);
    QCOMPARE(panel.List()->height(), 2 * 45 + 5);
    QCOMPARE(panel.geometry().top(), status.top() - (2 * 45 + 13));
    QCOMPARE(panel.List()->verticalScrollBar()->maximum(), 0);
    QCoreApplication::processEvents();
    QVERIFY(!panel.List()->verticalScrollBar()->isVisible());
    Save_Screenshot(&host, "bars_panel_two_rows.png");

    panel.Reset_Bar(2);
    panel.Reset_Bar(4);
    QVERIFY(!panel.isVisible());
  }

  // The colours and frames of a bar, and the send and receive colours
  // from the settings.
  void barColoursAndFrames() {
    HostWindow host;
    StationPanel panel(Settings(3), &host);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    panel.Layout_Panel(host.statusBar()->geometry(), false);
    panel.Start_Bar(Bar(1, 0, 1, "SEND.DAT"), false);
    panel.Update_Bar(Bar(1, 50, 1, "SEND.DAT"));
    panel.Start_Bar(Bar(2, 0, 2, "RECV.DAT"), false);
    panel.Update_Bar(Bar(2, 50, 2, "RECV.DAT"));
    const QImage image = List_Image(panel);
    const BarLayout l = Layout_Bar(Rect{0, 0, image.width(), 45}, 45, 2, 1);

    QCOMPARE(Pixel(image, 0, 0), QColor(Qt::black));        // outer frame
    QCOMPARE(Pixel(image, 1, 1), QColor(150, 150, 150));    // outer grey
    QCOMPARE(Pixel(image, 2, 2), QColor(Qt::black));        // inner frame
    QCOMPARE(Pixel(image, 3, 40), QColor(200, 200, 200));   // inner grey
    const int y = (l.box.top + l.box.bottom) / 2;
    QCOMPARE(Pixel(image, l.box.left + 1, y), QColor(200, 0, 0));     // sending
    QCOMPARE(Pixel(image, l.box.left + 1, 45 + y), QColor(0, 160, 0));  // receiving
    QCOMPARE(Pixel(image, l.box.right - 2, y), QColor(255, 255, 192));  // the box's own fill
    QCOMPARE(Pixel(image, l.box.left - 1, l.box.top - 1), QColor(192, 255, 255));
    QCOMPARE(Pixel(image, l.box.right, l.box.bottom), QColor(Qt::black));
    Save_Screenshot(&host, "bars_colours.png");
  }

  // A progress update asks for the percentage and the new span only; a
  // percentage that goes back clears what it left.
  void fastUpdateDrawsOnlyTheChange() {
    HostWindow host;
    StationPanel panel(Settings(3), &host);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    panel.Layout_Panel(host.statusBar()->geometry(), false);
    panel.Start_Bar(Bar(5, 0, 1, "X.DAT"), false);
    panel.Update_Bar(Bar(5, 50, 1, "X.DAT"));
    const int width = panel.List()->viewport()->width();
    const BarLayout l = Layout_Bar(Rect{0, 0, width, 45}, 45, 2, 1);
    const QRect dirty = panel.Last_Update_Region().boundingRect();
    QVERIFY(!dirty.isEmpty());
    QCOMPARE(dirty.left(), l.box.left + 2);  // nothing left of the old edge
    QCOMPARE(dirty.top(), std::min(l.percent_y, l.box.top));
    QVERIFY(dirty.bottom() < 45);
    QVERIFY(!panel.Last_Update_Region().contains(QPoint(l.session_x + 5, l.mode_y + 5)));

    panel.Update_Bar(Bar(5, 20, 1, "X.DAT"));  // a new file without a 0 first
    const int y = (l.box.top + l.box.bottom) / 2;
    QVERIFY(panel.Last_Update_Region().contains(QPoint(Fill_Edge(l, 40), y)));
    QVERIFY(panel.Last_Update_Region().contains(QPoint(Fill_Edge(l, 20), y)));
    const QImage image = List_Image(panel);
    QCOMPARE(Pixel(image, Fill_Edge(l, 20) - 1, y), QColor(200, 0, 0));
    QCOMPARE(Pixel(image, Fill_Edge(l, 40), y), QColor(255, 255, 192));

    // A bar scrolled out of view and an HT without a bar draw nothing.
    panel.Update_Bar(Bar(9, 30, 1, "NONE.DAT"));
    QCOMPARE(panel.Bars().Count(), 1);
  }

  // A path too wide for the bar shows its file name; a name still too wide
  // ends in "...".
  void tooWidePathAndName() {
    HostWindow host;
    host.resize(600, 300);
    StationPanel panel(Settings(3), &host);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    panel.Layout_Panel(host.statusBar()->geometry(), false);
    const std::string folder = "C:\\" + std::string(40, 'D') + "\\" + std::string(40, 'E');
    panel.Start_Bar(Bar(1, 0, 1, folder + "\\ORDERS.DAT"), false);
    panel.Start_Bar(Bar(2, 0, 2, folder + "\\" + std::string(120, 'N') + ".DAT"), false);
    panel.Start_Bar(Bar(3, 0, 1, "C:\\DATA\\SHORT.DAT"), false);
    QCOMPARE(panel.Shown_File_Text(1), QStringLiteral("ORDERS.DAT"));
    const QString name = panel.Shown_File_Text(2);
    QVERIFY2(name.endsWith(QStringLiteral("...")), qPrintable(name));
    QVERIFY(name.startsWith(QStringLiteral("NNN")));
    QVERIFY(name.size() < 120);
    QCOMPARE(panel.Shown_File_Text(3), QStringLiteral("C:\\DATA\\SHORT.DAT"));
    Save_Screenshot(&host, "bars_too_wide.png");
  }

  // SCSI bars and the SCSI window show SCSI IDs (HT 1 is ID 0).
  void scsiStationsShownAsScsiIds() {
    HostWindow host;
    StationPanel panel(Settings(3), &host);
    panel.Set_Interface(Interface::Scsi);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    panel.Layout_Panel(host.statusBar()->geometry(), false);
    panel.Start_Bar(Bar(1, 0, 1, "C:\\DATA\\A.DAT"), false);
    panel.Start_Bar(Bar(7, 0, 2, "C:\\DATA\\B.DAT"), false);
    QCOMPARE(panel.Station_Text(1), QStringLiteral("0"));
    QCOMPARE(panel.Station_Text(7), QStringLiteral("6"));
    Save_Screenshot(&host, "bars_scsi.png");
    panel.Set_Interface(Interface::TcpIp);
    QCOMPARE(panel.Station_Text(1), QStringLiteral("1"));

    for (int ht = 1; ht <= 7; ++ht) Info_Of(ht).StartStatus = ht == 4 ? 0 : 1;
    int scans = 0;
    ScsiSelectionDialog dialog(stations::SelectionMode::Command, nullptr, [&scans] { ++scans; });
    QCOMPARE(scans, 1);
    QCOMPARE(dialog.List()->count(), 7);
    for (int id = 0; id < 7; ++id)
      QCOMPARE(dialog.List()->item(id)->text(), QStringLiteral(" SCSI ID   %1").arg(id));
    QVERIFY(!(dialog.List()->item(3)->flags() & Qt::ItemIsEnabled));  // not powered on
    dialog.List()->item(3)->setCheckState(Qt::Checked);
    QCOMPARE(dialog.List()->item(3)->checkState(), Qt::Unchecked);  // refused
    dialog.List()->item(2)->setCheckState(Qt::Checked);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    Save_Screenshot(&dialog, "scsi_selection.png");
    QTest::mouseClick(dialog.Ok_Button(), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.Chosen(), std::vector<int>{3});  // SCSI ID 2 is HT 3
    QCOMPARE(Info_Of(3).CheckFlag, 1);
    QCOMPARE(Info_Of(3).CurrentlySelected, 1);

    ScsiSelectionDialog abort(stations::SelectionMode::Abort, nullptr, [&scans] { ++scans; });
    QCOMPARE(scans, 1);  // no scan before an abort
  }

  void scsiSelectAllCancelAllAndEmptyOk() {
    for (int ht = 1; ht <= 7; ++ht) Info_Of(ht).StartStatus = 1;
    Info_Of(2).BusyFlag = 1;
    ScsiSelectionDialog dialog(stations::SelectionMode::Command, nullptr, [] {});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(dialog.Select_All_Button(), Qt::LeftButton);
    QCOMPARE(dialog.List()->item(0)->checkState(), Qt::Checked);
    QCOMPARE(dialog.List()->item(1)->checkState(), Qt::Unchecked);  // busy
    QTest::mouseClick(dialog.Cancel_All_Button(), Qt::LeftButton);
    for (int i = 0; i < 7; ++i) QCOMPARE(dialog.List()->item(i)->checkState(), Qt::Unchecked);
    QTest::mouseClick(dialog.Ok_Button(), Qt::LeftButton);
    QCOMPARE(boxes_.size(), std::size_t{1});
    QCOMPARE(QString::fromStdString(boxes_[0]), QStringLiteral("No Item Selected.Please select atleast one."));
    QVERIFY(dialog.isVisible());
    QVERIFY(dialog.result() != QDialog::Accepted);
  }

  // Ten stations: 3 rows by 4 columns, cells 11 and 12 removed; OK with
  // nothing checked keeps the window open.
  void tcpGridOfTenStations() {
    std::string use_ip;
    for (int n = 1; n <= 10; ++n) use_ip += std::to_string(n) + "=127.0.0." + std::to_string(n) + "\r\n";
    ProgramDir dir(use_ip);
    Info_Of(4).BusyFlag = 1;
    TcpSelectionDialog dialog(stations::SelectionMode::Command);
    QCOMPARE(dialog.Shape().rows, 3);
    QCOMPARE(dialog.Shape().cols, 4);
    QCOMPARE(dialog.Cells().size(), 10);
    for (int i = 0; i < 10; ++i) QCOMPARE(dialog.Cells()[i]->text(), QString::asprintf("%03d", i + 1));
    for (QCheckBox* box : dialog.findChildren<QCheckBox*>()) {
      QVERIFY(box->text() != QStringLiteral("011"));
      QVERIFY(box->text() != QStringLiteral("012"));
    }
    QCOMPARE(dialog.size(), QSize(380, 3 * 30 + 120));
    QCOMPARE(dialog.Cells()[0]->geometry(), QRect(15, 15, 55, 30));
    QCOMPARE(dialog.Cells()[9]->geometry(), QRect(15 + 55, 15 + 2 * 30, 55, 30));
    QVERIFY(!dialog.Cells()[3]->isEnabled());  // busy
    QVERIFY(dialog.Cells()[0]->toolTip().contains(QStringLiteral("127.0.0.1")));
    QCOMPARE(dialog.Ok_Button()->geometry().left(), 380 - 180);

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(dialog.Ok_Button(), Qt::LeftButton);
    QCOMPARE(boxes_.size(), std::size_t{1});
    QCOMPARE(QString::fromStdString(boxes_[0]), QString::fromLatin1(kNoItemSelected));
    QVERIFY(dialog.isVisible());

    QTest::mouseClick(dialog.Select_All_Button(), Qt::LeftButton);
    QVERIFY(dialog.Cells()[0]->isChecked());
    QVERIFY(!dialog.Cells()[3]->isChecked());
    Save_Screenshot(&dialog, "tcp_selection.png");

    // A station that starts working while the window is open is taken out.
    Info_Of(5).BatchFlag = 1;
    dialog.Refresh();
    QVERIFY(!dialog.Cells()[4]->isEnabled());
    QVERIFY(!dialog.Cells()[4]->isChecked());

    QTest::mouseClick(dialog.Cancel_All_Button(), Qt::LeftButton);
    QTest::mouseClick(dialog.Cells()[9], Qt::LeftButton);
    QVERIFY(dialog.Cells()[9]->isChecked());
    QTest::mouseClick(dialog.Ok_Button(), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.Chosen(), std::vector<int>{10});
    QCOMPARE(Info_Of(10).CheckFlag, 1);
    QCOMPARE(Info_Of(1).CheckFlag, 0);
  }

  void tcpGridOfManyStations() {
    std::string use_ip;
    for (int n = 1; n <= 255; ++n) use_ip += std::to_string(n) + "=127.0.1." + std::to_string(n) + "\r\n";
    ProgramDir dir(use_ip);
    TcpSelectionDialog dialog(stations::SelectionMode::Abort);
    QCOMPARE(dialog.Cells().size(), 254);  // 255 is not offered
    QCOMPARE(dialog.Shape().rows, 15);
    QCOMPARE(dialog.Shape().cols, 17);
    QCOMPARE(dialog.Cells()[253]->text(), QStringLiteral("254"));
    for (QCheckBox* box : dialog.Cells()) QVERIFY(!box->isEnabled());  // nobody works
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    Save_Screenshot(&dialog, "tcp_selection_254.png");
  }

  // Notifications name only the HT: the panel reads its record, skips an
  // HT being aborted and ignores HTs outside 1..255.
  void barsFromTheSessionTable() {
    HostWindow host;
    StationPanel panel(Settings(3), &host);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    panel.Layout_Panel(host.statusBar()->geometry(), false);
    InfoHT& info = Info_Of(200);
    info.SNo = 7;
    info.Mode = 1;
    info.Cent = 0;
    stations_test::Set_File(info, "C:\\OUT\\LIST.DAT");
    panel.Start_Bar(200);
    QCOMPARE(panel.Bars().Count(), 1);
    info.Cent = 60;
    panel.Update_Bar(200);
    QCOMPARE(panel.Bars().Find(200)->cent, 60);
    QCOMPARE(panel.Shown_File_Text(200), QStringLiteral("C:\\OUT\\LIST.DAT"));

    Info_Of(201).AbortFromGUI = 1;
    panel.Start_Bar(201);
    panel.Start_Bar(0);
    panel.Start_Bar(256);
    panel.Update_Bar(202);
    panel.Reset_Bar(203);
    QCOMPARE(panel.Bars().Count(), 1);
    panel.Clear();
    QVERIFY(!panel.isVisible());
  }

  // Behind the main window's station-view seam: the panel comes with the
  // first bar (with the settings read by then) and goes with the last.
  void mainWindowSeam() {
    HostWindow host;
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    const PanelSettings saved = GPanelSettings;
    GPanelSettings = Settings(2);
    GPanelSettings.bar_height = 40;
    std::unique_ptr<StationView> view = Make_Station_Panel_View(&host);
    view->Set_Interface_Type(1);
    QCOMPARE(view->Bar_Count(), 0);
    QVERIFY(host.findChildren<StationPanel*>().isEmpty());
    InfoHT info{};
    info.SNo = 5;
    info.Mode = 1;
    stations_test::Set_File(info, "C:\\DATA\\A.DAT");
    view->Start_Bar(1, info);
    view->Start_Bar(2, info);
    view->Start_Bar(3, info);
    Info_Of(4).AbortFromGUI = 1;
    view->Start_Bar(4, info);
    QCOMPARE(view->Bar_Count(), 3);
    info.Cent = 40;
    view->Update_Bar(2, info);
    view->Layout_Panel();
    StationPanel* panel = host.findChild<StationPanel*>();
    QVERIFY(panel != nullptr);
    QCOMPARE(panel->height(), 2 * 40 + 10);  // NUMOFBAR 2, BARHEIGHT 40
    QCOMPARE(panel->geometry().bottom() + 1, host.statusBar()->geometry().top() - 3);
    QCOMPARE(panel->Station_Text(1), QStringLiteral("0"));
    QCOMPARE(panel->Bars().Find(2)->cent, 40);
    QCoreApplication::processEvents();
    QVERIFY(panel->List()->verticalScrollBar()->isVisible());
    Save_Screenshot(&host, "bars_main_window_seam.png");
    view->Reset_Bar(1);
    view->Reset_Bar(2);
    view->Reset_Bar(3);
    QCOMPARE(view->Bar_Count(), 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(host.findChildren<StationPanel*>().isEmpty());
    GPanelSettings = saved;
  }

  // Keys typed in the panel reach the main window; Esc asks it to close.
  void keysGoToTheMainWindow() {
    HostWindow host;
    StationPanel panel(Settings(3), &host);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    panel.Layout_Panel(host.statusBar()->geometry(), false);
    panel.Start_Bar(Bar(1, 10, 1, "K.DAT"), false);
    QSignalSpy exits(&panel, &StationPanel::exitRequested);
    QTest::keyClick(panel.List(), Qt::Key_A);
    QTest::keyClick(panel.List(), Qt::Key_F, Qt::AltModifier);
    QTest::keyClick(&panel, Qt::Key_B);
    QCOMPARE(host.keys.size(), std::size_t{3});
    QCOMPARE(host.keys[0], int(Qt::Key_A));
    QCOMPARE(host.keys[1], (Qt::AltModifier | Qt::Key_F).toCombined());
    QCOMPARE(exits.count(), 0);
    QTest::keyClick(panel.List(), Qt::Key_Escape);
    QCOMPARE(exits.count(), 1);
  }

  // Minimised, the panel goes off screen; restored, it comes back.
  void layoutFollowsTheMainWindow() {
    HostWindow host;
    StationPanel panel(Settings(2), &host);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    panel.Start_Bar(Bar(1, 10, 1, "M.DAT"), false);
    panel.Layout_Panel(host.statusBar()->geometry(), true);
    QCOMPARE(panel.geometry(), QRect(3000, 10, 10, 10));
    host.resize(700, 500);
    QCoreApplication::processEvents();
    const QRect status = host.statusBar()->geometry();
    panel.Layout_Panel(status, false);
    QCOMPARE(panel.geometry(), QRect(status.left() + 1, status.top() - 58, status.width() - 4, 55));
    QCOMPARE(panel.List()->geometry(), QRect(0, 0, status.width() - 8, 50));
  }

 private:
  stations_test::SessionTableGuard* guard_ = nullptr;
  std::vector<std::string> boxes_;
  StationIpTable table_;
};

QTEST_MAIN(StationWidgetsTest)
#include "station_widgets_test.moc"
