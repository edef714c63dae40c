#include "app/gui/ping/ping_panel.h"

#include <QCloseEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <cstdio>

#include "app/core/devini.h"
#include "platform/msgbox.h"

namespace ping {

namespace {

constexpr int kPingButtonId = 1001;

QRect To_QRect(const stations::Rect& r) { return QRect(r.left, r.top, r.Width(), r.Height()); }

QColor To_QColor(Rgb c) { return QColor(c.r, c.g, c.b); }

std::uint32_t Pass_Timeout() {
  // A missing device.ini was shown by the lookup; its 0 makes every echo
  // time out at once.
  return static_cast<std::uint32_t>(std::max(0, Get_Ping_Timeout()));
}

}  // namespace

PingPanel::PingPanel(platform::IcmpBackend& icmp, QWidget* parent)
    : QWidget(parent), model_(std::make_unique<PingModel>(icmp)) {
  setObjectName("pingPanel");
  Load_Station_Ip_Table();
  model_->Set_Stations(GStationIpTable);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::white);
  setPalette(pal);
  setAutoFillBackground(true);

  button_ = new QPushButton("PING", this);
  button_->setObjectName("pingButton");
  button_->setProperty("controlId", kPingButtonId);
  button_->setToolTip("Do Pinging");
  const PanelLayout l = Layout_Panel(100, 100);
  button_->setGeometry(To_QRect(l.button));
  connect(button_, &QPushButton::clicked, this, [this] { Start_Ping(); });

  // Messages are posted to the panel only from the GUI thread (the main
  // window's status handler), so the hook never races with the panel's end.
  Set_Queue_Hook([this] { QMetaObject::invokeMethod(this, "Pump", Qt::QueuedConnection); });

  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, &PingPanel::Refresh);
  timer_->start(kRefreshMs);
}

PingPanel::~PingPanel() {
  Set_Queue_Hook({});
  model_->Close();
}

void PingPanel::Pump() { MessageTarget::Pump(); }

void PingPanel::Handle(const platform::Message& m) {
  if (m.msg == WM_PING_STOP) {
    Stop();
    return;
  }
  if (stopped_) return;
  if (model_->Apply_Session_Message(m.msg, m.wParam, m.lParam)) update();
}

void PingPanel::Stop() {
  if (stopped_) return;
  stopped_ = true;
  checking_ = false;
  timer_->stop();
  model_->Close();
  hide();
  if (stop_hook_) stop_hook_();
  deleteLater();
}

void PingPanel::Start_Initial_Pass() {
  if (stopped_) return;
  model_->Start_Pass(Pass::kInitial, Pass_Timeout());
  update();
}

bool PingPanel::Start_Ping() {
  if (stopped_ || model_->Pass_Running()) return false;
  if (!model_->Start_Pass(Pass::kPing, Pass_Timeout())) return false;
  ping_end_reported_ = false;
  update();
  return true;
}

void PingPanel::Refresh() {
  blink_ = !blink_;
  const std::string notice = model_->Take_Unavailable_Notice();
  if (!notice.empty()) std::fprintf(stderr, "tarnel: %s\n", notice.c_str());
  if (model_->Pass_Finished() && !model_->Pass_Running() && model_->Last_Pass() == Pass::kPing && ping_end_hook_ &&
      !ping_end_reported_) {
    ping_end_reported_ = true;
    ping_end_hook_();
  }
  update();
}

QString PingPanel::Notice_Text() const {
  QString text;
  if (model_->Pass_Running() || !model_->Pass_Finished()) text = kPingingText;
  const std::string why = model_->Unavailable_Notice();
  if (!why.empty()) {
    if (!text.isEmpty()) text += "  ";
    text += QString::fromStdString(why);
  }
  return text;
}

QString PingPanel::Tooltip_At(const QPoint& p) const {
  const PanelLayout l = Layout_Panel(width(), height());
  for (int i = 0; i < model_->Station_Count(); ++i)
    if (To_QRect(Cell_Rect(l.grid, model_->Shape(), i)).contains(p))
      return QString::fromStdString(model_->Cell(i).address);
  if (To_QRect(l.notice).contains(p)) return QString::fromStdString(model_->Unavailable_Notice());
  return {};
}

bool PingPanel::event(QEvent* e) {
  if (e->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(e);
    const QString tip = Tooltip_At(help->pos());
    if (tip.isEmpty()) {
      QToolTip::hideText();
      e->ignore();
    } else {
      QToolTip::showText(help->globalPos(), tip, this);
    }
    return true;
  }
  return QWidget::event(e);
}

void PingPanel::paintEvent(QPaintEvent*) {
  if (!painted_) {
    // The first paint starts the initial pass (outside the paint, since the
    // time-out lookup may show a message box).
    painted_ = true;
    QTimer::singleShot(0, this, &PingPanel::Start_Initial_Pass);
  }
  QPainter p(this);
  p.fillRect(rect(), Qt::white);
  QFont font("Arial");
  font.setPointSize(8);
  p.setFont(font);
  const PanelLayout l = Layout_Panel(width(), height());

  const stations::GridShape shape = model_->Shape();
  for (int i = 0; i < model_->Cell_Count(); ++i) {
    const StationRecord& r = model_->Cell(i);
    const QRect cell = To_QRect(Cell_Rect(l.grid, shape, i));
    const QRect lamp = To_QRect(Lamp_Of_Cell(Cell_Rect(l.grid, shape, i)));
    const QColor colour =
        r.configured == kStation ? To_QColor(State_Colour(model_->State_Of_Cell(i), blink_)) : To_QColor(kFillerColour);
    p.setPen(Qt::black);
    p.setBrush(colour);
    p.drawEllipse(lamp);
    if (r.configured == kStation) {
      const QRect text(lamp.right() + 3, cell.top(), cell.right() - lamp.right() - 3, cell.height());
      p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(stations::Station_Label(r.number)));
    }
  }

  std::vector<int> legend = {kPingSuccess, kPingFail, kCommSuccess, kCommFailed};
  if (model_->Any_Communicating()) legend.push_back(kCommunicating);
  for (std::size_t i = 0; i < legend.size() && i < l.legend.size(); ++i) {
    const QRect row = To_QRect(l.legend[i]);
    const int side = std::min(10, row.height() - 2);
    const QRect square(row.left(), row.top() + (row.height() - side) / 2, side, side);
    p.setPen(Qt::black);
    p.setBrush(To_QColor(State_Colour(legend[i], blink_)));
    p.drawRect(square);
    p.drawText(QRect(square.right() + 5, row.top(), row.right() - square.right() - 5, row.height()),
               Qt::AlignLeft | Qt::AlignVCenter, Legend_Text(legend[i]));
  }

  const QString notice = Notice_Text();
  if (!notice.isEmpty()) {
    const QRect area = To_QRect(l.notice);
    p.setPen(Qt::black);
    p.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
               p.fontMetrics().elidedText(notice, Qt::ElideRight, area.width()));
  }
}

void PingPanel::closeEvent(QCloseEvent* event) {
  if (stopped_) {
    event->accept();
    return;
  }
  event->ignore();
  platform::Message_Box(kCloseRefusedText, "Message Box", platform::MB_OK);
}

}  // namespace ping
