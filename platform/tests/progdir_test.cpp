#include "platform/progdir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class ReplaceFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           (std::string("tarnel-replace-") +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "device.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    return names;
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(ReplaceFile, CreatesAndReplacesKeepingPermissions) {
  ASSERT_TRUE(platform::Replace_File(path_, "one\r\n", nullptr));
  EXPECT_EQ(Read(path_), "one\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
  ASSERT_TRUE(platform::Replace_File(path_, "two", nullptr));
  EXPECT_EQ(Read(path_), "two");
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(Entries(), std::vector<std::string>{"device.ini"});
}

TEST_F(ReplaceFile, FailedWriteKeepsTheOldFileWhole) {
  const std::string old_text(100, 'o');
  ASSERT_TRUE(platform::Replace_File(path_, old_text, nullptr));

  // A file size limit makes the write of the new contents fail part-way, as
  // a full disk would.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
  struct rlimit small = saved;
  small.rlim_cur = 50;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string why;
  const bool ok = platform::Replace_File(path_, std::string(4000, 'n'), &why);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &previous, nullptr);

  EXPECT_FALSE(ok);
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(Read(path_), old_text);
  EXPECT_EQ(Entries(), std::vector<std::string>{"device.ini"}) << "no temporary file is left";
}

TEST_F(ReplaceFile, MissingFolderOrFolderInTheWay) {
  std::string why;
  EXPECT_FALSE(platform::Replace_File((dir_ / "no" / "device.ini").string(), "x", &why));
  EXPECT_FALSE(why.empty());
  fs::create_directories(path_);
  EXPECT_FALSE(platform::Replace_File(path_, "x", nullptr));
  EXPECT_TRUE(fs::is_directory(path_));
  EXPECT_EQ(Entries(), std::vector<std::string>{"device.ini"});
}

TEST_F(ReplaceFile, SymbolicLinkStaysAndItsTargetIsReplaced) {
  fs::create_directories(dir_ / "real");
  const fs::path target = dir_ / "real" / "device.ini";
  ASSERT_TRUE(platform::Replace_File(target.string(), "old", nullptr));
  fs::create_symlink(target, path_);
  ASSERT_TRUE(platform::Replace_File(path_, "new", nullptr));
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_EQ(Read(target), "new");
}

TEST(ExecutablePath, NamesThisTestProgram) {
  std::string path;
  ASSERT_TRUE(platform::Executable_Path(&path));
  EXPECT_EQ(fs::path(path).filename(), "platform_tests");
  EXPECT_TRUE(fs::path(path).is_absolute());
}

}  // namespace
