// File transfer: data blocks byte for byte in both directions, progress,
// whole-file-or-nothing receives (replace and append), the send list and its
// relative names, the update step, and transfers as whole sessions.
//
// Drive C: is mapped to the test's scratch folder and $TMPDIR to a folder
// inside it, so the tests see every temporary file the engine leaves.
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

#include "engine/tests/session_harness.h"
#include "platform/pcfs.h"

namespace session_test {
namespace {

namespace fs = std::filesystem;
constexpr int kChannel = testsupport::FakeChannel::Channel();

Bytes Block(unsigned char letter, unsigned char number, const std::string& content, bool last) {
  return Packet(1, letter, 'd', Cat({{number}, Chars(content), {static_cast<unsigned char>(last ? 0xF1 : 0xF0)}}));
}

// A file information the HT sends (dated 7 March 2004, 13:45:30).
Bytes Ht_File_Info(unsigned char letter, std::uint32_t size, const std::string& name, std::uint8_t attr = 0x20) {
  return Packet(1, letter, 'i', Cat({Le32(size), {7, 3}, Le16(2004), {30, 45, 13}, {attr}, Text(name)}));
}

// The file information the PC sends for its file pc under the HT name ht.
Bytes Pc_File_Info(unsigned char letter, const std::string& pc, const std::string& ht) {
  fileinfotag info{};
  RS232_ROX::Get_File_Info(pc.c_str(), &info);
  return Packet(1, letter, 'i',
                Cat({Le32(info.Size), {static_cast<unsigned char>(info.Date >> 24), static_cast<unsigned char>(info.Date >> 16)},
                     Le16(static_cast<std::uint16_t>(info.Date & 0xFFFF)), Bytes(info.Time, info.Time + 3),
                     {info.Attributes}, Text(ht)}));
}

// The file information response of the HT for a PC file, as if the HT held
// the same file.
Bytes Same_File_Answer(unsigned char sub, const std::string& pc, const std::string& ht) {
  Bytes p = Pc_File_Info('V', pc, ht);
  p[0] = 0;
  p[2] = sub;
  Bytes sum = Le16(testsupport::Frame_Checksum(Bytes(p.begin(), p.end() - 2)));
  p[p.size() - 2] = sum[0];
  p[p.size() - 1] = sum[1];
  return p;
}

Bytes No_File_Answer(unsigned char sub) { return Packet(0, 'V', sub, Cat({Le32(0), Le32(0), {0, 0, 0, 0}, Text("")})); }

Bytes Transfer_Info(std::uint16_t count, std::uint32_t total, unsigned char overwrite, unsigned char kind = 1) {
  return Packet(kind, 'S', 't', Cat({Le16(count), Le32(total), {overwrite}}));
}

std::string Pattern_Bytes(std::size_t n, char seed = 0) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + static_cast<char>(i * 7 + i / 251));
  return s;
}

std::string Content_Of(const Bytes& block) {
  unsigned len = block[3] | block[4] << 8;
  return std::string(block.begin() + 6, block.begin() + 6 + (len - 2));
}

class Transfer : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    for (const char* name : {"TARNEL_DRIVES", "TMPDIR"}) {
      const char* v = std::getenv(name);
      saved_env_[name] = v ? std::optional<std::string>(v) : std::nullopt;
    }
    fs::create_directories(dir_ / "tmp");
    ::setenv("TARNEL_DRIVES", ("C=" + dir_.string()).c_str(), 1);
    ::setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
    saved_block_ = MAX_WRITE_SIZE;
    MAX_WRITE_SIZE = 2032;
    engine_.PacketBuf = new unsigned char[PACKET_BUF_SIZE]();
  }

  void TearDown() override {
    delete[] engine_.PacketBuf;
    engine_.PacketBuf = nullptr;
    if (engine_.SourceFile) std::fclose(engine_.SourceFile);
    engine_.SourceFile = nullptr;
    if (engine_.ListFile) RS232_ROX::CloseDeleteFile(engine_.ListFile, engine_.ListFileName);
    engine_.ListFile = nullptr;
    MAX_WRITE_SIZE = saved_block_;
    for (const auto& [name, value] : saved_env_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto& e : fs::recursive_directory_iterator(dir_, ec))
      fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    SessionTest::TearDown();
  }

  // PC path on drive C: of a file of the scratch folder.
  static std::string C(std::string rel) {
    std::replace(rel.begin(), rel.end(), '/', '\\');
    return "C:\\" + rel;
  }
  void Put(const std::string& rel, const std::string& content) const {
    fs::create_directories((dir_ / rel).parent_path());
    std::ofstream(dir_ / rel, std::ios::binary) << content;
  }
  std::string Get(const std::string& rel) const {
    std::ifstream in(dir_ / rel, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  bool Exists(const std::string& rel) const { return fs::exists(dir_ / rel); }
  void Protect(const std::string& rel) const {
    fs::permissions(dir_ / rel, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }

  // Files the engine left behind: temporary files in $TMPDIR (the lock
  // folder aside) and staging files anywhere in the scratch folder.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> left;
    for (auto& e : fs::recursive_directory_iterator(dir_)) {
      const std::string name = e.path().filename().string();
      if (name.rfind(".qvr", 0) == 0) left.push_back(e.path().string());
      if (e.path().parent_path() == dir_ / "tmp" && name != "tarnel-locks") left.push_back(e.path().string());
    }
    return left;
  }

  // Progress reports (mode, percent) in order.
  std::vector<std::pair<int, int>> Progress() const {
    std::vector<std::pair<int, int>> p;
    for (const Status& s : target_.Seen())
      if (s.msg == WM_HT_STATUS && s.index == 0) p.emplace_back(s.mode, static_cast<int>(s.value));
    return p;
  }

  // The HT announces one file and sends it (replace mode, the HT drives).
  short Receive_One(const std::string& pc, std::uint32_t announced, const std::vector<Bytes>& blocks) {
    fake_.Feed(Ht_File_Info('S', announced, pc));
    for (const Bytes& b : blocks) fake_.Feed(b);
    engine_.PcDriven = 0;
    engine_.FileCount = 1;
    short r = engine_.File_Info_Rx_State_Process(kChannel, nullptr);
    if (r != E_NORMAL) return r;
    return engine_.File_Data_Rx_State_Process(kChannel);
  }

  // The HT sends one file on its own (append mode), as the wait state
  // hands it over.
  short Append_One(const std::string& pc, std::uint32_t announced, const std::vector<Bytes>& blocks) {
    Bytes info = Ht_File_Info('A', announced, pc);
    std::copy(info.begin(), info.end(), engine_.PacketBuf);
    EXPECT_EQ(engine_.Validate_Packet(engine_.PacketBuf), E_NORMAL);
    short r = engine_.Wait_HT_Sends_File(kChannel);
    if (r != E_NORMAL) return r;
    for (const Bytes& b : blocks) fake_.Feed(b);
    return engine_.File_Data_Rx_State_Process(kChannel);
  }

  // Sends the PC file rel as the answer with letter 'S' left it.
  short Send_File(const std::string& rel) {
    std::FILE* f = platform::Open_PC_File(C(rel).c_str(), "rb");
    EXPECT_NE(f, nullptr);
    engine_.PacketBuf[1] = 'S';
    bounded_copy(engine_.CurrentFile, C(rel));
    short r = engine_.Send_File_Data(kChannel, f);
    std::fclose(f);
    return r;
  }

  static void bounded_copy(char (&dst)[260], const std::string& s) {
    std::fill(std::begin(dst), std::end(dst), '\0');
    s.copy(dst, sizeof dst - 1);
  }

  // An HT that answers what a PC-driven send or fetch expects of it.
  void Ht_Answers_Sends() {
    Answer_With([](const Bytes& sent) -> Bytes {
      if (sent[0] != 1) return {};
      if (sent[1] == 'S' && sent[2] == 't') return Response('S', 't');
      if ((sent[1] == 'S' || sent[1] == 'A') && sent[2] == 'i') return Response(sent[1], 'i');
      if (sent[2] == 'd' && sent[sent.size() - 3] == 0xF1) return Response(sent[1], 'd');
      if (sent[1] == 'G') return Response('G');
      return {};
    });
  }

  std::map<std::string, std::optional<std::string>> saved_env_;
  std::uint32_t saved_block_ = 2032;
};

// ---------------------------------------------------------------------------
// Sending data blocks

TEST_F(Transfer, AFileOfOneBlockSizeIsOneLastBlockAndOneByteMoreMakesTwo) {
  const std::string whole = Pattern_Bytes(2033);
  Put("exact.bin", whole.substr(0, 2032));
  ASSERT_EQ(Send_File("exact.bin"), E_NORMAL);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{Block('S', 0, whole.substr(0, 2032), true)}));

  fake_.Clear_Sent();
  Put("more.bin", whole);
  ASSERT_EQ(Send_File("more.bin"), E_NORMAL);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{Block('S', 0, whole.substr(0, 2032), false), Block('S', 1, whole.substr(2032), true)}));
}

TEST_F(Transfer, AnEmptyFileIsOneEmptyLastBlockWithProgress100) {
  Put("empty.bin", "");
  ASSERT_EQ(Send_File("empty.bin"), E_NORMAL);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{Block('S', 0, "", true)}));
  EXPECT_EQ(Progress(), (std::vector<std::pair<int, int>>{{1, 0}, {1, 100}}));
}

TEST_F(Transfer, BlockNumbersWrapAfter255AndProgressRisesTo100OnlyUpwards) {
  MAX_WRITE_SIZE = 3;
  const std::string content = Pattern_Bytes(3 * 300 - 1);
  Put("many.bin", content);
  ASSERT_EQ(Send_File("many.bin"), E_NORMAL);
  std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 300u);
  std::string joined;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i][5], static_cast<unsigned char>(i % 256)) << i;
    EXPECT_EQ(sent[i][sent[i].size() - 3], i + 1 == sent.size() ? 0xF1 : 0xF0) << i;
    joined += Content_Of(sent[i]);
  }
  EXPECT_EQ(joined, content);
  std::vector<std::pair<int, int>> p = Progress();
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.front(), (std::pair<int, int>{1, 0}));
  EXPECT_EQ(p.back(), (std::pair<int, int>{1, 100}));
  for (std::size_t i = 1; i < p.size(); ++i) EXPECT_GT(p[i].second, p[i - 1].second);
}

TEST_F(Transfer, BlocksNeverExceedWhatOnePacketCarries) {
  MAX_WRITE_SIZE = 65000;
  Put("big.bin", Pattern_Bytes(64998 + 10));
  ASSERT_EQ(Send_File("big.bin"), E_NORMAL);
  std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].size(), PACKET_BUF_SIZE);
  RS232_ROX check;
  EXPECT_EQ(check.Validate_File_Data(testsupport::In_Buffer(sent[0]).data()), E_NORMAL);
  EXPECT_EQ(Content_Of(sent[1]).size(), 10u);
}

TEST_F(Transfer, AnEndIndicationBetweenBlocksStopsTheSendWith72) {
  Put("three.bin", Pattern_Bytes(3 * 2032));
  fake_.Feed(End_Indication(0x02, 0x02));
  EXPECT_EQ(Send_File("three.bin"), E_END_FROM_HT);
  EXPECT_EQ(Sent().size(), 1u);
  EXPECT_NE(Error_Log().find("File Not Found"), std::string::npos) << Error_Log();
}

// ---------------------------------------------------------------------------
// Receiving data blocks

TEST_F(Transfer, ABlockOutOfSequenceGives35AndLeavesNoFileBehind) {
  EXPECT_EQ(Receive_One(C("new.txt"), 3, {Block('S', 1, "abc", true)}), 35);
  EXPECT_FALSE(Exists("new.txt"));
  EXPECT_TRUE(Leftovers().empty());

  // Append mode: the temporary file is gone and the PC file untouched.
  Put("log.txt", "old");
  EXPECT_EQ(Append_One(C("log.txt"), 3, {Block('A', 1, "abc", true)}), 35);
  EXPECT_EQ(Get("log.txt"), "old");
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(Transfer, MoreBytesThanAnnouncedKeepExactlyTheAnnouncedOnesAndProgressStopsAt100) {
  const std::string data = Pattern_Bytes(120);
  ASSERT_EQ(Receive_One(C("x.bin"), 100, {Block('S', 0, data.substr(0, 60), false), Block('S', 1, data.substr(60), true)}),
            E_NORMAL);
  EXPECT_EQ(Get("x.bin"), data.substr(0, 100));
  EXPECT_EQ(Progress(), (std::vector<std::pair<int, int>>{{2, 0}, {2, 60}, {2, 100}}));

  Put("log.txt", "old");
  ASSERT_EQ(Append_One(C("log.txt"), 100, {Block('A', 0, data.substr(0, 60), false), Block('A', 1, data.substr(60), true)}),
            E_NORMAL);
  EXPECT_EQ(Get("log.txt"), "old" + data.substr(0, 100));
  for (auto [mode, percent] : Progress()) EXPECT_LE(percent, 100);
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(Transfer, AReceiveReplacesTheFileWholeWithTheHtsDateAndAnswersEachStep) {
  Put("doc.txt", "previous version, longer than the new one");
  ASSERT_EQ(Receive_One(C("doc.txt"), 6, {Block('S', 0, "new", false), Block('S', 1, "one", true)}), E_NORMAL);
  EXPECT_EQ(Get("doc.txt"), "newone");
  fileinfotag info{};
  RS232_ROX::Get_File_Info(C("doc.txt").c_str(), &info);
  EXPECT_EQ(info.Date, 0x070307D4u);
  EXPECT_EQ(Bytes(info.Time, info.Time + 3), (Bytes{30, 45, 13}));
  EXPECT_EQ(Sent(), (std::vector<Bytes>{Response('S', 'i'), Response('S', 'd')}));
  EXPECT_EQ(engine_.State, 0);
  EXPECT_TRUE(Leftovers().empty());
}

// The file that replaces the old one keeps the old one's permissions, and a
// PC file that is a symbolic link is replaced where the link points.
TEST_F(Transfer, AReceivedFileKeepsTheOldPermissionsAndALinkStaysALink) {
  Put("doc.txt", "old");
  const auto kept = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(dir_ / "doc.txt", kept);
  ASSERT_EQ(Receive_One(C("doc.txt"), 3, {Block('S', 0, "new", true)}), E_NORMAL);
  EXPECT_EQ(Get("doc.txt"), "new");
  EXPECT_EQ(fs::status(dir_ / "doc.txt").permissions(), kept);

  Put("real/target.txt", "old");
  fs::create_symlink(fs::path("real") / "target.txt", dir_ / "link.txt");
  ASSERT_EQ(Receive_One(C("link.txt"), 3, {Block('S', 0, "new", true)}), E_NORMAL);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.txt"));
  EXPECT_EQ(Get("real/target.txt"), "new");

  // A link whose file is missing gets the file where it points.
  fs::create_symlink(fs::path("real") / "later.txt", dir_ / "dangling.txt");
  ASSERT_EQ(Receive_One(C("dangling.txt"), 3, {Block('S', 0, "now", true)}), E_NORMAL);
  EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.txt"));
  EXPECT_EQ(Get("real/later.txt"), "now");
  EXPECT_TRUE(Leftovers().empty());
}

// A staging file is never shown: not in a send list, not in an answer to
// the HT's file-information requests, by pattern or by name.
TEST_F(Transfer, StagingFilesAreNeverListed) {
  const std::string staging = "box/.qvr0123456789abcdef.tmp";
  Put(staging, "half a file");
  Put("box/b.tmp", "whole");
  engine_.ListFile = RS232_ROX::MakeTempFile(&engine_.ListFileName);
  RS232_ROX::transferinfotag info{};
  ASSERT_EQ(engine_.Get_Trns_Info((C("box") + "\\*.*").c_str(), &info, 0, 0), E_NORMAL);
  EXPECT_EQ(info.FileCount, 1);
  EXPECT_EQ(info.TotalBytes, 5u);
  EXPECT_EQ(engine_.Get_Trns_Info(C(staging).c_str(), &info, 0, 0), E_FILE_NOT_FOUND);
  RS232_ROX::CloseDeleteFile(engine_.ListFile, engine_.ListFileName);
  engine_.ListFile = nullptr;
  engine_.ListFileName = nullptr;

  fake_.Feed(Packet(1, 'V', 'f', Text(C("box") + "\\*.tmp")))
      .Feed(Packet(1, 'V', 'n', {}))
      .Feed(Packet(1, 'V', 'f', Text(C(staging))))
      .Feed(End_Indication(0, 0));
  EXPECT_EQ(Run_Session(), E_END_FROM_HT);
  std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  auto name_of = [](const Bytes& p) { return std::string(p.begin() + 17, p.end() - 3); };
  EXPECT_EQ(name_of(sent[0]), C("box") + "\\b.tmp");
  EXPECT_EQ(sent[1], No_File_Answer('n'));
  EXPECT_EQ(sent[2], No_File_Answer('f'));
}

// Staging files that a crash left behind go once they are a day old, when
// a receive looks at their folder; a receive in progress keeps its own.
TEST_F(Transfer, StagingFilesLeftByACrashAreRemovedWhenAReceiveLooksAtTheFolder) {
  const std::string old_one = "in/.qvr00000000000000aa.tmp", fresh = "in/.qvr00000000000000bb.tmp";
  Put(old_one, "left by a crash");
  Put(fresh, "another receive's");
  Put("in/.qvr-not-ours.tmp", "someone's");
  const auto two_days_ago = fs::file_time_type::clock::now() - std::chrono::hours(48);
  fs::last_write_time(dir_ / old_one, two_days_ago);
  fs::last_write_time(dir_ / "in/.qvr-not-ours.tmp", two_days_ago);

  ASSERT_EQ(Receive_One(C("in/x.txt"), 1, {Block('S', 0, "x", true)}), E_NORMAL);
  EXPECT_FALSE(Exists(old_one));
  EXPECT_TRUE(Exists(fresh));
  EXPECT_TRUE(Exists("in/.qvr-not-ours.tmp"));
  EXPECT_EQ(Get("in/x.txt"), "x");
}

// Cut the link after every possible number of blocks: the previous file
// stays as it was (or there is none), and nothing is appended.
TEST_F(Transfer, ALinkBrokenAtAnyBlockLeavesThePcFileAsItWas) {
  const std::string data = Pattern_Bytes(5 * 10);
  std::vector<Bytes> blocks;
  for (int i = 0; i < 5; ++i) blocks.push_back(Block('S', static_cast<unsigned char>(i), data.substr(i * 10, 10), i == 4));
  for (std::size_t cut = 0; cut < blocks.size(); ++cut) {
    SCOPED_TRACE("blocks before the break: " + std::to_string(cut));
    std::vector<Bytes> sent(blocks.begin(), blocks.begin() + static_cast<long>(cut));
    Put("kept.txt", "previous");
    fake_.Feed(Ht_File_Info('S', 50, C("kept.txt")));
    for (const Bytes& b : sent) fake_.Feed(b);
    fake_.Feed_Failure(-1);
    engine_.PcDriven = 0;
    engine_.FileCount = 1;
    ASSERT_EQ(engine_.File_Info_Rx_State_Process(kChannel, nullptr), E_NORMAL);
    EXPECT_EQ(engine_.File_Data_Rx_State_Process(kChannel), E_COMMUNICATION);
    EXPECT_EQ(Get("kept.txt"), "previous");

    // The harness's script ends like a broken link.
    EXPECT_EQ(Receive_One(C("fresh.txt"), 50, sent), E_COMMUNICATION);
    EXPECT_FALSE(Exists("fresh.txt"));

    std::vector<Bytes> appended;
    for (std::size_t i = 0; i < cut; ++i) appended.push_back(Block('A', static_cast<unsigned char>(i), data.substr(i * 10, 10), false));
    EXPECT_EQ(Append_One(C("kept.txt"), 50, appended), E_COMMUNICATION);
    EXPECT_EQ(Get("kept.txt"), "previous");
    EXPECT_TRUE(Leftovers().empty());
  }
}

TEST_F(Transfer, TwoEnginesAppendingToOneFileAtOnceNeverInterleave) {
  // Two HT links with their own byte streams; each stops before its last
  // block until the other has come as far, so both append at the same time.
  struct Links {
    std::mutex m;
    std::condition_variable cv;
    std::map<int, Bytes> in;
    std::map<int, std::size_t> pos, gate;
    int at_gate = 0;
  };
  static Links* links = nullptr;
  Links state;
  links = &state;
  static const ChannelDriver driver = {
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
      [](int, unsigned char*, std::uint32_t n) -> long { return static_cast<long>(n); },
      [](int ch, unsigned char* data, std::uint32_t n, int flags) -> long {
        std::unique_lock<std::mutex> lock(links->m);
        std::size_t& p = links->pos[ch];
        if (p == links->gate[ch]) {
          ++links->at_gate;
          links->cv.notify_all();
          links->cv.wait_for(lock, std::chrono::seconds(5), [] { return links->at_gate >= 2; });
          links->gate[ch] = SIZE_MAX;
        }
        const Bytes& s = links->in[ch];
        std::size_t avail = s.size() - p;
        if ((flags & 1) == 0 && avail < n) return -1;
        std::size_t k = std::min<std::size_t>(avail, n);
        std::copy(s.begin() + static_cast<long>(p), s.begin() + static_cast<long>(p + k), data);
        p += k;
        return static_cast<long>(k);
      },
      nullptr, nullptr, nullptr, nullptr};

  const std::size_t size = 2 * 1024 * 1024;
  const std::string a(size, 'a'), b(size, 'b');
  for (int ch : {7, 8}) {
    const std::string& content = ch == 7 ? a : b;
    Bytes stream;
    for (std::size_t off = 0, no = 0; off < size; off += 60000, ++no) {
      bool last = off + 60000 >= size;
      if (last) state.gate[ch] = stream.size();
      Bytes blk = Block('A', static_cast<unsigned char>(no), content.substr(off, 60000), last);
      stream.insert(stream.end(), blk.begin(), blk.end());
    }
    state.in[ch] = stream;
  }
  const ChannelDriver* saved = Set_Channel_Driver(2, &driver);

  Put("shared.log", "");
  short results[2] = {-1, -1};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      RS232_ROX e;
      e.HTNumber = 10 + i;
      e.PostStatus = 1;
      e.PacketBuf = new unsigned char[PACKET_BUF_SIZE]();
      bounded_copy(e.CurrentFile, C("shared.log"));
      e.HtSendsFile = 1;
      e.BytesExpected = static_cast<std::int32_t>(size);
      results[i] = e.Receive_File_Data(7 + i);
      delete[] e.PacketBuf;
      e.PacketBuf = nullptr;
    });
  }
  for (std::thread& t : threads) t.join();
  Set_Channel_Driver(2, saved);
  links = nullptr;

  EXPECT_EQ(results[0], E_NORMAL);
  EXPECT_EQ(results[1], E_NORMAL);
  const std::string got = Get("shared.log");
  EXPECT_TRUE(got == a + b || got == b + a) << "the two appends interleaved";
  EXPECT_TRUE(Leftovers().empty());
}

// ---------------------------------------------------------------------------
// The send list and its names

TEST_F(Transfer, TheSendListNamesEachFileAndMarksEachSourceName) {
  Put("a1.txt", "1");
  Put("a2.txt", "22");
  Put("b.dat", "no");
  Put("c/d.txt", "4444");
  std::string saved_cwd;
  ASSERT_TRUE(platform::Get_Current_Folder(&saved_cwd));
  ASSERT_EQ(platform::Set_Current_Folder(C("").c_str()), platform::FS_OK);
  engine_.ListFile = RS232_ROX::MakeTempFile(&engine_.ListFileName);
  RS232_ROX::transferinfotag info{};
  short r = engine_.Get_Trns_Info("a?.txt::c\\d.txt##\\D", &info, 0, 0);
  std::string list;
  for (int c; (c = std::fgetc(engine_.ListFile)) != EOF;) list += static_cast<char>(c);
  std::rewind(engine_.ListFile);

  std::vector<std::pair<std::string, int>> names;
  char name[260];
  unsigned short end = 0;
  while (((end = engine_.Read_OneName(name, sizeof name)) & 0xFF) == 0) names.emplace_back(name, engine_.GroupIndex);
  ASSERT_EQ(platform::Set_Current_Folder(saved_cwd.c_str()), platform::FS_OK);

  ASSERT_EQ(r, E_NORMAL);
  EXPECT_EQ(list, ".\\a1.txt::.\\a2.txt::*c\\d.txt::*");
  EXPECT_EQ(info.FileCount, 3);
  EXPECT_EQ(info.TotalBytes, 7u);
  EXPECT_EQ(names, (std::vector<std::pair<std::string, int>>{{".\\a1.txt", 1}, {".\\a2.txt", 1}, {"c\\d.txt", 2}}));
  EXPECT_EQ(name[0], '\0');

  // A name that matches nothing is no list at all.
  EXPECT_EQ(engine_.Get_Trns_Info((C("") + "*.none").c_str(), &info, 0, 0), E_FILE_NOT_FOUND);
  EXPECT_EQ(engine_.Get_Trns_Info(C("absent.txt").c_str(), &info, 0, 0), E_FILE_NOT_FOUND);
}

TEST_F(Transfer, RelativePathsOfSendsAndFetches) {
  char out[RS232_ROX::FULL_PATH_SIZE];
  engine_.GroupIndex = 2;
  EXPECT_EQ(engine_.Get_FullPath("SR C:\\A\\*.txt::C:\\LONGER\\*.dat##\\D", "C:\\LONGER\\sub\\x.dat", out), 1);
  EXPECT_STREQ(out, "sub\\x.dat");
  engine_.GroupIndex = 1;
  EXPECT_EQ(engine_.Get_FullPath("SR a?.txt##\\D", ".\\a1.txt", out), 0);
  EXPECT_STREQ(out, "a1.txt");
  // Without R there is no relative path.
  EXPECT_EQ(engine_.Get_FullPath("SU C:\\A\\*.txt##\\D", "C:\\A\\sub\\x.txt", out), 0);
  EXPECT_STREQ(out, "");
  // Fetch with W: the first source folder found in the HT name, ignoring
  // case; the rest in lower case.
  EXPECT_EQ(engine_.Get_FullPath("RW \\OTHER\\*.*::\\app\\*.*##C:\\IN", "\\APP\\Sub\\B.DAT", out), 1);
  EXPECT_STREQ(out, "sub\\b.dat");
  EXPECT_EQ(engine_.Get_FullPath("R \\APP\\*.*##C:\\IN", "\\APP\\Sub\\B.DAT", out), 0);

  EXPECT_EQ(RS232_ROX::Get_Path("  C:\\A\\*.txt##\\D", "C:\\A\\B\\x.txt", out, sizeof out), 1);
  EXPECT_STREQ(out, "B\\x.txt");
  EXPECT_EQ(RS232_ROX::Get_Path("  x.txt", ".\\x.txt", out, sizeof out), 0);
  EXPECT_STREQ(out, "x.txt");
}

TEST_F(Transfer, SubFolderSendRecreatesTheTreeUnderTheDestination) {
  Put("src/a1.txt", "one");
  Put("src/skip.dat", "not sent");
  Put("src/sub/a3.txt", "three");
  Put("src/sub/deeper/a4.txt", "four");
  Ht_Answers_Sends();
  Write_Command_Buffer(kHt, ("/SR " + C("src") + "\\*.txt \\D").c_str());
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_PC_END);

  std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 8u);
  EXPECT_EQ(sent[0], Transfer_Info(3, 12, 0));
  EXPECT_EQ(sent[1], Pc_File_Info('S', C("src/a1.txt"), "\\D\\a1.txt"));
  EXPECT_EQ(sent[2], Block('S', 0, "one", true));
  EXPECT_EQ(sent[3], Pc_File_Info('S', C("src/sub/a3.txt"), "\\D\\sub\\a3.txt"));
  EXPECT_EQ(sent[4], Block('S', 0, "three", true));
  EXPECT_EQ(sent[5], Pc_File_Info('S', C("src/sub/deeper/a4.txt"), "\\D\\sub\\deeper\\a4.txt"));
  EXPECT_EQ(sent[6], Block('S', 0, "four", true));
  EXPECT_EQ(sent[7], End_Indication(0, 0));
  EXPECT_TRUE(Leftovers().empty());
  EXPECT_EQ(engine_.ListFile, nullptr);
}

TEST_F(Transfer, FolderListsThatWouldOverflowGive41) {
  // 100 folders of 250-character names: more than the update step's list
  // takes, while the send list grows to hold them.
  for (int i = 0; i < 100; ++i) fs::create_directories(dir_ / "tree" / (std::string(247, 'f') + std::to_string(100 + i)));
  Put("tree/f.txt", "x");
  engine_.ListFile = RS232_ROX::MakeTempFile(&engine_.ListFileName);
  EXPECT_EQ(engine_.Process_Updation(kChannel, (C("tree") + "\\*.txt").c_str(), "VSR tree##\\D", engine_.PacketBuf, 'S', 1),
            E_MEMORY);
  EXPECT_TRUE(Sent().empty()) << "nothing is asked before the search is complete";
  RS232_ROX::transferinfotag info{};
  EXPECT_EQ(engine_.Get_Trns_Info((C("tree") + "\\*.txt").c_str(), &info, 0, 1), E_NORMAL);
  EXPECT_EQ(info.FileCount, 1);
}

// Searching a big tree is long local work: the operator's stop is looked
// at from folder to folder.
TEST_F(Transfer, AnAbortStopsASearchOfTheTree) {
  Put("tree/a/x.txt", "x");
  Put("tree/b/y.txt", "y");
  engine_.ListFile = RS232_ROX::MakeTempFile(&engine_.ListFileName);
  RS232_ROX::transferinfotag info{};
  ASSERT_EQ(engine_.Get_Trns_Info((C("tree") + "\\*.txt").c_str(), &info, 0, 1), E_NORMAL);
  EXPECT_EQ(info.FileCount, 2);
  Set_Abort_From_GUI(kHt, std::int32_t{1});
  EXPECT_EQ(engine_.Get_Trns_Info((C("tree") + "\\*.txt").c_str(), &info, 0, 1), E_BREAK_KEY);
  EXPECT_EQ(engine_.Process_Updation(kChannel, (C("tree") + "\\*.txt").c_str(), "VSR tree##\\D", engine_.PacketBuf,
                                     'S', 1),
            E_BREAK_KEY);
  EXPECT_TRUE(Sent().empty());
}

// ---------------------------------------------------------------------------
// Whole sessions

TEST_F(Transfer, AnUpdateSendWithNothingNewerSendsNothingAndGoesOnWithTheNextCommand) {
  Put("a.txt", "same");
  Answer_With([this](const Bytes& sent) -> Bytes {
    if (sent[1] == 'V') return Same_File_Answer('f', C("a.txt"), "\\D\\a.txt");
    if (sent[1] == 'G') return Response('G');
    return {};
  });
  Write_Command_Buffer(kHt, ("/SU " + C("a.txt") + " \\D/B").c_str());
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_PC_END);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{Packet(1, 'V', 'f', Text("\\D\\a.txt")), Packet(1, 'G', 0, {}),
                                        End_Indication(0, 0)}));
}

TEST_F(Transfer, AnUpdateSendSendsWhatTheHtLacks) {
  Put("a.txt", "same");
  Put("b.txt", "fresh");
  Answer_With([this](const Bytes& sent) -> Bytes {
    if (sent[1] == 'V') {
      std::string asked(sent.begin() + 5, sent.end() - 3);
      return asked == "\\D\\a.txt" ? Same_File_Answer('f', C("a.txt"), asked) : No_File_Answer('f');
    }
    if (sent[1] == 'S' && sent[2] == 't') return Response('S', 't');
    if (sent[1] == 'S' && sent[2] == 'i') return Response('S', 'i');
    if (sent[1] == 'S' && sent[2] == 'd') return Response('S', 'd');
    return {};
  });
  Write_Command_Buffer(kHt, ("/SU " + C("a.txt") + " " + C("b.txt") + " \\D").c_str());
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_PC_END);
  std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[2], Transfer_Info(1, 5, 0));
  EXPECT_EQ(sent[3], Pc_File_Info('S', C("b.txt"), "\\D\\b.txt"));
  EXPECT_EQ(sent[4], Block('S', 0, "fresh", true));
  EXPECT_EQ(sent[5], End_Indication(0, 0));
}

// A plain name the PC lacks is still asked for: an HT that holds the file
// needs nothing, and when neither side has it the send names the missing
// file.
TEST_F(Transfer, AnUpdateSendOfAFileThePcLacksAsksTheHt) {
  const Bytes ht_has_it = Packet(0, 'V', 'f', Cat({Le32(4), {7, 3}, Le16(2004), {30, 45, 13}, {0x20}, Text("\\D\\gone.txt")}));
  for (bool ht_has : {true, false}) {
    SCOPED_TRACE(ht_has ? "the HT has the file" : "neither side has the file");
    std::memset(engine_.CommandList, 0, sizeof engine_.CommandList);
    fake_.Clear_Sent();
    Answer_With([&](const Bytes& sent) -> Bytes {
      if (sent[1] == 'V') return ht_has ? ht_has_it : No_File_Answer('f');
      if (sent[1] == 'S' && sent[2] == 't') return Response('S', 't');
      if (sent[1] == 'G') return Response('G');
      return {};
    });
    Write_Command_Buffer(kHt, ("/SU " + C("gone.txt") + " \\D/B").c_str());
    fake_.Feed(Idle_Notice());
    std::vector<Bytes> expected{Packet(1, 'V', 'f', Text("\\D\\gone.txt"))};
    if (ht_has) {
      EXPECT_EQ(Run_Session(), E_PC_END);
      expected.insert(expected.end(), {Packet(1, 'G', 0, {}), End_Indication(0, 0)});
    } else {
      EXPECT_EQ(Run_Session(), E_FILE_NOTHING);
      expected.insert(expected.end(), {Transfer_Info(1, 0, 0),
                                       End_Indication(ErrorTable[E_FILE_NOTHING].Detail, ErrorTable[E_FILE_NOTHING].Class)});
    }
    EXPECT_EQ(Sent(), expected);
    EXPECT_TRUE(Leftovers().empty());
  }
}

class FetchSession : public Transfer {
 protected:
  // An HT that holds one file \X.DAT and sends it when asked.
  void Ht_Holds(const std::string& content) {
    Answer_With([content](const Bytes& sent) -> Bytes {
      if (sent[1] == 'R') return Transfer_Info(1, static_cast<std::uint32_t>(content.size()), 0);
      if (sent[0] == 0 && sent[1] == 'S' && sent[2] == 't') return Ht_File_Info('S', static_cast<std::uint32_t>(content.size()), "\\X.DAT");
      if (sent[0] == 0 && sent[1] == 'S' && sent[2] == 'i') return Block('S', 0, content, true);
      return {};
    });
  }
};

TEST_F(FetchSession, AWriteProtectedPcFileGives70WithoutOAndIsOverwrittenWithO) {
  Put("X.DAT", "protected");
  Protect("X.DAT");
  Ht_Holds("from the HT");
  Write_Command_Buffer(kHt, "/R \\X.DAT C:");
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_READ_ONLY_ACCESS);
  EXPECT_EQ(Get("X.DAT"), "protected");
  EXPECT_EQ(Sent().back(), End_Indication(ErrorTable[E_READ_ONLY_ACCESS].Detail, ErrorTable[E_READ_ONLY_ACCESS].Class));

  fake_.Clear_Sent();
  // The failed line stays in force in the engine; the operator replaces it.
  std::memset(engine_.CommandList, 0, sizeof engine_.CommandList);
  Write_Command_Buffer(kHt, "/RO \\X.DAT C:");
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_PC_END);
  EXPECT_EQ(Get("X.DAT"), "from the HT");
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(FetchSession, AFetchWithoutDestinationIsRefusedBeforeAnythingIsAsked) {
  Ht_Holds("x");
  Write_Command_Buffer(kHt, "/R \\X.DAT");
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_PARAMETER);
  EXPECT_EQ(Sent().size(), 1u) << "only the end indication";
}

TEST_F(Transfer, ASubFolderFetchRecreatesTheHtsTree) {
  auto files_sent = std::make_shared<int>(0);
  Answer_With([files_sent](const Bytes& sent) -> Bytes {
    if (sent[1] == 'R') return Transfer_Info(2, 7, 0);
    if (sent[0] == 0 && sent[1] == 'S' && sent[2] == 't') return Ht_File_Info('S', 3, "\\APP\\A.DAT");
    if (sent[0] == 0 && sent[1] == 'S' && sent[2] == 'i') return Block('S', 0, *files_sent == 0 ? "aaa" : "bbbb", true);
    if (sent[0] == 0 && sent[1] == 'S' && sent[2] == 'd' && ++*files_sent == 1)
      return Ht_File_Info('S', 4, "\\APP\\Sub\\B.DAT");
    return {};
  });
  Write_Command_Buffer(kHt, ("/RR \\APP\\*.* " + C("IN")).c_str());
  fake_.Feed(Idle_Notice());
  EXPECT_EQ(Run_Session(), E_PC_END);
  EXPECT_EQ(Get("IN/A.DAT"), "aaa");
  EXPECT_EQ(Get("IN/sub/b.dat"), "bbbb");
}

TEST_F(Transfer, TheHtAsksForAFileAndGetsItUnderItsPcPath) {
  Put("asked.txt", "payload");
  fake_.Feed(Packet(1, 'R', 'r', Text(C("asked.txt"))));
  // After its last answer the HT ends the session.
  fake_.Set_Responder([](testsupport::FakeChannel& fake, const Bytes& sent) {
    if (sent[1] == 'S' && sent[2] == 't') fake.Feed(Response('S', 't'));
    if (sent[1] == 'S' && sent[2] == 'i') fake.Feed(Response('S', 'i'));
    if (sent[2] == 'd') fake.Feed(Response('S', 'd')).Feed(End_Indication(0, 0));
  });
  EXPECT_EQ(Run_Session(), E_END_FROM_HT);
  std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], Transfer_Info(1, 7, 0));
  EXPECT_EQ(sent[1], Pc_File_Info('S', C("asked.txt"), C("asked.txt")));
  EXPECT_EQ(sent[2], Block('S', 0, "payload", true));
}

}  // namespace
}  // namespace session_test
