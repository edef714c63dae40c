#include "app/gui/stations/station_panel.h"

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

namespace stations {

namespace {

const QColor kOuterGrey(150, 150, 150);
const QColor kInnerGrey(200, 200, 200);
const QColor kBoxFill(255, 255, 192);
const QColor kLightCyan(192, 255, 255);

QRect To_QRect(const Rect& r) { return QRect(r.left, r.top, r.Width(), r.Height()); }

Rect From_QRect(const QRect& r) { return Rect{r.x(), r.y(), r.x() + r.width(), r.y() + r.height()}; }

// A one-pixel frame just inside r.
void Frame(QPainter& p, const Rect& r, const QColor& colour) {
  if (r.Empty()) return;
  p.fillRect(QRect(r.left, r.top, r.Width(), 1), colour);
  p.fillRect(QRect(r.left, r.bottom - 1, r.Width(), 1), colour);
  p.fillRect(QRect(r.left, r.top, 1, r.Height()), colour);
  p.fillRect(QRect(r.right - 1, r.top, 1, r.Height()), colour);
}

// Text whose top-left corner is at (x, y).
void Text_At(QPainter& p, const QFontMetrics& fm, int x, int y, const QString& text) {
  p.drawText(QPoint(x, y + fm.ascent()), text);
}

bool Is_Scroll_Key(int key) {
  switch (key) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Home:
    case Qt::Key_End:
      return true;
    default:
      return false;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// StationList

StationList::StationList(StationPanel* panel) : QAbstractScrollArea(panel), panel_(panel) {
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setFocusPolicy(Qt::ClickFocus);
  viewport()->setAutoFillBackground(false);
}

Rect StationList::Item_Rect(int visible_row) const {
  const int h = panel_->settings_.bar_height;
  return Rect{0, visible_row * h, viewport()->width(), (visible_row + 1) * h};
}

void StationList::Sync_Scroll_Bar() {
  const BarList& bars = panel_->bars_;
  QScrollBar* bar = verticalScrollBar();
  bar->setRange(0, bars.Max_Top());
  bar->setPageStep(std::max(bars.Visible_Rows(), 1));
  bar->setSingleStep(1);
  bar->setValue(bars.Top());
}

void StationList::paintEvent(QPaintEvent* event) {
  QPainter p(viewport());
  p.setClipRegion(event->region());
  p.fillRect(viewport()->rect(), panel_->palette().window());
  const BarList& bars = panel_->bars_;
  for (int row = 0; row < bars.Visible_Rows(); ++row) {
    const int index = bars.Top() + row;
    if (index >= bars.Count()) break;
    const Rect item = Item_Rect(row);
    if (!event->region().intersects(To_QRect(item))) continue;
    panel_->Paint_Bar(p, bars.At(index), item);
  }
}

void StationList::scrollContentsBy(int, int) {
  panel_->bars_.Set_Top(verticalScrollBar()->value());
  panel_->last_update_ = QRegion();
  viewport()->update();
}

bool StationList::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::Resize) {
    // The remembered fill edges belong to the old width (the width also
    // changes when the scroll bar comes or goes).
    BarList& bars = panel_->bars_;
    const BarLayout layout = Layout_Bar(Item_Rect(0), panel_->settings_.bar_height,
                                        panel_->settings_.border1, panel_->settings_.border2);
    for (int i = 0; i < bars.Count(); ++i) bars.Set_Edge(bars.At(i).ht, Fill_Edge(layout, bars.At(i).cent));
  }
  return QAbstractScrollArea::viewportEvent(event);
}

void StationList::keyPressEvent(QKeyEvent* event) {
  if (Is_Scroll_Key(event->key()) && event->modifiers() == Qt::NoModifier) {
    QAbstractScrollArea::keyPressEvent(event);
    return;
  }
  // Everything else goes to the panel and from there to the main window.
  event->ignore();
}

// ---------------------------------------------------------------------------
// StationPanel

StationPanel::StationPanel(const PanelSettings& settings, QWidget* main_window)
    : QWidget(main_window),
      settings_(settings),
      table_(&GStationIpTable),
      bars_(settings.num_of_bar),
      list_(new StationList(this)) {
  if (settings_.bar_height < 1) settings_.bar_height = 1;
  font_ = QApplication::font();
  font_.setPixelSize(12);
  send_colour_ = QColor(settings.send_rgb[0], settings.send_rgb[1], settings.send_rgb[2]);
  recv_colour_ = QColor(settings.recv_rgb[0], settings.recv_rgb[1], settings.recv_rgb[2]);
  setAutoFillBackground(true);
  setFocusPolicy(Qt::ClickFocus);
  hide();
}

void StationPanel::Set_Interface(Interface iface) {
  iface_ = iface;
  list_->viewport()->update();
}

void StationPanel::Set_Station_Table(const StationIpTable* table) {
  table_ = table != nullptr ? table : &GStationIpTable;
  list_->viewport()->update();
}

int StationPanel::Item_Width() const { return list_->viewport()->width(); }

void StationPanel::Start_Bar(int ht) {
  bool abort = false;
  const StationBar bar = Read_Station_Bar(ht, &abort);
  if (bar.ht == 0) return;
  Start_Bar(bar, abort);
}

void StationPanel::Update_Bar(int ht) {
  if (bars_.Row_Of(ht) < 0) return;
  Update_Bar(Read_Station_Bar(ht));
}

void StationPanel::Start_Bar(const StationBar& bar, bool abort_from_gui) {
  const BarList::Start result = bars_.Start_Bar(bar, abort_from_gui);
  if (result == BarList::Start::Ignored) return;
  if (result == BarList::Start::Appended) Relayout();
  Redraw_Row(bar.ht);
}

void StationPanel::Update_Bar(const StationBar& bar) {
  if (!bars_.Update_Bar(bar)) return;
  const int row = bars_.Visible_Row_Of(bar.ht);
  if (row < 0) return;  // drawn when it is scrolled into view
  if (bar.cent == 0) {
    Redraw_Row(bar.ht);
    return;
  }
  const Rect item = list_->Item_Rect(row);
  const BarLayout layout = Layout_Bar(item, settings_.bar_height, settings_.border1, settings_.border2);
  const int new_edge = Fill_Edge(layout, bar.cent);
  const int old_edge = item.left + bars_.Edge(bar.ht);
  const UpdateArea area = Fast_Update_Area(layout, old_edge, new_edge, QFontMetrics(font_).height());
  QRegion region(To_QRect(area.percent));
  if (!area.fill.Empty()) region += To_QRect(area.fill);
  bars_.Set_Edge(bar.ht, new_edge - item.left);
  last_update_ = region;
  list_->viewport()->update(region);
}

void StationPanel::Reset_Bar(int ht) {
  if (!bars_.Reset_Bar(ht)) return;
  Relayout();
  last_update_ = QRegion();
  list_->viewport()->update();
}

void StationPanel::Clear() {
  bars_.Clear();
  Relayout();
}

void StationPanel::Redraw_Row(int ht) {
  const StationBar* bar = bars_.Find(ht);
  if (bar == nullptr) return;
  const int row = bars_.Visible_Row_Of(ht);
  const Rect item = list_->Item_Rect(std::max(row, 0));
  const BarLayout layout = Layout_Bar(item, settings_.bar_height, settings_.border1, settings_.border2);
  bars_.Set_Edge(ht, Fill_Edge(layout, bar->cent) - item.left);
  last_update_ = QRegion();
  if (row >= 0) list_->viewport()->update(To_QRect(item));
}

void StationPanel::Scroll_To(int row) {
  bars_.Set_Top(row);
  list_->Sync_Scroll_Bar();
  list_->viewport()->update();
}

void StationPanel::Layout_Panel(const QRect& status_bar, bool minimized) {
  status_bar_ = status_bar;
  minimized_ = minimized;
  Relayout();
}

void StationPanel::Relayout() {
  QRect status = status_bar_;
  if (status.isNull() && parentWidget() != nullptr) {
    // Not laid out by the main window yet: the bottom edge of the parent.
    status = QRect(0, parentWidget()->height(), parentWidget()->width(), 0);
  }
  const PanelPlacement place =
      Place_Panel(From_QRect(status), minimized_, bars_.Count(), settings_.num_of_bar, settings_.bar_height);
  if (!place.shown) {
    hide();
    list_->Sync_Scroll_Bar();
    return;
  }
  setGeometry(To_QRect(place.panel));
  list_->setGeometry(To_QRect(place.list));
  list_->Sync_Scroll_Bar();
  show();
  raise();
}

QString StationPanel::Station_Text(int ht) const { return QString::number(Shown_Station_Number(iface_, ht)); }

QString StationPanel::Shown_File_Text(int ht) const {
  const StationBar* bar = bars_.Find(ht);
  if (bar == nullptr) return QString();
  return Fitted_File_Text(*bar, list_->Item_Rect(0));
}

QString StationPanel::Fitted_File_Text(const StationBar& bar, const Rect& item) const {
  const BarLayout l = Layout_Bar(item, settings_.bar_height, settings_.border1, settings_.border2);
  const QFontMetrics fm(font_);
  const std::string text = Fit_File_Text(
      bar.file, item.Width(),
      [&fm](std::string_view s) {
        return fm.horizontalAdvance(QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())));
      },
      fm.averageCharWidth(), l.inner.right - l.session_x - 2);
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void StationPanel::Paint_Bar(QPainter& p, const StationBar& bar, const Rect& item) const {
  const BarLayout l = Layout_Bar(item, settings_.bar_height, settings_.border1, settings_.border2);
  p.save();
  p.fillRect(To_QRect(l.outer), kOuterGrey);
  Frame(p, l.outer, Qt::black);
  Frame(p, l.middle, Qt::black);
  p.fillRect(To_QRect(l.inner), kInnerGrey);
  // Nothing inside runs over the frames, however long a text is.
  p.setClipRect(To_QRect(l.inner), Qt::IntersectClip);

  p.setFont(font_);
  p.setPen(Qt::black);
  const QFontMetrics fm(font_);
  if (iface_ == Interface::TcpIp) {
    Text_At(p, fm, l.label_x, l.ip_y, QStringLiteral("IP Address :"));
    Text_At(p, fm, l.number_x, l.ip_y, QString::fromStdString(Ip_Address_Of(*table_, bar.ht)));
  }
  Text_At(p, fm, l.label_x, l.station_y, QStringLiteral("IOBOX  No. : "));
  Text_At(p, fm, l.number_x, l.station_y, Station_Text(bar.ht));
  Text_At(p, fm, l.session_label_x, l.station_y, QStringLiteral("Session No. : "));
  Text_At(p, fm, l.session_x, l.station_y, QString::number(bar.session));
  Text_At(p, fm, l.label_x, l.mode_y, QStringLiteral("Mode   : "));
  Text_At(p, fm, l.mode_x, l.mode_y, QString::fromLatin1(Direction_Text(bar.mode)));
  Text_At(p, fm, l.session_label_x, l.mode_y, QStringLiteral("File Name    : "));
  Text_At(p, fm, l.session_x, l.mode_y, Fitted_File_Text(bar, item));

  // The percentage on the inner grey, so a shorter number leaves no digits behind.
  const QString percent = QString::fromStdString(Percent_Text(bar.cent));
  p.fillRect(QRect(l.percent_x, l.percent_y, fm.horizontalAdvance(percent), fm.height()), kInnerGrey);
  Text_At(p, fm, l.percent_x, l.percent_y, percent);

  // The progress box with its frame one pixel outside, then the filled part.
  const Rect& box = l.box;
  if (!box.Empty()) {
    p.fillRect(To_QRect(box), kBoxFill);
    p.fillRect(QRect(box.left - 1, box.top - 1, box.Width() + 2, 1), kLightCyan);
    p.fillRect(QRect(box.left - 1, box.top - 1, 1, box.Height() + 2), kLightCyan);
    p.fillRect(QRect(box.left - 1, box.bottom, box.Width() + 2, 1), Qt::black);
    p.fillRect(QRect(box.right, box.top - 1, 1, box.Height() + 2), Qt::black);
    const int edge = Fill_Edge(l, bar.cent);
    p.fillRect(QRect(box.left, box.top, edge - box.left, box.Height()),
               bar.mode == 1 ? send_colour_ : recv_colour_);
  }
  p.restore();
}

void StationPanel::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    emit exitRequested();
    event->accept();
    return;
  }
  // Characters, Alt-keys and accelerators belong to the main window.
  event->ignore();
}

}  // namespace stations
