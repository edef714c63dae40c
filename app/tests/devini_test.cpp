#include <gtest/gtest.h>

#include <string>

#include "config_fixture.h"

namespace app_test {
namespace {

using DeviceIni = ConfigTest;

// A hand-made file: a [DEFAULT] header, keys the application does not keep,
// LF-only and CR LF line ends mixed.
const std::string kHandMade =
    "[DEFAULT]\r\n"
    "IF=ETHERNET\r\n"
    "ErrorFile=C:\\TARNEL\\ERROR.LOG\r\n"
    "WorkFile=C:\\TARNEL\r\n"
    "INFORMATION=line 2 of hall B\r\n"
    "[RS232C]\n"
    "Port=COM2\n"
    "Baud=19200\n"
    "Parity=EVEN\n"
    "Stop=1\n"
    "Data=8\n"
    "IRQ=4\n"
    "IO_ADDR=0x2F8\n"
    "[SCSI]\r\n"
    "Scantime=2.5\r\n"
    "[ETHERNET]\r\n"
    "IPADDR=192.168.0.10\r\n"
    "TCP_TIMEOUT=60\r\n"
    "SELECT_TIMEOUT=30\r\n"
    "PORTNO=5000\r\n"
    "MAX_IO=20\r\n"
    "[USE_IP]\r\n"
    "1=127.0.0.1\r\n"
    "2=127.0.0.2\r\n"
    "[IOBOX]\r\n"
    "IOBOX_RBYTES=4096\r\n";

TEST_F(DeviceIni, ReadsEveryKeptValue) {
  Write_File("device.ini", kHandMade);
  ASSERT_TRUE(Read_Device_Ini());
  const DeviceSettings& s = GDeviceSettings;
  EXPECT_STREQ(s.IF, "ETHERNET");
  EXPECT_STREQ(s.INFORMATION, "line 2 of hall B");
  EXPECT_STREQ(s.Port, "COM2");
  EXPECT_STREQ(s.Baud, "19200");
  EXPECT_STREQ(s.Parity, "EVEN");
  EXPECT_STREQ(s.Stop, "1");
  EXPECT_STREQ(s.Data, "8");
  EXPECT_STREQ(s.Scantime, "2.5");
  EXPECT_STREQ(s.IPADDR, "192.168.0.10");
  EXPECT_STREQ(s.TCP_TIMEOUT, "60");
  EXPECT_STREQ(s.PING_TIMEOUT, "");
  EXPECT_STREQ(s.SELECT_TIMEOUT, "30");
  EXPECT_STREQ(s.PORTNO, "5000");
  EXPECT_EQ(s.MAX_IO, 20);
  EXPECT_STREQ(DefErrorFile, "C:\\TARNEL\\ERROR.LOG");
  EXPECT_STREQ(DefWorkFile, "C:\\TARNEL\\");
  EXPECT_EQ(GScanTime, 2500u);
  ASSERT_EQ(GStationIpTable.count, 2);
  EXPECT_STREQ(GStationIpTable.rows[1].key, "2");
  EXPECT_STREQ(GStationIpTable.rows[1].address, "127.0.0.2");
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(DeviceIni, WrittenFileHasFixedLinesAndReadsBackTheSame) {
  Write_File("device.ini", kHandMade);
  ASSERT_TRUE(Read_Device_Ini());
  ASSERT_TRUE(Write_Device_Ini());
  EXPECT_EQ(Read_File("device.ini"),
            "IF=ETHERNET\r\n"
            "ErrorFile=C:\\TARNEL\\ERROR.LOG\r\n"
            "WorkFile=C:\\TARNEL\\\r\n"
            "INFORMATION=line 2 of hall B\r\n"
            "[RS232C]\r\n"
            "Port=COM2\r\n"
            "Baud=19200\r\n"
            "Parity=EVEN\r\n"
            "Stop=1\r\n"
            "Data=8\r\n"
            "[SCSI]\r\n"
            "Scantime=2.5\r\n"
            "[ETHERNET]\r\n"
            "TCP_TIMEOUT=60\r\n"
            "SELECT_TIMEOUT=30\r\n"
            "PORTNO=5000\r\n"
            "MAX_IO=20\r\n"
            "[USE_IP]\r\n"
            "1=127.0.0.1\r\n"
            "2=127.0.0.2\r\n");

  const DeviceSettings first = GDeviceSettings;
  const std::string work = DefWorkFile;
  Clear_Device_Settings(&GDeviceSettings);
  Clear_Station_Ip_Table(&GStationIpTable);
  DefWorkFile[0] = '\0';
  ASSERT_TRUE(Read_Device_Ini());
  const DeviceSettings& s = GDeviceSettings;
  EXPECT_STREQ(s.IPADDR, "") << "IPADDR is not written back";
  for (auto field : {&DeviceSettings::IF, &DeviceSettings::Port, &DeviceSettings::Baud,
                     &DeviceSettings::Parity, &DeviceSettings::Stop, &DeviceSettings::Data,
                     &DeviceSettings::Scantime, &DeviceSettings::TCP_TIMEOUT,
                     &DeviceSettings::SELECT_TIMEOUT, &DeviceSettings::PORTNO})
    EXPECT_STREQ(s.*field, first.*field);
  EXPECT_STREQ(s.INFORMATION, first.INFORMATION);
  EXPECT_EQ(s.MAX_IO, first.MAX_IO);
  EXPECT_EQ(DefWorkFile, work);
  EXPECT_EQ(GStationIpTable.count, 2);
}

TEST_F(DeviceIni, OptionalTimeoutsAreLeftOutButPortNumberIsAlwaysWritten) {
  DeviceSettings s;
  Clear_Device_Settings(&s);
  std::snprintf(s.PING_TIMEOUT, sizeof s.PING_TIMEOUT, "500");
  StationIpTable table;
  Clear_Station_Ip_Table(&table);
  const std::string text = Format_Device_Ini(s, "", "", table);
  EXPECT_EQ(text.find("TCP_TIMEOUT"), std::string::npos);
  EXPECT_EQ(text.find("SELECT_TIMEOUT"), std::string::npos);
  EXPECT_NE(text.find("\r\n[ETHERNET]\r\nPING_TIMEOUT=500\r\nPORTNO=\r\nMAX_IO=100\r\n[USE_IP]\r\n"),
            std::string::npos)
      << text;
  EXPECT_TRUE(text.ends_with("[USE_IP]\r\n"));
}

TEST_F(DeviceIni, ALineBreakInAValueCannotAddALine) {
  DeviceSettings s;
  Clear_Device_Settings(&s);
  std::snprintf(s.INFORMATION, sizeof s.INFORMATION, "a\r\nPORTNO=1");
  StationIpTable table;
  Clear_Station_Ip_Table(&table);
  const std::string text = Format_Device_Ini(s, "", "", table);
  EXPECT_NE(text.find("INFORMATION=aPORTNO=1\r\n"), std::string::npos);
}

TEST_F(DeviceIni, StationTableKeepsOnlyThePresentStations) {
  Write_File("device.ini", "IF=ETHERNET\r\n[ETHERNET]\r\nPORTNO=5000\r\n[USE_IP]\r\n"
                           "7=127.0.0.7\r\n3=127.0.0.3\r\n");
  ASSERT_TRUE(Read_Device_Ini());
  ASSERT_EQ(GStationIpTable.count, 2);
  EXPECT_STREQ(GStationIpTable.rows[0].key, "3");
  EXPECT_STREQ(GStationIpTable.rows[0].address, "127.0.0.3");
  EXPECT_STREQ(GStationIpTable.rows[1].key, "7");
  EXPECT_STREQ(GStationIpTable.rows[2].key, "");
  ASSERT_TRUE(Write_Device_Ini());
  EXPECT_TRUE(Read_File("device.ini").ends_with("[USE_IP]\r\n3=127.0.0.3\r\n7=127.0.0.7\r\n"));
  EXPECT_EQ(Load_Station_Ip_Table(), 2);
}

TEST_F(DeviceIni, WorkFileRules) {
  struct Case {
    const char* line;
    std::string folder;
  } cases[] = {
      {"WorkFile=\r\n", prog_dir_},
      {"WorkFile=\n", prog_dir_},
      {"WorkFile=   \r\n", prog_dir_},
      {"WorkFile=D:\r\n", "D:\\"},
      {"WorkFile=C:\\DATA\\\r\n", "C:\\DATA\\"},
      {"WorkFile=C:\\DATA  \r\n", "C:\\DATA\\"},
      {"WorkFile=/srv/ht\r\n", "/srv/ht/"},
  };
  for (const Case& c : cases) {
    Write_File("device.ini", std::string("IF=SCSI\r\n") + c.line + "INFORMATION=x\r\n");
    std::snprintf(DefWorkFile, sizeof DefWorkFile, "untouched");
    ASSERT_TRUE(Read_Device_Ini());
    EXPECT_EQ(std::string(DefWorkFile), c.folder) << c.line;
    EXPECT_STREQ(GDeviceSettings.INFORMATION, "x") << "an empty value takes no other key";
  }
  // Without the key the work folder stays as it was.
  Write_File("device.ini", "IF=SCSI\r\n");
  std::snprintf(DefWorkFile, sizeof DefWorkFile, "untouched");
  ASSERT_TRUE(Read_Device_Ini());
  EXPECT_STREQ(DefWorkFile, "untouched");
}

TEST_F(DeviceIni, ScanTimeRules) {
  struct Case {
    const char* value;
    std::uint32_t ms;
  } cases[] = {{"0.2", 500}, {"45", 30000}, {"1.5", 1500}, {"", 500}, {"fast", 500},
               {"-3", 500},  {"30.0001", 30000}, {"0.5", 500}, {"12.3456", 12345}};
  for (const Case& c : cases) {
    Write_File("device.ini", std::string("IF=SCSI\r\n[SCSI]\r\nScantime=") + c.value + "\r\n");
    GScanTime = 1;
    ASSERT_TRUE(Read_Device_Ini());
    EXPECT_EQ(GScanTime, c.ms) << c.value;
    EXPECT_STREQ(GDeviceSettings.Scantime, c.value) << "the text is kept as read";
  }
}

TEST_F(DeviceIni, MaxIoKeepsEightBitsAndDefaultsTo100) {
  Write_File("device.ini", "IF=ETHERNET\r\n[ETHERNET]\r\nPORTNO=5000\r\n");
  GDeviceSettings.MAX_IO = 7;
  ASSERT_TRUE(Read_Device_Ini());
  EXPECT_EQ(GDeviceSettings.MAX_IO, 100);
  Write_File("device.ini", "IF=ETHERNET\r\n[ETHERNET]\r\nMAX_IO=300\r\n");
  ASSERT_TRUE(Read_Device_Ini());
  EXPECT_EQ(GDeviceSettings.MAX_IO, 44);
}

TEST_F(DeviceIni, TokenizerIgnoresSectionsAndUnknownTokens) {
  // Keys count in any section and any case; stray tokens and values of
  // other readers' keys are passed over; ',' separates like '='.
  Write_File("device.ini",
             "if=rs232c\r\n[IOBOX]\r\nIOBOX_RBYTES=4096\r\nstray\r\nport,COM3\r\n"
             "[X]\r\nbaud=9600\r\n");
  ASSERT_TRUE(Read_Device_Ini());
  EXPECT_STREQ(GDeviceSettings.IF, "rs232c");
  EXPECT_STREQ(GDeviceSettings.Port, "COM3");
  EXPECT_STREQ(GDeviceSettings.Baud, "9600");
}

TEST_F(DeviceIni, OverLongValueIsRefused) {
  std::snprintf(GDeviceSettings.Port, sizeof GDeviceSettings.Port, "COM1");
  Write_File("device.ini", "IF=RS232C\r\nPort=" + std::string(200, 'C') + "\r\nBaud=9600\r\n");
  ASSERT_TRUE(Read_Device_Ini());
  EXPECT_STREQ(GDeviceSettings.Port, "COM1");
  EXPECT_STREQ(GDeviceSettings.Baud, "9600");
}

// A known key with nothing after its '=' on an LF-ended line: the value is
// empty and has no storage behind it. The field is emptied, nothing is copied.
TEST_F(DeviceIni, EmptyValueBeforeALineFeedEmptiesTheField) {
  std::snprintf(GDeviceSettings.PORTNO, sizeof GDeviceSettings.PORTNO, "5000");
  Write_File("device.ini", "IF=ETHERNET\nPORTNO=\nTCP_TIMEOUT=60\n");
  ASSERT_TRUE(Read_Device_Ini());
  EXPECT_STREQ(GDeviceSettings.PORTNO, "");
  EXPECT_STREQ(GDeviceSettings.TCP_TIMEOUT, "60");
  // The same straight through the tokenizer, every text key in turn.
  for (const char* key : {"IF", "INFORMATION", "Port", "Baud", "Parity", "Stop", "Data",
                          "IPADDR", "PORTNO", "TCP_TIMEOUT", "PING_TIMEOUT", "SELECT_TIMEOUT",
                          "Scantime", "ErrorFile", "WorkFile"}) {
    DeviceSettings s;
    Clear_Device_Settings(&s);
    DeviceIniExtras x;
    Parse_Device_Ini(std::string(key) + "=\n", "/prog/", &s, &x);
    EXPECT_STREQ(s.PORTNO, "") << key;
  }
}

TEST_F(DeviceIni, MissingFileChangesNothing) {
  std::snprintf(GDeviceSettings.IF, sizeof GDeviceSettings.IF, "SCSI");
  GStationIpTable.count = 1;
  std::snprintf(GStationIpTable.rows[0].key, sizeof GStationIpTable.rows[0].key, "9");
  GDeviceSettings.MAX_IO = 5;
  EXPECT_FALSE(Read_Device_Ini());
  EXPECT_EQ(boxes_, std::vector<std::string>{"Device.ini File Missing"});
  EXPECT_STREQ(GDeviceSettings.IF, "SCSI");
  EXPECT_EQ(GStationIpTable.count, 1);
  EXPECT_EQ(GDeviceSettings.MAX_IO, 5);
}

TEST_F(DeviceIni, FailedSaveKeepsTheOldFileAndSaysSo) {
  // The program directory has gone away: nothing can be created there.
  Write_File("device.ini", kHandMade);
  ASSERT_TRUE(Read_Device_Ini());
  std::filesystem::remove_all(dir_);
  EXPECT_FALSE(Write_Device_Ini());
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_TRUE(boxes_[0].starts_with(kDeviceIniNotSaved)) << boxes_[0];

  // device.ini cannot be replaced: a folder stands in its way. The folder
  // and its contents stay and no temporary file is left behind.
  std::filesystem::create_directories(dir_ / "device.ini");
  Write_File("device.ini/keep", "x");
  boxes_.clear();
  EXPECT_FALSE(Write_Device_Ini());
  EXPECT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(Entries(), std::vector<std::string>{"device.ini"});
  EXPECT_TRUE(std::filesystem::exists(dir_ / "device.ini" / "keep"));
}

TEST_F(DeviceIni, SaveReplacesTheFileWithoutLeavingTemporaryFiles) {
  Write_File("device.ini", kHandMade);
  ASSERT_TRUE(Read_Device_Ini());
  std::snprintf(GDeviceSettings.IF, sizeof GDeviceSettings.IF, "SCSI");
  ASSERT_TRUE(Write_Device_Ini());
  ASSERT_TRUE(Write_Device_Ini());
  EXPECT_EQ(Entries(), std::vector<std::string>{"device.ini"});
  EXPECT_TRUE(Read_File("device.ini").starts_with("IF=SCSI\r\n"));
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(DeviceIni, PingTimeout) {
  EXPECT_EQ(Get_Ping_Timeout(), 0);
  EXPECT_EQ(boxes_, std::vector<std::string>{"Device.ini Not Found"});
  Write_File("device.ini", "IF=ETHERNET\r\n[ETHERNET]\r\nPORTNO=5000\r\n");
  EXPECT_EQ(Get_Ping_Timeout(), 1000);
  Write_File("device.ini", "IF=ETHERNET\r\n[ETHERNET]\r\nPING_TIMEOUT=250\r\n");
  EXPECT_EQ(Get_Ping_Timeout(), 250);
  EXPECT_EQ(boxes_.size(), 1u);
}

}  // namespace
}  // namespace app_test
