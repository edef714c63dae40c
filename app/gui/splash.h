// The splash window: vek32.bmp from the program directory in a frameless
// window that the mouse drags, closed 2 s after the main window appears.
#pragma once

#include <QPixmap>
#include <QPoint>
#include <QWidget>

class SplashWindow : public QWidget {
 public:
  explicit SplashWindow(const QPixmap& picture);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  QPixmap picture_;
  QPoint grab_;  // where the mouse took hold, relative to the window
};

// The splash window of the program directory's vek32.bmp, shown centred;
// nullptr when the picture cannot be read.
SplashWindow* Show_Splash();
