// tarnel --check-config on a good configuration and on broken ones: the
// exit status says whether the server would start, the output says why.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e.h"

namespace {

using e2e::ScratchDir;

std::string Device(const std::string& dir, const std::string& head_extra = "", const std::string& port = "5000",
                   const std::string& work = "") {
  return "IF=ETHERNET\r\nErrorFile=" + dir + "/error.log\r\nWorkFile=" + (work.empty() ? dir : work) +
         "\r\nINFORMATION=check\r\n" + head_extra +
         "[RS232C]\r\nPort=COM1\r\nBaud=9600\r\nParity=NONE\r\nStop=1\r\nData=8\r\n[SCSI]\r\nScantime=2\r\n"
         "[ETHERNET]\r\nTCP_TIMEOUT=10\r\nSELECT_TIMEOUT=10\r\nPORTNO=" +
         port + "\r\nMAX_IO=8\r\n[USE_IP]\r\n3=127.0.0.3\r\n";
}

int Check(const ScratchDir& dir, std::string* out, const std::vector<std::string>& env = {}) {
  return e2e::Run(dir, {TARNEL_EXE, "--check-config", "--program-dir", dir.Path()}, env, out);
}

TEST(CheckConfigE2E, AGoodConfigurationPassesAndIsPrintedAsUnderstood) {
  ScratchDir dir("check-good");
  dir.Write("device.ini", Device(dir.Path()));
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  std::string out;
  EXPECT_EQ(Check(dir, &out), 0) << out;
  EXPECT_NE(out.find("device.ini IF=ETHERNET"), std::string::npos) << out;
  EXPECT_NE(out.find("PORTNO=5000"), std::string::npos) << out;
  EXPECT_NE(out.find("[USE_IP] station 3 = 127.0.0.3"), std::string::npos) << out;
  EXPECT_NE(out.find("the server would start: 0 warning(s)"), std::string::npos) << out;
}

TEST(CheckConfigE2E, UnknownKeysSectionsAndBlanksAroundTheEqualsSignAreWarnings) {
  ScratchDir dir("check-warn");
  std::string ini = Device(dir.Path(), "Colour=blue\r\n");
  ini += "[PRINTER]\r\nName=lp0\r\n[ETHERNET]\r\nPING_TIMEOUT = 500\r\n";
  dir.Write("device.ini", ini);
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  std::string out;
  EXPECT_EQ(Check(dir, &out), 0) << out;
  EXPECT_NE(out.find("unknown key \"Colour\""), std::string::npos) << out;
  EXPECT_NE(out.find("unknown section [PRINTER]"), std::string::npos) << out;
  EXPECT_NE(out.find("blanks around \"PING_TIMEOUT = 500\""), std::string::npos) << out;
  EXPECT_NE(out.find("the server would start: 3 warning(s)"), std::string::npos) << out;
}

TEST(CheckConfigE2E, NoDeviceIni) {
  ScratchDir dir("check-nodev");
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  std::string out;
  EXPECT_EQ(Check(dir, &out), 1) << out;
  EXPECT_NE(out.find("error: no device.ini"), std::string::npos) << out;
}

TEST(CheckConfigE2E, AnInterfaceThatIsNone) {
  ScratchDir dir("check-if");
  std::string ini = Device(dir.Path());
  ini.replace(0, ini.find("\r\n"), "IF=TOKENRING");
  dir.Write("device.ini", ini);
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  std::string out;
  EXPECT_EQ(Check(dir, &out), 1) << out;
  EXPECT_NE(out.find("error: device.ini: IF=TOKENRING names no interface"), std::string::npos) << out;
}

TEST(CheckConfigE2E, APortOutOfRange) {
  ScratchDir dir("check-port");
  dir.Write("device.ini", Device(dir.Path(), "", "70000"));
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  std::string out;
  EXPECT_EQ(Check(dir, &out), 1) << out;
  EXPECT_NE(out.find("PORTNO=70000 is not a TCP port number"), std::string::npos) << out;
}

TEST(CheckConfigE2E, AWorkingFolderThatDoesNotExist) {
  ScratchDir dir("check-work");
  dir.Write("device.ini", Device(dir.Path(), "", "5000", dir.Path() + "/nowhere"));
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  std::string out;
  EXPECT_EQ(Check(dir, &out), 1) << out;
  EXPECT_NE(out.find("working folder (WorkFile)"), std::string::npos) << out;
  EXPECT_NE(out.find("does not exist"), std::string::npos) << out;
}

TEST(CheckConfigE2E, AnErrorLogInAFolderThatDoesNotExist) {
  ScratchDir dir("check-errlog");
  std::string ini = Device(dir.Path());
  const std::string from = "ErrorFile=" + dir.Path() + "/error.log";
  ini.replace(ini.find(from), from.size(), "ErrorFile=" + dir.Path() + "/logs/error.log");
  dir.Write("device.ini", ini);
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  std::string out;
  EXPECT_EQ(Check(dir, &out), 1) << out;
  EXPECT_NE(out.find("error-log folder (ErrorFile)"), std::string::npos) << out;
}

TEST(CheckConfigE2E, AWorkingFolderOnADriveThatIsNotMapped) {
  ScratchDir dir("check-drive");
  dir.Write("device.ini", Device(dir.Path(), "", "5000", "Q:\\DATA"));
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  std::string out;
  EXPECT_EQ(Check(dir, &out, {"TARNEL_DRIVES=C=" + dir.Path()}), 1) << out;
  EXPECT_NE(out.find("drive Q:, which TARNEL_DRIVES does not map"), std::string::npos) << out;
  // Mapped, the same line is fine.
  dir.Write("device.ini", Device(dir.Path(), "", "5000", "Q:\\"));
  EXPECT_EQ(Check(dir, &out, {"TARNEL_DRIVES=C=" + dir.Path() + ";Q=" + dir.Path()}), 0) << out;
}

TEST(CheckConfigE2E, AListeningAddressThatIsNone) {
  ScratchDir dir("check-listen");
  dir.Write("device.ini", Device(dir.Path()));
  dir.Write("panelset.ini", e2e::Panelset_Ini());
  std::string out;
  EXPECT_EQ(Check(dir, &out, {"TARNEL_LISTEN=localhost.example"}), 1) << out;
  EXPECT_NE(out.find("TARNEL_LISTEN=localhost.example is not an IPv4 address"), std::string::npos) << out;
}

}  // namespace
