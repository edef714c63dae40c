#include "app/gui/forms/script_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/rox32.h"

namespace {

namespace fs = std::filesystem;

class ScriptFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           (std::string("tarnel-scripts-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Touch(const std::string& name) { std::ofstream(dir_ / name) << "/B"; }
  // The folder as the operator writes it in device.ini: drive C: and
  // backslashes.
  std::string Pc_Dir() const {
    std::string pc = "C:" + dir_.string();
    std::replace(pc.begin(), pc.end(), '/', '\\');
    return pc;
  }
  fs::path dir_;
};

TEST_F(ScriptFiles, OnlyScrFilesInAnyCaseSortedByNameIgnoringCase) {
  for (const char* name : {"beta.scr", "Alpha.SCR", "gamma.Scr", "alpha2.scr", "notes.txt", "old.scr.bak", "scr",
                           "x.scrx", ".scr"})
    Touch(name);
  fs::create_directories(dir_ / "folder.scr");
  const std::vector<std::string> expected = {".scr", "Alpha.SCR", "alpha2.scr", "beta.scr", "gamma.Scr"};
  // Through the drive table with a trailing backslash, without one, and as
  // a native folder: the same list.
  EXPECT_EQ(Script_Files_In(Pc_Dir() + "\\"), expected);
  EXPECT_EQ(Script_Files_In(Pc_Dir()), expected);
  EXPECT_EQ(Script_Files_In(dir_.string()), expected);
}

TEST_F(ScriptFiles, EmptyMissingAndUnmappedFoldersGiveNoNames) {
  EXPECT_TRUE(Script_Files_In(dir_.string()).empty());
  EXPECT_TRUE(Script_Files_In((dir_ / "missing").string()).empty());
  Touch("a.scr");
  // Q: is mapped by no drive table of the tests.
  EXPECT_TRUE(Script_Files_In("Q:\\" + dir_.filename().string()).empty());
}

TEST(WorkingFolder, ReadsTheEnginesSettingUpToItsEnd) {
  char saved[sizeof DefWorkFile];
  std::memcpy(saved, DefWorkFile, sizeof saved);
  std::strcpy(DefWorkFile, "C:\\WORK\\");
  EXPECT_EQ(Working_Folder(), "C:\\WORK\\");
  // A setting that fills the whole array still ends inside it.
  std::memset(DefWorkFile, 'w', sizeof DefWorkFile);
  EXPECT_EQ(Working_Folder(), std::string(sizeof DefWorkFile - 1, 'w'));
  std::memcpy(DefWorkFile, saved, sizeof saved);
}

}  // namespace
