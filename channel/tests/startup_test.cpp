#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel_fixture.h"

namespace channel_test {
namespace {

using Calls = std::vector<std::string>;

// device.ini as the application writes it, CR LF line ends.
const std::string kFullIni =
    "IF=ETHERNET\r\n"
    "ErrorFile=C:\\TARNEL\\ERROR.LOG\r\n"
    "WorkFile=C:\\TARNEL\\\r\n"
    "INFORMATION=shop floor\r\n"
    "[RS232C]\r\n"
    "Port=COM2\r\n"
    "Baud=19200\r\n"
    "Parity=EVEN\r\n"
    "Stop=2\r\n"
    "Data=7\r\n"
    "[SCSI]\r\n"
    "Scantime=1.5\r\n"
    "[ETHERNET]\r\n"
    "TCP_TIMEOUT=60\r\n"
    "PING_TIMEOUT=1000\r\n"
    "SELECT_TIMEOUT=60\r\n"
    "PORTNO=5000\r\n"
    "MAX_IO=100\r\n"
    "[USE_IP]\r\n"
    "1=127.0.0.1\r\n";

std::string Serial_Ini(const std::string& section_body) {
  return "IF=RS232C\n[RS232C]\n" + section_body + "[SCSI]\nScantime=2\n";
}

using StartupChannels = ChannelTest;

TEST_F(StartupChannels, WholeFileStartsEachInterfaceThroughItsDriverInit) {
  Write_Ini(kFullIni);
  GScanTime = 7;
  EXPECT_EQ(Startup_Channels(1), 0);
  EXPECT_EQ(GInterface, 0);
  EXPECT_EQ(GSerialSettings.port_index, 1);
  EXPECT_EQ(GSerialSettings.baud_code, 6);
  EXPECT_EQ(GSerialSettings.parity_code, 1);
  EXPECT_EQ(GSerialSettings.stop_code, 2);
  EXPECT_EQ(GSerialSettings.data_code, 2);
  EXPECT_EQ(GScanTime, 7u) << "the RS-232C start reads only its own section";

  EXPECT_EQ(Startup_Channels(2), 0);
  EXPECT_EQ(GInterface, 1);
  EXPECT_EQ(GScanTime, 1500u);

  EXPECT_EQ(Startup_Channels(3), 0);
  EXPECT_EQ(GInterface, 2);
  EXPECT_EQ(driver_.Calls(), (Calls{"serial:init()", "scsi:init()", "tcp:init()"}));
}

TEST_F(StartupChannels, MissingFileOrHandle) {
  EXPECT_EQ(Startup_Channels(3), CH_NO_INI);
  Write_Ini(kFullIni);
  Instance_Handle = nullptr;
  EXPECT_EQ(Startup_Channels(3), CH_NO_INI);
  EXPECT_TRUE(driver_.Calls().empty());
}

TEST_F(StartupChannels, FileWithoutIfLettersFailsBeforeTheTypeIsChecked) {
  Write_Ini("[ETHERNET]\nPORTNO=5000\n");
  EXPECT_EQ(Startup_Channels(3), CH_INI_ERROR);
  EXPECT_EQ(Startup_Channels(0), CH_INI_ERROR);
  EXPECT_EQ(Startup_Channels(4), CH_INI_ERROR);
  EXPECT_EQ(GInterface, -1);
}

TEST_F(StartupChannels, BadTypeWithIfPresent) {
  Write_Ini(kFullIni);
  EXPECT_EQ(Startup_Channels(0), CH_BAD_TYPE);
  EXPECT_EQ(Startup_Channels(4), CH_BAD_TYPE);
  EXPECT_EQ(GInterface, -1);
  EXPECT_TRUE(driver_.Calls().empty());
}

TEST_F(StartupChannels, TypeArgumentChoosesOverTheIfLine) {
  Write_Ini("IF=SCSI\n[SCSI]\nScantime=3\n[ETHERNET]\nPORTNO=5000\n");
  EXPECT_EQ(Startup_Channels(3), 0);
  EXPECT_EQ(GInterface, 2);
  EXPECT_EQ(driver_.Calls(), (Calls{"tcp:init()"}));
}

TEST_F(StartupChannels, SectionNameIsCaseSensitive) {
  Write_Ini("IF=RS232C\n[rs232c]\nPort=COM1\nBaud=9600\nParity=NONE\nStop=1\nData=8\n");
  EXPECT_EQ(Startup_Channels(1), CH_INI_ERROR);
  EXPECT_TRUE(driver_.Calls().empty());
}

TEST_F(StartupChannels, SerialKeysInAnyOrderAndCase) {
  Write_Ini(Serial_Ini("data=5\nSTOP=1.5\nbAuD=115200\nparity=odd\nPort=com4\n"));
  EXPECT_EQ(Startup_Channels(1), 0);
  EXPECT_EQ(GSerialSettings.port_index, 3);
  EXPECT_EQ(GSerialSettings.baud_code, 9);
  EXPECT_EQ(GSerialSettings.parity_code, 2);
  EXPECT_EQ(GSerialSettings.stop_code, 1);
  EXPECT_EQ(GSerialSettings.data_code, 0);
  EXPECT_EQ(driver_.Calls(), (Calls{"serial:init()"}));
}

TEST_F(StartupChannels, SerialSectionNeedsExactlyFiveCountedKeys) {
  const std::string five = "Port=COM1\nBaud=9600\nParity=NONE\nStop=1\nData=8\n";
  Write_Ini(Serial_Ini(five + "IRQ=5\n"));
  EXPECT_EQ(Startup_Channels(1), CH_SERIAL_KEYS);
  Write_Ini(Serial_Ini("Port=COM1\nBaud=9600\nParity=NONE\nStop=1\n"));
  EXPECT_EQ(Startup_Channels(1), CH_SERIAL_KEYS);
  Write_Ini(Serial_Ini("Port=COM1\nBaud=9600\nParity=NONE\nStop=1\nStop=2\n"));
  EXPECT_EQ(Startup_Channels(1), CH_SERIAL_KEYS);
  // Keys that the serial driver does not use are not counted.
  Write_Ini(Serial_Ini(five + "Scantime=2\nPORTNO=5000\nIPADDR=127.0.0.1\n"));
  EXPECT_EQ(Startup_Channels(1), 0);
  EXPECT_EQ(driver_.Calls(), (Calls{"serial:init()"}));
}

TEST_F(StartupChannels, SerialValuesAreChecked) {
  struct Case {
    const char* body;
    int result;
  } cases[] = {
      {"Port=COM5\nBaud=9600\nParity=NONE\nStop=1\nData=8\n", CH_BAD_PORT},
      {"Port=COM1\nBaud=600\nParity=NONE\nStop=1\nData=8\n", CH_BAD_BAUD},
      {"Port=COM1\nBaud=9600\nParity=MARK\nStop=1\nData=8\n", CH_BAD_PARITY},
      {"Port=COM1\nBaud=9600\nParity=NONE\nStop=3\nData=8\n", CH_BAD_STOP},
      {"Port=COM1\nBaud=9600\nParity=NONE\nStop=1\nData=4\n", CH_BAD_DATA},
      {"Port=COM1\nBaud=9600\nParity=NONE\nStop=1\nIRQ=16\n", CH_BAD_IRQ},
      {"Port=COM1\nBaud=9600\nParity=NONE\nStop=1\nIRQ=-1\n", CH_BAD_IRQ},
      {"Port=COM1\nBaud=9600\nParity=NONE\nIRQ=15\nIO_ADDR=0x3F8\n", 0},
      {"Port=co m2\nBaud=9 600\nParity=None\nStop=1\nData=8\n", 0},  // blanks dropped
  };
  for (const Case& c : cases) {
    Write_Ini(Serial_Ini(c.body));
    EXPECT_EQ(Startup_Channels(1), c.result) << c.body;
  }
  // Only the accepted files reached the driver.
  EXPECT_EQ(driver_.Calls(), (Calls{"serial:init()", "serial:init()"}));
  EXPECT_EQ(GSerialSettings.port_index, 1);
}

TEST_F(StartupChannels, PortMayNameASerialDeviceItself) {
  const std::string rest = "Baud=9600\nParity=NONE\nStop=1\nData=8\n";
  Write_Ini(Serial_Ini("Port=/dev/ttyUSB0\n" + rest));
  EXPECT_EQ(Startup_Channels(1), 0);
  EXPECT_STREQ(GSerialSettings.device, "/dev/ttyUSB0");
  EXPECT_EQ(GSerialSettings.port_index, 0);
  // Only paths under /dev/ that fit the field, without "..".
  for (const char* bad : {"Port=/dev/\n", "Port=/dev/../etc/passwd\n", "Port=/tmp/x\n",
                          "Port=/dev/serial/by-id/usb-0123456789abcdef-if00\n"}) {
    Write_Ini(Serial_Ini(bad + rest));
    EXPECT_EQ(Startup_Channels(1), CH_BAD_PORT) << bad;
  }
  // COMn again clears the device.
  Write_Ini(Serial_Ini("Port=COM2\n" + rest));
  EXPECT_EQ(Startup_Channels(1), 0);
  EXPECT_STREQ(GSerialSettings.device, "");
  EXPECT_EQ(GSerialSettings.port_index, 1);
}

TEST_F(StartupChannels, UnknownKeyOnlyCountsInTheSelectedSection) {
  Write_Ini("IF=SCSI\n[SCSI]\nSPEED=1\n[ETHERNET]\nPORTNO=5000\n");
  EXPECT_EQ(Startup_Channels(2), CH_INI_ERROR);
  EXPECT_EQ(Startup_Channels(3), 0);
}

TEST_F(StartupChannels, ScanTimeIsClampedAndWrittenStraightAway) {
  struct Case {
    const char* value;
    std::uint32_t ms;
  } cases[] = {{"0.2", 500},   {"45", 30000}, {"2.5", 2500}, {"1.9999", 1999},
               {"", 500},      {"abc", 500},  {"-1", 30000}, {"30", 30000}};
  for (const Case& c : cases) {
    Write_Ini(std::string("IF=SCSI\n[SCSI]\nScantime=") + c.value + "\n");
    GScanTime = 1;
    EXPECT_EQ(Startup_Channels(2), 0) << c.value;
    EXPECT_EQ(GScanTime, c.ms) << c.value;
  }
  // An empty section leaves it alone.
  Write_Ini("IF=SCSI\n[SCSI]\n[ETHERNET]\n");
  GScanTime = 1234;
  EXPECT_EQ(Startup_Channels(2), 0);
  EXPECT_EQ(GScanTime, 1234u);
  // A failure later in the section keeps the interface and the scan time.
  Write_Ini("IF=SCSI\n[SCSI]\nScantime=3\nSPEED=1\n");
  EXPECT_EQ(Startup_Channels(2), CH_INI_ERROR);
  EXPECT_EQ(GScanTime, 3000u);
  EXPECT_EQ(GInterface, 1);
}

TEST_F(StartupChannels, LastValueWithoutLineBreakIsAnError) {
  Write_Ini("IF=ETHERNET\n[ETHERNET]\nPORTNO=5000\nMAX_IO=10");
  EXPECT_EQ(Startup_Channels(3), CH_INI_ERROR);
  // The TCP/IP values also end at a 0xFF byte; the address does not.
  Write_Ini("IF=ETHERNET\n[ETHERNET]\nMAX_IO=10\xFF");
  EXPECT_EQ(Startup_Channels(3), 0);
  Write_Ini("IF=ETHERNET\n[ETHERNET]\nIPADDR=10.0.0.1\xFF");
  EXPECT_EQ(Startup_Channels(3), CH_INI_ERROR);
  // A section that runs to the end of the file after a complete line is fine.
  Write_Ini("IF=ETHERNET\n[ETHERNET]\nPORTNO=5000\n");
  EXPECT_EQ(Startup_Channels(3), 0);
}

TEST_F(StartupChannels, DriverInitResult) {
  Write_Ini(kFullIni);
  driver_.Set_Result("init", 17);
  EXPECT_EQ(Startup_Channels(3), 0);
  driver_.Set_Result("init", -40);
  EXPECT_EQ(Startup_Channels(3), -40);
}

}  // namespace
}  // namespace channel_test
