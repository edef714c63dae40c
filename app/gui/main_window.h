// The operator's main window "Tarnel": menus, accelerators, toolbar and
// status bar of the command table, Start/Stop Link Manager, Abort, Exit,
// the notifications of the engines and the link manager (1029, 1031),
// error windows, message boxes raised by any thread, and data-copy
// requests from other programs.
//
// Threads: construct it and call everything on the GUI thread. It is the
// platform message target of the libraries (HandleFor...ToMainWindow):
// messages queued from other threads wake the Qt event loop, which pumps
// them on this thread; engines that send 1029 wait meanwhile. Message
// boxes of other threads are shown here without blocking this thread and
// block only their caller until the operator answers. While Stop Link
// Manager waits for the engines, Qt's events keep flowing (the commands
// are refused then) so that notifications, boxes and painting go on.
#pragma once

#include <QMainWindow>
#include <QPointer>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/gui/forms/command_form.h"
#include "app/gui/ping/ping_panel.h"
#include "app/gui/shell_rules.h"
#include "app/gui/station_view.h"
#include "app/server/datacopy.h"
#include "app/server/ipc.h"
#include "platform/window.h"

class QAction;
class QActionGroup;
class QDialog;
class QLabel;
class QMenu;
class QTimer;
class QToolBar;

struct GuiConfig {
  std::string control_socket;     // data-copy socket; empty: the default of the program directory
  std::string control_group;      // group that may hand in requests too
  bool serve_requests = true;     // serve the data-copy socket
  std::uint32_t end_wait_ms = 30000;  // how long idle sessions may take to end at exit
};

// Message numbers of the window's own target.
constexpr platform::UINT WM_GUI_MESSAGE_BOX = platform::WM_USER + 90;
// A stop signal (wParam SIGINT or SIGTERM): the program ends in order
// without asking.
constexpr platform::UINT WM_GUI_SIGNAL = platform::WM_USER + 91;
// Lays out the ping panel (TCP/IP), posted by Lay_Out_Ping_Panel.
constexpr platform::UINT WM_LAY_OUT_PING_PANEL = platform::WM_USER + 22;  // 1046

class MainWindow : public QMainWindow,
                   public platform::MessageTarget,
                   public DataCopyHost,
                   public FormHost {
  Q_OBJECT

 public:
  // Station view and selection default to basic_stations.h.
  explicit MainWindow(StationViewFactory view_factory = {}, StationSelector selector = {});
  ~MainWindow() override;

  // Creating the main window, after the run options were loaded:
  // device.ini and panelset.ini, the libraries' globals, the data-copy
  // socket, the interface IF names, and in server mode the Link Manager.
  // Shows the window (minimised with MINIMIZE=ON).
  void Create(const GuiConfig& config);

  // Runs a command as its menu item, accelerator or toolbar button does.
  void Run_Command(int id);
  QAction* Action(int id) const;
  // Evaluates the enable rules into the actions (also done on every
  // notification, command, menu opening and clock tick).
  void Refresh_Commands();

  int Interface_Type() const override { return interface_type_; }
  bool Link_Manager_Running() const override { return link_running_; }
  void Command_Flags_Off() override;
  void Start_Link_Manager() override;
  void Come_To_Front() override;
  // TCP/IP: unless the ping panel is laid out, posts WM_LAY_OUT_PING_PANEL
  // to this window and marks the panel laid out.
  void Lay_Out_Ping_Panel() override;
  bool Ping_Panel_Laid_Out() const { return ping_laid_out_; }
  // The ping panel while it exists (TCP/IP, from 1046 until Stop).
  ping::PingPanel* Ping_Panel() const { return ping_panel_.data(); }
  void Stop_Link_Manager();

  // The message target.
  void Handle(const platform::Message& m) override;

  // What the operator sees, for tests and screenshots.
  QString Message_Text() const;
  int Error_Window_Count() const { return error_slots_.Count(); }
  std::vector<QDialog*> Error_Windows() const;
  StationView* Stations() const { return stations_.get(); }
  QToolBar* Tool_Bar() const { return toolbar_; }
  const CommandFlags& Flags() const { return flags_; }

  // Answers message boxes instead of showing them (tests): boxes of this
  // thread and of other threads go to answer. Empty: show them.
  using BoxAnswer = std::function<int(const std::string& text, const std::string& caption, unsigned flags)>;
  void Set_Box_Answer(BoxAnswer answer) { box_answer_ = std::move(answer); }

  // Replaces what the Command screen and script commands open (gets the
  // command id). Empty: the Command screen and the script runner, and a
  // status-bar note for what this build lacks.
  void Set_Command_Screen(std::function<void(int)> open) { command_screen_ = std::move(open); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private slots:
  void Pump_Platform();
  void Tick();

 private:
  struct BoxCall;
  void Build_Commands();
  void Select_Interface(int interface_type);
  void Set_Message(const QString& text);
  void On_Status(platform::WPARAM ht, platform::LPARAM value);
  void Open_Error_Window(int ht, int session, const std::string& text);
  void Place_Error_Windows();
  // 1046: creates the ping panel, makes the window high enough for its grid
  // (unless MAINWINHEIGHTFIX) and places it.
  void On_Lay_Out_Ping_Panel();
  void Place_Ping_Panel();
  void Abort();
  void Set_As_Default();
  void About();
  // Opens the Command screen (ID_EXEC_COMMAND) or the script runner
  // (ID_EXEC_SCRIPT) over this window; OK hands the line to the chosen
  // stations.
  void Open_Form(int id);
  void Not_In_This_Build(int id);
  int Box(const std::string& text, const std::string& caption, unsigned flags);
  // A box asked for by another thread: shown by the window's thread, the
  // caller waits for the answer (IDOK when the window goes first).
  static int Box_From_Other_Thread(platform::HWND window, const std::string& text, const std::string& caption,
                                   unsigned flags);
  void Show_Box_For(std::shared_ptr<BoxCall> call);
  // Runs wait with Qt's events flowing while the libraries pump messages.
  void Wait_With_Events(const std::function<void()>& wait);
  // Stops the link, ends the idle sessions and the data-copy socket; with
  // events, Qt's events flow meanwhile (not from the destructor).
  void End_Program(bool with_events);

  GuiConfig config_;
  CommandFlags flags_;
  int interface_type_ = kRs232;
  bool link_running_ = false;
  bool link_started_ = false;
  bool stopping_ = false;
  bool ping_laid_out_ = false;
  bool closing_ = false;
  bool ended_ = false;
  int last_op_mode_ = -1;  // none seen yet
  std::map<int, QAction*> actions_;
  QActionGroup* interface_group_ = nullptr;
  QMenu* configure_menu_ = nullptr;
  QToolBar* toolbar_ = nullptr;
  QLabel* message_pane_ = nullptr;
  QLabel* date_pane_ = nullptr;
  QLabel* time_pane_ = nullptr;
  QTimer* clock_ = nullptr;
  ErrorSlots error_slots_;
  std::array<QPointer<QDialog>, ErrorSlots::kSlots> error_windows_{};
  std::unique_ptr<StationView> stations_;
  QPointer<ping::PingPanel> ping_panel_;
  StationSelector selector_;
  std::function<void(int)> command_screen_;
  QPointer<QDialog> form_;  // the Command screen or script runner while open
  BoxAnswer box_answer_;
  std::vector<std::shared_ptr<BoxCall>> open_boxes_;
  // Lets other threads wake the event loop while this window lives.
  struct Waker {
    std::mutex mu;
    MainWindow* window = nullptr;
    std::atomic<bool> pending{false};
  };
  std::shared_ptr<Waker> waker_;
  DataCopyServer data_copy_;
};
