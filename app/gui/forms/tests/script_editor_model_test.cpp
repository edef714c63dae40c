#include "app/gui/forms/script_editor_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/core/progdir.h"
#include "app/gui/forms/command_form.h"
#include "engine/rox32.h"

namespace {

namespace fs = std::filesystem;

TEST(ScriptText, AddPutsCrLfBetweenLinesOnly) {
  EXPECT_EQ(Script_Add("", "/B"), "/B");
  EXPECT_EQ(Script_Add("/B", "/F A:"), "/B\r\n/F A:");
  // Text already ending in CR LF gets no empty line.
  EXPECT_EQ(Script_Add("/B\r\n", "/F A:"), "/B\r\n/F A:");
  // A lone LF is no line end of a script file.
  EXPECT_EQ(Script_Add("/B\n", "/F A:"), "/B\n\r\n/F A:");
}

TEST(ScriptText, CombineJoinsTheLastLine) {
  EXPECT_EQ(Script_Combine("", "/B"), "/B");
  EXPECT_EQ(Script_Combine("/S A B\r\n/B", "/B"), "/S A B\r\n/B /B");
  // Built from the form as Combine does, with Buzzer chosen.
  FormValues v = Initial_Form_Values();
  Apply_Command_Change(v, kFormBuzzer, true);
  EXPECT_EQ(Script_Combine("/B", Build_Command_Line(v, true)), "/B /B");
  // SetFileInfo builds its whole command for Combine too.
  Apply_Command_Change(v, kFormSetFileInfo, true);
  v.second = "A:\\F";
  v.date = "2026-12-08";
  v.time = "10:00:00";
  EXPECT_EQ(Script_Combine("/B", Build_Command_Line(v, true)), "/B /X A:\\F 0 2026-12-08 10:00:00");
}

TEST(ScriptText, LineEndsBetweenFieldAndFile) {
  EXPECT_EQ(To_Script_Line_Ends("/B\n/F A:\n"), "/B\r\n/F A:\r\n");
  EXPECT_EQ(To_Script_Line_Ends("/B\r\n/F A:"), "/B\r\n/F A:");
  EXPECT_EQ(From_Script_Line_Ends("/B\r\n/F A:\r\n"), "/B\n/F A:\n");
  const std::string script = "/S A B\r\n/E X.SCR /B\r\n";
  EXPECT_EQ(To_Script_Line_Ends(From_Script_Line_Ends(script)), script);
}

// A program directory with device.ini and a working directory "work" in a
// scratch folder; DefWorkFile restored afterwards.
class ScriptEditorFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / (std::string("tarnel-script-") + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "work");
    fs::create_directories(dir_ / "other");
    ASSERT_TRUE(Set_Program_Directory(dir_.string()));
    Write(dir_ / "device.ini", "IF=RS232C\r\n");
    std::memcpy(saved_work_, DefWorkFile, sizeof saved_work_);
    Set_Work((dir_ / "work").string() + "/");
  }
  void TearDown() override {
    std::memcpy(DefWorkFile, saved_work_, sizeof saved_work_);
    Reset_Program_Directory();
    fs::remove_all(dir_);
  }
  static void Set_Work(const std::string& pc) {
    std::memset(DefWorkFile, 0, sizeof DefWorkFile);
    std::strncpy(DefWorkFile, pc.c_str(), sizeof DefWorkFile - 1);
  }
  static void Write(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string Work() {
    std::string w;
    EXPECT_EQ(Check_Script_Ready(&w), kScriptOk);
    return w;
  }

  fs::path dir_;
  char saved_work_[sizeof DefWorkFile];
};

TEST_F(ScriptEditorFiles, ReadyChecksInOrder) {
  std::string w;
  EXPECT_EQ(Check_Script_Ready(&w), kScriptOk);
  EXPECT_EQ(w, (dir_ / "work").string());  // no trailing separator
  Set_Work((dir_ / "missing").string());
  EXPECT_EQ(Check_Script_Ready(&w), kScriptNoWorkDir);
  Set_Work("Q:\\");  // a drive the table does not map
  EXPECT_EQ(Check_Script_Ready(&w), kScriptNoWorkDir);
  fs::remove(dir_ / "device.ini");  // device.ini comes first
  EXPECT_EQ(Check_Script_Ready(&w), kScriptNoDeviceIni);
  EXPECT_EQ(Script_Message(kScriptNoDeviceIni, false), "Device.ini File missing\n Cannot open any Script File");
  EXPECT_EQ(Script_Message(kScriptNoWorkDir, true), "Working Directory not valid. \n Cannot Save the Script File.");
}

TEST_F(ScriptEditorFiles, ChosenFileMustBeScrInTheWorkingDirectory) {
  const std::string w = Work();
  const std::string work = (dir_ / "work").string();
  EXPECT_EQ(Check_Script_Path(work + "/A.SCR", w), kScriptOk);  // upper case accepted
  EXPECT_EQ(Check_Script_Path(work + "/a.Scr", w), kScriptOk);
  EXPECT_EQ(Check_Script_Path(work + "/./sub/../b.scr", w), kScriptOk);
  EXPECT_EQ(Check_Script_Path(work + "/a.txt", w), kScriptNotScr);
  EXPECT_EQ(Check_Script_Path(work + "/scr", w), kScriptNotScr);
  EXPECT_EQ(Check_Script_Path(work + "/a.scr.bak", w), kScriptNotScr);
  // The same name in another folder, and in a folder below, is refused.
  Write(dir_ / "other" / "a.scr", "/B");
  Write(dir_ / "work" / "a.scr", "/B");
  EXPECT_EQ(Check_Script_Path((dir_ / "other" / "a.scr").string(), w), kScriptNotInWorkDir);
  fs::create_directories(dir_ / "work" / "sub");
  EXPECT_EQ(Check_Script_Path(work + "/sub/a.scr", w), kScriptNotInWorkDir);
  // The extension is checked before the folder.
  EXPECT_EQ(Check_Script_Path((dir_ / "other" / "a.txt").string(), w), kScriptNotScr);
  // The folder's spelling may differ in case (the PC's file system).
  std::string upper = dir_.string() + "/WORK/x.scr";
  EXPECT_EQ(Check_Script_Path(upper, w), kScriptOk);
  EXPECT_EQ(Script_Message(kScriptNotInWorkDir, false),
            "Cannot open this file \n Only '.SCR' from working dir can be opened");
  EXPECT_EQ(Script_Message(kScriptNotScr, true), "Cannot Save this File.\n Only '.SCR' can be Saved.");
}

TEST_F(ScriptEditorFiles, DriveLetterWorkingDirectory) {
  const std::string root = dir_.string();
  setenv("TARNEL_DRIVES", ("D=" + root).c_str(), 1);
  Set_Work("d:\\Work\\");
  std::string w;
  EXPECT_EQ(Check_Script_Ready(&w), kScriptOk);
  EXPECT_EQ(w, root + "/work");
  EXPECT_EQ(Check_Script_Path(root + "/work/run.scr", w), kScriptOk);
  EXPECT_EQ(Check_Script_Path(root + "/other/run.scr", w), kScriptNotInWorkDir);
  unsetenv("TARNEL_DRIVES");
}

TEST_F(ScriptEditorFiles, SizeLimitOnOpenAndSave) {
  const fs::path file = dir_ / "work" / "big.scr";
  const std::string fits(kScriptMaxBytes, 'x');
  const std::string over(kScriptMaxBytes + 1, 'x');
  std::string text, why;
  ASSERT_EQ(Save_Script(file.string(), fits, &why), kScriptOk) << why;
  EXPECT_EQ(Read(file), fits);
  ASSERT_EQ(Load_Script(file.string(), &text, &why), kScriptOk) << why;
  EXPECT_EQ(text, fits);

  // 20001 bytes do not save: the file keeps what it held.
  EXPECT_EQ(Save_Script(file.string(), over, &why), kScriptTooBig);
  EXPECT_EQ(Read(file), fits);
  EXPECT_EQ(Script_Message(kScriptTooBig, true), "File Size too big\n Can not save this file");
  // A new file is not even created.
  EXPECT_EQ(Save_Script((dir_ / "work" / "new.scr").string(), over, &why), kScriptTooBig);
  EXPECT_FALSE(fs::exists(dir_ / "work" / "new.scr"));

  // 20001 bytes do not open; the text stays as it was.
  Write(file, over);
  text = "kept";
  EXPECT_EQ(Load_Script(file.string(), &text, &why), kScriptTooBig);
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(Script_Message(kScriptTooBig, false), "File Size too big. \n Can't open the Script File.");
}

TEST_F(ScriptEditorFiles, SavedExactlyAndWholeOrNotAtAll) {
  const fs::path file = dir_ / "work" / "s.scr";
  std::string why, text;
  const std::string script = "/S A.TXT B:\\\r\n/B /B";  // no terminator added
  ASSERT_EQ(Save_Script(file.string(), script, &why), kScriptOk) << why;
  EXPECT_EQ(Read(file), script);
  ASSERT_EQ(Load_Script(file.string(), &text, &why), kScriptOk);
  EXPECT_EQ(text, script);
  EXPECT_EQ(Save_Script(file.string(), "", &why), kScriptOk);
  EXPECT_EQ(Read(file), "");
  // Nothing but the script itself is left in the folder.
  int entries = 0;
  for (const auto& e : fs::directory_iterator(dir_ / "work")) entries += e.path().filename() == "s.scr" ? 0 : 1;
  EXPECT_EQ(entries, 0);

  // A folder that does not exist: an error with its reason, nothing created.
  const std::string bad = (dir_ / "gone" / "x.scr").string();
  EXPECT_EQ(Save_Script(bad, script, &why), kScriptFileError);
  EXPECT_FALSE(why.empty());
  EXPECT_NE(Script_Message(kScriptFileError, true, bad, why).find(bad), std::string::npos);
  EXPECT_EQ(Load_Script(bad, &text, &why), kScriptFileError);
}

TEST(ScriptName, DefaultExtension) {
  EXPECT_EQ(With_Script_Extension("/w/run"), "/w/run.scr");
  EXPECT_EQ(With_Script_Extension("/w/run.txt"), "/w/run.txt");
  EXPECT_EQ(With_Script_Extension("/w.d/run"), "/w.d/run.scr");
  EXPECT_EQ(With_Script_Extension(""), "");
}

}  // namespace
