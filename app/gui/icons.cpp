#include "app/gui/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "app/gui/shell_rules.h"

namespace {

// A 24 x 24 page with a folded corner.
void Page(QPainter& p) {
  QPainterPath page;
  page.moveTo(5, 2);
  page.lineTo(15, 2);
  page.lineTo(19, 6);
  page.lineTo(19, 22);
  page.lineTo(5, 22);
  page.closeSubpath();
  p.setPen(QPen(QColor(60, 60, 60), 1.2));
  p.setBrush(Qt::white);
  p.drawPath(page);
  p.drawLine(QPointF(15, 2), QPointF(15, 6));
  p.drawLine(QPointF(15, 6), QPointF(19, 6));
}

void Lines(QPainter& p) {
  p.setPen(QPen(QColor(120, 120, 120), 1));
  for (int y = 10; y <= 18; y += 3) p.drawLine(8, y, 16, y);
}

}  // namespace

QIcon Command_Icon(int id) {
  QPixmap pm(24, 24);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  switch (id) {
    case ID_SCRIPT_NEW:
      Page(p);
      p.setPen(QPen(QColor(30, 140, 30), 2.4));
      p.drawLine(QPointF(12, 11), QPointF(12, 19));
      p.drawLine(QPointF(8, 15), QPointF(16, 15));
      break;
    case ID_SCRIPT_OPEN:
      p.setPen(QPen(QColor(120, 90, 20), 1.2));
      p.setBrush(QColor(240, 200, 90));
      p.drawRect(QRectF(2, 7, 18, 13));
      p.setBrush(QColor(250, 220, 120));
      p.drawPolygon(QPolygonF({QPointF(5, 11), QPointF(23, 11), QPointF(20, 20), QPointF(2, 20)}));
      break;
    case ID_SCRIPT_PRINT:
      p.setPen(QPen(QColor(60, 60, 60), 1.2));
      p.setBrush(Qt::white);
      p.drawRect(QRectF(7, 3, 10, 8));
      p.setBrush(QColor(170, 170, 170));
      p.drawRoundedRect(QRectF(3, 10, 18, 8), 2, 2);
      p.setBrush(Qt::white);
      p.drawRect(QRectF(7, 15, 10, 6));
      break;
    case ID_LINK_START:
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(30, 150, 50));
      p.drawPolygon(QPolygonF({QPointF(6, 3), QPointF(21, 12), QPointF(6, 21)}));
      break;
    case ID_LINK_STOP:
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(190, 40, 40));
      p.drawRoundedRect(QRectF(5, 5, 14, 14), 2, 2);
      break;
    case ID_EXEC_COMMAND:
      p.setPen(QPen(QColor(40, 40, 40), 1.2));
      p.setBrush(QColor(30, 30, 60));
      p.drawRoundedRect(QRectF(2, 4, 20, 16), 2, 2);
      p.setPen(QPen(QColor(120, 230, 120), 1.8));
      p.drawPolyline(QPolygonF({QPointF(5, 9), QPointF(9, 12), QPointF(5, 15)}));
      p.drawLine(QPointF(11, 16), QPointF(17, 16));
      break;
    case ID_EXEC_SCRIPT:
      Page(p);
      Lines(p);
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(30, 150, 50));
      p.drawPolygon(QPolygonF({QPointF(13, 13), QPointF(22, 18), QPointF(13, 23)}));
      break;
    case ID_EXEC_ABORT:
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(200, 50, 40));
      p.drawEllipse(QRectF(3, 3, 18, 18));
      p.setPen(QPen(Qt::white, 2.4));
      p.drawLine(QPointF(8, 8), QPointF(16, 16));
      p.drawLine(QPointF(16, 8), QPointF(8, 16));
      break;
    case ID_CONTEXT_HELP:
      p.setPen(QPen(QColor(20, 20, 20), 1));
      p.setBrush(Qt::white);
      p.drawPolygon(QPolygonF({QPointF(3, 2), QPointF(3, 17), QPointF(7, 13), QPointF(10, 20), QPointF(12, 19),
                               QPointF(9, 12), QPointF(14, 12)}));
      p.setPen(QPen(QColor(30, 60, 170), 1));
      {
        QFont f = p.font();
        f.setPixelSize(13);
        f.setBold(true);
        p.setFont(f);
      }
      p.drawText(QRectF(13, 2, 11, 14), Qt::AlignCenter, "?");
      break;
    default:
      return QIcon();
  }
  p.end();
  return QIcon(pm);
}
