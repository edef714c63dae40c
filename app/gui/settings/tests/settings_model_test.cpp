// The settings dialogs' rules without widgets: what the fields show, the
// checks on confirming and what ends up in device.ini; the PC's address and
// serial device list; finding the operator's guide.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <filesystem>
#include <fstream>

#include "app/gui/settings/help_guide.h"
#include "app/gui/settings/settings_model.h"
#include "app/tests/config_fixture.h"
#include "platform/hostinfo.h"

namespace {

using settings::Dialog;
using settings::Form;

class SettingsModelTest : public app_test::ConfigTest {
 protected:
  // A device.ini with keys the application keeps and some it does not.
  void Ini(const std::string& if_text, const std::string& port_no = "5000", const std::string& work = "") {
    Write_File("device.ini", "IF=" + if_text + "\r\nErrorFile=" + dir_.string() + "/error.log\r\nWorkFile=" +
                                 (work.empty() ? dir_.string() : work) +
                                 "\r\nINFORMATION=site 4\r\n[RS232C]\r\nPort=COM2\r\nBaud=19200\r\n"
                                 "Parity=EVEN\r\nStop=2\r\nData=7\r\nIRQ=4\r\nIO_ADDR=760\r\n[SCSI]\r\n"
                                 "Scantime=2.5\r\n[ETHERNET]\r\nTCP_TIMEOUT=20\r\nIPADDR=10.1.1.1\r\nPORTNO=" +
                                 port_no + "\r\nMAX_IO=30\r\n[USE_IP]\r\n1=127.0.0.1\r\n3=127.0.0.3\r\n"
                                 "[IOBOX]\r\nIOBOX_RBYTES=4096\r\n");
    ASSERT_TRUE(Read_Device_Ini());
  }
  Form Tcpip_Form(const std::string& port_no) {
    Form f = settings::Fill_Form(Dialog::kTcpip);
    f.port_no = port_no;
    return f;
  }
};

TEST_F(SettingsModelTest, FieldsShowTheStoredTextsAndNoSelectionForUnknownOnes) {
  Ini("RS232C");
  Form f = settings::Fill_Form(Dialog::kRs232c, GDeviceSettings, DefWorkFile, DefErrorFile,
                               {"/dev/ttyS0", "/dev/ttyUSB0"}, "");
  EXPECT_EQ(f.ports, (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4", "/dev/ttyS0", "/dev/ttyUSB0"}));
  EXPECT_EQ(f.port, 1);
  EXPECT_EQ(f.baud, 6);
  EXPECT_EQ(f.parity, 2);
  EXPECT_EQ(f.stop, 1);
  EXPECT_EQ(f.data, 1);
  EXPECT_EQ(f.work_dir, prog_dir_);
  EXPECT_EQ(f.error_file, dir_.string() + "/error.log");

  // Texts not in their lists (also a different case) select nothing; a
  // device path stored as the port selects that device.
  std::snprintf(GDeviceSettings.Port, sizeof GDeviceSettings.Port, "/dev/ttyUSB0");
  std::snprintf(GDeviceSettings.Baud, sizeof GDeviceSettings.Baud, "14400");
  std::snprintf(GDeviceSettings.Parity, sizeof GDeviceSettings.Parity, "even");
  std::snprintf(GDeviceSettings.Stop, sizeof GDeviceSettings.Stop, "1.5");
  GDeviceSettings.Data[0] = '\0';
  f = settings::Fill_Form(Dialog::kRs232c, GDeviceSettings, DefWorkFile, DefErrorFile,
                          {"/dev/ttyS0", "/dev/ttyUSB0"}, "");
  EXPECT_EQ(f.port, 5);
  EXPECT_EQ(f.baud, -1);
  EXPECT_EQ(f.parity, -1);
  EXPECT_EQ(f.stop, -1);
  EXPECT_EQ(f.data, -1);
}

TEST_F(SettingsModelTest, TcpipShowsItsAddressAndHidesAPortBelow1024) {
  for (const auto& [stored, shown] : std::vector<std::pair<std::string, std::string>>{
           {"5000", "5000"}, {"1024", "1024"}, {"1023", ""}, {"80", ""}, {"", ""}, {"abc", ""}, {"65535", "65535"},
           {"70000", ""}, {"5000x", ""}, {" 2000", "2000"}}) {
    std::snprintf(GDeviceSettings.PORTNO, sizeof GDeviceSettings.PORTNO, "%s", stored.c_str());
    const Form f = settings::Fill_Form(Dialog::kTcpip, GDeviceSettings, "", "", {}, "192.168.4.7");
    EXPECT_EQ(f.port_no, shown) << stored;
    EXPECT_EQ(f.ip_address, "192.168.4.7");
  }
}

TEST_F(SettingsModelTest, OpeningWarnsOfAMissingFileFirstThenOfAMissingWorkingDirectory) {
  EXPECT_STREQ(settings::Open_Check(), "Device.ini file missing\n Cant Set the parameters.");
  Ini("SCSI");
  EXPECT_EQ(settings::Open_Check(), nullptr);
  Ini("SCSI", "5000", dir_.string() + "/gone");
  EXPECT_STREQ(settings::Open_Check(), "Woriking Dir Not Valid");
  EXPECT_EQ(boxes_, (std::vector<std::string>{"Device.ini file missing\n Cant Set the parameters.",
                                              "Woriking Dir Not Valid"}));
}

TEST_F(SettingsModelTest, PortBelow1024OrEmptyIsRefusedAndNothingIsStored) {
  Ini("ETHERNET");
  const std::string before = Read_File("device.ini");
  for (const std::string port : {"1023", "", "0", "abc", "65536", "99999999999", "5000x", "-2000", "20 00"}) {
    EXPECT_EQ(settings::Confirm(Tcpip_Form(port), true), settings::kBadPort) << port;
    EXPECT_STREQ(GDeviceSettings.PORTNO, "5000");
    EXPECT_STREQ(GDeviceSettings.IF, "ETHERNET");
  }
  EXPECT_EQ(Read_File("device.ini"), before);
  EXPECT_EQ(boxes_[0], "Invalid Port No, Please enter a value greater than 1023");
  EXPECT_EQ(boxes_[4], "Invalid Port No, Please enter a value from 1024 to 65535");

  EXPECT_EQ(settings::Confirm(Tcpip_Form(" 1024 "), false), settings::kConfirmStored);
  EXPECT_STREQ(GDeviceSettings.PORTNO, "1024");
  EXPECT_NE(Read_File("device.ini").find("\r\nPORTNO=1024\r\n"), std::string::npos);
}

TEST_F(SettingsModelTest, TheWorkingDirectoryIsCheckedBeforeThePort) {
  Ini("ETHERNET");
  Form f = Tcpip_Form("80");
  f.work_dir = dir_.string() + "/gone";
  const char* message = nullptr;
  EXPECT_EQ(settings::Check_Form(f, [](const std::string&) { return false; }, &message), settings::kBadWorkDir);
  EXPECT_STREQ(message, "Working Directory not valid\n Please enter valid Working Directory");
  f.work_dir = "";
  EXPECT_EQ(settings::Confirm(f, false), settings::kBadWorkDir);
  EXPECT_EQ(boxes_, std::vector<std::string>{settings::kWorkDirBad});
}

TEST_F(SettingsModelTest, ADriveLetterWorkingDirectoryGetsItsBackslash) {
  Ini("SCSI");
  Form f = settings::Fill_Form(Dialog::kScsi);
  f.work_dir = "C:";  // drive C: is the root folder unless mapped otherwise
  EXPECT_EQ(settings::Confirm(f, false), settings::kConfirmStored);
  EXPECT_STREQ(DefWorkFile, "C:\\");
  EXPECT_NE(Read_File("device.ini").find("\r\nWorkFile=C:\\\r\n"), std::string::npos);
  EXPECT_EQ(settings::Stored_Work_Dir("C:\\"), "C:\\");
  EXPECT_EQ(settings::Stored_Work_Dir("/srv/x:"), "/srv/x:");
}

TEST_F(SettingsModelTest, OkKeepsIfAndSaveAsDefaultSetsTheDialogsInterface) {
  for (const auto& [dialog, text] : std::vector<std::pair<Dialog, std::string>>{
           {Dialog::kRs232c, "RS232C"}, {Dialog::kScsi, "SCSI"}, {Dialog::kTcpip, "ETHERNET"}}) {
    Ini("Nothing");
    Form f = settings::Fill_Form(dialog);
    if (dialog == Dialog::kTcpip) f.port_no = "6000";
    ASSERT_EQ(settings::Confirm(f, false), settings::kConfirmStored) << text;
    EXPECT_STREQ(GDeviceSettings.IF, "Nothing");
    EXPECT_EQ(Read_File("device.ini").rfind("IF=Nothing\r\n", 0), 0u);
    ASSERT_EQ(settings::Confirm(f, true), settings::kConfirmStored) << text;
    EXPECT_EQ(GDeviceSettings.IF, text);
    EXPECT_EQ(Read_File("device.ini").rfind("IF=" + text + "\r\n", 0), 0u);
  }
}

TEST_F(SettingsModelTest, ConfirmingStoresTheFieldsAndDropsKeysTheApplicationDoesNotKeep) {
  Ini("RS232C");
  Form f = settings::Fill_Form(Dialog::kRs232c, GDeviceSettings, DefWorkFile, DefErrorFile, {"/dev/ttyUSB3"}, "");
  f.port = 4;
  f.baud = 9;
  f.parity = 0;
  f.stop = 0;
  f.data = -1;  // no selection stores an empty text
  f.error_file = dir_.string() + "/other.log";
  ASSERT_EQ(settings::Confirm(f, false), settings::kConfirmStored);
  EXPECT_EQ(Read_File("device.ini"),
            "IF=RS232C\r\nErrorFile=" + dir_.string() + "/other.log\r\nWorkFile=" + prog_dir_ +
                "\r\nINFORMATION=site 4\r\n[RS232C]\r\nPort=/dev/ttyUSB3\r\nBaud=115200\r\nParity=NONE\r\n"
                "Stop=1\r\nData=\r\n[SCSI]\r\nScantime=2.5\r\n[ETHERNET]\r\nTCP_TIMEOUT=20\r\nPORTNO=5000\r\n"
                "MAX_IO=30\r\n[USE_IP]\r\n1=127.0.0.1\r\n3=127.0.0.3\r\n");

  // TCP/IP keeps this PC's address in memory only.
  Form t = settings::Fill_Form(Dialog::kTcpip, GDeviceSettings, DefWorkFile, DefErrorFile, {}, "10.9.8.7");
  t.port_no = "7000";
  ASSERT_EQ(settings::Confirm(t, false), settings::kConfirmStored);
  EXPECT_STREQ(GDeviceSettings.IPADDR, "10.9.8.7");
  EXPECT_EQ(Read_File("device.ini").find("IPADDR"), std::string::npos);
}

TEST_F(SettingsModelTest, TextsDeviceIniCannotHoldAreRefused) {
  Ini("SCSI");
  const std::string before = Read_File("device.ini");
  Form f = settings::Fill_Form(Dialog::kScsi);
  f.error_file = dir_.string() + "/a,b.log";
  EXPECT_EQ(settings::Confirm(f, false), settings::kBadText);
  f.error_file = "x=y";
  EXPECT_EQ(settings::Confirm(f, false), settings::kBadText);
  f.error_file = std::string(1100, 'e');
  EXPECT_EQ(settings::Confirm(f, false), settings::kBadText);
  Form r = settings::Fill_Form(Dialog::kRs232c, GDeviceSettings, DefWorkFile, DefErrorFile,
                               {"/dev/serial/by-id/usb-Maker_Serial_Cable_0123456789-if00-port0"}, "");
  r.port = 4;
  EXPECT_EQ(settings::Confirm(r, false), settings::kBadText);
  EXPECT_EQ(Read_File("device.ini"), before);
  EXPECT_EQ(boxes_.back(), settings::kPortNameBad);
}

TEST_F(SettingsModelTest, SerialDevicesAreListedByGroupInNumberOrder) {
  const std::filesystem::path dev = dir_ / "dev";
  std::filesystem::create_directories(dev / "serial" / "by-id");
  for (const char* n : {"ttyS10", "ttyS2", "ttyS0", "ttyUSB1", "ttyUSB0", "tty0", "ttyACM0", "ttyS",
                        "serial/by-id/usb-B-port0", "serial/by-id/usb-A-port0"})
    std::ofstream(dev / n).put('x');
  // ttyS10 has no UART behind it; ttyS2 says it has one; ttyS0 says nothing.
  const std::filesystem::path sys = dir_ / "sys";
  std::filesystem::create_directories(sys / "ttyS10");
  std::filesystem::create_directories(sys / "ttyS2");
  std::ofstream(sys / "ttyS10" / "type") << "0\n";
  std::ofstream(sys / "ttyS2" / "type") << "4\n";
  const std::string d = dev.string();
  EXPECT_EQ(platform::Serial_Device_List(d, sys.string()),
            (std::vector<std::string>{d + "/ttyS0", d + "/ttyS2", d + "/ttyUSB0", d + "/ttyUSB1",
                                      d + "/serial/by-id/usb-A-port0", d + "/serial/by-id/usb-B-port0"}));
  EXPECT_EQ(platform::Serial_Device_List(d, (dir_ / "nosys").string()),
            (std::vector<std::string>{d + "/ttyS0", d + "/ttyS2", d + "/ttyS10", d + "/ttyUSB0", d + "/ttyUSB1",
                                      d + "/serial/by-id/usb-A-port0", d + "/serial/by-id/usb-B-port0"}));
  EXPECT_TRUE(platform::Serial_Device_List((dir_ / "none").string()).empty());
}

TEST_F(SettingsModelTest, TheHostNameAddressIsDottedIpv4OrEmpty) {
  char out[64] = "junk";
  const bool found = platform::Host_Name_Address(out, sizeof out);
  in_addr a{};
  if (found)
    EXPECT_EQ(inet_pton(AF_INET, out, &a), 1) << out;
  else
    EXPECT_STREQ(out, "");
  char tiny[4] = "xyz";
  platform::Host_Name_Address(tiny, sizeof tiny);
  EXPECT_LT(std::strlen(tiny), sizeof tiny);
}

TEST_F(SettingsModelTest, TheGuideIsTheFirstReadableCandidateOrAMessageNamingThePlaces) {
  Write_File("guide.md", "# Guide\n");
  const std::string missing = (dir_ / "none.md").string();
  std::string path, text;
  ASSERT_TRUE(help::Load_Guide({missing, dir_.string(), (dir_ / "guide.md").string()}, &path, &text));
  EXPECT_EQ(path, (dir_ / "guide.md").string());
  EXPECT_EQ(text, "# Guide\n");
  EXPECT_FALSE(help::Load_Guide({missing}, &path, &text));
  EXPECT_EQ(path, "");
  EXPECT_NE(text.find("not found"), std::string::npos);
  EXPECT_NE(text.find(missing), std::string::npos);

  setenv("TARNEL_HELP_GUIDE", missing.c_str(), 1);
  EXPECT_EQ(help::Guide_Candidates(), std::vector<std::string>{missing});
  unsetenv("TARNEL_HELP_GUIDE");
  const std::vector<std::string> all = help::Guide_Candidates();
  EXPECT_EQ(all.back(), "/usr/share/doc/tarnel/operators.md");
}

}  // namespace
