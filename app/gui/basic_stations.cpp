#include "app/gui/basic_stations.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QListWidget>
#include <QMainWindow>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>
#include <vector>

#include "app/core/devini.h"
#include "app/core/panelset.h"
#include "app/gui/shell_rules.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "platform/msgbox.h"

namespace {

QString File_Of(const InfoHT& info) {
  std::size_t n = strnlen(info.File, sizeof info.File);
  while (n > 0 && info.File[n - 1] == ' ') --n;
  return QString::fromLocal8Bit(info.File, static_cast<qsizetype>(n));
}

// The rows, drawn one under the other.
class BarsWidget : public QWidget {
 public:
  struct Row {
    int ht;
    InfoHT info;
  };
  explicit BarsWidget(QWidget* parent) : QWidget(parent) {}
  std::vector<Row> rows;
  int interface_type = 0;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const int h = std::max(20, GPanelSettings.bar_height);
    QFont f = font();
    f.setPixelSize(12);
    p.setFont(f);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const Row& r = rows[i];
      const QRect box(0, static_cast<int>(i) * h, width(), h);
      p.fillRect(box, QColor(150, 150, 150));
      p.setPen(Qt::black);
      p.drawRect(box.adjusted(0, 0, -1, -1));
      p.fillRect(box.adjusted(3, 3, -3, -3), QColor(200, 200, 200));
      const int top = box.top() + h / 7 + 10;
      const int bottom = box.bottom() - h / 5;
      p.drawText(20, top, QString("IOBOX  No. : %1").arg(Station_Number(r.ht, interface_type)));
      p.drawText(125, top, QString("Session No. : %1").arg(r.info.SNo));
      p.drawText(20, bottom, QString("Mode   : %1").arg(r.info.Mode == 1 ? "Tx" : "Rx"));
      p.drawText(125, bottom, QString("File Name    : ") +
                                  p.fontMetrics().elidedText(File_Of(r.info), Qt::ElideLeft,
                                                             std::max(40, width() - 420)));
      const int cent = std::min<int>(r.info.Cent, 100);
      const QRect progress(300 + 120, box.top() + h / 4, std::max(20, width() - 520), h / 3);
      p.fillRect(progress, QColor(255, 255, 192));
      const std::uint8_t* rgb = r.info.Mode == 1 ? GPanelSettings.send_rgb : GPanelSettings.recv_rgb;
      p.fillRect(QRect(progress.left(), progress.top(), progress.width() * cent / 100, progress.height()),
                 QColor(rgb[0], rgb[1], rgb[2]));
      p.drawText(width() - 80, bottom, QString("%1   % ").arg(cent, 3));
    }
  }
};

class BasicStationView : public StationView {
 public:
  explicit BasicStationView(QWidget* main_window) : main_(qobject_cast<QMainWindow*>(main_window)) {}
  ~BasicStationView() override { delete panel_; }

  void Start_Bar(int ht, const InfoHT& info) override {
    if (platform::Load(Info_Of(ht).AbortFromGUI) != 0) return;
    Make_Panel();
    for (auto& r : bars_->rows) {
      if (r.ht == ht) {
        r.info = info;
        bars_->update();
        return;
      }
    }
    bars_->rows.push_back({ht, info});
    Layout_Panel();
  }
  void Update_Bar(int ht, const InfoHT& info) override {
    if (bars_ == nullptr) return;
    for (auto& r : bars_->rows) {
      if (r.ht == ht) {
        r.info = info;
        bars_->update();
      }
    }
  }
  void Reset_Bar(int ht) override {
    if (bars_ == nullptr) return;
    std::erase_if(bars_->rows, [ht](const BarsWidget::Row& r) { return r.ht == ht; });
    if (bars_->rows.empty())
      Destroy_Panel();
    else
      Layout_Panel();
  }
  void Destroy_Panel() override {
    delete panel_;
    panel_ = nullptr;
    bars_ = nullptr;
  }
  void Layout_Panel() override {
    if (panel_ == nullptr || main_ == nullptr) return;
    const int h = std::max(20, GPanelSettings.bar_height);
    const int n = std::min<int>(static_cast<int>(bars_->rows.size()), std::max(1, GPanelSettings.num_of_bar));
    const QRect sb = main_->statusBar()->geometry();
    panel_->setGeometry(sb.left() + 1, sb.top() - (n * h + 13), sb.width() - 4, n * h + 10);
    bars_->setFixedSize(sb.width() - 8 - 20, static_cast<int>(bars_->rows.size()) * h);
    bars_->interface_type = interface_type;
    panel_->show();
    panel_->raise();
    bars_->update();
  }
  void Set_Interface_Type(int type) override { interface_type = type; }
  int Bar_Count() const override { return bars_ ? static_cast<int>(bars_->rows.size()) : 0; }

  int interface_type = 0;

 private:
  void Make_Panel() {
    if (panel_ != nullptr) return;
    panel_ = new QScrollArea(main_);
    panel_->setObjectName("stationPanel");
    panel_->setFrameShape(QFrame::NoFrame);
    panel_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    panel_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    bars_ = new BarsWidget(panel_);
    panel_->setWidget(bars_);
  }

  QMainWindow* main_;
  QScrollArea* panel_ = nullptr;
  BarsWidget* bars_ = nullptr;
};

bool Station_Configured(int ht, int interface_type) {
  if (interface_type == kScsi) return ht >= 1 && ht <= 7;
  for (int i = 0; i < GStationIpTable.count; ++i)
    if (std::atoi(GStationIpTable.rows[i].key) == ht) return ht <= 254;
  return false;
}

}  // namespace

std::unique_ptr<StationView> Make_Basic_Station_View(QWidget* main_window) {
  return std::make_unique<BasicStationView>(main_window);
}

bool Station_Enabled(int ht, SelectionMode mode, int interface_type) {
  const bool working = Ht_Working(ht);
  const bool powered = interface_type != kScsi || platform::Load(Info_Of(ht).StartStatus) != 0;
  if (mode == SelectionMode::kAbort) return working && powered;
  return !working && powered;
}

bool Select_Stations_Basic(QWidget* parent, SelectionMode mode, int interface_type) {
  if (interface_type == kScsi && mode != SelectionMode::kAbort) Check_For_PowerOn_IOboxes_And_Change_Gscsiscan();
  if (interface_type == kTcpip) Load_Station_Ip_Table();
  QDialog dialog(parent);
  dialog.setObjectName("stationSelection");
  dialog.setWindowTitle(interface_type == kScsi ? "HT Selection Window" : "Station Selection");
  auto* list = new QListWidget(&dialog);
  const int last = interface_type == kScsi ? 7 : 254;
  for (int ht = 1; ht <= MAX_HT; ++ht) {
    platform::Store(Info_Of(ht).CheckFlag, 0);
    if (ht > last || !Station_Configured(ht, interface_type)) continue;
    const bool enabled = Station_Enabled(ht, mode, interface_type);
    platform::Store(Info_Of(ht).EnableFlag, enabled ? 1 : 0);
    auto* item = new QListWidgetItem(interface_type == kScsi ? QString(" SCSI ID   %1").arg(ht - 1)
                                                             : QString("%1").arg(ht, 3, 10, QChar('0')),
                                     list);
    item->setData(Qt::UserRole, ht);
    item->setFlags(enabled ? Qt::ItemIsUserCheckable | Qt::ItemIsEnabled : Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
  }
  auto set_all = [list](bool on) {
    for (int i = 0; i < list->count(); ++i)
      if (list->item(i)->flags() & Qt::ItemIsEnabled) list->item(i)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
  };
  auto* select_all = new QPushButton("Select&All", &dialog);
  auto* cancel_all = new QPushButton("Ca&ncelAll", &dialog);
  auto* ok = new QPushButton("OK", &dialog);
  auto* cancel = new QPushButton("Cancel", &dialog);
  QObject::connect(select_all, &QPushButton::clicked, [&] { set_all(true); });
  QObject::connect(cancel_all, &QPushButton::clicked, [&] { set_all(false); });
  QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
  QObject::connect(ok, &QPushButton::clicked, [&] {
    int chosen = 0;
    for (int ht = 1; ht <= MAX_HT; ++ht) {
      platform::Store(Info_Of(ht).CheckFlag, 0);
      platform::Store(Info_Of(ht).CurrentlySelected, 0);
    }
    for (int i = 0; i < list->count(); ++i) {
      QListWidgetItem* item = list->item(i);
      if (!(item->flags() & Qt::ItemIsEnabled) || item->checkState() != Qt::Checked) continue;
      const int ht = item->data(Qt::UserRole).toInt();
      platform::Store(Info_Of(ht).CheckFlag, 1);
      platform::Store(Info_Of(ht).CurrentlySelected, 1);
      ++chosen;
    }
    if (chosen == 0) {
      platform::Message_Box("No Item Selected.Please select atleast one.", "Message Box");
      return;
    }
    dialog.accept();
  });
  auto* buttons = new QHBoxLayout;
  for (QPushButton* b : {select_all, cancel_all, ok, cancel}) buttons->addWidget(b);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(list);
  layout->addLayout(buttons);
  return dialog.exec() == QDialog::Accepted;
}
