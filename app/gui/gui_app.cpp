#include "app/gui/gui_app.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <iostream>

#include "app/core/panelset.h"
#include "app/core/progdir.h"
#include "app/core/startup.h"
#include "app/gui/main_window.h"
#include "app/gui/splash.h"
#include "app/gui/stations/main_window_view.h"
#include "app/server/datacopy.h"
#include "app/server/ipc.h"
#include "platform/signals.h"

bool Bring_Other_Instance_Forward(const std::string& socket_path) {
  return Send_Data_Copy(socket_path, Data_Copy_Tag(DC_PING, 0), kComeToFront, 1000) == 1;
}

namespace {

// Saves what the operator sees as PNG files into dir five times a second: the
// main window (main-window.png, and main-window-bars.png while bars show)
// and the first error window (error-window.png).
void Start_Screenshots(MainWindow* window, const QString& dir) {
  QDir().mkpath(dir);
  auto* timer = new QTimer(window);
  QObject::connect(timer, &QTimer::timeout, window, [window, dir] {
    const QPixmap main = window->grab();
    main.save(dir + "/main-window.png");
    if (window->Stations()->Bar_Count() > 0) main.save(dir + "/main-window-bars.png");
    const auto errors = window->Error_Windows();
    if (!errors.empty()) errors.front()->grab().save(dir + "/error-window.png");
  });
  timer->start(200);
}

}  // namespace

int Run_Gui(int argc, char** argv, const GuiOptions& options) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Tarnel");
  QApplication::setApplicationVersion(TARNEL_VERSION);
  if (!options.program_dir.empty() && !Set_Program_Directory(options.program_dir)) {
    std::cerr << "tarnel: program directory " << options.program_dir << " is not a folder that can be used\n";
    return 1;
  }
  Load_Run_Options();
  if (GRunOptions.single_instance &&
      Bring_Other_Instance_Forward(Data_Copy_Socket_Path(Get_Program_Directory(), options.control_socket))) {
    std::cerr << "tarnel: another instance serves " << Get_Program_Directory()
              << " (DUPLICATE=OFF); it was asked to come to the front\n";
    return 0;
  }

  QPointer<SplashWindow> splash = Show_Splash();
  if (!splash) {
    QMessageBox box(QMessageBox::Critical, "Tarnel", "Failed to create Splash Screen");
    box.exec();
  }
  QCoreApplication::processEvents();

  // The bars panel and the station selection windows of the station view
  // library.
  MainWindow window(stations::Make_Station_Panel_View, stations::Select_Stations_For_Main_Window);
  GuiConfig config;
  config.control_socket = options.control_socket;
  config.control_group = options.control_group;
  window.Create(config);
  window.Come_To_Front();
  QTimer::singleShot(2000, [splash] {
    if (splash) splash->close();
  });
  if (!options.screenshot_dir.empty()) Start_Screenshots(&window, QString::fromStdString(options.screenshot_dir));
  // SIGINT and SIGTERM end the program in order, as closing it does.
  const bool watching = platform::Start_Stop_Signal_Watch(&window, WM_GUI_SIGNAL);
  const int status = app.exec();
  if (watching) platform::End_Stop_Signal_Watch();
  return status;
}
