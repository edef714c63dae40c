#include "platform/profile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

using platform::Get_Private_Profile_String;
using platform::Get_Profile_String;

class Profile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tarnel-profile-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "device.ini").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Write(const std::string& text) {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  // The buffer form with a generous buffer.
  std::string Get(const char* section, const char* key, const char* def = "Stringnotfound") {
    char out[128];
    std::memset(out, 'X', sizeof out);
    const std::size_t n = Get_Private_Profile_String(section, key, def, out, sizeof out, path_.c_str());
    EXPECT_EQ(n, std::strlen(out));
    return out;
  }

  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(Profile, NamesCompareIgnoringCaseAndValuesAreTrimmed) {
  Write("[Ethernet]\nTcp_Timeout =  30  \n\tMAX_IO=\t7\t\n[ other ]\nk=v\n");
  EXPECT_EQ(Get("ETHERNET", "TCP_TIMEOUT"), "30");
  EXPECT_EQ(Get("ethernet", "max_io"), "7");
  EXPECT_EQ(Get("OTHER", "K"), "v");
  EXPECT_EQ(Get_Profile_String("eThErNeT", "tcp_timeout", "d", path_), "30");
}

TEST_F(Profile, MatchingQuotesAreRemovedOthersKept) {
  Write("[Q]\n"
        "a=\"  spaced  \"\n"
        "b='single'\n"
        "c=\"mixed'\n"
        "d=\"\n"
        "e=\"inner\" tail\n"
        "f=\"\"\n");
  EXPECT_EQ(Get("Q", "a"), "  spaced  ");
  EXPECT_EQ(Get("Q", "b"), "single");
  EXPECT_EQ(Get("Q", "c"), "\"mixed'");
  EXPECT_EQ(Get("Q", "d"), "\"");
  EXPECT_EQ(Get("Q", "e"), "\"inner\" tail");
  EXPECT_EQ(Get("Q", "f"), "");
}

TEST_F(Profile, DefaultForMissingFileSectionOrKey) {
  EXPECT_EQ(Get("ETHERNET", "TCP_TIMEOUT"), "Stringnotfound");  // no file yet
  Write("[ETHERNET]\nTCP_TIMEOUT=30\n[GUI]\nPING_TIMEOUT=500\n");
  EXPECT_EQ(Get("SERIAL", "TCP_TIMEOUT"), "Stringnotfound");
  EXPECT_EQ(Get("ETHERNET", "NOPE"), "Stringnotfound");
  // A key of another section is not found in this one.
  EXPECT_EQ(Get("ETHERNET", "PING_TIMEOUT"), "Stringnotfound");
  EXPECT_EQ(Get("GUI", "TCP_TIMEOUT"), "Stringnotfound");
  EXPECT_EQ(Get("ETHERNET", "TCP_TIMEOUT", nullptr), "30");
  EXPECT_EQ(Get("ETHERNET", "NOPE", nullptr), "");
  EXPECT_EQ(Get("ETHERNET", "NOPE", "dflt  "), "dflt");
  EXPECT_EQ(Get(nullptr, "TCP_TIMEOUT", "d"), "d");
  EXPECT_EQ(Get_Profile_String("ETHERNET", "NOPE", "dflt", path_), "dflt");
  EXPECT_EQ(Get_Profile_String("ETHERNET", "TCP_TIMEOUT", "d", path_ + ".missing"), "d");
}

TEST_F(Profile, ResultIsCutToTheBuffer) {
  Write("[S]\nk=0123456789\n");
  char out[5];
  std::memset(out, 'X', sizeof out);
  EXPECT_EQ(Get_Private_Profile_String("S", "k", "", out, sizeof out, path_.c_str()), 4u);
  EXPECT_STREQ(out, "0123");
  // The default is cut the same way; size 1 holds only the NUL.
  EXPECT_EQ(Get_Private_Profile_String("S", "x", "Stringnotfound", out, sizeof out, path_.c_str()), 4u);
  EXPECT_STREQ(out, "Stri");
  EXPECT_EQ(Get_Private_Profile_String("S", "k", "", out, 1, path_.c_str()), 0u);
  EXPECT_EQ(out[0], '\0');
  out[0] = 'X';
  EXPECT_EQ(Get_Private_Profile_String("S", "k", "", out, 0, path_.c_str()), 0u);
  EXPECT_EQ(out[0], 'X');
  EXPECT_EQ(Get_Private_Profile_String("S", "k", "", nullptr, 10, path_.c_str()), 0u);
}

TEST_F(Profile, CrLfCommentsAndOddLines) {
  Write("\xEF\xBB\xBF; comment\r\n[ETHERNET]\r\n;TCP_TIMEOUT=1\r\n"
        "garbage line\r\n[broken\r\nTCP_TIMEOUT=\"45\"\r\nEMPTY=\r\n\r\n[ETHERNET]\r\nLATER=1\r\n");
  EXPECT_EQ(Get("ETHERNET", "TCP_TIMEOUT"), "45");
  EXPECT_EQ(Get("ETHERNET", "EMPTY"), "");
  EXPECT_EQ(Get("ETHERNET", "garbage line"), "");  // a key without '='
  // Only the first section of a name is searched.
  EXPECT_EQ(Get("ETHERNET", "LATER"), "Stringnotfound");
}

// One reading answers every lookup as a lookup of its own would, including
// the default, the cut to the buffer and a missing file; it keeps the file
// as it was when read.
TEST_F(Profile, OneReadingAnswersLikeSingleLookups) {
  Write("\xEF\xBB\xBF; table\r\n[USE_IP]\r\n1 = 127.0.0.2\r\n3='127.0.0.4'\r\nbare\r\n[use_ip]\r\n2=x\r\n");
  const platform::Profile_File file(path_.c_str());
  const char* keys[] = {"1", "2", "3", "BARE", "4"};
  for (const char* key : keys) {
    for (std::size_t size : {std::size_t{1}, std::size_t{4}, std::size_t{64}}) {
      char one[64], many[64];
      std::memset(one, 'X', sizeof one);
      std::memset(many, 'X', sizeof many);
      const std::size_t a = Get_Private_Profile_String("use_ip", key, "none ", one, size, path_.c_str());
      const std::size_t b = file.Get("use_ip", key, "none ", many, size);
      EXPECT_EQ(a, b) << key << " " << size;
      EXPECT_EQ(std::string(one), std::string(many)) << key << " " << size;
    }
  }
  char out[16];
  Write("[USE_IP]\n1=changed\n");
  EXPECT_EQ(file.Get("USE_IP", "1", "d", out, sizeof out), 9u);
  EXPECT_STREQ(out, "127.0.0.2") << "the file as it was read";
  const platform::Profile_File missing((dir_ / "none.ini").string().c_str());
  EXPECT_EQ(missing.Get("USE_IP", "1", "Stringnotfound", out, sizeof out), 14u);
  EXPECT_STREQ(out, "Stringnotfound");
  EXPECT_EQ(missing.Get("USE_IP", "1", "d", nullptr, 4), 0u);
}

}  // namespace
