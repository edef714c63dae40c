// Step parsing.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/htsim/steps.h"

namespace htsim {
namespace {

Step Parse(const std::string& text) {
  Step s;
  std::string why;
  EXPECT_TRUE(Parse_Step(text, &s, &why)) << text << ": " << why;
  return s;
}

bool Fails(const std::string& text) {
  Step s;
  std::string why;
  return !Parse_Step(text, &s, &why) && !why.empty();
}

TEST(Steps, ReadArgumentsFlagsAndQuotes) {
  Step d = Parse("delete -o -r C:\\A.TXT \"C:\\MY FILE.TXT\"");
  EXPECT_EQ(d.kind, StepKind::kDelete);
  EXPECT_TRUE(d.read_only_too);
  EXPECT_TRUE(d.recurse);
  EXPECT_EQ(d.args, (std::vector<std::string>{"C:\\A.TXT", "C:\\MY FILE.TXT"}));

  Step s = Parse("send -o a.dat C:\\IN\\A.DAT b.dat C:\\IN\\B.DAT");
  EXPECT_TRUE(s.overwrite);
  EXPECT_EQ(s.args.size(), 4u);

  Step f = Parse("fetch -w C:\\OUT\\*.*");
  EXPECT_TRUE(f.subfolders);

  Step e = Parse("end 0x04 0");
  EXPECT_EQ(e.error_class, 4);
  EXPECT_EQ(e.detail, 0);

  Step p = Parse("display hello   world");
  EXPECT_EQ(p.args[0], "hello world");

  EXPECT_EQ(Parse("disk c:").args[0], "c");
  EXPECT_EQ(Parse("idle RUN.SCR").args[0], "RUN.SCR");
  EXPECT_EQ(Parse("sleep 250").ms, 250u);
}

TEST(Steps, RejectMistakes) {
  EXPECT_TRUE(Fails("fly"));
  EXPECT_TRUE(Fails("move onlyone"));
  EXPECT_TRUE(Fails("send a.dat"));  // no PC name
  EXPECT_TRUE(Fails("disk CD"));
  EXPECT_TRUE(Fails("end 256 0"));
  EXPECT_TRUE(Fails("end 1"));
  EXPECT_TRUE(Fails("idle THIRTEENCHARS"));
  EXPECT_TRUE(Fails("delete -r"));
  EXPECT_TRUE(Fails("info \"unclosed"));
  EXPECT_TRUE(Fails("sleep soon"));
}

TEST(Steps, FileSkipsCommentsAndNamesTheBadLine) {
  std::istringstream ok("# ask first\r\ntime\n\n  session hello\nend\n");
  std::vector<Step> v;
  std::string why;
  ASSERT_TRUE(Parse_Steps(ok, &v, &why)) << why;
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[1].args[0], "hello");
  EXPECT_TRUE(Check_Steps(v, &why));

  std::istringstream bad("time\nmove x\n");
  v.clear();
  EXPECT_FALSE(Parse_Steps(bad, &v, &why));
  EXPECT_EQ(why.rfind("line 2:", 0), 0u) << why;
}

TEST(Steps, IdleAndEndOnlyLast) {
  std::vector<Step> v = {Parse("idle"), Parse("time")};
  std::string why;
  EXPECT_FALSE(Check_Steps(v, &why));
  v = {Parse("end"), Parse("time")};
  EXPECT_FALSE(Check_Steps(v, &why));
  v = {Parse("time"), Parse("idle")};
  EXPECT_TRUE(Check_Steps(v, &why));
}

}  // namespace
}  // namespace htsim
