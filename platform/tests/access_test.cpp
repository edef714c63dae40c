// Users, groups, folder ownership and modes, and running code as another
// user.
#include "platform/access.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/spawn.h"

namespace {

constexpr unsigned kNobody = 65534;

class Scratch : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    for (;;) {
      dir_ = (std::filesystem::temp_directory_path() / ("tarnel-acc-" + std::to_string(rd()))).string();
      std::error_code ec;
      if (std::filesystem::create_directory(dir_, ec)) break;
    }
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string dir_;
};

TEST_F(Scratch, NewFolderGetsExactlyTheModeAskedWhateverTheUmask) {
  const mode_t old = umask(0077);
  std::string why;
  EXPECT_TRUE(platform::Make_Folder(dir_ + "/a", 0750, &why)) << why;
  umask(old);
  platform::PathInfo info;
  ASSERT_TRUE(platform::Path_Info(dir_ + "/a", &info, &why));
  EXPECT_TRUE(info.exists);
  EXPECT_TRUE(info.is_folder);
  EXPECT_FALSE(info.is_link);
  EXPECT_EQ(info.mode, 0750u);
  EXPECT_EQ(info.uid, platform::Own_User_Id());
  // Something at the path already, or no parent: false with a reason.
  EXPECT_FALSE(platform::Make_Folder(dir_ + "/a", 0700, &why));
  EXPECT_NE(why.find(dir_ + "/a"), std::string::npos) << why;
  EXPECT_FALSE(platform::Make_Folder(dir_ + "/none/b", 0700, &why));
}

TEST_F(Scratch, PathInfoTellsLinksAndMissingPathsApart) {
  std::filesystem::create_directory_symlink(dir_, dir_ + "/link");
  platform::PathInfo info;
  std::string why;
  ASSERT_TRUE(platform::Path_Info(dir_ + "/link", &info, &why));
  EXPECT_TRUE(info.exists);
  EXPECT_TRUE(info.is_link);
  EXPECT_FALSE(info.is_folder);
  ASSERT_TRUE(platform::Path_Info(dir_ + "/missing", &info, &why));
  EXPECT_FALSE(info.exists);
}

TEST_F(Scratch, ModeAndOwnerCanBeSet) {
  const std::string f = dir_ + "/f";
  { std::ofstream(f) << "x"; }
  std::string why;
  ASSERT_TRUE(platform::Set_Mode(f, 0604, &why)) << why;
  platform::PathInfo info;
  ASSERT_TRUE(platform::Path_Info(f, &info, &why));
  EXPECT_EQ(info.mode, 0604u);
  if (geteuid() != 0) GTEST_SKIP() << "changing the owner needs root";
  ASSERT_TRUE(platform::Set_Owner(f, static_cast<int>(kNobody), -1, &why)) << why;
  ASSERT_TRUE(platform::Path_Info(f, &info, &why));
  EXPECT_EQ(info.uid, kNobody);
  EXPECT_EQ(info.gid, static_cast<unsigned>(getegid()));
}

TEST(Users, NamesGroupsAndMembership) {
  EXPECT_EQ(platform::User_Name(0), "root");
  unsigned gid = 12345;
  ASSERT_TRUE(platform::Group_Id("root", &gid));
  EXPECT_EQ(gid, 0u);
  EXPECT_EQ(platform::Group_Name(0), "root");
  EXPECT_FALSE(platform::Group_Id("no-such-group-tarnel", &gid));
  EXPECT_EQ(platform::User_Name(4000000000u), "");
  EXPECT_FALSE(platform::User_In_Group(4000000000u, 0));
  // root's primary group.
  EXPECT_TRUE(platform::User_In_Group(0, 0));
  if (platform::User_Name(kNobody).empty()) GTEST_SKIP() << "no user " << kNobody << " here";
  // nobody's primary group is its own, and nobody is no member of root's.
  EXPECT_FALSE(platform::User_In_Group(kNobody, 0));
}

TEST(RunAsUser, BodyRunsWithTheOtherUsersIdentity) {
  const int r = platform::Run_As_User(
      kNobody, kNobody,
      [] { return platform::Own_User_Id() == kNobody && getegid() == kNobody && getgroups(0, nullptr) == 0 ? 7 : 8; },
      10000);
  if (geteuid() != 0) {
    EXPECT_EQ(r, platform::kRunAsCannotSwitch);
    return;
  }
  EXPECT_EQ(r, 7);
}

TEST_F(Scratch, ChildProgramStartsAsTheOtherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  platform::ChildProcess child;
  child.Set_User(kNobody, kNobody);
  std::string why;
  ASSERT_TRUE(child.Start({"/bin/sh", "-c", "id -u; id -G"}, dir_ + "/out", dir_ + "/err", {}, &why)) << why;
  int status = -1;
  ASSERT_TRUE(child.Wait(10000, &status));
  EXPECT_EQ(status, 0);
  std::ifstream in(dir_ + "/out");
  std::string uid, groups;
  std::getline(in, uid);
  std::getline(in, groups);
  EXPECT_EQ(uid, "65534");
  EXPECT_EQ(groups, "65534");
}

}  // namespace
