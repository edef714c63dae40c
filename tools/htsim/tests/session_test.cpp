// Whole htsim sessions against the PC's real TCP/IP driver on loopback: a
// thread plays the PC with the driver's so_* calls and the engine's packet
// checks, the test thread runs the simulated HT.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "channel/mux32.h"
#include "engine/rox32.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/socket.h"
#include "tcpip/netport.h"
#include "testsupport/free_port.h"
#include "tools/htsim/disk.h"
#include "tools/htsim/link.h"
#include "tools/htsim/packet.h"
#include "tools/htsim/session.h"

namespace htsim {
namespace {

// The PC's end of one accepted connection.
class Pc {
 public:
  explicit Pc(int s) : s_(s) {}
  int socket() const { return s_; }

  bool Send(const Bytes& p) {
    Bytes copy = p;
    return so_send(s_, copy.data(), static_cast<std::uint32_t>(copy.size())) ==
           static_cast<long>(copy.size());
  }
  // One packet as the engine reads it: the header, then data and checksum;
  // it must pass the engine's validation.
  bool Recv(Bytes* p) {
    p->assign(kPacketHeader, 0);
    if (so_recv(s_, p->data(), kPacketHeader, 0) != static_cast<long>(kPacketHeader)) return false;
    const std::size_t rest = RS232_ROX::Get_DataLength(p->data()) - kPacketHeader;
    p->resize(kPacketHeader + rest);
    if (so_recv(s_, p->data() + kPacketHeader, static_cast<std::uint32_t>(rest), 0) !=
        static_cast<long>(rest))
      return false;
    return engine_.Validate_Packet(p->data()) == 0;
  }
  // What the HT sent in answer to the PC's data, without waiting.
  long Peek(Bytes* p) {
    p->assign(7, 0);
    long n = so_recv(s_, p->data(), 7, 1);
    if (n >= 0) p->resize(static_cast<std::size_t>(n));
    return n;
  }
  bool Expect(std::uint8_t kind, std::uint8_t command, std::uint8_t sub, Bytes* p = nullptr) {
    Bytes local;
    Bytes& got = p ? *p : local;
    if (!Recv(&got)) return false;
    return got[0] == kind && got[1] == command && got[2] == sub;
  }

 private:
  int s_;
  RS232_ROX engine_;
};

constexpr const char* kIni =
    "[ETHERNET]\r\nPORTNO=0\r\nTCP_TIMEOUT=5\r\nSELECT_TIMEOUT=5\r\n[IOBOX]\r\nIOBOX_RBYTES=4660\r\n";

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("htsim-session-" + std::to_string(rd()));
    fs::create_directories(dir_ / "disk");
    std::ofstream(dir_ / "device.ini", std::ios::binary) << testsupport::With_Free_Port(kIni);
    std::snprintf(handle_.module_path, sizeof handle_.module_path, "%s",
                  (dir_ / "tarnel").string().c_str());
    Instance_Handle = &handle_;
    setenv("TARNEL_LISTEN", "127.0.0.1", 1);
    platform::Set_Message_Box_Handler(
        [](const std::string&, const std::string&, unsigned) { return platform::IDOK; });
    ASSERT_EQ(so_init(), 0);
    listening_ = so_open();
    ASSERT_GT(listening_, 0);
    ASSERT_EQ(so_bind(listening_, 5), 0);
    port_ = platform::Socket_Local_Port(listening_);
    ASSERT_GT(port_, 0);
  }

  void TearDown() override {
    if (listening_ > 0) so_close(listening_, 0);
    so_reset();
    platform::Set_Message_Box_Handler({});
    Instance_Handle = nullptr;
    unsetenv("TARNEL_LISTEN");
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir_, ec); !ec && it != fs::end(it); ++it)
      Set_Read_Only(it->path(), false);
    fs::remove_all(dir_, ec);
  }

  fs::path Disk() const { return dir_ / "disk"; }
  void Put(const std::string& rel, const std::string& text) {
    fs::path p = Disk() / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  std::string Get(const std::string& rel) {
    std::ifstream in(Disk() / rel, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Runs htsim with these steps against a PC thread that accepts, greets,
  // runs pc() and closes with the mode it returns (or drops the connection
  // when it returns '!'). Returns htsim's exit code; its lines are in out_.
  int Run(std::vector<std::string> steps, std::function<unsigned char(Pc&)> pc,
          LinkOptions link_options = {}, std::size_t block = 2032, bool greet = true) {
    std::thread pc_thread([&] {
      const std::uint64_t end = platform::Monotonic_Ms() + 5000;
      while (so_listen(listening_, 1) != 1 && platform::Monotonic_Ms() < end) platform::Sleep_Ms(2);
      int s = so_accept(listening_);
      if (s <= 0) return;
      if (greet && so_handshake_accept(s) != 0) {
        so_close(s, '!');
        return;
      }
      Pc p(s);
      const unsigned char mode = pc(p);
      close_result_ = so_close(s, mode);
    });
    std::string why;
    const std::uint64_t deadline = platform::Monotonic_Ms() + 15000;
    int s = SocketTransport::Connect("127.0.0.1", static_cast<std::uint16_t>(port_), "", 5000, &why);
    int code = kExitConnection;
    if (s > 0) {
      SocketTransport t(s);
      Link link(t, link_options);
      HtDisk disk(Disk());
      SessionOptions o;
      o.block_size = block;
      for (const std::string& text : steps) {
        Step st;
        EXPECT_TRUE(Parse_Step(text, &st, &why)) << why;
        o.steps.push_back(st);
      }
      Session session(link, &disk, out_, o, deadline);
      code = session.Run();
    }
    pc_thread.join();
    return code;
  }

  bool Said(const std::string& line) const {
    std::istringstream in(out_.str());
    for (std::string l; std::getline(in, l);)
      if (l == line) return true;
    return false;
  }
  std::string Output() const { return out_.str(); }

  fs::path dir_;
  InstanceHandle handle_{};
  int listening_ = -1;
  int port_ = 0;
  int close_result_ = 99;
  std::ostringstream out_;
};

Bytes End_Of(int code) {
  const ErrorPair p = Pair_Of(code);
  return End_Indication(p.error_class, p.detail);
}

Bytes Clock(std::uint8_t kind, std::uint8_t command) {
  return Build_Packet(kind, command, 0, Bytes{5, 4, 0xD3, 0x07, 8, 7, 6});  // 2003-04-05 06:07:08
}

TEST_F(SessionTest, IdleHtCarriesOutThePcsRequestsUntilItsNormalEnd) {
  Put("x.txt", "gone soon");
  Put("keep.txt", "12345");
  const int code = Run({"idle"}, [](Pc& pc) -> unsigned char {
    Bytes p;
    EXPECT_TRUE(pc.Expect(kCommand, 'I', 0));
    EXPECT_TRUE(pc.Send(Delete_Request(0, 1, "A:\\X.TXT")));
    EXPECT_TRUE(pc.Expect(kResponse, 'D', 0));
    EXPECT_TRUE(pc.Send(Disk_Info_Request('A')));
    EXPECT_TRUE(pc.Expect(kResponse, 'C', 0, &p));
    EXPECT_TRUE(pc.Send(Text_Packet(kCommand, 'V', 'f', "A:\\*.TXT")));
    EXPECT_TRUE(pc.Expect(kResponse, 'V', 'f', &p));
    EXPECT_EQ(p[5], 5);  // the size of keep.txt
    EXPECT_TRUE(pc.Send(Build_Packet(kCommand, 'V', 'n', nullptr, 0)));
    EXPECT_TRUE(pc.Expect(kResponse, 'V', 'n', &p));
    EXPECT_EQ(p[3], 13);  // no more files: all zero, empty name
    EXPECT_TRUE(pc.Send(Clock(kCommand, 'T')));
    EXPECT_TRUE(pc.Expect(kResponse, 'T', 0));
    EXPECT_TRUE(pc.Send(Text_Packet(kCommand, 'P', 0, "Hello HT")));
    EXPECT_TRUE(pc.Expect(kResponse, 'P', 0));
    EXPECT_TRUE(pc.Send(Build_Packet(kCommand, 'G', 0, nullptr, 0)));
    EXPECT_TRUE(pc.Expect(kResponse, 'G', 0));
    EXPECT_TRUE(pc.Send(End_Indication(0, 0)));
    return 1;  // the PC waits for the HT's end of session
  });
  EXPECT_EQ(code, kExitOk) << Output();
  EXPECT_EQ(close_result_, 0);
  EXPECT_FALSE(fs::exists(Disk() / "x.txt"));
  EXPECT_TRUE(Said("ht idle")) << Output();
  EXPECT_TRUE(Said("pc delete A:\\X.TXT options=0 ok"));
  EXPECT_TRUE(Said("pc clock date=2003-04-05 time=06:07:08"));
  EXPECT_TRUE(Said("pc display \"Hello HT\""));
  EXPECT_TRUE(Said("pc buzzer"));
  EXPECT_TRUE(Said("pc info A:\\*.TXT none"));
  EXPECT_TRUE(Said("pc end class=0x00 detail=0x00 code=0 \"Normal Ending\""));
  EXPECT_TRUE(Said("link close end-of-session"));
}

TEST_F(SessionTest, HtRequestsAndItsOwnEnd) {
  Put("log.txt", "appended line\n");
  const int code = Run({"time", "session hi", "append A:\\LOG.TXT C:\\LOGS\\ALL.TXT"},
                       [](Pc& pc) -> unsigned char {
                         Bytes p;
                         EXPECT_TRUE(pc.Expect(kCommand, 'J', 0));
                         EXPECT_TRUE(pc.Send(Clock(kResponse, 'J')));
                         EXPECT_TRUE(pc.Expect(kCommand, 'X', 0, &p));
                         EXPECT_EQ(std::string(p.begin() + 12, p.end() - 3), "hi");
                         EXPECT_TRUE(pc.Send(Build_Packet(kResponse, 'X', 0,
                                                          Bytes{9, 0, '1', 'A', 'T', 0, 'W'})));
                         EXPECT_TRUE(pc.Expect(kCommand, 'A', 'i', &p));
                         EXPECT_EQ(std::string(p.begin() + 17, p.end() - 3), "C:\\LOGS\\ALL.TXT");
                         EXPECT_TRUE(pc.Send(General_Response('A', 'i')));
                         EXPECT_TRUE(pc.Expect(kCommand, 'A', 'd', &p));
                         EXPECT_EQ(p[5], 0);     // block 0
                         EXPECT_EQ(p[p.size() - 3], kLastBlock);
                         EXPECT_TRUE(pc.Send(General_Response('A', 'd')));
                         EXPECT_TRUE(pc.Expect(kCommand, 'E', 0, &p));  // the HT's normal end
                         EXPECT_EQ(p[5], 0);
                         EXPECT_EQ(p[6], 0);
                         return 0;  // the PC starts the close exchange
                       });
  EXPECT_EQ(code, kExitOk) << Output();
  EXPECT_EQ(close_result_, 0);
  EXPECT_TRUE(Said("ht time date=2003-04-05 time=06:07:08")) << Output();
  EXPECT_TRUE(Said("ht session number=9 level=1 text=\"\""));
  EXPECT_TRUE(Said("ht append A:\\LOG.TXT C:\\LOGS\\ALL.TXT bytes=14 blocks=1"));
  EXPECT_TRUE(Said("ht end class=0x00 detail=0x00 code=0 \"Normal Ending\""));
  EXPECT_TRUE(Said("link close exchange"));
}

// Blocks larger than one link frame, an empty file, resend requests on the
// way: the files arrive exactly, with the PC's time stamp.
TEST_F(SessionTest, ReceivesFilesFromThePc) {
  std::string big(20000, 0);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
  LinkOptions o;
  o.resend_frames = {2, 5};
  const int code = Run(
      {"idle"},
      [&](Pc& pc) -> unsigned char {
        EXPECT_TRUE(pc.Expect(kCommand, 'I', 0));
        EXPECT_TRUE(pc.Send(Transfer_Info(2, 20000, false)));
        EXPECT_TRUE(pc.Expect(kResponse, 'S', 't'));
        FileInfo f;
        f.size = 20000;
        f.stamp = {2004, 3, 7, 13, 45, 30};
        f.attributes = kAttrArchive;
        f.name = "\\TARGET\\SUB\\BIG.DAT";
        EXPECT_TRUE(pc.Send(File_Info_Packet(kCommand, 'S', 'i', f)));
        EXPECT_TRUE(pc.Expect(kResponse, 'S', 'i'));
        const std::size_t block = 9000;
        std::uint8_t n = 0;
        for (std::size_t at = 0; at < big.size(); at += block) {
          const std::size_t k = std::min(block, big.size() - at);
          EXPECT_TRUE(pc.Send(Data_Block('S', n++, reinterpret_cast<const std::uint8_t*>(big.data() + at),
                                         k, at + k == big.size())));
          Bytes peek;
          EXPECT_EQ(pc.Peek(&peek), 0);  // nothing but acknowledgements
        }
        EXPECT_TRUE(pc.Expect(kResponse, 'S', 'd'));
        f.size = 0;
        f.name = "\\TARGET\\EMPTY.DAT";
        EXPECT_TRUE(pc.Send(File_Info_Packet(kCommand, 'S', 'i', f)));
        EXPECT_TRUE(pc.Expect(kResponse, 'S', 'i'));
        EXPECT_TRUE(pc.Send(Data_Block('S', 0, nullptr, 0, true)));
        EXPECT_TRUE(pc.Expect(kResponse, 'S', 'd'));
        EXPECT_TRUE(pc.Send(End_Indication(0, 0)));
        return 1;
      },
      o);
  EXPECT_EQ(code, kExitOk) << Output();
  EXPECT_EQ(Get("TARGET/SUB/BIG.DAT"), big);
  EXPECT_EQ(File_Stamp(Disk() / "TARGET" / "SUB" / "BIG.DAT"), (Stamp{2004, 3, 7, 13, 45, 30}));
  EXPECT_TRUE(fs::exists(Disk() / "TARGET" / "EMPTY.DAT"));
  EXPECT_EQ(fs::file_size(Disk() / "TARGET" / "EMPTY.DAT"), 0u);
  EXPECT_TRUE(Said("pc announce files=2 bytes=20000 overwrite=0")) << Output();
  EXPECT_TRUE(Said("pc recv \\TARGET\\SUB\\BIG.DAT bytes=20000 blocks=3"));
  EXPECT_TRUE(Said("link resend frame=2"));
  EXPECT_TRUE(Said("link resend frame=5"));
}

// The PC fetches a tree; htsim sends blocks bigger than a frame, written in
// small segments.
TEST_F(SessionTest, SendsFilesThePcAsksFor) {
  const std::string a(12000, 'a'), b = "bee", c(5000, 'c');
  Put("OUT/A.DAT", a);
  Put("OUT/B.DAT", b);
  Put("OUT/SUB/C.DAT", c);
  Put("OUT/SKIP.TXT", "no");
  LinkOptions o;
  o.segment = 1460;
  std::vector<std::pair<std::string, std::string>> got;
  const int code = Run(
      {"idle"},
      [&](Pc& pc) -> unsigned char {
        EXPECT_TRUE(pc.Expect(kCommand, 'I', 0));
        EXPECT_TRUE(pc.Send(Text_Packet(kCommand, 'R', 'w', "A:\\OUT\\*.DAT")));
        Bytes p;
        EXPECT_TRUE(pc.Expect(kCommand, 'S', 't', &p));
        EXPECT_EQ(p[5], 3);  // three files
        EXPECT_TRUE(pc.Send(General_Response('S', 't')));
        for (int i = 0; i < 3; ++i) {
          if (!pc.Expect(kCommand, 'S', 'i', &p)) {
            ADD_FAILURE() << "no file information";
            break;
          }
          std::string name(p.begin() + 17, p.end() - 3);
          EXPECT_TRUE(pc.Send(General_Response('S', 'i')));
          std::string content;
          for (std::uint8_t n = 0;; ++n) {
            if (!pc.Expect(kCommand, 'S', 'd', &p)) break;
            EXPECT_EQ(p[5], n);
            content.append(p.begin() + 6, p.end() - 3);
            if (p[p.size() - 3] == kLastBlock) break;
          }
          got.emplace_back(name, content);
          EXPECT_TRUE(pc.Send(General_Response('S', 'd')));
        }
        EXPECT_TRUE(pc.Send(End_Indication(0, 0)));
        return 1;
      },
      o, 10000);
  EXPECT_EQ(code, kExitOk) << Output();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], std::make_pair(std::string("A:\\OUT\\A.DAT"), a));
  EXPECT_EQ(got[1], std::make_pair(std::string("A:\\OUT\\B.DAT"), b));
  EXPECT_EQ(got[2], std::make_pair(std::string("A:\\OUT\\SUB\\C.DAT"), c));
  EXPECT_TRUE(Said("pc fetch A:\\OUT\\*.DAT files=3 bytes=17003")) << Output();
  EXPECT_TRUE(Said("pc send A:\\OUT\\A.DAT bytes=12000 blocks=2"));
}

TEST_F(SessionTest, AppendsMovesAndSetsInformationForThePc) {
  Put("log.txt", "one;");
  const int code = Run({"idle"}, [](Pc& pc) -> unsigned char {
    EXPECT_TRUE(pc.Expect(kCommand, 'I', 0));
    FileInfo f;
    f.size = 4;
    f.stamp = {2004, 3, 7, 13, 45, 30};
    f.name = "A:\\LOG.TXT";
    EXPECT_TRUE(pc.Send(File_Info_Packet(kCommand, 'A', 'i', f)));
    EXPECT_TRUE(pc.Expect(kResponse, 'A', 'i'));
    EXPECT_TRUE(pc.Send(Data_Block('A', 0, reinterpret_cast<const std::uint8_t*>("two;"), 4, true)));
    EXPECT_TRUE(pc.Expect(kResponse, 'A', 'd'));
    EXPECT_TRUE(pc.Send(Text_Packet(kCommand, 'M', 0, "A:\\LOG.TXT::A:\\OLD\\LOG.TXT")));
    EXPECT_TRUE(pc.Expect(kResponse, 'M', 0));
    FileInfo u;
    u.stamp = {2010, 12, 31, 23, 59, 58};
    u.attributes = kAttrReadOnly;
    u.name = "A:\\OLD\\LOG.TXT";
    EXPECT_TRUE(pc.Send(File_Info_Packet(kCommand, 'U', 0, u)));
    EXPECT_TRUE(pc.Expect(kResponse, 'U', 0));
    EXPECT_TRUE(pc.Send(End_Indication(0, 0)));
    return 1;
  });
  EXPECT_EQ(code, kExitOk) << Output();
  EXPECT_FALSE(fs::exists(Disk() / "log.txt"));
  EXPECT_EQ(Get("OLD/LOG.TXT"), "one;two;");
  EXPECT_EQ(File_Stamp(Disk() / "OLD" / "LOG.TXT"), (Stamp{2010, 12, 31, 23, 59, 58}));
  EXPECT_TRUE(Is_Read_Only(Disk() / "OLD" / "LOG.TXT"));
  EXPECT_TRUE(Said("pc append A:\\LOG.TXT bytes=4 blocks=1")) << Output();
  EXPECT_TRUE(Said("pc move A:\\LOG.TXT A:\\OLD\\LOG.TXT ok"));
  EXPECT_TRUE(Said("pc setinfo A:\\OLD\\LOG.TXT size=0 date=2010-12-31 time=23:59:58 attr=0x01 ok"));
}

TEST_F(SessionTest, BadChecksumIsAnsweredWithAnEndIndication) {
  const int code = Run({"idle"}, [](Pc& pc) -> unsigned char {
    EXPECT_TRUE(pc.Expect(kCommand, 'I', 0));
    Bytes d = Delete_Request(0, 1, "A:\\X");
    d.back() ^= 0x40;
    EXPECT_TRUE(pc.Send(d));
    Bytes p;
    EXPECT_TRUE(pc.Expect(kCommand, 'E', 0, &p));
    EXPECT_EQ(p[6], 0x01);  // class 1, detail 3: "Check Sum Error"
    EXPECT_EQ(p[5], 0x03);
    return 0;
  });
  EXPECT_EQ(code, kExitProtocol) << Output();
  EXPECT_TRUE(Said("ht end class=0x01 detail=0x03 code=33 \"Check Sum Error\"")) << Output();
  EXPECT_TRUE(Said("link close exchange"));
}

// A block out of sequence: the HT answers the block's frame with its end
// indication, where the PC looks after every block, and keeps no part of
// the file.
TEST_F(SessionTest, BlockOutOfSequenceLeavesNoPartialFile) {
  const int code = Run({"idle"}, [](Pc& pc) -> unsigned char {
    EXPECT_TRUE(pc.Expect(kCommand, 'I', 0));
    EXPECT_TRUE(pc.Send(Transfer_Info(1, 10, false)));
    EXPECT_TRUE(pc.Expect(kResponse, 'S', 't'));
    FileInfo f;
    f.size = 10;
    f.stamp = {2004, 3, 7, 13, 45, 30};
    f.name = "A:\\NEW.DAT";
    EXPECT_TRUE(pc.Send(File_Info_Packet(kCommand, 'S', 'i', f)));
    EXPECT_TRUE(pc.Expect(kResponse, 'S', 'i'));
    const std::uint8_t ten[10] = {};
    EXPECT_TRUE(pc.Send(Data_Block('S', 1, ten, 10, true)));
    Bytes p;
    EXPECT_EQ(pc.Peek(&p), 7);
    EXPECT_EQ(p[1], 'E');
    return 0;
  });
  EXPECT_EQ(code, kExitProtocol) << Output();
  EXPECT_TRUE(Said("ht end class=0x01 detail=0x05 code=35 \"Sequence Number Error\"")) << Output();
  EXPECT_FALSE(fs::exists(Disk() / "NEW.DAT"));
  EXPECT_EQ(std::distance(fs::directory_iterator(Disk()), fs::directory_iterator()), 0);
}

TEST_F(SessionTest, WriteProtectedFileIsRefusedWithoutOverwrite) {
  Put("RO.DAT", "old");
  Set_Read_Only(Disk() / "RO.DAT", true);
  const int code = Run({"idle"}, [](Pc& pc) -> unsigned char {
    EXPECT_TRUE(pc.Expect(kCommand, 'I', 0));
    EXPECT_TRUE(pc.Send(Delete_Request(0, 1, "A:\\RO.DAT")));
    Bytes p;
    EXPECT_TRUE(pc.Expect(kCommand, 'E', 0, &p));
    EXPECT_EQ(p[6], 0x04);  // "Read Only File Access Error"
    return 0;
  });
  EXPECT_EQ(code, kExitHtError) << Output();
  EXPECT_EQ(Get("RO.DAT"), "old");
}

TEST_F(SessionTest, PcErrorEndGivesItsCode) {
  const int code = Run({"idle"}, [](Pc& pc) -> unsigned char {
    EXPECT_TRUE(pc.Expect(kCommand, 'I', 0));
    EXPECT_TRUE(pc.Send(End_Of(75)));
    return 1;
  });
  EXPECT_EQ(code, kExitPcError) << Output();
  EXPECT_TRUE(Said("pc end class=0x05 detail=0x04 code=75 \"Command Timout Error\"")) << Output();
}

TEST_F(SessionTest, ARequestThePcAnswersWithAnErrorEndsTheSteps) {
  const int code = Run({"move C:\\A C:\\B", "time"}, [](Pc& pc) -> unsigned char {
    EXPECT_TRUE(pc.Expect(kCommand, 'M', 0));
    EXPECT_TRUE(pc.Send(End_Of(48)));
    return 1;
  });
  EXPECT_EQ(code, kExitPcError) << Output();
  EXPECT_TRUE(Said("pc end class=0x02 detail=0x02 code=48 \"File Not Found\"")) << Output();
  EXPECT_EQ(Output().find("ht time"), std::string::npos);
}

TEST_F(SessionTest, RefusedConnection) {
  const int code = Run(
      {"idle"},
      [](Pc& pc) -> unsigned char {
        std::uint8_t msg[31] = {0x10, 0, 23};
        std::snprintf(reinterpret_cast<char*>(msg + 8), 23, "No More Connection 2");
        EXPECT_EQ(platform::Socket_Send(pc.socket(), msg, sizeof msg), 31);
        std::uint8_t answer[8] = {};
        std::size_t got = 0;
        const std::uint64_t end = platform::Monotonic_Ms() + 3000;
        while (got < 8 && platform::Monotonic_Ms() < end) {
          long n = platform::Socket_Recv(pc.socket(), answer + got, 8 - got);
          if (n > 0) got += static_cast<std::size_t>(n);
          else platform::Socket_Wait(pc.socket(), platform::SocketWait::Readable, 100);
        }
        EXPECT_EQ(answer[0], 0x12);
        const std::uint8_t close_end[8] = {0x0C};
        EXPECT_EQ(platform::Socket_Send(pc.socket(), close_end, 8), 8);
        return '!';
      },
      {}, 2032, false);
  EXPECT_EQ(code, kExitRefused) << Output();
  EXPECT_TRUE(Said("link refused \"No More Connection 2\"")) << Output();
}

}  // namespace
}  // namespace htsim
