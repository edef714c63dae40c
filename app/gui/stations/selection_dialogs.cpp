#include "app/gui/stations/selection_dialogs.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPalette>
#include <QPushButton>
#include <QTimer>

#include <utility>

#include "linkman/tether32.h"
#include "platform/msgbox.h"

namespace stations {

namespace {

// The grey line under the choice that says what it is for.
QLabel* Hint_Label(SelectionMode mode, QWidget* parent) {
  auto* label = new QLabel(QString::fromStdString(Selection_Hint(mode)), parent);
  QPalette grey = label->palette();
  grey.setColor(QPalette::WindowText, QColor(96, 96, 96));
  label->setPalette(grey);
  return label;
}

constexpr int kScsiWidth = 400;
constexpr int kScsiHeight = 280;
constexpr int kScsiIds = 7;
constexpr int kRefreshMs = 500;

QRect To_QRect(const Rect& r) { return QRect(r.left, r.top, r.Width(), r.Height()); }

std::vector<int> Scsi_Hts() {
  std::vector<int> hts;
  for (int id = 0; id < kScsiIds; ++id) hts.push_back(id + 1);
  return hts;
}

std::vector<int> Numbers_Of(const std::vector<TcpStation>& stations) {
  std::vector<int> out;
  out.reserve(stations.size());
  for (const TcpStation& s : stations) out.push_back(s.number);
  return out;
}

void No_Item_Selected() {
  platform::Message_Box(kNoItemSelected, "Message Box", platform::MB_OK | platform::MB_ICONWARNING);
}

// Command and script mode scan which IO boxes are powered on before the
// choice is offered.
StationSelection Scsi_Selection(SelectionMode mode, const ScsiSelectionDialog::PowerOnScan& scan) {
  if (mode != SelectionMode::Abort) {
    if (scan)
      scan();
    else
      Check_For_PowerOn_IOboxes_And_Change_Gscsiscan();
  }
  return StationSelection(Interface::Scsi, mode, Scsi_Hts());
}

}  // namespace

// ---------------------------------------------------------------------------
// SCSI

ScsiSelectionDialog::ScsiSelectionDialog(SelectionMode mode, QWidget* parent, PowerOnScan scan)
    : QDialog(parent), selection_(Scsi_Selection(mode, scan)) {
  setWindowTitle(QString::fromLatin1(kSelectionTitle));
  setModal(true);
  setFixedSize(kScsiWidth, kScsiHeight);

  const Rect list_rect = Scsi_List_Rect(kScsiWidth, kScsiHeight);
  list_ = new QListWidget(this);
  list_->setGeometry(To_QRect(list_rect));
  list_->setSelectionMode(QAbstractItemView::NoSelection);
  list_->setAlternatingRowColors(true);
  list_->setSpacing(1);
  for (int i = 0; i < selection_.Size(); ++i) {
    auto* item = new QListWidgetItem(QString::fromStdString(Scsi_Item_Text(selection_.Ht(i) - 1)), list_);
    item->setCheckState(Qt::Unchecked);
  }

  Hint_Label(mode, this)->setGeometry(list_rect.left, list_rect.bottom + 8, kScsiWidth - 2 * list_rect.left, 20);

  const int x = list_rect.right + 24;
  const int w = kScsiWidth - x - list_rect.left;
  select_all_ = new QPushButton(QStringLiteral("Select&All"), this);
  cancel_all_ = new QPushButton(QStringLiteral("Ca&ncelAll"), this);
  ok_ = new QPushButton(QStringLiteral("OK"), this);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  select_all_->setGeometry(x, list_rect.top, w, 28);
  cancel_all_->setGeometry(x, list_rect.top + 36, w, 28);
  ok_->setGeometry(x, kScsiHeight - 2 * 36 - list_rect.top + 8, w, 28);
  cancel->setGeometry(x, kScsiHeight - 36 - list_rect.top + 8, w, 28);
  ok_->setDefault(true);

  connect(select_all_, &QPushButton::clicked, this, [this] {
    selection_.Select_All();
    Sync_Items();
  });
  connect(cancel_all_, &QPushButton::clicked, this, [this] {
    selection_.Cancel_All();
    Sync_Items();
  });
  connect(ok_, &QPushButton::clicked, this, &ScsiSelectionDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &ScsiSelectionDialog::reject);
  connect(list_, &QListWidget::itemChanged, this, &ScsiSelectionDialog::Item_Changed);
  Sync_Items();
}

void ScsiSelectionDialog::Sync_Items() {
  syncing_ = true;
  for (int i = 0; i < selection_.Size(); ++i) {
    QListWidgetItem* item = list_->item(i);
    Qt::ItemFlags flags = Qt::ItemIsUserCheckable;
    if (selection_.Enabled(i)) flags |= Qt::ItemIsEnabled;
    item->setFlags(flags);
    item->setCheckState(selection_.Checked(i) ? Qt::Checked : Qt::Unchecked);
    item->setToolTip(
        QString::fromStdString(Station_Tooltip(Interface::Scsi, selection_.Mode(), selection_.Ht(i), "")));
  }
  syncing_ = false;
}

void ScsiSelectionDialog::Item_Changed(QListWidgetItem* item) {
  if (syncing_) return;
  const int i = list_->row(item);
  if (!selection_.Set_Checked(i, item->checkState() == Qt::Checked)) Sync_Items();
}

void ScsiSelectionDialog::accept() {
  if (!selection_.Accept()) {
    No_Item_Selected();
    return;
  }
  QDialog::accept();
}

// ---------------------------------------------------------------------------
// TCP/IP

TcpSelectionDialog::TcpSelectionDialog(SelectionMode mode, QWidget* parent)
    : QDialog(parent),
      stations_(Configured_Tcp_Stations()),
      shape_(Grid_Shape(static_cast<int>(stations_.size()))),
      selection_(Interface::TcpIp, mode, Numbers_Of(stations_)) {
  setWindowTitle(QString::fromLatin1(kSelectionTitle));
  setModal(true);
  const TcpWindowLayout layout = Tcp_Window_Layout(shape_);
  setFixedSize(layout.width, layout.height);
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  setPalette(white);
  setAutoFillBackground(true);

  QFont cell_font(QStringLiteral("MS Sans Serif"));
  cell_font.setStyleHint(QFont::SansSerif);
  cell_font.setPointSize(8);
  for (const GridCell& cell : Grid_Cells(Numbers_Of(stations_))) {
    if (cell.removed) continue;  // the cells after the last station are not offered
    auto* box = new QCheckBox(QString::fromStdString(Station_Label(cell.number)), this);
    box->setFont(cell_font);
    box->setGeometry(To_QRect(cell.rect));
    const int i = selection_.Index_Of(cell.number);
    connect(box, &QCheckBox::toggled, this, [this, box, i](bool on) {
      if (syncing_) return;
      if (!selection_.Set_Checked(i, on)) {
        syncing_ = true;
        box->setChecked(false);
        syncing_ = false;
      }
    });
    cells_.append(box);
  }

  Hint_Label(mode, this)->setGeometry(kGridLeft, kGridTop + shape_.rows * kCellHeight + 8,
                                      layout.width - 2 * kGridLeft, 20);

  select_all_ = new QPushButton(QStringLiteral("Select All"), this);
  cancel_all_ = new QPushButton(QStringLiteral("Cancel All"), this);
  ok_ = new QPushButton(QStringLiteral("OK"), this);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  QPushButton* buttons[4] = {select_all_, cancel_all_, ok_, cancel};
  for (int i = 0; i < 4; ++i) buttons[i]->setGeometry(To_QRect(layout.buttons[i]));
  ok_->setDefault(true);

  connect(select_all_, &QPushButton::clicked, this, [this] {
    selection_.Refresh();
    selection_.Select_All();
    Sync_Cells();
  });
  connect(cancel_all_, &QPushButton::clicked, this, [this] {
    selection_.Cancel_All();
    Sync_Cells();
  });
  connect(ok_, &QPushButton::clicked, this, &TcpSelectionDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &TcpSelectionDialog::reject);

  refresh_ = new QTimer(this);
  connect(refresh_, &QTimer::timeout, this, &TcpSelectionDialog::Refresh);
  refresh_->start(kRefreshMs);
  Sync_Cells();
}

void TcpSelectionDialog::Refresh() {
  selection_.Refresh();
  Sync_Cells();
}

void TcpSelectionDialog::Sync_Cells() {
  syncing_ = true;
  for (int i = 0; i < cells_.size() && i < selection_.Size(); ++i) {
    QCheckBox* box = cells_[i];
    box->setEnabled(selection_.Enabled(i));
    box->setChecked(selection_.Checked(i));
    box->setToolTip(QString::fromStdString(Station_Tooltip(
        Interface::TcpIp, selection_.Mode(), selection_.Ht(i), stations_[static_cast<std::size_t>(i)].address)));
  }
  syncing_ = false;
}

void TcpSelectionDialog::accept() {
  if (!selection_.Accept()) {
    No_Item_Selected();
    return;
  }
  refresh_->stop();
  QDialog::accept();
}

std::vector<int> Select_Stations(Interface iface, SelectionMode mode, QWidget* parent) {
  if (iface == Interface::Scsi) {
    ScsiSelectionDialog dialog(mode, parent);
    return dialog.exec() == QDialog::Accepted ? dialog.Chosen() : std::vector<int>{};
  }
  if (iface == Interface::TcpIp) {
    TcpSelectionDialog dialog(mode, parent);
    return dialog.exec() == QDialog::Accepted ? dialog.Chosen() : std::vector<int>{};
  }
  return {};
}

}  // namespace stations
