#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/core/startup.h"
#include "config_fixture.h"
#include "platform/window.h"

namespace app_test {
namespace {

using ProgramDirectory = ConfigTest;
using StartUp = ConfigTest;

TEST_F(ProgramDirectory, GivenFolderIsAbsoluteAndEndsInASeparator) {
  EXPECT_EQ(Get_Program_Directory(), prog_dir_);
  EXPECT_EQ(Program_File("device.ini"), prog_dir_ + "device.ini");

  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.parent_path());
  const bool set = Set_Program_Directory(dir_.filename().string());
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(set);
  EXPECT_EQ(Get_Program_Directory(), prog_dir_) << "a relative folder is made absolute at once";

  EXPECT_FALSE(Set_Program_Directory((dir_ / "missing").string()));
  EXPECT_FALSE(Set_Program_Directory(""));
  EXPECT_EQ(Get_Program_Directory(), prog_dir_);
}

TEST_F(ProgramDirectory, DefaultIsTheExecutablesFolder) {
  Reset_Program_Directory();
  const std::string dir = Get_Program_Directory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_TRUE(std::filesystem::exists(dir + "app_tests")) << dir;
}

TEST_F(ProgramDirectory, ChannelLayerReadsTheSameDeviceIni) {
  // Instance_Handle follows the program directory, so Startup_Channels
  // finds this folder's file and goes on to the driver's init.
  Write_File("device.ini", "IF=SCSI\r\n[SCSI]\r\nScantime=4\r\n");
  ASSERT_NE(Instance_Handle, nullptr);
  EXPECT_EQ(std::string(Instance_Handle->module_path).rfind(prog_dir_, 0), 0u);
  static int inits = 0;
  ChannelDriver counting{};
  counting.init = [] { return ++inits; };
  const ChannelDriver* previous = Set_Channel_Driver(1, &counting);
  const int saved = GInterface;
  EXPECT_EQ(Startup_Channels(2), 0);
  EXPECT_EQ(inits, 1);
  EXPECT_EQ(GScanTime, 4000u);
  std::filesystem::remove(dir_ / "device.ini");
  EXPECT_EQ(Startup_Channels(2), CH_NO_INI);
  EXPECT_EQ(inits, 1);
  GInterface = saved;
  Set_Channel_Driver(1, previous);
}

class NullTarget : public platform::MessageTarget {
 public:
  void Handle(const platform::Message&) override {}
};

TEST_F(StartUp, SequenceFillsTheLibrariesGlobals) {
  Write_File("panelset.ini", "[CODE]\r\n-1=40\r\n[MODE]\r\nSERVER=ON\r\n1SHOT=ON\r\n"
                             "COMMAND_TIMEOUT=45\r\n[DEBUG]\r\nSCSILOG=1\r\n");
  Write_File("device.ini", "IF=SCSI\r\nErrorFile=C:\\E.LOG\r\nWorkFile=C:\\W\r\n"
                           "[SCSI]\r\nScantime=3\r\n");
  EXPECT_EQ(Load_Run_Options(), RO_KEY_COUNT);
  EXPECT_TRUE(Load_Device_And_Panel_Settings());
  NullTarget window;
  Apply_Settings_To_Globals(&window);
  EXPECT_EQ(GErrCode, 0x40);
  EXPECT_EQ(GCommandTimeout, 45);
  EXPECT_STREQ(DefErrorFile, "C:\\E.LOG");
  EXPECT_STREQ(DefWorkFile, "C:\\W\\");
  EXPECT_EQ(GScanTime, 3000u);
  EXPECT_EQ(SCSILOG, 1);
  EXPECT_EQ(HandleForROXToMainWindow, &window);
  EXPECT_EQ(HandleForTetherToMainWindow, &window);
  EXPECT_EQ(HandleForDriverToMainWindow, &window);
  OneShotMode = 0;
  Apply_One_Shot_Mode();
  EXPECT_EQ(OneShotMode, 1);
  HandleForROXToMainWindow = HandleForTetherToMainWindow = HandleForDriverToMainWindow = nullptr;

  GRunOptions.one_shot = false;
  OneShotMode = 0;
  Apply_One_Shot_Mode();
  EXPECT_EQ(OneShotMode, 0);
}

}  // namespace
}  // namespace app_test
