// Every file-system step of a transfer fails in turn: for each kind of call
// the engine makes (open, read, write, sync, rename, mkdir, unlink, stat),
// the 1st, 2nd, 3rd ... call of that kind fails until the operation runs
// without reaching the armed call. After each run: the session ended with an
// error code (or succeeded once nothing failed), the PC file is exactly the
// old one or exactly the new one (never a mix, never cut short, never
// appended twice), no staging or temporary file is left, and the error log
// holds at most one record for the session (one unless the failed call was
// the log's own).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

#include "engine/tests/session_harness.h"
#include "platform/faults.h"

namespace session_test {
namespace {

namespace fs = std::filesystem;
using platform::faults::Call;

constexpr int kChannel = testsupport::FakeChannel::Channel();

Bytes Block(unsigned char letter, unsigned char number, const std::string& content, bool last) {
  return Packet(1, letter, 'd', Cat({{number}, Chars(content), {static_cast<unsigned char>(last ? 0xF1 : 0xF0)}}));
}

Bytes Ht_File_Info(unsigned char letter, std::uint32_t size, const std::string& name) {
  return Packet(1, letter, 'i', Cat({Le32(size), {7, 3}, Le16(2004), {30, 45, 13}, {0x20}, Text(name)}));
}

Bytes Transfer_Info(std::uint16_t count, std::uint32_t total, unsigned char overwrite) {
  return Packet(1, 'S', 't', Cat({Le16(count), Le32(total), {overwrite}}));
}

const Call kFileCalls[] = {Call::kOpen,  Call::kRead,   Call::kWrite, Call::kFsync,
                           Call::kRename, Call::kMkdir, Call::kUnlink, Call::kStat};

const char* Name_Of(Call c) {
  static const char* const names[] = {"open", "read", "write", "fsync", "rename", "mkdir", "unlink", "stat", "send", "recv"};
  return names[static_cast<int>(c)];
}

class FaultLoop : public SessionTest {
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
    platform::faults::Reset();
    platform::faults::Enable(true);
  }
  void TearDown() override {
    platform::faults::Reset();
    platform::faults::Enable(false);
    for (const auto& [name, value] : saved_env_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
    SessionTest::TearDown();
  }

  static std::string C(const std::string& rel) { return "C:\\" + rel; }
  void Put(const std::string& rel, const std::string& content) const {
    fs::create_directories((dir_ / rel).parent_path());
    std::ofstream(dir_ / rel, std::ios::binary) << content;
  }
  std::optional<std::string> Get(const std::string& rel) const {
    if (!fs::exists(dir_ / rel)) return std::nullopt;
    std::ifstream in(dir_ / rel, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> left;
    for (auto& e : fs::recursive_directory_iterator(dir_)) {
      const std::string name = e.path().filename().string();
      if (name.rfind(".qvr", 0) == 0) left.push_back(e.path().string());
      if (e.path().parent_path() == dir_ / "tmp" && name != "tarnel-locks") left.push_back(e.path().string());
    }
    return left;
  }
  int Log_Records() const {
    const std::string log = Error_Log();
    return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
  }

  // One run: prepare() puts the files and the script in place, then the
  // session runs with the nth call of kind failing. Returns the session's
  // code; *fired tells whether the armed call was reached.
  short Run_With_Fault(Call kind, unsigned long n, const std::function<void()>& prepare, bool* fired) {
    platform::faults::Reset();
    fs::remove(dir_ / "error.log");
    Fresh_Engine();
    fake_.Clear_Sent();
    fake_.Set_Responder({});
    prepare();
    platform::faults::Fail_Nth(kind, n, EIO);
    const short code = Run_Session();
    *fired = platform::faults::Fired(kind);
    platform::faults::Reset();
    // The script may hold what the HT would have sent after the failure.
    while (fake_.Unread() > 0) {
      unsigned char sink[256];
      if (fake_.Do_Recv(kChannel, sink, sizeof sink, 1) <= 0) break;
    }
    return code;
  }

  // Loops every kind of file call over n = 1, 2, 3 ... until the run passes
  // without reaching the armed call; check(code, fired) judges each run.
  void Loop(const std::function<void()>& prepare, short success,
            const std::function<void(short code, bool fired)>& check) {
    for (Call kind : kFileCalls) {
      for (unsigned long n = 1;; ++n) {
        SCOPED_TRACE(std::string("failing call: ") + Name_Of(kind) + " #" + std::to_string(n));
        ASSERT_LT(n, 200u) << "the operation never finished without reaching the armed call";
        bool fired = false;
        const short code = Run_With_Fault(kind, n, prepare, &fired);
        // A failed unlink is the one step whose failure leaves a file behind.
        if (kind != Call::kUnlink) {
          EXPECT_TRUE(Leftovers().empty()) << (Leftovers().empty() ? "" : Leftovers()[0]) << " code " << code;
        }
        for (const std::string& left : Leftovers()) fs::remove(left);
        EXPECT_LE(Log_Records(), 1);
        if (!fired) {
          EXPECT_EQ(code, success);
          check(code, false);
          break;
        }
        if (code != success) {
          EXPECT_GE(Log_Records(), kind == Call::kOpen || kind == Call::kWrite ? 0 : 1);
        }
        check(code, true);
        if (HasFatalFailure()) return;
      }
    }
  }

  std::map<std::string, std::optional<std::string>> saved_env_;
};

// The HT sends a file that replaces a PC file.
TEST_F(FaultLoop, HtInitiatedSendReplacesWholeOrNotAtAll) {
  const std::string old_text = "the previous version of the file";
  const std::string new_text = std::string(3000, 'n') + "end";
  Loop(
      [&] {
        Put("doc.txt", old_text);
        fake_.Feed(Transfer_Info(1, static_cast<std::uint32_t>(new_text.size()), 1))
            .Feed(Ht_File_Info('S', static_cast<std::uint32_t>(new_text.size()), C("doc.txt")))
            .Feed(Block('S', 0, new_text.substr(0, 2032), false))
            .Feed(Block('S', 1, new_text.substr(2032), true))
            .Feed(End_Indication(0, 0));
      },
      E_END_FROM_HT,
      [&](short code, bool fired) {
        const auto now = Get("doc.txt");
        ASSERT_TRUE(now.has_value());
        EXPECT_TRUE(*now == old_text || *now == new_text) << now->size() << " bytes";
        if (!fired) {
          EXPECT_EQ(*now, new_text);
        }
        if (fired && code != E_END_FROM_HT) {
          EXPECT_EQ(*now, old_text);
        }
      });
}

// The HT sends a file in append mode: the PC file gets the new bytes once
// or not at all.
TEST_F(FaultLoop, HtInitiatedAppendAppendsOnceOrNotAtAll) {
  const std::string old_text = "line one\n";
  const std::string added = "line two\n";
  Loop(
      [&] {
        Put("log.txt", old_text);
        fake_.Feed(Ht_File_Info('A', static_cast<std::uint32_t>(added.size()), C("log.txt")))
            .Feed(Block('A', 0, added, true))
            .Feed(End_Indication(0, 0));
      },
      E_END_FROM_HT,
      [&](short, bool fired) {
        const auto now = Get("log.txt");
        ASSERT_TRUE(now.has_value());
        EXPECT_TRUE(*now == old_text || *now == old_text + added) << *now;
        if (!fired) {
          EXPECT_EQ(*now, old_text + added);
        }
      });
}

// The HT fetches a PC file (a send to the HT): the PC file never changes.
TEST_F(FaultLoop, SendToTheHtLeavesThePcFileAlone) {
  const std::string text = "payload";
  Loop(
      [&] {
        Put("asked.txt", text);
        fake_.Feed(Packet(1, 'R', 'r', Text(C("asked.txt"))));
        fake_.Set_Responder([](testsupport::FakeChannel& fake, const Bytes& sent) {
          if (sent[0] != 1) return;
          if (sent[1] == 'S' && (sent[2] == 't' || sent[2] == 'i')) fake.Feed(Response('S', sent[2]));
          if (sent[2] == 'd') fake.Feed(Response('S', 'd')).Feed(End_Indication(0, 0));
        });
      },
      E_END_FROM_HT,
      [&](short, bool) { EXPECT_EQ(Get("asked.txt"), text); });
}

// The PC fetches a file from the HT that replaces its own.
TEST_F(FaultLoop, FetchReplacesWholeOrNotAtAll) {
  const std::string old_text = "old PC copy";
  const std::string new_text = "the HT's copy, a little longer";
  Loop(
      [&] {
        Put("X.DAT", old_text);
        Answer_With([new_text](const Bytes& sent) -> Bytes {
          if (sent[1] == 'R') return Transfer_Info(1, static_cast<std::uint32_t>(new_text.size()), 0);
          if (sent[0] == 0 && sent[1] == 'S' && sent[2] == 't')
            return Ht_File_Info('S', static_cast<std::uint32_t>(new_text.size()), "\\X.DAT");
          if (sent[0] == 0 && sent[1] == 'S' && sent[2] == 'i') return Block('S', 0, new_text, true);
          return {};
        });
        std::memset(engine_.CommandList, 0, sizeof engine_.CommandList);
        Write_Command_Buffer(kHt, "/RO \\X.DAT C:");
        fake_.Feed(Idle_Notice());
      },
      E_PC_END,
      [&](short code, bool fired) {
        const auto now = Get("X.DAT");
        ASSERT_TRUE(now.has_value());
        EXPECT_TRUE(*now == old_text || *now == new_text) << *now;
        if (!fired) {
          EXPECT_EQ(*now, new_text);
        }
        if (fired && code != E_PC_END) {
          EXPECT_EQ(*now, old_text);
        }
      });
}

// The HT deletes a PC folder tree: whatever is left is intact.
TEST_F(FaultLoop, RecursiveDeleteLeavesIntactFiles) {
  Loop(
      [&] {
        Put("tree/a.txt", "a");
        Put("tree/sub/b.txt", "b");
        Put("tree/sub/deeper/c.txt", "c");
        fake_.Feed(Packet(1, 'D', 3, Cat({Le16(1), Text(C("tree\\*.*"))}))).Feed(End_Indication(0, 0));
      },
      E_END_FROM_HT,
      [&](short, bool fired) {
        for (const char* f : {"tree/a.txt", "tree/sub/b.txt", "tree/sub/deeper/c.txt"}) {
          const auto now = Get(f);
          if (now) {
            EXPECT_EQ(*now, std::string(1, fs::path(f).filename().string()[0]));
          }
          if (!fired) {
            EXPECT_FALSE(now.has_value()) << f;
          }
        }
        std::error_code ec;
        fs::remove_all(dir_ / "tree", ec);
      });
}

// The HT moves a PC file: it is under its old name or its new one, whole.
TEST_F(FaultLoop, MoveKeepsTheFileUnderOneOfItsNames) {
  Loop(
      [&] {
        std::error_code ec;
        fs::remove(dir_ / "b.txt", ec);
        Put("a.txt", "moving");
        fake_.Feed(Packet(1, 'M', 0, Text(C("a.txt") + "::" + C("b.txt")))).Feed(End_Indication(0, 0));
      },
      E_END_FROM_HT,
      [&](short, bool fired) {
        const auto a = Get("a.txt"), b = Get("b.txt");
        EXPECT_NE(a.has_value(), b.has_value());
        EXPECT_EQ(a.value_or(b.value_or("")), "moving");
        if (!fired) {
          EXPECT_TRUE(b.has_value());
        }
      });
}

}  // namespace
}  // namespace session_test
