#include <gtest/gtest.h>

#include <string>

#include "app/core/startup.h"
#include "config_fixture.h"

namespace app_test {
namespace {

using RunOptionsFile = ConfigTest;
using PanelFile = ConfigTest;

const std::string kMode =
    "[MODE]\r\n"
    "MINIMIZE=ON\r\n"
    "SERVER=on\r\n"
    "1SHOT=On\r\n"
    "COMMAND_TIMEOUT=120\r\n"
    "DUPLICATE=OFF\r\n"
    "CHILD_THROUGH=ON\r\n";

int Parse(const std::string& text, RunOptions* o) {
  *o = RunOptions{};
  return Parse_Run_Options(text, o);
}

TEST_F(RunOptionsFile, CompleteSectionsSetEveryOption) {
  Write_File("panelset.ini", "[CODE]\r\n-1=1A\r\n" + kMode + "[GUI]\r\nBARHEIGHT=50\r\n");
  EXPECT_EQ(Read_Run_Options(), RO_OK);
  const RunOptions& o = GRunOptions;
  EXPECT_EQ(o.code, 0x1A);
  EXPECT_TRUE(o.minimize);
  EXPECT_TRUE(o.server);
  EXPECT_TRUE(o.one_shot);
  EXPECT_EQ(o.command_timeout, 120);
  EXPECT_TRUE(o.single_instance) << "DUPLICATE=OFF switches the check on";
  EXPECT_TRUE(o.child_through);
}

TEST_F(RunOptionsFile, FiveKeysGiveKeyCountErrorButStayInForce) {
  RunOptions o;
  EXPECT_EQ(Parse("[CODE]\n-1=0\n[MODE]\nMINIMIZE=ON\nSERVER=ON\n1SHOT=OFF\n"
                  "COMMAND_TIMEOUT=10\nDUPLICATE=ON\n[GUI]\n",
                  &o),
            RO_KEY_COUNT);
  EXPECT_TRUE(o.minimize);
  EXPECT_TRUE(o.server);
  EXPECT_EQ(o.command_timeout, 10);
  EXPECT_FALSE(o.single_instance);
  // A section that ends with the file after its last line is complete.
  EXPECT_EQ(Parse("[CODE]\n-1=0\n" + kMode, &o), RO_OK);
}

TEST_F(RunOptionsFile, CommandTimeoutIsClamped) {
  struct Case {
    const char* value;
    int seconds;
  } cases[] = {{"5000", 3600}, {"-4", 30}, {"0", 0}, {"3600", 3600}, {"99999999999", 3600}};
  for (const Case& c : cases) {
    RunOptions o;
    Parse(std::string("[CODE]\n-1=0\n[MODE]\nCOMMAND_TIMEOUT=") + c.value + "\n", &o);
    EXPECT_EQ(o.command_timeout, c.seconds) << c.value;
  }
}

TEST_F(RunOptionsFile, CodeSectionErrors) {
  RunOptions o;
  EXPECT_EQ(Parse("[CODE]\r\n-2=10\r\n" + kMode, &o), RO_BAD_CODE_KEY);
  EXPECT_EQ(o.code, 0);
  EXPECT_FALSE(o.server) << "[MODE] is not read after a bad [CODE] key";
  EXPECT_EQ(Parse("[CODE]\r\n-1=12G\r\n" + kMode, &o), RO_BAD_CODE_VALUE);
  EXPECT_EQ(Parse("[CODE]\r\n-1=\r\n" + kMode, &o), RO_BAD_CODE_VALUE);
  EXPECT_EQ(Parse("[CODE]\r\n-1=1 0\r\n" + kMode, &o), RO_OK) << "blanks are dropped";
  EXPECT_EQ(o.code, 0x10);
  EXPECT_EQ(Parse("[CODE]\r\n-1=FFFFFFFF\r\n" + kMode, &o), RO_OK);
  EXPECT_EQ(o.code, -1);
  EXPECT_EQ(Parse("[CODE]\r\n-1=100000000\r\n" + kMode, &o), RO_BAD_CODE_VALUE);
}

TEST_F(RunOptionsFile, EmptyCodeSectionOpensModeAtOnce) {
  RunOptions o;
  EXPECT_EQ(Parse("[CODE]\r\n" + kMode, &o), RO_OK);
  EXPECT_EQ(o.code, 0);
  EXPECT_TRUE(o.server);
  // A bracket that closes [CODE] ends the reading: no key was accepted.
  EXPECT_EQ(Parse("[CODE]\r\n]\r\n" + kMode, &o), RO_KEY_COUNT);
}

TEST_F(RunOptionsFile, SectionsAreSearchedInOrderAndCaseSensitively) {
  RunOptions o;
  EXPECT_EQ(Parse(kMode + "[CODE]\r\n-1=5\r\n", &o), RO_BAD_FILE);
  EXPECT_FALSE(o.server) << "options keep their defaults";
  EXPECT_EQ(Parse("[code]\r\n-1=5\r\n" + kMode, &o), RO_BAD_FILE);
  EXPECT_EQ(Parse("", &o), RO_BAD_FILE);
}

TEST_F(RunOptionsFile, ModeValueErrors) {
  struct Case {
    const char* entry;
    int result;
  } cases[] = {
      {"MINIMIZE=YES", RO_BAD_MINIMIZE},  {"SERVER=1", RO_BAD_SERVER},
      {"1SHOT=", RO_BAD_ONE_SHOT},        {"DUPLICATE=NO", RO_BAD_SWITCH},
      {"CHILD_THROUGH=x", RO_BAD_SWITCH}, {"SPEED=ON", RO_BAD_FILE},
  };
  for (const Case& c : cases) {
    RunOptions o;
    EXPECT_EQ(Parse(std::string("[CODE]\n-1=0\n[MODE]\nSERVER=ON\n") + c.entry + "\n", &o),
              c.result)
        << c.entry;
    if (c.result != RO_BAD_SERVER) {
      EXPECT_TRUE(o.server) << "earlier values stay in force";
    }
  }
}

TEST_F(RunOptionsFile, EndOfFileInsideAValue) {
  RunOptions o;
  EXPECT_EQ(Parse("[CODE]\n-1=0\n[MODE]\nSERVER=ON", &o), RO_BAD_FILE);
  EXPECT_FALSE(o.server);
  EXPECT_EQ(Parse("[CODE]\n-1=7", &o), RO_BAD_FILE);
}

TEST_F(RunOptionsFile, MissingFileAndCopiesIntoTheEngine) {
  GErrCode = 9;
  GChildThrough = 1;
  GCommandTimeout = 5;
  EXPECT_EQ(Load_Run_Options(), RO_NO_FILE);
  EXPECT_EQ(GErrCode, 0);
  EXPECT_EQ(GChildThrough, 0);
  EXPECT_EQ(GCommandTimeout, 30);
  EXPECT_TRUE(boxes_.empty()) << "the result is shown to nobody";

  // The copies are made whatever the result.
  Write_File("panelset.ini", "[CODE]\n-1=2F\n[MODE]\nCHILD_THROUGH=ON\nCOMMAND_TIMEOUT=0\n");
  EXPECT_EQ(Load_Run_Options(), RO_KEY_COUNT);
  EXPECT_EQ(GErrCode, 0x2F);
  EXPECT_EQ(GChildThrough, 1);
  EXPECT_EQ(GCommandTimeout, 0);
}

TEST_F(PanelFile, MissingFileKeepsDefaults) {
  SCSILOG = 1;
  MAX_WRITE_SIZE = 7;
  GPanelSettings.bar_height = 99;
  Read_Panel_Settings();
  EXPECT_EQ(boxes_, std::vector<std::string>{"panelset.ini Not Found"});
  EXPECT_EQ(GPanelSettings.bar_height, 45);
  EXPECT_EQ(GPanelSettings.recv_rgb[2], 128);
  EXPECT_EQ(SCSILOG, 0);
  EXPECT_EQ(MAX_WRITE_SIZE, 2032u);
}

TEST_F(PanelFile, PresentKeysReplaceDefaults) {
  Write_File("panelset.ini",
             "[CODE]\r\n-1=0\r\n[GUI]\r\nBARHEIGHT=60\r\nNUMOFBAR=5\r\nSENDR=300\r\nRECVB=7\r\n"
             "BOARDER2=4\r\nMAINWINHEIGHTFIX=257\r\n[DEBUG]\r\nDETAILLOG=1\r\nSCSILOG=1\r\n"
             "[ETC]\r\nMAXSENDSIZE=4096\r\n");
  Read_Panel_Settings();
  EXPECT_TRUE(boxes_.empty());
  const PanelSettings& p = GPanelSettings;
  EXPECT_EQ(p.bar_height, 60);
  EXPECT_EQ(p.num_of_bar, 5);
  EXPECT_EQ(p.send_rgb[0], 44) << "colours keep 8 bits";
  EXPECT_EQ(p.send_rgb[2], 128);
  EXPECT_EQ(p.recv_rgb[2], 7);
  EXPECT_EQ(p.border1, 2);
  EXPECT_EQ(p.border2, 4);
  EXPECT_EQ(p.main_win_height_fix, 1);
  EXPECT_EQ(p.detail_log, 1);
  EXPECT_EQ(SCSILOG, 1);
  EXPECT_EQ(MAX_WRITE_SIZE, 4096u);
}

TEST_F(PanelFile, PacketSizeStaysWithinThePacketLimit) {
  struct Case {
    const char* value;
    std::uint32_t size;
  } cases[] = {{"100000", 65000}, {"65000", 65000}, {"0", 2032}, {"-5", 2032}, {"1", 1}};
  for (const Case& c : cases) {
    Write_File("panelset.ini", std::string("[ETC]\nMAXSENDSIZE=") + c.value + "\n");
    Read_Panel_Settings();
    EXPECT_EQ(MAX_WRITE_SIZE, c.size) << c.value;
  }
}

}  // namespace
}  // namespace app_test
