// The main window: its commands, enable rules, start and stop, and what a
// status notification changes.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QToolBar>

#include "app/core/devini.h"
#include "app/gui/tests/gui_fixture.h"
#include "linkman/tether32.h"

namespace {

using gui_test::GuiTest;

class MainWindowTest : public GuiTest {};

TEST_F(MainWindowTest, EveryCommandHasItsIdCaptionAcceleratorAndPrompt) {
  Device_Ini("RS232C");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  EXPECT_EQ(w.windowTitle(), "Tarnel");
  EXPECT_EQ(w.minimumSize(), QSize(590, 350));
  struct Expect {
    int id;
    const char* caption;
    const char* key;
    const char* prompt;
  };
  for (const Expect& e : std::initializer_list<Expect>{
           {32771, "&New", "Ctrl+N", "Creates a new script  file"},
           {32772, "&Open", "Ctrl+O", "Opens an existing script file"},
           {32773, "&Print", "Ctrl+P", "Prints Script File"},
           {32774, "E&xit", "Esc", "Quits the application ..."},
           {32778, "Set As &Default", "Ctrl+F", "Saves the current Interface as Default"},
           {32779, "S&ettings", "Ctrl+G", "Settings(depending on the above check)"},
           {32808, "Star&t Link Manager", "", "Starts Link Manager"},
           {32809, "Sto&p Link Manager", "", "Stops Link Manager"},
           {32810, "&Command", "Ctrl+M", "Execute a Command"},
           {32811, "&Script File", "Ctrl+S", "Executes a Script File"},
           {32812, "&Abort", "Pause", "Abort Selected Sessions"},
           {57667, "&Help Topics", "", "List Help topics"},
           {57670, "", "F1", ""},
           {57669, "", "Shift+F1", ""},
       }) {
    QAction* a = w.Action(e.id);
    ASSERT_NE(a, nullptr) << e.id;
    EXPECT_EQ(a->text(), e.caption) << e.id;
    EXPECT_EQ(a->shortcut(), QKeySequence(e.key)) << e.id;
    EXPECT_EQ(a->statusTip(), e.prompt) << e.id;
  }
  // The toolbar carries the commands the table marks, in its order.
  QList<int> ids;
  for (QAction* a : w.Tool_Bar()->actions())
    if (!a->isSeparator()) ids << a->data().toInt();
  EXPECT_EQ(ids, (QList<int>{32771, 32772, 32773, 32808, 32809, 32810, 32811, 32812, 57669}));
}

TEST_F(MainWindowTest, IfNamesTheInterfaceIgnoringCaseAndAnUnknownOneChecksNone) {
  for (const auto& [text, id] : std::vector<std::pair<std::string, int>>{
           {"Ethernet", ID_CONF_TCPIP}, {"scsi", ID_CONF_SCSI}, {"RS232c", ID_CONF_RS232C}}) {
    Device_Ini(text);
    Panelset_Ini();
    MainWindow& w = Open_Window();
    EXPECT_EQ(w.Interface_Type(), id - ID_CONF_RS232C) << text;
    for (int other : {ID_CONF_RS232C, ID_CONF_SCSI, ID_CONF_TCPIP})
      EXPECT_EQ(w.Action(other)->isChecked(), other == id) << text << " " << other;
    window_.reset();
  }
  Device_Ini("USB");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  EXPECT_EQ(w.Interface_Type(), 0);
  for (int id : {ID_CONF_RS232C, ID_CONF_SCSI, ID_CONF_TCPIP}) EXPECT_FALSE(w.Action(id)->isChecked());
}

TEST_F(MainWindowTest, EnableRulesFollowStartStopAndBusyTerminals) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  auto on = [&w](int id) { return w.Action(id)->isEnabled(); };
  // Stopped.
  EXPECT_TRUE(on(ID_SCRIPT_NEW));
  EXPECT_TRUE(on(ID_SCRIPT_OPEN));
  EXPECT_FALSE(on(ID_SCRIPT_PRINT));
  EXPECT_TRUE(on(ID_LINK_START));
  EXPECT_FALSE(on(ID_LINK_STOP));
  EXPECT_TRUE(on(ID_EXEC_COMMAND));
  EXPECT_FALSE(on(ID_EXEC_ABORT));
  EXPECT_TRUE(on(ID_CONF_TCPIP));

  w.Run_Command(ID_LINK_START);
  ASSERT_TRUE(w.Link_Manager_Running()) << (answered_.empty() ? "" : answered_.front());
  EXPECT_EQ(Session_Running(LINK_TCPIP), 1);
  EXPECT_FALSE(on(ID_SCRIPT_NEW));
  EXPECT_FALSE(on(ID_SCRIPT_OPEN));
  EXPECT_FALSE(on(ID_SCRIPT_PRINT));
  EXPECT_FALSE(on(ID_LINK_START));
  EXPECT_TRUE(on(ID_LINK_STOP));
  EXPECT_TRUE(on(ID_EXEC_COMMAND));
  EXPECT_FALSE(on(ID_EXEC_ABORT));
  EXPECT_FALSE(on(ID_CONF_RS232C));
  EXPECT_FALSE(on(ID_CONF_SET_DEFAULT));
  // Selecting another interface while the link runs changes nothing.
  w.Run_Command(ID_CONF_RS232C);
  EXPECT_EQ(w.Interface_Type(), kTcpip);

  // A busy HT of the range enables Abort; on TCP/IP Command stays on.
  platform::Store(Info_Of(200).BusyFlag, 1);
  w.Refresh_Commands();
  EXPECT_TRUE(on(ID_EXEC_ABORT));
  EXPECT_TRUE(on(ID_EXEC_COMMAND));
  platform::Store(Info_Of(200).BusyFlag, 0);
  platform::Store(Info_Of(3).BatchFlag, 1);
  w.Refresh_Commands();
  EXPECT_TRUE(on(ID_EXEC_ABORT));

  w.Run_Command(ID_LINK_STOP);
  EXPECT_FALSE(w.Link_Manager_Running());
  EXPECT_EQ(Session_Running(LINK_TCPIP), 0);
  EXPECT_EQ(platform::Load(Info_Of(3).BatchFlag), 0);  // cleared by the stop
  EXPECT_TRUE(on(ID_SCRIPT_NEW));
  EXPECT_TRUE(on(ID_LINK_START));
  EXPECT_FALSE(on(ID_LINK_STOP));
  EXPECT_FALSE(on(ID_SCRIPT_PRINT));
  EXPECT_TRUE(on(ID_CONF_RS232C));
  EXPECT_TRUE(answered_.empty()) << answered_.front();
}

TEST_F(MainWindowTest, OnRs232cABusyTerminalDisablesCommandAndScriptAndEnablesAbort) {
  Device_Ini("RS232C");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  platform::Store(Info_Of(1).BusyFlag, 1);
  w.Refresh_Commands();
  EXPECT_FALSE(w.Action(ID_EXEC_COMMAND)->isEnabled());
  EXPECT_FALSE(w.Action(ID_EXEC_SCRIPT)->isEnabled());
  EXPECT_TRUE(w.Action(ID_EXEC_ABORT)->isEnabled());
  // Abort on RS-232C asks HT 1's engine to stop.
  w.Run_Command(ID_EXEC_ABORT);
  EXPECT_EQ(platform::Load(Info_Of(1).AbortFromGUI), 1);
}

TEST_F(MainWindowTest, StartWithoutDeviceIniSaysSoAndStaysStopped) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  std::filesystem::remove(dir_ / "device.ini");
  w.Run_Command(ID_LINK_START);
  EXPECT_FALSE(w.Link_Manager_Running());
  ASSERT_EQ(answered_.size(), 1u);
  EXPECT_EQ(answered_[0], "Message Box: Device.ini File missing \n Cannot establish communication");
  EXPECT_TRUE(w.Action(ID_LINK_START)->isEnabled());
}

TEST_F(MainWindowTest, FailedStartReturnsToTheStoppedState) {
  // A port that is taken: the bind fails.
  Device_Ini("ETHERNET");
  Panelset_Ini();
  const int s = platform::Tcp_Socket_Open();
  ASSERT_EQ(platform::Socket_Bind(s, "127.0.0.1", static_cast<std::uint16_t>(port_)), platform::SOCKET_OK);
  platform::Socket_Listen(s, 1);
  MainWindow& w = Open_Window();
  w.Run_Command(ID_LINK_START);
  platform::Socket_Close(s);
  EXPECT_FALSE(w.Link_Manager_Running());
  EXPECT_NE(std::find(answered_.begin(), answered_.end(), "Message Box: Error Starting LinkManager"), answered_.end());
  EXPECT_TRUE(w.Action(ID_LINK_START)->isEnabled());
  EXPECT_FALSE(w.Action(ID_LINK_STOP)->isEnabled());
  EXPECT_TRUE(w.Action(ID_CONF_TCPIP)->isEnabled());
}

TEST_F(MainWindowTest, ServerModeStartsTheLinkAndOneShotModeFollows) {
  Device_Ini("ETHERNET");
  Panelset_Ini("SERVER=ON\r\n1SHOT=ON\r\n");
  MainWindow& w = Open_Window();
  EXPECT_TRUE(w.Link_Manager_Running());
  EXPECT_EQ(platform::Load(OneShotMode), 1);
  // The start leaves a single blank in the message pane.
  EXPECT_EQ(w.Message_Text(), " ");
}

TEST_F(MainWindowTest, SetAsDefaultWritesTheCheckedInterface) {
  Device_Ini("RS232C");
  Panelset_Ini();
  MainWindow& w = Open_Window();
  w.Run_Command(ID_CONF_SCSI);
  w.Run_Command(ID_CONF_SET_DEFAULT);
  const std::string text = Read_File("device.ini");
  EXPECT_EQ(text.rfind("IF=SCSI\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("PORTNO=" + std::to_string(port_) + "\r\n"), std::string::npos);
}

TEST_F(MainWindowTest, ExitAsksAndNoMeansTheWindowStays) {
  Device_Ini("ETHERNET");
  Panelset_Ini("SERVER=ON\r\n1SHOT=OFF\r\n");
  MainWindow& w = Open_Window();
  box_reply_ = platform::IDNO;
  w.Run_Command(ID_APP_EXIT);
  ASSERT_EQ(answered_.size(), 1u);
  EXPECT_EQ(answered_[0], "Exit Application: Do you want to close the application ?");
  EXPECT_TRUE(w.isVisible());
  EXPECT_TRUE(w.Link_Manager_Running());
  box_reply_ = platform::IDYES;
  w.Run_Command(ID_APP_EXIT);
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(Session_Running(LINK_TCPIP), 0);
}

TEST_F(MainWindowTest, OneShotCloseAsksNoQuestion) {
  Device_Ini("ETHERNET");
  Panelset_Ini("SERVER=ON\r\n1SHOT=ON\r\n");
  MainWindow& w = Open_Window();
  ASSERT_EQ(platform::Load(OneShotMode), 1);
  w.close();
  EXPECT_TRUE(answered_.empty()) << answered_.front();
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(Session_Running(LINK_TCPIP), 0);
}

TEST_F(MainWindowTest, OneShotEndNotificationClosesTheWindow) {
  Device_Ini("RS232C");
  Panelset_Ini("SERVER=OFF\r\n1SHOT=ON\r\n");
  MainWindow& w = Open_Window();
  platform::Store(OneShotMode, 1);
  platform::Post_Message(&w, WM_ONESHOT_END, 0, 0);
  EXPECT_TRUE(Spin_Until([&] { return !w.isVisible(); }));
  EXPECT_TRUE(answered_.empty());
}

}  // namespace

namespace {

TEST_F(MainWindowTest, StopShowsTheWaitingWindowWhileItWaits) {
  Device_Ini("ETHERNET");
  Panelset_Ini("SERVER=ON\r\n1SHOT=OFF\r\n");
  MainWindow& w = Open_Window();
  ASSERT_TRUE(w.Link_Manager_Running());
  QString seen_title;
  QString seen_text;
  bool start_enabled_meanwhile = true;
  // Runs inside the stop, while it waits.
  QTimer::singleShot(0, [&] {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (top->objectName() == "stopWaiting" && top->isVisible()) {
        seen_title = top->windowTitle();
        seen_text = top->findChild<QLabel*>()->text();
      }
    }
    start_enabled_meanwhile = w.Action(ID_LINK_START)->isEnabled();
    w.Run_Command(ID_LINK_START);  // refused while the stop runs
  });
  w.Run_Command(ID_LINK_STOP);
  EXPECT_EQ(seen_title, "Aborting ...");
  EXPECT_EQ(seen_text, "Now Ending. Please Wait   ...");
  EXPECT_FALSE(start_enabled_meanwhile);
  EXPECT_FALSE(w.Link_Manager_Running());
  EXPECT_EQ(Session_Running(LINK_TCPIP), 0);
  for (QWidget* top : QApplication::topLevelWidgets()) EXPECT_NE(top->objectName(), "stopWaiting");
}

TEST_F(MainWindowTest, MinimizeStartsMinimisedAndAboutNamesTheVersion) {
  Device_Ini("RS232C");
  Write_File("panelset.ini", "[CODE]\r\n-1=0\r\n[MODE]\r\nMINIMIZE=ON\r\nSERVER=OFF\r\n1SHOT=OFF\r\n"
                             "COMMAND_TIMEOUT=0\r\nDUPLICATE=ON\r\nCHILD_THROUGH=OFF\r\n");
  MainWindow& w = Open_Window();
  EXPECT_TRUE(w.isMinimized());
  w.Run_Command(ID_APP_ABOUT);
  ASSERT_EQ(answered_.size(), 1u);
  EXPECT_EQ(answered_[0].rfind("About Tarnel: Tarnel version ", 0), 0u) << answered_[0];
}

}  // namespace

namespace {

TEST_F(MainWindowTest, AbortEndsBusyChosenStationsAndTakesBackCommandsOfTheOthers) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  std::vector<SelectionMode> asked;
  bool choose = true;
  MainWindow& w = Open_Window([&](QWidget*, SelectionMode mode, int interface_type) {
    asked.push_back(mode);
    EXPECT_EQ(interface_type, kTcpip);
    if (!choose) return false;
    for (int ht : {3, 4, 5}) platform::Store(Info_Of(ht).CheckFlag, 1);
    return true;
  });
  platform::Store(Info_Of(3).BusyFlag, 1);            // transferring
  platform::Store(Info_Of(4).WaitingGUICommand, 1);   // idle, waiting for a command
  platform::Store(Info_Of(5).BatchFlag, 1);           // a command waits in its slot
  ASSERT_TRUE(Write_Command_Buffer(5, "/S C:\\A.DAT A:\\"));
  platform::Store(Info_Of(6).BusyFlag, 1);            // busy, not chosen
  w.Refresh_Commands();
  ASSERT_TRUE(w.Action(ID_EXEC_ABORT)->isEnabled());

  choose = false;  // Cancel changes nothing
  w.Run_Command(ID_EXEC_ABORT);
  EXPECT_EQ(platform::Load(Info_Of(3).AbortFromGUI), 0);
  EXPECT_EQ(platform::Load(Info_Of(5).BatchFlag), 1);

  choose = true;
  w.Run_Command(ID_EXEC_ABORT);
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[1], SelectionMode::kAbort);
  EXPECT_EQ(platform::Load(Info_Of(3).AbortFromGUI), 1);
  EXPECT_EQ(platform::Load(Info_Of(4).AbortFromGUI), 1);
  EXPECT_EQ(platform::Load(Info_Of(5).AbortFromGUI), 0);
  EXPECT_TRUE(Command_Buffer_Empty(5));
  EXPECT_EQ(platform::Load(Info_Of(5).BatchFlag), 0);
  EXPECT_EQ(platform::Load(Info_Of(6).AbortFromGUI), 0);
  EXPECT_TRUE(w.Flags().command);
  EXPECT_TRUE(w.Flags().script_run);
}

TEST_F(MainWindowTest, CommandOnTcpipAsksForStationsFirst) {
  Device_Ini("ETHERNET");
  Panelset_Ini();
  std::vector<SelectionMode> asked;
  std::vector<int> opened;
  MainWindow& w = Open_Window([&](QWidget*, SelectionMode mode, int) {
    asked.push_back(mode);
    return mode == SelectionMode::kScript;
  });
  w.Set_Command_Screen([&](int id) { opened.push_back(id); });
  w.Run_Command(ID_EXEC_COMMAND);  // cancelled: nothing opens
  w.Run_Command(ID_EXEC_SCRIPT);
  EXPECT_EQ(asked, (std::vector<SelectionMode>{SelectionMode::kCommand, SelectionMode::kScript}));
  EXPECT_EQ(opened, std::vector<int>{ID_EXEC_SCRIPT});
}

}  // namespace
