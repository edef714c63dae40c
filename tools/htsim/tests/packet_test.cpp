// Packets the HT builds pass the engine's own validators with the layouts the
// PC reads; packets it reads are checked as strictly as the PC checks its own.
#include <gtest/gtest.h>

#include "engine/rox32.h"
#include "tools/htsim/packet.h"

namespace htsim {
namespace {

FileInfo Sample(const std::string& name) {
  FileInfo f;
  f.size = 0x01020304;
  f.stamp = {2004, 3, 7, 13, 45, 30};
  f.attributes = kAttrArchive | kAttrReadOnly;
  f.name = name;
  return f;
}

TEST(PacketBuild, EveryHtRequestPassesTheEnginesValidation) {
  RS232_ROX engine;
  const Bytes packets[] = {
      Idle_Notice(""),
      Idle_Notice("TWELVECHARS1"),
      Build_Packet(kCommand, 'J', 0, nullptr, 0),
      Disk_Info_Request('c'),
      Text_Packet(kCommand, 'V', 'f', "C:\\DATA\\*.DAT"),
      Session_Info_Request(3, ""),
      Session_Info_Request(3, "terminal 7"),
      File_Info_Packet(kCommand, 'K', 0, [] { FileInfo f = Sample("C:\\NEW"); f.size = 0; return f; }()),
      Delete_Request(3, 2, "C:\\A.TXT::C:\\B.TXT"),
      Text_Packet(kCommand, 'M', 0, "C:\\A.TXT::C:\\B.TXT"),
      Text_Packet(kCommand, 'P', 0, "hello"),
      End_Indication(0, 0),
      Transfer_Info(2, 300, true),
      File_Info_Packet(kCommand, 'S', 'i', Sample("C:\\IN\\X.DAT")),
      File_Info_Packet(kCommand, 'A', 'i', Sample("C:\\IN\\X.DAT")),
      Data_Block('S', 255, reinterpret_cast<const std::uint8_t*>("abc"), 3, false),
      Data_Block('A', 0, nullptr, 0, true),
      Text_Packet(kCommand, 'R', 'w', "\\APP\\*.*"),
      General_Response('S', 't'),
      General_Response('D', 3),
      Disk_Info_Response(1000, 10, 0),
      File_Info_Packet(kResponse, 'V', 'n', FileInfo{}),
  };
  for (const Bytes& p : packets) {
    SCOPED_TRACE(std::string(1, static_cast<char>(p[1])) + " sub " + std::to_string(p[2]));
    EXPECT_EQ(RS232_ROX::Valid_Checksum(p.data()), 1);
    EXPECT_EQ(RS232_ROX::Get_DataLength(p.data()), p.size());
    EXPECT_EQ(engine.Validate_Packet(p.data()), 0);
  }
}

TEST(PacketBuild, FieldsSitWhereThePcReadsThem) {
  // File information: size, day, month, year, seconds, minutes, hours, attributes, name.
  const Bytes fi = File_Info_Packet(kCommand, 'S', 'i', Sample("AB"));
  const Bytes want = {1, 'S', 'i', 15, 0, 4, 3, 2, 1, 7, 3, 0xD4, 0x07, 30, 45, 13, 0x21, 'A', 'B', 0};
  EXPECT_EQ(Bytes(fi.begin(), fi.end() - 2), want);

  // Data block: block number, content, end mark; L counts both.
  const std::uint8_t content[] = {9, 8};
  const Bytes db = Data_Block('A', 7, content, 2, true);
  EXPECT_EQ(Bytes(db.begin(), db.end() - 2), (Bytes{1, 'A', 'd', 4, 0, 7, 9, 8, 0xF1}));

  // End indication: detail first, then class.
  const Bytes e = End_Indication(0x04, 0x00);
  EXPECT_EQ(e[5], 0x00);
  EXPECT_EQ(e[6], 0x04);

  // Session information without text is 7 bytes; with text, text plus NUL.
  EXPECT_EQ(Session_Info_Request(1, "").size(), 7u + 7);
  EXPECT_EQ(Session_Info_Request(1, "ab").size(), 7u + 10);

  // The documented checksum example: 00 41 00 02 00 00 00 sums to 0x43.
  const std::uint8_t data[2] = {0, 0};
  const Bytes g = Build_Packet(kResponse, 'A', 0, data, 2);
  EXPECT_EQ(g[7], 0xBD);
  EXPECT_EQ(g[8], 0xFF);

  // An idle notice's script name goes without its NUL so 12 characters fit.
  const Bytes idle = Idle_Notice("ABCDEFGH.SCR");
  EXPECT_EQ(idle[2], 's');
  EXPECT_EQ(idle[3], 12);
}

TEST(PacketRead, FrameFaultsAreCaught) {
  Bytes p = General_Response('D', 0);
  PacketView v;
  ASSERT_EQ(Read_Packet(p.data(), p.size(), &v), 0);
  EXPECT_EQ(v.command, 'D');
  EXPECT_EQ(v.length, 2);
  for (std::size_t bit = 0; bit < p.size() * 8; ++bit) {
    Bytes q = p;
    q[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    int r = Read_Packet(q.data(), q.size(), &v);
    EXPECT_NE(r, 0) << "bit " << bit;
  }
  Bytes k = p;
  k[0] = 2;
  EXPECT_EQ(Read_Packet(k.data(), k.size(), &v), 36);
  EXPECT_EQ(Read_Packet(p.data(), p.size() - 1, &v), 39);
}

PacketView View(const Bytes& p) {
  PacketView v;
  EXPECT_EQ(Read_Packet(p.data(), p.size(), &v), 0);
  return v;
}

TEST(PacketRead, FieldChecks) {
  // Clock: dates and times out of range.
  auto clock = [](Bytes d) { return Build_Packet(kCommand, 'T', 0, d); };
  Stamp s;
  EXPECT_EQ(Decode_Clock(View(clock({30, 2, 0xD4, 0x07, 0, 0, 0})), &s), 0);
  EXPECT_EQ(s, (Stamp{2004, 2, 30, 0, 0, 0}));
  EXPECT_EQ(Decode_Clock(View(clock({0, 2, 0xD4, 0x07, 0, 0, 0})), &s), 43);
  EXPECT_EQ(Decode_Clock(View(clock({1, 13, 0xD4, 0x07, 0, 0, 0})), &s), 43);
  EXPECT_EQ(Decode_Clock(View(clock({1, 1, 0, 0, 0, 0, 0})), &s), 43);
  EXPECT_EQ(Decode_Clock(View(clock({1, 1, 0xD4, 0x07, 60, 0, 0})), &s), 44);
  EXPECT_EQ(Decode_Clock(View(clock({1, 1, 0xD4, 0x07, 0, 0, 24})), &s), 44);

  // Blocks: end mark and length.
  Block b;
  Bytes bad = Build_Packet(kCommand, 'S', 'd', Bytes{0, 1, 2, 0xF2});
  EXPECT_EQ(Decode_Block(View(bad), &b), 47);
  EXPECT_EQ(Decode_Block(View(Build_Packet(kCommand, 'S', 'd', Bytes{0})), &b), 39);
  ASSERT_EQ(Decode_Block(View(Build_Packet(kCommand, 'S', 'd', Bytes{4, 0xF1})), &b), 0);
  EXPECT_EQ(b.number, 4);
  EXPECT_EQ(b.size, 0u);
  EXPECT_TRUE(b.last);

  // File information: length limits, size limit, the "no date/time" fields.
  FileInfo f;
  EXPECT_EQ(Decode_File_Info(View(Build_Packet(kCommand, 'U', 0, Bytes(12, 0))), &f), 39);
  ASSERT_EQ(Decode_File_Info(View(Build_Packet(kCommand, 'U', 0, Bytes(13, 0))), &f), 0);
  EXPECT_TRUE(f.name.empty());
  EXPECT_TRUE(f.Empty());
  Bytes nodate = {5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 'X', 0};
  ASSERT_EQ(Decode_File_Info(View(Build_Packet(kCommand, 'U', 0, nodate)), &f), 0);
  EXPECT_TRUE(f.no_date);
  EXPECT_TRUE(f.no_time);
  EXPECT_EQ(f.name, "X");
  Bytes huge = {0x02, 0, 0xFE, 0xFF, 1, 1, 0xD4, 0x07, 0, 0, 0, 0, 0};
  EXPECT_EQ(Decode_File_Info(View(Build_Packet(kCommand, 'S', 'i', huge)), &f), 42);

  // Transfer information: total and flag.
  std::uint16_t count = 0;
  std::uint32_t total = 0;
  bool ow = false;
  EXPECT_EQ(Decode_Transfer_Info(View(Build_Packet(kCommand, 'S', 't', Bytes{1, 0, 0, 0, 0, 0, 2})),
                                 &count, &total, &ow),
            46);
  ASSERT_EQ(Decode_Transfer_Info(View(Transfer_Info(3, 70000, true)), &count, &total, &ow), 0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(total, 70000u);
  EXPECT_TRUE(ow);
}

TEST(ErrorPairs, CodesAndPairsMatchTheSharedTable) {
  EXPECT_EQ(Pair_Of(70).error_class, 4);
  EXPECT_EQ(Pair_Of(70).detail, 0);
  EXPECT_EQ(Pair_Of(33).error_class, 1);
  EXPECT_EQ(Pair_Of(33).detail, 3);
  for (int code : {0, 30, 35, 39, 47, 48, 54, 62, 70, 71, 75}) {
    const ErrorPair p = Pair_Of(code);
    EXPECT_EQ(Code_Of(p.error_class, p.detail), code);
  }
  EXPECT_EQ(Code_Of(0xED, 0), 18);
  EXPECT_EQ(Code_Of(0x77, 0x77), 64);
  EXPECT_EQ(Code_Text(73), "PC Sends End Indication");
  EXPECT_EQ(Code_Text(500), "");
}

}  // namespace
}  // namespace htsim
