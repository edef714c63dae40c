#include "app/gui/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDate>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStatusBar>
#include <QThread>
#include <QTime>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWhatsThis>

#include <condition_variable>
#include <cstdio>
#include <csignal>
#include <thread>
#include <filesystem>

#include "app/core/devini.h"
#include "app/core/panelset.h"
#include "app/core/progdir.h"
#include "app/core/startup.h"
#include "app/gui/basic_stations.h"
#include "app/gui/forms/command_screen.h"
#include "app/gui/forms/script_editor.h"
#include "app/gui/forms/script_files.h"
#include "app/gui/forms/script_runner.h"
#include "app/gui/icons.h"
#include "app/gui/settings/settings_dialogs.h"
#include "app/server/detail_log.h"
#include "app/server/status_line.h"
#include "channel/mux32.h"
#include "engine/rox32.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "platform/msgbox.h"

namespace {


bool Device_Ini_Exists() {
  std::error_code ec;
  return std::filesystem::is_regular_file(Program_File("device.ini"), ec);
}

// The locale's time form without a time-zone name.
QString Time_Text(const QTime& t) {
  QString format = QLocale::system().timeFormat(QLocale::LongFormat);
  format.remove(QRegularExpression("\\s*t+"));
  return QLocale::system().toString(t, format);
}

}  // namespace

// A message box asked for by another thread: that thread waits on it until
// the operator (or the end of the window) answers.
struct MainWindow::BoxCall {
  std::string text;
  std::string caption;
  unsigned flags = 0;
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  int answer = platform::IDOK;

  void Finish(int a) {
    std::lock_guard<std::mutex> lock(mu);
    if (done) return;
    answer = a;
    done = true;
    cv.notify_all();
  }
};

MainWindow::MainWindow(StationViewFactory view_factory, StationSelector selector)
    : selector_(std::move(selector)), waker_(std::make_shared<Waker>()) {
  setWindowTitle("Tarnel");
  setMinimumSize(590, 350);
  resize(720, 460);
  stations_ = view_factory ? view_factory(this) : Make_Basic_Station_View(this);
  if (!selector_) selector_ = Select_Stations_Basic;

  // Messages queued by other threads wake the event loop once; the pump
  // then handles everything queued by then.
  waker_->window = this;
  std::weak_ptr<Waker> weak = waker_;
  Set_Queue_Hook([weak] {
    const std::shared_ptr<Waker> w = weak.lock();
    if (!w) return;
    std::lock_guard<std::mutex> lock(w->mu);
    if (w->window == nullptr || w->pending.exchange(true)) return;
    QMetaObject::invokeMethod(w->window, "Pump_Platform", Qt::QueuedConnection);
  });
  // The handler may be called on any thread, also while this window goes
  // away: it reaches the window only through the waker and messages.
  platform::Set_Message_Box_Handler(
      [weak, gui = std::this_thread::get_id()](const std::string& text, const std::string& caption, unsigned flags) {
        const std::shared_ptr<Waker> w = weak.lock();
        if (!w) return platform::IDOK;
        MainWindow* window;
        {
          std::lock_guard<std::mutex> lock(w->mu);
          window = w->window;
        }
        if (window == nullptr) return platform::IDOK;
        if (std::this_thread::get_id() == gui) return window->Box(text, caption, flags);
        return Box_From_Other_Thread(window, text, caption, flags);
      });

  Build_Commands();
  message_pane_ = new QLabel(this);
  date_pane_ = new QLabel(this);
  time_pane_ = new QLabel(this);
  message_pane_->setObjectName("messagePane");
  statusBar()->addWidget(message_pane_, 1);
  statusBar()->addPermanentWidget(date_pane_);
  statusBar()->addPermanentWidget(time_pane_);
  clock_ = new QTimer(this);
  connect(clock_, &QTimer::timeout, this, &MainWindow::Tick);
  clock_->start(1000);
  Tick();
  setCentralWidget(new QWidget(this));
  centralWidget()->setAutoFillBackground(true);
}

MainWindow::~MainWindow() {
  {
    std::lock_guard<std::mutex> lock(waker_->mu);
    waker_->window = nullptr;
  }
  Set_Queue_Hook({});
  End_Program(false);
  platform::Set_Message_Box_Handler({});
  // Threads still waiting for a box are let go.
  for (auto& call : open_boxes_) call->Finish(platform::IDOK);
  open_boxes_.clear();
  // The dialogs go while this window's members still exist: their signals
  // reach handlers that use them.
  for (QDialog* d : findChildren<QDialog*>(Qt::FindDirectChildrenOnly)) {
    disconnect(d, nullptr, this, nullptr);
    delete d;
  }
  if (platform::Load(HandleForROXToMainWindow) == this) {
    platform::Store(HandleForROXToMainWindow, static_cast<platform::HWND>(nullptr));
    platform::Store(HandleForTetherToMainWindow, static_cast<platform::HWND>(nullptr));
    platform::Store(HandleForDriverToMainWindow, static_cast<platform::HWND>(nullptr));
  }
  stations_.reset();
}

void MainWindow::Build_Commands() {
  QMenu* script = menuBar()->addMenu("&Script");
  configure_menu_ = menuBar()->addMenu("&Configure");
  QMenu* execute = menuBar()->addMenu("&Execute");
  QMenu* link = execute->addMenu("&LinkManager");
  QMenu* help = menuBar()->addMenu("&Help");
  toolbar_ = addToolBar("Toolbar");
  toolbar_->setObjectName("toolbar");
  toolbar_->setMovable(false);
  toolbar_->setIconSize(QSize(24, 24));
  interface_group_ = new QActionGroup(this);
  interface_group_->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);

  for (const CommandInfo& c : kCommands) {
    auto* a = new QAction(QString::fromUtf8(c.caption), this);
    a->setData(c.id);
    a->setObjectName(QString("command%1").arg(c.id));
    if (*c.accelerator) {
      a->setShortcut(QKeySequence(QString::fromUtf8(c.accelerator)));
      // Only while the main window (or a widget of it, such as the station
      // panel) is active: Esc in a dialog closes the dialog, not the program.
      a->setShortcutContext(Qt::WindowShortcut);
    }
    if (*c.prompt) {
      a->setStatusTip(QString::fromUtf8(c.prompt));
      a->setToolTip(QString::fromUtf8(c.prompt));
    }
    a->setIcon(Command_Icon(c.id));
    connect(a, &QAction::triggered, this, [this, id = c.id] { Run_Command(id); });
    actions_[c.id] = a;
    const std::string menu = c.menu;
    if (menu == "Script") script->addAction(a);
    else if (menu == "Configure") configure_menu_->addAction(a);
    else if (menu == "LinkManager") link->addAction(a);
    else if (menu == "Execute") execute->addAction(a);
    else if (menu == "Help") help->addAction(a);
    else addAction(a);  // accelerator only
    if (c.id == ID_SCRIPT_PRINT || c.id == ID_CONF_TCPIP || c.id == ID_HELP_FINDER) {
      QMenu* m = c.id == ID_SCRIPT_PRINT ? script : c.id == ID_CONF_TCPIP ? configure_menu_ : help;
      m->addSeparator();
    }
    if (c.id == ID_CONF_RS232C || c.id == ID_CONF_SCSI || c.id == ID_CONF_TCPIP) {
      a->setCheckable(true);
      interface_group_->addAction(a);
    }
  }
  for (int id : std::initializer_list<int>{ID_SCRIPT_NEW, ID_SCRIPT_OPEN, ID_SCRIPT_PRINT, 0, ID_LINK_START, ID_LINK_STOP, 0, ID_EXEC_COMMAND,
                 ID_EXEC_SCRIPT, ID_EXEC_ABORT, 0, ID_CONTEXT_HELP}) {
    if (id == 0)
      toolbar_->addSeparator();
    else
      toolbar_->addAction(actions_[id]);
  }
  for (QMenu* m : {script, configure_menu_, execute, link, help})
    connect(m, &QMenu::aboutToShow, this, &MainWindow::Refresh_Commands);
  Refresh_Commands();
}

QAction* MainWindow::Action(int id) const {
  auto it = actions_.find(id);
  return it == actions_.end() ? nullptr : it->second;
}

void MainWindow::Create(const GuiConfig& config) {
  config_ = config;
  // device.ini's absence was shown by its reader; the program runs on.
  Load_Device_And_Panel_Settings();
  Apply_Settings_To_Globals(this);
  if (config.serve_requests) {
    const std::string path = Data_Copy_Socket_Path(Get_Program_Directory(), config.control_socket);
    std::string why;
    // Refused connections are worth a line; the window has no log of its own.
    const int r = data_copy_.Start(
        path, config.control_group, this,
        [](const std::string& line) { std::fprintf(stderr, "tarnel: %s\n", line.c_str()); }, &why);
    if (r < 0) Box("Requests from other programs cannot be served: " + why, "Message Box", platform::MB_ICONWARNING);
  }
  if (GRunOptions.minimize)
    showMinimized();
  else
    show();
  const int type = Interface_Of_If(GDeviceSettings.IF);
  if (type >= 0) Select_Interface(type);
  for (int i = 0; i < 256; ++i) platform::Store(HTInfoAry[i].CheckFlag, 0);
  if (GRunOptions.server) {
    Start_Link_Manager();
    Apply_One_Shot_Mode();
  }
  Refresh_Commands();
}

void MainWindow::Select_Interface(int interface_type) {
  interface_type_ = interface_type;
  for (int id : {ID_CONF_RS232C, ID_CONF_SCSI, ID_CONF_TCPIP})
    actions_[id]->setChecked(id == ID_CONF_RS232C + interface_type);
  stations_->Set_Interface_Type(interface_type);
}

void MainWindow::Refresh_Commands() {
  const CommandEnables e = Evaluate_Enables(flags_, interface_type_, link_running_);
  const bool free = !stopping_;
  actions_[ID_SCRIPT_NEW]->setEnabled(e.new_script && free);
  actions_[ID_SCRIPT_OPEN]->setEnabled(e.open_script && free);
  actions_[ID_SCRIPT_PRINT]->setEnabled(e.print && free);
  actions_[ID_LINK_START]->setEnabled(e.start && free);
  actions_[ID_LINK_STOP]->setEnabled(e.stop && free);
  actions_[ID_EXEC_COMMAND]->setEnabled(e.command && free);
  actions_[ID_EXEC_SCRIPT]->setEnabled(e.script_run && free);
  actions_[ID_EXEC_ABORT]->setEnabled(e.abort && free);
  configure_menu_->setEnabled(e.configure && free);
  for (int id : {ID_CONF_RS232C, ID_CONF_SCSI, ID_CONF_TCPIP, ID_CONF_SET_DEFAULT, ID_CONF_SETTINGS})
    actions_[id]->setEnabled(e.configure && free);
}

void MainWindow::Set_Message(const QString& text) { message_pane_->setText(text); }

QString MainWindow::Message_Text() const { return message_pane_->text(); }

void MainWindow::Tick() {
  date_pane_->setText(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat));
  time_pane_->setText(Time_Text(QTime::currentTime()));
  Refresh_Commands();
}

void MainWindow::Run_Command(int id) {
  // While the stop waits, events flow but commands wait for it to end.
  if (stopping_ || ended_) return;
  QAction* a = Action(id);
  if (a != nullptr && !a->isEnabled() && id != ID_APP_EXIT) return;
  switch (id) {
    case ID_APP_EXIT:
      close();
      break;
    case ID_CONF_RS232C:
    case ID_CONF_SCSI:
    case ID_CONF_TCPIP:
      if (!link_running_) Select_Interface(id - ID_CONF_RS232C);
      break;
    case ID_CONF_SET_DEFAULT:
      Set_As_Default();
      break;
    case ID_CONF_SETTINGS:
      for (int type : {kRs232, kScsi, kTcpip})
        if (Action(ID_CONF_RS232C + type)->isChecked()) Open_Settings_Dialog(type, this);
      break;
    case ID_LINK_START:
      Start_Link_Manager();
      break;
    case ID_LINK_STOP:
      Stop_Link_Manager();
      break;
    case ID_EXEC_ABORT:
      Abort();
      break;
    case ID_SCRIPT_NEW:
    case ID_SCRIPT_OPEN:
      ScriptEditor::Open(this, id == ID_SCRIPT_OPEN);
      break;
    case ID_EXEC_COMMAND:
    case ID_EXEC_SCRIPT:
      if (interface_type_ != kRs232) {
        const SelectionMode mode = id == ID_EXEC_COMMAND ? SelectionMode::kCommand : SelectionMode::kScript;
        if (!selector_(this, mode, interface_type_)) break;
      }
      Open_Form(id);
      break;
    case ID_APP_ABOUT:
      About();
      break;
    case ID_CONTEXT_HELP:
      QWhatsThis::enterWhatsThisMode();
      break;
    case ID_HELP_FINDER:
    case ID_HELP:
      Open_Help(this);
      break;
    default:
      Not_In_This_Build(id);
      break;
  }
  Refresh_Commands();
}

void MainWindow::Open_Form(int id) {
  if (command_screen_) {
    command_screen_(id);
    return;
  }
  // One form at a time: another request brings the open one forward.
  if (form_ && form_->isVisible()) {
    form_->raise();
    form_->activateWindow();
    return;
  }
  FormMessage message = [this](const std::string& text) { Box(text, "Message Box", platform::MB_OK); };
  QDialog* form = id == ID_EXEC_COMMAND
                      ? static_cast<QDialog*>(new CommandScreen(*this, std::move(message), this))
                      : new ScriptRunner(*this, Working_Folder(), std::move(message), this);
  form->setAttribute(Qt::WA_DeleteOnClose);
  form_ = form;
  // OK may have switched commands off or started the link.
  connect(form, &QDialog::finished, this, [this] { Refresh_Commands(); });
  form->open();
}

void MainWindow::Not_In_This_Build(int id) {
  if (command_screen_) {
    command_screen_(id);
    return;
  }
  const CommandInfo* c = Find_Command(id);
  QString name = c ? QString::fromUtf8(c->caption).remove('&') : QString::number(id);
  statusBar()->showMessage(name + ": not part of this build", 5000);
}

void MainWindow::Lay_Out_Ping_Panel() {
  if (interface_type_ != kTcpip || ping_laid_out_) return;
  ping_laid_out_ = true;
  platform::Post_Message(this, WM_LAY_OUT_PING_PANEL, 0, 0);
}

void MainWindow::Command_Flags_Off() {
  flags_.command = false;
  flags_.script_run = false;
}

void MainWindow::Start_Link_Manager() {
  if (stopping_ || closing_) return;
  if (!Device_Ini_Exists()) {
    Box("Device.ini File missing \n Cannot establish communication", "Message Box", platform::MB_OK);
    return;
  }
  if (link_running_) return;
  flags_.new_script = flags_.open_script = flags_.start = flags_.print = false;
  flags_.stop = true;
  flags_.command = flags_.script_run = Command_Flags_At_Start(interface_type_);
  link_running_ = link_started_ = true;
  Refresh_Commands();
  Set_Message(Op_Mode_Text(0));
  stations_->Set_Interface_Type(interface_type_);
  if (interface_type_ == kScsi) Check_For_PowerOn_IOboxes_And_Change_Gscsiscan();
  if (Start_A_Session(Link_Session_Type(interface_type_), Link_Session_Arg(interface_type_)) < 0) {
    Box("Error Starting LinkManager", "Message Box", platform::MB_OK);
    // Nothing runs: the window goes back to its stopped state, so the
    // operator can change the interface and start again.
    link_running_ = link_started_ = false;
    flags_ = CommandFlags{};
  } else {
    Lay_Out_Ping_Panel();
  }
  if (!closing_) Set_Message(" ");
  Refresh_Commands();
}

void MainWindow::Wait_With_Events(const std::function<void()>& wait) {
  platform::Set_Pump_Hook([] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); });
  wait();
  platform::Set_Pump_Hook({});
}

void MainWindow::Stop_Link_Manager() {
  if (!link_started_ || stopping_) return;
  link_running_ = link_started_ = false;
  stopping_ = true;
  Refresh_Commands();
  QDialog* waiting = nullptr;
  if (interface_type_ != kRs232) {
    waiting = new QDialog(this);
    waiting->setObjectName("stopWaiting");
    waiting->setWindowTitle("Aborting ...");
    auto* layout = new QVBoxLayout(waiting);
    layout->addWidget(new QLabel(interface_type_ == kScsi ? "Aborting SCSI Request Blocks . Please Wait   ..."
                                                          : "Now Ending. Please Wait   ...",
                                 waiting));
    waiting->setModal(false);
    waiting->show();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
  // The ping panel stops checking and goes; the next start makes a new one.
  if (ping_panel_ && ping_panel_->Checking()) platform::Send_Message(ping_panel_.data(), ping::WM_PING_STOP, 0, 0);
  int r = 0;
  Wait_With_Events([&] { r = Stop_A_Session(Link_Session_Type(interface_type_), Link_Session_Arg(interface_type_)); });
  delete waiting;
  if (r < 0) Box("Error Stopping LinkManager", "Message Box", platform::MB_OK);
  stations_->Destroy_Panel();
  flags_ = CommandFlags{};
  Clear_Station_Choices();
  stopping_ = false;
  Refresh_Commands();
}

void MainWindow::Abort() {
  if (interface_type_ == kRs232) {
    stations_->Reset_Bar(1);
    Set_Abort_From_GUI(1, 1);
    platform::Store(Info_Of(1).BatchFlag, 0);
    flags_.command = flags_.script_run = true;
    return;
  }
  if (!selector_(this, SelectionMode::kAbort, interface_type_)) return;
  for (int ht = First_Ht(interface_type_); ht <= Last_Ht(interface_type_); ++ht) {
    InfoHT& info = Info_Of(ht);
    if (platform::Load(info.CheckFlag) == 0) continue;
    if (platform::Load(info.BusyFlag) == 1 || platform::Load(info.WaitingGUICommand) == 1)
      Set_Abort_From_GUI(ht, 1);
    else
      Clear_Command_Buffer(ht);
    platform::Store(info.BatchFlag, 0);
    stations_->Reset_Bar(ht);
  }
  flags_.command = flags_.script_run = true;
}

void MainWindow::Set_As_Default() {
  QAction* checked = interface_group_->checkedAction();
  if (checked != nullptr) {
    const char* text = If_Text_Of(checked->data().toInt() - ID_CONF_RS232C);
    std::snprintf(GDeviceSettings.IF, sizeof GDeviceSettings.IF, "%s", text);
  }
  Write_Device_Ini();
}

void MainWindow::About() {
  Box(std::string("Tarnel version ") + TARNEL_VERSION + "\nFile exchange with handheld terminals.", "About Tarnel",
      platform::MB_ICONINFORMATION);
}

void MainWindow::Come_To_Front() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

// --- Messages ---------------------------------------------------------------

void MainWindow::Pump_Platform() {
  waker_->pending.store(false);
  platform::Pump_Messages();
}

void MainWindow::Handle(const platform::Message& m) {
  switch (m.msg) {
    case WM_HT_STATUS:
      On_Status(m.wParam, m.lParam);
      break;
    case WM_ONESHOT_END:
      close();
      break;
    case WM_DATA_COPY: {
      auto* call = reinterpret_cast<DataCopyCall*>(m.lParam);
      call->reply = Handle_Data_Copy(call->tag, call->data.data(), call->data.size(), *this);
      Refresh_Commands();
      break;
    }
    case WM_GUI_SIGNAL:
      if (m.wParam == SIGHUP) break;
      if (stopping_) {
        // Handled inside the stop's wait: once that is over.
        QTimer::singleShot(100, this, [this, m] { platform::Post_Message(this, m.msg, m.wParam, m.lParam); });
        break;
      }
      End_Program(true);
      close();
      break;
    case WM_LAY_OUT_PING_PANEL:
      On_Lay_Out_Ping_Panel();
      break;
    case WM_GUI_MESSAGE_BOX: {
      auto* carrier = reinterpret_cast<std::shared_ptr<BoxCall>*>(m.lParam);
      std::shared_ptr<BoxCall> call = std::move(*carrier);
      delete carrier;
      Show_Box_For(std::move(call));
      break;
    }
    default:
      break;
  }
}

void MainWindow::On_Status(platform::WPARAM ht, platform::LPARAM value) {
  InfoHT info{};
  if (ht >= 1 && ht <= static_cast<platform::WPARAM>(MAX_HT)) info = Snapshot_Of(static_cast<int>(ht));
  else if (ht != 0) return;
  if (ht != 0 && interface_type_ == kTcpip && ping_panel_ && ping_panel_->Checking()) {
    const platform::Message f = ping::Forward_Of_Status(static_cast<int>(ht), info.Mode, info.Index, value);
    platform::Post_Message(ping_panel_.data(), f.msg, f.wParam, f.lParam);
  }
  const StatusMeaning meaning = Status_Meaning(ht, value, info);
  if (meaning.ignore) return;
  const int n = static_cast<int>(ht);
  if (meaning.op_mode != last_op_mode_) Set_Message(Op_Mode_Text(meaning.op_mode));
  if (n != 0) {
    if (meaning.start_bar) stations_->Start_Bar(n, info);
    if (meaning.update_bar) stations_->Update_Bar(n, info);
  }
  if (meaning.error_window) Open_Error_Window(n, info.SNo, Ending_Text(meaning.code));
  if (meaning.reset_bar && n != 0) stations_->Reset_Bar(n);
  last_op_mode_ = meaning.op_mode;
  Refresh_Commands();
}

// --- Error windows ----------------------------------------------------------

void MainWindow::Open_Error_Window(int ht, int session, const std::string& text) {
  const int slot = error_slots_.Open();
  if (slot < 0) return;
  const bool more = slot == ErrorSlots::kMoreErrorsSlot;
  const std::string message = more ? kMoreErrorsText : text;
  auto* w = new QDialog(this, Qt::Dialog);
  w->setObjectName(QString("errorWindow%1").arg(slot));
  w->setAttribute(Qt::WA_DeleteOnClose);
  w->setWindowTitle(QString::fromStdString(more ? "Message Box" : Error_Window_Title(ht, session, interface_type_)));
  auto* layout = new QVBoxLayout(w);
  auto* label = new QLabel(QString::fromStdString(message), w);
  label->setObjectName("errorText");
  layout->addWidget(label);
  auto* ok = new QPushButton("OK", w);
  ok->setDefault(true);
  layout->addWidget(ok, 0, Qt::AlignHCenter);
  connect(ok, &QPushButton::clicked, w, &QDialog::close);
  connect(w, &QObject::destroyed, this, [this, slot] {
    error_windows_[slot] = nullptr;
    error_slots_.Close(slot);
  });
  error_windows_[slot] = w;
  w->setMinimumWidth(300);
  w->adjustSize();
  w->show();
  Place_Error_Windows();
  if (GPanelSettings.detail_log == 1) Log_Error_Window(Detail_Log_Path(), more ? 0 : ht, message.c_str());
}

void MainWindow::Place_Error_Windows() {
  const QPoint origin = mapToGlobal(QPoint(20, toolbar_->geometry().bottom() + 1));
  for (int i = 0; i < ErrorSlots::kSlots; ++i)
    if (error_windows_[i]) error_windows_[i]->move(origin + QPoint(0, 20 * i));
}

// --- Ping panel ---------------------------------------------------------------

void MainWindow::On_Lay_Out_Ping_Panel() {
  // A start that failed, or a stop that came before this message, leaves
  // nothing to lay out; the next start posts it again.
  if (!link_running_ || interface_type_ != kTcpip) {
    if (!ping_panel_) ping_laid_out_ = false;
    return;
  }
  if (!ping_panel_) {
    ping_panel_ = new ping::PingPanel(ping::Ping_Backend(), this);
    ping_panel_->Set_Stop_Hook([this] {
      ping_laid_out_ = false;
      ping_panel_ = nullptr;
    });
    ping_panel_->Set_Ping_Pass_End_Hook([this] {
      for (QDialog* d : Error_Windows()) d->raise();
    });
  }
  const int need = ping::Fitting_Main_Height(ping_panel_->Model().Shape().rows, GPanelSettings.bar_height,
                                             GPanelSettings.num_of_bar);
  if (GPanelSettings.main_win_height_fix == 0 && !isMinimized() && !isMaximized() && height() < need)
    resize(width(), need);
  Place_Ping_Panel();
  ping_panel_->show();
  ping_panel_->raise();
}

void MainWindow::Place_Ping_Panel() {
  if (!ping_panel_) return;
  const QRect bar = toolbar_->geometry();
  const stations::Rect r = ping::Place_Ping_Panel(width(), bar.y() + bar.height(), statusBar()->geometry().top(),
                                                  GPanelSettings.bar_height, GPanelSettings.num_of_bar);
  ping_panel_->setGeometry(r.left, r.top, r.Width(), r.Height());
}

std::vector<QDialog*> MainWindow::Error_Windows() const {
  std::vector<QDialog*> out;
  for (const auto& w : error_windows_)
    if (w) out.push_back(w.data());
  return out;
}

void MainWindow::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  Place_Error_Windows();
  Place_Ping_Panel();
  stations_->Layout_Panel();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  Place_Error_Windows();
  Place_Ping_Panel();
  stations_->Layout_Panel();
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) stations_->Layout_Panel();
}

// --- Message boxes ----------------------------------------------------------

int MainWindow::Box(const std::string& text, const std::string& caption, unsigned flags) {
  if (box_answer_) return box_answer_(text, caption, flags);
  QMessageBox box(this);
  box.setWindowTitle(QString::fromStdString(caption));
  box.setText(QString::fromStdString(text));
  switch (flags & 0xF0) {
    case platform::MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
    case platform::MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case platform::MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
    case platform::MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: break;
  }
  switch (flags & 0x0F) {
    case platform::MB_YESNO:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      return box.exec() == QMessageBox::Yes ? platform::IDYES : platform::IDNO;
    case platform::MB_OKCANCEL:
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      return box.exec() == QMessageBox::Ok ? platform::IDOK : platform::IDCANCEL;
    default:
      box.setStandardButtons(QMessageBox::Ok);
      box.exec();
      return platform::IDOK;
  }
}

int MainWindow::Box_From_Other_Thread(platform::HWND window, const std::string& text, const std::string& caption,
                                      unsigned flags) {
  auto call = std::make_shared<BoxCall>();
  call->text = text;
  call->caption = caption;
  call->flags = flags;
  auto* carrier = new std::shared_ptr<BoxCall>(call);
  if (!platform::Send_Message(window, WM_GUI_MESSAGE_BOX, 0, reinterpret_cast<platform::LPARAM>(carrier))) {
    // The window is gone (or going): nobody can answer.
    delete carrier;
    return platform::IDOK;
  }
  std::unique_lock<std::mutex> lock(call->mu);
  call->cv.wait(lock, [&] { return call->done; });
  return call->answer;
}

void MainWindow::Show_Box_For(std::shared_ptr<BoxCall> call) {
  if (box_answer_) {
    call->Finish(box_answer_(call->text, call->caption, call->flags));
    return;
  }
  // Shown without a loop of its own: this thread goes on with its events
  // while the asking thread waits for the answer.
  auto* box = new QMessageBox(this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  box->setWindowTitle(QString::fromStdString(call->caption));
  box->setText(QString::fromStdString(call->text));
  const bool yes_no = (call->flags & 0x0F) == platform::MB_YESNO;
  box->setStandardButtons(yes_no ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
  box->setIcon((call->flags & 0xF0) == platform::MB_ICONERROR ? QMessageBox::Critical : QMessageBox::Information);
  open_boxes_.push_back(call);
  connect(box, &QMessageBox::finished, this, [this, call, yes_no](int result) {
    int answer = platform::IDOK;
    if (yes_no) answer = result == QMessageBox::Yes ? platform::IDYES : platform::IDNO;
    call->Finish(answer);
    std::erase(open_boxes_, call);
  });
  box->show();
}

// --- Ending -----------------------------------------------------------------

void MainWindow::closeEvent(QCloseEvent* event) {
  if (stopping_) {
    event->ignore();
    return;
  }
  if (!ended_) {
    if (platform::Load(OneShotMode) == 0 &&
        Box("Do you want to close the application ?", "Exit Application",
            platform::MB_YESNO | platform::MB_ICONQUESTION) != platform::IDYES) {
      event->ignore();
      return;
    }
    End_Program(true);
  }
  event->accept();
}

void MainWindow::End_Program(bool with_events) {
  if (ended_) return;
  closing_ = true;
  if (link_started_) Stop_Link_Manager();
  stations_->Reset_Bar(1);
  // Engines that sat idle through the stop end too, so no thread is left.
  if (with_events)
    Wait_With_Events([this] { End_Remaining_Sessions(config_.end_wait_ms); });
  else
    End_Remaining_Sessions(config_.end_wait_ms);
  data_copy_.Stop();
  for (auto& call : open_boxes_) call->Finish(platform::IDOK);
  ended_ = true;
}
