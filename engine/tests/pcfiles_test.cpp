// PC-side file services on a private tree: drives C: and D: are mapped to
// folders under the temporary folder through TARNEL_DRIVES.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "engine/rox32.h"
#include "platform/pcfs.h"
#include "testsupport/fake_channel.h"

namespace fs = std::filesystem;

namespace {

using testsupport::Bytes;
using testsupport::Cat;
using testsupport::FakeChannel;
using testsupport::Hex;
using testsupport::Le16;
using testsupport::Le32;
using testsupport::Packet;
using testsupport::Text;

// Restores an environment variable when it goes out of scope.
class EnvGuard {
 public:
  EnvGuard(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~EnvGuard() {
    if (had_)
      ::setenv(name_, old_.c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_;
  std::string old_;
};

// 13:45:31 on 7 March 2004 in the time zone JST-9 (UTC+9).
constexpr std::int64_t kMarch7 = 1078634731;

class PcFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tarnel-pcfiles-" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(root_ / "c");
    fs::create_directories(root_ / "d");
    drives_ = std::make_unique<EnvGuard>("TARNEL_DRIVES",
                                         "C=" + (root_ / "c").string() + ";D=" + (root_ / "d").string());
    tz_ = std::make_unique<EnvGuard>("TZ", "JST-9");
    rox_ = std::make_unique<RS232_ROX>();
  }
  void TearDown() override {
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(root_, ec))
      fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
  }
  fs::path C(const std::string& rel = "") const { return root_ / "c" / rel; }
  void Write(const fs::path& p, const std::string& text = "x") {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void Read_Only(const fs::path& p) {
    fs::permissions(p, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }
  static bool Is_Read_Only(const fs::path& p) {
    return (fs::status(p).permissions() & (fs::perms::owner_write | fs::perms::group_write |
                                            fs::perms::others_write)) == fs::perms::none;
  }
  static std::int64_t Mtime(const char* pc) {
    platform::FileStat st{};
    EXPECT_EQ(platform::Stat_PC(pc, &st), platform::FS_OK) << pc;
    return st.mtime;
  }
  static fileinfotag Record(const char* name, std::uint32_t date, std::uint8_t s, std::uint8_t m,
                            std::uint8_t h, std::uint8_t attributes, std::uint32_t size = 0) {
    fileinfotag info{};
    info.Size = size;
    info.Date = date;
    info.Time[0] = s;
    info.Time[1] = m;
    info.Time[2] = h;
    info.Attributes = attributes;
    std::strcpy(info.Name, name);
    return info;
  }

  fs::path root_;
  std::unique_ptr<EnvGuard> drives_, tz_;
  std::unique_ptr<RS232_ROX> rox_;
};

TEST_F(PcFiles, FileInformationInLocalTimeWithTwoSecondResolution) {
  Write(C("Data.Txt"), "hello");
  ASSERT_EQ(platform::Set_Times_PC("C:\\Data.Txt", kMarch7), platform::FS_OK);
  fileinfotag info;
  std::memset(&info, 0x55, sizeof info);
  RS232_ROX::Get_File_Info("c:\\DATA.TXT", &info);
  EXPECT_EQ(info.Date, 0x070307D4u);
  EXPECT_EQ(info.Time[0], 30);
  EXPECT_EQ(info.Time[1], 45);
  EXPECT_EQ(info.Time[2], 13);
  EXPECT_EQ(info.Size, 5u);
  EXPECT_EQ(info.Attributes, 0x20);
  EXPECT_STREQ(info.Name, "c:\\DATA.TXT");
  EXPECT_EQ(RS232_ROX::Get_File_Date("C:\\data.txt"), 0x070307D4u);
  EXPECT_EQ(RS232_ROX::Get_File_Size("C:\\data.txt"), 5u);
  Read_Only(C("Data.Txt"));
  EXPECT_EQ(RS232_ROX::Get_File_Attribute("C:\\data.txt"), 0x21);

  // Missing, empty, a folder, an unmapped drive: the record stays all zero.
  fs::create_directories(C("folder"));
  for (const char* p : {"C:\\none.txt", "", "C:\\folder", "Q:\\x"}) {
    std::memset(&info, 0x55, sizeof info);
    RS232_ROX::Get_File_Info(p, &info);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&info);
    for (std::size_t i = 0; i < sizeof info; ++i) ASSERT_EQ(b[i], 0) << p << " byte " << i;
  }
}

TEST_F(PcFiles, DiskInformationSaturatesAndMissingDrivesReportCondition2) {
  Diskinfotag di{1, 1, 1};
  RS232_ROX::Get_Disk_Info('c', &di);
  EXPECT_EQ(di.Condition, 0);
  std::uint64_t total = 0, free_bytes = 0;
  ASSERT_TRUE(platform::Disk_Space('C', &total, &free_bytes));
  EXPECT_EQ(di.Capacity, total > 0xFFFFFFFFull ? 0xFFFFFFFFu : total);
  EXPECT_EQ(di.Free, free_bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : free_bytes);
  EXPECT_LE(di.Free, di.Capacity);
  RS232_ROX::Get_Disk_Info('Q', &di);
  EXPECT_EQ(di.Capacity, 0u);
  EXPECT_EQ(di.Free, 0u);
  EXPECT_EQ(di.Condition, 2);
}

TEST_F(PcFiles, SetFileInfoAppliesTimesThenAttributes) {
  Write(C("a.txt"));
  ASSERT_EQ(platform::Set_Times_PC("C:\\a.txt", 1000000000), platform::FS_OK);
  // No date: only the attributes change.
  fileinfotag info = Record("C:\\A.TXT", 0xFFFFFFFF, 30, 45, 13, 0x01);
  EXPECT_EQ(RS232_ROX::Set_File_Info(&info), 0);
  EXPECT_EQ(Mtime("C:\\a.txt"), 1000000000);
  EXPECT_TRUE(Is_Read_Only(C("a.txt")));
  // A write-protected file is refused before anything changes.
  info = Record("C:\\a.txt", 0x070307D4, 31, 45, 13, 0);
  EXPECT_EQ(RS232_ROX::Set_File_Info(&info), E_READ_ONLY_ACCESS);
  EXPECT_TRUE(Is_Read_Only(C("a.txt")));
  fs::permissions(C("a.txt"), fs::perms::owner_write, fs::perm_options::add);
  // Date and time in local time; the odd second falls to the even one.
  EXPECT_EQ(RS232_ROX::Set_File_Info(&info), 0);
  EXPECT_EQ(Mtime("C:\\a.txt"), kMarch7 - 1);
  // All time bytes FF: no time either.
  info = Record("C:\\a.txt", 0x010107D0, 0xFF, 0xFF, 0xFF, 0);
  EXPECT_EQ(RS232_ROX::Set_File_Info(&info), 0);
  EXPECT_EQ(Mtime("C:\\a.txt"), kMarch7 - 1);
  info = Record("C:\\a.txt", 0x010D07D4, 0, 0, 0, 0);  // month 13
  EXPECT_EQ(RS232_ROX::Set_File_Info(&info), E_FILE_NOTHING);
  info = Record("C:\\missing.txt", 0xFFFFFFFF, 0, 0, 0, 0);
  EXPECT_EQ(RS232_ROX::Set_File_Info(&info), E_FILE_NOT_FOUND);
}

TEST_F(PcFiles, SetFileAttributesSetsLengthAndEndsWith54WhenMadeReadOnly) {
  Write(C("b.dat"), "0123456789");
  fileinfotag info = Record("C:\\b.dat", 0x070307D4, 30, 45, 13, 0x20, 4);
  EXPECT_EQ(RS232_ROX::Set_File_Attributes(&info), 0);
  EXPECT_EQ(Read(C("b.dat")), "0123");
  EXPECT_EQ(Mtime("C:\\b.dat"), kMarch7 - 1);
  info.Size = 0;  // zero keeps the length
  EXPECT_EQ(RS232_ROX::Set_File_Attributes(&info), 0);
  EXPECT_EQ(fs::file_size(C("b.dat")), 4u);
  info = Record("C:\\b.dat", 0xFFFFFFFF, 0xFF, 0xFF, 0xFF, 0x01, 2);
  EXPECT_EQ(RS232_ROX::Set_File_Attributes(&info), E_FILE_NOTHING);
  EXPECT_TRUE(Is_Read_Only(C("b.dat")));
  EXPECT_EQ(fs::file_size(C("b.dat")), 4u);
  info = Record("C:\\none", 0xFFFFFFFF, 0xFF, 0xFF, 0xFF, 0, 2);
  EXPECT_EQ(RS232_ROX::Set_File_Attributes(&info), E_FILE_NOT_FOUND);
}

TEST_F(PcFiles, MakeDirectoryCreatesEveryLevel) {
  EXPECT_EQ(RS232_ROX::Make_Directory("C:\\A\\B\\"), 0);
  EXPECT_TRUE(fs::is_directory(C("A/B")));
  EXPECT_EQ(RS232_ROX::Make_Directory("c:\\a\\b\\c"), 0);  // existing levels in another case
  EXPECT_TRUE(fs::is_directory(C("A/B/c")));
  EXPECT_EQ(RS232_ROX::Make_Directory("Q:\\x"), 0);
}

TEST_F(PcFiles, MoveFileFollowsThePcRules) {
  Write(C("x.txt"), "content");
  EXPECT_EQ(RS232_ROX::Move_File("c:\\x.txt::C:\\X.TXT"), 0);
  EXPECT_EQ(Read(C("x.txt")), "content");
  EXPECT_FALSE(fs::exists(C("X.TXT")));
  EXPECT_EQ(RS232_ROX::Move_File("C:\\x.txt::D:\\x.txt"), E_NOT_SAME_DISK);
  EXPECT_EQ(RS232_ROX::Move_File("C:\\none.txt::C:\\y.txt"), E_FILE_NOT_FOUND);
  EXPECT_EQ(RS232_ROX::Move_File("C:\\x.txt::y.txt"), E_NOT_EXECUTE);
  // Another spelling of the source itself leaves the file alone.
  fs::create_directories(C("sub"));
  EXPECT_EQ(RS232_ROX::Move_File("C:\\x.txt::C:\\sub\\..\\X.TXT"), 0);
  EXPECT_EQ(Read(C("x.txt")), "content");

  // A missing destination folder is created; an existing file is replaced.
  EXPECT_EQ(RS232_ROX::Move_File("C:\\x.txt::C:\\new\\y.txt"), 0);
  EXPECT_EQ(Read(C("new/y.txt")), "content");
  Write(C("z.txt"), "old");
  EXPECT_EQ(RS232_ROX::Move_File("C:\\new\\y.txt::C:\\Z.TXT"), 0);
  EXPECT_EQ(Read(C("Z.TXT")), "content");  // the new name as spelled, as on the PC
  EXPECT_FALSE(fs::exists(C("z.txt")));
  Write(C("ro.txt"), "keep");
  Read_Only(C("ro.txt"));
  Write(C("w.txt"), "w");
  EXPECT_EQ(RS232_ROX::Move_File("C:\\w.txt::C:\\ro.txt"), E_READ_ONLY_ACCESS);
  EXPECT_EQ(Read(C("ro.txt")), "keep");
  EXPECT_EQ(RS232_ROX::Move_File("C:\\w.txt::C:\\a\\b\\w.txt"), E_PATH_NOT_FOUND);
}

TEST_F(PcFiles, MoveAcrossFileSystemsGives53) {
  std::error_code ec;
  fs::path other = fs::path("/dev/shm") / root_.filename();
  if (!fs::create_directory(other, ec)) GTEST_SKIP() << "no /dev/shm";
  fs::create_directory_symlink(other, C("shm"));
  Write(C("x.txt"), "content");
  if (fs::space(other).capacity == fs::space(C()).capacity) {
    fs::remove_all(other, ec);
    GTEST_SKIP() << "/dev/shm looks like the same file system";
  }
  EXPECT_EQ(RS232_ROX::Move_File("C:\\x.txt::C:\\shm\\x.txt"), E_NOT_SAME_DISK);
  EXPECT_EQ(Read(C("x.txt")), "content");
  fs::remove_all(other, ec);
}

TEST_F(PcFiles, DeleteWithoutOptionsHandlesOnlyNamesWithABackslash) {
  Write(C("x.txt"));
  Write(C("dir/a.txt"));
  Write(C("dir/B.TXT"));
  Write(C("dir/c.dat"));
  fs::create_directories(C("dir/empty"));
  Write(C("dir/full/f"));
  EXPECT_EQ(rox_->Delete_Files("x.txt::C:\\DIR\\*.txt::C:\\dir\\EMPTY\\::C:\\nothing\\*.*::C:\\none", 5), 0);
  EXPECT_TRUE(fs::exists(C("x.txt")));
  EXPECT_FALSE(fs::exists(C("dir/a.txt")));
  EXPECT_FALSE(fs::exists(C("dir/B.TXT")));
  EXPECT_TRUE(fs::exists(C("dir/c.dat")));
  EXPECT_FALSE(fs::exists(C("dir/empty")));
  // Wildcards remove empty folders only; only `count` names are handled.
  EXPECT_EQ(rox_->Delete_Files("C:\\dir\\*::C:\\x.txt", 1), 0);
  EXPECT_TRUE(fs::exists(C("dir/full/f")));
  EXPECT_FALSE(fs::exists(C("dir/c.dat")));
  EXPECT_TRUE(fs::exists(C("x.txt")));

  Write(C("ro/a.txt"));
  Read_Only(C("ro/a.txt"));
  EXPECT_EQ(rox_->Delete_Files("C:\\ro\\*.*", 1), E_READ_ONLY_ACCESS);
  EXPECT_EQ(rox_->Delete_Files("C:\\ro\\a.txt", 1), E_READ_ONLY_ACCESS);
  EXPECT_TRUE(fs::exists(C("ro/a.txt")));
}

TEST_F(PcFiles, DeleteWithOptionsRecursesAndRemovesWriteProtectedFiles) {
  Write(C("tree/keep.dat"));
  Write(C("tree/s1/X.TXT"));
  Write(C("tree/s1/s2/x.txt"));
  Write(C("other/x.txt"));
  fs::create_directories(C("tree/s3"));
  Read_Only(C("tree/s1/X.TXT"));
  // Not in the tree's top folder as named: every x.txt below it goes, and
  // the emptied folders with it. Only the first name is handled.
  EXPECT_EQ(rox_->Delete_Files("C:\\TREE\\x.txt::C:\\other\\x.txt", 1, 1, 1), 0);
  EXPECT_EQ(rox_->RemoveDirs, 1);
  EXPECT_EQ(rox_->DeleteReadOnly, 1);
  EXPECT_TRUE(fs::exists(C("tree/keep.dat")));
  EXPECT_FALSE(fs::exists(C("tree/s1")));
  EXPECT_FALSE(fs::exists(C("tree/s3")));
  EXPECT_TRUE(fs::exists(C("other/x.txt")));

  Write(C("t2/a/b/f.txt"));
  Write(C("t2/g.txt"));
  Read_Only(C("t2/g.txt"));
  EXPECT_EQ(rox_->Delete_Files("C:\\t2\\*.txt", 1, 0, 0), E_READ_ONLY_ACCESS);
  EXPECT_EQ(rox_->Delete_Files("C:\\t2\\*.txt", 1, 0, 1), 0);
  EXPECT_FALSE(fs::exists(C("t2/g.txt")));
  EXPECT_EQ(rox_->Delete_Files("C:\\t2\\a", 1, 0, 0), 0);  // not empty, no recursion
  EXPECT_TRUE(fs::exists(C("t2/a/b/f.txt")));
  EXPECT_EQ(rox_->Delete_Files("C:\\t2\\A", 1, 1, 0), 0);
  EXPECT_FALSE(fs::exists(C("t2/a")));

  // Links are removed, never followed out of the tree.
  Write(C("outside/precious.txt"));
  Write(C("t3/f.txt"));
  fs::create_directory_symlink(C("outside"), C("t3/link"));
  EXPECT_EQ(rox_->Delete_Files("C:\\t3\\*.*", 1, 1, 1), 0);
  EXPECT_FALSE(fs::exists(C("t3/f.txt")));
  EXPECT_FALSE(fs::is_symlink(C("t3/link")));
  EXPECT_TRUE(fs::exists(C("outside/precious.txt")));
}

TEST_F(PcFiles, RecursiveDeleteNeverMovesTheCurrentFolder) {
  // One thread deletes a tree while another keeps opening a file by a
  // relative name: the current folder must never change under it.
  const fs::path before = fs::current_path();
  fs::current_path(root_);
  Write(root_ / "rel.txt", "here");
  for (int i = 0; i < 40; ++i)
    for (int j = 0; j < 5; ++j) Write(C("big/d" + std::to_string(i) + "/e" + std::to_string(j) + "/f.txt"));
  std::atomic<bool> done{false};
  std::atomic<int> opens{0}, failures{0};
  std::thread reader([&] {
    while (!done.load()) {
      std::FILE* f = platform::Open_PC_File("rel.txt", "rb");
      if (f == nullptr) {
        failures.fetch_add(1);
      } else {
        std::fclose(f);
        opens.fetch_add(1);
      }
    }
  });
  RS232_ROX other;
  short r1 = rox_->Delete_Files("C:\\big\\f.txt", 1, 1, 0);
  short r2 = other.Delete_Files("C:\\big\\*.*", 1, 1, 0);
  done = true;
  reader.join();
  fs::path now = fs::current_path();
  fs::current_path(before);
  EXPECT_EQ(r1, 0);
  EXPECT_EQ(r2, 0);
  EXPECT_EQ(now, root_);
  EXPECT_GT(opens.load(), 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(fs::is_empty(C("big")));
}

TEST_F(PcFiles, WildcardCountIncludesDotsAndNamesWithoutExtension) {
  Write(C("w/README"));
  Write(C("w/a.txt"));
  fs::create_directories(C("w/sub"));
  EXPECT_EQ(RS232_ROX::Get_WildCard_File_Count("C:\\W\\*.*"), 5);
  EXPECT_EQ(RS232_ROX::Get_WildCard_File_Count("C:\\w\\*.TXT"), 1);
  EXPECT_EQ(RS232_ROX::Get_WildCard_File_Count("C:\\w\\readme"), 1);
  EXPECT_EQ(RS232_ROX::Get_WildCard_File_Count("C:\\none\\*.*"), 0);
}

TEST_F(PcFiles, TemporaryFilesComeAndGo) {
  EnvGuard tmp("TMPDIR", root_.string());
  char* name = nullptr;
  std::FILE* f = RS232_ROX::MakeTempFile(&name);
  ASSERT_NE(f, nullptr);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(fs::path(name).parent_path(), root_);
  EXPECT_EQ(fs::path(name).filename().string().rfind("qvr", 0), 0u);
  std::string path = name;
  RS232_ROX::CloseDeleteFile(f, name);
  EXPECT_FALSE(fs::exists(path));
  RS232_ROX::CloseDeleteFile(nullptr, nullptr);
}

class Reports : public PcFiles {
 protected:
  void SetUp() override {
    PcFiles::SetUp();
    std::memcpy(saved_, DefWorkFile, sizeof saved_);
    fs::create_directories(C("work"));
    std::strcpy(DefWorkFile, "C:\\work");
  }
  void TearDown() override {
    std::memcpy(DefWorkFile, saved_, sizeof saved_);
    PcFiles::TearDown();
  }
  char saved_[sizeof DefWorkFile];
};

TEST_F(Reports, DiskReportIsAppendedByteForByte) {
  RS232_ROX::Save_Disk_Info('B', 1457664, 2048, 0);
  std::strcpy(DefWorkFile, "C:\\work\\");  // a folder that ends in a backslash
  RS232_ROX::Save_Disk_Info('C', 3000000000u, 0, 1);
  RS232_ROX::Save_Disk_Info('D', 0, 0, 2);
  EXPECT_EQ(Read(C("work/DISKINFO.CLP")),
            "\nFollowing are the details of B Drive\n"
            "Disk Capacity   : 1457664\n"
            "Disk Free Space : 2048\n"
            "Disk Condition  : Disk Exists (Format Finish)\n"
            "\nFollowing are the details of C Drive\n"
            "Disk Capacity   : 3000000000\n"
            "Disk Free Space : 0\n"
            "Disk Condition  : Disk Exists (Non-format)\n"
            "\nFollowing are the details of D Drive\n"
            "Disk Capacity   : 0\n"
            "Disk Free Space : 0\n"
            "Disk Condition  : Disk doesn't exist\n");
}

TEST_F(Reports, FileReportIsAppendedByteForByte) {
  fileinfotag info = Record("\\DATA\\X.DAT", 0x070307D4, 8, 5, 13, 0x20, 1234);
  RS232_ROX::Save_File_Info(&info);
  info = Record("B.TXT", 0x1F0C07CF, 59, 59, 0, 0, 0);
  RS232_ROX::Save_File_Info(&info);
  EXPECT_EQ(Read(C("work/FILEINFO.CLP")),
            "\n Following are the details of the file  \\DATA\\X.DAT\n"
            "\n File Date is 3-7-2004"
            "\n File Size 1234"
            "\n File Time 13:05:08\n"
            "\n Following are the details of the file  B.TXT\n"
            "\n File Date is 12-31-1999"
            "\n File Size 0"
            "\n File Time 0:59:59\n");
  // A work folder that cannot be written to loses the record quietly.
  std::strcpy(DefWorkFile, "C:\\nowhere");
  RS232_ROX::Save_File_Info(&info);
  EXPECT_FALSE(fs::exists(C("nowhere")));
}

TEST_F(PcFiles, UpdateComparison) {
  EXPECT_EQ(RS232_ROX::CompareDate(0x080307D4, 0x070307D4), 1);
  EXPECT_EQ(RS232_ROX::CompareDate(0x070307D4, 0x070307D4), 0);
  EXPECT_EQ(RS232_ROX::CompareDate(0x1F0C07D3, 0x010107D4), 0);  // the year counts first
  EXPECT_EQ(RS232_ROX::CompareDate(0x010407D4, 0x1F0307D4), 1);  // then the month

  Frametag ht{};
  ht.Size = 5;
  ht.Date = 0x070307D4;
  ht.Time[0] = 30;
  ht.Time[1] = 45;
  ht.Time[2] = 13;
  // No PC file: the HT's file is newer for a fetch, never for a send.
  EXPECT_EQ(RS232_ROX::Compare_File_Info(&ht, "C:\\none.txt", 'R'), 1);
  EXPECT_EQ(RS232_ROX::Compare_File_Info(&ht, "C:\\none.txt", 'S'), 0);

  Write(C("pc.txt"), "1234567");
  ASSERT_EQ(platform::Set_Times_PC("C:\\pc.txt", kMarch7), platform::FS_OK);  // 13:45:30 local
  // Same date and time, other size: nothing moves.
  EXPECT_EQ(RS232_ROX::Compare_File_Info(&ht, "C:\\pc.txt", 'S'), 0);
  EXPECT_EQ(RS232_ROX::Compare_File_Info(&ht, "C:\\pc.txt", 'R'), 0);
  ht.Time[0] = 28;  // the HT's copy is two seconds older
  EXPECT_EQ(RS232_ROX::Compare_File_Info(&ht, "C:\\pc.txt", 'S'), 1);
  EXPECT_EQ(RS232_ROX::Compare_File_Info(&ht, "C:\\pc.txt", 'R'), 0);
  ht.Time[0] = 0;
  ht.Time[2] = 14;  // an hour newer outweighs the seconds
  EXPECT_EQ(RS232_ROX::Compare_File_Info(&ht, "C:\\pc.txt", 'S'), 0);
  EXPECT_EQ(RS232_ROX::Compare_File_Info(&ht, "C:\\pc.txt", 'R'), 1);
  ht.Date = 0x060307D4;  // but a day older loses
  EXPECT_EQ(RS232_ROX::Compare_File_Info(&ht, "C:\\pc.txt", 'R'), 0);
  ht.Date = 0x070307D4;
  ht.Time[0] = 30;
  ht.Time[2] = 13;
  ht.Size = 7;
  EXPECT_EQ(RS232_ROX::Compare_File_Info(&ht, "C:\\pc.txt", 'S'), 0);
  EXPECT_EQ(RS232_ROX::Compare_File_Info(&ht, "C:\\pc.txt", 'X'), 0);
}

// The HT asks for file information: one response per request.
class GetFileInfo : public PcFiles {
 protected:
  void SetUp() override {
    PcFiles::SetUp();
    buf_ = std::make_unique<unsigned char[]>(PACKET_BUF_SIZE);
    rox_->PacketBuf = buf_.get();
  }
  void TearDown() override {
    rox_->PacketBuf = nullptr;
    PcFiles::TearDown();
  }
  short Ask(FakeChannel& fake, unsigned char sub, const char* path = "") {
    rox_->RxFrame.SubCommand = sub;
    std::strcpy(rox_->RxFrame.Name, path);
    return rox_->Process_Get_File_Info_Cmd(fake.Channel(), &search_);
  }
  static Bytes Info(unsigned char sub, std::uint32_t size, unsigned char attributes, const std::string& name) {
    return Packet(0, 'V', sub, Cat({Le32(size), {7, 3}, Le16(2004), {30, 45, 13}, {attributes}, Text(name)}));
  }
  std::unique_ptr<unsigned char[]> buf_;
  FileInfoSearch search_;
};

TEST_F(GetFileInfo, PatternsAreAnsweredMatchByMatchThenWithZeros) {
  Write(C("dir/b.txt"), "bb");
  Write(C("dir/A.TXT"), "a");
  Write(C("dir/c.dat"), "c");
  for (const char* n : {"C:\\dir\\b.txt", "C:\\dir\\A.TXT"})
    ASSERT_EQ(platform::Set_Times_PC(n, kMarch7), platform::FS_OK);
  FakeChannel fake;
  EXPECT_EQ(Ask(fake, 'f', "C:\\DIR\\*.txt"), 0);
  EXPECT_EQ(Ask(fake, 'n'), 0);
  EXPECT_EQ(Ask(fake, 'n'), 0);
  EXPECT_EQ(Ask(fake, 'n'), 0);  // still none
  auto sent = fake.Sent_Packets();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], Info('f', 1, 0x20, "C:\\DIR\\A.TXT")) << Hex(sent[0]);
  EXPECT_EQ(sent[1], Info('n', 2, 0x20, "C:\\DIR\\b.txt")) << Hex(sent[1]);
  EXPECT_EQ(sent[2], Packet(0, 'V', 'n', Bytes(13, 0)));
  EXPECT_EQ(sent[3], Packet(0, 'V', 'n', Bytes(13, 0)));
}

TEST_F(GetFileInfo, PlainPathsAndFailures) {
  Write(C("one.txt"), "xyz");
  ASSERT_EQ(platform::Set_Times_PC("C:\\one.txt", kMarch7), platform::FS_OK);
  FakeChannel fake;
  EXPECT_EQ(Ask(fake, 'f', "c:\\ONE.TXT"), 0);
  EXPECT_EQ(Ask(fake, 'n'), 0);  // a plain path has no next match
  EXPECT_EQ(Ask(fake, 'f', "C:\\none.txt"), 0);
  auto sent = fake.Sent_Packets();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], Info('f', 3, 0x20, "c:\\ONE.TXT")) << Hex(sent[0]);
  EXPECT_EQ(sent[1], Packet(0, 'V', 'n', Bytes(13, 0)));
  EXPECT_EQ(sent[2], Packet(0, 'V', 'f', Bytes(13, 0)));

  fake.Fail_Send_At(fake.Send_Calls() + 1, -1);
  EXPECT_EQ(Ask(fake, 'f', "C:\\one.txt"), E_COMMUNICATION);
  EXPECT_EQ(rox_->Process_Get_File_Info_Cmd(fake.Channel(), nullptr), E_MEMORY);
}

}  // namespace
