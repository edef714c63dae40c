// A main window in a scratch program directory with its own data-copy
// socket, message boxes recorded instead of shown, and the globals restored
// afterwards (app_test::ConfigTest).
#pragma once

#include <QApplication>
#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/core/startup.h"
#include "app/gui/ping/ping_model.h"
#include "app/gui/main_window.h"
#include "app/tests/config_fixture.h"
#include "engine/rox32.h"
#include "platform/atomic.h"
#include "testsupport/fake_icmp.h"
#include "testsupport/free_port.h"

namespace gui_test {

class GuiTest : public app_test::ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    for (int i = 0; i < 256; ++i) HTInfoAry[i] = InfoHT{};
    for (int ht = 1; ht <= MAX_HT; ++ht) Clear_Command_Buffer(ht);
    setenv("TARNEL_LISTEN", "127.0.0.1", 1);
    // The ping panel of a TCP/IP start pings through a fake, so the tests
    // do not depend on whether this machine lets them open ICMP sockets.
    ping::Set_Ping_Backend(&icmp_);
  }
  void TearDown() override {
    window_.reset();
    ping::Set_Ping_Backend(nullptr);
    for (int i = 0; i < 256; ++i) HTInfoAry[i] = InfoHT{};
    platform::Store(OneShotMode, 0);
    unsetenv("TARNEL_LISTEN");
    ConfigTest::TearDown();
  }

  // device.ini for an interface (TCP/IP on a free loopback port with the
  // given [USE_IP] lines).
  void Device_Ini(const std::string& if_text, const std::string& use_ip = "1=127.0.0.1\r\n") {
    port_ = testsupport::Free_Loopback_Port();
    Write_File("device.ini", "IF=" + if_text + "\r\nErrorFile=" + dir_.string() + "/error.log\r\nWorkFile=" +
                                 dir_.string() + "\r\n[RS232C]\r\nPort=COM1\r\nBaud=9600\r\nParity=NONE\r\nStop=1\r\n"
                                 "Data=8\r\n[SCSI]\r\nScantime=2\r\n[ETHERNET]\r\nTCP_TIMEOUT=20\r\n"
                                 "SELECT_TIMEOUT=20\r\nPORTNO=" +
                                 std::to_string(port_) + "\r\nMAX_IO=30\r\n[USE_IP]\r\n" + use_ip);
  }
  void Panelset_Ini(const std::string& mode = "SERVER=OFF\r\n1SHOT=OFF\r\n", const std::string& extra = "") {
    Write_File("panelset.ini", "[CODE]\r\n-1=0\r\n[MODE]\r\nMINIMIZE=OFF\r\n" + mode +
                                   "COMMAND_TIMEOUT=0\r\nDUPLICATE=ON\r\nCHILD_THROUGH=OFF\r\n" + extra);
  }

  // Loads the run options and creates the window as the program does.
  MainWindow& Open_Window(StationSelector selector = {}) {
    Load_Run_Options();
    window_ = std::make_unique<MainWindow>(StationViewFactory{}, std::move(selector));
    window_->Set_Box_Answer([this](const std::string& text, const std::string& caption, unsigned) {
      answered_.push_back(caption + ": " + text);
      return box_reply_;
    });
    GuiConfig config;
    config.control_socket = (dir_ / "control.sock").string();
    window_->Create(config);
    return *window_;
  }

  // Runs Qt's events and the platform messages until done() or the time is up.
  static bool Spin_Until(const std::function<bool()>& done, int timeout_ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  testsupport::FakeIcmp icmp_;
  std::unique_ptr<MainWindow> window_;
  std::vector<std::string> answered_;
  int box_reply_ = platform::IDYES;
  int port_ = 0;
};

}  // namespace gui_test
