#include "app/gui/splash.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include "app/core/progdir.h"

SplashWindow::SplashWindow(const QPixmap& picture) : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint),
                                                     picture_(picture) {
  setObjectName("splash");
  setFixedSize(picture_.size());
  setAttribute(Qt::WA_DeleteOnClose);
}

void SplashWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawPixmap(0, 0, picture_);
}

void SplashWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) grab_ = event->position().toPoint();
}

void SplashWindow::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() & Qt::LeftButton) move(event->globalPosition().toPoint() - grab_);
}

SplashWindow* Show_Splash() {
  QPixmap picture;
  if (!picture.load(QString::fromStdString(Program_File("vek32.bmp")), "BMP") || picture.isNull()) return nullptr;
  auto* splash = new SplashWindow(picture);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    splash->move(screen->availableGeometry().center() - QPoint(picture.width() / 2, picture.height() / 2));
  splash->show();
  return splash;
}
