#include "platform/pcfs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/namedlock.h"

namespace fs = std::filesystem;

namespace {

using platform::FsResult;

// A private tree under $TMPDIR with drives C: and D: mapped into it.
class PcFs : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tarnel-pcfs-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "c");
    fs::create_directories(root_ / "d");
    const char* old = std::getenv("TARNEL_DRIVES");
    had_drives_ = old != nullptr;
    if (old) old_drives_ = old;
    Map("C=" + C() + ";D=" + D());
  }
  void TearDown() override {
    if (had_drives_)
      ::setenv("TARNEL_DRIVES", old_drives_.c_str(), 1);
    else
      ::unsetenv("TARNEL_DRIVES");
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(root_, ec))
      fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
  }
  static void Map(const std::string& table) { ::setenv("TARNEL_DRIVES", table.c_str(), 1); }
  std::string C() const { return (root_ / "c").string(); }
  std::string D() const { return (root_ / "d").string(); }
  void Write(const fs::path& p, const std::string& text = "x") {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  static std::string Native(const char* pc) {
    std::string n;
    EXPECT_TRUE(platform::To_Native_Path(pc, &n)) << pc;
    return n;
  }
  static void Read_Only(const fs::path& p) {
    fs::permissions(p, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }
  std::vector<std::string> Search(const char* pattern) {
    std::vector<std::string> names;
    platform::DirSearch s;
    platform::FoundEntry e;
    for (bool ok = s.First(pattern, &e); ok; ok = s.Next(&e)) names.push_back(e.name);
    EXPECT_FALSE(s.Active());
    return names;
  }

  fs::path root_;
  bool had_drives_ = false;
  std::string old_drives_;
};

TEST_F(PcFs, DriveTableMapsLettersAndLeavesOthersUnmapped) {
  std::string r;
  EXPECT_TRUE(platform::Drive_Root('c', &r));
  EXPECT_EQ(r, C());
  EXPECT_TRUE(platform::Drive_Root('D', &r));
  EXPECT_EQ(r, D());
  EXPECT_FALSE(platform::Drive_Root('E', &r));
  EXPECT_FALSE(platform::Drive_Root('1', &r));
  std::string n = "unchanged";
  EXPECT_FALSE(platform::To_Native_Path("E:\\X.TXT", &n));
  EXPECT_EQ(n, "unchanged");

  Map(" d = /ignored ; D=/media/usb/ ");  // blanks around an entry only
  EXPECT_TRUE(platform::Drive_Root('D', &r));
  EXPECT_EQ(r, "/media/usb");
  EXPECT_TRUE(platform::Drive_Root('C', &r));  // C: defaults to the root
  EXPECT_EQ(r, "/");
  Map("C=");
  EXPECT_FALSE(platform::Drive_Root('C', &r));
}

TEST_F(PcFs, PathsTranslateSeparatorsDrivesAndRelativeNames) {
  EXPECT_EQ(Native("C:\\DATA\\X.DAT"), C() + "/DATA/X.DAT");
  EXPECT_EQ(Native("C:/DATA/X.DAT"), C() + "/DATA/X.DAT");
  EXPECT_EQ(Native("c:"), C());
  EXPECT_EQ(Native("C:\\"), C());
  EXPECT_EQ(Native("d:X.DAT"), D() + "/X.DAT");
  // A drive path never leaves its drive, as on the PC.
  EXPECT_EQ(Native("C:\\..\\..\\etc\\.\\passwd"), C() + "/etc/passwd");
  EXPECT_EQ(Native("C:\\A\\..\\B"), C() + "/B");
  EXPECT_EQ(Native("\\usr\\.\\lib"), "/usr/./lib");
  EXPECT_EQ(Native("sub\\file.txt"), "sub/file.txt");
  EXPECT_EQ(Native(".\\file.txt"), "./file.txt");
}

TEST_F(PcFs, MissingComponentsResolveIgnoringCase) {
  Write(root_ / "c" / "Data" / "Sub" / "File.TXT");
  EXPECT_EQ(Native("C:\\DATA\\sub\\file.txt"), C() + "/Data/Sub/File.TXT");
  // Below a name that exists in no spelling, names stay as spelled.
  EXPECT_EQ(Native("C:\\data\\New\\Deeper\\x"), C() + "/Data/New/Deeper/x");
  // The exact spelling wins; of several others the first in byte order.
  Write(root_ / "c" / "abc");
  Write(root_ / "c" / "aBc");
  Write(root_ / "c" / "ABC");
  EXPECT_EQ(Native("C:\\aBc"), C() + "/aBc");
  EXPECT_EQ(Native("C:\\Abc"), C() + "/ABC");
  platform::FileStat st;
  EXPECT_EQ(platform::Stat_PC("c:\\DATA\\SUB\\FILE.txt", &st), platform::FS_OK);
}

TEST(Wildcards, MatchLikeThePc) {
  using platform::Wildcard_Match;
  EXPECT_TRUE(Wildcard_Match("*.*", "README"));
  EXPECT_TRUE(Wildcard_Match("*.*", "."));
  EXPECT_TRUE(Wildcard_Match("*.*", "a.b.c"));
  EXPECT_TRUE(Wildcard_Match("*.txt", "NOTES.TXT"));
  EXPECT_FALSE(Wildcard_Match("*.txt", "notes.txt.bak"));
  EXPECT_TRUE(Wildcard_Match("A?C.*", "abc"));
  EXPECT_FALSE(Wildcard_Match("A?C", "ac"));
  EXPECT_TRUE(Wildcard_Match("a*b*c", "aXXbYYbZc"));
  EXPECT_FALSE(Wildcard_Match("a*b*c", "aXXbYYbZ"));
  EXPECT_TRUE(Wildcard_Match("x.dat", "X.DAT"));
  EXPECT_TRUE(Wildcard_Match("*", ""));
  EXPECT_FALSE(Wildcard_Match("?", ""));
  EXPECT_TRUE(platform::Has_Wildcards("C:\\a?"));
  EXPECT_FALSE(platform::Has_Wildcards("C:\\a"));
}

TEST_F(PcFs, SearchReportsDotsSortedMatchesAndAttributes) {
  Write(root_ / "c" / "dir" / "b.TXT", "12345");
  Write(root_ / "c" / "dir" / "A.txt");
  Write(root_ / "c" / "dir" / "noext");
  Write(root_ / "c" / "dir" / ".hidden");
  Write(root_ / "c" / "dir" / "ro.dat");
  Read_Only(root_ / "c" / "dir" / "ro.dat");
  fs::create_directories(root_ / "c" / "dir" / "sub");

  EXPECT_EQ(Search("C:\\DIR\\*.*"),
            (std::vector<std::string>{".", "..", ".hidden", "A.txt", "b.TXT", "noext", "ro.dat", "sub"}));
  EXPECT_EQ(Search("c:\\dir\\*.txt"), (std::vector<std::string>{"A.txt", "b.TXT"}));
  EXPECT_EQ(Search("C:\\dir\\NOEXT"), (std::vector<std::string>{"noext"}));
  EXPECT_TRUE(Search("C:\\dir\\*.none").empty());
  EXPECT_TRUE(Search("C:\\missing\\*.*").empty());
  EXPECT_TRUE(Search("E:\\*.*").empty());
  // A drive's root folder has no "." and "..".
  EXPECT_EQ(Search("C:\\*.*"), (std::vector<std::string>{"dir"}));

  platform::DirSearch s;
  platform::FoundEntry e;
  ASSERT_TRUE(s.First("C:\\dir\\*", &e));
  EXPECT_EQ(s.Folder(), "C:\\dir\\");
  std::map<std::string, platform::FoundEntry> by_name;
  do by_name[e.name] = e;
  while (s.Next(&e));
  EXPECT_EQ(by_name["."].attributes, platform::ATTR_DIRECTORY);
  EXPECT_EQ(by_name["sub"].attributes, platform::ATTR_DIRECTORY);
  EXPECT_EQ(by_name["sub"].size, 0u);
  EXPECT_EQ(by_name["b.TXT"].attributes, platform::ATTR_ARCHIVE);
  EXPECT_EQ(by_name["b.TXT"].size, 5u);
  EXPECT_EQ(by_name[".hidden"].attributes, platform::ATTR_ARCHIVE | platform::ATTR_HIDDEN);
  EXPECT_EQ(by_name["ro.dat"].attributes, platform::ATTR_ARCHIVE | platform::ATTR_READONLY);
}

TEST_F(PcFs, SearchHandlesAreIndependentAndSurviveDeletions) {
  for (const char* n : {"a1", "a2", "a3"}) Write(root_ / "c" / n);
  platform::DirSearch one, two;
  platform::FoundEntry e1, e2;
  ASSERT_TRUE(one.First("C:\\a*", &e1));
  ASSERT_TRUE(two.First("C:\\a*", &e2));
  EXPECT_EQ(e1.name, "a1");
  fs::remove(root_ / "c" / "a2");  // vanishes between two calls: skipped
  ASSERT_TRUE(one.Next(&e1));
  EXPECT_EQ(e1.name, "a3");
  EXPECT_FALSE(one.Next(&e1));
  EXPECT_FALSE(one.Active());
  ASSERT_TRUE(two.Next(&e2));
  EXPECT_EQ(e2.name, "a3");
  platform::DirSearch moved = std::move(two);
  EXPECT_FALSE(moved.Next(&e2));
}

TEST_F(PcFs, WriteProtectionComesFromPermissionBitsEvenForRoot) {
  Write(root_ / "c" / "ro.txt", "keep");
  Read_Only(root_ / "c" / "ro.txt");
  FsResult why = platform::FS_OK;
  for (const char* mode : {"wb", "ab", "r+b"}) {
    EXPECT_EQ(platform::Open_PC_File("C:\\RO.TXT", mode, &why), nullptr) << mode;
    EXPECT_EQ(why, platform::FS_ACCESS_DENIED) << mode;
  }
  EXPECT_EQ(platform::Delete_PC_File("C:\\ro.txt"), platform::FS_ACCESS_DENIED);
  std::FILE* f = platform::Open_PC_File("C:\\RO.TXT", "rb", &why);
  ASSERT_NE(f, nullptr);
  std::fclose(f);

  EXPECT_EQ(platform::Set_Attributes_PC("C:\\ro.txt", 0), platform::FS_OK);
  EXPECT_NE(fs::status(root_ / "c" / "ro.txt").permissions() & fs::perms::owner_write,
            fs::perms::none);
  EXPECT_EQ(platform::Set_Attributes_PC("C:\\ro.txt", platform::ATTR_READONLY | platform::ATTR_HIDDEN),
            platform::FS_OK);
  platform::FileStat st;
  ASSERT_EQ(platform::Stat_PC("C:\\ro.txt", &st), platform::FS_OK);
  EXPECT_EQ(st.attributes, platform::ATTR_ARCHIVE | platform::ATTR_READONLY);
  EXPECT_EQ(fs::status(root_ / "c" / "ro.txt").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

  // Clearing read-only on a writable file leaves its permissions alone.
  Write(root_ / "c" / "rw.txt");
  fs::permissions(root_ / "c" / "rw.txt", fs::perms::owner_read | fs::perms::owner_write |
                                              fs::perms::group_read);
  EXPECT_EQ(platform::Set_Attributes_PC("C:\\rw.txt", 0), platform::FS_OK);
  EXPECT_EQ(fs::status(root_ / "c" / "rw.txt").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// The information an open gives is what Stat_PC tells of the same file,
// through any spelling and through a link; a name spelled exactly as it
// exists wins over its case variants.
TEST_F(PcFs, OpenDescribesTheOpenedFileAsStatDoes) {
  fs::create_directories(root_ / "c" / "Sub");
  Write(root_ / "c" / "Sub" / ".Hidden.dat", "0123456789");
  Write(root_ / "c" / "Sub" / "data.txt", "lower");
  Write(root_ / "c" / "Sub" / "DATA.TXT", "upper!");
  fs::create_symlink(root_ / "c" / "Sub" / "data.txt", root_ / "c" / "Sub" / "link.txt");
  Read_Only(root_ / "c" / "Sub" / "data.txt");
  for (const char* path : {"C:\\sub\\.hidden.DAT", "C:\\Sub\\data.txt", "C:\\Sub\\DATA.TXT", "c:\\SUB\\Link.Txt"}) {
    platform::FileStat by_open{}, by_stat{};
    FsResult why = platform::FS_INVALID;
    std::FILE* f = platform::Open_PC_File(path, "rb", &why, &by_open);
    ASSERT_NE(f, nullptr) << path;
    EXPECT_EQ(why, platform::FS_OK);
    std::fclose(f);
    ASSERT_EQ(platform::Stat_PC(path, &by_stat), platform::FS_OK) << path;
    EXPECT_EQ(by_open.size, by_stat.size) << path;
    EXPECT_EQ(by_open.mtime, by_stat.mtime) << path;
    EXPECT_EQ(by_open.attributes, by_stat.attributes) << path;
    EXPECT_FALSE(by_open.is_dir);
  }
  platform::FileStat st{};
  std::FILE* f = platform::Open_PC_File("C:\\Sub\\data.txt", "rb", nullptr, &st);
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(st.size, 5u);  // the file as spelled, not DATA.TXT
  EXPECT_EQ(st.attributes, platform::ATTR_ARCHIVE | platform::ATTR_READONLY);
  f = platform::Open_PC_File("C:\\sub\\.HIDDEN.dat", "rb", nullptr, &st);
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(st.attributes, platform::ATTR_ARCHIVE | platform::ATTR_HIDDEN);
  // A folder is refused, also when information is asked for.
  FsResult why = platform::FS_OK;
  EXPECT_EQ(platform::Open_PC_File("C:\\SUB", "rb", &why, &st), nullptr);
  EXPECT_EQ(why, platform::FS_ACCESS_DENIED);
}

TEST_F(PcFs, OpenReportsWhyItFailed) {
  fs::create_directories(root_ / "c" / "folder");
  FsResult why = platform::FS_OK;
  EXPECT_EQ(platform::Open_PC_File("C:\\folder", "rb", &why), nullptr);
  EXPECT_EQ(why, platform::FS_ACCESS_DENIED);
  EXPECT_EQ(platform::Open_PC_File("C:\\folder\\none.txt", "rb", &why), nullptr);
  EXPECT_EQ(why, platform::FS_NOT_FOUND);
  EXPECT_EQ(platform::Open_PC_File("C:\\nowhere\\none.txt", "wb", &why), nullptr);
  EXPECT_EQ(why, platform::FS_PATH_NOT_FOUND);
  EXPECT_EQ(platform::Open_PC_File("Q:\\x", "rb", &why), nullptr);
  EXPECT_EQ(why, platform::FS_NO_DRIVE);
  EXPECT_EQ(platform::Open_PC_File("", "rb", &why), nullptr);
  EXPECT_EQ(why, platform::FS_INVALID);

  std::FILE* f = platform::Open_PC_File("C:\\FOLDER\\New.Txt", "wb", &why);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(platform::Truncate_File(f, 1000), platform::FS_OK);
  EXPECT_EQ(platform::Set_File_Times(f, 1000000000), platform::FS_OK);
  std::fclose(f);
  platform::FileStat st;
  ASSERT_EQ(platform::Stat_PC("C:\\folder\\new.txt", &st), platform::FS_OK);
  EXPECT_EQ(st.size, 1000u);
  EXPECT_EQ(st.mtime, 1000000000);
  EXPECT_TRUE(fs::exists(root_ / "c" / "folder" / "New.Txt"));  // created as spelled
}

TEST_F(PcFs, FoldersLinksAndRenames) {
  EXPECT_EQ(platform::Make_PC_Dir("C:\\A"), platform::FS_OK);
  EXPECT_EQ(platform::Make_PC_Dir("C:\\a"), platform::FS_EXISTS);
  EXPECT_EQ(platform::Make_PC_Dir("C:\\none\\B"), platform::FS_PATH_NOT_FOUND);
  Write(root_ / "c" / "A" / "f");
  EXPECT_EQ(platform::Remove_PC_Dir("C:\\a"), platform::FS_NOT_EMPTY);
  EXPECT_EQ(platform::Delete_PC_File("C:\\a"), platform::FS_ACCESS_DENIED);
  EXPECT_EQ(platform::Remove_PC_Dir("C:\\"), platform::FS_ACCESS_DENIED);
  EXPECT_EQ(platform::Delete_PC_File("C:\\a\\missing"), platform::FS_NOT_FOUND);

  // Deleting a link removes the link, never its target.
  fs::create_directory_symlink(root_ / "c" / "A", root_ / "c" / "link");
  platform::FileStat st;
  ASSERT_EQ(platform::Stat_PC("C:\\link", &st), platform::FS_OK);
  EXPECT_TRUE(st.is_dir);
  EXPECT_TRUE(st.is_link);
  EXPECT_EQ(platform::Delete_PC_File("C:\\link"), platform::FS_OK);
  EXPECT_TRUE(fs::exists(root_ / "c" / "A" / "f"));

  EXPECT_EQ(platform::Rename_PC("C:\\a\\F", "D:\\g"), platform::FS_OK);
  EXPECT_TRUE(fs::exists(root_ / "d" / "g"));
  EXPECT_EQ(platform::Rename_PC("C:\\a\\F", "D:\\h"), platform::FS_NOT_FOUND);
  EXPECT_EQ(platform::Rename_PC("D:\\g", "D:\\none\\h"), platform::FS_PATH_NOT_FOUND);
  EXPECT_EQ(platform::Remove_PC_Dir("C:\\A"), platform::FS_OK);
}

TEST(StagingNames, OnlyTheStagingPatternCounts) {
  EXPECT_TRUE(platform::Is_Staging_Name(".qvr0123456789abcdef.tmp"));
  EXPECT_TRUE(platform::Is_Staging_Name("C:\\dir\\.qvr0123456789abcdef.tmp"));
  EXPECT_TRUE(platform::Is_Staging_Name("/x/y/.qvr0000000000000000.tmp"));
  EXPECT_FALSE(platform::Is_Staging_Name(".qvr0123456789ABCDEF.tmp"));
  EXPECT_FALSE(platform::Is_Staging_Name(".qvr0123456789abcde.tmp"));
  EXPECT_FALSE(platform::Is_Staging_Name(".qvr0123456789abcdef.txt"));
  EXPECT_FALSE(platform::Is_Staging_Name("qvr0123456789abcdef0.tmp"));
  EXPECT_FALSE(platform::Is_Staging_Name(".qvr0123456789abcdef.tmp\\x"));
  EXPECT_FALSE(platform::Is_Staging_Name(nullptr));
}

// A staging file lives next to the file it replaces, unseen by searches,
// private while the old file exists, and takes the old file's owner and
// permissions and place.
TEST_F(PcFs, StagingFileReplacesTheFileWithItsOwnerAndPermissions) {
  Write(root_ / "c" / "dir" / "a.txt", "old");
  ::chmod((root_ / "c" / "dir" / "a.txt").c_str(), 0640);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown((root_ / "c" / "dir" / "a.txt").c_str(), 4321, 4322), 0);
  }

  std::string staging;
  FsResult why = platform::FS_IO_ERROR;
  std::FILE* f = platform::Create_Staging_File("C:\\DIR\\A.TXT", &staging, &why);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(why, platform::FS_OK);
  EXPECT_EQ(fs::path(staging).parent_path(), root_ / "c" / "dir");
  EXPECT_TRUE(platform::Is_Staging_Name(staging.c_str()));
  struct stat st;
  ASSERT_EQ(::stat(staging.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(Search("C:\\dir\\*.*"), (std::vector<std::string>{".", "..", "a.txt"}));

  std::fputs("new", f);
  ASSERT_EQ(platform::Adopt_Owner_And_Mode(f, "C:\\dir\\a.txt"), platform::FS_OK);
  ASSERT_EQ(std::fclose(f), 0);
  ASSERT_EQ(platform::Replace_With_Staging(staging, "C:\\dir\\a.txt"), platform::FS_OK);
  EXPECT_FALSE(fs::exists(staging));
  ASSERT_EQ(::stat((root_ / "c" / "dir" / "a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
  }
  std::ifstream in(root_ / "c" / "dir" / "a.txt");
  std::string text;
  in >> text;
  EXPECT_EQ(text, "new");

  // Set-user-ID and set-group-ID bits stay with the old content.
  ::chmod((root_ / "c" / "dir" / "a.txt").c_str(), 06755);
  f = platform::Create_Staging_File("C:\\dir\\a.txt", &staging, nullptr);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(platform::Adopt_Owner_And_Mode(f, "C:\\dir\\a.txt"), platform::FS_OK);
  std::fclose(f);
  ASSERT_EQ(platform::Replace_With_Staging(staging, "C:\\dir\\a.txt"), platform::FS_OK);
  ASSERT_EQ(::stat((root_ / "c" / "dir" / "a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);

  // A new file: nothing to take over, usual permissions, no failure.
  f = platform::Create_Staging_File("C:\\dir\\new.txt", &staging, nullptr);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(::stat(staging.c_str(), &st), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);
  EXPECT_EQ(platform::Adopt_Owner_And_Mode(f, "C:\\dir\\new.txt"), platform::FS_OK);
  std::fclose(f);
  EXPECT_EQ(platform::Replace_With_Staging(staging, "C:\\dir\\new.txt"), platform::FS_OK);
  EXPECT_TRUE(fs::is_regular_file(root_ / "c" / "dir" / "new.txt"));

  // Folders that do not exist or drives that are not mapped take none.
  EXPECT_EQ(platform::Create_Staging_File("C:\\none\\x.txt", &staging, &why), nullptr);
  EXPECT_EQ(why, platform::FS_PATH_NOT_FOUND);
  EXPECT_EQ(platform::Create_Staging_File("Q:\\x.txt", &staging, &why), nullptr);
  EXPECT_EQ(why, platform::FS_NO_DRIVE);
}

TEST_F(PcFs, StagingFollowsLinksToTheFileTheyNameAndKeepsTheLinks) {
  Write(root_ / "d" / "real" / "t.txt", "old");
  // A relative link, and a link to that link.
  fs::create_symlink(fs::path("..") / "d" / "real" / "t.txt", root_ / "c" / "one");
  fs::create_symlink("one", root_ / "c" / "two");
  std::string staging;
  std::FILE* f = platform::Create_Staging_File("C:\\two", &staging, nullptr);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fs::canonical(fs::path(staging).parent_path()), fs::canonical(root_ / "d" / "real"));
  std::fputs("new", f);
  std::fclose(f);
  ASSERT_EQ(platform::Replace_With_Staging(staging, "C:\\two"), platform::FS_OK);
  EXPECT_TRUE(fs::is_symlink(root_ / "c" / "one"));
  EXPECT_TRUE(fs::is_symlink(root_ / "c" / "two"));
  std::ifstream in(root_ / "d" / "real" / "t.txt");
  std::string text;
  in >> text;
  EXPECT_EQ(text, "new");

  // A link that leads round in a circle names no file.
  fs::create_symlink("loop_b", root_ / "c" / "loop_a");
  fs::create_symlink("loop_a", root_ / "c" / "loop_b");
  FsResult why = platform::FS_OK;
  EXPECT_EQ(platform::Create_Staging_File("C:\\loop_a", &staging, &why), nullptr);
  EXPECT_EQ(why, platform::FS_PATH_NOT_FOUND);
}

TEST_F(PcFs, StagingFilesADayOldAreSweptWhenTheFolderIsUsedAgain) {
  const fs::path folder = root_ / "c" / "sweep";
  const fs::path stale = folder / ".qvr00000000000000aa.tmp";
  const fs::path recent = folder / ".qvr00000000000000bb.tmp";
  const fs::path other = folder / "keep.tmp";
  Write(stale);
  Write(recent);
  Write(other);
  const auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(25);
  fs::last_write_time(stale, old_time);
  fs::last_write_time(other, old_time);
  std::string staging;
  std::FILE* f = platform::Create_Staging_File("C:\\sweep\\x.txt", &staging, nullptr);
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(platform::Delete_Native_File(staging.c_str()), platform::FS_OK);
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(recent));
  EXPECT_TRUE(fs::exists(other));
}

TEST_F(PcFs, RenameAcrossFileSystemsIsNotSameDevice) {
  // /dev/shm is a memory file system on most machines; skip where it is the
  // same file system as the temporary folder or missing.
  std::error_code ec;
  fs::path other = fs::path("/dev/shm") / ("tarnel-pcfs-" + std::to_string(::getpid()));
  if (!fs::create_directory(other, ec)) GTEST_SKIP() << "no /dev/shm";
  struct stat a, b;
  bool same = ::stat(other.c_str(), &a) == 0 && ::stat(root_.c_str(), &b) == 0 && a.st_dev == b.st_dev;
  if (!same) {
    Write(root_ / "c" / "x.txt");
    Map("C=" + C() + ";E=" + other.string());
    EXPECT_EQ(platform::Rename_PC("C:\\x.txt", "E:\\x.txt"), platform::FS_NOT_SAME_DEVICE);
    EXPECT_TRUE(fs::exists(root_ / "c" / "x.txt"));
  }
  fs::remove_all(other, ec);
  if (same) GTEST_SKIP() << "/dev/shm is on the same file system";
}

TEST(FileTimes, PackLocalTimeWithTwoSecondResolution) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  ::setenv("TZ", "JST-9", 1);
  // 13:45:31 on 7 March 2004 in UTC+9 is 04:45:31 UTC.
  using namespace std::chrono;
  const std::int64_t t =
      duration_cast<seconds>((sys_days{year{2004} / 3 / 7} + hours{4} + minutes{45} + seconds{31})
                                 .time_since_epoch())
          .count();
  std::uint32_t date = 0;
  std::uint8_t tm[3] = {};
  platform::Pack_File_Time(t, &date, tm);
  EXPECT_EQ(date, 0x070307D4u);
  EXPECT_EQ(tm[0], 30);
  EXPECT_EQ(tm[1], 45);
  EXPECT_EQ(tm[2], 13);

  std::int64_t back = 0;
  ASSERT_TRUE(platform::Local_To_Epoch(2004, 3, 7, 13, 45, 31, &back));
  EXPECT_EQ(back, t);
  EXPECT_FALSE(platform::Local_To_Epoch(2004, 2, 30, 0, 0, 0, &back));
  EXPECT_FALSE(platform::Local_To_Epoch(2004, 13, 1, 0, 0, 0, &back));
  EXPECT_FALSE(platform::Local_To_Epoch(2004, 1, 1, 24, 0, 0, &back));
  EXPECT_TRUE(platform::Local_To_Epoch(2004, 2, 29, 23, 59, 59, &back));

  // A change of TZ counts at once, also within the second of the last load.
  ::setenv("TZ", "UTC0", 1);
  platform::Pack_File_Time(t, &date, tm);
  EXPECT_EQ(tm[2], 4);
  ::setenv("TZ", "JST-9", 1);
  platform::Pack_File_Time(t, &date, tm);
  EXPECT_EQ(tm[2], 13);

  if (old)
    ::setenv("TZ", saved.c_str(), 1);
  else
    ::unsetenv("TZ");
}

TEST_F(PcFs, DiskSpaceOfMappedDrivesOnly) {
  std::uint64_t total = 0, free_bytes = 0;
  ASSERT_TRUE(platform::Disk_Space('c', &total, &free_bytes));
  EXPECT_GT(total, 0u);
  EXPECT_LE(free_bytes, total);
  EXPECT_FALSE(platform::Disk_Space('Q', &total, &free_bytes));
}

TEST_F(PcFs, TempFilesAreUniqueAndLiveInTmpdir) {
  const char* old = std::getenv("TMPDIR");
  std::string saved = old ? old : "";
  ::setenv("TMPDIR", (root_.string() + "/").c_str(), 1);
  std::string a, b;
  std::FILE* fa = platform::Make_Temp_File(&a);
  std::FILE* fb = platform::Make_Temp_File(&b);
  ASSERT_NE(fa, nullptr);
  ASSERT_NE(fb, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(fs::path(a).parent_path(), root_);
  EXPECT_EQ(fs::path(a).filename().string().substr(0, 3), "qvr");
  std::fputs("data", fa);
  std::rewind(fa);
  char buf[8] = {};
  EXPECT_EQ(std::fread(buf, 1, 4, fa), 4u);
  EXPECT_STREQ(buf, "data");
  std::fclose(fa);
  std::fclose(fb);
  EXPECT_EQ(platform::Delete_Native_File(a.c_str()), platform::FS_OK);
  EXPECT_EQ(platform::Delete_Native_File(b.c_str()), platform::FS_OK);
  EXPECT_FALSE(fs::exists(a));
  if (old)
    ::setenv("TMPDIR", saved.c_str(), 1);
  else
    ::unsetenv("TMPDIR");
}

TEST_F(PcFs, CurrentFolderIsReadAndSet) {
  std::string before;
  ASSERT_TRUE(platform::Get_Current_Folder(&before));
  EXPECT_EQ(platform::Set_Current_Folder("D:\\"), platform::FS_OK);
  std::string now;
  ASSERT_TRUE(platform::Get_Current_Folder(&now));
  EXPECT_EQ(fs::path(now), fs::canonical(D()));
  EXPECT_EQ(platform::Set_Current_Folder("D:\\missing"), platform::FS_NOT_FOUND);
  EXPECT_EQ(platform::Set_Current_Folder(before.c_str()), platform::FS_OK);
}

// Named locks ---------------------------------------------------------------

class NamedLocks : public PcFs {
 protected:
  void SetUp() override {
    PcFs::SetUp();
    const char* old = std::getenv("TMPDIR");
    had_tmp_ = old != nullptr;
    if (old) old_tmp_ = old;
    ::setenv("TMPDIR", root_.c_str(), 1);
  }
  void TearDown() override {
    if (had_tmp_)
      ::setenv("TMPDIR", old_tmp_.c_str(), 1);
    else
      ::unsetenv("TMPDIR");
    PcFs::TearDown();
  }
  bool had_tmp_ = false;
  std::string old_tmp_;
};

TEST_F(NamedLocks, HandlesOfOneNameExcludeEachOther) {
  platform::NamedLock a, b, other;
  ASSERT_TRUE(a.Open("C:/DATA/X.DAT"));
  ASSERT_TRUE(b.Open("C:/DATA/X.DAT"));
  ASSERT_TRUE(other.Open("C:/DATA/x.dat"));  // another name: case matters
  ASSERT_TRUE(a.Lock());
  EXPECT_FALSE(b.Try_Lock());
  EXPECT_TRUE(other.Try_Lock());
  a.Unlock();
  EXPECT_TRUE(b.Try_Lock());
  b.Close();  // closing releases
  EXPECT_TRUE(a.Try_Lock());
  EXPECT_FALSE(platform::NamedLock().Lock());
  EXPECT_FALSE(b.Open(""));
  EXPECT_EQ(fs::path(platform::NamedLock::File_For("C:/A")).parent_path(), root_ / "tarnel-locks");
}

TEST_F(NamedLocks, LongNamesGetDistinctShortFiles) {
  std::string base(300, 'a');
  std::string f1 = platform::NamedLock::File_For((base + "1").c_str());
  std::string f2 = platform::NamedLock::File_For((base + "2").c_str());
  EXPECT_NE(f1, f2);
  EXPECT_LT(fs::path(f1).filename().string().size(), 255u);
  platform::NamedLock l;
  EXPECT_TRUE(l.Open((base + "1").c_str()));
  EXPECT_TRUE(l.Lock());
}

TEST_F(NamedLocks, ALockDiesWithItsProcess) {
  const std::string file = platform::NamedLock::File_For("shared");
  platform::NamedLock mine;
  ASSERT_TRUE(mine.Open("shared"));  // creates the lock folder and file
  int ready[2], go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fd = ::open(file.c_str(), O_RDWR);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
    char c = 1;
    if (::write(ready[1], &c, 1) != 1) ::_exit(1);
    if (::read(go[0], &c, 1) != 1) ::_exit(1);
    ::_exit(0);  // ends holding the lock
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  EXPECT_FALSE(mine.Try_Lock());
  ASSERT_EQ(::write(go[1], &c, 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(mine.Try_Lock());
  for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
}

}  // namespace

// ---------------------------------------------------------------------------
// Confinement to the drive roots

namespace {

struct Refusals {
  std::vector<std::string> paths;
  static void Hook(const char* pc_path, const char*, void* self) {
    static_cast<Refusals*>(self)->paths.emplace_back(pc_path);
  }
};

class PcFsConfined : public PcFs {
 protected:
  void SetUp() override {
    PcFs::SetUp();
    fs::create_directories(root_ / "outside");
    Write(root_ / "outside" / "secret", "secret");
    Write(root_ / "c" / "DATA" / "IN.DAT", "in");
    platform::Set_Confine_Refusal_Hook(&Refusals::Hook, &refusals_);
    platform::Set_Confined(true);
  }
  void TearDown() override {
    platform::Set_Confine_Extra_Roots({});
    platform::Set_Confined(false);
    platform::Set_Confine_Refusal_Hook(nullptr, nullptr);
    PcFs::TearDown();
  }
  bool Refused(const char* pc) {
    std::string native;
    return !platform::To_Native_Path(pc, &native);
  }
  Refusals refusals_;
};

}  // namespace

TEST_F(PcFsConfined, DotDotAboveTheDriveRootIsRefusedAndReported) {
  FsResult why = platform::FS_OK;
  EXPECT_EQ(platform::Open_PC_File("C:\\..\\..\\etc\\passwd", "rb", &why), nullptr);
  EXPECT_EQ(why, platform::FS_NO_DRIVE);
  ASSERT_EQ(refusals_.paths.size(), 1u);
  EXPECT_EQ(refusals_.paths[0], "C:\\..\\..\\etc\\passwd");
  EXPECT_TRUE(Refused("C:\\DATA\\..\\..\\X"));
  // ".." that stays inside is an ordinary path.
  EXPECT_EQ(Native("C:\\DATA\\..\\DATA\\IN.DAT"), C() + "/DATA/IN.DAT");
  EXPECT_EQ(Native("c:\\data\\in.dat"), C() + "/DATA/IN.DAT");
}

TEST_F(PcFsConfined, WithoutConfinementDotDotStopsAtTheRoot) {
  platform::Set_Confined(false);
  EXPECT_EQ(Native("C:\\..\\..\\DATA\\IN.DAT"), C() + "/DATA/IN.DAT");
  EXPECT_TRUE(refusals_.paths.empty());
}

TEST_F(PcFsConfined, SymbolicLinksLeavingTheRootsAreRefused) {
  fs::create_directory_symlink(root_ / "outside", root_ / "c" / "OUT");
  fs::create_symlink(root_ / "outside" / "secret", root_ / "c" / "SECRET.TXT");
  // A dangling link: writing through it would create a file outside.
  fs::create_symlink(root_ / "outside" / "new.txt", root_ / "c" / "NEW.TXT");
  platform::FileStat st{};
  EXPECT_EQ(platform::Stat_PC("C:\\OUT\\secret", &st), platform::FS_NO_DRIVE);
  EXPECT_EQ(platform::Open_PC_File("C:\\SECRET.TXT", "rb"), nullptr);
  EXPECT_EQ(platform::Open_PC_File("C:\\NEW.TXT", "wb"), nullptr);
  EXPECT_FALSE(fs::exists(root_ / "outside" / "new.txt"));
  EXPECT_EQ(platform::Make_PC_Dir("C:\\OUT\\SUB"), platform::FS_NO_DRIVE);
  EXPECT_FALSE(fs::exists(root_ / "outside" / "SUB"));
  platform::DirSearch search;
  platform::FoundEntry found;
  EXPECT_FALSE(search.First("C:\\OUT\\*.*", &found));
  EXPECT_GE(refusals_.paths.size(), 5u);
}

TEST_F(PcFsConfined, LinksBetweenMappedDrivesAndInsideARootAreServed) {
  Write(root_ / "d" / "SHARED.TXT", "shared");
  fs::create_symlink(root_ / "d" / "SHARED.TXT", root_ / "c" / "SHARED.TXT");
  fs::create_directory_symlink(root_ / "c" / "DATA", root_ / "c" / "ALIAS");
  std::FILE* f = platform::Open_PC_File("C:\\SHARED.TXT", "rb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  f = platform::Open_PC_File("C:\\ALIAS\\NEWFILE.DAT", "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_TRUE(fs::exists(root_ / "c" / "DATA" / "NEWFILE.DAT"));
  EXPECT_TRUE(refusals_.paths.empty());
}

TEST_F(PcFsConfined, NativePathsOutsideEveryRootAreRefused) {
  EXPECT_TRUE(Refused((root_ / "outside" / "secret").c_str()));
  EXPECT_TRUE(Refused("\\etc\\passwd"));
  EXPECT_FALSE(Refused((root_ / "c" / "DATA" / "IN.DAT").c_str()));
  // A relative path counts from the current folder, which is outside here.
  EXPECT_TRUE(Refused("..\\..\\etc\\passwd"));
  // A drive that is not mapped stays "no drive" without a refusal.
  refusals_.paths.clear();
  EXPECT_TRUE(Refused("Q:\\X"));
  EXPECT_TRUE(refusals_.paths.empty());
}

TEST_F(PcFsConfined, TheOperatorsOwnFoldersAreAllowedBesideTheRoots) {
  const std::string log = (root_ / "outside" / "error.log").string();
  EXPECT_TRUE(Refused(log.c_str()));
  // The error log file alone, before it exists: created, and nothing beside it.
  platform::Set_Confine_Extra_Roots({log});
  std::FILE* f = platform::Open_PC_File(log.c_str(), "a");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_TRUE(Refused((root_ / "outside" / "secret").c_str()));
  // A folder with everything in it.
  platform::Set_Confine_Extra_Roots({(root_ / "outside").string()});
  EXPECT_FALSE(Refused((root_ / "outside" / "secret").c_str()));
  EXPECT_TRUE(Refused((root_ / "outside2" / "x").c_str()));
  std::string native;
  platform::Set_Confine_Extra_Roots({});
  EXPECT_TRUE(platform::To_Native_Path_Unconfined("C:\\..\\..\\X", &native));
}

TEST_F(PcFsConfined, ALoopOfDanglingLinksIsRefusedNotFollowedForever) {
  fs::create_symlink(root_ / "c" / "B", root_ / "c" / "A");
  fs::create_symlink(root_ / "c" / "A", root_ / "c" / "B");
  EXPECT_EQ(platform::Open_PC_File("C:\\A", "wb"), nullptr);
}

TEST(InsideRoots, RootPrefixesMatchWholeComponentsOnly) {
  const fs::path base = fs::temp_directory_path() / ("tarnel-inside-" + std::to_string(::getpid()));
  fs::remove_all(base);
  fs::create_directories(base / "srv");
  fs::create_directories(base / "srv2");
  std::string why;
  EXPECT_TRUE(platform::Inside_Roots((base / "srv" / "new" / "file").string(), {(base / "srv").string()}, &why));
  EXPECT_FALSE(platform::Inside_Roots((base / "srv2" / "file").string(), {(base / "srv").string()}, &why));
  EXPECT_NE(why.find("outside"), std::string::npos) << why;
  EXPECT_FALSE(platform::Inside_Roots((base / "srv" / ".." / "srv2").string(), {(base / "srv").string()}, &why));
  EXPECT_FALSE(platform::Inside_Roots((base / "srv").string(), {(base / "missing").string()}, &why));
  EXPECT_TRUE(platform::Inside_Roots("/etc", {"/"}, &why));
  fs::remove_all(base);
}
