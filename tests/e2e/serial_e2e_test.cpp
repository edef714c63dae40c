// The headless server on an RS-232C line: htsim makes a pseudo-terminal
// pair and TARNEL_COM1 names its PC side.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

std::string Serial_Device_Ini(const std::string& dir) {
  return "IF=RS232C\r\nErrorFile=" + dir + "/error.log\r\nWorkFile=" + dir +
         "\r\nINFORMATION=e2e\r\n[RS232C]\r\nPort=COM1\r\nBaud=115200\r\nParity=NONE\r\nStop=1\r\n"
         "Data=8\r\n[SCSI]\r\nScantime=2\r\n[ETHERNET]\r\nPORTNO=5000\r\nMAX_IO=8\r\n[USE_IP]\r\n";
}

TEST(SerialE2e, FetchAndSendOverAPseudoTerminalThenStop) {
  ScratchDir dir("serial-e2e");
  const std::string locks = dir.File("locks");
  std::filesystem::create_directories(locks);
  std::filesystem::create_directories(dir.File("disk"));
  dir.Write("device.ini", Serial_Device_Ini(dir.Path()));
  dir.Write("panelset.ini", Panelset_Ini());
  dir.Write("pcfile.txt", std::string(5000, 'p'));
  dir.Write("disk/HT.TXT", "from the terminal\n");

  Ht ht(dir, "ht");
  ASSERT_TRUE(ht.Start_Line({"--pty", "--link", dir.File("com1"), "--disk", dir.File("disk"), "--do",
                             "sleep 1500", "--do", "fetch C:\\pcfile.txt", "--do",
                             "send HT.TXT C:\\ht_sent.txt"}));
  ASSERT_TRUE(ht.Wait_For("link path", 10000));

  Server server(dir);
  server.Add_Environment("TARNEL_COM1=" + dir.File("com1"));
  server.Add_Environment("TARNEL_LOCK_DIR=" + locks);
  server.Add_Environment("TARNEL_DRIVES=C=" + dir.Path());
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(ht.Wait_For("link line up", 10000)) << ht.Out();

  // While the session runs the port is locked, for this server's PID.
  std::string lock_file;
  for (const auto& e : std::filesystem::directory_iterator(locks)) lock_file = e.path().string();
  ASSERT_FALSE(lock_file.empty());
  EXPECT_EQ(std::stoi(Read_File(lock_file)), server.Pid());

  // A second server on the same port is refused, naming the holder.
  ScratchDir dir2("serial-e2e-second");
  dir2.Write("device.ini", Serial_Device_Ini(dir2.Path()));
  dir2.Write("panelset.ini", Panelset_Ini());
  Server second(dir2);
  second.Add_Environment("TARNEL_COM1=" + dir.File("com1"));
  second.Add_Environment("TARNEL_LOCK_DIR=" + locks);
  ASSERT_TRUE(second.Start());
  EXPECT_TRUE(second.Wait_For("held by process " + std::to_string(server.Pid()), 10000)) << second.Out();
  second.Signal(SIGTERM);
  EXPECT_EQ(second.Wait(20000), 0);
  // Said once, not once a second.
  EXPECT_EQ(Count_Lines(second.Out(), "cannot be opened"), 1) << second.Out();

  EXPECT_EQ(ht.Wait(30000), 0) << ht.Out();
  EXPECT_NE(ht.Out().find("ht recv C:\\pcfile.txt bytes=5000"), std::string::npos) << ht.Out();
  EXPECT_EQ(Read_File(dir.File("disk/pcfile.txt")), std::string(5000, 'p'));
  EXPECT_EQ(Read_File(dir.File("ht_sent.txt")), "from the terminal\n");
  EXPECT_TRUE(server.Wait_For("ending 72", 10000)) << server.Out();

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(20000), 0) << server.Out();
  EXPECT_TRUE(std::filesystem::is_empty(locks));
}

}  // namespace
}  // namespace e2e
