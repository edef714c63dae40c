// The desktop program itself, on Qt's offscreen platform: terminals
// transferring move its bars, an ending with an error opens an error
// window, a second start with DUPLICATE=OFF finds the first and exits, and
// SIGTERM ends it in order. Pictures of what it shows go to the build
// folder's screenshots/.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/e2e/e2e.h"

namespace {

#if defined(TARNEL_E2E_GUI) && !defined(TARNEL_E2E_TSAN)

bool Wait_For_File(const std::string& path, int timeout_ms) {
  for (int waited = 0; waited < e2e::Scaled(timeout_ms); waited += 100) {
    std::error_code ec;
    if (std::filesystem::file_size(path, ec) > 0 && !ec) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

TEST(DesktopProgram, BarsMoveErrorsShowAndASecondStartOnlyBringsTheFirstForward) {
  e2e::ScratchDir dir("gui");
  const std::uint16_t port = e2e::Free_Port();
  dir.Write("device.ini", e2e::Device_Ini(dir.Path(), port, 8,
                                          {"1=127.0.0.41", "2=127.0.0.42", "3=127.0.0.43", "4=127.0.0.44"}));
  dir.Write("panelset.ini", e2e::Panelset_Ini() + "[GUI]\r\nBARHEIGHT=45\r\nNUMOFBAR=3\r\nSENDR=30\r\nSENDG=110\r\n"
                                                  "SENDB=200\r\n[ETC]\r\nMAXSENDSIZE=512\r\n");
  std::filesystem::copy_file(std::string(TARNEL_SOURCE_DIR) + "/app/default-config/vek32.bmp", dir.File("vek32.bmp"));
  {
    std::ofstream big(dir.File("BIG.DAT"), std::ios::binary);
    const std::string block(1 << 20, 'b');
    for (int i = 0; i < 24; ++i) big << block;
  }
  const std::string shots = std::string(TARNEL_SCREENSHOT_DIR);
  std::filesystem::create_directories(shots);
  for (const char* name : {"main-window.png", "main-window-bars.png", "error-window.png"})
    std::filesystem::remove(shots + "/" + name);
  const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen"};

  e2e::Server gui(dir, "gui");
  ASSERT_TRUE(gui.Start(false, {"--program-dir", dir.Path(), "--screenshot-dir", shots}, env));
  std::string out;
  bool up = false;
  for (int i = 0; i < 100 && !up; ++i) {
    up = e2e::Tarnelctl(dir, {"4", "0"}, &out) == 0 && out.find('1') != std::string::npos;
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(e2e::Scaled(100)));
  }
  ASSERT_TRUE(up) << gui.Err();

  std::string pc_dir = "C:" + dir.Path();
  std::replace(pc_dir.begin(), pc_dir.end(), '/', '\\');
  std::vector<std::unique_ptr<e2e::Ht>> terminals;
  for (int i = 1; i <= 3; ++i) {
    std::filesystem::create_directories(dir.File("ht" + std::to_string(i)));
    auto ht = std::make_unique<e2e::Ht>(dir, "ht" + std::to_string(i));
    ASSERT_TRUE(ht->Start(port, "127.0.0.4" + std::to_string(i),
                          {"--disk", dir.File("ht" + std::to_string(i)), "--do", "fetch " + pc_dir + "\\BIG.DAT"}));
    terminals.push_back(std::move(ht));
  }
  // HT 4 asks for a file that is not there: its session ends with an error.
  std::filesystem::create_directories(dir.File("ht4"));
  e2e::Ht failing(dir, "ht4");
  ASSERT_TRUE(failing.Start(port, "127.0.0.44", {"--disk", dir.File("ht4"), "--do", "fetch " + pc_dir + "\\NONE.DAT"}));

  EXPECT_TRUE(Wait_For_File(shots + "/main-window-bars.png", 30000)) << gui.Err();
  EXPECT_TRUE(Wait_For_File(shots + "/error-window.png", 30000)) << gui.Err();

  // A second start finds the first, asks it to come forward and exits.
  e2e::Server second(dir, "second");
  ASSERT_TRUE(second.Start(false, {"--program-dir", dir.Path()}, env));
  EXPECT_EQ(second.Wait(10000), 0) << second.Err();
  EXPECT_NE(second.Err().find("another instance"), std::string::npos) << second.Err();

  for (auto& t : terminals) t->Wait(60000);
  failing.Wait(20000);
  // SIGTERM ends it in order, without a question.
  gui.Signal(SIGTERM);
  EXPECT_EQ(gui.Wait(30000), 0) << gui.Err();
  EXPECT_TRUE(Wait_For_File(shots + "/main-window.png", 1));
}

#endif

}  // namespace
