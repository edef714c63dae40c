// Engine construction and copy, and the HT-number-to-element rule.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "engine/rox32.h"

namespace {

bool All_Zero(const void* p, std::size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i)
    if (b[i]) return false;
  return true;
}

TEST(Engine, ConstructorDefaults) {
  // Construct over garbage so that a member the constructor forgets shows.
  alignas(RS232_ROX) unsigned char raw[sizeof(RS232_ROX)];
  std::memset(raw, 0xA5, sizeof raw);
  auto* rox = new (raw) RS232_ROX();
  EXPECT_EQ(rox->RepeatCommand, 1u);
  EXPECT_EQ(rox->GroupIndex, 1);
  EXPECT_EQ(rox->State, 0);
  EXPECT_EQ(rox->PacketBuf, nullptr);
  EXPECT_EQ(rox->ListCursor, nullptr);
  EXPECT_EQ(rox->SourceFile, nullptr);
  EXPECT_EQ(rox->ScriptFile, nullptr);
  EXPECT_EQ(rox->ListFile, nullptr);
  EXPECT_EQ(rox->ListFileName, nullptr);
  EXPECT_EQ(rox->AppendLock, nullptr);
  EXPECT_EQ(rox->HTNumber, 0);
  EXPECT_EQ(rox->PostStatus, 0);
  EXPECT_EQ(rox->FileCount, 0);
  EXPECT_EQ(rox->BytesExpected, 0);
  EXPECT_EQ(rox->OpMode, 0);
  EXPECT_EQ(rox->SessionCount, 0);
  EXPECT_EQ(rox->SetClockPending, 0);
  EXPECT_EQ(rox->EndSession, 0);
  EXPECT_EQ(rox->RS232StopFlag, 0);
  EXPECT_TRUE(All_Zero(rox->DeleteSpec, sizeof rox->DeleteSpec));
  EXPECT_TRUE(All_Zero(rox->CurrentFile, sizeof rox->CurrentFile));
  EXPECT_TRUE(All_Zero(rox->CommandList, sizeof rox->CommandList));
  EXPECT_TRUE(All_Zero(rox->ScriptCommand, sizeof rox->ScriptCommand));
  EXPECT_TRUE(All_Zero(rox->SessionText, sizeof rox->SessionText));
  EXPECT_TRUE(All_Zero(&rox->RxFrame, sizeof rox->RxFrame));
  EXPECT_TRUE(All_Zero(&rox->SavedInfo, sizeof rox->SavedInfo));
  EXPECT_TRUE(All_Zero(&rox->SessionInfo, sizeof rox->SessionInfo));
  rox->~RS232_ROX();
}

TEST(Engine, CopySharesOpenFileStreams) {
  RS232_ROX source;
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  source.SourceFile = f;
  source.HTNumber = 4;
  std::strcpy(source.CurrentFile, "C:\\DATA\\A.DAT");

  RS232_ROX copy(source);
  EXPECT_EQ(copy.SourceFile, f);
  EXPECT_EQ(copy.HTNumber, 4);
  EXPECT_STREQ(copy.CurrentFile, "C:\\DATA\\A.DAT");
  // A write through the copy is seen through the source: one stream.
  std::fputs("shared", copy.SourceFile);
  std::rewind(source.SourceFile);
  char got[16] = {};
  ASSERT_NE(std::fgets(got, sizeof got, source.SourceFile), nullptr);
  EXPECT_STREQ(got, "shared");

  RS232_ROX assigned;
  assigned = source;
  EXPECT_EQ(assigned.SourceFile, f);
  std::fclose(f);
}

TEST(Engine, HtNumberOneUsesElementZero) {
  EXPECT_EQ(&Info_Of(1), &HTInfoAry[0]);
  EXPECT_EQ(&Info_Of(255), &HTInfoAry[254]);
}

}  // namespace
