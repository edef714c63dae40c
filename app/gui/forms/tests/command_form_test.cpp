#include "app/gui/forms/command_form.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/core/startup.h"
#include "app/gui/stations/tests/session_table_guard.h"
#include "engine/rox32.h"
#include "platform/atomic.h"

namespace {

FormValues With(int command) {
  FormValues v = Initial_Form_Values();
  Apply_Command_Change(v, command, false);
  return v;
}

TEST(CommandLine, EveryCommandOfTheScreen) {
  FormValues v = With(kFormSend);
  v.first = "A.TXT";
  v.second = "B:\\";
  EXPECT_EQ(Build_Command_Line(v, false), "/S A.TXT B:\\");
  v.overwrite = v.update = true;
  v.single = true;
  EXPECT_EQ(Build_Command_Line(v, false), "/1/SOU A.TXT B:\\");
  v.recursive = true;
  v.single = false;
  EXPECT_EQ(Build_Command_Line(v, false), "/SORU A.TXT B:\\");

  v = With(kFormReceive);
  v.first = "C:\\X.DAT";
  v.second = "D:\\IN";
  v.recursive = true;
  EXPECT_EQ(Build_Command_Line(v, false), "/RR C:\\X.DAT D:\\IN");

  EXPECT_EQ(Build_Command_Line(With(kFormBuzzer), false), "/B");
  v = With(kFormFormat);
  v.drive = 1;
  EXPECT_EQ(Build_Command_Line(v, false), "/F B:");
  v = With(kFormSetTimeDate);
  v.date = "2026-12-08";
  v.time = "15:04:05";
  EXPECT_EQ(Build_Command_Line(v, false), "/T 2026-12-08 15:04:05");
  v = With(kFormDelete);
  v.second = "A:\\OLD";
  v.overwrite = v.recursive = true;
  EXPECT_EQ(Build_Command_Line(v, false), "/DOR A:\\OLD");
  v = With(kFormDispStr);
  v.first = "HELLO WORLD";
  EXPECT_EQ(Build_Command_Line(v, false), "/p HELLO WORLD");
  v = With(kFormMove);
  v.first = "A:\\1";
  v.second = "A:\\2";
  EXPECT_EQ(Build_Command_Line(v, false), "/N A:\\1 A:\\2");
  v.command = kFormAppendSend;
  EXPECT_EQ(Build_Command_Line(v, false), "/AS A:\\1 A:\\2");
  v = With(kFormGetDiskInfo);
  v.drive = 25;
  EXPECT_EQ(Build_Command_Line(v, false), "/I Z:");
  v = With(kFormGetFileInfo);
  v.second = "A:\\F";
  EXPECT_EQ(Build_Command_Line(v, false), "/I A:\\F");
  v = With(kFormExec);
  v.first = "\"tool\" -x";
  EXPECT_EQ(Build_Command_Line(v, false), "/C \"tool\" -x");
}

TEST(CommandLine, AppendRecvWritesTheSecondFieldFirst) {
  FormValues v = With(kFormAppendRecv);
  v.first = "C:\\LOG.TXT";   // destination on the PC
  v.second = "A:\\LOG.TXT";  // source on the HT
  EXPECT_EQ(Build_Command_Line(v, false), "/AR A:\\LOG.TXT C:\\LOG.TXT");
  v.single = true;
  EXPECT_EQ(Build_Command_Line(v, false), "/1/AR A:\\LOG.TXT C:\\LOG.TXT");
}

TEST(CommandLine, SetFileInfoLettersInTheirOrder) {
  FormValues v = With(kFormSetFileInfo);
  v.second = "A:\\F";
  v.size = "12";
  v.date = "2026-01-02";
  v.time = "03:04:05";
  v.hidden = v.archive = v.read_only = v.system = true;
  EXPECT_EQ(Build_Command_Line(v, false), "/XHRAS A:\\F 12 2026-01-02 03:04:05");
  v.hidden = v.read_only = false;
  EXPECT_EQ(Build_Command_Line(v, false), "/XAS A:\\F 12 2026-01-02 03:04:05");
}

TEST(CommandLine, EndSessionForcesSingleAndTheEditorNeverPrefixes) {
  FormValues v = With(kFormEndSession);
  EXPECT_TRUE(v.single);
  v.second = "72";
  EXPECT_EQ(Build_Command_Line(v, false), "/1// 72");
  v.single = false;  // even if a caller forgot the rule
  EXPECT_EQ(Build_Command_Line(v, false), "/1// 72");
  EXPECT_EQ(Build_Command_Line(v, true), "// 72");
  FormValues s = With(kFormSend);
  s.single = true;
  s.first = "X";
  s.second = "Y";
  EXPECT_EQ(Build_Command_Line(s, true), "/S X Y");
}

TEST(FormRules, ChangingTheCommandEmptiesFieldsAndClearsWhatItDisables) {
  FormValues v = Initial_Form_Values();
  EXPECT_EQ(v.command, kFormSend);
  EXPECT_EQ(Drive_Text(v.drive), "A:");
  EXPECT_EQ(v.size, "0");
  EXPECT_EQ(v.date.size(), 10u);
  EXPECT_EQ(v.time.size(), 8u);
  EXPECT_FALSE(v.single);
  v.first = "a";
  v.second = "b";
  v.overwrite = v.recursive = v.update = true;
  Apply_Command_Change(v, kFormDelete, false);
  EXPECT_TRUE(v.first.empty());
  EXPECT_TRUE(v.second.empty());
  EXPECT_TRUE(v.overwrite);
  EXPECT_TRUE(v.recursive);
  EXPECT_FALSE(v.update);  // Delete has no Update box
  Apply_Command_Change(v, kFormEndSession, false);
  EXPECT_TRUE(v.single);
  Apply_Command_Change(v, kFormBuzzer, false);
  EXPECT_FALSE(v.single);  // back to Batch
  EXPECT_FALSE(v.overwrite);
}

TEST(FormRules, EnablesAndLabelsPerCommand) {
  const FormRules send = Rules_For(kFormSend, false);
  EXPECT_TRUE(send.browse && send.first && send.second && send.update);
  const FormRules receive = Rules_For(kFormReceive, false);
  EXPECT_FALSE(receive.browse);
  EXPECT_TRUE(receive.first && receive.second);
  const FormRules del = Rules_For(kFormDelete, false);
  EXPECT_FALSE(del.first || del.browse || del.update);
  EXPECT_STREQ(del.second_label, "Enter File");
  EXPECT_STREQ(Rules_For(kFormDispStr, false).first_label, "Enter String");
  EXPECT_STREQ(Rules_For(kFormExec, false).first_label, "Child Process");
  const FormRules recv = Rules_For(kFormAppendRecv, false);
  EXPECT_STREQ(recv.first_label, "Destination File");
  EXPECT_STREQ(recv.second_label, "Source File");
  const FormRules end = Rules_For(kFormEndSession, false);
  EXPECT_TRUE(end.force_single);
  EXPECT_FALSE(end.batch_enabled);
  EXPECT_STREQ(end.second_label, "Ending Code");
  const FormRules sfi = Rules_For(kFormSetFileInfo, false);
  EXPECT_TRUE(sfi.attrib && sfi.size && sfi.date_time && sfi.second);
  EXPECT_FALSE(sfi.drive || sfi.first);
  EXPECT_TRUE(Rules_For(kFormFormat, false).drive);
  EXPECT_FALSE(Rules_For(kFormMove, false).options);
  EXPECT_TRUE(Rules_For(kFormMove, true).options);  // the editor offers Options there
  EXPECT_TRUE(Rules_For(kFormAppendSend, true).overwrite);
  EXPECT_FALSE(Rules_For(kFormBuzzer, true).options);
}

TEST(FormRules, BrowseQuotesAndSeparatesWithABlank) {
  EXPECT_EQ(Append_Browsed_Path("", "/srv/a b.txt"), "\"/srv/a b.txt\"");
  EXPECT_EQ(Append_Browsed_Path("X", "C:\\y"), "X \"C:\\y\"");
  EXPECT_STREQ(kBrowseFilters[3].name, "Header Files \\\n(*.h)");
  EXPECT_EQ(Script_Run_Line("DAILY.SCR", true), "/1/E DAILY.SCR");
  EXPECT_EQ(Script_Run_Line("DAILY.SCR", false), "/E DAILY.SCR");
}

class FakeHost : public FormHost {
 public:
  explicit FakeHost(int iface) : iface_(iface) {}
  int Interface_Type() const override { return iface_; }
  void Command_Flags_Off() override { ++flags_off; }
  bool Link_Manager_Running() const override { return running; }
  void Start_Link_Manager() override { ++starts; }
  void Lay_Out_Ping_Panel() override { ++ping_layouts; }
  int flags_off = 0, starts = 0, ping_layouts = 0;
  bool running = false;

 private:
  int iface_;
};

std::string Slot(int ht) {
  char out[CMD_BUF_SIZE];
  return Read_Command_Buffer(ht, out, sizeof out) ? out : "";
}

class Distribution : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int ht = 1; ht <= MAX_HT; ++ht) Clear_Command_Buffer(ht);
  }
  void TearDown() override {
    for (int ht = 1; ht <= MAX_HT; ++ht) Clear_Command_Buffer(ht);
  }
  stations_test::SessionTableGuard guard_;
};

TEST_F(Distribution, TcpIpWritesChosenStationsOnlyAndKeepsTheOthers) {
  FakeHost host(kTcpip);
  Write_Command_Buffer(9, "/B");
  for (int ht : {3, 200, 255}) platform::Store(Info_Of(ht).CheckFlag, 1);
  platform::Store(Info_Of(4).CurrentlySelected, 1);  // from an earlier selection
  EXPECT_EQ(Distribute_Line(host, "/S A B", true, DistributeKind::kCommandScreen), DistributeResult::kDone);
  EXPECT_EQ(Slot(3), "/S A B");
  EXPECT_EQ(Slot(200), "/S A B");
  EXPECT_EQ(Slot(255), "/S A B");
  EXPECT_EQ(Slot(4), "");
  EXPECT_EQ(Slot(9), "/B");
  EXPECT_EQ(platform::Load(Info_Of(3).BatchFlag), 1);
  EXPECT_EQ(platform::Load(Info_Of(4).BatchFlag), 0);
  EXPECT_EQ(platform::Load(Info_Of(4).CurrentlySelected), 0);
  EXPECT_EQ(host.ping_layouts, 1);
  EXPECT_EQ(host.starts, 1);
  EXPECT_EQ(host.flags_off, 0);
}

TEST_F(Distribution, ScsiStopsAtSevenAndSingleLeavesBatchFlags) {
  FakeHost host(kScsi);
  host.running = true;
  platform::Store(Info_Of(7).CheckFlag, 1);
  platform::Store(Info_Of(8).CheckFlag, 1);
  EXPECT_EQ(Distribute_Line(host, Script_Run_Line("A.SCR", true), false, DistributeKind::kScript),
            DistributeResult::kDone);
  EXPECT_EQ(Slot(7), "/1/E A.SCR");
  EXPECT_EQ(Slot(8), "");
  EXPECT_EQ(platform::Load(Info_Of(7).BatchFlag), 0);
  EXPECT_EQ(host.ping_layouts, 0);
  EXPECT_EQ(host.starts, 0);
}

TEST_F(Distribution, Rs232cGoesToHtOneAndBatchSwitchesTheCommandsOff) {
  FakeHost host(kRs232);
  EXPECT_EQ(Distribute_Line(host, "/B", true, DistributeKind::kCommandScreen), DistributeResult::kDone);
  EXPECT_EQ(Slot(1), "/B");
  EXPECT_EQ(platform::Load(Info_Of(1).BatchFlag), 1);
  EXPECT_EQ(host.flags_off, 1);
  EXPECT_EQ(host.starts, 1);
}

TEST_F(Distribution, ALineTooLongForTheSlotChangesNothing) {
  FakeHost host(kTcpip);
  platform::Store(Info_Of(2).CheckFlag, 1);
  Write_Command_Buffer(2, "/B");
  EXPECT_EQ(Distribute_Line(host, "/S " + std::string(1997, 'x'), true, DistributeKind::kCommandScreen),
            DistributeResult::kTooLong);
  EXPECT_EQ(Slot(2), "/B");
  EXPECT_EQ(platform::Load(Info_Of(2).BatchFlag), 0);
  EXPECT_EQ(host.starts, 0);
  EXPECT_EQ(Distribute_Line(host, "/S " + std::string(1996, 'x'), true, DistributeKind::kCommandScreen),
            DistributeResult::kDone);
  EXPECT_EQ(Slot(2).size(), 1999u);
}

}  // namespace
