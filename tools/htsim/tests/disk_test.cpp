// The folder that stands for the HT's disk.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "engine/rox32.h"
#include "tools/htsim/disk.h"

namespace htsim {
namespace {

class DiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    root_ = fs::temp_directory_path() / ("htsim-disk-" + std::to_string(rd()));
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ec;
    // Write-protected files do not stop the clean-up.
    for (auto it = fs::recursive_directory_iterator(root_, ec); !ec && it != fs::end(it); ++it)
      Set_Read_Only(it->path(), false);
    fs::remove_all(root_, ec);
  }
  void Put(const std::string& rel, const std::string& text) {
    fs::path p = root_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  std::string Get(const std::string& rel) {
    std::ifstream in(root_ / rel, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool Has(const std::string& rel) { return fs::exists(root_ / rel); }
  std::vector<std::string> Names(const std::vector<DiskEntry>& v) {
    std::vector<std::string> n;
    for (const DiskEntry& e : v) n.push_back(e.ht_name);
    return n;
  }

  fs::path root_;
};

TEST(Wildcards, MatchLikeTheHtsFileSystem) {
  EXPECT_TRUE(Wildcard_Match("*.*", "README"));
  EXPECT_TRUE(Wildcard_Match("A?.TXT", "a1.txt"));
  EXPECT_FALSE(Wildcard_Match("A?.TXT", "a12.txt"));
  EXPECT_TRUE(Wildcard_Match("*.dat", "X.DAT"));
  EXPECT_FALSE(Wildcard_Match("*.dat", "x.dat.bak"));
  EXPECT_TRUE(Wildcard_Match("*a*b*", "xxaYYbzz"));
  EXPECT_FALSE(Wildcard_Match("*a*b", "xxaYYbzz"));
  EXPECT_EQ(Split_List("a::b::::c"), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(DiskTest, HtPathsMapIntoTheFolderIgnoringCase) {
  Put("data/x.dat", "1");
  HtDisk d(root_);
  fs::path p;
  ASSERT_EQ(d.Resolve("A:\\DATA\\X.DAT", &p), 0);
  EXPECT_EQ(p, root_ / "data" / "x.dat");
  ASSERT_EQ(d.Resolve("c:/Data/New/Y.DAT", &p), 0);
  EXPECT_EQ(p, root_ / "data" / "New" / "Y.DAT");  // new parts as spelled
  ASSERT_EQ(d.Resolve(".\\x.dat", &p), 0);
  EXPECT_EQ(p, root_ / "x.dat");
  EXPECT_EQ(d.Resolve("A:\\..\\etc\\passwd", &p), E_PATH_NOT_FOUND);
  EXPECT_EQ(d.Resolve("DATA\\..\\..\\x", &p), E_PATH_NOT_FOUND);
}

// The folder's names are kept between lookups: files this program receives
// are found under any spelling without the folder being read again, and a
// change made by someone else is seen as soon as the folder's time moves on.
TEST_F(DiskTest, KeptFolderNamesFollowReceivedFilesAndOutsideChanges) {
  Put("in/Zeta.dat", "z");
  Put("in/zeta.DAT", "second spelling");
  HtDisk d(root_);
  fs::path p;
  // Of two spellings the first in name order wins, as a fresh read finds it.
  ASSERT_EQ(d.Resolve("IN\\ZETA.DAT", &p), 0);
  EXPECT_EQ(p, root_ / "in" / "Zeta.dat");

  // A run of received files, each new when it is looked up.
  for (int i = 0; i < 50; ++i) {
    const std::string name = "File" + std::to_string(i) + ".Dat";
    ASSERT_EQ(d.Resolve("in\\" + name, &p), 0);
    ASSERT_EQ(p, root_ / "in" / name);
    IncomingFile f;
    ASSERT_EQ(f.Begin(p, false, false), 0);
    std::uint64_t kept = 0;
    ASSERT_EQ(f.Commit(0, nullptr, &kept), 0);
    d.Note_Created(f.Target(), f.Folder_Changed_Before());
    // Another spelling of the file just received finds it.
    fs::path again;
    ASSERT_EQ(d.Resolve("in\\FILE" + std::to_string(i) + ".DAT", &again), 0);
    ASSERT_EQ(again, root_ / "in" / name) << i;
  }

  // Someone else adds and removes files; the folder's time moves on (its
  // resolution is coarse, so the test lets time pass first).
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  Put("in/Outside.TXT", "o");
  fs::remove(root_ / "in" / "File3.Dat");
  ASSERT_EQ(d.Resolve("in\\outside.txt", &p), 0);
  EXPECT_EQ(p, root_ / "in" / "Outside.TXT");
  ASSERT_EQ(d.Resolve("in\\FILE3.DAT", &p), 0);
  EXPECT_EQ(p, root_ / "in" / "FILE3.DAT") << "a removed file is not found under its old name";

  // A receive that began before an outside change does not hide it.
  ASSERT_EQ(d.Resolve("in\\late.dat", &p), 0);
  IncomingFile f;
  ASSERT_EQ(f.Begin(p, false, false), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  Put("in/Sneaked.In", "s");
  std::uint64_t kept = 0;
  ASSERT_EQ(f.Commit(0, nullptr, &kept), 0);
  d.Note_Created(f.Target(), f.Folder_Changed_Before());
  ASSERT_EQ(d.Resolve("in\\SNEAKED.IN", &p), 0);
  EXPECT_EQ(p, root_ / "in" / "Sneaked.In");
}

TEST_F(DiskTest, FindListsFilesUnderTheirHtNames) {
  Put("app/a1.txt", "1");
  Put("app/a2.txt", "22");
  Put("app/b.dat", "3");
  Put("app/sub/a3.txt", "4");
  Put("app/sub/deeper/a4.txt", "5");
  fs::create_directories(root_ / "app" / "a-folder.txt");
  HtDisk d(root_);
  std::vector<DiskEntry> v;
  ASSERT_EQ(d.Find("A:\\APP\\A*.TXT", false, &v), 0);
  EXPECT_EQ(Names(v), (std::vector<std::string>{"A:\\APP\\a1.txt", "A:\\APP\\a2.txt"}));
  v.clear();
  ASSERT_EQ(d.Find("\\APP\\a*.txt", true, &v), 0);
  EXPECT_EQ(Names(v), (std::vector<std::string>{"\\APP\\a1.txt", "\\APP\\a2.txt", "\\APP\\sub\\a3.txt",
                                                "\\APP\\sub\\deeper\\a4.txt"}));
  v.clear();
  ASSERT_EQ(d.Find("app\\B.DAT", false, &v), 0);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].path, root_ / "app" / "b.dat");
  v.clear();
  ASSERT_EQ(d.Find("app\\missing.dat", false, &v), 0);
  EXPECT_TRUE(v.empty());
}

TEST_F(DiskTest, InfoReportsSizeEvenSecondsAndAttributes) {
  Put("x.dat", "hello");
  ASSERT_TRUE(Set_File_Stamp(root_ / "x.dat", {2004, 3, 7, 13, 45, 31}));
  Set_Read_Only(root_ / "x.dat", true);
  HtDisk d(root_);
  FileInfo f;
  ASSERT_EQ(d.Info(root_ / "x.dat", "A:\\X.DAT", &f), 0);
  EXPECT_EQ(f.size, 5u);
  EXPECT_EQ(f.stamp, (Stamp{2004, 3, 7, 13, 45, 30}));
  EXPECT_EQ(f.attributes, kAttrArchive | kAttrReadOnly);
  EXPECT_EQ(f.name, "A:\\X.DAT");
  EXPECT_EQ(d.Info(root_ / "nothing", "", &f), E_FILE_NOT_FOUND);
}

TEST_F(DiskTest, DeleteHonoursWriteProtectionAndItsOptions) {
  Put("keep.txt", "k");
  Put("ro.txt", "r");
  Set_Read_Only(root_ / "ro.txt", true);
  HtDisk d(root_);
  EXPECT_EQ(d.Delete("A:\\RO.TXT", false, false), E_READ_ONLY_ACCESS);
  EXPECT_TRUE(Has("ro.txt"));
  EXPECT_EQ(d.Delete("A:\\RO.TXT", true, false), 0);
  EXPECT_FALSE(Has("ro.txt"));
  EXPECT_TRUE(Has("keep.txt"));
  EXPECT_EQ(d.Delete("A:\\", false, true), E_DELETE_CURRENT_DIR);
  EXPECT_TRUE(Has("keep.txt"));
}

TEST_F(DiskTest, DeleteFoldersOnlyWhenEmptyUnlessRecursive) {
  Put("dir/x.txt", "1");
  Put("dir/sub/y.txt", "2");
  Put("other/deep/z.log", "3");
  Put("other/deep/deeper/Z.LOG", "4");
  Put("other/deep/w.txt", "5");
  HtDisk d(root_);
  EXPECT_EQ(d.Delete("DIR", false, false), E_NOT_EXECUTE);
  EXPECT_TRUE(Has("dir/x.txt"));
  EXPECT_EQ(d.Delete("D*", false, false), 0);  // a wildcard match that is a full folder stays
  EXPECT_TRUE(Has("dir"));
  EXPECT_EQ(d.Delete("DIR", false, true), 0);
  EXPECT_FALSE(Has("dir"));
  // A plain name that does not exist, with sub-folders: its matches below go.
  EXPECT_EQ(d.Delete("other\\z.log", false, true), 0);
  EXPECT_FALSE(Has("other/deep/z.log"));
  EXPECT_FALSE(Has("other/deep/deeper/Z.LOG"));
  EXPECT_TRUE(Has("other/deep/w.txt"));
}

TEST_F(DiskTest, MoveRenamesCreatesFoldersAndProtects) {
  Put("a.txt", "A");
  Put("ro.txt", "R");
  Set_Read_Only(root_ / "ro.txt", true);
  HtDisk d(root_);
  EXPECT_EQ(d.Move("A:\\NONE.TXT", "A:\\B.TXT"), E_FILE_NOT_FOUND);
  EXPECT_EQ(d.Move("A:\\A.TXT", "A:\\RO.TXT"), E_READ_ONLY_ACCESS);
  EXPECT_EQ(d.Move("A:\\a.txt", "A:\\A.TXT"), 0);  // the same file
  EXPECT_EQ(Get("a.txt"), "A");
  EXPECT_EQ(d.Move("A:\\A.TXT", "A:\\NEW\\B.TXT"), 0);
  EXPECT_FALSE(Has("a.txt"));
  EXPECT_EQ(Get("NEW/B.TXT"), "A");
}

TEST_F(DiskTest, SetInfoAppliesSizeTimeAndProtection) {
  Put("x.dat", "0123456789");
  ASSERT_TRUE(Set_File_Stamp(root_ / "x.dat", {2001, 1, 1, 1, 1, 2}));
  HtDisk d(root_);
  FileInfo f;
  f.name = "A:\\X.DAT";
  f.size = 4;
  f.stamp = {2010, 12, 31, 23, 59, 58};
  f.attributes = kAttrReadOnly;
  ASSERT_EQ(d.Set_Info(f), 0);
  EXPECT_EQ(Get("x.dat"), "0123");
  EXPECT_EQ(File_Stamp(root_ / "x.dat"), f.stamp);
  EXPECT_TRUE(Is_Read_Only(root_ / "x.dat"));
  // No date: only the attributes change.
  f.no_date = true;
  f.size = 0;
  f.attributes = 0;
  ASSERT_EQ(d.Set_Info(f), 0);
  EXPECT_EQ(File_Stamp(root_ / "x.dat"), (Stamp{2010, 12, 31, 23, 59, 58}));
  EXPECT_FALSE(Is_Read_Only(root_ / "x.dat"));
  f.name = "A:\\NONE";
  EXPECT_EQ(d.Set_Info(f), E_FILE_NOT_FOUND);
}

// Dates the clocks cannot hold (after April 2262) are refused instead of
// overflowing them; the file keeps its stamp. Dates just inside are set and
// read back.
TEST_F(DiskTest, DatesBeyondTheClocksAreRefused) {
  Put("x.dat", "0123456789");
  ASSERT_TRUE(Set_File_Stamp(root_ / "x.dat", {2001, 1, 1, 1, 1, 2}));
  for (std::uint16_t year : {2263, 2300, 9999, 65535})
    EXPECT_FALSE(Set_File_Stamp(root_ / "x.dat", {year, 12, 31, 23, 59, 58})) << year;
  EXPECT_EQ(File_Stamp(root_ / "x.dat"), (Stamp{2001, 1, 1, 1, 1, 2}));
  ASSERT_TRUE(Set_File_Stamp(root_ / "x.dat", {2261, 12, 31, 23, 59, 58}));
  EXPECT_EQ(File_Stamp(root_ / "x.dat"), (Stamp{2261, 12, 31, 23, 59, 58}));
  // Through set-file-information: an error, never a crash.
  HtDisk d(root_);
  FileInfo f;
  f.name = "A:\\X.DAT";
  f.stamp = {9999, 12, 31, 23, 59, 58};
  EXPECT_EQ(d.Set_Info(f), E_WRITE_ERROR);
  // A fetched file with such a date is kept, without the date.
  IncomingFile in;
  ASSERT_EQ(in.Begin(root_ / "y.dat", false, false), 0);
  const std::string data = "fetched";
  ASSERT_EQ(in.Write(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()), 0);
  FileInfo info;
  info.stamp = {9999, 12, 31, 23, 59, 58};
  std::uint64_t kept = 0;
  ASSERT_EQ(in.Commit(data.size(), &info, &kept), 0);
  EXPECT_EQ(kept, data.size());
  EXPECT_EQ(Get("y.dat"), data);
}

TEST_F(DiskTest, IncomingFileReplacesTheTargetOnlyWhenComplete) {
  Put("t.dat", "old");
  const fs::path target = root_ / "t.dat";
  {
    IncomingFile in;
    ASSERT_EQ(in.Begin(target, false, false), 0);
    const std::string data = "new contents";
    ASSERT_EQ(in.Write(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()), 0);
    EXPECT_EQ(Get("t.dat"), "old");
    in.Abandon();
  }
  EXPECT_EQ(Get("t.dat"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);

  // More than announced: exactly the announced bytes stay, with the stamp.
  IncomingFile in;
  ASSERT_EQ(in.Begin(target, false, false), 0);
  const std::string data(120, 'x');
  ASSERT_EQ(in.Write(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()), 0);
  FileInfo info;
  info.stamp = {2020, 2, 29, 10, 20, 30};
  info.attributes = kAttrReadOnly;
  std::uint64_t kept = 0;
  ASSERT_EQ(in.Commit(100, &info, &kept), 0);
  EXPECT_EQ(kept, 100u);
  EXPECT_EQ(Get("t.dat"), std::string(100, 'x'));
  EXPECT_EQ(File_Stamp(target), info.stamp);
  EXPECT_TRUE(Is_Read_Only(target));

  // A write-protected target needs the overwrite flag.
  IncomingFile again;
  EXPECT_EQ(again.Begin(target, false, false), E_READ_ONLY_ACCESS);
  EXPECT_EQ(again.Begin(target, true, false), E_READ_ONLY_ACCESS);
  EXPECT_EQ(again.Begin(target, false, true), 0);
  again.Abandon();
}

TEST_F(DiskTest, IncomingFileAppendsAndMakesFolders) {
  Put("log.txt", "one;");
  IncomingFile in;
  ASSERT_EQ(in.Begin(root_ / "log.txt", true, false), 0);
  ASSERT_EQ(in.Write(reinterpret_cast<const std::uint8_t*>("two;"), 4), 0);
  std::uint64_t kept = 0;
  ASSERT_EQ(in.Commit(4, nullptr, &kept), 0);
  EXPECT_EQ(Get("log.txt"), "one;two;");

  IncomingFile deep;
  ASSERT_EQ(deep.Begin(root_ / "a" / "b" / "c.txt", false, false), 0);
  ASSERT_EQ(deep.Commit(0, nullptr, &kept), 0);
  EXPECT_TRUE(Has("a/b/c.txt"));
  EXPECT_EQ(Get("a/b/c.txt"), "");
}

}  // namespace
}  // namespace htsim
